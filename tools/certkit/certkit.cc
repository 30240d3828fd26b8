#include "tools/certkit/certkit.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>

namespace certkit {
namespace {

constexpr long kDay = 24 * 60 * 60;
constexpr long kYear = 365 * kDay;

struct Free {
  void operator()(BIO* p) const { BIO_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509_EXTENSION* p) const { X509_EXTENSION_free(p); }
  void operator()(GENERAL_NAMES* p) const { GENERAL_NAMES_free(p); }
  void operator()(BIGNUM* p) const { BN_free(p); }
};
template <typename T>
using Owned = std::unique_ptr<T, Free>;

bool Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

// The reason OpenSSL queued last, after `what`; clears the queue so that a
// later failure does not report an old reason.
bool FailSsl(std::string* error, const std::string& what) {
  unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return Fail(error, what);
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return Fail(error, what + ": " + text);
}

std::string Join(const std::string& dir, const char* name) {
  return (std::filesystem::path(dir) / name).string();
}

bool MakeDir(const std::string& dir, std::string* error) {
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Fail(error, "cannot make " + dir + ": " + ec.message());
  return true;
}

bool ReadFile(const std::string& path, std::string* content, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Fail(error, "cannot read " + path + ": " + std::strerror(errno));
  std::ostringstream text;
  text << in.rdbuf();
  if (in.bad()) return Fail(error, "cannot read " + path);
  *content = text.str();
  return true;
}

// Replaces `path`; private keys get mode 0600 even when the file was there.
bool WriteFile(const std::string& path, const std::string& content, mode_t mode,
               std::string* error) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode);
  if (fd < 0) return Fail(error, "cannot write " + path + ": " + std::strerror(errno));
  bool ok = ::fchmod(fd, mode) == 0;
  for (size_t done = 0; ok && done < content.size();) {
    ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  int saved = errno;
  if (::close(fd) != 0) ok = false;
  if (!ok) return Fail(error, "cannot write " + path + ": " + std::strerror(saved));
  return true;
}

std::string BioText(BIO* bio) {
  char* data = nullptr;
  long size = BIO_get_mem_data(bio, &data);
  return size > 0 ? std::string(data, static_cast<size_t>(size)) : std::string();
}

bool WriteCert(const std::string& path, X509* cert, std::string* error) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_X509(bio.get(), cert) != 1) return FailSsl(error, "PEM of " + path);
  return WriteFile(path, BioText(bio.get()), 0644, error);
}

bool WriteKey(const std::string& path, EVP_PKEY* key, std::string* error) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1)
    return FailSsl(error, "PEM of " + path);
  return WriteFile(path, BioText(bio.get()), 0600, error);
}

bool WritePublicKey(const std::string& path, EVP_PKEY* key, std::string* error) {
  Owned<BIO> bio(BIO_new(BIO_s_mem()));
  if (!bio || PEM_write_bio_PUBKEY(bio.get(), key) != 1) return FailSsl(error, "PEM of " + path);
  return WriteFile(path, BioText(bio.get()), 0644, error);
}

Owned<EVP_PKEY> NewKey(KeyType type) {
  switch (type) {
    case KeyType::kRsa2048:
      return Owned<EVP_PKEY>(EVP_RSA_gen(2048));
    case KeyType::kRsa3072:
      return Owned<EVP_PKEY>(EVP_RSA_gen(3072));
    case KeyType::kP256:
      return Owned<EVP_PKEY>(EVP_EC_gen("P-256"));
  }
  return nullptr;
}

// The CA in `dir`: its certificate and the matching key.
bool LoadCa(const std::string& dir, Owned<X509>* cert, Owned<EVP_PKEY>* key, std::string* error) {
  std::string cert_path = Join(dir, "ca.pem");
  std::string key_path = Join(dir, "ca.key");
  std::string text;
  if (!ReadFile(cert_path, &text, error)) return false;
  Owned<BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (bio) cert->reset(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr));
  if (!*cert) return FailSsl(error, cert_path + " holds no certificate");
  if (!ReadFile(key_path, &text, error)) return false;
  bio.reset(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
  if (bio) key->reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
  if (!*key) return FailSsl(error, key_path + " holds no private key");
  if (X509_check_private_key(cert->get(), key->get()) != 1)
    return FailSsl(error, key_path + " does not match " + cert_path);
  return true;
}

bool SetSerial(X509* cert) {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof bytes) != 1) return false;
  // Positive and always 16 bytes long, so never zero.
  bytes[0] = static_cast<unsigned char>((bytes[0] & 0x7f) | 0x40);
  Owned<BIGNUM> bn(BN_bin2bn(bytes, sizeof bytes, nullptr));
  return bn && BN_to_ASN1_INTEGER(bn.get(), X509_get_serialNumber(cert)) != nullptr;
}

