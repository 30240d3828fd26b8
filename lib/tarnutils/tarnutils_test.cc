#include "lib/tarnutils/tarnutils.h"

#include <fcntl.h>
#include <net/if.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/named_event/named_event.h"
#include "platform/registry/registry.h"
#include "tests/support/netns.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"

namespace reg = platform::registry;
using testing_support::StartedLog;

namespace {

constexpr char kTarn[] = "SOFTWARE\\Corvex\\tarn";
constexpr char kDc[] = "SOFTWARE\\Corvex\\tarn\\dc";
constexpr char kEventName[] = "Global\\netdisconnect-61c66bde-6541-4b08-bed9-ab292de901b6";

void SetText(const std::string& path, const char* name, const std::string& text) {
  testing_support::SetRegText(path, name, text);
}

void DeleteKey(const std::string& parent, const std::string& name) {
  reg::Key key;
  if (reg::open_key(reg::RootKey::kLocalMachine, parent, reg::kKeyAllAccess, &key) != 0) return;
  reg::delete_tree(key, name);
}

// A line as the log writes it with only the level number: " vedororore 4 tag message".
std::string Line(int serviceLevel, const std::string& tag, const std::string& message) {
  return " vedororore " + std::to_string(serviceLevel) + " " + tag + " " + message + "\n";
}

bool Logged(const StartedLog& log, const std::string& line) {
  return log.text().find(line) != std::string::npos;
}

class TarnUtilTest : public ::testing::Test {
 protected:
  void SetUp() override { cxLogThreshold = CXLOG_DEBUG; }
  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
};

TEST_F(TarnUtilTest, WorkDirIsReadOrLeftAlone) {
  std::string dir = "untouched";
  EXPECT_FALSE(tarnutil::getWorkDir(&dir));
  EXPECT_EQ(dir, "untouched");
  EXPECT_TRUE(Logged(log_, Line(5, "registry",
                                "RegOpenKeyEx failed to open key: SOFTWARE\\Corvex\\tarn, "
                                "flag: 256, err: 2")))
      << log_.text();

  SetText(kTarn, "other", "x");
  EXPECT_FALSE(tarnutil::getWorkDir(&dir));
  EXPECT_TRUE(Logged(
      log_, Line(5, "registry", "RegGetValue failed to read value: workdir, flag: 256, err: 2")));

  SetText(kTarn, "WorkDir", "/opt/ostrel/work/");
  ASSERT_TRUE(tarnutil::getWorkDir(&dir));
  EXPECT_EQ(dir, "/opt/ostrel/work/");
}

TEST_F(TarnUtilTest, KeepAliveTimeout) {
  const std::string kTag = "tarnutil::getKAConfig";
  const std::string kInvalid = "Error: Invalid integer (stoi) set for Keepalive timeout";
  const struct {
    const char* text;  // null: value missing
    bool ok;
    unsigned int value;
    std::string line;
  } cases[] = {
      {"1500", true, 1500, ""},
      {"1500abc", true, 1500, ""},
      {"  42", true, 42, ""},
      {"2147483647", true, 2147483647u, ""},
      {"abc", false, 0, kInvalid},
      {"", false, 0, kInvalid},
      {"2147483648", false, 0, kInvalid},
      {"4294967296", false, 0, kInvalid},
      {"-5", false, 0, "Error: Invalid integer (-5) set for Keepalive timeout"},
      {nullptr, false, 0, "Error reading reg: tarnkatimeoutmsecs, code: 2"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(missing)");
    DeleteKey("SOFTWARE\\Corvex", "tarn");
    if (c.text != nullptr) SetText(kTarn, "tarnkatimeoutmsecs", c.text);
    std::string before = log_.text();
    unsigned int value = 7;
    EXPECT_EQ(tarnutil::getKAConfig(&value), c.ok);
    EXPECT_EQ(value, c.ok ? c.value : 7u);
    std::string added = log_.text().substr(before.size());
    if (c.line.empty()) {
      EXPECT_EQ(added, "");
    } else {
      EXPECT_NE(added.find(Line(2, kTag, c.line)), std::string::npos) << added;
    }
  }
}

TEST_F(TarnUtilTest, BlockUnmanagedNeedsBothExactTexts) {
  const struct {
    const char* block;  // null: missing
    const char* status;
    bool expected;
  } cases[] = {
      {"yes", "Unmanaged", true},   {"Yes", "Unmanaged", false}, {"yes", "unmanaged", false},
      {"yes", "Managed", false},    {"yes", nullptr, false},     {nullptr, "Unmanaged", false},
      {"yes ", "Unmanaged", false},
  };
  for (const auto& c : cases) {
    DeleteKey(kTarn, "dc");
    if (c.block != nullptr) SetText(kDc, "tarnblockunmanaged", c.block);
    if (c.status != nullptr) SetText(kDc, "cxcdcstatus", c.status);
    EXPECT_EQ(tarnutil::isBlockUnmanagedDevice(), c.expected)
        << (c.block ? c.block : "-") << " " << (c.status ? c.status : "-");
  }
}

TEST_F(TarnUtilTest, ParseCidr) {
  const std::string kTag = "tarnutil::parseCidr";
  enum Expect { kNone, kMask, kFormat };
  const struct {
    const char* cidr;
    bool ok;
    const char* address;
    int prefix;
    Expect line;
  } cases[] = {
      {"10.1/16", true, "10.1.0.0", 16, kNone},
      {"10", true, "10.0.0.0", 8, kNone},
      {"10.1", true, "10.1.0.0", 16, kNone},
      {"172.16.4", true, "172.16.4.0", 24, kNone},
      {"192.168.1.7", true, "192.168.1.7", 32, kNone},
      {"192.168.1.0/24", true, "192.168.1.0", 24, kNone},
      {"0.0.0.0/0", true, "0.0.0.0", 0, kNone},
      {"default", true, "0.0.0.0", 0, kNone},
      {"1.2.3.4.5", false, "", 0, kFormat},
      {"10.0.0.0/33", false, "", 0, kMask},
      {"/-1", false, "", 0, kMask},
      {"10.0.0.0/-1", false, "", 0, kMask},
      {"10.0.0.0/x", false, "", 0, kMask},
      {"10.0.0.0/", false, "", 0, kMask},
      {"10.0.0.0/99999999999", false, "", 0, kMask},
      {"-1.0.0.0", false, "", 0, kFormat},
      {"x", false, "", 0, kFormat},
      {"10..1", false, "", 0, kFormat},
      {"", false, "", 0, kFormat},
      {"256.1.1.1", false, "", 0, kNone},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cidr);
    std::string before = log_.text();
    std::string address = "old";
    int prefix = 99;
    EXPECT_EQ(tarnutil::parseCidr(c.cidr, &address, &prefix), c.ok);
    if (c.ok) {
      EXPECT_EQ(address, c.address);
      EXPECT_EQ(prefix, c.prefix);
    }
    std::string added = log_.text().substr(before.size());
    std::string cidr = c.cidr;
    switch (c.line) {
      case kNone:
        EXPECT_EQ(added, "");
        break;
      case kMask:
        EXPECT_EQ(added, Line(2, kTag, "Invalid subnet mask in CIDR: " + cidr)) << added;
        break;
      case kFormat:
        EXPECT_EQ(added, Line(2, kTag, "Invalid IP format in CIDR: " + cidr)) << added;
        break;
    }
  }
}

TEST(PrefixTest, NetworkAddressAndMask) {
  const struct {
    const char* address;
    int prefix;
    const char* network;
    const char* mask;
  } cases[] = {
      {"192.168.7.9", 24, "192.168.7.0", "255.255.255.0"},
      {"192.168.7.9", 0, "0.0.0.0", "0.0.0.0"},
      {"192.168.7.9", 32, "192.168.7.9", "255.255.255.255"},
      {"192.168.7.9", 1, "128.0.0.0", "128.0.0.0"},
      {"192.168.7.9", 20, "192.168.0.0", "255.255.240.0"},
      {"192.168.7.9", -1, "0.0.0.0", "0.0.0.0"},
      {"192.168.7.9", 33, "192.168.7.9", "255.255.255.255"},
      {"192.168.7.9", 64, "192.168.7.9", "255.255.255.255"},
      {"10.1", 16, "10.1.0.0", "255.255.0.0"},
      {"x.1.2.3", 32, "0.1.2.3", "255.255.255.255"},
      {"", 8, "0.0.0.0", "255.0.0.0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.address) + "/" + std::to_string(c.prefix));
    EXPECT_EQ(tarnutil::prefixToNetworkAddress(c.address, c.prefix), c.network);
    EXPECT_EQ(tarnutil::prefixToMask(c.prefix), c.mask);
  }
}

TEST_F(TarnUtilTest, SnatPortRange) {
  const std::string kTag = "GetSnatPortRange";
  const std::string kWrong = "ERROR: Wrong port range found in registry. port range start = ";
  const struct {
    const char* start;  // null: missing
    const char* range;
    std::string line;
  } cases[] = {
      {"59500", "59500-59999", ""},
      {"1", "1-500", ""},
      {"65036", "65036-65535", ""},
      {"0", "", kWrong + "0"},
      {"70000", "", kWrong + "70000"},
      {"65037", "", kWrong + "65037"},
      {"65100", "", kWrong + "65100"},
      {"-1", "", kWrong + "-1"},
      {"x", "", kWrong + "x"},
      {"", "", "ERROR: Failed to read SNAT port range in registry. Error code = 0, port range = "},
      {nullptr, "",
       "ERROR: Failed to read SNAT port range in registry. Error code = 1168, port range = "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.start != nullptr ? c.start : "(missing)");
    DeleteKey("SOFTWARE\\Corvex", "tarn");
    SetText(kTarn, "workdir", "/w");
    // Searched in the subkeys too.
    if (c.start != nullptr) SetText(std::string(kTarn) + "\\nat", "snatportstart", c.start);
    std::string before = log_.text();
    std::string range = "old";
    GetSnatPortRange(&range);
    EXPECT_EQ(range, c.range);
    std::string added = log_.text().substr(before.size());
    if (c.line.empty()) {
      EXPECT_EQ(added.find(" " + kTag + " "), std::string::npos) << added;
    } else {
      EXPECT_NE(added.find(Line(4, kTag, c.line)), std::string::npos) << added;
    }
  }
}

TEST_F(TarnUtilTest, InternetBypassStatusIsRecorded) {
  ASSERT_TRUE(SetInternetBypassStatus("1"));
  EXPECT_TRUE(Logged(log_, Line(4, "tarnmodule", "Set new tarninternetbypass status \"1\"")));
  char text[16] = {};
  uint32_t size = sizeof(text);
  ASSERT_EQ(reg::get_value(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn\\sse",
                           reg::kKeyWow64_64Key, "tarninternetbypass", reg::kRrfRtAny, nullptr,
                           text, &size),
            0u);
  EXPECT_STREQ(text, "1");

  // A store that cannot be written: its folder's place is taken by a file.
  std::string folder = log_.root().path() + "/var/lib/dovadod/registry";
  std::filesystem::remove_all(folder);
  testing_support::WriteFile(folder, "");
  EXPECT_FALSE(SetInternetBypassStatus(""));
  EXPECT_NE(log_.text().find(" vedororore 2 tarnmodule Failed to set tarninternetbypass status "
                             "\"\" in reg error "),
            std::string::npos)
      << log_.text();
}

TEST(NetworkDisconnectTest, NeedsTheOwnerToBeRunning) {
  testing_support::TempRoot root;
  EXPECT_EQ(signalNetworkDisconnect(), 2u);

  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(ready[0]);
    platform::NamedEventOwner owner;
    if (owner.create(kEventName) != 0) ::_exit(2);
    char byte = 1;
    if (::write(ready[1], &byte, 1) != 1) ::_exit(3);
    ::_exit(owner.wait(10000) ? 0 : 1);
  }
  ::close(ready[1]);
  char byte = 0;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);
  ::close(ready[0]);
  EXPECT_EQ(signalNetworkDisconnect(), 0u);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the owner did not see the event";
  // Its owner gone, the event is gone too.
  EXPECT_EQ(signalNetworkDisconnect(), 2u);
}

