// Flow decisions of the built service end to end, on the scenario graph (the
// flow element applies each flow's policy row before the route table), in
// the tunnel fixture: the client c captures every interface (not tarnif
// alone), c0 also holds 10.77.0.1/24 and the private peer 10.77.0.2 sits on
// h0; hubs A and B are the group "g1". What crosses h0 or a hub's TUN is
// read with a packet socket bound to it in h.
//
// Cases: fail-close lifted by a hub coming up (the plain service); a drop row
// that stops one port of the private peer; a row that routes a prefix to the
// first hub of its group that is up, and what happens when none is. The rows
// need the tunnel marked started, which the start command of the control
// socket does; STARTED_SERVICE stands in for it. Needs root.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/registry_values.h"
#include "tests/support/tunnel_service.h"

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing_support::kClientVip;
using testing_support::kHubA;
using testing_support::kHubB;
using testing_support::Since;
using testing_support::TestNetns;
using testing_support::TunnelNetns;
using testing_support::WaitFor;

constexpr char kClientPrivate[] = "10.77.0.1";
constexpr char kPeer[] = "10.77.0.2";
constexpr char kBehindHubs[] = "100.70.9.0/24";
constexpr char kBehind[] = "100.70.9.1";
constexpr uint16_t kPeerPort = 5201;
// The capture filter once fail-close is lifted (no exclusions).
constexpr char kOpenFilter[] =
    "_windivert_filter = (remotePort != 67) && ((impostor && inbound)? false : true)\n";

// The addresses, protocol and ports (0 for other protocols) of an IPv4
// packet.
struct Seen {
  uint32_t src = 0;  // network order
  uint32_t dst = 0;
  uint8_t protocol = 0;
  uint16_t sport = 0;  // host order
  uint16_t dport = 0;
};

// Behind-the-hubs traffic in the clear: either address in their /24.
bool Clear(const Seen& p) {
  const uint32_t net = ntohl(inet_addr(kBehind)) & 0xffffff00u;
  return (ntohl(p.src) & 0xffffff00u) == net || (ntohl(p.dst) & 0xffffff00u) == net;
}
// TLS or DTLS to or from a hub's port.
bool Tunnel(const Seen& p) {
  return (p.protocol == IPPROTO_TCP || p.protocol == IPPROTO_UDP) &&
         (p.dport == testing_support::kHubPort || p.sport == testing_support::kHubPort);
}
// An echo request from the VIP to the address behind the hubs.
bool EchoRequest(const Seen& p) {
  return p.protocol == IPPROTO_ICMP && p.src == inet_addr(kClientVip) &&
         p.dst == inet_addr(kBehind);
}
size_t CountOf(const std::vector<Seen>& packets, bool (*match)(const Seen&)) {
  return static_cast<size_t>(std::count_if(packets.begin(), packets.end(), match));
}
// The IPv4 packets that arrive on one interface of a namespace, through a
// packet socket bound to it there (what the interface sends is left out).
class Sniffer {
 public:
  Sniffer(const TestNetns& netns, const std::string& device) {
    netns.RunInside([&] {
      fd_ = ::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_IP));
      if (fd_ < 0) return;
      const int buffer = 8 << 20;
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer);
      sockaddr_ll at{};
      at.sll_family = AF_PACKET;
      at.sll_protocol = htons(ETH_P_IP);
      at.sll_ifindex = static_cast<int>(::if_nametoindex(device.c_str()));
      if (at.sll_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
        ::close(fd_);
        fd_ = -1;
      }
    });
    // What any interface gave the socket before the bind.
    Take();
  }
  Sniffer(const Sniffer&) = delete;
  Sniffer& operator=(const Sniffer&) = delete;
  ~Sniffer() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool ok() const { return fd_ >= 0; }

  // Every packet that arrived since the last call.
  std::vector<Seen> Take() {
    std::vector<Seen> packets;
    uint8_t frame[65536];
    while (fd_ >= 0) {
      sockaddr_ll from{};
      socklen_t length = sizeof from;
      const ssize_t n =
          ::recvfrom(fd_, frame, sizeof frame, 0, reinterpret_cast<sockaddr*>(&from), &length);
      if (n < 0) break;
      const size_t size = static_cast<size_t>(n);
      if (from.sll_pkttype == PACKET_OUTGOING || size < 20 || frame[0] >> 4 != 4) continue;
      Seen p;
      std::memcpy(&p.src, frame + 12, 4);
      std::memcpy(&p.dst, frame + 16, 4);
      p.protocol = frame[9];
      const size_t header = (frame[0] & 0x0f) * 4u;
      if ((p.protocol == IPPROTO_TCP || p.protocol == IPPROTO_UDP) && size >= header + 4) {
        p.sport = static_cast<uint16_t>(frame[header] << 8 | frame[header + 1]);
        p.dport = static_cast<uint16_t>(frame[header + 2] << 8 | frame[header + 3]);
      }
      packets.push_back(p);
    }
    return packets;
  }

 private:
  int fd_ = -1;
};

