#include "lib/tarncertutils/tarncertutils.h"

#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxUtils/cxRegUtils.h"
#include "platform/registry/registry.h"

namespace {

constexpr char kCertTag[] = "tarncert";
constexpr char kVerifierTag[] = "tarncertverifier";
constexpr char kPublicKeyHeader[] = "-----BEGIN PUBLIC KEY-----";
constexpr size_t kPublicKeyHeaderBytes = sizeof(kPublicKeyHeader) - 1;
constexpr int kRegistryView64 = 1;

// A CN names a file: nothing in it may lead out of the pinned-key directory
// or cut the name short.
bool safe_file_name(std::string_view cn) {
  if (cn.empty() || cn.find("..") != std::string_view::npos) return false;
  for (unsigned char c : cn) {
    if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
  }
  return true;
}

struct FdCloser {
  int fd;
  ~FdCloser() {
    if (fd >= 0) ::close(fd);
  }
};

struct BioFree {
  void operator()(BIO* bio) const { BIO_free(bio); }
};
struct PkeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};

// Reads the pinned key file whole into `*data` / `*size`; 1 (logged) when it
// cannot. The file is opened without blocking, so a FIFO planted under the
// name cannot stall the handshake, and only a regular file is read.
int read_pin_file(const std::string& path, std::unique_ptr<char[]>* data, size_t* size) {
  const std::string shown = cxLogEscape(path);
  FdCloser file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  struct stat st {};
  if (file.fd >= 0 && ::fstat(file.fd, &st) == 0 && !S_ISREG(st.st_mode)) errno = EINVAL;
  if (file.fd < 0 || !S_ISREG(st.st_mode)) {
    CXLOG(kVerifierTag, CXLOG_ERROR, "Cert verification failed to open %s file error %d",
          shown.c_str(), errno);
    return TARN_CERT_PINNING_FAILED;
  }
  if (st.st_size == 0) {
    CXLOG(kVerifierTag, CXLOG_ERROR, "Cert verification failed to read the empty File %s",
          shown.c_str());
    return TARN_CERT_PINNING_FAILED;
  }
  // No PEM public key comes near this size.
  if (static_cast<uint64_t>(st.st_size) > kTarnCertMaxPinFileBytes) {
    CXLOG(kVerifierTag, CXLOG_ERROR, "Cert verification failed, %s is not public key",
          shown.c_str());
    return TARN_CERT_PINNING_FAILED;
  }
  const size_t wanted = static_cast<size_t>(st.st_size);
  data->reset(new (std::nothrow) char[wanted]);
  if (*data == nullptr) {
    CXLOG(kVerifierTag, CXLOG_ERROR,
          "Cert verification failed to allocate memory file %s size %d, ", shown.c_str(),
          static_cast<int>(wanted));
    return TARN_CERT_PINNING_FAILED;
  }
  size_t got = 0;
  while (got < wanted) {
    ssize_t n = ::read(file.fd, data->get() + got, wanted - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  if (got != wanted) {
    CXLOG(kVerifierTag, CXLOG_ERROR,
          "Cert verification failed to read file %s, file size %d, actual read %d", shown.c_str(),
          static_cast<int>(wanted), static_cast<int>(got));
    return TARN_CERT_PINNING_FAILED;
  }
  *size = got;
  return TARN_CERT_PINNING_OFF;
}

}  // namespace

int check_gateway_cert_pinning(std::string_view cn, EVP_PKEY* cert_key) {
  namespace reg = platform::registry;
  uint32_t enabled = 0;
  uint32_t size = sizeof(enabled);
  uint32_t type = reg::kRegNone;
  if (cxRegGetValue(reg::RootKey::kLocalMachine, kTarnCertPinningKey, kRegistryView64,
                    "gatewaycertpinning", &enabled, &size, &type) != 0) {
    CXLOG(kCertTag, CXLOG_WARN, "cert pinning feature is not enabled");
    return TARN_CERT_PINNING_OFF;
  }
  CXLOG(kCertTag, CXLOG_WARN, "cert pinning feature is %s", enabled != 0 ? "enabled" : "disabled");
  if (enabled == 0) return TARN_CERT_PINNING_OFF;

  // One byte more than the value may hold, so the text always ends.
  char directory[kTarnCertMaxPathBytes + 1] = {};
  size = static_cast<uint32_t>(kTarnCertMaxPathBytes);
  type = reg::kRegNone;
  if (cxRegGetValue(reg::RootKey::kLocalMachine, kTarnCertPinningKey, kRegistryView64,
                    "gatewaycertpath", directory, &size, &type) != 0 ||
      directory[0] == '\0') {
    CXLOG(kCertTag, CXLOG_ERROR, "Cert verification failed to read cert path");
    return TARN_CERT_PINNING_FAILED;
  }

  if (!safe_file_name(cn)) {
    const std::string shown = cxLogEscape(cn);
    CXLOG(kVerifierTag, CXLOG_ERROR, "Cert verification failed, CN %s is not a file name",
          shown.c_str());
    return TARN_CERT_PINNING_FAILED;
  }
  std::string path(directory);
  if (path.back() != '/') path += '/';
  path.append(cn.data(), cn.size());
  path += '@';
  path += kTarnCertDomainSuffix;

  std::unique_ptr<char[]> data;
  size_t length = 0;
  if (read_pin_file(path, &data, &length) != TARN_CERT_PINNING_OFF) {
    return TARN_CERT_PINNING_FAILED;
  }
  const std::string shown = cxLogEscape(path);
  if (length <= kPublicKeyHeaderBytes ||
      std::memcmp(data.get(), kPublicKeyHeader, kPublicKeyHeaderBytes) != 0) {
    CXLOG(kVerifierTag, CXLOG_ERROR, "Cert verification failed, %s is not public key",
          shown.c_str());
    return TARN_CERT_PINNING_FAILED;
  }

  std::unique_ptr<BIO, BioFree> bio(BIO_new_mem_buf(data.get(), static_cast<int>(length)));
  if (bio == nullptr) {
    CXLOG(kVerifierTag, CXLOG_ERROR, "Cert verification BIO_new_mem_buf failed %s", shown.c_str());
    return TARN_CERT_PINNING_FAILED;
  }
  ERR_clear_error();
  std::unique_ptr<EVP_PKEY, PkeyFree> pinned(
      PEM_read_bio_PUBKEY(bio.get(), nullptr, nullptr, nullptr));
  if (pinned == nullptr) {
    char reason[256];
    ERR_error_string_n(ERR_get_error(), reason, sizeof(reason));
    ERR_clear_error();
    CXLOG(kVerifierTag, CXLOG_ERROR,
          "Cert verification failed to read public key, file %s hub  error: %s", shown.c_str(),
          reason);
    return TARN_CERT_PINNING_FAILED;
  }

  const std::string shown_cn = cxLogEscape(cn);
  if (cert_key != nullptr && EVP_PKEY_eq(pinned.get(), cert_key) == 1) {
    CXLOG(kVerifierTag, CXLOG_INFO, "cn %s is matched", shown_cn.c_str());
    return TARN_CERT_PINNING_MATCHED;
  }
  CXLOG(kVerifierTag, CXLOG_ERROR, "Cert verification failed to match Public key Hub %s",
        shown_cn.c_str());
  return TARN_CERT_PINNING_FAILED;
}
