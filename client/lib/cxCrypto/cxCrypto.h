// The client library's crypto layer over libcrypto: AES-256-CBC decryption of
// IPC message bodies, Base64, and the process-wide provider loader.
//
// `cxAesDecrypt` is the entry point: it takes the key and IV texts the codec
// derives from the device identity, pads them with "0" to 32 and 16 bytes and
// decrypts (PKCS#7 padding). Every failure is a log line (tags "cxEncryption"
// for the flow, "aes" for the object and its libcrypto calls) and false;
// nothing throws except a failure to lock the provider mutex.
//
// A `cxAes` holds one decryption's state and owns its cipher context. It is
// made, used and destroyed by one thread. `cxOpenSSLProviderMgr` is shared by
// every thread and serialises provider loading with its own mutex; the
// providers stay loaded until the process ends.
#ifndef CLIENT_LIB_CXCRYPTO_CXCRYPTO_H_
#define CLIENT_LIB_CXCRYPTO_CXCRYPTO_H_

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

inline constexpr size_t kCxAesKeySize = 32;
inline constexpr size_t kCxAesIvSize = 16;

// One AES working object. Key and IV are never longer than 32 and 16 bytes:
// the functions below refuse anything longer.
struct cxAes {
  cxAes() = default;
  cxAes(const cxAes&) = delete;
  cxAes& operator=(const cxAes&) = delete;
  ~cxAes();

  EVP_CIPHER_CTX* cipherCtx = nullptr;  // owned; null until a decryption makes it
  std::vector<uint8_t> key;
  std::vector<uint8_t> iv;
};

// Decrypts `ciphertext` with AES-256-CBC. `key` and `iv` must be non-empty and
// at most 32 and 16 bytes; shorter ones are padded in place with "0". On
// success `plaintext` receives the bytes; on failure it is left untouched.
bool cxAesDecrypt(std::string* key, std::string* iv, const std::vector<uint8_t>& ciphertext,
                  std::string* plaintext);

// Loads the providers if needed and sets key and IV: a null or empty key gets
// 32 random bytes, a null or empty IV 16. False when randomness fails or a key
// or IV is longer than 32 or 16 bytes.
bool cxAesInit(cxAes& aes, const uint8_t* key, size_t keyLength, const uint8_t* iv,
               size_t ivLength);

// Base64(key) + ":" + Base64(IV); false when either is empty.
bool cxAesGetEncodedKey(const cxAes& aes, std::string* encoded);

// The inverse of cxAesGetEncodedKey: splits at the first ":" and decodes both
// halves. A text without ":" changes nothing and gives true. False, nothing
// changed, for an empty text or halves that decode to more than 32 or 16 bytes.
bool cxAesLoadEncodedKey(cxAes& aes, std::string_view encoded);

// Standard alphabet with "=" fill, no line breaks.
std::string cxBase64Encode(const uint8_t* data, size_t length);

// Decodes until `text` ends, the first "=" or the first character outside the
// alphabet; a trailing group of 2 or 3 characters gives 1 or 2 bytes, a single
// left-over character nothing. Never reads beyond `text`.
std::vector<uint8_t> cxBase64Decode(std::string_view text);

// Loads the "default" provider, and once it is loaded the "legacy" provider,
// into the default library context. A failed default load is retried by the
// next call; a failed legacy load is not.
class cxOpenSSLProviderMgr {
 public:
  // Made on first use and never destroyed, so late threads can still call it.
  static cxOpenSSLProviderMgr& instance();

  void loadProviders();

 private:
  cxOpenSSLProviderMgr() = default;

  std::mutex mutex_;
  OSSL_PROVIDER* defaultProvider_ = nullptr;
  OSSL_PROVIDER* legacyProvider_ = nullptr;
};

#endif  // CLIENT_LIB_CXCRYPTO_CXCRYPTO_H_
