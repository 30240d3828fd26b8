#include "ostgraphsvc/graph/elements/local/fromdevice.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "graph/confparse.h"
#include "graph/master.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"
#include "platform/divert/simulated.h"
#include "platform/divert/testing_packets.h"
#include "tests/support/graph_harness.h"
#include "tests/support/netns.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::ReadFile;
using testing_support::StartedLog;
using testing_support::WriteFile;
namespace sim = platform::divert::sim;

const std::string kFixtures = std::string(DOVADOD_TEST_DATA) + "/exclusions/";

constexpr char kBase[] = "(remotePort != 67) && ((impostor && inbound)? false : true)";
constexpr char kFailClose[] =
    "(remotePort != 67) && ((impostor && inbound)? false : true) &&  ( "
    "(remoteAddr > 192.168.0.0 && remoteAddr < 192.168.255.255) || "
    "(remoteAddr > 172.16.0.0 && remoteAddr < 172.31.255.255) || "
    "(remoteAddr > 10.0.0.0 && remoteAddr < 10.255.255.255) ) ";

std::string Std(const String& s) { return graph_testing::Std(s); }

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

class FromDeviceTest : public ::testing::Test {
 protected:
  FromDeviceTest() : log_(0) {
    workdir_ = log_.root().path() + "/workdir/";
    std::filesystem::create_directories(workdir_);
    set_config_directory(workdir_.c_str());
  }
  ~FromDeviceTest() override { set_config_directory(nullptr); }

  void UseFixture(const std::string& name) {
    WriteFile(workdir_ + "ostrel-exclusions.json", ReadFile(kFixtures + name));
  }
  std::string Log() const { return log_.text(); }

  StartedLog log_;
  std::string workdir_;
};

TEST_F(FromDeviceTest, FilterFollowsExclusionsFile) {
  const std::string twoRanges =
      std::string(kBase) +
      " && ((remoteAddr > 20.0.0.1 && remoteAddr < 20.0.0.9)? false : true)"
      " && (remoteAddr != 30.1.1.1)";
  struct Case {
    const char* fixture;
    bool failClose;
    std::string filter;
    uint8_t destinationInternet;
    std::string logged;
  };
  const Case cases[] = {
      {"two_ranges.json", true, kFailClose, 0, std::string("_windivert_filter = ") + kFailClose},
      {"virtual_ip.json", true, kFailClose, 0, ""},
      {"two_ranges.json", false, twoRanges, 0, "_windivert_filter = " + twoRanges},
      {"no_ranges.json", false, kBase, 0, "Empty Windivert exlusion list"},
      {"virtual_ip.json", false,
       "(ip.SrcAddr == 100.64.0.7) && ((impostor && inbound)? false : true)", 1,
       "Destination Internet policy is set, setting virtual src IP filter rule 100.64.0.7"},
      // Bad addresses never reach the filter: the virtual IP counts as
      // absent, bad ranges are skipped, an empty end is a single address.
      {"bad_addresses.json", false, std::string(kBase) + " && (remoteAddr != 30.1.1.1)", 0,
       "Invalid excluded IP range 1.2.3.4) || true || (1 - , skipped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.fixture) + (c.failClose ? " fail-close" : ""));
    UseFixture(c.fixture);
    FromDevice fd;
    fd.PrepareWinDivertFilter(c.failClose);
    EXPECT_EQ(Std(fd.filter_text()), c.filter);
    EXPECT_EQ(fd.destination_internet(), c.destinationInternet);
    EXPECT_EQ(destination_internet_flag.load(), c.destinationInternet);
    if (!c.logged.empty()) {
      EXPECT_NE(Log().find(c.logged), std::string::npos) << Log();
    }
  }
  EXPECT_NE(Log().find("Invalid virtual_interface_ip 10.0.0, ignored"), std::string::npos);
  EXPECT_NE(Log().find("Set new tarninternetbypass status \"1\""), std::string::npos);
}

TEST_F(FromDeviceTest, UnreadableFileKeepsLastFilter) {
  FromDevice fd;
  // No file at first start: nothing built yet.
  fd.PrepareWinDivertFilter(false);
  EXPECT_EQ(Std(fd.filter_text()), "");
  EXPECT_NE(Log().find("Json::file_parse failed for " + workdir_ + "ostrel-exclusions.json"),
            std::string::npos);

  UseFixture("no_ranges.json");
  fd.PrepareWinDivertFilter(false);
  ASSERT_EQ(Std(fd.filter_text()), kBase);
  UseFixture("unparsable.json");
  fd.PrepareWinDivertFilter(false);
  EXPECT_EQ(Std(fd.filter_text()), kBase);
}

TEST_F(FromDeviceTest, VirtualInterfaceOnlyUsesTunnelAdapter) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root";
  testing_support::TestNetns ns("fromdevice");
  ASSERT_TRUE(ns.created());
  ASSERT_TRUE(ns.Ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}));
  UseFixture("virtual_only.json");
  FromDevice fd;

  // Without the adapter the switch only sets the flags, then the exclusion
  // filter follows.
  ASSERT_TRUE(ns.RunInside([&] { fd.PrepareWinDivertFilter(false); }));
  EXPECT_EQ(Std(fd.filter_text()), std::string(kBase) + " && (remoteAddr != 20.0.0.1)");
  EXPECT_NE(Log().find("Failed to get interface index, not setting no Destination Internet policy"),
            std::string::npos);

  ASSERT_TRUE(ns.Ip({"link", "set", "dev", "vb", "alias", "WinTun Tunnel"}));
  unsigned int vb = 0;
  ASSERT_TRUE(ns.RunInside([&] {
    vb = ::if_nametoindex("vb");
    fd.PrepareWinDivertFilter(false);
  }));
  EXPECT_EQ(Std(fd.filter_text()),
            "(ifIdx==" + std::to_string(vb) + ") && ((impostor && inbound)? false : true)");
  EXPECT_EQ(fd.destination_internet(), 1);
  EXPECT_EQ(destination_internet_flag.load(), 1);
  EXPECT_NE(Log().find("setting WinTun interface index " + std::to_string(vb) + " filter rule"),
            std::string::npos);
  EXPECT_NE(Log().find("Set new tarninternetbypass status \"1\""), std::string::npos);
}

