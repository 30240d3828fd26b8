// The netfilter backend on real packets, between two network namespaces made
// here (A and B, joined by a veth pair). The handle is always opened by a
// child process that has entered A, never in the namespace of the test.
// Needs root; skipped otherwise.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/divert/divert.h"
#include "platform/divert/netfilter_rules.h"
#include "platform/divert/testing_packets.h"
#include "platform/error/win_error.h"

namespace platform::divert {
namespace {

constexpr const char* kIp = "/usr/sbin/ip";
constexpr const char* kAddrA = "10.77.0.1";
constexpr const char* kAddrB = "10.77.0.2";
constexpr const char* kAddrNat = "10.77.0.3";  // A's second address, for the holder's source NAT
constexpr uint16_t kPassPort = 7;  // the filter leaves this port alone
constexpr uint16_t kSinkPort = 9;  // the holder never puts these back
constexpr const char* kFilter = "remotePort != 7";
constexpr uint8_t kMacA[6] = {2, 0, 0, 0x77, 0, 1};
constexpr uint8_t kMacB[6] = {2, 0, 0, 0x77, 0, 2};

int run(std::vector<std::string> argv, std::string* out = nullptr) {
  return nf::run_program(argv, "", out);
}

int count_fds() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) n += e->d_name[0] != '.';
  closedir(d);
  return n;
}

// iptables-save without its time-stamped comment lines.
std::string raw_table(const std::string& ns, bool counters = false) {
  std::vector<std::string> argv = {kIp, "netns", "exec", ns, nf::kIptablesSave, "-t", "raw"};
  if (counters) argv.push_back("-c");
  if (ns.empty()) argv = {nf::kIptablesSave, "-t", "raw"};
  std::string out, kept;
  run(argv, &out);
  size_t pos = 0;
  while (pos < out.size()) {
    size_t end = out.find('\n', pos);
    if (end == std::string::npos) end = out.size();
    std::string line = out.substr(pos, end - pos);
    if (line.empty() || line[0] != '#') kept += line + "\n";
    pos = end + 1;
  }
  return kept;
}

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}

// The packet counter of the mark rule of our chain.
uint64_t mark_rule_packets(const std::string& ns) {
  const std::string text = raw_table(ns, true);
  const size_t at = text.find(" -m mark --mark 0x20000000/0x20000000 -j RETURN");
  if (at == std::string::npos) return ~uint64_t{0};
  const size_t open = text.rfind('[', at);
  return std::stoull(text.substr(open + 1));
}

bool enter(const std::string& ns) {
  const int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = setns(fd, CLONE_NEWNET) == 0;
  close(fd);
  return ok;
}

// A socket that lives in `ns`, made on a throw-away thread so that the test's
// own threads stay where they are.
int socket_in(const std::string& ns, int type) {
  int fd = -1;
  std::thread([&] {
    if (enter(ns)) fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
  }).join();
  if (fd >= 0) {
    timeval tv{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof(tv));
  }
  return fd;
}

sockaddr_in endpoint(const char* addr, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, addr, &sa.sin_addr);
  return sa;
}

bool write_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool read_all(int fd, uint8_t* p, size_t n) {
  while (n > 0) {
    ssize_t r = recv(fd, p, n, 0);
    if (r <= 0) return false;
    p += r;
    n -= static_cast<size_t>(r);
  }
  return true;
}

