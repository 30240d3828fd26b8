#include "ostgraphsvc/graph/elements/local/fromdevice.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/lib/cxLog/cxPktDump.h"
#include "graph/confparse.h"
#include "graph/deadline_hook.h"
#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "graph/master.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/local/ostrel_classifier.h"
#include "ostgraphsvc/graph/elements/local/tunnel_writer.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"
#include "ostgraphsvc/qmsg/qmsg.h"
#include "ostgraphsvc/tarnipc/tarnipc.h"
#include "platform/divert/simulated.h"
#include "platform/divert/testing_packets.h"
#include "tests/support/graph_harness.h"
#include "tests/support/netns.h"
#include "tests/support/started_log.h"
#include "tests/support/unix_datagram.h"

using testing_support::CountOf;

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

// "At once" for a thread hand-off: well under the one-second open retry or
// the exit wait that a missed wake-up costs, with room for sanitised builds
// on a loaded two-core machine.
constexpr auto kAtOnce = std::chrono::milliseconds(500);

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
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
  EXPECT_EQ(CountOf(Log(), "Unable to parse args in fdev"), 4u);
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
// came back unchanged but for its checksums.
bool RoundTrip(const std::vector<uint8_t>& packet) {
  if (!sim::inject(packet.data(), static_cast<uint32_t>(packet.size()), Outbound())) return false;
  std::vector<platform::divert::SimPacket> back;
  if (!WaitFor([&] {
        for (auto& p : sim::take_delivered()) back.push_back(std::move(p));
        return !back.empty();
      })) {
    return false;
  }
  // The drain puts every checksum right on the way out.
  std::vector<uint8_t> expected = packet;
  WinDivertHelperCalcChecksums(expected.data(), static_cast<uint32_t>(expected.size()), nullptr, 0);
  return back.size() == 1 && back[0].reinjected && back[0].bytes == expected;
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
  // The producer was asked to end before its receive failed on the closed
  // handle: a planned end logs no receive error.
  EXPECT_EQ(Log().find("WinDivertRecvEx failed"), std::string::npos);
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
  EXPECT_EQ(CountOf(Log(), "Unable to open Windivert handle. Error: 5"), 1u);
  EXPECT_TRUE(RoundTrip(HostPacket("8.8.8.8")));
}

// ---- The capture path: producer, consumer and drain -------------------------

namespace tp = platform::divert::testing;

// What the graph saw of one packet.
struct Seen {
  int msgtype = 0;
  int kind = 0;
  uint32_t path = 0;
  std::string dst;
  bool hasRecord = false;
  WINDIVERT_ADDRESS record{};
};

// The graph's first element in these tests: notes every packet, then hands
// it to `hook` (which may keep, change or free it) or passes it on.
class CaptureTap : public Element {
 public:
  using Hook = std::function<void(CaptureTap*, Packet*)>;
  static inline std::mutex mu;
  static inline std::vector<Seen> seen;
  static inline Hook hook;

  const char* class_name() const override { return "CaptureTap"; }
  const char* port_count() const override { return "1/1"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override {
    Seen s;
    s.msgtype = p->msgtype();
    s.kind = p->control_kind_anno();
    s.path = p->overlay_path_anno();
    if (p->length() >= 20) s.dst = testing_support::Dotted(Dst(p));
    s.hasRecord = capture_record_of(p, &s.record);
    {
      std::lock_guard<std::mutex> guard(mu);
      seen.push_back(s);
    }
    if (hook) {
      hook(this, p);
      return;
    }
    forward(p);
  }
  void forward(Packet* p) { output(0).push(p); }
  static uint32_t Dst(const Packet* p) {
    uint32_t a;
    std::memcpy(&a, p->data() + 16, 4);
    return a;
  }
  static std::vector<Seen> Snapshot() {
    std::lock_guard<std::mutex> guard(mu);
    return seen;
  }
};

Element* MakeTap(uintptr_t) { return new CaptureTap; }

WINDIVERT_ADDRESS Where(bool outbound, uint32_t ifIdx, bool loopback = false) {
  WINDIVERT_ADDRESS where{};
  where.Flags =
      (outbound ? WINDIVERT_ADDRESS_OUTBOUND : 0) | (loopback ? WINDIVERT_ADDRESS_LOOPBACK : 0);
  where.IfIdx = ifIdx;
  return where;
}

std::vector<uint8_t> Udp(const char* src, const char* dst, size_t payload = 12) {
  return tp::make_udp(src, 5000, dst, 443, payload);
}

class CaptureTest : public FromDeviceTest {
 protected:
  CaptureTest() {
    platform::divert::use_simulated_backend(true);
    sim::reset();
    make_global_lexer()->add_class(String("CaptureTap"), MakeTap, 0, false);
    CaptureTap::seen.clear();
    CaptureTap::hook = nullptr;
    UseFixture("no_ranges.json");
  }
  ~CaptureTest() override {
    Stop();
    CaptureTap::hook = nullptr;
    sim::reset();
    platform::divert::use_simulated_backend(false);
  }

