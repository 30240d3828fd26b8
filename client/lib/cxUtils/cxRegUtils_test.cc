#include "client/lib/cxUtils/cxRegUtils.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/registry/registry.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"

namespace reg = platform::registry;
using testing_support::ReadFile;
using testing_support::StartedLog;
using testing_support::WriteFile;

namespace {

constexpr int kLineFlags = CXLOG_FMT_LEVEL_NUMBER;

using testing_support::SetRegText;
using testing_support::SetRegValue;

void SetValue(const std::string& path, const char* name, uint32_t type, const void* data,
              uint32_t size, uint32_t view = reg::kKeyWow64_64Key) {
  SetRegValue(path, name, type, data, size, view);
}

void SetText(const std::string& path, const char* name, const std::string& text,
             uint32_t view = reg::kKeyWow64_64Key) {
  SetRegText(path, name, text, view);
}

void SetDword(const std::string& path, const char* name, uint32_t value) {
  SetValue(path, name, reg::kRegDword, &value, sizeof(value));
}

}  // namespace

TEST(CxRegFindValueTest, SearchesTheTreeDepthFirst) {
  StartedLog log(kLineFlags);
  SetText("SOFTWARE\\Corvex\\tarn", "workdir", "/opt/w");
  SetText("SOFTWARE\\Corvex\\tarn\\a\\b", "SnatPortStart", "40000");
  SetText("SOFTWARE\\Corvex\\tarn\\z", "snatportstart", "50000");
  SetText("SOFTWARE\\Corvex\\tarn\\dc", "cxcdcstatus", "a-much-longer-text-value");
  // Over 260 characters of path: a cut path would search another key.
  std::string deep = "SOFTWARE\\Corvex\\tarn\\deep";
  while (deep.size() < 300) deep += "\\segment-of-the-path";
  SetText(deep, "deepvalue", "found");

  struct Case {
    const char* name;
    uint32_t size;
    uint32_t code;
    const char* data;      // copied data on 0
    uint32_t neededSize;   // stored size on 8
  };
  const Case cases[] = {
      {"snatportstart", 64, 0, "40000", 64},  // a\b comes before z; name case ignored
      {"workdir", 64, 0, "/opt/w", 64},
      {"deepvalue", 64, 0, "found", 64},
      {"cxcdcstatus", 8, 8, "", 25},  // too small: size and type filled, buffer untouched
      {"missing", 64, 1168, "", 64},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    char buffer[64];
    std::memset(buffer, 'x', sizeof(buffer));
    uint32_t size = c.size;
    uint32_t type = 99;
    EXPECT_EQ(cxRegFindValue("SOFTWARE\\Corvex\\tarn", c.name, buffer, &size, &type), c.code);
    if (c.code == 0) {
      EXPECT_STREQ(buffer, c.data);
      EXPECT_EQ(size, c.neededSize);  // untouched on success
      EXPECT_EQ(type, 99u);
    } else if (c.code == 8) {
      EXPECT_EQ(size, c.neededSize);
      EXPECT_EQ(type, reg::kRegSz);
      EXPECT_EQ(buffer[0], 'x');
    }
  }
  std::string text = log.text();
  EXPECT_NE(text.find("4 registry found matching value: SnatPortStart"), std::string::npos);
  EXPECT_NE(text.find("2 registry destination buffer is found smaller than buffer to be returned."),
            std::string::npos);
}

TEST(CxRegFindValueTest, MissingKeyReportsTheOpenFailure) {
  StartedLog log(kLineFlags);
  char buffer[8];
  uint32_t size = sizeof(buffer);
  uint32_t type = 0;
  EXPECT_EQ(cxRegFindValue("SOFTWARE\\Nothing", "x", buffer, &size, &type), 2u);
  EXPECT_NE(log.text().find("2 registry RegOpenKeyExA failed, err: 2"), std::string::npos);
}

