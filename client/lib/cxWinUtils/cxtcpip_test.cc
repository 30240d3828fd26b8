#include "client/lib/cxWinUtils/cxtcpip.h"

#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"
#include "platform/socket_owner/socket_owner.h"
#include "tests/support/started_log.h"

namespace {

using testing::HasSubstr;
using testing::Not;
using testing_support::StartedLog;
using testing_support::WriteFile;

sockaddr_storage V4(const char* text, uint16_t port) {
  sockaddr_storage storage{};
  auto* in = reinterpret_cast<sockaddr_in*>(&storage);
  in->sin_family = AF_INET;
  in->sin_port = htons(port);
  EXPECT_EQ(inet_pton(AF_INET, text, &in->sin_addr), 1) << text;
  return storage;
}

sockaddr_storage V6(const char* text, uint16_t port, uint32_t scope_id = 0) {
  sockaddr_storage storage{};
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(port);
  in6->sin6_scope_id = scope_id;
  EXPECT_EQ(inet_pton(AF_INET6, text, &in6->sin6_addr), 1) << text;
  return storage;
}

const sockaddr* Sa(const sockaddr_storage& storage) {
  return reinterpret_cast<const sockaddr*>(&storage);
}

// An endpoint as the kernel prints it: every 32-bit word of the address as a
// host-order integer, then the port.
std::string Kernel(int family, const char* text, uint16_t port) {
  uint8_t bytes[16] = {};
  EXPECT_EQ(inet_pton(family, text, bytes), 1) << text;
  std::string out;
  for (int i = 0; i < (family == AF_INET ? 1 : 4); ++i) {
    uint32_t word;
    std::memcpy(&word, bytes + 4 * i, 4);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", word);
    out += hex;
  }
  char port_hex[6];
  std::snprintf(port_hex, sizeof port_hex, ":%04X", port);
  return out + port_hex;
}

std::string Row(int family, const char* local, uint16_t port, const char* state, uint64_t inode) {
  const char* any = family == AF_INET ? "0.0.0.0" : "::";
  return "   0: " + Kernel(family, local, port) + " " + Kernel(family, any, 0) + " " + state +
         " 00000000:00000000 00:00000000 00000000     0        0 " + std::to_string(inode) +
         " 1 0000000000000000 20 4 30 10 -1\n";
}

constexpr const char* kHeader =
    "  sl  local_address                         remote_address                        st "
    "tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n";

class OwnerLookupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::clear_socket_owner_cache();
    WriteFile(File("proc/net/tcp"),
              std::string(kHeader) + Row(AF_INET, "0.0.0.0", 8080, "0A", 500) +  // listener
                  Row(AF_INET, "10.0.0.5", 8080, "06", 0) +                      // TIME_WAIT
                  Row(AF_INET, "10.0.0.5", 8080, "01", 601) +                    // first connection
                  Row(AF_INET, "10.0.0.5", 8080, "01", 602) +  // second connection
                  Row(AF_INET, "0.0.0.0", 9090, "01", 700) +
                  Row(AF_INET, "10.0.0.5", 6060, "01", 900) +  // nobody holds it
                  Row(AF_INET, "10.0.0.5", 6060, "01", 901));
    WriteFile(File("proc/net/tcp6"), std::string(kHeader) +
                                         Row(AF_INET6, "::ffff:10.0.0.5", 7070, "01", 801) +
                                         Row(AF_INET6, "2001:db8::1", 7070, "01", 802));
    WriteFile(File("proc/net/udp"), std::string(kHeader) + Row(AF_INET, "0.0.0.0", 53, "07", 1001));
    WriteFile(File("proc/net/udp6"),
              std::string(kHeader) + Row(AF_INET6, "::ffff:127.0.0.1", 5353, "07", 1002));
    for (auto [pid, inode] : std::vector<std::pair<int, int>>{{50, 500},
                                                              {61, 601},
                                                              {62, 602},
                                                              {70, 700},
                                                              {91, 901},
                                                              {81, 801},
                                                              {82, 802},
                                                              {101, 1001},
                                                              {102, 1002}}) {
      Link("proc/" + std::to_string(pid) + "/fd/3", "socket:[" + std::to_string(inode) + "]");
    }
    Link("proc/61/exe", "/opt/Corvex/Pellar UI/PellarUI.Exe");
  }
  void TearDown() override { platform::clear_socket_owner_cache(); }

  std::string File(const std::string& relative) const { return log_.root().file(relative); }

  void Link(const std::string& relative, const std::string& target) {
    const std::string path = File(relative);
    uint32_t rc = platform::create_directories(path.substr(0, path.rfind('/')));
    ASSERT_TRUE(rc == 0 || rc == platform::kErrorAlreadyExists) << rc;
    ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0) << path;
  }

  StartedLog log_{0};
};