  // Loads `graph_` and runs the worker; returns once the consumer is past
  // this cycle's start marker (a bypassed packet has come back).
  void Start(const char* probeSrc = "192.168.5.2", const char* probeDst = "239.1.1.1") {
    ASSERT_TRUE(h_.Load(graph_)) << h_.messages();
    fd_ = static_cast<FromDevice*>(h_.Find("fd"));
    fd_->UpdateFailClose(false);
    ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; }));
    auto probe = Udp(probeSrc, probeDst);
    ASSERT_TRUE(sim::inject(probe.data(), static_cast<uint32_t>(probe.size()), Where(true, 3)));
    ASSERT_EQ(Delivered(1).size(), 1u);
  }
  void Stop() {
    if (fd_ != nullptr) fd_->exit();
    fd_ = nullptr;
  }
  void Inject(const std::vector<uint8_t>& p, const WINDIVERT_ADDRESS& where) {
    EXPECT_TRUE(sim::inject(p.data(), static_cast<uint32_t>(p.size()), where));
  }
  // Waits for `n` delivered packets (and a little longer for strays).
  std::vector<platform::divert::SimPacket> Delivered(size_t n) {
    std::vector<platform::divert::SimPacket> got;
    WaitFor([&] {
      for (auto& p : sim::take_delivered()) got.push_back(std::move(p));
      return got.size() >= n;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (auto& p : sim::take_delivered()) got.push_back(std::move(p));
    return got;
  }
  // Posts a capture block of `packets` (one record each) from `ring`.
  _QMSGBLOCK* PostCapture(QMsgBlockPool& ring, const std::vector<std::vector<uint8_t>>& packets,
                          const std::vector<WINDIVERT_ADDRESS>& records) {
    _QMSGBLOCK* b = ring.take();
    EXPECT_NE(b, nullptr);
    if (b == nullptr) return nullptr;
    b->msgtype = QMSG_PKT_CAPTURED;
    b->capture_length = 0;
    for (size_t i = 0; i < packets.size(); ++i) {
      std::memcpy(b->capture_buffer + b->capture_length, packets[i].data(), packets[i].size());
      b->capture_length += static_cast<uint32_t>(packets[i].size());
      b->addr[i] = records[i];
    }
    b->addr_length = static_cast<uint32_t>(records.size() * sizeof(WINDIVERT_ADDRESS));
    g_qmsg_queue.post(b);
    return b;
  }
  _QMSGBLOCK* PostData(QMsgBlockPool& ring, int type, const char* tag, const std::string& data) {
    _QMSGBLOCK* b = ring.take();
    EXPECT_NE(b, nullptr);
    if (b == nullptr) return nullptr;
    qmsgblock_set_tag(b, tag);
    b->msgtype = type;
    uint8_t* d = qmsgblock_reserve_data(b, static_cast<uint32_t>(data.size()));
    std::memcpy(d, data.data(), data.size());
    g_qmsg_queue.post(b);
    return b;
  }
  static bool Released(_QMSGBLOCK* b) {
    return WaitFor([b] { return !qmsgblock_in_use(b); });
  }

  // The capture element must be "fd".
  std::string graph_ =
      "fd :: FromDevice; tap :: CaptureTap; out :: OstrelToDevice; fd -> tap -> out;";
  testing_support::GraphHarness h_;
  FromDevice* fd_ = nullptr;
};

TEST_F(CaptureTest, BlocksOtherThanCapturesBecomePacketsByType) {
  QMsgBlockPool ring(16);
  // Queued before the cycle's start marker: dropped unhandled.
  _QMSGBLOCK* stale = PostData(ring, QMSG_IOMSG, "iomsg", std::string("iom\0", 4));
  Start();
  EXPECT_TRUE(Released(stale));

  struct Case {
    int type;
    const char* tag;
    std::string data;
    bool pushed;
    int kind;
    uint32_t path;
  };
  const std::string overlay = std::string("\x01\x02\x03\x04", 4) + std::string(20, 'x');
  const Case cases[] = {
      {QMSG_IOMSG, "iomsg", std::string("iom\0", 4), true, 0, 0},
      {QMSG_CMD_RECONFIGURE, "GoBGP", "{}", true, 1, 0},
      {QMSG_CMD_SET_FAIL_CLOSE, "GraphUserCmd", "x", true, 5, 0},
      {QMSG_PKT_OVERLAY, "ostoverlay", overlay, true, 0, 0x04030201},
      {QMSG_PKT_OVERLAY, "ostoverlay", "abc", false, 0, 0},  // no room for the path id
      {QMSG_NOP, "", "", false, 0, 0},
      {QMSG_CMD_TUNNEL_ENABLE, "tunnel", "x", false, 0, 0},
      {QMSG_CMD_TUNNEL_DISABLE, "tunnel", "x", false, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    size_t before = CaptureTap::Snapshot().size();
    ASSERT_TRUE(Released(PostData(ring, c.type, c.tag, c.data)));
    auto seen = CaptureTap::Snapshot();
    ASSERT_EQ(seen.size(), before + (c.pushed ? 1 : 0));
    if (!c.pushed) continue;
    EXPECT_EQ(seen.back().msgtype, c.type);
    EXPECT_EQ(seen.back().kind, c.kind);
    EXPECT_EQ(seen.back().path, c.path);
    EXPECT_FALSE(seen.back().hasRecord);
  }
  EXPECT_EQ(CountOf(Log(), "g_fromDeviceConsumer got unknown msgtype:11"), 1u);
  EXPECT_EQ(CountOf(Log(), "g_fromDeviceConsumer got unknown msgtype:13"), 1u);
}

TEST_F(CaptureTest, CapturedBlockPushesGraphPacketsAndSendsTheRestInBatches) {
  Start();
  QMsgBlockPool ring(4, kQMsgCaptureCapacity);
  struct Case {
    const char* what;
    size_t bypass;
    size_t graph;
    uint64_t sends;  // divert send calls for the block, bypass and drain together
  };
  const Case cases[] = {
      {"100 bypass", 100, 0, 1},
      {"255 bypass: sent at the 255th, nothing left at the end", 255, 0, 1},
      {"3 bypass and 2 for the graph", 3, 2, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::vector<uint8_t>> packets;
    std::vector<WINDIVERT_ADDRESS> records;
    for (size_t i = 0; i < c.graph; ++i) {
      packets.push_back(Udp("192.168.5.2", "8.8.4.4"));
      records.push_back(Where(true, 3));
    }
    for (size_t i = 0; i < c.bypass; ++i) {
      packets.push_back(Udp("192.168.5.2", "239.0.0.9", 1000));
      records.push_back(Where(true, 3));
    }
    size_t seenBefore = CaptureTap::Snapshot().size();
    uint64_t sendsBefore = fd_->send_calls();
    ASSERT_TRUE(Released(PostCapture(ring, packets, records)));
    auto got = Delivered(c.bypass + c.graph);
    EXPECT_EQ(got.size(), c.bypass + c.graph);
    EXPECT_EQ(fd_->send_calls() - sendsBefore, c.sends);
    EXPECT_EQ(CaptureTap::Snapshot().size() - seenBefore, c.graph);
    for (const auto& p : got) EXPECT_TRUE(p.reinjected);
  }
}

TEST_F(CaptureTest, HeldPacketsLeaveAtTheirDeadlineWithoutFurtherTraffic) {
  // Class 14 capped at 256 kbit/s: 1000-byte packets leave about 31 ms apart.
  const std::string tree = workdir_ + "hfsc.json";
  WriteFile(tree, R"({"name":"r","qid":1,"share":1.0,"rate":1.0,"node":[{"name":"n","qid":7,
      "node":[{"name":"own","qid":13,"share":0.05,"rate":0.05}]}]})");
  graph_ = "fd :: FromDevice; tap :: CaptureTap; s :: HFSCSched(CONF " + tree +
           ", MODE GW); out :: OstrelToDevice; fd -> tap -> s -> out;";
  Start();
  QMsgBlockPool ring(4, kQMsgCaptureCapacity);
  std::vector<std::vector<uint8_t>> packets(3, Udp("192.168.5.2", "8.8.4.4", 972));
  std::vector<WINDIVERT_ADDRESS> records(3, Where(true, 3));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(Released(PostCapture(ring, packets, records)));
  // Nothing else is posted: the consumer's timed wait runs the scheduler.
  auto got = Delivered(3);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(got.size(), 3u);
  EXPECT_GE(took, std::chrono::milliseconds(55));
  EXPECT_EQ(deadline_hook_earliest(), 0u);
}