TEST(CxRegGetValueTest, ReadsInTheChosenViewAndChecksArguments) {
  StartedLog log(kLineFlags);
  SetText("SOFTWARE\\Corvex\\tarn", "workdir", "/w64");
  SetText("SOFTWARE\\Corvex\\tarn", "workdir", "/w32", reg::kKeyWow64_32Key);

  char buffer[32] = {};
  uint32_t size = sizeof(buffer);
  uint32_t type = 0;
  ASSERT_EQ(cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn", 1, "WORKDIR",
                          buffer, &size, &type),
            0u);
  EXPECT_STREQ(buffer, "/w64");
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(type, reg::kRegSz);
  size = sizeof(buffer);
  ASSERT_EQ(cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn", 0, "workdir",
                          buffer, &size, &type),
            0u);
  EXPECT_STREQ(buffer, "/w32");

  size = sizeof(buffer);
  EXPECT_EQ(cxRegGetValue(reg::RootKey::kLocalMachine, "", 1, "", buffer, &size, &type), 87u);
  EXPECT_EQ(cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\None", 0, "x", buffer, &size,
                          &type),
            2u);
  EXPECT_EQ(cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn", 1, "none",
                          buffer, &size, &type),
            2u);
}

TEST(CxRegGetValueTest, FailuresLogAtDebugLevel) {
  StartedLog log(kLineFlags);
  cxLogThreshold = CXLOG_DEBUG;
  SetText("SOFTWARE\\Corvex\\tarn", "workdir", "/w");
  char buffer[8];
  uint32_t size = sizeof(buffer);
  uint32_t type = 0;
  cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\None", 0, "x", buffer, &size, &type);
  cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn", 1, "none", buffer, &size,
                &type);
  std::string text = log.text();
  EXPECT_NE(text.find("5 registry RegOpenKeyEx failed to open key: SOFTWARE\\None, flag: 512, err: 2"),
            std::string::npos);
  EXPECT_NE(text.find("5 registry RegGetValue failed to read value: none, flag: 256, err: 2"),
            std::string::npos);
}

TEST(CxRegSetInternetBypassTest, WritesOnlyWhatDiffers) {
  StartedLog log(kLineFlags);
  const std::string hive = reg::hive_path();

  // Missing key: created.
  ASSERT_EQ(cxRegSetInternetBypass(1, "1"), 0u);
  char buffer[8] = {};
  uint32_t size = sizeof(buffer);
  uint32_t type = 0;
  ASSERT_EQ(cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn\\sse", 1,
                          "tarninternetbypass", buffer, &size, &type),
            0u);
  EXPECT_STREQ(buffer, "1");

  // Same text: nothing written.
  std::string before = ReadFile(hive);
  ASSERT_EQ(cxRegSetInternetBypass(1, "1"), 0u);
  EXPECT_EQ(ReadFile(hive), before);
  EXPECT_NE(log.text().find("Registry key: SOFTWARE\\Corvex\\tarn\\ssetarninternetbypass already "
                            "present and same"),
            std::string::npos);

  // Another text, then a value of another type holding the same bytes: overwritten.
  ASSERT_EQ(cxRegSetInternetBypass(1, ""), 0u);
  SetValue("SOFTWARE\\Corvex\\tarn\\sse", "tarninternetbypass", reg::kRegExpandSz, "0", 2);
  ASSERT_EQ(cxRegSetInternetBypass(1, "0"), 0u);
  size = sizeof(buffer);
  ASSERT_EQ(cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn\\sse", 1,
                          "tarninternetbypass", buffer, &size, &type),
            0u);
  EXPECT_EQ(type, reg::kRegSz);
  EXPECT_STREQ(buffer, "0");
  std::string text = log.text();
  EXPECT_NE(text.find("already present, but will be overwritten"), std::string::npos);
  EXPECT_NE(text.find("Added value: tarninternetbypass to registry key: SOFTWARE\\Corvex\\tarn\\sse"),
            std::string::npos);
}

