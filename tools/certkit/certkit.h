// certkit: test certificates made with OpenSSL's X509 and EVP calls (no
// `openssl` command, no shell): a CA (root or intermediate), leaf
// certificates in every shape the peer checks tell apart, and the "secret"
// folder of a work directory. Tests call the functions directly; the
// `certkit` command (main.cc) is the same through `RunCommand`.
//
// Files (PEM):
//   CA dir:   ca.pem (certificate), ca.key (private key, mode 0600)
//   leaf dir: cert.pem, key.pem (private key, PKCS#8, mode 0600),
//             pubkey.pem (the certificate's SubjectPublicKeyInfo,
//             "-----BEGIN PUBLIC KEY-----": what a peer's configured "pubkey"
//             and a pinned key file hold)
//   workdir:  secret/cacert.pem (copy of ca.pem), secret/signedcert.pem (copy
//             of cert.pem), secret/key.pem (copy of key.pem)
// Directories are made when missing; existing files are replaced.
//
// Every certificate: version 3, a random positive 128-bit serial, SHA-256,
// valid from a day ago for a year (expired: a year that ended yesterday),
// subject and authority key identifiers.
//   CA: RSA 2048, subject CN "certkit CA <random hex>" (so that two CAs never
//     share a name), basicConstraints CA:TRUE and keyUsage keyCertSign,
//     cRLSign, both critical. Self-signed, or with `signed_by` an
//     intermediate issued by that CA; its ca.pem holds the intermediate alone.
//   Leaf: subject the OUs in the order given, then the CN; subjectAltName
//     entries in the order given (only when there is at least one);
//     extendedKeyUsage serverAuth and clientAuth (hubs and clients use the
//     same kind). basicConstraints is written only with `ca_flag` (CA:TRUE,
//     critical); keyUsage is digitalSignature (plus keyEncipherment for RSA
//     keys, plus keyCertSign with `key_cert_sign`), and is left out for a
//     `ca_flag` leaf without `key_cert_sign` so that the CA flag alone
//     decides. X509_check_ca then gives 0 for a plain leaf, 1 for `ca_flag`
//     and 4 for `key_cert_sign` alone.
//
// The functions return false with a one-line reason in `*error` (which may be
// null). They keep no state and may run on any thread.
#ifndef TOOLS_CERTKIT_CERTKIT_H_
#define TOOLS_CERTKIT_CERTKIT_H_

#include <iosfwd>
#include <string>
#include <vector>

namespace certkit {

struct CaOptions {
  std::string signed_by{};  // directory of the issuing CA; empty: a root
  bool expired = false;
};

enum class KeyType { kRsa2048, kRsa3072, kP256 };

struct SubjectAltName {
  enum class Kind { kIp, kDns };
  Kind kind = Kind::kIp;
  std::string value{};  // IPv4 or IPv6 text for kIp, a name for kDns
};

struct LeafOptions {
  std::string cn{};                    // required
  std::vector<std::string> ous{};      // organizationalUnitName entries, in order
  std::vector<SubjectAltName> sans{};  // in order
  KeyType key = KeyType::kRsa2048;
  bool ca_flag = false;
  bool key_cert_sign = false;
  bool expired = false;
};

bool MakeCa(const std::string& dir, const CaOptions& options, std::string* error);
bool MakeLeaf(const std::string& ca_dir, const std::string& dir, const LeafOptions& options,
              std::string* error);
bool MakeWorkdir(const std::string& ca_dir, const std::string& leaf_dir, const std::string& workdir,
                 std::string* error);

// The command without the process around it: `args` are the words after the
// program name. Returns the exit status: 0 done, 1 failed (reason on `err`),
// 2 bad usage (with the usage text on `err`).
//   certkit ca DIR [--signed-by CA_DIR] [--expired]
//   certkit leaf CA_DIR DIR --cn CN [--ou OU]... [--ip ADDR]... [--dns NAME]...
//                [--key rsa2048|rsa3072|p256] [--ca-flag] [--key-cert-sign] [--expired]
//   certkit workdir CA_DIR LEAF_DIR WORKDIR
int RunCommand(const std::vector<std::string>& args, std::ostream& err);

}  // namespace certkit

#endif  // TOOLS_CERTKIT_CERTKIT_H_