TEST_F(CaptureTest, WhatNeverEntersTheGraph) {
  std::vector<platform::Adapter> rows(40);
  for (uint32_t i = 0; i < rows.size(); ++i) {
    rows[i].index = 100 + i;
    platform::AdapterAddress a;
    a.family = AF_INET;
    a.addr[0] = 10;
    a.addr[1] = static_cast<uint8_t>(i);
    a.addr[3] = 1;
    a.prefix_len = 16;
    rows[i].addresses.push_back(a);
  }
  auto set = [](platform::AdapterAddress& a, uint8_t b0, uint8_t b1, uint8_t b2, uint8_t b3,
                uint8_t prefix) {
    a.addr[0] = b0;
    a.addr[1] = b1;
    a.addr[2] = b2;
    a.addr[3] = b3;
    a.prefix_len = prefix;
  };
  set(rows[17].addresses[0], 192, 168, 1, 10, 24);
  set(rows[30].addresses[0], 10, 9, 9, 9, 32);  // no broadcast key
  set(rows[31].addresses[0], 10, 8, 8, 0, 31);  // none either
  Start();
  fd_->set_address_table_source([&rows](std::vector<platform::Adapter>* out) {
    *out = rows;
    return 0u;
  });
  // A new local source builds the broadcast map.
  Inject(Udp("192.168.1.10", "8.8.8.8"), Where(true, 117));
  ASSERT_EQ(Delivered(1).size(), 1u);
  EXPECT_EQ(fd_->broadcast_count(), 38u);
  EXPECT_EQ(fd_->ipv4_addr2ifidx(htonl(tp::addr("192.168.1.10"))), 117);
  EXPECT_NE(Log().find("IF_ADDR_ADD_EVENT: src=192.168.1.10 , dst=8.8.8.8"), std::string::npos);
  EXPECT_NE(Log().find("caching bcastaddr 117:192.168.1.255"), std::string::npos);

  struct Case {
    const char* dst;
    WINDIVERT_ADDRESS where;
    bool entersGraph;
  };
  const Case cases[] = {
      {"192.168.1.255", Where(true, 117), false},    // directed broadcast
      {"255.255.255.255", Where(true, 117), false},  // limited broadcast
      {"224.0.0.251", Where(false, 117), false},     // multicast
      {"8.8.8.8", Where(true, 1, true), false},      // loopback
      {"10.9.9.9", Where(false, 130), true},         // a /32 row is the host itself
      {"10.8.8.1", Where(false, 131), true},        {"8.8.8.8", Where(true, 117), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dst);
    size_t before = CaptureTap::Snapshot().size();
    Inject(Udp("192.168.1.10", c.dst), c.where);
    auto got = Delivered(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_TRUE(got[0].reinjected);
    auto seen = CaptureTap::Snapshot();
    ASSERT_EQ(seen.size(), before + (c.entersGraph ? 1 : 0));
    if (!c.entersGraph) continue;
    EXPECT_EQ(seen.back().dst, c.dst);
    EXPECT_EQ(seen.back().record.Flags & ~WINDIVERT_ADDRESS_LAYER_MASK, c.where.Flags);
    EXPECT_EQ(seen.back().record.IfIdx, c.where.IfIdx);
    // The drain recomputed every checksum.
    EXPECT_EQ(got[0].bytes.size(), 40u);
  }
}

TEST_F(CaptureTest, DestinationInternetDropsWhatBypassesTheGraph) {
  UseFixture("virtual_ip.json");
  Start("100.64.0.7", "8.8.8.8");
  Inject(Udp("100.64.0.7", "239.1.1.1"), Where(true, 3));
  Inject(Udp("100.64.0.7", "8.8.8.8"), Where(true, 3));
  auto got = Delivered(1);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(tp::get16(got[0].bytes, 16), tp::addr("8.8.8.8") >> 16);
}

// A packet whose transport header does not hold reaches no element: it is
// dropped and counted, never sent back around the graph, and a flood of them
// writes a few lines only.
TEST_F(CaptureTest, MalformedPacketsAreDroppedCountedAndLoggedWithinBudget) {
  Start();
  QMsgBlockPool ring(2, kQMsgCaptureCapacity);
  const auto shortTcp = tp::make_ipv4(6, "8.8.4.4", "192.168.5.2", 8);
  auto longUdp = Udp("8.8.4.4", "192.168.5.2");
  tp::put16(longUdp, 24, 500);  // UDP length past the packet's end
  constexpr size_t kBlocks = 8;
  constexpr size_t kBadPerBlock = 100;
  size_t seenBefore = CaptureTap::Snapshot().size();
  for (size_t b = 0; b < kBlocks; ++b) {
    std::vector<std::vector<uint8_t>> packets;
    for (size_t i = 0; i < kBadPerBlock; ++i) packets.push_back(i % 2 ? shortTcp : longUdp);
    packets.push_back(Udp("8.8.4.4", "192.168.5.2"));
    std::vector<WINDIVERT_ADDRESS> records(packets.size(), Where(false, 3));
    ASSERT_TRUE(Released(PostCapture(ring, packets, records)));
  }
  auto got = Delivered(kBlocks);
  EXPECT_EQ(got.size(), kBlocks);
  for (const auto& p : got) EXPECT_EQ(p.bytes.size(), 40u);
  EXPECT_EQ(CaptureTap::Snapshot().size() - seenBefore, kBlocks);
  EXPECT_EQ(fd_->refused_packets(), kBlocks * kBadPerBlock);
  const std::string log = Log();
  EXPECT_GE(CountOf(log, "malformed packet of 28 bytes dropped"), 1u);
  // Ten a second; the flood may straddle two seconds.
  EXPECT_LE(CountOf(log, "malformed packet of"), 2 * kCxLogBurstLines) << log;
  EXPECT_EQ(CountOf(log, "WinDivertHelperCalcChecksums"), 0u);
  EXPECT_EQ(log.find("\n\n"), std::string::npos);
}

// Another root process holding the log lock costs the packet path a short
// wait now and then, never its traffic: every packet goes back, and the lines
// that could not wait are counted in the log once the lock is free.
TEST_F(CaptureTest, HeldLogLockNeverStallsThePacketPath) {
  Start();
  CaptureTap::hook = [](CaptureTap* tap, Packet* p) {
    log_syslog_level(6, "CaptureTap::push", __FILE__, __LINE__, "packet of %u bytes", p->length());
    tap->forward(p);
  };
  // Where the log opened its lock (the harness has a root of its own).
  const std::string lock = log_.root().path() + "/run/dovadod/global/cx_log_mutex.lock";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    int fd = ::open(lock.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(errno);
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  ::close(ready[1]);
  char byte = 0;
  const bool held = ::read(ready[0], &byte, 1) == 1;
  ::close(ready[0]);
  if (!held) {
    int status = 0;
    ::waitpid(holder, &status, 0);
    FAIL() << "the holder could not take " << lock << ", errno " << WEXITSTATUS(status);
  }

  constexpr size_t kPackets = 1000;
  const uint64_t droppedBefore = cxLogDroppedLines();
  const auto start = std::chrono::steady_clock::now();
  for (size_t i = 0; i < kPackets; ++i) Inject(Udp("192.168.5.2", "8.8.8.8"), Where(true, 3));
  auto got = Delivered(kPackets);
  const auto took = std::chrono::steady_clock::now() - start;
  ::kill(holder, SIGKILL);
  ::waitpid(holder, nullptr, 0);
  EXPECT_EQ(got.size(), kPackets);
  for (const auto& p : got) EXPECT_TRUE(p.reinjected);
  EXPECT_LT(took, std::chrono::seconds(3));
  const uint64_t dropped = cxLogDroppedLines() - droppedBefore;
  EXPECT_GE(dropped, kPackets);

  // The next line that gets through carries the count.
  Inject(Udp("192.168.5.2", "8.8.8.8"), Where(true, 3));
  ASSERT_EQ(Delivered(1).size(), 1u);
  EXPECT_TRUE(WaitFor([&] {
    return Log().find(" log lines dropped while the log lock was busy") != std::string::npos;
  }));
  EXPECT_EQ(CountOf(Log(), "log lines dropped while the log lock was busy"), 1u);
}

TEST_F(CaptureTest, PacketKeepsItsRecordWhenItsBlockIsRefilled) {
  Start();
  QMsgBlockPool ring(1, kQMsgCaptureCapacity);
  std::vector<Packet*> held;
  CaptureTap::hook = [&held](CaptureTap* tap, Packet* p) {
    if (held.empty()) {
      held.push_back(p);  // kept past its block's release
      return;
    }
    tap->forward(held[0]);
    tap->forward(p);
  };
  ASSERT_TRUE(Released(PostCapture(ring, {Udp("192.168.5.2", "8.8.8.8")}, {Where(true, 7)})));
  ASSERT_TRUE(Released(PostCapture(ring, {Udp("8.8.4.4", "192.168.5.2")}, {Where(false, 9)})));
  auto got = Delivered(2);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].addr.Flags & WINDIVERT_ADDRESS_OUTBOUND, WINDIVERT_ADDRESS_OUTBOUND);
  EXPECT_EQ(got[0].addr.IfIdx, 7u);
  EXPECT_EQ(got[1].addr.Flags & WINDIVERT_ADDRESS_OUTBOUND, 0u);
  EXPECT_EQ(got[1].addr.IfIdx, 9u);
}

