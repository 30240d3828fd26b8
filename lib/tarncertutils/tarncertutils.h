// Gateway key pinning: with the setting on, a gateway's certificate key must
// equal the PEM public key kept for it in the pinned-key directory.
//
// Settings, under HKLM "SOFTWARE\corvextarn" in the 64-bit view, read anew
// on every check (so an administrator's change applies to the next
// handshake): `gatewaycertpinning` (DWORD, non-zero: on) and
// `gatewaycertpath` (string of at most 261 bytes: the directory). The key of
// the gateway whose certificate CN is <CN> is the file
// "<gatewaycertpath>/<CN>@tarn.local": one PEM public key of at most 64 KiB.
// A CN that could leave the directory or hide a byte of the name (holding
// '/', '\\', "..", NUL or a control character) fails pinning without opening
// anything.
//
// Lines go through cxLogWrite with the tags "registry" (the settings reads),
// "tarncert" (the setting's state) and "tarncertverifier" (the key file).
// Stateless: any thread may call it; the certificate key is only read.
#ifndef LIB_TARNCERTUTILS_TARNCERTUTILS_H_
#define LIB_TARNCERTUTILS_TARNCERTUTILS_H_

#include <openssl/types.h>

#include <cstddef>
#include <string_view>

// The domain suffix of the pinned key file names; the same as the peer
// identity's.
inline constexpr char kTarnCertDomainSuffix[] = "tarn.local";

inline constexpr char kTarnCertPinningKey[] = "SOFTWARE\\corvextarn";
inline constexpr size_t kTarnCertMaxPathBytes = 261;
inline constexpr size_t kTarnCertMaxPinFileBytes = 64 * 1024;

enum : int {
  TARN_CERT_PINNING_OFF = 0,      // off, or the setting cannot be read
  TARN_CERT_PINNING_FAILED = 1,   // on, and the key is missing, unreadable or different
  TARN_CERT_PINNING_MATCHED = 2,  // on, and the pinned key equals the certificate's
};

// Checks `cert_key` against the pinned key of the gateway named `cn` (the
// certificate's CN, as bytes; it may hold anything a certificate carries).
int check_gateway_cert_pinning(std::string_view cn, EVP_PKEY* cert_key);

#endif  // LIB_TARNCERTUTILS_TARNCERTUTILS_H_
