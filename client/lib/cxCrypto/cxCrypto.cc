#include "client/lib/cxCrypto/cxCrypto.h"

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/provider.h>
#include <openssl/rand.h>

#include <climits>

#include "client/lib/cxLog/cxLog.h"

namespace {

constexpr const char* kAesTag = "aes";
constexpr const char* kFlowTag = "cxEncryption";
constexpr const char* kProviderTag = "cxOpenSSLProviderMgr";
constexpr const char* kSizeRefused =
    "key more than 32 bytes or salt more than 16 bytes are not supported.";

constexpr size_t kBlockSize = 16;
// Room beyond the ciphertext for what update holds back and final adds.
constexpr size_t kOutputSlack = 32;

constexpr char kBase64Alphabet[] =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Logs the oldest queued libcrypto error and drops the rest, so that the next
// failure reports its own cause.
void logOpenSslError(const char* quotedFunction) {
  unsigned long err = ERR_get_error();
  char text[256];
  ERR_error_string_n(err, text, sizeof text);
  ERR_clear_error();
  CXLOG(kAesTag, CXLOG_ERROR, "%s failed, err: %d, errStr: %s", quotedFunction,
        static_cast<int>(err), text);
}

void freeCipherCtx(cxAes& aes) {
  EVP_CIPHER_CTX_free(aes.cipherCtx);
  aes.cipherCtx = nullptr;
}

// Makes and keys the cipher context. Failures only log: the update step then
// finds no context and reports it.
void decryptInit(cxAes& aes) {
  aes.cipherCtx = EVP_CIPHER_CTX_new();
  if (aes.cipherCtx == nullptr) {
    logOpenSslError("\"EVP_CIPHER_CTX_new\"");
    return;
  }
  // The cipher reads exactly 32 and 16 bytes; anything else would over-read.
  if (aes.key.size() != kCxAesKeySize || aes.iv.size() != kCxAesIvSize) {
    CXLOG(kAesTag, CXLOG_ERROR, "keys not configured");
    freeCipherCtx(aes);
    return;
  }
  if (EVP_DecryptInit_ex(aes.cipherCtx, EVP_aes_256_cbc(), nullptr, aes.key.data(),
                         aes.iv.data()) != 1) {
    logOpenSslError("\"EVP_DecryptInit_ex\"");
    freeCipherCtx(aes);
  }
}

bool decryptUpdate(cxAes& aes, const uint8_t* in, size_t inLength, uint8_t* out, size_t outSize,
                   int* produced) {
  if (in == nullptr || inLength == 0 || inLength > INT_MAX) {
    CXLOG(kAesTag, CXLOG_ERROR, "invalid parameters");
    return false;
  }
  // Update may write up to one block more than it is given.
  if (outSize <= kBlockSize - 1 || outSize < inLength + kBlockSize) {
    CXLOG(kAesTag, CXLOG_ERROR, "outbuffer size not enough");
    return false;
  }
  if (aes.cipherCtx == nullptr) {
    CXLOG(kAesTag, CXLOG_ERROR, "cipher_ctx not set");
    return false;
  }
  if (EVP_DecryptUpdate(aes.cipherCtx, out, produced, in, static_cast<int>(inLength)) != 1) {
    logOpenSslError("\"EVP_DecryptUpdate\"");
    return false;
  }
  return true;
}

bool decryptFinal(cxAes& aes, uint8_t* out, size_t space, int* produced) {
  if (out == nullptr || space == 0) {
    CXLOG(kAesTag, CXLOG_ERROR, "invalid parameters");
    return false;
  }
  if (space <= kBlockSize - 1) {
    CXLOG(kAesTag, CXLOG_ERROR, "outbuffer size not enough");
    return false;
  }
  if (aes.cipherCtx == nullptr) {
    CXLOG(kAesTag, CXLOG_ERROR, "cipher_ctx not set");
    return false;
  }
  if (EVP_DecryptFinal_ex(aes.cipherCtx, out, produced) != 1) {
    logOpenSslError("\"EVP_CipherFinal_ex\"");
    return false;
  }
  return true;
}

// A given key or IV is copied; a missing one is drawn at random.
bool setOrDraw(const uint8_t* given, size_t length, size_t randomSize, std::vector<uint8_t>* out) {
  if (given != nullptr && length != 0) {
    out->assign(given, given + length);
    return true;
  }
  out->assign(randomSize, 0);
  ERR_clear_error();
  if (RAND_bytes(out->data(), static_cast<int>(randomSize)) != 1) {
    logOpenSslError("\"RAND_bytes\"");
    return false;
  }
  return true;
}

const uint8_t* bytesOf(const std::string& text) {
  return reinterpret_cast<const uint8_t*>(text.data());
}

}  // namespace