// Sorting outputs 0 to 3 of the classifier "cls", each to the same port of
// "sink".
constexpr char kSortedToSink[] =
    "sink :: TestSink; cls :: OstrelL3Classifier;"
    "cls[0] -> [0]sink; cls[1] -> [1]sink; cls[2] -> [2]sink; cls[3] -> [3]sink;";

// The fragments wait in a queue, as they would before an output, so the
// captured datagram and then the first fragment are freed before the later
// fragments are sorted: each must carry its direction itself.
TEST_F(CaptureTest, FragmentsAreSortedByTheirOwnCaptureRecord) {
  graph_ = std::string(kSortedToSink) +
           "fd :: FromDevice; fd -> OstrelIPFragmenter(300) -> TestQueue -> pull :: TestPuller;"
           "src :: TestSource; src -> cls;";
  Start();
  QMsgBlockPool ring(1, kQMsgCaptureCapacity);
  struct Case {
    const char* what;
    std::vector<uint8_t> packet;
    WINDIVERT_ADDRESS where;
    int output;
  };
  const Case cases[] = {
      {"outbound", Udp("192.168.5.2", "8.8.8.8", 1000), Where(true, 3),
       OstrelL3Classifier::kOutbound},
      {"inbound", Udp("8.8.4.4", "192.168.5.2", 1000), Where(false, 3),
       OstrelL3Classifier::kInbound},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_TRUE(Released(PostCapture(ring, {c.packet}, {c.where})));
    int fragments = 0;
    while (Packet* fragment = h_.Pull("pull")) {
      h_.Push("src", fragment);
      Packet* sorted = h_.Take("sink", c.output);
      ASSERT_NE(sorted, nullptr) << "fragment " << fragments;
      sorted->release();
      ++fragments;
    }
    EXPECT_EQ(fragments, 4);
    EXPECT_EQ(h_.Count("sink"), 0u);
  }
}