bool SetValidity(X509* cert, bool expired) {
  long start = expired ? -kDay - kYear : -kDay;
  return X509_gmtime_adj(X509_getm_notBefore(cert), start) != nullptr &&
         X509_gmtime_adj(X509_getm_notAfter(cert), start + kYear) != nullptr;
}

bool AddText(X509_NAME* name, int nid, const std::string& value) {
  return X509_NAME_add_entry_by_NID(name, nid, MBSTRING_UTF8,
                                    reinterpret_cast<const unsigned char*>(value.data()),
                                    static_cast<int>(value.size()), -1, 0) == 1;
}

// An extension in OpenSSL's configuration syntax; `issuer` and `subject`
// feed the key identifiers.
bool AddExtension(X509* cert, X509* issuer, int nid, const char* value) {
  X509V3_CTX ctx;
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  Owned<X509_EXTENSION> ext(X509V3_EXT_nconf_nid(nullptr, &ctx, nid, value));
  return ext && X509_add_ext(cert, ext.get(), -1) == 1;
}

// Built entry by entry rather than from a configuration string, so that a
// name holding a comma or a colon stays one entry.
bool AddSubjectAltNames(X509* cert, const std::vector<SubjectAltName>& sans, std::string* error) {
  Owned<GENERAL_NAMES> names(sk_GENERAL_NAME_new_null());
  if (!names) return FailSsl(error, "subjectAltName");
  for (const SubjectAltName& san : sans) {
    GENERAL_NAME* entry = GENERAL_NAME_new();
    if (entry == nullptr || sk_GENERAL_NAME_push(names.get(), entry) == 0) {
      GENERAL_NAME_free(entry);
      return FailSsl(error, "subjectAltName");
    }
    if (san.kind == SubjectAltName::Kind::kIp) {
      unsigned char address[16];
      int size = 0;
      if (::inet_pton(AF_INET, san.value.c_str(), address) == 1) {
        size = 4;
      } else if (::inet_pton(AF_INET6, san.value.c_str(), address) == 1) {
        size = 16;
      } else {
        return Fail(error, "not an IP address: " + san.value);
      }
      ASN1_OCTET_STRING* ip = ASN1_OCTET_STRING_new();
      if (ip == nullptr || ASN1_OCTET_STRING_set(ip, address, size) != 1) {
        ASN1_OCTET_STRING_free(ip);
        return FailSsl(error, "subjectAltName");
      }
      GENERAL_NAME_set0_value(entry, GEN_IPADD, ip);
      continue;
    }
    if (san.value.empty()) return Fail(error, "empty DNS name");
    ASN1_IA5STRING* dns = ASN1_IA5STRING_new();
    if (dns == nullptr ||
        ASN1_STRING_set(dns, san.value.data(), static_cast<int>(san.value.size())) != 1) {
      ASN1_IA5STRING_free(dns);
      return FailSsl(error, "subjectAltName");
    }
    GENERAL_NAME_set0_value(entry, GEN_DNS, dns);
  }
  if (X509_add1_ext_i2d(cert, NID_subject_alt_name, names.get(), 0, X509V3_ADD_DEFAULT) != 1)
    return FailSsl(error, "subjectAltName");
  return true;
}

// The fields both kinds share. `issuer` null: self-signed.
bool StartCert(X509* cert, EVP_PKEY* key, X509* issuer, bool expired, std::string* error) {
  if (X509_set_version(cert, X509_VERSION_3) != 1 || !SetSerial(cert) ||
      !SetValidity(cert, expired) || X509_set_pubkey(cert, key) != 1)
    return FailSsl(error, "certificate fields");
  X509* signer = issuer != nullptr ? issuer : cert;
  if (issuer != nullptr && X509_set_issuer_name(cert, X509_get_subject_name(issuer)) != 1)
    return FailSsl(error, "issuer name");
  if (!AddExtension(cert, signer, NID_subject_key_identifier, "hash"))
    return FailSsl(error, "subjectKeyIdentifier");
  if (issuer != nullptr &&
      !AddExtension(cert, signer, NID_authority_key_identifier, "keyid:always"))
    return FailSsl(error, "authorityKeyIdentifier");
  return true;
}

bool Sign(X509* cert, EVP_PKEY* key, std::string* error) {
  if (X509_sign(cert, key, EVP_sha256()) <= 0) return FailSsl(error, "signing");
  return true;
}

}  // namespace