// One TCP connection from `client_ns` to a listener in `server_ns`: the
// client sends `bytes` of a pattern, the server sends them back. True when
// both directions arrive intact.
bool tcp_exchange(const std::string& client_ns, const std::string& server_ns,
                  const char* server_addr, size_t bytes) {
  const int lfd = socket_in(server_ns, SOCK_STREAM);
  const int cfd = socket_in(client_ns, SOCK_STREAM);
  sockaddr_in sa = endpoint(server_addr, 0);
  socklen_t len = sizeof(sa);
  bool ok = lfd >= 0 && cfd >= 0 && bind(lfd, reinterpret_cast<sockaddr*>(&sa), len) == 0 &&
            listen(lfd, 1) == 0 && getsockname(lfd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 &&
            connect(cfd, reinterpret_cast<sockaddr*>(&sa), len) == 0;
  std::vector<uint8_t> out(bytes), in(bytes);
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<uint8_t>(i * 131 + i / 251);
  if (ok) {
    std::atomic<bool> echoed{false};
    std::thread server([&] {
      const int afd = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
      if (afd < 0) return;
      timeval tv{5, 0};
      setsockopt(afd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
      std::vector<uint8_t> got(bytes);
      if (read_all(afd, got.data(), bytes) && write_all(afd, got.data(), bytes)) echoed = true;
      close(afd);
    });
    ok = write_all(cfd, out.data(), bytes) && read_all(cfd, in.data(), bytes);
    shutdown(cfd, SHUT_RDWR);
    server.join();
    ok = ok && echoed && in == out;
  }
  if (lfd >= 0) close(lfd);
  if (cfd >= 0) close(cfd);
  return ok;
}

// Sends one UDP datagram from A to B's `port`; true when B receives it.
bool udp_arrives(const std::string& a, const std::string& b, uint16_t port) {
  const int rfd = socket_in(b, SOCK_DGRAM);
  const int sfd = socket_in(a, SOCK_DGRAM);
  sockaddr_in sa = endpoint(kAddrB, port);
  bool got = false;
  if (rfd >= 0 && sfd >= 0 && bind(rfd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) == 0) {
    timeval tv{0, 500 * 1000};
    setsockopt(rfd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
    const char msg[] = "datagram";
    sendto(sfd, msg, sizeof(msg), 0, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
    char buf[64];
    got = recv(rfd, buf, sizeof(buf), 0) == sizeof(msg) && memcmp(buf, msg, sizeof(msg)) == 0;
  }
  if (rfd >= 0) close(rfd);
  if (sfd >= 0) close(sfd);
  return got;
}

bool ping(const std::string& from, const char* to) {
  return run({kIp, "netns", "exec", from, "/usr/bin/ping", "-q", "-c", "3", "-i", "0.2", "-W", "2",
              to}) == 0;
}

// Runs `body` in a child that has entered `ns` (never the test's own
// namespace); returns what it returned, or why it could not run.
std::string run_in(const std::string& ns, const std::function<std::string()>& body) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return "pipe";
  const pid_t pid = fork();
  if (pid == 0) {
    close(out[0]);
    struct stat before {
    }, after{};
    std::string r = "not in a namespace of its own";
    if (stat("/proc/self/ns/net", &before) == 0 && enter(ns) &&
        stat("/proc/self/ns/net", &after) == 0 && after.st_ino != before.st_ino) {
      r = body();
    }
    [[maybe_unused]] ssize_t n = write(out[1], r.data(), r.size());
    _exit(0);
  }
  close(out[1]);
  std::string r;
  char buf[256];
  for (;;) {
    pollfd p{out[0], POLLIN, 0};
    if (poll(&p, 1, 30000) <= 0) {
      r += " (timeout)";
      kill(pid, SIGKILL);
      break;
    }
    ssize_t n = read(out[0], buf, sizeof(buf));
    if (n <= 0) break;
    r.append(buf, static_cast<size_t>(n));
  }
  close(out[0]);
  waitpid(pid, nullptr, 0);
  return r;
}

// The holder: a child that enters A, opens a handle and puts back every
// packet it receives except UDP to the sink port, then releases the batch.
// With kCopies it clears the records' reserved bytes first, so that what it
// sends is not the packet it took but a copy; with kNat it translates A's
// traffic to B from kAddrA to kAddrNat and B's replies back, with new sums;
// with kNoRelease it never releases a batch. Commands over a pipe: 'S' reports the counters, 'C' closes
// and reports whether the raw table and the fd count are as before the open,
// then the child exits.
enum class Mode { kAsTaken, kCopies, kNat, kNoRelease };

// Source NAT kAddrA <-> kAddrNat for traffic with B, in place.
void translate(uint8_t* p, uint32_t len, bool outbound) {
  in_addr from{}, to{}, peer{};
  inet_pton(AF_INET, outbound ? kAddrA : kAddrNat, &from);
  inet_pton(AF_INET, outbound ? kAddrNat : kAddrA, &to);
  inet_pton(AF_INET, kAddrB, &peer);
  uint8_t* mine = p + (outbound ? 12 : 16);
  const uint8_t* theirs = p + (outbound ? 16 : 12);
  if (memcmp(mine, &from, 4) != 0 || memcmp(theirs, &peer, 4) != 0) return;
  memcpy(mine, &to, 4);
  WinDivertHelperCalcChecksums(p, len, nullptr, 0);
}

class Holder {
 public:
  // "ready", or what went wrong.
  std::string start(const std::string& ns, Mode mode = Mode::kAsTaken) {
    int to_child[2], from_child[2];
    if (pipe2(to_child, O_CLOEXEC) != 0 || pipe2(from_child, O_CLOEXEC) != 0) return "pipe";
    pid_ = fork();
    if (pid_ == 0) {
      close(to_child[1]);
      close(from_child[0]);
      child(ns, mode, to_child[0], from_child[1]);
    }
    close(to_child[0]);
    close(from_child[1]);
    cmd_ = to_child[1];
    reply_ = from_child[0];
    return pid_ > 0 ? line() : "fork";
  }

  ~Holder() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (cmd_ >= 0) close(cmd_);
    if (reply_ >= 0) close(reply_);
  }

  std::string ask(char c) {
    if (write(cmd_, &c, 1) != 1) return "";
    return line();
  }

  void kill_hard() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::string close_and_wait() {
    std::string r = ask('C');
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return r;
  }

 private:
  // One reply line, waiting at most 20 s.
  std::string line() {
    std::string s;
    char c;
    for (;;) {
      pollfd p{reply_, POLLIN, 0};
      if (poll(&p, 1, 20000) <= 0 || read(reply_, &c, 1) != 1) return s.empty() ? "timeout" : s;
      if (c == '\n') return s;
      s += c;
    }
  }

  [[noreturn]] static void child(const std::string& ns, Mode mode, int cmd, int reply) {
    auto say = [reply](const std::string& s) {
      std::string l = s + "\n";
      [[maybe_unused]] ssize_t n = write(reply, l.data(), l.size());
    };
    struct stat before {
    }, after{};
    // Never capture in the namespace the test was started in.
    if (stat("/proc/self/ns/net", &before) != 0 || !enter(ns) ||
        stat("/proc/self/ns/net", &after) != 0 || after.st_ino == before.st_ino) {
      say("not in a namespace of its own");
      _exit(1);
    }
    const std::string table_before = raw_table("");
    const int fds_before = count_fds();
    const WinDivertHandle h = WinDivertOpen(kFilter, WINDIVERT_LAYER_NETWORK, 0, 0);
    if (h == kWinDivertInvalidHandle) {
      say("open failed " + std::to_string(platform::last_error()));
      _exit(1);
    }
    std::atomic<uint64_t> withheld{0}, batches{0};
    std::thread loop([&] {
      std::vector<uint8_t> buf(WINDIVERT_BATCH_MAX * 1500), out(buf.size());
      std::vector<WINDIVERT_ADDRESS> addrs(WINDIVERT_BATCH_MAX), out_addrs(WINDIVERT_BATCH_MAX);
      for (;;) {
        uint32_t len = 0, addr_len = static_cast<uint32_t>(addrs.size() * sizeof(addrs[0]));
        if (!WinDivertRecvEx(h, buf.data(), static_cast<uint32_t>(buf.size()), &len, 0,
                             addrs.data(), &addr_len, nullptr)) {
          if (platform::last_error() == 6) return;
          continue;
        }
        ++batches;
        uint32_t kept = 0, out_len = 0, off = 0;
        for (uint32_t i = 0; i < addr_len / sizeof(WINDIVERT_ADDRESS); ++i) {
          const uint8_t* p = buf.data() + off;
          const uint32_t plen = static_cast<uint32_t>(p[2] << 8 | p[3]);
          off += plen;
          const uint32_t hl = (p[0] & 0x0Fu) * 4u;
          if (p[9] == IPPROTO_UDP && (p[hl + 2] << 8 | p[hl + 3]) == kSinkPort) {
            ++withheld;
            continue;
          }
          memcpy(out.data() + out_len, p, plen);
          out_addrs[kept] = addrs[i];
          if (mode == Mode::kCopies)
            memset(out_addrs[kept].Reserved2, 0, sizeof(out_addrs[kept].Reserved2));
          if (mode == Mode::kNat) {
            translate(out.data() + out_len, plen,
                      (addrs[i].Flags & WINDIVERT_ADDRESS_OUTBOUND) != 0);
          }
          out_len += plen;
          ++kept;
        }
        if (kept > 0) {
          WinDivertSendEx(h, out.data(), out_len, nullptr, 0, out_addrs.data(),
                          kept * static_cast<uint32_t>(sizeof(WINDIVERT_ADDRESS)), nullptr);
        }
        if (mode != Mode::kNoRelease)
          release_received(h, addrs.data(), addr_len / sizeof(WINDIVERT_ADDRESS));
      }
    });
    say("ready");
    char c;
    while (read(cmd, &c, 1) == 1) {
      if (c == 'S') {
        DivertCounters k;
        get_counters(h, &k);
        say(std::to_string(k.stolen) + " " + std::to_string(k.reinjected) + " " +
            std::to_string(withheld.load()) + " " + std::to_string(k.send_dropped) + " " +
            std::to_string(k.by_verdict) + " " + std::to_string(k.expired) + " " +
            std::to_string(k.checksum_dropped));
        continue;
      }
      if (c != 'C') continue;
      WinDivertClose(h);
      loop.join();
      const bool table_same = raw_table("") == table_before;
      const bool fds_same = count_fds() == fds_before;
      say(std::string(table_same ? "table same" : "table differs") +
          (fds_same ? ", fds same" : ", fds differ"));
      _exit(0);
    }
    _exit(0);
  }

  pid_t pid_ = -1;
  int cmd_ = -1;
  int reply_ = -1;
};

struct Counts {
  uint64_t stolen = 0, reinjected = 0, withheld = 0, send_dropped = 0, by_verdict = 0,
           expired = 0, checksum_dropped = 0;
};

Counts parse_counts(const std::string& s) {
  Counts c;
  sscanf(s.c_str(), "%lu %lu %lu %lu %lu %lu %lu", &c.stolen, &c.reinjected, &c.withheld,
         &c.send_dropped, &c.by_verdict, &c.expired, &c.checksum_dropped);
  return c;
}

class NetfilterNetns : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root to make network namespaces";
    }
    const std::string tag = std::to_string(getpid());
    a_ = "dvb" + tag + "a";
    b_ = "dvb" + tag + "b";
    if (run({kIp, "netns", "add", a_}) != 0) {
      GTEST_SKIP() << "cannot make network namespaces";
    }
    made_a_ = true;
    ASSERT_EQ(run({kIp, "netns", "add", b_}), 0);
    made_b_ = true;
    ASSERT_EQ(run({kIp, "link", "add", "va", "netns", a_, "type", "veth", "peer", "name", "vb",
                   "netns", b_}),
              0);
    for (const auto& [ns, dev, addr] :
         {std::tuple{a_, "va", kAddrA}, std::tuple{b_, "vb", kAddrB}}) {
      ASSERT_EQ(run({kIp, "-n", ns, "addr", "add", std::string(addr) + "/24", "dev", dev}), 0);
      ASSERT_EQ(run({kIp, "-n", ns, "link", "set", dev, "up"}), 0);
      ASSERT_EQ(run({kIp, "-n", ns, "link", "set", "lo", "up"}), 0);
    }
    host_table_ = raw_table("");
  }

  void TearDown() override {
    if (made_a_) run({kIp, "netns", "del", a_});
    if (made_b_) run({kIp, "netns", "del", b_});
    if (!made_a_) return;
    EXPECT_EQ(raw_table(""), host_table_) << "the test's own raw table changed";
  }

  std::string a_, b_;
  bool made_a_ = false, made_b_ = false;
  std::string host_table_;
};