// Whichever fragment comes first, the datagram sorts by its capture record.
// When the first fragment arrives last, the datagram takes that fragment's
// annotations and the fragment is freed before the datagram is sorted.
TEST_F(CaptureTest, ReassembledDatagramIsSortedByItsOwnCaptureRecord) {
  graph_ = std::string(kSortedToSink) + "fd :: FromDevice; fd -> IPReassembler -> cls;";
  Start();
  QMsgBlockPool ring(1, kQMsgCaptureCapacity);
  struct Case {
    const char* what;
    bool outbound;
    bool firstLast;
  };
  const Case cases[] = {
      {"outbound, first fragment last", true, true},
      {"inbound, first fragment last", false, true},
      {"outbound, first fragment first", true, false},
      {"inbound, first fragment first", false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string local = "192.168.5.2";
    const std::string remote = "8.8.8.8";
    const std::string& src = c.outbound ? local : remote;
    const std::string& dst = c.outbound ? remote : local;
    const auto first = testing_support::BuildIPv4(
        {.protocol = 17, .src = src, .dst = dst, .payload = 24, .more_fragments = true});
    const auto later = testing_support::BuildIPv4(
        {.protocol = 17, .src = src, .dst = dst, .payload = 40, .fragment_offset = 4});
    ASSERT_TRUE(Released(
        PostCapture(ring, c.firstLast ? std::vector{later, first} : std::vector{first, later},
                    {Where(c.outbound, 3), Where(c.outbound, 3)})));
    Packet* datagram =
        h_.Take("sink", c.outbound ? OstrelL3Classifier::kOutbound : OstrelL3Classifier::kInbound);
    ASSERT_NE(datagram, nullptr);
    EXPECT_EQ(datagram->length(), 20u + 8 + 24 + 40);
    datagram->release();
    EXPECT_EQ(h_.Count("sink"), 0u);
  }
}

TEST_F(CaptureTest, DrainFlushesEarlySoLargePacketsAreNeverLost) {
  Start();
  QMsgBlockPool ring(1, kQMsgCaptureCapacity);
  // The graph grows every packet to 2000 bytes.
  CaptureTap::hook = [](CaptureTap* tap, Packet* p) {
    p = p->put(2000 - p->length());
    ASSERT_NE(p, nullptr);
    p->data()[2] = 2000 >> 8;
    p->data()[3] = 2000 & 0xFF;
    tap->forward(p);
  };
  std::vector<std::vector<uint8_t>> packets(255, Udp("192.168.5.2", "8.8.8.8", 1000));
  std::vector<WINDIVERT_ADDRESS> records(255, Where(true, 3));
  uint64_t sendsBefore = fd_->send_calls();
  ASSERT_TRUE(Released(PostCapture(ring, packets, records)));
  auto got = Delivered(255);
  ASSERT_EQ(got.size(), 255u);
  for (const auto& p : got) EXPECT_EQ(p.bytes.size(), 2000u);
  EXPECT_EQ(fd_->send_calls() - sendsBefore, 2u);
}

class RecordingWriter : public TunnelPacketWriter {
 public:
  int write_packet(IPAddress wan, IPAddress local, const unsigned char* data,
                   uint32_t length) override {
    std::lock_guard<std::mutex> guard(mu);
    writes.push_back({wan.to_string().c_str(), local.to_string().c_str(), length});
    (void)data;
    return 0;
  }
  struct Write {
    std::string wan, local;
    uint32_t length;
  };
  std::mutex mu;
  std::vector<Write> writes;
};

class RecordingListener : public AggregateListener {
 public:
  void notify_flow_event(uint32_t id, AggregateEvent event, AggregateIPFlows::StatFlowInfo* record,
                         const Packet*) override {
    if (event == NEW_AGG) calls.push_back({id, event, record->tx_if});
  }
  struct Call {
    uint32_t id;
    AggregateEvent event;
    std::string egress;
  };
  std::vector<Call> calls;
};

TEST_F(CaptureTest, DrainRoutesByAnnotationsAndDumpsWhatItReinjects) {
  cxLogThreshold = CXLOG_DEBUG;
  std::string dump = workdir_ + "capture.pcap";
  RecordingWriter writer;
  set_tunnel_packet_writer(&writer);
  AggregateIPFlows flows(16, 16);
  flows.set_best_route_lookup([](uint32_t, platform::BestRoute*) { return 1168u; });
  flows.register_process_instance();
  // Two flows made by their first packets: their ids and indexes.
  auto make_flow = [&flows](uint16_t sport, uint32_t* id) {
    testing_support::PacketSpec shape;
    shape.protocol = 17;
    shape.sport = sport;
    Packet* p = testing_support::MakePacket(testing_support::BuildIPv4(shape));
    p->set_msgtype(1);
    EXPECT_EQ(flows.handle_packet(p), 0);
    *id = p->aggregate_anno();
    const uint32_t index = p->flow_index_anno();
    p->release();
    return index;
  };
  uint32_t first_id = 0, second_id = 0;
  uint32_t first = make_flow(1000, &first_id);
  uint32_t second = make_flow(1001, &second_id);
  ASSERT_NE(first, 0u);
  ASSERT_NE(second, 0u);
  std::strcpy(flows.record(second)->tx_if, "LTE");
  RecordingListener listener;
  flows.add_listener(&listener);

  Start();
  ASSERT_TRUE(cx_pktdump_init(dump, 0));
  // Learn 192.168.1.10 on interface 4 first.
  Inject(Udp("192.168.1.10", "8.8.8.8"), Where(true, 4));
  ASSERT_EQ(Delivered(1).size(), 1u);
  CaptureTap::hook = [&](CaptureTap* tap, Packet* p) {
    std::string dst = testing_support::Dotted(CaptureTap::Dst(p));
    if (dst == "9.9.9.9") {  // bound for an overlay peer
      p->set_peer_wan_ip_anno(IPAddress(htonl(tp::addr("203.0.113.5"))));
      p->set_peer_local_ip_anno(IPAddress(htonl(tp::addr("192.168.1.10"))));
    }
    if (dst == "192.168.1.10" || dst == "10.77.0.1") p->set_decap_mark_anno(kDecapMark);
    if (dst == "8.8.4.4") {
      p->set_aggregate_anno(first_id);
      p->set_flow_index_anno(first);
    }
    if (dst == "1.1.1.1") {
      p->set_aggregate_anno(second_id);
      p->set_flow_index_anno(second);
    }
    tap->forward(p);
  };
  struct Case {
    const char* dst;
    size_t delivered;
    uint32_t ifIdx;
    bool outbound;
  };
  const Case cases[] = {
      {"9.9.9.9", 0, 0, false},
      {"192.168.1.10", 1, 4, false},  // decapsulated: inbound on the learned interface
      {"10.77.0.1", 0, 0, false},     // decapsulated to nobody here
      {"8.8.4.4", 1, 3, true},
      {"8.8.4.4", 1, 3, true},  // same flow: reported once
      {"1.1.1.1", 1, 3, true},
  };
  int dumped = 2;  // the learning packet, in and out
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dst);
    Inject(Udp("8.8.8.8", c.dst), Where(true, 3));
    auto got = Delivered(c.delivered);
    ASSERT_EQ(got.size(), c.delivered);
    dumped += 1 + static_cast<int>(c.delivered);
    if (c.delivered == 0) continue;
    EXPECT_EQ(got[0].addr.IfIdx, c.ifIdx);
    EXPECT_EQ((got[0].addr.Flags & WINDIVERT_ADDRESS_OUTBOUND) != 0, c.outbound);
  }
  Stop();
  set_tunnel_packet_writer(nullptr);
  cx_pktdump_close();

  ASSERT_EQ(writer.writes.size(), 1u);
  EXPECT_EQ(writer.writes[0].wan, "203.0.113.5");
  EXPECT_EQ(writer.writes[0].local, "192.168.1.10");
  EXPECT_EQ(writer.writes[0].length, 40u);
  EXPECT_NE(Log().find("selected: Writing pending dequeue packet to SSL Socket"),
            std::string::npos);
  EXPECT_NE(Log().find("ipv4_addr2ifidx: failed to resolve for 10.77.0.1"), std::string::npos);
  ASSERT_EQ(listener.calls.size(), 2u);
  EXPECT_EQ(listener.calls[0].id, first_id);
  EXPECT_EQ(listener.calls[0].event, NEW_AGG);
  EXPECT_EQ(listener.calls[0].egress, "WAN");
  EXPECT_EQ(listener.calls[1].egress, "LTE");
  EXPECT_TRUE(flows.record(first)->new_announced);
  // Each packet entering the graph, and each one re-injected from the
  // drain, is one 40-byte record (the probe and the tunnel-bound packet are
  // left out).
  std::string pcap = ReadFile(dump);
  EXPECT_EQ(pcap.size(), 24u + static_cast<size_t>(dumped) * (16 + 40));
}

