#include "client/lib/cxCrypto/cxCrypto.h"

#include <gtest/gtest.h>
#include <openssl/crypto.h>
#include <openssl/provider.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/started_log.h"

namespace {

constexpr char kKey32[] = "0123456789abcdef0123456789ABCDEF";
constexpr char kIv16[] = "fedcba9876543210";
constexpr char kKeyFlowRefused[] =
    " vedororore 2 cxEncryption key more than 32 bytes or salt more than 16 bytes are not "
    "supported.\n";
constexpr char kKeyObjectRefused[] =
    " vedororore 2 aes key more than 32 bytes or salt more than 16 bytes are not supported.\n";
constexpr char kFinalFailed[] =
    " vedororore 2 aes \"EVP_CipherFinal_ex\" failed, err: <code>, errStr: <text>\n"
    " vedororore 2 cxEncryption Failed to finalize aes decryption flow\n";
constexpr char kInvalidParameters[] = " vedororore 2 cxEncryption invalid parameters\n";

// Ciphertexts made once with `openssl enc -aes-256-cbc -K <hex of key> -iv <hex of IV>`.
// Key kKey32, IV kIv16, plaintext {"1":{"status":"connected"}}:
constexpr char kMainCipher[] = "25220eb7b59c762810cf424c6442a39e30655785e9d6e7b94d668d3b1cf3ccde";
// Key "device-uid-20-bytes!" + twelve "0", IV "prod-id" + nine "0", plaintext "padded key and
// salt":
constexpr char kPaddedCipher[] = "fd80ee4ace870453a3741ffaa4cb331bd70c4bba550dfeacbd68fe78a8d3a02a";
// Key kKey32, IV kIv16, empty plaintext (one block of padding only):
constexpr char kEmptyCipher[] = "3f639090365a0fe5dc1f373eaa91052f";

std::vector<uint8_t> FromHex(const std::string& hex) {
  std::vector<uint8_t> bytes;
  for (size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

std::vector<uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }

// libcrypto's error codes and texts differ between versions.
std::string MaskOpenSslError(const std::string& log) {
  static const std::regex kError("err: -?[0-9]+, errStr: [^\n]*");
  return std::regex_replace(log, kError, "err: <code>, errStr: <text>");
}

// A started log with only the level number. The providers are loaded first,
// and their version line skipped, since only the process's first load logs it.
class CryptoTest : public ::testing::Test {
 protected:
  CryptoTest() {
    cxOpenSSLProviderMgr::instance().loadProviders();
    NewLines();
  }

  // The lines written since the previous call.
  std::string NewLines() {
    std::string text = log_.text();
    std::string fresh = text.substr(seen_);
    seen_ = text.size();
    return MaskOpenSslError(fresh);
  }

  testing_support::StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  size_t seen_ = 0;
};

TEST_F(CryptoTest, DecryptsPadsKeysAndRefusesBadInput) {
  struct Case {
    const char* what;
    std::string key;
    std::string iv;
    std::vector<uint8_t> ciphertext;
    bool ok;
    std::string plaintext;
    std::string log;
  } cases[] = {
      {"32-byte key, 16-byte IV used as they are", kKey32, kIv16, FromHex(kMainCipher), true,
       R"({"1":{"status":"connected"}})", ""},
      {"short key and IV padded with 0", "device-uid-20-bytes!", "prod-id", FromHex(kPaddedCipher),
       true, "padded key and salt", ""},
      {"one block of padding only", kKey32, kIv16, FromHex(kEmptyCipher), true, "", ""},
      {"36-byte key", std::string(kKey32) + "XYZW", kIv16, FromHex(kMainCipher), false, "",
       kKeyFlowRefused},
      {"23-byte IV", kKey32, "fedcba9876543210abcdefg", FromHex(kMainCipher), false, "",
       kKeyFlowRefused},
      {"ciphertext cut short of a block", kKey32, kIv16,
       FromHex(std::string(kMainCipher).substr(0, 62)), false, "", kFinalFailed},
      {"ciphertext one byte over a block", kKey32, kIv16, FromHex(std::string(kMainCipher) + "00"),
       false, "", kFinalFailed},
      {"wrong key", "0123456789abcdef0123456789ABCDEX", kIv16, FromHex(kMainCipher), false, "",
       kFinalFailed},
      {"empty key", "", kIv16, FromHex(kMainCipher), false, "", kInvalidParameters},
      {"empty IV", kKey32, "", FromHex(kMainCipher), false, "", kInvalidParameters},
      {"empty ciphertext", kKey32, kIv16, {}, false, "", kInvalidParameters},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string key = c.key;
    std::string iv = c.iv;
    std::string plaintext = "untouched";
    EXPECT_EQ(cxAesDecrypt(&key, &iv, c.ciphertext, &plaintext), c.ok);
    EXPECT_EQ(plaintext, c.ok ? c.plaintext : "untouched");
    EXPECT_EQ(NewLines(), c.log);
    if (c.ok) {
      EXPECT_EQ(key, c.key + std::string(kCxAesKeySize - c.key.size(), '0'));
      EXPECT_EQ(iv, c.iv + std::string(kCxAesIvSize - c.iv.size(), '0'));
    }
  }
}

TEST_F(CryptoTest, EncodedKeyRoundTripsAndGivenKeysAreKept) {
  cxAes aes;
  std::string encoded;
  EXPECT_FALSE(cxAesGetEncodedKey(aes, &encoded));
  EXPECT_EQ(NewLines(), " vedororore 2 aes keys not configured\n");

  std::vector<uint8_t> key = Bytes(kKey32);
  std::vector<uint8_t> iv = Bytes(kIv16);
  ASSERT_TRUE(cxAesInit(aes, key.data(), key.size(), iv.data(), iv.size()));
  ASSERT_TRUE(cxAesGetEncodedKey(aes, &encoded));
  EXPECT_EQ(encoded, "MDEyMzQ1Njc4OWFiY2RlZjAxMjM0NTY3ODlBQkNERUY=:ZmVkY2JhOTg3NjU0MzIxMA==");

  cxAes loaded;
  ASSERT_TRUE(cxAesLoadEncodedKey(loaded, encoded));
  EXPECT_EQ(loaded.key, key);
  EXPECT_EQ(loaded.iv, iv);
  EXPECT_EQ(NewLines(), "");
}

TEST_F(CryptoTest, MissingKeyAndIvAreDrawnAtRandom) {
  cxAes first;
  cxAes second;
  ASSERT_TRUE(cxAesInit(first, nullptr, 0, nullptr, 0));
  uint8_t none = 0;
  ASSERT_TRUE(cxAesInit(second, &none, 0, &none, 0));
  EXPECT_EQ(first.key.size(), kCxAesKeySize);
  EXPECT_EQ(first.iv.size(), kCxAesIvSize);
  EXPECT_EQ(second.key.size(), kCxAesKeySize);
  EXPECT_NE(first.key, second.key);
  EXPECT_NE(first.iv, second.iv);
}

TEST_F(CryptoTest, OversizedKeysAreRefusedWithoutChangingTheObject) {
  std::vector<uint8_t> key = Bytes(kKey32);
  std::vector<uint8_t> iv = Bytes(kIv16);
  std::vector<uint8_t> big(kCxAesKeySize + 1, 'k');
  std::string longKey = cxBase64Encode(big.data(), kCxAesKeySize + 1);
  std::string longIv = cxBase64Encode(big.data(), kCxAesIvSize + 1);
  std::string goodKey = cxBase64Encode(key.data(), key.size());
  std::string goodIv = cxBase64Encode(iv.data(), iv.size());

  cxAes aes;
  ASSERT_TRUE(cxAesInit(aes, key.data(), key.size(), iv.data(), iv.size()));
  NewLines();
  for (const std::string& text : {longKey + ":" + goodIv, goodKey + ":" + longIv}) {
    EXPECT_FALSE(cxAesLoadEncodedKey(aes, text)) << text;
    EXPECT_EQ(NewLines(), kKeyObjectRefused);
  }
  EXPECT_FALSE(cxAesInit(aes, big.data(), big.size(), iv.data(), iv.size()));
  EXPECT_FALSE(cxAesInit(aes, key.data(), key.size(), big.data(), kCxAesIvSize + 1));
  EXPECT_EQ(NewLines(), std::string(kKeyObjectRefused) + kKeyObjectRefused);

  EXPECT_FALSE(cxAesLoadEncodedKey(aes, ""));
  EXPECT_EQ(NewLines(), " vedororore 2 aes invalid params\n");
  EXPECT_TRUE(cxAesLoadEncodedKey(aes, "QUJD"));  // no ":" changes nothing

  EXPECT_EQ(aes.key, key);
  EXPECT_EQ(aes.iv, iv);
}

TEST(Base64Test, EncodesInGroupsOfThree) {
  struct Case {
    std::vector<uint8_t> bytes;
    const char* text;
  } cases[] = {
      {{}, ""},
      {Bytes("a"), "YQ=="},
      {Bytes("ab"), "YWI="},
      {Bytes("abc"), "YWJj"},
      {Bytes("abcd"), "YWJjZA=="},
      {{0xFB, 0xFF, 0xBF}, "+/+/"},
      {{0x00, 0x00}, "AAA="},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cxBase64Encode(c.bytes.data(), c.bytes.size()), c.text);
  }
}

TEST(Base64Test, DecodeStopsAtTheFirstCharacterOutsideTheAlphabet) {
  struct Case {
    std::string text;
    std::string bytes;
  } cases[] = {
      {"YWJj", "abc"},
      {"YWI=", "ab"},
      {"YWI", "ab"},
      {"YQ==", "a"},
      {"YWJjZ", "abc"},  // a single left-over character gives nothing
      {"Y", ""},
      {"", ""},
      {"YWJj\nZGVm", "abc"},
      {"YWJj\r\nZGVm", "abc"},
      {"YW=Jj", "a"},
      {"YWJj ZGVm", "abc"},
      {"YWJj*ZGVm", "abc"},
      {std::string("YW\0Jj", 5), "a"},
      {"+/+/", "\xFB\xFF\xBF"},
      {"\xC3\xA9YWJj", ""},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> got = cxBase64Decode(c.text);
    EXPECT_EQ(std::string(got.begin(), got.end()), c.bytes) << c.text;
  }
  std::vector<uint8_t> prefix = cxBase64Decode(std::string_view("YWJjZGVm", 4));
  EXPECT_EQ(std::string(prefix.begin(), prefix.end()), "abc");
}

TEST(Base64Test, RoundTripsEveryByteAndEveryLength) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 300; ++i) bytes.push_back(static_cast<uint8_t>(i * 7 + 3));
  for (size_t length = 0; length <= bytes.size(); ++length) {
    std::string text = cxBase64Encode(bytes.data(), length);
    EXPECT_EQ(text.size(), (length + 2) / 3 * 4);
    EXPECT_EQ(cxBase64Decode(text), std::vector<uint8_t>(bytes.begin(), bytes.begin() + length))
        << length;
  }
}