// A UDP packet from `src` to `dst`:`port` with `payload` bytes and its sums.
std::vector<uint8_t> udp_packet(const char* src, const char* dst, uint16_t port, size_t payload,
                                bool df) {
  std::vector<uint8_t> p = testing::make_ipv4(IPPROTO_UDP, src, dst, 8 + payload);
  testing::put16(p, 20, 40000);
  testing::put16(p, 22, port);
  testing::put16(p, 24, static_cast<uint16_t>(8 + payload));
  testing::put16(p, 6, df ? 0x4000 : 0);
  WinDivertHelperCalcChecksums(p.data(), static_cast<uint32_t>(p.size()), nullptr, 0);
  return p;
}

TEST_F(NetfilterNetns, SendFragmentsDropsWhatItMustAndRecvRefusesWhatDoesNotFit) {
  // Receivers in B and in A, made before the child so that it inherits them.
  const int in_b = socket_in(b_, SOCK_DGRAM);
  const int in_a = socket_in(a_, SOCK_DGRAM);
  sockaddr_in sb = endpoint(kAddrB, 5001), sa = endpoint(kAddrA, 5002);
  ASSERT_EQ(bind(in_b, reinterpret_cast<sockaddr*>(&sb), sizeof(sb)), 0);
  ASSERT_EQ(bind(in_a, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)), 0);

  const std::string result = run_in(a_, [&]() -> std::string {
    const WinDivertHandle h =
        WinDivertOpen("outbound && ip.DstAddr == 10.77.0.2", WINDIVERT_LAYER_NETWORK, 0, 0);
    if (h == kWinDivertInvalidHandle) return "open " + std::to_string(last_error());
    std::string r;
    auto send_one = [&](const std::vector<uint8_t>& p, bool outbound) {
      WINDIVERT_ADDRESS addr{};
      addr.Flags = outbound ? WINDIVERT_ADDRESS_OUTBOUND : 0;
      uint32_t sent = 0;
      const bool ok = WinDivertSendEx(h, p.data(), static_cast<uint32_t>(p.size()), &sent, 0, &addr,
                                      sizeof(addr), nullptr);
      return ok ? std::to_string(sent) : "error " + std::to_string(last_error());
    };
    // Above the veth's 1500: fragmented with DF clear, dropped with DF set.
    r += send_one(udp_packet(kAddrA, kAddrB, 5001, 4000, false), true) + ",";
    r += send_one(udp_packet(kAddrA, kAddrB, 5001, 4000, true), true) + ",";
    // Inbound: delivered to a local address, dropped for any other.
    r += send_one(udp_packet(kAddrB, kAddrA, 5002, 100, false), false) + ",";
    r += send_one(udp_packet(kAddrB, "10.77.0.99", 5002, 100, false), false) + ",";
    DivertCounters c;
    get_counters(h, &c);
    r += std::to_string(c.send_dropped) + ",";

    // A stolen packet larger than the whole receive area: 122, and counted.
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<uint8_t> big(1000, 7);
    sendto(s, big.data(), big.size(), 0, reinterpret_cast<const sockaddr*>(&sb), sizeof(sb));
    close(s);
    uint8_t small[500];
    WINDIVERT_ADDRESS addr[1];
    uint32_t addr_len = sizeof(addr);
    const bool got = WinDivertRecvEx(h, small, sizeof(small), nullptr, 0, addr, &addr_len, nullptr);
    get_counters(h, &c);
    r += (got ? std::string("received") : std::to_string(last_error())) + "," +
         std::to_string(c.oversize);
    WinDivertClose(h);
    return r;
  });
  // 4028 bytes handed on; DF: "too big"; 128 inbound; non-local: refused.
  EXPECT_EQ(result, "4028,error 10040,128,error 10049,2,122,1");

  char buf[8192];
  timeval tv{1, 0};
  setsockopt(in_b, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  setsockopt(in_a, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
  EXPECT_EQ(recv(in_b, buf, sizeof(buf), 0), 4000) << "the fragmented datagram, reassembled";
  EXPECT_EQ(recv(in_b, buf, sizeof(buf), MSG_DONTWAIT), -1) << "nothing else reached B";
  EXPECT_EQ(recv(in_a, buf, sizeof(buf), 0), 100) << "the inbound datagram";
  close(in_a);
  close(in_b);
}

TEST_F(NetfilterNetns, OpenWithoutNetAdminFailsWith5AndInstallsNothing) {
  const std::string before = raw_table(a_);
  const std::string result = run_in(a_, [] {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    syscall(SYS_capget, &header, data);
    data[0].effective &= ~(1u << CAP_NET_ADMIN);
    if (syscall(SYS_capset, &header, data) != 0) return std::string("capset");
    const WinDivertHandle h = WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, 0, 0);
    return h == kWinDivertInvalidHandle ? std::to_string(last_error()) : std::string("opened");
  });
  EXPECT_EQ(result, "5");
  EXPECT_EQ(raw_table(a_), before);
}