TEST_F(CaptureTest, CycleEndsAtOnceWhenItsProducerEnds) {
  Start();
  auto cycles = [this] { return CountOf(Log(), "Exiting packet processing thread"); };
  // A fail-close change while the queue is idle.
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_TRUE(fd_->UpdateFailClose(true));
  ASSERT_TRUE(WaitFor([&] { return cycles() == 1; }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kAtOnce);
  ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; }));

  // A producer that cannot take its first block ends the cycle too (the
  // consumer is still waiting for the start marker then).
  Stop();
  ASSERT_EQ(sim::open_handles(), 0u);
  std::vector<_QMSGBLOCK*> taken;
  while (_QMSGBLOCK* b = g_capture_qmsg_pool.take()) taken.push_back(b);
  ASSERT_FALSE(taken.empty());
  FromDevice fd;
  size_t before = cycles();
  t0 = std::chrono::steady_clock::now();
  fd.UpdateFailClose(false);
  ASSERT_TRUE(WaitFor([&] { return cycles() == before + 1; }));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, kAtOnce);
  EXPECT_NE(Log().find("Failed to get message block, existing producer thread"), std::string::npos);
  for (_QMSGBLOCK* b : taken) qmsgblock_release(b);
  // After the pause the next cycle runs normally.
  ASSERT_TRUE(WaitFor([&] { return sim::open_handles() == 1; }));
  EXPECT_TRUE(RoundTrip(HostPacket("8.8.8.8")));
}

// ---- A fail-close switch hands back what the old handle took ----------------

// A packet numbered `n` in its payload, to a private address that both the
// open and the fail-close filter capture.
std::vector<uint8_t> Numbered(uint32_t n) {
  auto p = Udp("192.168.5.2", "10.9.0.1");
  tp::put32(p, 28, n);
  return p;
}

uint32_t NumberOf(const platform::divert::SimPacket& p) {
  if (p.bytes.size() < 32) return UINT32_MAX;
  return static_cast<uint32_t>(p.bytes[28] << 24 | p.bytes[29] << 16 | p.bytes[30] << 8 |
                               p.bytes[31]);
}

// The numbers 0 to n-1 that `got` misses or repeats, and any it has beyond;
// empty when each came exactly once.
std::string Faults(const std::vector<platform::divert::SimPacket>& got, uint32_t n) {
  std::map<uint32_t, int> counts;
  for (const auto& p : got) ++counts[NumberOf(p)];
  std::string missing;
  std::string repeated;
  for (uint32_t i = 0; i < n; ++i) {
    auto found = counts.find(i);
    if (found == counts.end()) {
      missing += " " + std::to_string(i);
      continue;
    }
    if (found->second > 1) repeated += " " + std::to_string(i);
    counts.erase(found);
  }
  std::string faults;
  if (!missing.empty()) faults += "missing:" + missing + "\n";
  if (!repeated.empty()) faults += "repeated:" + repeated + "\n";
  for (const auto& [number, count] : counts)
    faults += "unexpected: " + std::to_string(number) + "\n";
  return faults;
}

int CaptureBlocksInUse() {
  int n = 0;
  for (int32_t i = 0; i < g_capture_qmsg_pool.count(); ++i) {
    n += qmsgblock_in_use(g_capture_qmsg_pool.block(i)) ? 1 : 0;
  }
  return n;
}

class SwitchTest : public CaptureTest {
 protected:
  // Before the base stops the worker: a held consumer would never see it.
  ~SwitchTest() override { gateOpen_ = true; }