bool MakeCa(const std::string& dir, const CaOptions& options, std::string* error) {
  Owned<X509> parent;
  Owned<EVP_PKEY> parent_key;
  if (!options.signed_by.empty() && !LoadCa(options.signed_by, &parent, &parent_key, error))
    return false;
  Owned<EVP_PKEY> key = NewKey(KeyType::kRsa2048);
  Owned<X509> cert(X509_new());
  if (!key || !cert) return FailSsl(error, "CA key");

  unsigned char tag[6];
  if (RAND_bytes(tag, sizeof tag) != 1) return FailSsl(error, "random");
  char hex[2 * sizeof tag + 1];
  for (size_t i = 0; i < sizeof tag; ++i) std::snprintf(hex + 2 * i, 3, "%02x", tag[i]);
  X509_NAME* subject = X509_get_subject_name(cert.get());
  if (!AddText(subject, NID_commonName, std::string("certkit CA ") + hex))
    return FailSsl(error, "CA name");
  if (!parent && X509_set_issuer_name(cert.get(), subject) != 1) return FailSsl(error, "CA name");

  if (!StartCert(cert.get(), key.get(), parent.get(), options.expired, error)) return false;
  if (!AddExtension(cert.get(), cert.get(), NID_basic_constraints, "critical,CA:TRUE") ||
      !AddExtension(cert.get(), cert.get(), NID_key_usage, "critical,keyCertSign,cRLSign"))
    return FailSsl(error, "CA extensions");
  if (!Sign(cert.get(), parent ? parent_key.get() : key.get(), error)) return false;

  return MakeDir(dir, error) && WriteKey(Join(dir, "ca.key"), key.get(), error) &&
         WriteCert(Join(dir, "ca.pem"), cert.get(), error);
}

bool MakeLeaf(const std::string& ca_dir, const std::string& dir, const LeafOptions& options,
              std::string* error) {
  if (options.cn.empty()) return Fail(error, "a leaf needs a CN");
  Owned<X509> ca;
  Owned<EVP_PKEY> ca_key;
  if (!LoadCa(ca_dir, &ca, &ca_key, error)) return false;
  Owned<EVP_PKEY> key = NewKey(options.key);
  Owned<X509> cert(X509_new());
  if (!key || !cert) return FailSsl(error, "leaf key");

  X509_NAME* subject = X509_get_subject_name(cert.get());
  for (const std::string& ou : options.ous) {
    if (!AddText(subject, NID_organizationalUnitName, ou))
      return FailSsl(error, "OU \"" + ou + "\"");
  }
  if (!AddText(subject, NID_commonName, options.cn))
    return FailSsl(error, "CN \"" + options.cn + "\"");

  if (!StartCert(cert.get(), key.get(), ca.get(), options.expired, error)) return false;
  if (options.ca_flag &&
      !AddExtension(cert.get(), ca.get(), NID_basic_constraints, "critical,CA:TRUE"))
    return FailSsl(error, "basicConstraints");
  if (!options.ca_flag || options.key_cert_sign) {
    std::string usage = "digitalSignature";
    if (options.key != KeyType::kP256) usage += ",keyEncipherment";
    if (options.key_cert_sign) usage += ",keyCertSign";
    if (!AddExtension(cert.get(), ca.get(), NID_key_usage, usage.c_str()))
      return FailSsl(error, "keyUsage");
  }
  if (!AddExtension(cert.get(), ca.get(), NID_ext_key_usage, "serverAuth,clientAuth"))
    return FailSsl(error, "extendedKeyUsage");
  if (!options.sans.empty() && !AddSubjectAltNames(cert.get(), options.sans, error)) return false;
  if (!Sign(cert.get(), ca_key.get(), error)) return false;

  return MakeDir(dir, error) && WriteKey(Join(dir, "key.pem"), key.get(), error) &&
         WriteCert(Join(dir, "cert.pem"), cert.get(), error) &&
         WritePublicKey(Join(dir, "pubkey.pem"), key.get(), error);
}

bool MakeWorkdir(const std::string& ca_dir, const std::string& leaf_dir, const std::string& workdir,
                 std::string* error) {
  std::string ca;
  std::string cert;
  std::string key;
  if (!ReadFile(Join(ca_dir, "ca.pem"), &ca, error) ||
      !ReadFile(Join(leaf_dir, "cert.pem"), &cert, error) ||
      !ReadFile(Join(leaf_dir, "key.pem"), &key, error))
    return false;
  std::string secret = Join(workdir, "secret");
  return MakeDir(secret, error) && WriteFile(Join(secret, "cacert.pem"), ca, 0644, error) &&
         WriteFile(Join(secret, "signedcert.pem"), cert, 0644, error) &&
         WriteFile(Join(secret, "key.pem"), key, 0600, error);
}

}  // namespace certkit