TEST_F(NetfilterNetns, DivertsBothWaysAndCountsEveryPacketOnce) {
  // Packets put back as taken go back as their own verdicts and never pass
  // the chain again; copies go through the marked raw socket, once each.
  for (const bool copies : {false, true}) {
    SCOPED_TRACE(copies ? "copies" : "as taken");
    Holder holder;
    ASSERT_EQ(holder.start(a_, copies ? Mode::kCopies : Mode::kAsTaken), "ready");
    EXPECT_TRUE(tcp_exchange(a_, b_, kAddrB, 256 * 1024)) << "A to B";
    EXPECT_TRUE(tcp_exchange(b_, a_, kAddrA, 256 * 1024)) << "B to A";
    EXPECT_TRUE(ping(a_, kAddrB));
    EXPECT_TRUE(ping(b_, kAddrA));
    usleep(300 * 1000);  // let the last ACKs pass through the holder
    const Counts c = parse_counts(holder.ask('S'));
    EXPECT_GT(c.stolen, 100u);
    EXPECT_EQ(c.stolen, c.reinjected);
    EXPECT_EQ(c.send_dropped, 0u);
    // A copy leaves its original to be dropped when the batch is released.
    EXPECT_EQ(c.expired, copies ? c.stolen : 0u);
    EXPECT_EQ(c.by_verdict, copies ? 0u : c.reinjected);
    EXPECT_EQ(mark_rule_packets(a_), copies ? c.reinjected : 0u);
    if (copies) {
      EXPECT_EQ(holder.close_and_wait(), "table same, fds same");
      continue;
    }

    // Unfiltered traffic passes without being stolen.
    EXPECT_TRUE(udp_arrives(a_, b_, kPassPort));
    EXPECT_EQ(parse_counts(holder.ask('S')).stolen, c.stolen);

    // Matching traffic that is not put back never arrives; its queue entry
    // is dropped when its batch is released.
    EXPECT_FALSE(udp_arrives(a_, b_, kSinkPort));
    const Counts after = parse_counts(holder.ask('S'));
    EXPECT_EQ(after.stolen, c.stolen + 1);
    EXPECT_EQ(after.withheld, 1u);
    EXPECT_EQ(after.expired, 1u);
    EXPECT_EQ(holder.close_and_wait(), "table same, fds same");
  }
  EXPECT_EQ(raw_table(a_).find(nf::kChainPrefix.data()), std::string::npos);
}