  // Holds the consumer in the graph with packet 0, then has the producer
  // fill `blocks` blocks of the capture ring with one numbered packet each;
  // by default every block left, so that the end marker of a drain must
  // wait for the consumer. Returns how many packets were captured.
  uint32_t HoldConsumer(int blocks = kCaptureRingBlocks) {
    // Blocks an earlier test left queued are released by the running consumer.
    EXPECT_TRUE(WaitFor([] { return CaptureBlocksInUse() == 0; }));
    gateOpen_ = false;
    held_ = false;
    CaptureTap::hook = [this](CaptureTap* tap, Packet* p) {
      held_ = true;
      while (!gateOpen_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(delayMs_));
      tap->forward(p);
    };
    Inject(Numbered(0), Where(true, 3));
    EXPECT_TRUE(WaitFor([this] { return held_.load(); }));
    uint32_t n = 1;
    for (; CaptureBlocksInUse() < std::min(blocks, g_capture_qmsg_pool.count()); ++n) {
      const int before = CaptureBlocksInUse();
      Inject(Numbered(n), Where(true, 3));
      auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (CaptureBlocksInUse() == before && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      if (CaptureBlocksInUse() != before + 1) {
        ADD_FAILURE() << "packet " << n << " got no block of its own";
        break;
      }
    }
    return n;
  }

  std::atomic<bool> gateOpen_{true};
  std::atomic<bool> held_{false};
  // How long the graph then takes per packet.
  std::atomic<int> delayMs_{0};
};

// When the change comes, one packet the old handle took is in the graph and
// the rest fill the capture ring: each comes back once after the switch,
// with one change or two in a row.
TEST_F(SwitchTest, FailCloseSwitchDeliversEveryCapturedPacketOnce) {
  struct Case {
    const char* name;
    std::vector<bool> changes;
    const char* filter;
  };
  const Case cases[] = {
      {"on", {true}, kFailClose},
      {"off and on again", {false, true}, kFailClose},
      {"off", {false}, kBase},
  };
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const WinDivertHandle before = fd_->handle();
    const size_t cycles = CountOf(Log(), "Exiting packet processing thread");
    const uint32_t captured = HoldConsumer();
    for (bool state : c.changes) EXPECT_TRUE(fd_->UpdateFailClose(state));
    // The old handle takes nothing more, and its cycle is still draining.
    EXPECT_EQ(sim::open_handles(), 0u);
    auto late = Numbered(captured);
    EXPECT_FALSE(sim::inject(late.data(), static_cast<uint32_t>(late.size()), Where(true, 3)));
    auto passed = Delivered(1);
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_FALSE(passed[0].reinjected);
    EXPECT_EQ(fd_->handle(), before);

    gateOpen_ = true;
    auto got = Delivered(captured);
    EXPECT_EQ(Faults(got, captured), "");
    for (const auto& p : got) EXPECT_TRUE(p.reinjected);

    ASSERT_TRUE(WaitFor([&] {
      WinDivertHandle h = fd_->handle();
      return h != kWinDivertInvalidHandle && h != before && sim::open_handles() == 1;
    }));
    EXPECT_EQ(CountOf(Log(), "Exiting packet processing thread"), cycles + 1);
    EXPECT_EQ(Std(fd_->filter_text()), c.filter);
    EXPECT_TRUE(RoundTrip(Numbered(99999)));
  }
  EXPECT_GE(CountOf(Log(), "Windivert handle shut down and drained, exiting"), 3u);
  EXPECT_EQ(Log().find("WinDivertRecvEx failed"), std::string::npos);
}

// A stop during a drain ends the cycle at once, whether the producer still
// waits for a block or has posted its end marker; what is still queued is
// dropped then.
TEST_F(SwitchTest, StopDuringDrainEndsTheCycleAtOnce) {
  for (int blocks : {kCaptureRingBlocks, 60}) {
    SCOPED_TRACE(blocks);
    Start();
    HoldConsumer(blocks);
    EXPECT_TRUE(fd_->UpdateFailClose(true));
    // Every packet left would take the consumer 20 ms.
    delayMs_ = 20;
    auto t0 = std::chrono::steady_clock::now();
    std::thread stopper([this] { Stop(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gateOpen_ = true;
    stopper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    EXPECT_EQ(sim::open_handles(), 0u);
    delayMs_ = 0;
    sim::take_delivered();
  }
  EXPECT_EQ(CountOf(Log(), "Packet processor thread did not exit in time"), 0u);
}

// Changes in quick succession while traffic flows land before a handle is
// stored, during an open and during drains: every packet reaches the host
// once, through the service or past it.
TEST_F(SwitchTest, RapidChangesUnderTrafficLoseAndRepeatNothing) {
  Start();
  constexpr uint32_t kPackets = 3000;
  std::atomic<bool> sent{false};
  std::thread sender([&] {
    for (uint32_t n = 0; n < kPackets; ++n) {
      auto p = Numbered(n);
      sim::inject(p.data(), static_cast<uint32_t>(p.size()), Where(true, 3));
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    }
    sent = true;
  });
  std::vector<platform::divert::SimPacket> got;
  for (int i = 0; !sent; ++i) {
    fd_->UpdateFailClose(i % 2 == 0);
    std::this_thread::sleep_for(std::chrono::microseconds(500 * (i % 5)));
    for (auto& p : sim::take_delivered()) got.push_back(std::move(p));
  }
  sender.join();
  for (auto& p : Delivered(got.size() < kPackets ? kPackets - got.size() : 0)) {
    got.push_back(std::move(p));
  }
  EXPECT_EQ(Faults(got, kPackets), "");
  EXPECT_EQ(sim::delivered_overflow(), 0u);
  EXPECT_GE(CountOf(Log(), "Exiting packet processing thread"), 10u);
}

TEST(FromDeviceSelectedTest, StopEndsTheRouterThreadsWaitAndTheCycleAtOnce) {
  StartedLog log(0);
  platform::divert::use_simulated_backend(true);
  sim::reset();
  {
    FromDevice fd;
    std::thread router([&] { fd.selected(0, 1); });
    ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; }));
    EXPECT_TRUE(WaitFor(
        [] { return TarnIPCServer::GetInstance().endpoint().boundPort() == kTarnIPCPort; }));
    auto t0 = std::chrono::steady_clock::now();
    fd.exit();
    router.join();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, kAtOnce);
    EXPECT_FALSE(fd.thread_running());
    EXPECT_EQ(sim::open_handles(), 0u);
    EXPECT_EQ(destination_internet_flag.load(), 0);
  }
  EXPECT_EQ(CountOf(log.text(), "Packet processor thread did not exit in time"), 0u);
  EXPECT_NE(log.text().find("cxcom2 server started"), std::string::npos);
  EXPECT_NE(log.text().find("Set new tarninternetbypass status \"\""), std::string::npos);
  sim::reset();
  platform::divert::use_simulated_backend(false);
}