cxAes::~cxAes() { EVP_CIPHER_CTX_free(cipherCtx); }

bool cxAesDecrypt(std::string* key, std::string* iv, const std::vector<uint8_t>& ciphertext,
                  std::string* plaintext) {
  if (key == nullptr || iv == nullptr || plaintext == nullptr || key->empty() || iv->empty() ||
      ciphertext.empty() || ciphertext.size() > INT_MAX - kOutputSlack) {
    CXLOG(kFlowTag, CXLOG_ERROR, "invalid parameters");
    return false;
  }
  if (key->size() > kCxAesKeySize || iv->size() > kCxAesIvSize) {
    CXLOG(kFlowTag, CXLOG_ERROR, "%s", kSizeRefused);
    return false;
  }
  key->resize(kCxAesKeySize, '0');
  iv->resize(kCxAesIvSize, '0');

  cxAes aes;
  if (!cxAesInit(aes, bytesOf(*key), key->size(), bytesOf(*iv), iv->size())) {
    CXLOG(kFlowTag, CXLOG_ERROR, "Failed to initialize aes");
    return false;
  }
  std::string encoded;
  if (!cxAesGetEncodedKey(aes, &encoded)) {
    CXLOG(kFlowTag, CXLOG_ERROR, "Failed to get key in encoded format");
    return false;
  }
  if (!cxAesLoadEncodedKey(aes, encoded)) {
    CXLOG(kFlowTag, CXLOG_ERROR, "Failed to load encoded key");
    return false;
  }

  // Errors other code left on this thread's queue must not be reported as ours.
  ERR_clear_error();
  decryptInit(aes);
  std::vector<uint8_t> out(ciphertext.size() + kOutputSlack);
  int updated = 0;
  if (!decryptUpdate(aes, ciphertext.data(), ciphertext.size(), out.data(), out.size(), &updated)) {
    CXLOG(kFlowTag, CXLOG_ERROR, "Failed to update aes decryption flow");
    return false;
  }
  int finished = 0;
  if (!decryptFinal(aes, out.data() + updated, out.size() - updated, &finished)) {
    CXLOG(kFlowTag, CXLOG_ERROR, "Failed to finalize aes decryption flow");
    return false;
  }
  plaintext->assign(reinterpret_cast<const char*>(out.data()), updated + finished);
  return true;
}

bool cxAesInit(cxAes& aes, const uint8_t* key, size_t keyLength, const uint8_t* iv,
               size_t ivLength) {
  OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CRYPTO_STRINGS, nullptr);
  cxOpenSSLProviderMgr::instance().loadProviders();

  if ((key != nullptr && keyLength > kCxAesKeySize) || (iv != nullptr && ivLength > kCxAesIvSize)) {
    CXLOG(kAesTag, CXLOG_ERROR, "%s", kSizeRefused);
    return false;
  }
  std::vector<uint8_t> newKey;
  std::vector<uint8_t> newIv;
  if (!setOrDraw(key, keyLength, kCxAesKeySize, &newKey) ||
      !setOrDraw(iv, ivLength, kCxAesIvSize, &newIv)) {
    return false;
  }
  aes.key = std::move(newKey);
  aes.iv = std::move(newIv);
  return true;
}