// Tcp, Udp and Icmp InCsumErrors of a namespace, summed.
uint64_t checksum_errors(const std::string& ns) {
  std::string text;
  run({kIp, "netns", "exec", ns, "/usr/bin/cat", "/proc/net/snmp"}, &text);
  uint64_t total = 0;
  // Each protocol has a header line of names and a line of values.
  std::vector<std::string> lines;
  for (size_t pos = 0, end; pos < text.size(); pos = end + 1) {
    end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(pos, end - pos));
  }
  for (size_t i = 0; i + 1 < lines.size(); ++i) {
    std::istringstream names(lines[i]), values(lines[i + 1]);
    std::string name, value, proto;
    names >> proto;
    values >> value;
    if (value != proto) continue;
    while (names >> name && values >> value) {
      if (name == "InCsumErrors") total += std::stoull(value);
    }
  }
  return total;
}

// Packets B received from `src`, counted by a rule of B's mangle table.
uint64_t received_from(const std::string& ns, const char* src) {
  std::string text;
  run({kIp, "netns", "exec", ns, nf::kIptablesSave, "-c", "-t", "mangle"}, &text);
  const std::string rule = std::string("-A PREROUTING -s ") + src + "/32";
  const size_t at = text.find(rule);
  if (at == std::string::npos) return ~uint64_t{0};
  return std::stoull(text.substr(text.rfind('[', at) + 1));
}