TEST_F(TarnUtilTest, TunnelAdapterIsFoundByItsExactAlias) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root";
  testing_support::TestNetns ns("tarnutils");
  ASSERT_TRUE(ns.created());
  ASSERT_TRUE(ns.Ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}));
  ASSERT_TRUE(ns.Ip({"link", "set", "dev", "va", "alias", "WinTun tunnel"}));  // other case

  unsigned int index = 12345;
  bool found = true;
  ASSERT_TRUE(ns.RunInside([&] { found = GetWinTunInterfaceIndex(&index); }));
  EXPECT_FALSE(found);
  EXPECT_EQ(index, 12345u);

  ASSERT_TRUE(ns.Ip({"link", "set", "dev", "vb", "alias", "WinTun Tunnel"}));
  unsigned int vb = 0;
  ASSERT_TRUE(ns.RunInside([&] {
    vb = ::if_nametoindex("vb");
    found = GetWinTunInterfaceIndex(&index);
  }));
  ASSERT_NE(vb, 0u);
  EXPECT_TRUE(found);
  EXPECT_EQ(index, vb);
  EXPECT_TRUE(Logged(
      log_, Line(4, "GetWinTunInterfaceIndex", "WinTun interface index " + std::to_string(vb))))
      << log_.text();
}

}  // namespace