TEST_F(OwnerLookupTest, TcpMatchesConnectionsInTableOrder) {
  struct Case {
    sockaddr_storage addr;
    uint32_t pid;
  };
  const Case cases[] = {
      // Listener and TIME_WAIT rows come first but own nothing to report.
      {V4("10.0.0.5", 8080), 61},       {V4("0.0.0.0", 8080), 61},
      {V4("192.168.1.1", 9090), 70},  // the row's 0.0.0.0 matches any address
      {V4("10.0.0.5", 6060), 91},     // the first match has no owner
      {V4("10.0.0.5", 7070), 81},     // a dual-stack socket's IPv4 connection
      {V6("2001:db8::1", 7070), 82},    {V6("::", 7070), 81},
      {V4("10.0.0.6", 8080), 0},        {V4("10.0.0.5", 8081), 0},
      {V6("::ffff:10.0.0.5", 8080), 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cxGetTcpOwnerPid(Sa(c.addr)), c.pid) << &c - cases;
  }
  EXPECT_THAT(log_.text(), HasSubstr("cxtcpiputils Failed to find pid for TCP addr: 10.0.0.6, "
                                     "port: 8080\n"));
  EXPECT_THAT(log_.text(), HasSubstr("Failed to find pid for TCP addr: ::ffff:10.0.0.5, port: "
                                     "8080\n"));
}

TEST_F(OwnerLookupTest, UdpMatchesBoundSockets) {
  EXPECT_EQ(cxGetUdpOwnerPid(Sa(V4("10.1.2.3", 53))), 101u);
  EXPECT_EQ(cxGetUdpOwnerPid(Sa(V4("127.0.0.1", 5353))), 102u);
  EXPECT_EQ(cxGetUdpOwnerPid(Sa(V4("127.0.0.1", 54))), 0u);
  EXPECT_EQ(cxGetTcpOwnerPid(Sa(V4("10.1.2.3", 53))), 0u);
  EXPECT_THAT(log_.text(), HasSubstr("Failed to find pid for UDP addr: 127.0.0.1, port: 54\n"));
}

TEST_F(OwnerLookupTest, RefusesOtherFamiliesAndMissingTables) {
  sockaddr_storage none{};
  EXPECT_EQ(cxGetTcpOwnerPid(Sa(none)), 0u);
  EXPECT_EQ(cxGetUdpOwnerPid(Sa(none)), 0u);
  EXPECT_EQ(cxGetTcpOwnerPid(nullptr), 0u);
  const std::string text = log_.text();
  size_t first = text.find("cxtcpiputils address family: 0 not supported\n");
  ASSERT_NE(first, std::string::npos) << text;
  EXPECT_NE(text.find("cxtcpiputils address family: 0 not supported\n", first + 1),
            std::string::npos);
  EXPECT_THAT(text, HasSubstr("cxtcpiputils invalid params\n"));

  // Without IPv6 the IPv4 table alone answers; without the IPv4 table, nothing.
  ASSERT_EQ(::unlink(File("proc/net/tcp6").c_str()), 0);
  EXPECT_EQ(cxGetTcpOwnerPid(Sa(V4("10.0.0.5", 8080))), 61u);
  EXPECT_EQ(cxGetTcpOwnerPid(Sa(V4("10.0.0.5", 7070))), 0u);
  EXPECT_THAT(log_.text(), Not(HasSubstr("GetExtendedTcpTable failed")));
  ASSERT_EQ(::unlink(File("proc/net/udp").c_str()), 0);
  EXPECT_EQ(cxGetUdpOwnerPid(Sa(V4("10.1.2.3", 53))), 0u);
  EXPECT_THAT(log_.text(), HasSubstr("GetExtendedUdpTable failed with error: 2\n"));
}

TEST_F(OwnerLookupTest, FlowProcessNameIsLowerCased) {
  std::string name = "untouched";
  uint32_t pid = 0;
  ASSERT_TRUE(cxGetFlowProcessName(Sa(V4("10.0.0.5", 8080)), 6, &name, &pid, false));
  EXPECT_EQ(name, "pellarui.exe");
  EXPECT_EQ(pid, 61u);
  ASSERT_TRUE(cxGetFlowProcessName(Sa(V4("10.0.0.5", 8080)), 6, &name, &pid, true));
  EXPECT_EQ(name, "/opt/corvex/pellar ui/pellarui.exe");

  // Failures leave the outputs alone.
  name = "untouched";
  pid = 0;
  EXPECT_FALSE(cxGetFlowProcessName(Sa(V4("10.0.0.5", 8080)), 1, &name, &pid, false));
  EXPECT_FALSE(cxGetFlowProcessName(nullptr, 6, &name, &pid, false));
  EXPECT_FALSE(cxGetFlowProcessName(Sa(V4("10.0.0.5", 8081)), 6, &name, &pid, false));
  EXPECT_FALSE(cxGetFlowProcessName(Sa(V4("10.1.2.3", 53)), 6, &name, &pid, false));
  EXPECT_FALSE(cxGetFlowProcessName(Sa(V6("2001:db8::1", 7070)), 6, &name, &pid, false));
  EXPECT_EQ(name, "untouched");
  EXPECT_EQ(pid, 0u);
  const std::string text = log_.text();
  EXPECT_THAT(text, HasSubstr("cxtcpiputils Invalid transport layer type 1\n"));
  EXPECT_THAT(text, HasSubstr("cxtcpiputils invalid params\n"));
  EXPECT_THAT(text, HasSubstr("cxtcpiputils Failed to get process name for pid: 82\n"));
}

