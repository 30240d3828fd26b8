// A peer's certificate arrives from the network during the handshake, and a
// pinned key file is read as root. Each input is taken as a DER certificate
// through the three extractors and the identity checks (once with gateway
// pinning on, once off against a connection configured with the
// certificate's own key and address, so that the tenant check is reached),
// and as the pinned key file of one gateway. Nothing may crash, overread or
// leak, names stay within their bound, and the results stay in range.
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "graph/string.h"
#include "lib/tarncertutils/tarncertutils.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/ostssl/ostssl_cert.h"
#include "platform/registry/registry.h"

namespace {

namespace reg = platform::registry;

std::string base;
std::string root_on;   // settings with pinning on
std::string root_off;  // no settings: pinning off
std::string pin_file;
EVP_PKEY* fixed_key = nullptr;
std::string fixed_pem;

void removeBase() { std::filesystem::remove_all(base); }

void use_root(const std::string& root) {
  setenv("DOVADOD_ROOT", root.c_str(), 1);
  setenv("DOVADOD_SYSROOT", root.c_str(), 1);
}

std::string public_pem(EVP_PKEY* key) {
  BIO* bio = BIO_new(BIO_s_mem());
  std::string text;
  if (bio != nullptr && PEM_write_bio_PUBKEY(bio, key) == 1) {
    char* data = nullptr;
    long length = BIO_get_mem_data(bio, &data);
    if (length > 0) text.assign(data, static_cast<size_t>(length));
  }
  BIO_free(bio);
  return text;
}

void check_name(int result, const String& text) {
  if (result < -2 || result > 0) std::abort();
  if (result == 0 && static_cast<size_t>(text.length()) > kCertMaxNameBytes) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/fuzz_peer_cert.XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  base = dir;
  std::atexit(removeBase);
  root_on = base + "/on";
  root_off = base + "/off";
  const std::string pins = base + "/pins";
  std::filesystem::create_directories(root_on);
  std::filesystem::create_directories(root_off);
  std::filesystem::create_directories(pins);
  pin_file = pins + "/fuzz@" + kTarnCertDomainSuffix;

  use_root(root_on);
  reg::Key key;
  if (reg::create_key(reg::RootKey::kLocalMachine, kTarnCertPinningKey,
                      reg::kKeyAllAccess | reg::kKeyWow64_64Key, &key) != 0) {
    std::abort();
  }
  uint32_t on = 1;
  if (reg::set_value(key, "gatewaycertpinning", reg::kRegDword, &on, sizeof(on)) != 0 ||
      reg::set_value(key, "gatewaycertpath", reg::kRegSz, pins.c_str(),
                     static_cast<uint32_t>(pins.size() + 1)) != 0) {
    std::abort();
  }
  reg::close_key(&key);

  fixed_key = EVP_EC_gen("P-256");
  if (fixed_key == nullptr) std::abort();
  fixed_pem = public_pem(fixed_key);
  ostssl::ssl_check_and_set_tenant_id("tenant-a");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;

  // As a pinned key file.
  use_root(root_on);
  FILE* file = std::fopen(pin_file.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
  int pinned = check_gateway_cert_pinning("fuzz", fixed_key);
  if (pinned != TARN_CERT_PINNING_FAILED && pinned != TARN_CERT_PINNING_MATCHED) std::abort();

  // As a certificate.
  const unsigned char* p = data;
  std::unique_ptr<X509, void (*)(X509*)> cert(d2i_X509(nullptr, &p, static_cast<long>(size)),
                                              X509_free);
  if (cert == nullptr) return 0;
  String address, cn, ou;
  int result = ssl_get_ip_address_from_cert(cert.get(), &address);
  if (result != 0 && result != -1) std::abort();
  if (result == 0 && address.length() > 15) std::abort();
  check_name(ssl_get_cn_from_cert(cert.get(), &cn), cn);
  check_name(ssl_get_ou_from_cert(cert.get(), &ou), ou);

  std::shared_ptr<ostssl> conn = ostssl::create();
  in_addr parsed{};
  if (result == 0 && inet_pton(AF_INET, address.c_str(), &parsed) == 1) {
    conn->peer_overlay_ip = parsed.s_addr;
  }
  conn->peer_pubkey = String(fixed_pem.data(), static_cast<int>(fixed_pem.size()));
  result = conn->check_peer_leaf(cert.get());
  if (result != 0 && result != 1) std::abort();

  use_root(root_off);
  EVP_PKEY* own = X509_get0_pubkey(cert.get());
  if (own != nullptr) {
    std::string pem = public_pem(own);
    conn->peer_pubkey = String(pem.data(), static_cast<int>(pem.size()));
  }
  result = conn->check_peer_leaf(cert.get());
  if (result != 0 && result != 1) std::abort();
  return 0;
}
