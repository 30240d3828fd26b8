#include "client/lib/cxmsg2/CXMsg2.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/lib/cxUtils/cxDeviceUtils.h"
#include "platform/device_identity/device_identity.h"
#include "platform/registry/registry.h"
#include "tests/support/started_log.h"

namespace reg = platform::registry;
using testing_support::StartedLog;
using testing_support::WriteFile;

namespace {

// Ciphertexts made with
//   openssl enc -aes-256-cbc -base64 -A
//     -K <hex of "D259D765-9F67-7235-BD24-89B39753"> -iv <hex of "00330-80000-0000">
// The key is the device id of the inputs below cut to 32 characters, the IV
// the product id cut to 16.
constexpr const char* kStatusCipher =
    "39bDR55L6QADsvULeca4SKc3s9AiqYVTDa5I1Naje3A=";                 // {"status":"alive","n":"3"}
constexpr const char* kNotJsonCipher = "WDtTxWI1+W1aQvP87qXdjg==";  // not json at all
constexpr const char* kKeyCipher =
    "Jnm+2y+vQY8VMgpUbzMpeMVg456QKjxQY90v+Lxf8ys=";  // {"key":"s3cr3t-linux-key"}

std::string Encrypted(int id, const std::string& cipher) {
  return "{\"" + std::to_string(id) + "\":{\"encryptData\":\"" + cipher + "\"}}";
}

class CXMsg2Test : public ::testing::Test {
 protected:
  CXMsg2Test() : log_(CXLOG_FMT_LEVEL_NUMBER) {
    cxLogThreshold = CXLOG_DEBUG;
    CXMsg2::resetKeyMaterialForTesting();
    cxDeviceUid.clear();
    cpuid_.set(0x000906EA, 0xBFEBFBFF);
    platform::set_cpuid_source_for_testing(&cpuid_);
    WriteFile(log_.root().file("sys/class/dmi/id/product_serial"), "SN-12345\n");
    WriteFile(log_.root().file("etc/machine-id"), "0123456789abcdef0123456789abcdef\n");
  }
  ~CXMsg2Test() override {
    platform::set_cpuid_source_for_testing(nullptr);
    CXMsg2::resetKeyMaterialForTesting();
    cxDeviceUid.clear();
  }

  void ProvisionProductId() {
    reg::Key key;
    ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine,
                              "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion", reg::kKeyAllAccess,
                              &key),
              0u);
    const char kProductId[] = "00330-80000-00000-AA123";
    ASSERT_EQ(reg::set_value(key, "ProductId", reg::kRegSz, kProductId, sizeof(kProductId)), 0u);
  }

  StartedLog log_;
  platform::FakeCpuidSource cpuid_{0, 0};
};

}  // namespace

TEST_F(CXMsg2Test, AttachTable) {
  ProvisionProductId();
  struct Case {
    std::string text;
    bool ok;
    int id;
    const char* line;  // expected in the log, or null
  };
  const Case cases[] = {
      {Encrypted(124, kStatusCipher), true, 124, nullptr},
      {R"({"124":{"other":"x"}})", false, 124, "2 CXMSG2 encrypt data not found"},
      {R"({"172":{"state":"on","count":"2"}})", true, 172, "2 CXMSG2 encrypt data not found"},
      {R"({"65535":{"command_subsystem":"tarn","command":"status"}})", false, 65535,
       "2 CXMSG2 encrypt data not found"},
      {"[1, 2]", false, 0,
       "2 CXMSG2 attach: invalid message format received json array/empty dict"},
      {"{}", false, 0, "2 CXMSG2 attach: invalid message format received json array/empty dict"},
      {"5", false, 0, "2 CXMSG2 attach: invalid message format contains scalar/empty value"},
      {"not json", false, 0, "2 CXMSG2 corrupted message: not json"},
      {std::string(100000, '[') + std::string(100000, ']'), false, 0,
       "2 CXMSG2 attach():exception nested deeper than 256 levels"},
      {Encrypted(124, kNotJsonCipher), false, 124, "2 CXMSG2 corrupted message: {\"124\""},
      {R"({"124abc":{"encryptData":")" + std::string(kStatusCipher) + "\"}}", true, 124, nullptr},
      {R"({"abc":{"x":"y"}})", false, 0, "encrypt data not found"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text.substr(0, 60));
    CXMsg2 msg;
    EXPECT_EQ(msg.attach(c.text), c.ok);
    EXPECT_EQ(msg.getMsgId(), c.id);
    if (c.line != nullptr) {
      EXPECT_NE(log_.text().find(c.line), std::string::npos);
    }
  }
  std::string text = log_.text();
  EXPECT_NE(text.find("2 CXMSG2 attach():exception"), std::string::npos);
}