// Packets the holder changes go back as verdicts with their new bytes: the
// kernel routes them again, and both sides' kernels check their sums.
TEST_F(NetfilterNetns, ChangedPacketsGoBackWithTheirNewBytes) {
  ASSERT_EQ(run({kIp, "-n", a_, "addr", "add", std::string(kAddrNat) + "/24", "dev", "va"}), 0);
  for (const char* src : {kAddrA, kAddrNat}) {
    ASSERT_EQ(run({kIp, "netns", "exec", b_, "/usr/sbin/iptables", "-w", "-t", "mangle", "-A",
                   "PREROUTING", "-s", src}),
              0);
  }
  const uint64_t errors_a = checksum_errors(a_), errors_b = checksum_errors(b_);
  Holder holder;
  ASSERT_EQ(holder.start(a_, Mode::kNat), "ready");
  EXPECT_TRUE(tcp_exchange(a_, b_, kAddrB, 256 * 1024));
  EXPECT_TRUE(udp_arrives(a_, b_, kPassPort + 1));
  const Counts c = parse_counts(holder.ask('S'));
  EXPECT_GT(c.stolen, 100u);
  EXPECT_EQ(c.by_verdict, c.reinjected);
  EXPECT_EQ(c.expired, 0u);
  EXPECT_EQ(mark_rule_packets(a_), 0u) << "nothing went through the raw socket";
  EXPECT_EQ(received_from(b_, kAddrA), 0u);
  EXPECT_GT(received_from(b_, kAddrNat), 100u);
  EXPECT_EQ(checksum_errors(a_), errors_a);
  EXPECT_EQ(checksum_errors(b_), errors_b);
  EXPECT_EQ(holder.close_and_wait(), "table same, fds same");
}

// A packet never put back nor released is dropped once a later receive's
// packets come back: its queue entry does not outlive its cycle.
TEST_F(NetfilterNetns, AWithheldPacketExpiresWhenALaterBatchComesBack) {
  Holder holder;
  ASSERT_EQ(holder.start(a_, Mode::kNoRelease), "ready");
  EXPECT_FALSE(udp_arrives(a_, b_, kSinkPort));
  EXPECT_EQ(parse_counts(holder.ask('S')).expired, 0u);
  EXPECT_TRUE(ping(a_, kAddrB));
  const Counts c = parse_counts(holder.ask('S'));
  EXPECT_EQ(c.expired, 1u);
  EXPECT_EQ(c.withheld, 1u);
  EXPECT_EQ(c.by_verdict, c.stolen - 1);
  EXPECT_EQ(holder.close_and_wait(), "table same, fds same");
}

void set_conf(const std::string& ns, const std::string& dev, const std::string& key, int value) {
  run({kIp, "netns", "exec", ns, "/usr/sbin/sysctl", "-qw",
       "net.ipv4.conf." + dev + "." + key + "=" + std::to_string(value)});
}

// Puts `ip` on vb's wire as an Ethernet frame to va's MAC, so that sources
// and destinations the peer's own stack would refuse to send still arrive.
bool send_frame(const std::string& ns, const std::vector<uint8_t>& ip) {
  bool sent = false;
  std::thread([&] {
    if (!enter(ns)) return;
    const int fd = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = static_cast<int>(if_nametoindex("vb"));
    to.sll_halen = 6;
    memcpy(to.sll_addr, kMacA, 6);
    std::vector<uint8_t> frame(kMacA, kMacA + 6);
    frame.insert(frame.end(), kMacB, kMacB + 6);
    frame.push_back(0x08);
    frame.push_back(0x00);
    frame.insert(frame.end(), ip.begin(), ip.end());
    sent = sendto(fd, frame.data(), frame.size(), 0, reinterpret_cast<sockaddr*>(&to),
                  sizeof(to)) == static_cast<ssize_t>(frame.size());
    close(fd);
  }).join();
  return sent;
}

// Whether a datagram carrying `tag` reaches `fd` within `wait_ms`; anything
// else queued there is skipped.
bool receives(int fd, const std::string& tag, int wait_ms) {
  char buf[256];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, wait_ms) <= 0) return false;
    const ssize_t n = recv(fd, buf, sizeof(buf), MSG_DONTWAIT);
    if (n == static_cast<ssize_t>(tag.size()) && memcmp(buf, tag.data(), tag.size()) == 0) {
      return true;
    }
  }
}