TEST_F(FromDeviceTest, ConfigureReadsDtlsPortAndExclusions) {
  UseFixture("two_ranges.json");
  struct Case {
    const char* arg;
    std::vector<std::string> errors;
  };
  const Case cases[] = {
      {"DTLSPORT 4433", {}},
      {"DTLSPORT 70000", {"<3>DTLSPORT: out of range, bound 65535"}},
      {"DTLSPORT x", {"<3>DTLSPORT: invalid number"}},
      {"FOO 1", {"<3>FOO: unknown argument"}},
      {"4433", {"<3>too many arguments"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arg);
    FromDevice fd;
    // Packets left on the list belong to the element (LeakSanitizer checks).
    fd.pending_send().push_back(Packet::make(FromDevice::kHeadroom, "abcd", 4));
    Vector<String> conf;
    conf.push_back(String(c.arg));
    graph_testing::Lines errh;
    int result = fd.configure(conf, &errh);
    EXPECT_EQ(errh.lines, c.errors);
    if (!c.errors.empty()) {
      EXPECT_EQ(result, -1);
      continue;
    }
    EXPECT_EQ(result, 0);
    EXPECT_EQ(fd.dtls_port(), htons(4433));
    ASSERT_EQ(fd.excluded_processes().size(), 2);
    EXPECT_EQ(Std(fd.excluded_processes()[0]), "updater.exe");
    EXPECT_EQ(Std(fd.excluded_processes()[1]), "backup");
  }
  EXPECT_EQ(Count(Log(), "Unable to parse args in fdev"), 4u);
  EXPECT_NE(Log().find("Flows from proces backup will be excluded from TARN client pipeline"),
            std::string::npos);
}

TEST(FromDeviceRouterTest, BadArgumentFailsRouterStart) {
  {
    testing_support::GraphHarness h;
    EXPECT_FALSE(h.Load("fd :: FromDevice(DTLSPORT 70000); sink :: TestSink; fd -> sink;"));
  }
  testing_support::GraphHarness h;
  ASSERT_TRUE(h.Load("fd :: FromDevice(DTLSPORT 4433); sink :: TestSink; fd -> sink;"));
  // Initialised, it is the router thread's selection hook.
  Element* fd = h.router()->find_element("fd", nullptr);
  ASSERT_NE(fd, nullptr);
  EXPECT_EQ(static_cast<FromDevice*>(fd)->headroom(), FromDevice::kHeadroom);
  const auto& table = h.router()->master()->thread(0)->select_table();
  ASSERT_EQ(table.size(), 1);
  EXPECT_EQ(table[0].element, fd);
}

// The simulated network: a host packet from 192.168.5.2 to `dst`.
std::vector<uint8_t> HostPacket(const char* dst) {
  auto p = platform::divert::testing::make_ipv4(17, "192.168.5.2", dst, 40);
  platform::divert::testing::put16(p, 20, 5000);
  platform::divert::testing::put16(p, 22, 443);
  platform::divert::testing::put16(p, 24, 40);
  return p;
}

WINDIVERT_ADDRESS Outbound() {
  WINDIVERT_ADDRESS where{};
  where.Flags = WINDIVERT_ADDRESS_OUTBOUND;
  where.IfIdx = 3;
  return where;
}

// Injects `packet` and waits until the worker has sent it back; true when it
// came back unchanged.
bool RoundTrip(const std::vector<uint8_t>& packet) {
  if (!sim::inject(packet.data(), static_cast<uint32_t>(packet.size()), Outbound())) return false;
  std::vector<platform::divert::SimPacket> back;
  if (!WaitFor([&] {
        for (auto& p : sim::take_delivered()) back.push_back(std::move(p));
        return !back.empty();
      })) {
    return false;
  }
  return back.size() == 1 && back[0].reinjected && back[0].bytes == packet;
}

class FromDeviceCaptureTest : public FromDeviceTest {
 protected:
  FromDeviceCaptureTest() {
    platform::divert::use_simulated_backend(true);
    sim::reset();
  }
  ~FromDeviceCaptureTest() override {
    sim::reset();
    platform::divert::use_simulated_backend(false);
  }
};

TEST_F(FromDeviceCaptureTest, FailCloseChangesReopenWithOtherFilter) {
  UseFixture("no_ranges.json");
  auto fd = std::make_unique<FromDevice>();

  // A change before the worker runs starts it.
  EXPECT_FALSE(fd->UpdateFailClose(false));
  ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; }));
  EXPECT_TRUE(fd->thread_running());
  EXPECT_TRUE(RoundTrip(HostPacket("8.8.8.8")));

  EXPECT_FALSE(fd->UpdateFailClose(false));
  EXPECT_NE(Log().find("FailClose status is not changed, current status is disabled, packet "
                       "thread already running. Ignoring update."),
            std::string::npos);

  WinDivertHandle before = fd->handle();
  EXPECT_TRUE(fd->UpdateFailClose(true));
  ASSERT_TRUE(WaitFor([&] {
    WinDivertHandle h = fd->handle();
    return h != kWinDivertInvalidHandle && h != before;
  }));
  EXPECT_NE(Log().find("New FailClose status: enabled. threadRunning: true"), std::string::npos);
  EXPECT_NE(Log().find("Windivert Driver handle closed, exiting"), std::string::npos);
  // The fail-close filter leaves public destinations to the host and still
  // takes private ones.
  auto publicPacket = HostPacket("8.8.8.8");
  EXPECT_FALSE(
      sim::inject(publicPacket.data(), static_cast<uint32_t>(publicPacket.size()), Outbound()));
  sim::take_delivered();
  EXPECT_TRUE(RoundTrip(HostPacket("10.1.2.3")));

  fd.reset();
  EXPECT_EQ(sim::open_handles(), 0u);
}

TEST_F(FromDeviceCaptureTest, FirstCycleWithoutFileUsesBaseFilter) {
  auto fd = std::make_unique<FromDevice>();
  fd->UpdateFailClose(false);
  ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; }));
  EXPECT_EQ(Std(fd->filter_text()), kBase);
  EXPECT_NE(Log().find("No Windivert filter built yet, using the base filter"), std::string::npos);
  EXPECT_TRUE(RoundTrip(HostPacket("8.8.8.8")));
}

TEST_F(FromDeviceCaptureTest, FailedOpenIsRetriedAfterAPause) {
  UseFixture("no_ranges.json");
  sim::fail_next_open(5);
  auto start = std::chrono::steady_clock::now();
  auto fd = std::make_unique<FromDevice>();
  fd->UpdateFailClose(false);
  ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; }));
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(900));
  EXPECT_LT(waited, std::chrono::milliseconds(3000));
  EXPECT_EQ(Count(Log(), "Unable to open Windivert handle. Error: 5"), 1u);
  EXPECT_TRUE(RoundTrip(HostPacket("8.8.8.8")));
}

}  // namespace