// Each text sits in a heap block of its exact size, so AddressSanitizer sees
// any read past its end.
TEST(Base64Test, DecodeReadsNothingBeyondTheText) {
  const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  for (size_t length = 1; length <= 67; ++length) {
    std::unique_ptr<char[]> text(new char[length]);
    for (size_t i = 0; i < length; ++i) text[i] = alphabet[(i * 5) % alphabet.size()];
    size_t tail = length % 4;
    size_t expected = length / 4 * 3 + (tail >= 2 ? tail - 1 : 0);
    EXPECT_EQ(cxBase64Decode(std::string_view(text.get(), length)).size(), expected) << length;
  }
  // "QU" decodes to "A"; a third character adds a byte only if it is in the alphabet.
  for (int byte = 0; byte < 256; ++byte) {
    std::unique_ptr<char[]> text(new char[3]{'Q', 'U', static_cast<char>(byte)});
    bool inAlphabet = alphabet.find(static_cast<char>(byte)) != std::string::npos;
    EXPECT_EQ(cxBase64Decode(std::string_view(text.get(), 3)).size(), inAlphabet ? 2u : 1u) << byte;
  }
}

// Providers are process-wide, so the check runs in a fresh process of its own.
int InitTwiceAndCheckProviders() {
  bool ok = true;
  {
    testing_support::StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
    cxAes first;
    cxAes second;
    ok = cxAesInit(first, nullptr, 0, nullptr, 0) && cxAesInit(second, nullptr, 0, nullptr, 0);
    std::string expected = std::string(" vedororore 4 cxOpenSSLProviderMgr OpenSSL Version: ") +
                           OpenSSL_version(OPENSSL_VERSION) + "\n";
    if (log.text() != expected) {
      std::fprintf(stderr, "log was [%s]\n", log.text().c_str());
      ok = false;
    }
    if (OSSL_PROVIDER_available(nullptr, "default") != 1 ||
        OSSL_PROVIDER_available(nullptr, "legacy") != 1) {
      std::fprintf(stderr, "providers not loaded\n");
      ok = false;
    }
  }
  std::fflush(stderr);
  std::_Exit(ok ? 0 : 1);
}

TEST(cxOpenSSLProviderMgrDeathTest, LoadsProvidersOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(InitTwiceAndCheckProviders(), ::testing::ExitedWithCode(0), "");
}

}  // namespace
