#include "lib/tarncertutils/tarncertutils.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"
#include "tools/certkit/certkit.h"

namespace reg = platform::registry;
using testing_support::ReadFile;
using testing_support::StartedLog;
using testing_support::WriteFile;

namespace {

struct KeyFree {
  void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

Key LoadPublicKey(const std::string& pem) {
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  Key key(PEM_read_bio_PUBKEY(bio, nullptr, nullptr, nullptr));
  BIO_free(bio);
  return key;
}

class PinningTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testing_support::TempRoot;
    std::string error;
    ASSERT_TRUE(certkit::MakeCa(dir_->file("ca"), {}, &error)) << error;
    ASSERT_TRUE(certkit::MakeLeaf(dir_->file("ca"), dir_->file("hub1"), {"hub1"}, &error));
    ASSERT_TRUE(certkit::MakeLeaf(dir_->file("ca"), dir_->file("hub2"), {"hub2"}, &error));
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }

  void SetUp() override { cxLogThreshold = CXLOG_DEBUG; }

  std::string Pins() const { return log_.root().path() + "/pins"; }
  void SetPinning(uint32_t on, const std::string& path) {
    testing_support::SetRegValue(kTarnCertPinningKey, "gatewaycertpinning", reg::kRegDword, &on,
                                 sizeof(on));
    testing_support::SetRegText(kTarnCertPinningKey, "gatewaycertpath", path);
  }
  static std::string PubKey(const char* leaf) {
    return ReadFile(dir_->file(std::string(leaf) + "/pubkey.pem"));
  }

  static testing_support::TempRoot* dir_;
  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
};

testing_support::TempRoot* PinningTest::dir_ = nullptr;

