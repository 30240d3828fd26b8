// ostssl_cert: the certificates a connection presents and the checks a peer
// must pass.
//
// Every connection presents this host's certificate and accepts a peer only
// when the peer's own certificate (depth 0 of its chain) names, in its first
// IPv4 subject-alternative-name entry, the peer overlay address of the
// connection being verified; carries the public key configured for that
// peer (or, with gateway key pinning on, the key pinned for its CN:
// lib/tarncertutils); and has the tenant ID as its first OU. The chain check
// alone never rejects the peer's own certificate, so a peer whose issuer is
// missing from "secret/cacert.pem" is still accepted on its key; a CA
// certificate above it that fails the chain check rejects the handshake.
//
// How the connection set-up uses this, for each SSL object it makes:
//   SSL_CTX_set_client_cert_cb(ctx, client_cert_cb);
//   conn->set_client_cert();       // this host's certificate and key
//   SSL_CTX_load_verify_locations(ctx, <configuration directory>"secret/cacert.pem", nullptr);
//   conn->install_peer_verify();   // ex_data slot + SSL_set_verify(ssl, SSL_VERIFY_PEER, ...)
// The verify callback finds its connection through the SSL object's ex_data
// slot `ostssl_ex_data_index()`, which holds a plain `ostssl*`: the
// connection owns the SSL object, so the pointer lives at least as long.
// The checks read the connection's `peer_overlay_ip` and `peer_pubkey`
// without a lock: both are written before the connection is first handed
// to the connect thread, or on that thread, which is where SSL_connect (and
// so the callback) runs. They take no table or connection mutex, so
// SSL_connect may be called while either is held.
//
// Texts taken from certificates are bounded (`kCertMaxNameBytes`) and
// escaped in log lines.
#ifndef OSTGRAPHSVC_OSTSSL_OSTSSL_CERT_H_
#define OSTGRAPHSVC_OSTSSL_OSTSSL_CERT_H_

#include <openssl/types.h>

#include <cstddef>

#include "graph/string.h"

// The longest CN or OU accepted from a certificate, in bytes of UTF-8.
inline constexpr size_t kCertMaxNameBytes = 256;

// The SSL ex_data index holding the `ostssl*` under verification. The same
// for the whole process; made on first use, from any thread.
int ostssl_ex_data_index();

// OpenSSL client-certificate callback: logs "ostssl: client_cert_cb invoked"
// and supplies nothing (the certificate set on the SSL object is sent).
int client_cert_cb(SSL* ssl, X509** cert, EVP_PKEY** key);

// The first IP-address subject-alternative name of four bytes, as a dotted
// quad (IPv6 entries are passed over). 0, or -1 without one.
int ssl_get_ip_address_from_cert(X509* cert, String* address);
// The subject's CN (each one logged; the last is used), in UTF-8 and with
// any NUL kept so that callers can refuse it. 0; -1 when there is none; -2
// when it cannot be read or is longer than kCertMaxNameBytes (the peer is
// then refused).
int ssl_get_cn_from_cert(X509* cert, String* cn);
// The subject's first organizationalUnitName, with the results of the CN's.
int ssl_get_ou_from_cert(X509* cert, String* ou);

#endif  // OSTGRAPHSVC_OSTSSL_OSTSSL_CERT_H_
