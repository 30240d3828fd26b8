// The built service end to end: `dovadod -console`, or the service mode under
// a notify socket of the test's own, on a copy of the example work directory,
// capturing with the netfilter queue inside a "host" network namespace that a
// veth pair joins to a "peer" namespace. Both namespaces are made here;
// nothing is loaded into the namespace the test runs in. Needs root.
//
// Captured packets are counted by the packet counter of the rule that queues
// them to the service; that the traffic still arrives shows they were put
// back.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <future>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/netns.h"
#include "tests/support/registry_values.h"
#include "tests/support/service_environment.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_datagram.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing_support::CountOf;
using testing_support::kTarnKey;
using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::TestNetns;

constexpr char kStartBanner[] = "======= tarnclient 1.0.0.0 starting ======";
constexpr char kExitBanner[] = "======= tarnclient 1.0.0.0 exiting ======";
constexpr char kPortalKey[] = "SOFTWARE\\Corvex\\tarn\\cpdetection";
constexpr char kHostAddr[] = "10.77.0.1";
constexpr char kPeerAddr[] = "10.77.0.2";
constexpr char kHostPublic[] = "198.51.100.1";
constexpr char kPeerPublic[] = "198.51.100.2";

// Runs `args` (PATH lookup, no shell) and returns its standard output and
// error together; `*exitCode` gets the exit status. With `netns` it runs in
// that network namespace, and in ours otherwise (unlike `ip netns exec`,
// which gives it a mount namespace of its own).
std::string Capture(const std::vector<std::string>& args, int* exitCode = nullptr,
                    const TestNetns* netns = nullptr) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {};
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  std::string nsPath = netns != nullptr ? "/run/netns/" + netns->name() : "";
  pid_t pid = ::fork();
  if (pid == 0) {
    if (!nsPath.empty()) {
      int ns = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) ::_exit(126);
    }
    ::dup2(fds[1], STDOUT_FILENO);
    ::dup2(fds[1], STDERR_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(fds[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
  ::close(fds[0]);
  int status = 0;
  if (pid < 0 || ::waitpid(pid, &status, 0) != pid) status = -1;
  if (exitCode != nullptr) *exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

uint64_t Fnv1a(const uint8_t* data, size_t size, uint64_t hash = 1469598103934665603ull) {
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * 1099511628211ull;
  return hash;
}

void SetTimeouts(int fd, seconds limit) {
  timeval tv{static_cast<time_t>(limit.count()), 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

sockaddr_in Address(const char* ip, uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  ::inet_pton(AF_INET, ip, &a.sin_addr);
  return a;
}

uint16_t BoundPort(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin_port);
}

// The kernel's table of the host namespace's netfilter queues, summed over
// the queues (the service holds one).
struct QueueCounts {
  uint64_t waiting = 0;  // handed to the service, no verdict yet
  uint64_t dropped = 0;  // the queue or the service's socket was full
  uint64_t queued = 0;   // the id sequence: every packet ever queued
};

// `fd` is the table opened inside the host namespace; it stays bound to it.
QueueCounts ReadQueueCounts(int fd) {
  QueueCounts counts;
  char text[4096];
  ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return counts;
  text[n] = '\0';
  // queue, port id, waiting, copy mode, copy range, queue dropped, user dropped, id sequence
  unsigned long long f[8];
  for (char* line = text; line != nullptr && *line != '\0';) {
    if (std::sscanf(line, "%llu %llu %llu %llu %llu %llu %llu %llu", &f[0], &f[1], &f[2], &f[3],
                    &f[4], &f[5], &f[6], &f[7]) == 8) {
      counts.waiting += f[2];
      counts.dropped += f[5] + f[6];
      counts.queued += f[7];
    }
    line = std::strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return counts;
}

// A sound IPv4 header from the peer to the host (the host's kernel checks
// only that much before the capture hook) over a transport header that lies:
// TCP cut to 8 of its 20 bytes, or a UDP length past the end of the packet.
std::array<uint8_t, 28> MalformedFrame(uint8_t protocol, uint16_t id) {
  std::array<uint8_t, 28> f{};
  f[0] = 0x45;
  f[3] = f.size();
  f[4] = static_cast<uint8_t>(id >> 8);
  f[5] = static_cast<uint8_t>(id);
  f[8] = 64;
  f[9] = protocol;
  ::inet_pton(AF_INET, kPeerAddr, &f[12]);
  ::inet_pton(AF_INET, kHostAddr, &f[16]);
  uint32_t sum = 0;
  for (size_t i = 0; i < 20; i += 2) sum += static_cast<uint32_t>(f[i] << 8 | f[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  f[10] = static_cast<uint8_t>(~sum >> 8);
  f[11] = static_cast<uint8_t>(~sum);
  uint8_t* l4 = &f[20];
  l4[0] = 0x9c;  // source port 40000, destination port 9
  l4[1] = 0x40;
  l4[3] = 9;
  if (protocol == IPPROTO_UDP) l4[4] = 1;  // a length of 256
  return f;
}

class EndToEndTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root: runs the capture in network namespaces";
    ASSERT_TRUE(host_.created() && peer_.created());
    ASSERT_TRUE(
        testing_support::RunProgram({"ip", "link", "add", "e2eh", "netns", host_.name(), "type",
                                     "veth", "peer", "name", "e2ep", "netns", peer_.name()}));
    for (const auto& [ns, dev, priv, pub] : {std::tuple{&host_, "e2eh", kHostAddr, kHostPublic},
                                             std::tuple{&peer_, "e2ep", kPeerAddr, kPeerPublic}}) {
      ASSERT_TRUE(ns->Ip({"addr", "add", std::string(priv) + "/24", "dev", dev}));
      ASSERT_TRUE(ns->Ip({"addr", "add", std::string(pub) + "/24", "dev", dev}));
      ASSERT_TRUE(ns->Ip({"link", "set", dev, "up"}));
      // Inbound re-injection arrives on lo; the IPC port listens there too.
      ASSERT_TRUE(ns->Ip({"link", "set", "lo", "up"}));
    }
    workdir_ = root_.file("workdir");
    std::filesystem::copy(DOVADOD_EXAMPLE_WORKDIR, workdir_);
    testing_support::SetRegText(kTarnKey, "workdir", workdir_);
  }

  void TearDown() override {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // The service's standard output and error.
  std::string OutputPath() const { return root_.file("console.log"); }
  // The log file of the service mode, and the copy a rotation moved aside.
  std::string LogFilePath(int archive = 0) const {
    return root_.file(archive == 0 ? "var/log/Corvex/pellar/Logs/cxtarndebuglog.log"
                                   : "var/log/Corvex/pellar/Logs/cxtarndebuglog.1.log");
  }
  // What the service logged so far: a "-console" run logs to its standard
  // error, the service mode to its log file.
  std::string Log() const { return ReadFile(service_ ? LogFilePath() : OutputPath()); }

  std::string RawTable(bool counters = false, const char* table = "raw") const {
    std::vector<std::string> args = {"ip", "netns", "exec", host_.name(), "iptables-save",
                                     "-t", table};
    if (counters) args.push_back("-c");
    return Capture(args);
  }

  // Sum over our capture chains of the queue rule's packet (or byte)
  // counter. A TCP transfer's segments may be counted in bulk, before the
  // kernel splits them for the queue.
  uint64_t Captured(bool bytes = false) const {
    static const std::regex kQueueRule(R"(\[(\d+):(\d+)\] -A DOVADOD_Q\d+ -j NFQUEUE)");
    std::string table = RawTable(true);
    uint64_t total = 0;
    for (std::sregex_iterator it(table.begin(), table.end(), kQueueRule), end; it != end; ++it) {
      total += std::stoull((*it)[bytes ? 2 : 1].str());
    }
    return total;
  }

  // Starts the service inside the host namespace, as `dovadod -console` or,
  // with `asService`, in the service mode with a notify socket of ours for
  // the service manager, and waits until its capture rules are loaded and
  // the packet thread runs.
  void Start(bool asService = false) {
    service_ = asService;
    int out = ::open(OutputPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    // Real kernel views, the netfilter backend, and no service manager but ours.
    std::vector<std::string> env = testing_support::ServiceEnvironment();
    if (asService) {
      notify_ = std::make_unique<testing_support::DatagramReceiver>(root_.file("notify.sock"));
      ASSERT_TRUE(notify_->ok());
      env.push_back("NOTIFY_SOCKET=" + notify_->path());
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = program_;
    char console[] = "-console";
    char* argv[] = {program.data(), asService ? nullptr : console, nullptr};
    std::string nsPath = "/run/netns/" + host_.name();
    pid_t pid = ::fork();
    if (pid == 0) {
      int ns = ::open(nsPath.c_str(), O_RDONLY | O_CLOEXEC);
      if (ns < 0 || ::setns(ns, CLONE_NEWNET) != 0) ::_exit(126);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      ::execve(argv[0], argv, envp.data());
      ::_exit(127);
    }
    ::close(out);
    ASSERT_GT(pid, 0);
    pid_ = pid;
    if (asService) {
      std::string seen;
      ASSERT_TRUE(notify_->WaitFor("READY=1", seconds(20), &seen))
          << seen << "\n"
          << Log() << ReadFile(OutputPath());
    }
    auto deadline = steady_clock::now() + seconds(20);
    while (Log().find("consumer packet thread started.") == std::string::npos ||
           RawTable().find("-j NFQUEUE") == std::string::npos) {
      int status = 0;
      ASSERT_EQ(::waitpid(pid_, &status, WNOHANG), 0) << "dovadod ended early\n" << Log();
      ASSERT_LT(steady_clock::now(), deadline) << "capture not up\n" << Log() << RawTable();
      std::this_thread::sleep_for(milliseconds(50));
    }
  }

  // Puts the service and the test client, named as one of the maker's client
  // programs, into one folder of the temporary root, since the IPC server
  // takes commands only from programs beside its own executable; later
  // starts run the service from there.
  void InstallWithClient() {
    const std::string folder = root_.file("bin");
    std::filesystem::create_directories(folder);
    program_ = folder + "/dovadod";
    client_ = folder + "/pellarui";
    for (const auto& [from, to] :
         {std::pair<std::string, std::string>{DOVADOD_PROGRAM, program_},
          std::pair<std::string, std::string>{CXCOM2_CLIENT_PEER, client_}}) {
      std::error_code ec;
      // A link when the build shares the file system, else a copy.
      std::filesystem::create_hard_link(from, to, ec);
      if (ec) std::filesystem::copy_file(from, to, ec);
      ASSERT_FALSE(ec) << from << " -> " << to << ": " << ec.message();
    }
  }

  // Sets the registry's fail-close override and has the running service read
  // it again with the IPC reconfigure command (needs InstallWithClient).
  bool SwitchFailClose(bool enabled) {
    testing_support::SetRegText(kTarnKey, "failclose_testing_variable",
                                enabled ? "enabled" : "disabled");
    const std::string command =
        R"({"65535": {"command_subsystem": "GraphReconfigure", "command": "reconfigure"}})";
    std::string out =
        Capture({client_, "4444", "e2e", "--wait-ms", "20000", command}, nullptr, &host_);
    EXPECT_EQ(out, "ack\ntext OK\n");
    return out == "ack\ntext OK\n";
  }

  // The log files of the service mode: the file, the copy a rotation moved
  // aside, and one still on its way there.
  std::vector<std::string> LogFiles() const {
    return {LogFilePath(), LogFilePath(1),
            root_.file("var/log/Corvex/pellar/Logs/cxtarndebuglog_old.log")};
  }
  std::string AllLogText() const {
    std::string text;
    for (const std::string& path : LogFiles()) text += ReadFile(path);
    return text;
  }

  // Waits until the log files have not grown for a second (or `limit`
  // passed): the service's last lines about what it worked through are in.
  void WaitForQuietLog(seconds limit) const {
    auto deadline = steady_clock::now() + limit;
    auto quietSince = steady_clock::now();
    uintmax_t last = 0;
    while (steady_clock::now() < deadline) {
      uintmax_t size = 0;
      for (const std::string& path : LogFiles()) {
        std::error_code ec;
        uintmax_t bytes = std::filesystem::file_size(path, ec);
        if (!ec) size += bytes;
      }
      if (size != last) {
        last = size;
        quietSince = steady_clock::now();
      } else if (steady_clock::now() - quietSince >= seconds(1)) {
        return;
      }
      std::this_thread::sleep_for(milliseconds(100));
    }
  }

  struct Flood {
    size_t sent = 0;
    QueueCounts before;
    QueueCounts after;
    steady_clock::duration took{};
  };

  // Sends `count` malformed frames from the peer to the host through a raw
  // socket, the two kinds in turn, in batches; stops early at `limit`. At
  // most `kMaxWaiting` frames wait in the host's queue, so that the service
  // meets the whole flood rather than the queue's limit a part of it.
  Flood FloodMalformed(size_t count, seconds limit) {
    constexpr uint64_t kMaxWaiting = 1000;
    constexpr size_t kBatch = 64;
    Flood flood;
    int table = -1;
    host_.RunInside([&] {
      table = ::open("/proc/thread-self/net/netfilter/nfnetlink_queue", O_RDONLY | O_CLOEXEC);
    });
    EXPECT_GE(table, 0);
    if (table < 0) return flood;
    flood.before = ReadQueueCounts(table);
    int sender = -1;
    peer_.RunInside([&] { sender = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW); });
    EXPECT_GE(sender, 0);
    if (sender < 0) {
      ::close(table);
      return flood;
    }
    SetTimeouts(sender, seconds(1));
    sockaddr_in to = Address(kHostAddr, 0);
    std::vector<std::array<uint8_t, 28>> frames(kBatch);
    std::vector<iovec> iov(kBatch);
    std::vector<mmsghdr> messages(kBatch);
    auto start = steady_clock::now();
    while (flood.sent < count && steady_clock::now() - start < limit) {
      if (ReadQueueCounts(table).waiting > kMaxWaiting) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        continue;
      }
      size_t batch = std::min(kBatch, count - flood.sent);
      for (size_t i = 0; i < batch; ++i) {
        size_t n = flood.sent + i;
        frames[i] =
            MalformedFrame(n % 2 == 0 ? IPPROTO_TCP : IPPROTO_UDP, static_cast<uint16_t>(n + 1));
        iov[i] = {frames[i].data(), frames[i].size()};
        messages[i] = {};
        messages[i].msg_hdr.msg_name = &to;
        messages[i].msg_hdr.msg_namelen = sizeof to;
        messages[i].msg_hdr.msg_iov = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      int n = ::sendmmsg(sender, messages.data(), static_cast<unsigned>(batch), 0);
      if (n > 0) flood.sent += static_cast<size_t>(n);
    }
    flood.took = steady_clock::now() - start;
    flood.after = ReadQueueCounts(table);
    ::close(sender);
    ::close(table);
    return flood;
  }

  // Signals the service and returns its exit code and how long it took.
  int Stop(int signal, steady_clock::duration* took) {
    auto signalled = steady_clock::now();
    ::kill(pid_, signal);
    int status = 0;
    pid_t waited = ::waitpid(pid_, &status, 0);
    *took = steady_clock::now() - signalled;
    pid_ = -1;
    if (waited < 0) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  // Pings `to` from the host namespace, or from `from`.
  bool Ping(const char* to, const TestNetns* from = nullptr, const char* count = "3") const {
    int code = -1;
    Capture({"ip", "netns", "exec", (from != nullptr ? from : &host_)->name(), "ping", "-c", count,
             "-i", "0.2", "-W", "2", "-q", to},
            &code);
    return code == 0;
  }

  // Sends `size` bytes over TCP from the host namespace to the peer, which
  // must read exactly them.
  void TcpTransfer(size_t size) {
    int listener = -1;
    int client = -1;
    peer_.RunInside([&] { listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
    host_.RunInside([&] { client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0); });
    ASSERT_GE(listener, 0);
    ASSERT_GE(client, 0);
    sockaddr_in any = Address("0.0.0.0", 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    struct Received {
      size_t bytes = 0;
      uint64_t hash = 1469598103934665603ull;
    };
    std::future<Received> server = std::async(std::launch::async, [listener] {
      Received r;
      pollfd p{listener, POLLIN, 0};
      if (::poll(&p, 1, 10000) != 1) return r;
      int conn = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0) return r;
      SetTimeouts(conn, seconds(10));
      uint8_t buffer[65536];
      ssize_t n;
      while ((n = ::recv(conn, buffer, sizeof buffer, 0)) > 0) {
        r.hash = Fnv1a(buffer, static_cast<size_t>(n), r.hash);
        r.bytes += static_cast<size_t>(n);
      }
      ::close(conn);
      return r;
    });

    std::vector<uint8_t> data(size);
    uint32_t x = 12345;
    for (uint8_t& b : data) b = static_cast<uint8_t>((x = x * 1103515245u + 12345u) >> 16);
    SetTimeouts(client, seconds(10));
    sockaddr_in to = Address(kPeerAddr, BoundPort(listener));
    bool connected = ::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    size_t sent = 0;
    while (connected && sent < size) {
      ssize_t n = ::send(client, data.data() + sent, size - sent, MSG_NOSIGNAL);
      if (n <= 0) break;
      sent += static_cast<size_t>(n);
    }
    ::shutdown(client, SHUT_WR);
    Received got = server.get();
    ::close(client);
    ::close(listener);
    EXPECT_TRUE(connected);
    EXPECT_EQ(sent, size);
    EXPECT_EQ(got.bytes, size);
    EXPECT_EQ(got.hash, Fnv1a(data.data(), data.size()));
  }

  // Echoes `count` numbered datagrams off the peer at `peerAddr` (its port
  // `port`, any when 0); returns how many came back intact.
  int UdpEcho(const char* peerAddr, int count, uint16_t port = 0) {
    int server = -1;
    int client = -1;
    peer_.RunInside([&] { server = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    host_.RunInside([&] { client = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
    EXPECT_GE(server, 0);
    EXPECT_GE(client, 0);
    if (server < 0 || client < 0) return 0;
    sockaddr_in any = Address("0.0.0.0", port);
    EXPECT_EQ(::bind(server, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
    std::atomic<bool> done{false};
    std::thread echo([&] {
      char buffer[2048];
      while (!done.load()) {
        pollfd p{server, POLLIN, 0};
        if (::poll(&p, 1, 50) != 1) continue;
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n =
            ::recvfrom(server, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n > 0) ::sendto(server, buffer, n, 0, reinterpret_cast<sockaddr*>(&from), len);
      }
    });
    SetTimeouts(client, seconds(2));
    sockaddr_in to = Address(peerAddr, BoundPort(server));
    int echoed = 0;
    for (int i = 0; i < count; ++i) {
      std::string message = "echo " + std::to_string(i) + std::string(100 + i, 'x');
      if (::sendto(client, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) != static_cast<ssize_t>(message.size())) {
        continue;
      }
      char buffer[2048];
      ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
      if (n == static_cast<ssize_t>(message.size()) && message.compare(0, n, buffer, n) == 0) {
        ++echoed;
      }
    }
    done = true;
    echo.join();
    ::close(client);
    ::close(server);
    return echoed;
  }

  TempRoot root_;
  std::string program_ = DOVADOD_PROGRAM;
  std::string client_;
  TestNetns host_{"e2e-host"};
  TestNetns peer_{"e2e-peer"};
  std::string workdir_;
  bool service_ = false;
  std::unique_ptr<testing_support::DatagramReceiver> notify_;
  pid_t pid_ = -1;
};

TEST_F(EndToEndTest, PassesTrafficCountsItAndStopsCleanly) {
  ASSERT_NO_FATAL_FAILURE(Start());

  EXPECT_TRUE(Ping(kPeerAddr));
  std::string log = Log();
  EXPECT_GE(CountOf(log, "OstrelL3Classifier ICMP from 10.77.0.1 ==> 10.77.0.2, len 84"), 3u)
      << log;
  EXPECT_GE(CountOf(log, "OstrelL3Classifier ICMP from 10.77.0.2 ==> 10.77.0.1, len 84"), 3u)
      << log;

  // Every segment of the transfer leaves and enters through the service.
  constexpr size_t kBytes = 4 << 20;
  uint64_t before = Captured(/*bytes=*/true);
  TcpTransfer(kBytes);
  EXPECT_GE(Captured(/*bytes=*/true) - before, kBytes);

  constexpr int kDatagrams = 20;
  before = Captured();
  EXPECT_EQ(UdpEcho(kPeerAddr, kDatagrams), kDatagrams);
  EXPECT_GE(Captured() - before, 2u * kDatagrams);

  const uint64_t queued = Captured();
  steady_clock::duration took{};
  EXPECT_EQ(Stop(SIGTERM, &took), 0);
  EXPECT_LT(took, seconds(3));
  log = Log();
  EXPECT_NE(log.find(kExitBanner), std::string::npos) << log;
  // The console's own lines: the capture running, then what it did. The
  // example graph passes everything: what it took went back, none dropped.
  EXPECT_NE(log.find("dovadod: capturing IPv4 traffic through " + workdir_ +
                     "/ostrel.graph; Ctrl-C stops\n"),
            std::string::npos)
      << log;
  static const std::regex kStopLine(
      R"(\ndovadod: stopped; (\d+) packets captured, (\d+) re-injected, (\d+) dropped\n)");
  std::smatch stopLine;
  ASSERT_TRUE(std::regex_search(log, stopLine, kStopLine)) << log;
  const uint64_t captured = std::stoull(stopLine[1].str());
  EXPECT_GE(captured, queued);
  EXPECT_EQ(std::stoull(stopLine[2].str()), captured);
  EXPECT_EQ(stopLine[3].str(), "0");
  EXPECT_LT(log.find("dovadod: capturing"), log.find("dovadod: stopped")) << log;
  std::string table = RawTable();
  EXPECT_EQ(table.find("DOVADOD"), std::string::npos) << table;
  EXPECT_EQ(table.find("NFQUEUE"), std::string::npos) << table;
}

TEST_F(EndToEndTest, FailCloseCapturesOnlyPrivatePeers) {
  testing_support::SetRegText(kTarnKey, "failclose_testing_variable", "enabled");
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_NE(Log().find("FailCloseMgr: failclose ENABLED via registry."), std::string::npos);

  // Queued, but let go at once without reaching the graph.
  EXPECT_TRUE(Ping(kPeerPublic));
  EXPECT_EQ(UdpEcho(kPeerPublic, 5), 5);
  EXPECT_EQ(Log().find("ICMP from 198.51.100."), std::string::npos) << Log();

  uint64_t before = Captured();
  EXPECT_TRUE(Ping(kPeerAddr));
  EXPECT_EQ(UdpEcho(kPeerAddr, 5), 5);
  EXPECT_GE(Captured() - before, 2u * 5 + 6);
  std::string log = Log();
  EXPECT_GE(CountOf(log, "OstrelL3Classifier ICMP from 10.77.0.2 ==> 10.77.0.1"), 3u) << log;

  steady_clock::duration took{};
  EXPECT_EQ(Stop(SIGTERM, &took), 0);
  EXPECT_LT(took, seconds(3));
}

// Fail-close with no hub, on the scenarios' graph (policy, firewall and flow
// element before the route table): every flow to the private peer takes the
// block row except DNS, and the public address is not even captured; once a
// captive portal is detected, the private peer is reached too.
TEST_F(EndToEndTest, FailCloseWithoutHubLetsOnlyDnsThroughToThePrivatePeer) {
  for (const char* name : {"ostrel.graph", "policy.json", "firewall.json"}) {
    std::filesystem::copy_file(std::string(DOVADOD_SCENARIO_WORKDIR) + "/" + name,
                               workdir_ + "/" + name,
                               std::filesystem::copy_options::overwrite_existing);
  }
  testing_support::SetRegText(kTarnKey, "failclose_testing_variable", "enabled");
  testing_support::SetRegText(kPortalKey, "cpdetectionstatus", "notdetected");
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_FALSE(Ping(kPeerAddr, nullptr, "2"));
  EXPECT_EQ(UdpEcho(kPeerAddr, 2, 5201), 0);
  EXPECT_EQ(UdpEcho(kPeerAddr, 3, 53), 3);
  EXPECT_TRUE(Ping(kPeerPublic));

  // A captive portal detected: the private peer is let through.
  testing_support::SetRegText(kPortalKey, "cpdetectionstatus", "started");
  bool through = false;
  for (auto deadline = steady_clock::now() + seconds(10); !through && steady_clock::now() < deadline;)
    through = Ping(kPeerAddr, nullptr, "1");
  EXPECT_TRUE(through) << Log();
  EXPECT_EQ(UdpEcho(kPeerAddr, 2, 5201), 2);
  steady_clock::duration took{};
  EXPECT_EQ(Stop(SIGTERM, &took), 0);
}

// Every fail-close switch reopens the capture with the other filter. Datagrams
// from the peer's private address are captured in both states, so a switch
// that dropped what the old handle had taken, or sent it twice, would show
// here as a missing or repeated number.
TEST_F(EndToEndTest, FailCloseSwitchesUnderTrafficLoseAndRepeatNoDatagram) {
  constexpr uint32_t kDatagrams = 40000;
  constexpr uint32_t kPerMillisecond = 20;
  constexpr int kSwitches = 10;
  ASSERT_NO_FATAL_FAILURE(InstallWithClient());
  testing_support::SetRegText(kTarnKey, "failclose_testing_variable", "disabled");
  ASSERT_NO_FATAL_FAILURE(Start());

  int receiver = -1;
  int sender = -1;
  host_.RunInside([&] { receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
  peer_.RunInside([&] { sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0); });
  ASSERT_GE(receiver, 0);
  ASSERT_GE(sender, 0);
  // Room for every datagram, should the reader fall behind.
  int buffer = 64 << 20;
  ASSERT_EQ(::setsockopt(receiver, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof buffer), 0);
  sockaddr_in at = Address(kHostAddr, 0);
  ASSERT_EQ(::bind(receiver, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  at.sin_port = htons(BoundPort(receiver));
  ASSERT_EQ(::connect(sender, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  int queues = -1;
  host_.RunInside([&] {
    queues = ::open("/proc/thread-self/net/netfilter/nfnetlink_queue", O_RDONLY | O_CLOEXEC);
  });
  ASSERT_GE(queues, 0);

  std::vector<uint8_t> seen(kDatagrams);
  size_t strays = 0;
  std::atomic<bool> sent{false};
  std::thread reader([&] {
    // Until a second passes without a datagram after the last was sent, so
    // that late repeats are counted too.
    for (;;) {
      pollfd p{receiver, POLLIN, 0};
      if (::poll(&p, 1, 1000) != 1) {
        if (sent.load()) return;
        continue;
      }
      uint8_t datagram[64];
      ssize_t n;
      while ((n = ::recv(receiver, datagram, sizeof datagram, MSG_DONTWAIT)) > 0) {
        uint32_t number;
        std::memcpy(&number, datagram, sizeof number);
        if (n != sizeof datagram || number >= kDatagrams) {
          ++strays;
          continue;
        }
        if (seen[number] < 255) ++seen[number];
      }
    }
  });
  // The sending falls into one segment more than there are switches; switch
  // i comes once segment i is sent, and the sender waits rather than run
  // more than a segment ahead of a slow switch, so that the switches stay
  // spread over the traffic on a loaded machine too.
  constexpr uint32_t kSegment = kDatagrams / (kSwitches + 1);
  std::atomic<uint32_t> progress{0};
  std::atomic<int> switched{0};
  std::thread writer([&] {
    uint8_t datagram[64] = {};
    auto next = steady_clock::now();
    for (uint32_t number = 0; number < kDatagrams; ++number) {
      if (number >= (switched.load() + 2) * kSegment && switched.load() < kSwitches) {
        while (number >= (switched.load() + 2) * kSegment && switched.load() < kSwitches) {
          std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        next = steady_clock::now();
      }
      std::memcpy(datagram, &number, sizeof number);
      while (::send(sender, datagram, sizeof datagram, 0) != sizeof datagram) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      progress = number + 1;
      if ((number + 1) % kPerMillisecond == 0) {
        std::this_thread::sleep_until(next += milliseconds(1));
      }
    }
    sent = true;
  });

  for (int i = 0; i < kSwitches; ++i) {
    while (progress.load() < (i + 1) * kSegment) std::this_thread::sleep_for(milliseconds(1));
    // The capture this switch ends has had traffic: the kernel's count for
    // a queue starts again each time a capture binds it.
    auto deadline = steady_clock::now() + seconds(3);
    while (ReadQueueCounts(queues).queued == 0 && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(milliseconds(10));
    }
    EXPECT_GT(ReadQueueCounts(queues).queued, 0u) << "capture " << i << " had no traffic";
    SwitchFailClose(i % 2 == 0);
    switched = i + 1;
  }
  writer.join();
  reader.join();
  ::close(sender);
  ::close(receiver);
  ::close(queues);

  std::string missing;
  std::string repeated;
  size_t missed = 0;
  for (uint32_t number = 0; number < kDatagrams; ++number) {
    if (seen[number] == 1) continue;
    std::string& list = seen[number] == 0 ? missing : repeated;
    if (seen[number] == 0) ++missed;
    if (list.size() < 200) list += " " + std::to_string(number);
  }
  std::string log = Log();
  EXPECT_EQ(CountOf(log, "New FailClose status: enabled. threadRunning: true"), kSwitches / 2)
      << log;
  EXPECT_EQ(CountOf(log, "New FailClose status: disabled. threadRunning: true"), kSwitches / 2);
  EXPECT_EQ(CountOf(log, "Windivert handle shut down and drained, exiting"), size_t{kSwitches});
  EXPECT_EQ(CountOf(log, "Exiting packet processing thread"), size_t{kSwitches});
  EXPECT_EQ(log.find("WinDivertRecvEx failed"), std::string::npos);

  steady_clock::duration took{};
  EXPECT_EQ(Stop(SIGTERM, &took), 0);
  EXPECT_LT(took, seconds(3));
  EXPECT_EQ(RawTable().find("DOVADOD"), std::string::npos) << RawTable();

  // A machine too loaded to drain the kernel's queue in time overflows it,
  // and each capture's closing counters give those drops. Every other loss
  // would be the switches'.
  log = Log();
  size_t overflowed = 0;
  const std::string kDrops = ", queue drops ";
  for (size_t pos = 0; (pos = log.find(kDrops, pos)) != std::string::npos;) {
    pos += kDrops.size();
    overflowed += std::strtoul(log.c_str() + pos, nullptr, 10);
  }
  if (overflowed == 0) {
    EXPECT_EQ(missing, "") << missed << " missing" << log;
  }
  EXPECT_EQ(missed, overflowed) << "missing:" << missing << log;
  EXPECT_EQ(repeated, "");
  EXPECT_EQ(strays, 0u);
}

TEST_F(EndToEndTest, KilledServiceLeavesNetworkUpAndNextStartClearsItsRules) {
  ASSERT_NO_FATAL_FAILURE(Start());
  steady_clock::duration took{};
  EXPECT_EQ(Stop(SIGKILL, &took), 128 + SIGKILL);

  // The chain is left behind, but nobody listens on its queue: packets pass.
  EXPECT_NE(RawTable().find("-j NFQUEUE"), std::string::npos);
  EXPECT_TRUE(Ping(kPeerAddr));
  EXPECT_EQ(UdpEcho(kPeerAddr, 3), 3);

  ASSERT_NO_FATAL_FAILURE(Start());
  std::string table = RawTable();
  EXPECT_EQ(CountOf(table, "-j NFQUEUE"), 1u) << table;
  EXPECT_EQ(CountOf(table, "-A OUTPUT"), 1u) << table;
  EXPECT_EQ(CountOf(table, "-A PREROUTING"), 1u) << table;
  uint64_t before = Captured();
  EXPECT_TRUE(Ping(kPeerAddr));
  EXPECT_GE(Captured() - before, 6u);

  EXPECT_EQ(Stop(SIGTERM, &took), 0);
  EXPECT_EQ(RawTable().find("DOVADOD"), std::string::npos) << RawTable();
}

// One capturing instance per network namespace: a second finds the first by
// its abstract socket name and leaves before it touches anything; the name
// goes with a killed process.
TEST_F(EndToEndTest, SecondInstanceInTheNamespaceIsRefusedUntilTheFirstIsGone) {
  ASSERT_NO_FATAL_FAILURE(Start());
  const size_t rulesBefore = CountOf(RawTable(), "-j NFQUEUE");
  int code = -1;
  auto started = steady_clock::now();
  std::string second = Capture({program_, "-console"}, &code, &host_);
  // A sanitised start-up and the name check only: one that waited for
  // anything would take far longer than this under any load.
  EXPECT_LT(steady_clock::now() - started, seconds(4));
  EXPECT_EQ(code, 1) << second;
  EXPECT_NE(second.find("\ndovadod: another instance is already capturing in this network "
                        "namespace\n"),
            std::string::npos)
      << second;
  EXPECT_NE(second.find("Another dovadod is already capturing in this network namespace, exiting"),
            std::string::npos)
      << second;
  EXPECT_EQ(second.find("vedororore OnInit!"), std::string::npos) << second;
  EXPECT_EQ(CountOf(RawTable(), "-j NFQUEUE"), rulesBefore) << RawTable();

  uint64_t before = Captured();
  EXPECT_TRUE(Ping(kPeerAddr));
  EXPECT_GE(Captured() - before, 6u) << "the first still captures";

  steady_clock::duration took{};
  EXPECT_EQ(Stop(SIGKILL, &took), 128 + SIGKILL);
  ASSERT_NO_FATAL_FAILURE(Start());
  EXPECT_TRUE(Ping(kPeerAddr));
  EXPECT_EQ(Stop(SIGTERM, &took), 0);
}

// A peer that floods the host with frames whose transport headers are broken
// must neither fill the log with a line each (the log rotates: enough of them
// wipe every earlier line) nor stop the service or its traffic.
TEST_F(EndToEndTest, MalformedFloodFromPeerLeavesLogAndTrafficAlone) {
  ASSERT_NO_FATAL_FAILURE(Start(/*asService=*/true));
  // Also learns the link addresses, so that no frame of the flood waits for them.
  ASSERT_TRUE(Ping(kHostAddr, &peer_, "1"));
  size_t linesBefore = CountOf(AllLogText(), "\n");
  // Counts what reaches the host's stack past the capture, by either way back.
  ASSERT_TRUE(testing_support::RunProgram({"ip", "netns", "exec", host_.name(), "iptables", "-w", "-t", "mangle",
                          "-A", "PREROUTING", "-s", kPeerAddr, "-d", kHostAddr}));

  constexpr size_t kFrames = 100000;
  Flood flood = FloodMalformed(kFrames, seconds(10));
  ASSERT_EQ(flood.sent, kFrames);
  // The capture queue is worked in order: once a ping from the peer is
  // answered, the service is done with every frame queued before it.
  bool answered = false;
  for (auto deadline = steady_clock::now() + seconds(20);
       !answered && steady_clock::now() < deadline;) {
    answered = Ping(kHostAddr, &peer_, "1");
  }
  EXPECT_TRUE(answered);
  WaitForQuietLog(seconds(10));

  std::string log = AllLogText();
  size_t lines = CountOf(log, "\n");
  ASSERT_GE(lines, linesBefore) << "the log lost lines";
  size_t added = lines - linesBefore;
  uint64_t queued = flood.after.queued - flood.before.queued;
  uint64_t dropped = flood.after.dropped - flood.before.dropped;
  EXPECT_GE(queued, kFrames * 9 / 10) << dropped << " dropped at the queue";
  EXPECT_LT(added, 100u) << added << " log lines (at least: older ones may have rotated away) for "
                         << flood.sent << " frames sent in "
                         << std::chrono::duration_cast<milliseconds>(flood.took).count() << " ms, "
                         << queued << " queued, " << dropped << " dropped there; "
                         << CountOf(log, "WinDivertHelperCalcChecksums failed")
                         << " checksum failures in the log";
  EXPECT_NE(log.find(kStartBanner), std::string::npos) << "start banner rotated away";
  // No frame went back unexamined: what passed meanwhile is the pings.
  static const std::regex kCountRule(R"(\[(\d+):\d+\] -A PREROUTING -s 10.77.0.2/32)");
  std::smatch passed;
  const std::string mangle = RawTable(true, "mangle");
  ASSERT_TRUE(std::regex_search(mangle, passed, kCountRule)) << mangle;
  EXPECT_LT(std::stoull(passed[1].str()), 1000u);

  int status = 0;
  ASSERT_EQ(::waitpid(pid_, &status, WNOHANG), 0) << "dovadod ended\n" << ReadFile(OutputPath());
  uint64_t before = Captured();
  EXPECT_TRUE(Ping(kPeerAddr));
  EXPECT_EQ(UdpEcho(kPeerAddr, 5), 5);
  EXPECT_GE(Captured() - before, 2u * 5 + 6);
  TcpTransfer(64 << 10);

  steady_clock::duration took{};
  EXPECT_EQ(Stop(SIGTERM, &took), 0);
  EXPECT_LT(took, seconds(3));
  EXPECT_NE(Log().find(kExitBanner), std::string::npos);
  EXPECT_EQ(RawTable().find("DOVADOD"), std::string::npos) << RawTable();
}

}  // namespace