TEST_F(PinningTest, SettingsAndFiles) {
  const Key hub1 = LoadPublicKey(PubKey("hub1"));
  ASSERT_NE(hub1, nullptr);
  const std::string pins = Pins();
  const std::string file = pins + "/hub1@tarn.local";
  struct Case {
    const char* name;
    std::function<void()> setup;
    int result;
    std::string line;  // " <level> <tag> <message>"
  };
  const std::vector<Case> cases = {
      {"no key", [] {}, TARN_CERT_PINNING_OFF, " 3 tarncert cert pinning feature is not enabled"},
      {"no key, read in the 64-bit view", [] {}, TARN_CERT_PINNING_OFF,
       " 5 registry RegOpenKeyEx failed to open key: SOFTWARE\\corvextarn, flag: 256, err: 2"},
      {"off", [&] { SetPinning(0, pins); }, TARN_CERT_PINNING_OFF,
       " 3 tarncert cert pinning feature is disabled"},
      {"value of 8 bytes",
       [&] {
         uint64_t big = 1;
         testing_support::SetRegValue(kTarnCertPinningKey, "gatewaycertpinning", 11, &big,
                                      sizeof(big));
       },
       TARN_CERT_PINNING_OFF, " 3 tarncert cert pinning feature is not enabled"},
      {"empty path", [&] { SetPinning(1, ""); }, TARN_CERT_PINNING_FAILED,
       " 2 tarncert Cert verification failed to read cert path"},
      {"path over 261 bytes", [&] { SetPinning(1, "/" + std::string(261, 'p')); },
       TARN_CERT_PINNING_FAILED, " 2 tarncert Cert verification failed to read cert path"},
      {"no path value",
       [&] {
         uint32_t on = 1;
         testing_support::SetRegValue(kTarnCertPinningKey, "gatewaycertpinning", reg::kRegDword,
                                      &on, sizeof(on));
       },
       TARN_CERT_PINNING_FAILED, " 2 tarncert Cert verification failed to read cert path"},
      {"matched, path with a slash",
       [&] {
         SetPinning(1, pins + "/");
         WriteFile(file, PubKey("hub1"));
       },
       TARN_CERT_PINNING_MATCHED, " 4 tarncertverifier cn hub1 is matched"},
      {"another key",
       [&] {
         SetPinning(1, pins);
         WriteFile(file, PubKey("hub2"));
       },
       TARN_CERT_PINNING_FAILED,
       " 2 tarncertverifier Cert verification failed to match Public key Hub hub1"},
      {"empty file",
       [&] {
         SetPinning(1, pins);
         WriteFile(file, "");
       },
       TARN_CERT_PINNING_FAILED,
       " 2 tarncertverifier Cert verification failed to read the empty File " + file},
      {"27 bytes, header and a newline",
       [&] {
         SetPinning(1, pins);
         WriteFile(file, "-----BEGIN PUBLIC KEY-----\n");
       },
       TARN_CERT_PINNING_FAILED,
       " 2 tarncertverifier Cert verification failed to read public key, file " + file +
           " hub  error: error:1E08010C:DECODER routines::unsupported"},
      {"another PEM",
       [&] {
         SetPinning(1, pins);
         WriteFile(file, ReadFile(dir_->file("hub1/cert.pem")));
       },
       TARN_CERT_PINNING_FAILED,
       " 2 tarncertverifier Cert verification failed, " + file + " is not public key"},
      {"over 64 KiB",
       [&] {
         SetPinning(1, pins);
         WriteFile(file, PubKey("hub1") + std::string(64 * 1024, '\n'));
       },
       TARN_CERT_PINNING_FAILED,
       " 2 tarncertverifier Cert verification failed, " + file + " is not public key"},
      {"a directory",
       [&] {
         SetPinning(1, pins);
         std::filesystem::create_directories(file);
       },
       TARN_CERT_PINNING_FAILED,
       " 2 tarncertverifier Cert verification failed to open " + file + " file error 22"},
      // Opened without blocking: nobody writes to it, and the check goes on.
      {"a FIFO",
       [&] {
         SetPinning(1, pins);
         ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
       },
       TARN_CERT_PINNING_FAILED,
       " 2 tarncertverifier Cert verification failed to open " + file + " file error 22"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    reg::Key software;
    if (reg::open_key(reg::RootKey::kLocalMachine, "SOFTWARE", reg::kKeyAllAccess, &software) ==
        0) {
      reg::delete_tree(software, "corvextarn");
    }
    std::filesystem::remove_all(pins);
    std::filesystem::create_directories(pins);
    c.setup();
    log_.fresh();
    EXPECT_EQ(check_gateway_cert_pinning("hub1", hub1.get()), c.result);
    const std::string text = log_.fresh();
    EXPECT_NE(text.find(c.line + "\n"), std::string::npos) << c.line << "\n" << text;
  }
}

TEST_F(PinningTest, NamesThatLeaveTheDirectoryOpenNothing) {
  const Key hub1 = LoadPublicKey(PubKey("hub1"));
  SetPinning(1, Pins());
  // Each of these would reach a file holding the right key.
  std::filesystem::create_directories(Pins() + "/a");
  WriteFile(log_.root().path() + "/x@tarn.local", PubKey("hub1"));
  WriteFile(Pins() + "/a/b@tarn.local", PubKey("hub1"));
  WriteFile(Pins() + "/..@tarn.local", PubKey("hub1"));
  const std::vector<std::pair<std::string, std::string>> names = {
      {"../x", "../x"},
      {"a/b", "a/b"},
      {"a\\b", "a\\\\b"},
      {"..", ".."},
      {std::string("a\0b", 3), "a\\x00b"},
      {"a\nb", "a\\nb"},
      {"a\x7f"
       "b",
       "a\\x7Fb"},
      {"", ""},
  };
  for (const auto& [cn, shown] : names) {
    SCOPED_TRACE(shown);
    log_.fresh();
    EXPECT_EQ(check_gateway_cert_pinning(cn, hub1.get()), TARN_CERT_PINNING_FAILED);
    const std::string text = log_.fresh();
    EXPECT_NE(text.find(" 2 tarncertverifier Cert verification failed, CN " + shown +
                        " is not a file name\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("matched"), std::string::npos);
  }
}

}  // namespace