// How a test datagram is built: its UDP checksum replaced, or bytes past the
// UDP length inside the IPv4 payload.
struct Shape {
  uint16_t checksum = 0;  // 0: the right one
  uint16_t trailer = 0;
};

// Inbound packets put on va's wire by B, delivery seen by a UDP socket on
// any address of A. A second link of A (vx) has 10.78.0.0/24, so sources
// there are routed away from va.
class InboundNetns : public NetfilterNetns {
 protected:
  static constexpr uint16_t kPort = 5300;

  void SetUp() override {
    NetfilterNetns::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_EQ(run({kIp, "-n", a_, "link", "set", "va", "address", "02:00:00:77:00:01"}), 0);
    ASSERT_EQ(run({kIp, "-n", b_, "link", "set", "vb", "address", "02:00:00:77:00:02"}), 0);
    ASSERT_EQ(run({kIp, "-n", a_, "link", "add", "vx", "type", "veth", "peer", "name", "vy"}), 0);
    ASSERT_EQ(run({kIp, "-n", a_, "addr", "add", "10.78.0.1/24", "dev", "vx"}), 0);
    ASSERT_EQ(run({kIp, "-n", a_, "link", "set", "vx", "up"}), 0);
    ASSERT_EQ(run({kIp, "-n", a_, "link", "set", "vy", "up"}), 0);
    // A new namespace may inherit the machine's conf/all values.
    set_conf(a_, "all", "rp_filter", 0);
    set_conf(a_, "all", "accept_local", 0);
    rfd_ = socket_in(a_, SOCK_DGRAM);
    sockaddr_in any = endpoint("0.0.0.0", kPort);
    ASSERT_EQ(bind(rfd_, reinterpret_cast<sockaddr*>(&any), sizeof(any)), 0);
  }

  void TearDown() override {
    if (rfd_ >= 0) close(rfd_);
    NetfilterNetns::TearDown();
  }

  // Sends UDP `src` -> `dst` carrying `tag`; true when A's socket gets it
  // (exactly `tag`) within `wait_ms`.
  bool deliver(const char* src, const char* dst, const std::string& tag, int wait_ms,
               Shape shape = {}) {
    const size_t udp_len = 8 + tag.size();
    std::vector<uint8_t> p = testing::make_ipv4(IPPROTO_UDP, src, dst, udp_len + shape.trailer);
    testing::put16(p, 20, 40000);
    testing::put16(p, 22, kPort);
    testing::put16(p, 24, static_cast<uint16_t>(udp_len));
    memcpy(p.data() + 28, tag.data(), tag.size());
    memset(p.data() + 28 + tag.size(), 0xEE, shape.trailer);
    WinDivertHelperCalcChecksums(p.data(), static_cast<uint32_t>(p.size()), nullptr, 0);
    if (shape.checksum != 0) testing::put16(p, 26, shape.checksum);
    return send_frame(b_, p) && receives(rfd_, tag, wait_ms);
  }

  int rfd_ = -1;
};