// A UDP echo on `address`:`port` in a namespace, until destroyed.
class EchoServer {
 public:
  EchoServer(const TestNetns& netns, const char* address, uint16_t port) {
    netns.RunInside([&] { fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    sockaddr_in at{};
    at.sin_family = AF_INET;
    at.sin_port = htons(port);
    at.sin_addr.s_addr = inet_addr(address);
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return;
    thread_ = std::thread([this] {
      char buffer[2048];
      while (!stop_.load()) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n =
            ::recvfrom(fd_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n <= 0) continue;
        ::sendto(fd_, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from),
                 length);
      }
    });
  }
  EchoServer(const EchoServer&) = delete;
  EchoServer& operator=(const EchoServer&) = delete;
  ~EchoServer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }

  bool ok() const { return thread_.joinable(); }

 private:
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// One UDP flow in a namespace from `from` (a port of the kernel's choice) to
// `to`:`port`.
class UdpFlow {
 public:
  UdpFlow(const TestNetns& netns, const char* from, const char* to, uint16_t port) {
    netns.RunInside([&] { fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = inet_addr(from);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(port);
    remote.sin_addr.s_addr = inet_addr(to);
    if (fd_ >= 0 && (::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
                     ::connect(fd_, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0)) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  UdpFlow(const UdpFlow&) = delete;
  UdpFlow& operator=(const UdpFlow&) = delete;
  ~UdpFlow() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool ok() const { return fd_ >= 0; }

  // Sends the next numbered datagram; true when it came back within `wait`.
  // Late answers to earlier ones are skipped.
  bool Echo(milliseconds wait) {
    const uint32_t number = ++sent_;
    if (::send(fd_, &number, sizeof number, 0) != sizeof number) return false;
    const auto deadline = steady_clock::now() + wait;
    for (;;) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count();
      pollfd p{fd_, POLLIN, 0};
      if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) != 1) return false;
      uint32_t back = 0;
      if (::recv(fd_, &back, sizeof back, 0) == sizeof back && back == number) return true;
    }
  }

 private:
  int fd_ = -1;
  uint32_t sent_ = 0;
};

class FlowScenarioTest : public testing_support::TunnelServiceTest {
 protected:
  explicit FlowScenarioTest(const char* program = STARTED_SERVICE)
      : TunnelServiceTest(program, TESTHUB_PROGRAM) {}

  void SetUp() override {
    TunnelServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_NO_FATAL_FAILURE(PrepareHubSites(DOVADOD_SCENARIO_WORKDIR));
    std::ofstream(workdir_ + "/ostrel-exclusions.json") << R"({"virtual_interface_only": false})";
    ASSERT_TRUE(
        net_.client().Ip({"addr", "add", std::string(kClientPrivate) + "/24", "dev", "c0"}));
    ASSERT_TRUE(net_.hub().Ip({"addr", "add", std::string(kPeer) + "/24", "dev", "h0"}));
    // Answers to the VIP that no hub carries go back over c0.
    ASSERT_TRUE(net_.hub().Ip(
        {"route", "add", "100.64.1.0/24", "via", testing_support::kTunnelClientAddress}));
  }

