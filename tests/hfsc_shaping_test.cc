// Outbound shaping by the built service: `dovadod -console` in a network
// namespace "c" on a copy of the example work directory whose graph sends
// every outbound packet through HFSCSched (tests/data/hfsc: class 14 capped
// at rate 0.5 of the fixed 5.12 Mbit/s link, room for 200 packets), joined
// by a veth pair to a namespace "h". Both namespaces are made here and
// removed however the test ends; nothing is loaded into the namespace the
// test runs in. Needs root.
//
// The voice case runs on tests/data/hfsc-voice: the flow element and its
// policy before the scheduler, with a high/voice row for UDP to port 5004.
// Rows are only walked once the tunnel is marked started, which the start
// command of the control socket does; STARTED_SERVICE stands in for it.
//
// Rates are taken at the IP level on h's veth: the interface counts each
// frame with its 14-byte Ethernet header, which is taken off again, so the
// figure counts what the scheduler counts (the IPv4 packet's length; the
// capture asks for no GSO, so every packet is one wire packet).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/netns.h"
#include "tests/support/registry_values.h"
#include "tests/support/temp_root.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::TestNetns;

constexpr char kTarnKey[] = "SOFTWARE\\Corvex\\tarn";
constexpr char kShaperAddr[] = "198.51.100.1";  // c, where the service runs
constexpr char kSinkAddr[] = "198.51.100.2";    // h
constexpr char kShaperDev[] = "hfc";
constexpr char kSinkDev[] = "hfh";
// Class 14's cap: rate 0.5 of the 5.12 Mbit/s link.
constexpr double kCapBitsPerSecond = 2'560'000;
constexpr int kEthernetHeader = 14;

extern "C" char** environ;

// A child process, killed and reaped however the test ends.
class Child {
 public:
  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() { stop(SIGKILL); }

  // Runs `args` (PATH lookup, environment `env`) in namespace `netns` with
  // standard output and error to `output`.
  bool start(const std::vector<std::string>& args, const TestNetns& netns,
             const std::string& output, std::vector<std::string> env) {
    int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (out < 0) return false;
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const std::string ns_path = "/run/netns/" + netns.name();
    pid_ = ::fork();
    if (pid_ == 0) {
      int ns = ::open(ns_path.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) ::_exit(126);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      ::execvpe(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out);
    return pid_ > 0;
  }

  bool running() {
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == 0) return true;
    pid_ = -1;
    return false;
  }

  // Sends `signal`, waits up to 5 s, then kills; returns the exit status
  // (-1 when it did not exit by itself).
  int stop(int signal) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    int status = 0;
    auto deadline = steady_clock::now() + seconds(5);
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (steady_clock::now() >= deadline) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(milliseconds(20));
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Waits for a normal end up to `limit`.
  bool wait(seconds limit) {
    auto deadline = steady_clock::now() + limit;
    while (running()) {
      if (steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(milliseconds(20));
    }
    return true;
  }

 private:
  pid_t pid_ = -1;
};

// The environment with `drop` prefixes taken out and `add` put in.
std::vector<std::string> Environment(const std::vector<std::string>& drop,
                                     const std::vector<std::string>& add) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool dropped = false;
    for (const std::string& prefix : drop) dropped = dropped || entry.rfind(prefix, 0) == 0;
    if (!dropped) env.push_back(entry);
  }
  env.insert(env.end(), add.begin(), add.end());
  return env;
}

// A file of /proc/net read by a thread inside `netns`.
std::string ReadNetFile(const TestNetns& netns, const std::string& name) {
  std::string text;
  netns.RunInside([&] { text = ReadFile("/proc/thread-self/net/" + name); });
  return text;
}

struct DevCounts {
  uint64_t bytes = 0;
  uint64_t packets = 0;
  steady_clock::time_point at;
};

