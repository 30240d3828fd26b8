#include "client/lib/cxUtils/cxDeviceUtils.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "platform/device_identity/device_identity.h"
#include "platform/registry/registry.h"
#include "tests/support/started_log.h"

namespace reg = platform::registry;
using testing_support::StartedLog;
using testing_support::WriteFile;

namespace {

constexpr int kLineFlags = CXLOG_FMT_LEVEL_NUMBER;

// A started log in a fresh root with the device inputs a test chooses.
class DeviceIdTest : public ::testing::Test {
 protected:
  DeviceIdTest() : log_(kLineFlags) {
    cxDeviceUid.clear();
    platform::set_cpuid_source_for_testing(&cpuid_);
  }
  ~DeviceIdTest() override {
    platform::set_cpuid_source_for_testing(nullptr);
    cxDeviceUid.clear();
  }

  void SetSerial(const std::string& text) {
    WriteFile(log_.root().file("sys/class/dmi/id/product_serial"), text);
  }
  void SetMachineId(const std::string& text) {
    WriteFile(log_.root().file("etc/machine-id"), text);
  }
  void Provision(const std::string& uid) {
    reg::Key key;
    ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\Provisioning",
                              reg::kKeyAllAccess, &key),
              0u);
    ASSERT_EQ(reg::set_value(key, "cxdeviceuidnew", reg::kRegSz, uid.c_str(),
                             static_cast<uint32_t>(uid.size() + 1)),
              0u);
  }

  StartedLog log_;
  platform::FakeCpuidSource cpuid_{0, 0};
};

}  // namespace

TEST_F(DeviceIdTest, HardwareIdIsTheDigestOfTheInputsAndNoneOfThemIsLogged) {
  cpuid_.set(0x000906EA, 0xBFEBFBFF);
  SetSerial("  SN-12345 \n");
  SetMachineId("0123456789abcdef0123456789abcdef\n");

  ASSERT_TRUE(cxGetDeviceUid());
  // md5("BFEBFBFF000906EA" "SN-12345" "01234567-89ab-cdef-0123-456789abcdef")
  EXPECT_EQ(cxDeviceUid, "D259D765-9F67-7235-BD24-89B397534A54");

  std::string text = log_.text();
  EXPECT_NE(text.find("4 cxUtil Serial Id obtained [masked, 8 characters]"), std::string::npos);
  EXPECT_NE(text.find("4 cxUtil Processor Id obtained [masked, 16 characters]"), std::string::npos);
  EXPECT_NE(text.find("4 cxUtil machine GUID obtained [masked, 36 characters]"), std::string::npos);
  for (const char* secret : {"SN-12345", "BFEBFBFF", "000906EA", "0123456789", "01234567-89ab",
                             "D259D765"}) {
    EXPECT_EQ(text.find(secret), std::string::npos) << secret;
  }
}

TEST_F(DeviceIdTest, MissingSerialStillGivesAnId) {
  cpuid_.set(0x000906EA, 0xBFEBFBFF);
  SetMachineId("0123456789abcdef0123456789abcdef");
  ASSERT_TRUE(cxGetHardwareId());
  EXPECT_EQ(cxDeviceUid, "163BA729-28E3-1AE3-FA0B-81407CB21832");
  EXPECT_NE(log_.text().find("2 cxUtil Serial number is empty"), std::string::npos);
}

TEST_F(DeviceIdTest, SerialAloneIsEnough) {
  cpuid_.set(0, 0);
  SetSerial("SN-12345");
  ASSERT_TRUE(cxGetHardwareId());
  EXPECT_EQ(cxDeviceUid, "F113F148-1363-C96B-5551-F30CCE0380F0");
  EXPECT_NE(log_.text().find("2 cxUtil Could not get processor id"), std::string::npos);
}

TEST_F(DeviceIdTest, WithoutHardwareInputsOnlyTheProvisionedValueServes) {
  cpuid_.set(0, 0);
  SetMachineId("0123456789abcdef0123456789abcdef");
  EXPECT_FALSE(cxGetDeviceUid());
  EXPECT_TRUE(cxDeviceUid.empty());
  std::string text = log_.text();
  EXPECT_NE(text.find("2 cxUtil Failed to generate hardware ID, due to both BIOS SN and CPU ID are "
                      "error/empty!"),
            std::string::npos);
  EXPECT_NE(text.find("2 cxUtil cxdeviceuid is empty"), std::string::npos);

  Provision("provisioned-device-uid");
  ASSERT_TRUE(cxGetDeviceUid());
  EXPECT_EQ(cxDeviceUid, "provisioned-device-uid");
  EXPECT_EQ(log_.text().find("provisioned-device-uid"), std::string::npos);
}

TEST(CxGetProcessNameTest, NamesFromTheImageLink) {
  testing_support::TempRoot root;
  std::filesystem::create_directories(root.file("proc/123"));
  std::filesystem::create_symlink("/usr/lib/corvex/Pellar UI (deleted)", root.file("proc/123/exe"));

  struct Case {
    uint32_t pid;
    bool full;
    bool ok;
    const char* name;
  };
  const Case cases[] = {
      {4, false, true, "System"},
      {4, true, true, "System"},
      {123, true, true, "/usr/lib/corvex/Pellar UI"},
      {123, false, true, "Pellar UI"},
      {999999, false, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pid);
    std::string name = "unchanged";
    EXPECT_EQ(cxGetProcessName(c.pid, &name, c.full), c.ok);
    if (c.ok) {
      EXPECT_EQ(name, c.name);
    }
  }
}

TEST(CxGetProcessNameTest, OwnProcess) {
  std::string name;
  ASSERT_TRUE(cxGetProcessName(static_cast<uint32_t>(::getpid()), &name, false));
  EXPECT_EQ(name, "cxUtils_test");
}

TEST(CxGetAdapterAddressesTest, ListsTheLoopbackAdapter) {
  std::vector<platform::Adapter> adapters;
  ASSERT_EQ(cxGetAdapterAddresses(AF_INET, &adapters), 0u);
  bool loopback = false;
  for (const platform::Adapter& adapter : adapters) {
    if (adapter.name == "lo") loopback = true;
  }
  EXPECT_TRUE(loopback);
}