bool cxAesGetEncodedKey(const cxAes& aes, std::string* encoded) {
  if (encoded == nullptr) {
    CXLOG(kAesTag, CXLOG_ERROR, "invalid params");
    return false;
  }
  if (aes.key.empty() || aes.iv.empty()) {
    CXLOG(kAesTag, CXLOG_ERROR, "keys not configured");
    return false;
  }
  *encoded = cxBase64Encode(aes.key.data(), aes.key.size()) + ":" +
             cxBase64Encode(aes.iv.data(), aes.iv.size());
  return true;
}

bool cxAesLoadEncodedKey(cxAes& aes, std::string_view encoded) {
  if (encoded.empty()) {
    CXLOG(kAesTag, CXLOG_ERROR, "invalid params");
    return false;
  }
  size_t colon = encoded.find(':');
  if (colon == std::string_view::npos) return true;

  std::vector<uint8_t> key = cxBase64Decode(encoded.substr(0, colon));
  std::vector<uint8_t> iv = cxBase64Decode(encoded.substr(colon + 1));
  if (key.size() > kCxAesKeySize || iv.size() > kCxAesIvSize) {
    CXLOG(kAesTag, CXLOG_ERROR, "%s", kSizeRefused);
    return false;
  }
  aes.key = std::move(key);
  aes.iv = std::move(iv);
  return true;
}

std::string cxBase64Encode(const uint8_t* data, size_t length) {
  std::string text;
  if (data == nullptr) return text;
  text.reserve((length + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    uint32_t group = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    text.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
    text.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
    text.push_back(kBase64Alphabet[(group >> 6) & 0x3F]);
    text.push_back(kBase64Alphabet[group & 0x3F]);
  }
  size_t left = length - i;
  if (left == 0) return text;
  uint32_t group = data[i] << 16;
  if (left == 2) group |= data[i + 1] << 8;
  text.push_back(kBase64Alphabet[(group >> 18) & 0x3F]);
  text.push_back(kBase64Alphabet[(group >> 12) & 0x3F]);
  if (left == 2) {
    text.push_back(kBase64Alphabet[(group >> 6) & 0x3F]);
    text.push_back('=');
    return text;
  }
  text.append("==");
  return text;
}

std::vector<uint8_t> cxBase64Decode(std::string_view text) {
  std::vector<uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3 + 2);
  uint32_t group = 0;
  int count = 0;
  for (char c : text) {
    int value = base64Value(c);
    if (value < 0) break;  // "=", a line break or anything else ends the data
    group = (group << 6) | static_cast<uint32_t>(value);
    if (++count < 4) continue;
    bytes.push_back(static_cast<uint8_t>(group >> 16));
    bytes.push_back(static_cast<uint8_t>(group >> 8));
    bytes.push_back(static_cast<uint8_t>(group));
    group = 0;
    count = 0;
  }
  if (count == 2) bytes.push_back(static_cast<uint8_t>(group >> 4));
  if (count == 3) {
    bytes.push_back(static_cast<uint8_t>(group >> 10));
    bytes.push_back(static_cast<uint8_t>(group >> 2));
  }
  return bytes;
}

cxOpenSSLProviderMgr& cxOpenSSLProviderMgr::instance() {
  static cxOpenSSLProviderMgr* manager = new cxOpenSSLProviderMgr;
  return *manager;
}

void cxOpenSSLProviderMgr::loadProviders() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (defaultProvider_ != nullptr) return;

  CXLOG(kProviderTag, CXLOG_INFO, "OpenSSL Version: %s", OpenSSL_version(OPENSSL_VERSION));
  defaultProvider_ = OSSL_PROVIDER_load(nullptr, "default");
  if (defaultProvider_ == nullptr) {
    CXLOG(kProviderTag, CXLOG_ERROR, "Failed to load default provider");
    ERR_clear_error();
    return;
  }
  // The legacy provider is optional: a system without it still decrypts.
  legacyProvider_ = OSSL_PROVIDER_load(nullptr, "legacy");
  if (legacyProvider_ == nullptr) {
    CXLOG(kProviderTag, CXLOG_ERROR, "Warning: Failed to load legacy provider");
    ERR_clear_error();
  }
}
