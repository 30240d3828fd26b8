#include "ostgraphsvc/ostssl/ostssl_cert.h"

#include <arpa/inet.h>
#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "client/lib/cxLog/cxLog.h"
#include "graph/confparse.h"
#include "graph/router_log.h"
#include "lib/tarncertutils/tarncertutils.h"
#include "ostgraphsvc/ostssl/ostssl.h"

#define OSTSSL_LOG(level, tag, ...) \
  log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

static_assert(std::string_view(kOstsslDomainSuffix) == std::string_view(kTarnCertDomainSuffix),
              "pinned key files are named with the peer identity's domain");

namespace {

constexpr char kVerifyTag[] = "ostssl::verify_peer_pubkey";
constexpr char kClientCertTag[] = "ostssl::set_client_cert";
constexpr char kSslErrorTag[] = "ostssl::log_ssl_error";
constexpr char kCallbackTag[] = "client_cert_cb";
constexpr char kSanTag[] = "ssl_get_ip_address_from_cert";
constexpr char kCnTag[] = "ssl_get_cn_from_cert";
constexpr char kOuTag[] = "ssl_get_ou_from_cert";
constexpr char kParseFailed[] = "ostssl: unable to parse IP/CN from cert, verify failed";

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct X509Free {
  void operator()(X509* cert) const { X509_free(cert); }
};
struct NamesFree {
  void operator()(GENERAL_NAMES* names) const { GENERAL_NAMES_free(names); }
};

// Parsed PEM objects keyed by their exact bytes. The files are still read for
// every SSL object, so a changed file takes effect at once, but an unchanged
// one is not decoded again: OpenSSL 3 takes about half a millisecond to
// decode one key. Each cache holds a few entries and is emptied when full;
// it hands out new references.
constexpr size_t kPemCacheEntries = 16;
constexpr size_t kPemFileLimit = 1 << 20;

template <typename T, T* (*Parse)(BIO*, T**, pem_password_cb*, void*), int (*UpRef)(T*),
          void (*Free)(T*)>
class PemCache {
 public:
  T* get(const std::string& bytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto it = entries_.find(bytes);
    if (it != entries_.end()) {
      UpRef(it->second);
      return it->second;
    }
    std::unique_ptr<BIO, BioFree> bio(
        BIO_new_mem_buf(bytes.data(), static_cast<int>(bytes.size())));
    T* parsed = bio == nullptr ? nullptr : Parse(bio.get(), nullptr, nullptr, nullptr);
    if (parsed == nullptr) return nullptr;
    if (entries_.size() >= kPemCacheEntries) {
      for (auto& entry : entries_) Free(entry.second);
      entries_.clear();
    }
    entries_.emplace(bytes, parsed);
    UpRef(parsed);
    return parsed;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, T*> entries_;  // guarded by mutex_; never destroyed
};

using KeyCache = PemCache<EVP_PKEY, PEM_read_bio_PrivateKey, EVP_PKEY_up_ref, EVP_PKEY_free>;
using PubkeyCache = PemCache<EVP_PKEY, PEM_read_bio_PUBKEY, EVP_PKEY_up_ref, EVP_PKEY_free>;
using CertCache = PemCache<X509, PEM_read_bio_X509, X509_up_ref, X509_free>;

KeyCache& key_cache() {
  static KeyCache& cache = *new KeyCache;
  return cache;
}
PubkeyCache& pubkey_cache() {
  static PubkeyCache& cache = *new PubkeyCache;
  return cache;
}
CertCache& cert_cache() {
  static CertCache& cache = *new CertCache;
  return cache;
}

// The whole file, up to kPemFileLimit bytes; false when it cannot be opened
// or is longer.
bool read_pem_file(const std::string& path, std::string* bytes) {
  std::unique_ptr<BIO, BioFree> bio(BIO_new_file(path.c_str(), "r"));
  if (bio == nullptr) return false;
  bytes->clear();
  char buffer[4096];
  for (;;) {
    int got = BIO_read(bio.get(), buffer, sizeof(buffer));
    if (got <= 0) break;
    bytes->append(buffer, static_cast<size_t>(got));
    if (bytes->size() > kPemFileLimit) return false;
  }
  return true;
}

std::string shown(const String& text) {
  return cxLogEscape(std::string_view(text.data(), static_cast<size_t>(text.length())));
}

// A file of the configuration directory's "secret" folder.
std::string secret_file(const char* relative) {
  const String& dir = config_directory();
  std::string path(dir.data(), static_cast<size_t>(dir.length()));
  if (!path.empty() && path.back() != '/') path += '/';
  return path + relative;
}

// One name entry as UTF-8, NULs kept. 0, or -2 when it cannot be converted
// or is too long.
int entry_text(X509_NAME_ENTRY* entry, String* out) {
  unsigned char* utf8 = nullptr;
  int length = ASN1_STRING_to_UTF8(&utf8, X509_NAME_ENTRY_get_data(entry));
  if (length < 0) return -2;
  std::unique_ptr<unsigned char, void (*)(unsigned char*)> owned(
      utf8, [](unsigned char* p) { OPENSSL_free(p); });
  if (static_cast<size_t>(length) > kCertMaxNameBytes) return -2;
  out->assign(reinterpret_cast<const char*>(utf8), length);
  return 0;
}

// The leaf checks with `cn` as read from `cert` (`cn_result` from
// ssl_get_cn_from_cert). `conn` may be null: no connection is under
// verification then, and no key can match.
int check_leaf(const ostssl* conn, X509* cert, const String& cn, int cn_result) {
  String address;
  if (cn_result == -2 || ssl_get_ip_address_from_cert(cert, &address) != 0) {
    OSTSSL_LOG(3, kVerifyTag, "%s", kParseFailed);
    return 0;
  }
  String ou;
  if (ssl_get_ou_from_cert(cert, &ou) != 0) {
    OSTSSL_LOG(3, kVerifyTag, "%s", kParseFailed);
    return 0;
  }
  in_addr parsed{};
  const uint32_t peer_ip = inet_pton(AF_INET, address.c_str(), &parsed) == 1 ? parsed.s_addr : 0;

  const std::string cn_shown = shown(cn);
  EVP_PKEY* cert_key = X509_get0_pubkey(cert);
  if (cert_key == nullptr) {
    OSTSSL_LOG(3, kVerifyTag, "ostssl: unable to find pubkey for peer %s, CN %s", address.c_str(),
               cn_shown.c_str());
    return 0;
  }
  String pem;
  if (conn == nullptr || conn->get_configured_peer_pubkey(peer_ip, &pem) != 0) {
    OSTSSL_LOG(3, kVerifyTag, "ostssl: Error getting pubkey for peer %s", address.c_str());
    return 0;
  }
  std::unique_ptr<EVP_PKEY, PkeyFree> configured(
      pubkey_cache().get(std::string(pem.data(), static_cast<size_t>(pem.length()))));
  if (configured == nullptr) {
    ERR_clear_error();
    OSTSSL_LOG(3, kVerifyTag, "ostssl: error loading peer publick key");
    return 0;
  }

  const int pinning = check_gateway_cert_pinning(
      std::string_view(cn.data(), static_cast<size_t>(cn.length())), cert_key);
  if (pinning == TARN_CERT_PINNING_FAILED) {
    OSTSSL_LOG(3, kVerifyTag, "ostssl: peer certificate pinning validation failed");
    return 0;
  }
  // Keys of different types never compare equal (EVP_PKEY_eq gives -1).
  if (pinning != TARN_CERT_PINNING_MATCHED && EVP_PKEY_eq(configured.get(), cert_key) != 1) {
    OSTSSL_LOG(3, kVerifyTag, "ostssl: peer certificate validation failed");
    return 0;
  }

  const String tenant = ostssl::get_tenant_id();
  if (ou.length() != tenant.length() ||
      std::memcmp(ou.data(), tenant.data(), static_cast<size_t>(ou.length())) != 0) {
    const std::string ou_shown = shown(ou);
    const std::string tenant_shown = shown(tenant);
    OSTSSL_LOG(3, kVerifyTag,
               "ostssl: peer certifcation validation failed, OU(%s) and tenantID(%s) don't match",
               ou_shown.c_str(), tenant_shown.c_str());
    return 0;
  }
  const std::string tenant_shown = shown(tenant);
  OSTSSL_LOG(6, kVerifyTag, "ostssl: peer %s, tenantID %s, public key matched", address.c_str(),
             tenant_shown.c_str());
  return 1;
}

}  // namespace

int ostssl_ex_data_index() {
  static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

int client_cert_cb(SSL*, X509**, EVP_PKEY**) {
  OSTSSL_LOG(6, kCallbackTag, "ostssl: client_cert_cb invoked");
  return 0;
}

int ssl_get_ip_address_from_cert(X509* cert, String* address) {
  std::unique_ptr<GENERAL_NAMES, NamesFree> names(
      static_cast<GENERAL_NAMES*>(X509_get_ext_d2i(cert, NID_subject_alt_name, nullptr, nullptr)));
  if (names == nullptr) {
    OSTSSL_LOG(6, kSanTag, "ostssl:SAN not found in the cert");
    return -1;
  }
  for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
    const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
    if (name->type != GEN_IPADD || ASN1_STRING_length(name->d.iPAddress) != 4) continue;
    const unsigned char* b = ASN1_STRING_get0_data(name->d.iPAddress);
    char text[16];
    int length = std::snprintf(text, sizeof(text), "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    address->assign(text, length);
    OSTSSL_LOG(6, kSanTag, "ostssl ip address from cert %s", text);
    return 0;
  }
  return -1;
}

int ssl_get_cn_from_cert(X509* cert, String* cn) {
  X509_NAME* subject = X509_get_subject_name(cert);
  int result = -1;
  for (int at = X509_NAME_get_index_by_NID(subject, NID_commonName, -1); at >= 0;
       at = X509_NAME_get_index_by_NID(subject, NID_commonName, at)) {
    String text;
    result = entry_text(X509_NAME_get_entry(subject, at), &text);
    if (result != 0) {
      OSTSSL_LOG(3, kCnTag, "ostssl: certinfo CN not readable or over %zu bytes",
                 kCertMaxNameBytes);
      continue;
    }
    const std::string text_shown = shown(text);
    OSTSSL_LOG(6, kCnTag, "ostssl: certinfo CN %s", text_shown.c_str());
    *cn = text;
  }
  // The last entry decides, as it is the one used.
  if (result != 0) *cn = String();
  return result;
}

int ssl_get_ou_from_cert(X509* cert, String* ou) {
  X509_NAME* subject = X509_get_subject_name(cert);
  int at = X509_NAME_get_index_by_NID(subject, NID_organizationalUnitName, -1);
  if (at < 0) return -1;
  if (entry_text(X509_NAME_get_entry(subject, at), ou) != 0) {
    OSTSSL_LOG(3, kOuTag, "ostssl: certinfo OU not readable or over %zu bytes", kCertMaxNameBytes);
    return -2;
  }
  const std::string text_shown = shown(*ou);
  OSTSSL_LOG(6, kOuTag, "ostssl: certinfo OU %s", text_shown.c_str());
  return 0;
}

int ostssl::set_client_cert() {
  if (ssl == nullptr) return -1;
  const std::string cert_path = secret_file("secret/signedcert.pem");
  std::string cert_bytes;
  std::unique_ptr<X509, X509Free> cert(
      read_pem_file(cert_path, &cert_bytes) ? cert_cache().get(cert_bytes) : nullptr);
  if (cert == nullptr) {
    ERR_clear_error();
    OSTSSL_LOG(3, kClientCertTag, "Error loading cert into memory");
    return -1;
  }
  int rc = SSL_use_certificate(ssl, cert.get());
  if (rc != 1) {
    log_ssl_error("SSL_use_certificate", rc);
    return -1;
  }

  const std::string key_path = secret_file("secret/key.pem");
  std::string key_bytes;
  if (!read_pem_file(key_path, &key_bytes)) {
    ERR_clear_error();
    OSTSSL_LOG(3, kClientCertTag, "error reading private key from file");
    return -1;
  }
  std::unique_ptr<EVP_PKEY, PkeyFree> key(key_cache().get(key_bytes));
  if (key == nullptr) {
    ERR_clear_error();
    OSTSSL_LOG(3, kClientCertTag, "\n error reading private key pem file");
    return -1;
  }
  // Also refuses a key that does not belong to the certificate.
  rc = SSL_use_PrivateKey(ssl, key.get());
  if (rc != 1) {
    log_ssl_error("SSL_use_PrivateKey", rc);
    return -1;
  }
  OSTSSL_LOG(6, kClientCertTag, "client certificate set successfully");
  return 0;
}

int ostssl::install_peer_verify() {
  const int index = ostssl_ex_data_index();
  if (ssl == nullptr || index < 0 || SSL_set_ex_data(ssl, index, this) != 1) return -1;
  SSL_set_verify(ssl, SSL_VERIFY_PEER, &ostssl::verify_peer_pubkey);
  return 0;
}

int ostssl::verify_peer_pubkey(int preverify_ok, X509_STORE_CTX* store) {
  X509* cert = X509_STORE_CTX_get_current_cert(store);
  if (cert == nullptr) return 0;
  SSL* ssl_object =
      static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
  const ostssl* conn =
      ssl_object == nullptr
          ? nullptr
          : static_cast<const ostssl*>(SSL_get_ex_data(ssl_object, ostssl_ex_data_index()));

  String cn;
  const int cn_result = ssl_get_cn_from_cert(cert, &cn);
  const std::string cn_shown = shown(cn);
  const int error = X509_STORE_CTX_get_error(store);

  // Above depth 0 only the chain check counts. The peer's own certificate
  // gets the identity checks even when it calls itself a CA: the CA flag is
  // the peer's to set.
  if (X509_STORE_CTX_get_error_depth(store) > 0) {
    if (!preverify_ok) {
      OSTSSL_LOG(3, kVerifyTag, "ostssl: built in cert check failed for CA cert CN=%s error: %s",
                 cn_shown.c_str(), X509_verify_cert_error_string(error));
      return 0;
    }
    OSTSSL_LOG(6, kVerifyTag, "ostssl: no custom validation for CA cert with CN=%s",
               cn_shown.c_str());
    return 1;
  }
  if (!preverify_ok) {
    char reason[256];
    ERR_error_string_n(static_cast<unsigned long>(error), reason, sizeof(reason));
    OSTSSL_LOG(4, kVerifyTag, "ostssl: preverify no ok, err %s", reason);
  }
  return check_leaf(conn, cert, cn, cn_result);
}

int ostssl::check_peer_leaf(X509* cert) {
  if (cert == nullptr) return 0;
  String cn;
  const int cn_result = ssl_get_cn_from_cert(cert, &cn);
  return check_leaf(this, cert, cn, cn_result);
}

int ostssl::get_configured_peer_pubkey(uint32_t peer_ip, String* pem) const {
  if (peer_ip == 0 || peer_ip != peer_overlay_ip || peer_pubkey.empty()) return -1;
  pem->assign(peer_pubkey.data(), peer_pubkey.length());
  return 0;
}

void ostssl::log_ssl_error(const char* call, int result) {
  const int code = ssl == nullptr ? 0 : SSL_get_error(ssl, result);
  char reason[256];
  ERR_error_string_n(ERR_get_error(), reason, sizeof(reason));
  ERR_clear_error();
  OSTSSL_LOG(3, kSslErrorTag, "%s failed, error %d:%s", call, code, reason);
}