  void WritePolicy(const json& rows) const {
    const json config = {{"pcfg_qos_policies", rows}};
    const json doc = {{"activated_policies", json::array({json{{"policy_config", config}}})}};
    std::ofstream(workdir_ + "/policy.json") << doc.dump();
  }

  // iperf3 from the VIP to the peer's `port`, against a one-off server there
  // that is made to finish by a client of h's own when the VIP's did not
  // reach it. The VIP client's exit code; its output goes to `*out`.
  int Iperf(uint16_t port, std::string* out) {
    const std::string p = std::to_string(port);
    int server_code = -1;
    std::string server_out;
    std::thread server([&] {
      server_out = TunnelNetns::Run(&net_.hub(), {"iperf3", "-s", "-1", "-B", kPeer, "-p", p},
                                    &server_code, seconds(30));
    });
    const bool listening = WaitFor(
        [&] {
          return !TunnelNetns::Run(&net_.hub(), {"ss", "-Hltn", "sport", "=", ":" + p}).empty();
        },
        seconds(5));
    EXPECT_TRUE(listening);
    int code = -1;
    *out = TunnelNetns::Run(
        &net_.client(),
        {"iperf3", "-c", kPeer, "-p", p, "-B", kClientVip, "-n", "1M", "--connect-timeout", "2000"},
        &code, seconds(15));
    if (code != 0 && listening) {
      int local = -1;
      TunnelNetns::Run(&net_.hub(), {"iperf3", "-c", kPeer, "-p", p, "-n", "64K"}, &local,
                       seconds(15));
    }
    server.join();
    EXPECT_EQ(server_code, 0) << server_out;
    return code;
  }