TEST_F(InboundNetns, DeliveredExactlyAsWithoutTheCapture) {
  struct Case {
    const char* name;
    const char* src;
    const char* dst;
    int rp_filter, accept_local;  // of va
    bool delivered;
    Shape shape;
  };
  const Case cases[] = {
      {"plain", kAddrB, kAddrA, 0, 0, true, {}},
      {"to-loopback", kAddrB, "127.0.0.1", 0, 0, false, {}},
      {"from-remote-to-loopback", "8.8.8.8", "127.0.0.1", 0, 0, false, {}},
      {"from-loopback", "127.0.0.1", kAddrA, 0, 0, false, {}},
      {"from-unspecified", "0.0.0.0", kAddrA, 0, 0, false, {}},
      {"from-zeronet", "0.1.2.3", kAddrA, 0, 0, true, {}},  // the kernel accepts the rest of 0/8
      {"from-multicast", "224.0.0.1", kAddrA, 0, 0, false, {}},
      {"from-broadcast", "255.255.255.255", kAddrA, 0, 0, false, {}},
      {"from-own", kAddrA, kAddrA, 0, 0, false, {}},
      {"from-own-accept-local", kAddrA, kAddrA, 0, 1, true, {}},
      {"from-other-link-own", "10.78.0.1", kAddrA, 0, 0, false, {}},
      {"strict-routes-back", kAddrB, kAddrA, 1, 0, true, {}},
      {"strict-routed-elsewhere", "10.78.0.2", kAddrA, 1, 0, false, {}},
      {"strict-unroutable", "198.51.100.7", kAddrA, 1, 0, false, {}},
      {"loose-routed-elsewhere", "10.78.0.2", kAddrA, 2, 0, true, {}},
      {"loose-unroutable", "198.51.100.7", kAddrA, 2, 0, false, {}},
      {"off-unroutable", "198.51.100.7", kAddrA, 0, 0, true, {}},
      {"bad-checksum", kAddrB, kAddrA, 0, 0, false, {0x1234, 0}},
      {"udp-length-short", kAddrB, kAddrA, 0, 0, true, {0, 6}},
  };
  for (const Case& c : cases) {
    set_conf(a_, "va", "rp_filter", c.rp_filter);
    set_conf(a_, "va", "accept_local", c.accept_local);
    const int wait_ms = c.delivered ? 2000 : 300;
    const bool plain = deliver(c.src, c.dst, std::string(c.name) + " plain", wait_ms, c.shape);
    EXPECT_EQ(plain, c.delivered) << c.name << ": the namespace is not set up as meant";
    // Put back as taken (a verdict: the kernel's own checks), then as a copy
    // (the raw socket: the capture's checks).
    for (const bool copies : {false, true}) {
      const std::string tag = std::string(c.name) + (copies ? " copy" : " verdict");
      Holder holder;
      ASSERT_EQ(holder.start(a_, copies ? Mode::kCopies : Mode::kAsTaken), "ready");
      EXPECT_EQ(deliver(c.src, c.dst, tag, wait_ms, c.shape), plain) << tag;
      // 127/8 destinations pass uncaptured; a wrong checksum is dropped on
      // arrival; a copy the kernel would refuse is a send drop.
      const Counts n = parse_counts(holder.ask('S'));
      const bool to_loopback = strncmp(c.dst, "127.", 4) == 0;
      const bool bad_sum = c.shape.checksum != 0;
      const uint64_t stolen = to_loopback || bad_sum ? 0 : 1;
      EXPECT_EQ(n.stolen, stolen) << tag;
      EXPECT_EQ(n.checksum_dropped, bad_sum ? 1u : 0u) << tag;
      EXPECT_EQ(n.by_verdict, copies ? 0 : stolen) << tag;
      EXPECT_EQ(n.send_dropped, copies && stolen == 1 && !c.delivered ? 1u : 0u) << tag;
      holder.close_and_wait();
    }
  }
}

// The capture's cached routes and addresses follow changes made while it runs.
TEST_F(InboundNetns, RouteAndAddressChangesReachARunningCapture) {
  set_conf(a_, "va", "rp_filter", 1);
  Holder holder;
  ASSERT_EQ(holder.start(a_, Mode::kCopies), "ready");
  EXPECT_FALSE(deliver("10.78.0.2", kAddrA, "routed elsewhere", 300));
  ASSERT_EQ(run({kIp, "-n", a_, "route", "add", "10.78.0.2/32", "dev", "va"}), 0);
  EXPECT_TRUE(deliver("10.78.0.2", kAddrA, "routed back by va", 2000));
  ASSERT_EQ(run({kIp, "-n", a_, "route", "del", "10.78.0.2/32", "dev", "va"}), 0);
  EXPECT_FALSE(deliver("10.78.0.2", kAddrA, "routed elsewhere again", 300));

  set_conf(a_, "va", "rp_filter", 0);
  EXPECT_TRUE(deliver("10.79.0.1", kAddrA, "foreign", 2000));
  ASSERT_EQ(run({kIp, "-n", a_, "addr", "add", "10.79.0.1/32", "dev", "vx"}), 0);
  EXPECT_FALSE(deliver("10.79.0.1", kAddrA, "now the host's own", 300));
  EXPECT_EQ(parse_counts(holder.ask('S')).send_dropped, 3u);
  holder.close_and_wait();
}

TEST_F(NetfilterNetns, AKilledHolderLeavesTrafficFlowingAndItsChainIsClearedNextTime) {
  // A live holder's chain must survive the next process's sweep.
  Holder live;
  ASSERT_EQ(live.start(a_), "ready");
  {
    Holder dead;
    ASSERT_EQ(dead.start(a_), "ready");
    dead.kill_hard();
  }
  ASSERT_EQ(count_of(raw_table(a_), "-j NFQUEUE"), 2u) << "the dead holder's chain stays";
  EXPECT_TRUE(tcp_exchange(a_, b_, kAddrB, 64 * 1024));

  Holder next;
  ASSERT_EQ(next.start(a_), "ready");
  const std::string table = raw_table(a_);
  EXPECT_EQ(count_of(table, "-j NFQUEUE"), 2u) << table;
  EXPECT_EQ(count_of(table, "-A OUTPUT"), 2u) << table;
  EXPECT_EQ(count_of(table, "-A PREROUTING"), 2u) << table;
  EXPECT_TRUE(tcp_exchange(a_, b_, kAddrB, 64 * 1024));
  next.close_and_wait();
  EXPECT_EQ(count_of(raw_table(a_), "-j NFQUEUE"), 1u);
  live.close_and_wait();
  EXPECT_EQ(raw_table(a_).find(nf::kChainPrefix.data()), std::string::npos);
}

}  // namespace
}  // namespace platform::divert