// The test's own sockets on the machine's loopback.
class OwnSocketTest : public ::testing::Test {
 protected:
  void SetUp() override { platform::clear_socket_owner_cache(); }
  void TearDown() override {
    for (int fd : fds_) ::close(fd);
  }

  int Socket(int family, int type) {
    int fd = ::socket(family, type | SOCK_CLOEXEC, 0);
    EXPECT_GE(fd, 0);
    if (fd >= 0) fds_.push_back(fd);
    return fd;
  }

  static sockaddr_storage Name(int fd) {
    sockaddr_storage addr{};
    socklen_t len = sizeof addr;
    EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    return addr;
  }

  static bool Bind(int fd, const sockaddr_storage& addr) {
    socklen_t len = addr.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    return ::bind(fd, Sa(addr), len) == 0;
  }

  // A connection to a listener on `listen_addr`; the client end's socket.
  int Connect(const sockaddr_storage& listen_addr, const sockaddr_storage& to, int* server) {
    int listener = Socket(listen_addr.ss_family, SOCK_STREAM);
    EXPECT_TRUE(Bind(listener, listen_addr));
    EXPECT_EQ(::listen(listener, 4), 0);
    sockaddr_storage target = to;
    sockaddr_storage bound = Name(listener);
    uint16_t port = reinterpret_cast<sockaddr_in*>(&bound)->sin_port;
    reinterpret_cast<sockaddr_in*>(&target)->sin_port = port;  // same offset for both families
    int client = Socket(to.ss_family, SOCK_STREAM);
    socklen_t len = to.ss_family == AF_INET ? sizeof(sockaddr_in) : sizeof(sockaddr_in6);
    EXPECT_EQ(::connect(client, Sa(target), len), 0);
    *server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    EXPECT_GE(*server, 0);
    if (*server >= 0) fds_.push_back(*server);
    return client;
  }

  std::vector<int> fds_;
};

TEST_F(OwnSocketTest, FindsItsOwnExecutableAndPid) {
  char exe[4096];
  ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
  ASSERT_GT(n, 0);
  std::string full(exe, static_cast<size_t>(n));
  for (char& c : full) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const uint32_t self = static_cast<uint32_t>(::getpid());

  int server = -1;
  int client = Connect(V4("127.0.0.1", 0), V4("127.0.0.1", 0), &server);
  std::string name;
  uint32_t pid = 0;
  ASSERT_TRUE(cxGetFlowProcessName(Sa(Name(client)), 6, &name, &pid, false));
  EXPECT_EQ(name, "cxwinutils_test");
  EXPECT_EQ(pid, self);
  ASSERT_TRUE(cxGetFlowProcessName(Sa(Name(server)), 6, &name, &pid, true));
  EXPECT_EQ(name, full);
  EXPECT_EQ(pid, self);

  int udp = Socket(AF_INET, SOCK_DGRAM);
  ASSERT_TRUE(Bind(udp, V4("127.0.0.1", 0)));
  pid = 0;
  ASSERT_TRUE(cxGetFlowProcessName(Sa(Name(udp)), 17, &name, &pid, false));
  EXPECT_EQ(name, "cxwinutils_test");
  EXPECT_EQ(pid, self);
}

TEST_F(OwnSocketTest, FindsDualStackConnectionByItsIpv4Address) {
  int probe = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) GTEST_SKIP() << "no IPv6 in this kernel";
  ::close(probe);
  // The accepted end lives in the IPv6 table as ::ffff:127.0.0.1.
  int server = -1;
  Connect(V6("::", 0), V4("127.0.0.1", 0), &server);
  ASSERT_GE(server, 0);
  sockaddr_storage mapped = Name(server);
  ASSERT_EQ(mapped.ss_family, AF_INET6);
  const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&mapped);
  ASSERT_TRUE(IN6_IS_ADDR_V4MAPPED(&in6->sin6_addr));
  EXPECT_EQ(cxGetTcpOwnerPid(Sa(V4("127.0.0.1", ntohs(in6->sin6_port)))),
            static_cast<uint32_t>(::getpid()));
}

}  // namespace