TEST_F(CXMsg2Test, TreesOfPlainAndDecryptedBodies) {
  ProvisionProductId();
  CXMsg2 encrypted;
  ASSERT_TRUE(encrypted.attach(Encrypted(124, kStatusCipher)));
  EXPECT_EQ(encrypted.getMsg().get<std::string>("status"), "alive");
  EXPECT_EQ(encrypted.getMsg().get<std::string>("n"), "3");

  CXMsg2 plain;
  ASSERT_TRUE(plain.attach(R"({"172":{"state":"on","count":"2"}})"));
  EXPECT_EQ(plain.getMsg().size(), 2u);
  EXPECT_EQ(plain.getMsg().front().first, "state");
  EXPECT_EQ(plain.getMsg().get<std::string>("count"), "2");
}

TEST_F(CXMsg2Test, BadCiphertextFailsAndTheKeyMaterialStays) {
  ProvisionProductId();
  CXMsg2 bad;
  EXPECT_FALSE(bad.attach(Encrypted(124, "AAAAAAAAAAAAAAAAAAAAAA==")));
  EXPECT_NE(log_.text().find("Failed to finalize aes decryption flow"), std::string::npos);
  CXMsg2 good;
  EXPECT_TRUE(good.attach(Encrypted(124, kStatusCipher)));
}

TEST_F(CXMsg2Test, SecretIdsShowOnlyTheirId) {
  ProvisionProductId();
  CXMsg2 key;
  ASSERT_TRUE(key.attach(Encrypted(165, kKeyCipher)));
  EXPECT_EQ(key.getMsg().get<std::string>("key"), "s3cr3t-linux-key");
  CXMsg2 broken;
  EXPECT_FALSE(broken.attach(Encrypted(182, kNotJsonCipher)));
  std::string text = log_.text();
  EXPECT_NE(text.find("5 CXMSG2 attach:MsgID 165"), std::string::npos);
  EXPECT_NE(text.find("5 CXMSG2 attach:MsgID 182"), std::string::npos);
  EXPECT_NE(text.find("2 CXMSG2 corrupted message: MsgID 182"), std::string::npos);
  for (const char* secret : {kKeyCipher, kNotJsonCipher, "s3cr3t", "not json at all"}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << secret;
  }
  // Other ids show their text.
  CXMsg2 status;
  ASSERT_TRUE(status.attach(Encrypted(124, kStatusCipher)));
  EXPECT_NE(log_.text().find(std::string("5 CXMSG2 attach:Msg ") + Encrypted(124, kStatusCipher)),
            std::string::npos);
}

TEST_F(CXMsg2Test, WithoutProductIdOnlyPlainIdsPassAndLoadingIsRetried) {
  CXMsg2 first;
  EXPECT_FALSE(first.attach(Encrypted(124, kStatusCipher)));
  EXPECT_TRUE(first.attach(R"({"183":{"reg":"x"}})"));
  std::string text = log_.text();
  EXPECT_NE(text.find("2 cxUtil failed to open registry key SOFTWARE\\Microsoft\\Windows NT\\"
                      "CurrentVersion"),
            std::string::npos);
  EXPECT_NE(text.find("1 CXMSG2 failed to get salt, ipc connection might have problem"),
            std::string::npos);
  EXPECT_NE(text.find("invalid parameters"), std::string::npos);

  // Asked again at most once a second, not for every text.
  ProvisionProductId();
  CXMsg2 soon;
  EXPECT_FALSE(soon.attach(Encrypted(124, kStatusCipher)));
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  CXMsg2 second;
  EXPECT_TRUE(second.attach(Encrypted(124, kStatusCipher)));
}

TEST_F(CXMsg2Test, WithoutDeviceIdNothingIsLoaded) {
  cpuid_.set(0, 0);
  WriteFile(log_.root().file("sys/class/dmi/id/product_serial"), "");
  ProvisionProductId();
  CXMsg2 msg;
  EXPECT_FALSE(msg.attach(Encrypted(124, kStatusCipher)));
  EXPECT_NE(log_.text().find("1 CXMSG2 failed to get unique id, ipc connection might have problem"),
            std::string::npos);
}