// Received bytes and packets of `dev` from /proc/net/dev inside `netns`.
DevCounts ReceivedOn(const TestNetns& netns, const std::string& dev) {
  DevCounts counts;
  const std::string text = ReadNetFile(netns, "dev");
  counts.at = steady_clock::now();
  const std::string key = dev + ":";
  size_t at = text.find(key);
  if (at == std::string::npos) return counts;
  unsigned long long bytes = 0, packets = 0;
  if (std::sscanf(text.c_str() + at + key.size(), "%llu %llu", &bytes, &packets) == 2) {
    counts.bytes = bytes;
    counts.packets = packets;
  }
  return counts;
}

// IP-level bit rate between two readings.
double IpBitsPerSecond(const DevCounts& from, const DevCounts& to) {
  const double secs = std::chrono::duration<double>(to.at - from.at).count();
  const double ip_bytes = static_cast<double>(to.bytes - from.bytes) -
                          kEthernetHeader * static_cast<double>(to.packets - from.packets);
  return secs > 0 ? ip_bytes * 8 / secs : 0;
}

// The queue table of c, per queue: "queue N: waiting W, queue dropped Q,
// user dropped U, queued P" (P: every packet ever queued).
std::string QueueDrops(const TestNetns& netns) {
  const std::string text = ReadNetFile(netns, "netfilter/nfnetlink_queue");
  std::string out;
  unsigned long long f[8];
  for (const char* line = text.c_str(); line != nullptr && *line != '\0';) {
    // queue, port id, waiting, copy mode, copy range, queue dropped, user dropped, id sequence
    if (std::sscanf(line, "%llu %llu %llu %llu %llu %llu %llu %llu", &f[0], &f[1], &f[2], &f[3],
                    &f[4], &f[5], &f[6], &f[7]) == 8) {
      char buffer[160];
      std::snprintf(buffer, sizeof buffer,
                    "queue %llu: waiting %llu, queue dropped %llu, user dropped %llu, "
                    "queued %llu",
                    f[0], f[2], f[5], f[6], f[7]);
      if (!out.empty()) out += "; ";
      out += buffer;
    }
    line = std::strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return out.empty() ? "no queue" : out;
}

sockaddr_in Address(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

double RealtimeSeconds() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class HfscShapingTest : public ::testing::Test {
 protected:
  // `program` runs on the example work directory with `data` laid over it.
  explicit HfscShapingTest(const char* program = DOVADOD_PROGRAM, const char* data = HFSC_TEST_DATA)
      : program_(program), data_(data) {}

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: runs the service in network namespaces";
    ASSERT_TRUE(c_.created() && h_.created());
    ASSERT_TRUE(
        testing_support::RunProgram({"ip", "link", "add", kShaperDev, "netns", c_.name(), "type",
                                     "veth", "peer", "name", kSinkDev, "netns", h_.name()}));
    for (const auto& [ns, dev, addr] :
         {std::tuple{&c_, kShaperDev, kShaperAddr}, std::tuple{&h_, kSinkDev, kSinkAddr}}) {
      ASSERT_TRUE(ns->Ip({"addr", "add", std::string(addr) + "/24", "dev", dev}));
      ASSERT_TRUE(ns->Ip({"link", "set", dev, "up"}));
      // Inbound re-injection arrives on lo; the IPC port listens there too.
      ASSERT_TRUE(ns->Ip({"link", "set", "lo", "up"}));
    }
    // A client host has a default route; without one the overlay element of
    // the voice graph scans for it for 4 s at start-up. h forwards nothing.
    ASSERT_TRUE(c_.Ip({"route", "add", "default", "via", kSinkAddr}));
    // The example work directory with the shaping graph and its class tree
    // laid over it.
    const std::string workdir = root_.file("workdir");
    std::filesystem::copy(DOVADOD_EXAMPLE_WORKDIR, workdir);
    std::filesystem::copy(data_, workdir,
                          std::filesystem::copy_options::overwrite_existing |
                              std::filesystem::copy_options::recursive);
    testing_support::SetRegText(kTarnKey, "workdir", workdir);

    // Real kernel views, the netfilter backend, no service manager.
    ASSERT_TRUE(
        service_.start({program_, "-console"}, c_, root_.file("console.log"),
                       Environment({"NOTIFY_SOCKET=", "DOVADOD_SYSROOT=", "DOVADOD_DIVERT="},
                                   {"DOVADOD_SYSROOT=/"})));
    auto deadline = steady_clock::now() + seconds(10);
    while (Log().find("consumer packet thread started.") == std::string::npos ||
           !CaptureRulesLoaded()) {
      ASSERT_TRUE(service_.running()) << "dovadod ended early\n" << Log();
      ASSERT_LT(steady_clock::now(), deadline) << "capture not up\n" << Log();
      std::this_thread::sleep_for(milliseconds(50));
    }
    ASSERT_NE(Log().find("PQ 1, Q 14, RT 0, Share 2560000 bps, Cap 2560000 bps limit:200"),
              std::string::npos)
        << "class 14 not built as expected\n"
        << Log();
  }

  void TearDown() override {
    if (!service_.running()) return;
    // A clean stop takes its rules out again; the namespace goes anyway.
    EXPECT_EQ(service_.stop(SIGTERM), 0) << Log();
  }

  std::string Log() const { return ReadFile(root_.file("console.log")); }

  bool CaptureRulesLoaded() const {
    const std::string path = root_.file("rules.txt");
    Child save;
    if (!save.start({"iptables-save", "-t", "raw"}, c_, path, Environment({}, {}))) return false;
    save.wait(seconds(5));
    return ReadFile(path).find("-j NFQUEUE") != std::string::npos;
  }

  const char* program_;
  const char* data_;
  TempRoot root_;
  TestNetns c_{"hfc"};
  TestNetns h_{"hfh"};
  Child service_;
};

// A TCP transfer from c to h through the shaper holds to class 14's cap
// once it is under way.
TEST_F(HfscShapingTest, TcpTransferIsShapedToTheCap) {
  Child server;
  ASSERT_TRUE(server.start({"iperf3", "-s", "-1", "-B", kSinkAddr}, h_, root_.file("server.log"),
                           Environment({}, {})));
  // The server listens on port 5201 (0x1451) once it is up.
  auto deadline = steady_clock::now() + seconds(5);
  while (ReadNetFile(h_, "tcp").find(":1451 00000000:0000 0A") == std::string::npos) {
    ASSERT_TRUE(server.running()) << ReadFile(root_.file("server.log"));
    ASSERT_LT(steady_clock::now(), deadline) << "iperf3 server not up";
    std::this_thread::sleep_for(milliseconds(20));
  }

  // A 64 KiB window keeps far fewer than the class's 200 packets in flight,
  // so the cap, not drops, sets the pace.
  Child client;
  ASSERT_TRUE(
      client.start({"iperf3", "-c", kSinkAddr, "-t", "8", "-l", "1400", "-w", "64K", "-f", "k"}, c_,
                   root_.file("client.log"), Environment({}, {})));
  std::this_thread::sleep_for(seconds(2));
  const DevCounts from = ReceivedOn(h_, kSinkDev);
  std::this_thread::sleep_for(seconds(5));
  const DevCounts to = ReceivedOn(h_, kSinkDev);
  ASSERT_TRUE(client.wait(seconds(10))) << ReadFile(root_.file("client.log"));
  const std::string client_log = ReadFile(root_.file("client.log"));

  const double rate = IpBitsPerSecond(from, to);
  std::string receiver = "none";
  for (size_t at = 0, end; (end = client_log.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = client_log.substr(at, end - at);
    if (line.find("receiver") != std::string::npos) receiver = line;
  }
  std::printf(
      "shaped TCP c->h: %.0f bit/s at the IP level on h's veth over %.2f s (cap %.0f, "
      "%+.2f %%); iperf3: %s\nnetfilter queue in c: %s\n",
      rate, std::chrono::duration<double>(to.at - from.at).count(), kCapBitsPerSecond,
      (rate / kCapBitsPerSecond - 1) * 100, receiver.c_str(), QueueDrops(c_).c_str());
  EXPECT_NEAR(rate, kCapBitsPerSecond, kCapBitsPerSecond * 0.05) << client_log;
}

// A burst well over the cap is held by the scheduler; after the sender stops
// nothing else is pushed, and every datagram still reaches h within 100 ms
// of the time the cap lets it leave.
TEST_F(HfscShapingTest, HeldPacketsLeaveAfterTheSenderStops) {
  constexpr int kCount = 80;
  constexpr int kPayload = 1000;
  constexpr int kIpLength = kPayload + 28;
  // The cap's spacing of these datagrams.
  constexpr double kSpacing = kIpLength * 8 / kCapBitsPerSecond;

  int receiver = -1;
  int sender = -1;
  h_.RunInside([&] { receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
  c_.RunInside([&] { sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
  ASSERT_GE(receiver, 0);
  ASSERT_GE(sender, 0);
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } close_receiver{receiver}, close_sender{sender};
  const int on = 1;
  ASSERT_EQ(::setsockopt(receiver, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on), 0);
  // Held datagrams stay charged to the sender; room for all of them at once.
  const int buffer = 4 << 20;
  ASSERT_EQ(::setsockopt(sender, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof buffer), 0);
  ASSERT_EQ(::setsockopt(receiver, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer), 0);
  sockaddr_in to = Address(kSinkAddr, 0);
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  socklen_t len = sizeof to;
  ASSERT_EQ(::getsockname(receiver, reinterpret_cast<sockaddr*>(&to), &len), 0);

  // One datagram first, so that the burst does not wait for the neighbour
  // entry of h; then the class idles again.
  char payload[kPayload] = {};
  std::memcpy(payload, &kCount, sizeof kCount);
  ASSERT_EQ(
      ::sendto(sender, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
      static_cast<ssize_t>(sizeof payload));
  pollfd first{receiver, POLLIN, 0};
  ASSERT_EQ(::poll(&first, 1, 2000), 1) << "nothing reached h";
  ASSERT_EQ(::recv(receiver, payload, sizeof payload, 0), static_cast<ssize_t>(sizeof payload));
  std::this_thread::sleep_for(milliseconds(100));

  const double sent_at = RealtimeSeconds();
  for (int i = 0; i < kCount; ++i) {
    std::memcpy(payload, &i, sizeof i);
    ASSERT_EQ(
        ::sendto(sender, payload, sizeof payload, 0, reinterpret_cast<sockaddr*>(&to), sizeof to),
        static_cast<ssize_t>(sizeof payload))
        << std::strerror(errno);
  }
  const double burst_took = RealtimeSeconds() - sent_at;

  // Arrival times (the kernel's receive stamps) by sequence number.
  std::vector<double> arrived(kCount, -1);
  int received = 0;
  const double wait_until = sent_at + kCount * kSpacing + 2.0;
  while (received < kCount && RealtimeSeconds() < wait_until) {
    pollfd p{receiver, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    char data[2048];
    alignas(cmsghdr) char control[256];
    iovec iov{data, sizeof data};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t n = ::recvmsg(receiver, &msg, MSG_DONTWAIT);
    if (n != kPayload) continue;
    int seq = -1;
    std::memcpy(&seq, data, sizeof seq);
    double stamp = RealtimeSeconds();
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
        timespec ts;
        std::memcpy(&ts, CMSG_DATA(c), sizeof ts);
        stamp = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
      }
    }
    if (seq < 0 || seq >= kCount || arrived[seq] >= 0) continue;
    arrived[seq] = stamp;
    ++received;
  }

  // The cap lets datagram i leave i spacings after the first was pushed.
  double worst_late = 0;
  int worst = -1;
  for (int i = 0; i < kCount; ++i) {
    if (arrived[i] < 0) continue;
    const double late = arrived[i] - (sent_at + i * kSpacing);
    if (late > worst_late) {
      worst_late = late;
      worst = i;
    }
  }
  const double span = received == kCount ? arrived[kCount - 1] - arrived[0] : 0;
  std::printf(
      "burst of %d x %d-byte IP datagrams sent in %.1f ms; %d reached h; first to last "
      "%.1f ms (the cap: %.1f ms); latest against the cap: #%d %+.1f ms\n"
      "netfilter queue in c: %s\n",
      kCount, kIpLength, burst_took * 1000, received, span * 1000, (kCount - 1) * kSpacing * 1000,
      worst, worst_late * 1000, QueueDrops(c_).c_str());
  ASSERT_EQ(received, kCount) << "held datagrams left behind";
  // They were held, not passed: the burst left at the cap's pace...
  EXPECT_GE(span, 0.95 * (kCount - 1) * kSpacing);
  // ...and each within 100 ms of its time.
  EXPECT_LT(worst_late, 0.100);
}

class HfscVoiceTest : public HfscShapingTest {
 protected:
  HfscVoiceTest() : HfscShapingTest(STARTED_SERVICE, HFSC_VOICE_TEST_DATA) {}
};

// With a high/voice row for UDP to port 5004, the flow element sets the
// replicate flag and the scheduler sends each datagram twice: the original
// through class 14, the clone through the class of slot 5 (high voice). A
// flow to port 5005, which no row matches, is sent once.
TEST_F(HfscVoiceTest, HighVoiceDatagramsAreSeenTwiceInH) {
  ASSERT_NE(Log().find("PQ 20, Q 21, RT 0,"), std::string::npos) << "no high/voice class\n"
                                                                 << Log();
  constexpr int kCount = 20;
  struct Port {
    uint16_t number;
    int copies;  // of each datagram in h
    int receiver = -1;
    std::vector<int> seen = std::vector<int>(kCount, 0);
  } ports[] = {{5004, 2}, {5005, 1}};
  int sender = -1;
  c_.RunInside([&] { sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
  ASSERT_GE(sender, 0);
  struct Closer {
    int* fd;
    ~Closer() {
      if (*fd >= 0) ::close(*fd);
    }
  } close_sender{&sender}, close_voice{&ports[0].receiver}, close_other{&ports[1].receiver};
  for (Port& port : ports) {
    h_.RunInside([&] { port.receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    ASSERT_GE(port.receiver, 0);
    const sockaddr_in at = Address(kSinkAddr, port.number);
    ASSERT_EQ(::bind(port.receiver, reinterpret_cast<const sockaddr*>(&at), sizeof at), 0);
  }

  // Spaced well below either class's cap, so nothing is held for long.
  for (int i = 0; i < kCount; ++i) {
    for (const Port& port : ports) {
      const sockaddr_in to = Address(kSinkAddr, port.number);
      ASSERT_EQ(
          ::sendto(sender, &i, sizeof i, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to),
          static_cast<ssize_t>(sizeof i))
          << std::strerror(errno);
    }
    std::this_thread::sleep_for(milliseconds(5));
  }

  // Every copy that arrives, until the expected number came and then none
  // for 300 ms (at most 5 s).
  const int expected = kCount * (ports[0].copies + ports[1].copies);
  int arrived = 0;
  const auto deadline = steady_clock::now() + seconds(5);
  while (steady_clock::now() < deadline) {
    pollfd p[2] = {{ports[0].receiver, POLLIN, 0}, {ports[1].receiver, POLLIN, 0}};
    if (::poll(p, 2, 300) <= 0) {
      if (arrived >= expected) break;
      continue;
    }
    for (int k = 0; k < 2; ++k) {
      int seq = -1;
      if ((p[k].revents & POLLIN) == 0 ||
          ::recv(ports[k].receiver, &seq, sizeof seq, MSG_DONTWAIT) != sizeof seq)
        continue;
      ++arrived;
      if (seq >= 0 && seq < kCount) ++ports[k].seen[seq];
    }
  }

  for (const Port& port : ports) {
    int total = 0;
    for (int n : port.seen) total += n;
    std::printf("UDP to port %u: %d datagrams sent, %d arrived in h\n", port.number, kCount, total);
    EXPECT_EQ(port.seen, std::vector<int>(kCount, port.copies)) << "port " << port.number;
  }
  std::printf("netfilter queue in c: %s\n", QueueDrops(c_).c_str());
}

}  // namespace