// A stop that lands before the router thread reaches the hook: the hook
// returns at once and starts neither the worker nor a fail-close worker later.
TEST(FromDeviceSelectedTest, StopBeforeTheHookStartsNothing) {
  StartedLog log(0);
  platform::divert::use_simulated_backend(true);
  sim::reset();
  {
    FromDevice fd;
    fd.exit();
    fd.selected(0, 1);
    EXPECT_FALSE(fd.UpdateFailClose(true));
    EXPECT_FALSE(fd.thread_running());
    EXPECT_EQ(sim::open_handles(), 0u);
  }
  EXPECT_EQ(log.text().find("cxcom2 server started"), std::string::npos);
  sim::reset();
  platform::divert::use_simulated_backend(false);
}

// ---- Real traffic through the graph, between two namespaces ----------------

std::string Output(const std::string& command) {
  std::string out;
  FILE* f = ::popen(command.c_str(), "r");
  if (f == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  ::pclose(f);
  return out;
}

int SocketIn(const testing_support::TestNetns& ns, int type) {
  int fd = -1;
  ns.RunInside([&] { fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0); });
  if (fd < 0) return fd;
  timeval tv{5, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  return fd;
}

// Sends `bytes` from a socket in `client` to a listener in `server` at
// `addr`, which echoes them; true when all come back intact.
bool TcpEcho(const testing_support::TestNetns& client, const testing_support::TestNetns& server,
             const char* addr, size_t bytes) {
  int lfd = SocketIn(server, SOCK_STREAM);
  int cfd = SocketIn(client, SOCK_STREAM);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  inet_pton(AF_INET, addr, &sa.sin_addr);
  socklen_t len = sizeof sa;
  auto* any = reinterpret_cast<sockaddr*>(&sa);
  bool ok = lfd >= 0 && cfd >= 0 && ::bind(lfd, any, len) == 0 && ::listen(lfd, 1) == 0 &&
            ::getsockname(lfd, any, &len) == 0 && ::connect(cfd, any, len) == 0;
  std::vector<uint8_t> out(bytes), in(bytes);
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(i * 131 + i / 251);
  auto io = [](int fd, uint8_t* p, size_t n, bool write) {
    while (n > 0) {
      ssize_t r = write ? ::send(fd, p, n, MSG_NOSIGNAL) : ::recv(fd, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<size_t>(r);
    }
    return true;
  };
  if (ok) {
    std::thread echo([&] {
      int afd = ::accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (afd < 0) return;
      std::vector<uint8_t> got(bytes);
      if (io(afd, got.data(), bytes, false)) io(afd, got.data(), bytes, true);
      ::close(afd);
    });
    ok = io(cfd, out.data(), bytes, true) && io(cfd, in.data(), bytes, false) && in == out;
    ::shutdown(cfd, SHUT_RDWR);
    echo.join();
  }
  if (lfd >= 0) ::close(lfd);
  if (cfd >= 0) ::close(cfd);
  return ok;
}

TEST_F(FromDeviceTest, RealTrafficPassesThroughClassifierAndOutput) {
  if (::geteuid() != 0) GTEST_SKIP() << "network namespaces need root";
  testing_support::TestNetns a("fdgraph");
  testing_support::TestNetns b("fdpeer");
  ASSERT_TRUE(a.created() && b.created());
  ASSERT_TRUE(a.Ip({"link", "add", "va", "type", "veth", "peer", "name", "vb", "netns", b.name()}));
  ASSERT_TRUE(a.Ip({"addr", "add", "10.78.0.1/24", "dev", "va"}));
  ASSERT_TRUE(b.Ip({"addr", "add", "10.78.0.2/24", "dev", "vb"}));
  for (const auto* ns : {&a, &b}) {
    ASSERT_TRUE(ns->Ip({"link", "set", "lo", "up"}));
  }
  ASSERT_TRUE(a.Ip({"link", "set", "va", "up"}));
  ASSERT_TRUE(b.Ip({"link", "set", "vb", "up"}));
  UseFixture("no_ranges.json");
  platform::divert::use_simulated_backend(false);

  testing_support::GraphHarness h;
  ASSERT_TRUE(
      h.Load("fd :: FromDevice; cl :: OstrelL3Classifier; out :: OstrelToDevice;"
             "fd -> cl; cl[0] -> out; cl[1] -> out; cl[2] -> out; cl[3] -> out;"))
      << h.messages();
  auto* fd = static_cast<FromDevice*>(h.Find("fd"));
  // The worker and its threads live in namespace a, like the rules they load.
  ASSERT_TRUE(a.RunInside([&] { fd->UpdateFailClose(false); }));
  ASSERT_TRUE(WaitFor([&] { return fd->handle() != kWinDivertInvalidHandle; }));
  const std::string rules = "ip netns exec " + a.name() + " iptables-save -t raw";
  EXPECT_NE(Output(rules).find("DOVADOD_Q"), std::string::npos);

  EXPECT_TRUE(testing_support::RunProgram({"ip", "netns", "exec", a.name(), "ping", "-q", "-c", "3",
                                           "-i", "0.2", "-W", "2", "10.78.0.2"}));
  EXPECT_TRUE(TcpEcho(a, b, "10.78.0.2", 512 * 1024));
  EXPECT_TRUE(TcpEcho(b, a, "10.78.0.1", 128 * 1024));
  platform::divert::DivertCounters counters;
  ASSERT_TRUE(platform::divert::get_counters(fd->handle(), &counters));
  EXPECT_GT(counters.received, 100u);
  EXPECT_EQ(counters.send_dropped, 0u);

  // Closing runs in the handle's namespace, so its rules go with it.
  ASSERT_TRUE(a.RunInside([&] { fd->exit(); }));
  EXPECT_FALSE(fd->thread_running());
  EXPECT_EQ(Output(rules).find("DOVADOD_Q"), std::string::npos);
}

}  // namespace