TEST(CxIsUpgradeInProgressTest, OnlyANonZeroValueOfFourBytes) {
  StartedLog log(kLineFlags);
  EXPECT_FALSE(cxIsUpgradeInProgress());  // no key
  struct Case {
    const char* what;
    uint32_t type;
    std::string bytes;
    bool expected;
  };
  const Case cases[] = {
      {"zero", reg::kRegDword, std::string("\0\0\0\0", 4), false},
      {"one", reg::kRegDword, std::string("\1\0\0\0", 4), true},
      {"high byte", reg::kRegDword, std::string("\0\0\0\x80", 4), true},
      {"long string", reg::kRegSz, std::string("yes-please\0", 11), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetValue("SOFTWARE\\Corvex", "UpgradeInProgress", c.type, c.bytes.data(),
             static_cast<uint32_t>(c.bytes.size()));
    EXPECT_EQ(cxIsUpgradeInProgress(), c.expected);
  }
  reg::Key key;
  ASSERT_EQ(reg::open_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex", reg::kKeyAllAccess, &key),
            0u);
  ASSERT_EQ(reg::delete_value(key, "UpgradeInProgress"), 0u);
  EXPECT_FALSE(cxIsUpgradeInProgress());
}

TEST(CxReadMachineGuidTest, StoredThirtyTwoBitValueFirstThenMachineId) {
  StartedLog log(kLineFlags);
  std::string guid;
  EXPECT_FALSE(cxReadMachineGuid(&guid));
  EXPECT_NE(log.text().find("2 registry Failed to read from subkey SOFTWARE\\Microsoft\\Cryptography "
                            "value MachineGuid error = 2"),
            std::string::npos);

  WriteFile(log.root().file("etc/machine-id"), "0123456789ABCDEF0123456789abcdef\n");
  ASSERT_TRUE(cxReadMachineGuid(&guid));
  EXPECT_EQ(guid, "01234567-89ab-cdef-0123-456789abcdef");

  SetText("SOFTWARE\\Microsoft\\Cryptography", "MachineGuid", "stored-in-32", reg::kKeyWow64_32Key);
  ASSERT_TRUE(cxReadMachineGuid(&guid));
  EXPECT_EQ(guid, "stored-in-32");

  SetDword("SOFTWARE\\WOW6432Node\\Microsoft\\Cryptography", "MachineGuid", 7);
  EXPECT_FALSE(cxReadMachineGuid(&guid));
  EXPECT_NE(log.text().find("matching data type: 1 not found"), std::string::npos);
}

TEST(CxRegistryViewTest, SixtyFourBitProcessUsesTheSixtyFourBitView) {
  StartedLog log(kLineFlags);
  std::string architecture;
  cxGetProcessorArchitecture(&architecture);
#if defined(__x86_64__)
  EXPECT_EQ(architecture, "x64");
#elif defined(__aarch64__)
  EXPECT_EQ(architecture, "ARM64");
#endif
  EXPECT_EQ(cxUse64BitRegistryView(), architecture == "x86" ? 0 : 1);
  EXPECT_NE(log.text().find("4 cxUtils Processor architecture is " + architecture),
            std::string::npos);
}

TEST(CxRegistryBadLineTest, UnreadableLinesAreLoggedOnce) {
  StartedLog log(kLineFlags);
  WriteFile(reg::hive_path(),
            "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\tarn]\n"
            "this line is not a value\n\"workdir\"=\"/w\"\n");
  char buffer[8];
  for (int i = 0; i < 2; ++i) {
    uint32_t size = sizeof(buffer);
    uint32_t type = 0;
    EXPECT_EQ(cxRegGetValue(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn", 1, "workdir",
                            buffer, &size, &type),
              0u);
  }
  std::string text = log.text();
  size_t first = text.find("this line is not a value");
  ASSERT_NE(first, std::string::npos);
  EXPECT_EQ(text.find("this line is not a value", first + 1), std::string::npos);
  EXPECT_NE(text.find(" line 4 "), std::string::npos);
}