  // Pings from the VIP behind the hubs all answered, carried by `hub` (its
  // TUN sees the requests) with only TLS and DTLS on h0.
  void ExpectCarriedBy(const testing_support::HubSite& hub, Sniffer& h0) {
    SCOPED_TRACE(hub.name);
    Sniffer tun(net_.hub(), hub.name);
    ASSERT_TRUE(tun.ok());
    h0.Take();
    EXPECT_EQ(PingFrom(kClientVip, kBehind, 3), 3) << last_ping_ << Log();
    const std::vector<Seen> seen = h0.Take();
    EXPECT_EQ(CountOf(seen, Tunnel), seen.size()) << "h0 carried more than TLS/DTLS";
    EXPECT_GE(CountOf(seen, Tunnel), 3u);
    EXPECT_EQ(CountOf(tun.Take(), EchoRequest), 3u);
  }
};

class FailCloseScenarioTest : public FlowScenarioTest {
 protected:
  FailCloseScenarioTest() : FlowScenarioTest(DOVADOD_PROGRAM) {}
};

// Fail-close, capture not limited to the virtual interface, no hub up: the
// private peer gets nothing. Hub A coming up lifts fail-close, which bumps
// the policy table version once; the flow that was blocked is looked up
// again and passes, in under 15 s. The plain service: a path up is enough,
// the tunnel need not be marked started.
TEST_F(FailCloseScenarioTest, HubComingUpLetsThePrivatePeerThrough) {
  testing_support::SetRegText(testing_support::kTarnKey, "failclose_testing_variable", "enabled");
  WriteOverlay(Overlay({kHubA}, false));
  ASSERT_NO_FATAL_FAILURE(StartService());
  EchoServer echo(net_.hub(), kPeer, kPeerPort);
  UdpFlow flow(net_.client(), kClientPrivate, kPeer, kPeerPort);
  ASSERT_TRUE(echo.ok() && flow.ok());
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(flow.Echo(milliseconds(300)));
  EXPECT_EQ(PingFrom(kClientPrivate, kPeer, 2, "1"), 0);
  const size_t log_before = Log().size();

  const auto hub_start = steady_clock::now();
  ASSERT_GE(StartHub(kHubA), 0);
  // While the capture is reopened with the wider filter nothing is queued
  // to the service: only an answer after that counts.
  auto reopened = [&] {
    const std::string log = Log();
    const size_t filter = log.find(kOpenFilter, log_before);
    return filter != std::string::npos &&
           log.find("consumer packet thread started.", filter) != std::string::npos;
  };
  bool through = false;
  while (!through && Since(hub_start) < 20) {
    if (!reopened()) {
      std::this_thread::sleep_for(milliseconds(50));
      continue;
    }
    through = flow.Echo(milliseconds(200));
  }
  const double after = Since(hub_start);
  ASSERT_TRUE(through) << Log();
  EXPECT_EQ(PingFrom(kClientPrivate, kPeer, 3), 3) << Log();

  // The blocked flow was looked up again once, in the version that
  // followed its last; no other flow from before had packets since.
  static const std::regex kChanged(R"(Policy table version changed f:\d+ old (\d+) new (\d+))");
  std::vector<std::pair<unsigned long, unsigned long>> changes;
  WaitFor(
      [&] {
        const std::string log = Log().substr(log_before);
        changes.clear();
        for (std::sregex_iterator it(log.begin(), log.end(), kChanged), end; it != end; ++it)
          changes.emplace_back(std::stoul((*it)[1].str()), std::stoul((*it)[2].str()));
        return !changes.empty();
      },
      seconds(2));
  ASSERT_EQ(changes.size(), 1u) << Log().substr(log_before);
  EXPECT_EQ(changes[0].second, changes[0].first + 1);
  EXPECT_EQ(StopService(), 0) << Log();
  std::printf("private peer reached %.2f s after the hub started\n", after);
  EXPECT_LT(after, 15.0);
}

// A drop row for the private peer's port 5201, from the VIP: iperf3 to that
// port fails and none of its packets reaches h0, while iperf3 to another
// port of the peer and pings pass.
TEST_F(FlowScenarioTest, DropRowStopsOnePortOfThePrivatePeer) {
  const auto start = steady_clock::now();
  const json criteria = {{"mtch_src_ip", kClientVip},
                         {"mtch_dest_ip", kPeer},
                         {"mtch_dest_port", std::to_string(kPeerPort)}};
  WritePolicy(json::array(
      {json{{"qos_match", {{"cmap_name", "drop-iperf"}, {"cmap_match_criteria", criteria}}},
            {"qos_action", {{"traffic_action", {{"priority", "drop"}}}}}}}));
  WriteOverlay(Overlay({}, false));
  ASSERT_NO_FATAL_FAILURE(StartService());
  Sniffer h0(net_.hub(), "h0");
  ASSERT_TRUE(h0.ok());

  EXPECT_EQ(PingFrom(kClientVip, kPeer, 3), 3) << last_ping_ << Log();
  struct Row {
    uint16_t port;
    bool passes;
  } rows[] = {{kPeerPort + 1, true}, {kPeerPort, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port);
    h0.Take();
    std::string out;
    const int code = Iperf(row.port, &out);
    const std::vector<Seen> seen = h0.Take();
    const size_t to_port =
        static_cast<size_t>(std::count_if(seen.begin(), seen.end(), [&](const Seen& p) {
          return p.protocol == IPPROTO_TCP && p.src == inet_addr(kClientVip) && p.dport == row.port;
        }));
    if (row.passes) {
      EXPECT_EQ(code, 0) << out << Log();
      EXPECT_GT(to_port, 0u);
    } else {
      EXPECT_NE(code, 0) << out;
      EXPECT_EQ(to_port, 0u);
    }
  }
  EXPECT_EQ(StopService(), 0) << Log();
  std::printf("drop row: %.2f s\n", Since(start));
}

// A row from the VIP to 100.70.9.0/24 (the first address answers behind
// both hubs) routed to group g1 [A, B]. Without the row the flow crosses h0
// in the clear although the tunnel is up; with it h0 sees only TLS/DTLS and
// A's TUN the flow; A killed, B carries it; both down, nothing of it leaves
// the client; with a "direct" entry in the row's list it crosses h0 in the
// clear again. In under 20 s.
TEST_F(FlowScenarioTest, RowRoutesAPrefixToTheFirstHubUpInItsGroup) {
  const auto start = steady_clock::now();
  const json routes = {{"routes", {kBehindHubs}}};
  const int a = StartHub(kHubA, routes);
  const int b = StartHub(kHubB, routes);
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  WriteOverlay(Overlay({kHubA, kHubB}, false));
  Sniffer h0(net_.hub(), "h0");
  ASSERT_TRUE(h0.ok());
  auto row = [](bool direct) {
    json action = {
        {"pbr_action", {{"pbr_next_hop_site", "hubs"}, {"pbr_next_hop_group_id", "g1"}}}};
    if (direct) action["pbr_list_action"] = json::array({json{{"pbr_next_hop_site", "direct"}}});
    const json criteria = {{"mtch_src_ip", kClientVip}, {"mtch_dest_ip", kBehindHubs}};
    return json::array(
        {json{{"qos_match", {{"cmap_name", "behind-hubs"}, {"cmap_match_criteria", criteria}}},
              {"qos_action", action}}});
  };

  WritePolicy(json::array());
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_GE(WaitConnected(kHubA, "Primary", 1, started_, seconds(10)), 0) << Log();
  h0.Take();
  PingFrom(kClientVip, kBehind, 2, "1");
  EXPECT_GE(CountOf(h0.Take(), EchoRequest), 2u) << "without the row";
  EXPECT_EQ(StopService(), 0) << Log();
  // A's connection from this run must not pass for the next run's.
  Ctl(a, "close");
  ASSERT_TRUE(WaitFor([&] { return Stats(a)["connections"].empty(); }, seconds(5)));

  WritePolicy(row(false));
  ASSERT_NO_FATAL_FAILURE(StartService());
  ASSERT_TRUE(WaitReady(a, seconds(10))) << Log();
  ASSERT_NO_FATAL_FAILURE(ExpectCarriedBy(kHubA, h0));

  ::kill(net_.HubPid(a), SIGKILL);
  ASSERT_EQ(net_.WaitHub(a, seconds(5)), 128 + SIGKILL);
  const auto killed = steady_clock::now();
  ASSERT_GE(WaitConnected(kHubB, "Secondary", 1, killed, seconds(15)), 0) << Log();
  ASSERT_TRUE(WaitReady(b, seconds(5))) << Log();
  const double to_b = Since(killed);
  ASSERT_NO_FATAL_FAILURE(ExpectCarriedBy(kHubB, h0));

  ::kill(net_.HubPid(b), SIGKILL);
  ASSERT_EQ(net_.WaitHub(b, seconds(5)), 128 + SIGKILL);
  ASSERT_TRUE(WaitFor([] { return PageText() == "[]"; }, seconds(10))) << PageText() << Log();
  h0.Take();
  EXPECT_EQ(PingFrom(kClientVip, kBehind, 2, "1"), 0);
  EXPECT_EQ(CountOf(h0.Take(), Clear), 0u) << "both down";
  EXPECT_EQ(StopService(), 0) << Log();

  WritePolicy(row(true));
  ASSERT_NO_FATAL_FAILURE(StartService());
  h0.Take();
  PingFrom(kClientVip, kBehind, 2, "1");
  EXPECT_GE(CountOf(h0.Take(), EchoRequest), 2u) << "both down, a direct entry";
  EXPECT_EQ(StopService(), 0) << Log();

  const double took = Since(start);
  std::printf("policy routing: B carried the flow %.2f s after A was killed; %.2f s in all\n", to_b,
              took);
  EXPECT_LT(took, 20.0);
}

}  // namespace
