// The tunnel fixture itself, without a real hub: the namespaces and what is
// in them, a datagram from c to a second hub address, hubs started in h and
// their control line, and that nothing is left after the fixture goes.
// Needs root.
#include "tests/support/tunnel_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

namespace {

using std::chrono::milliseconds;
using testing::HasSubstr;
using testing_support::HubCtl;
using testing_support::TestNetns;
using testing_support::TunnelNetns;
using testing_support::TunnelTest;

std::string IpOut(const TestNetns& ns, std::vector<std::string> args) {
  args.insert(args.begin(), {"ip", "-n", ns.name()});
  int code = -1;
  std::string out = TunnelNetns::Run(nullptr, args, &code);
  EXPECT_EQ(code, 0) << out;
  return out;
}

std::string HubConfig(const TunnelNetns& net, const std::string& extra = "") {
  return R"({"control": ")" + net.path("hub.ctl") + "\"" + extra + "}";
}

TEST_F(TunnelTest, MakesTheTwoNamespacesWithTheirLinksRouteAndAdapter) {
  const TestNetns& c = net_.client();
  const TestNetns& h = net_.hub();
  EXPECT_THAT(IpOut(c, {"-4", "-o", "addr", "show", "dev", "c0"}),
              HasSubstr("inet 198.51.100.10/24 "));
  EXPECT_THAT(IpOut(h, {"-4", "-o", "addr", "show", "dev", "h0"}),
              HasSubstr("inet 198.51.100.1/24 "));
  EXPECT_EQ(IpOut(c, {"route", "show", "default"}), "default via 198.51.100.1 dev c0 \n");
  std::string adapter = IpOut(c, {"-d", "link", "show", "dev", "tarnif"});
  EXPECT_THAT(adapter, HasSubstr(" mtu 1300 "));
  EXPECT_THAT(adapter, HasSubstr("alias WinTun Tunnel"));
  EXPECT_THAT(adapter, HasSubstr("tun type tun "));
  EXPECT_THAT(adapter, HasSubstr("persist on"));
  // The machine's own namespace has none of it.
  int code = -1;
  TunnelNetns::Run(nullptr, {"ip", "link", "show", "dev", "tarnif"}, &code);
  EXPECT_NE(code, 0);

  // A real datagram from c to a second hub address, over the veth pair.
  std::string error;
  ASSERT_TRUE(net_.AddHubAddress("198.51.100.2", &error)) << error;
  int receiver = -1;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  ::inet_pton(AF_INET, "198.51.100.2", &to.sin_addr);
  ASSERT_TRUE(h.RunInside([&] {
    receiver = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (::bind(receiver, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return;
    socklen_t len = sizeof to;
    ::getsockname(receiver, reinterpret_cast<sockaddr*>(&to), &len);
  }));
  ASSERT_GE(receiver, 0);
  ASSERT_NE(to.sin_port, 0);
  ASSERT_TRUE(c.RunInside([&] {
    int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ::sendto(sender, "ping", 4, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    ::close(sender);
  }));
  timeval tv{5, 0};
  ::setsockopt(receiver, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  char buffer[16];
  sockaddr_in from{};
  socklen_t len = sizeof from;
  ssize_t n =
      ::recvfrom(receiver, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &len);
  ::close(receiver);
  ASSERT_EQ(n, 4);
  char text[INET_ADDRSTRLEN];
  EXPECT_STREQ(::inet_ntop(AF_INET, &from.sin_addr, text, sizeof text), "198.51.100.10");
}

TEST_F(TunnelTest, CertificatesComeFromTheRootsCa) {
  std::string error;
  ASSERT_TRUE(net_.MakeLeaf("ca", "client", {.cn = "client", .ous = {"t"}}, &error)) << error;
  ASSERT_TRUE(net_.MakeWorkdir("ca", "client", "work", &error)) << error;
  EXPECT_TRUE(std::filesystem::exists(net_.path("work/secret/cacert.pem")));
  EXPECT_TRUE(std::filesystem::exists(net_.path("client/pubkey.pem")));
  ASSERT_TRUE(net_.MakeCa("other", {}, &error)) << error;
  ASSERT_TRUE(net_.MakeLeaf("other", "stranger", {.cn = "stranger"}, &error)) << error;
}

TEST_F(TunnelTest, HubsRunInTheHubNamespaceAndAnswerTheirControlLine) {
  std::string error;
  int hub = net_.StartHub(FAKE_HUB_PROGRAM, HubConfig(net_), &error);
  ASSERT_GE(hub, 0) << error;
  EXPECT_EQ(net_.HubControl(hub), net_.path("hub.ctl"));
  EXPECT_EQ(net_.HubLog(hub), "fake hub: listening\n");

  std::string answer;
  ASSERT_TRUE(HubCtl(net_.HubControl(hub), "netns", &answer, &error)) << error;
  struct stat h {};
  ASSERT_EQ(::stat(("/run/netns/" + net_.hub().name()).c_str(), &h), 0);
  EXPECT_EQ(answer, std::to_string(h.st_ino));
  ASSERT_TRUE(HubCtl(net_.HubControl(hub), "quit", &answer, &error)) << error;
  EXPECT_EQ(answer, "bye");
  EXPECT_EQ(net_.WaitHub(hub, std::chrono::seconds(5)), 0);
  EXPECT_FALSE(HubCtl(net_.HubControl(hub), "netns", &answer, &error));
  EXPECT_THAT(error, HasSubstr("cannot connect to " + net_.path("hub.ctl")));

  // A second one, stopped by the fixture: SIGTERM ends it.
  hub = net_.StartHub(FAKE_HUB_PROGRAM, HubConfig(net_), &error);
  ASSERT_GE(hub, 0) << error;
  EXPECT_EQ(net_.WaitHub(hub, milliseconds(0)), -1);
  EXPECT_EQ(net_.StopHub(hub), 128 + SIGTERM);

  // Programs run in c see c's addresses.
  int code = -1;
  std::string out = TunnelNetns::Run(&net_.client(), {"ip", "-4", "-o", "addr"}, &code);
  EXPECT_EQ(code, 0);
  EXPECT_THAT(out, HasSubstr("198.51.100.10/24"));
  EXPECT_THAT(out, testing::Not(HasSubstr("198.51.100.1/24")));
}

TEST_F(TunnelTest, HubsThatDoNotAnswerAreReported) {
  std::string error;
  EXPECT_EQ(net_.StartHub(FAKE_HUB_PROGRAM, HubConfig(net_, R"(, "exit": 3)"), &error), -1);
  EXPECT_THAT(error, HasSubstr("ended with status 3 before answering"));
  EXPECT_THAT(error, HasSubstr("fake hub: told to exit"));
  EXPECT_EQ(net_.StartHub(FAKE_HUB_PROGRAM, "{}", &error), -1);
  EXPECT_EQ(error, "the configuration names no \"control\" socket");
  // A program that never makes its socket is killed after the wait.
  EXPECT_EQ(net_.StartHub(FAKE_HUB_PROGRAM, HubConfig(net_, R"(, "mute": true)"), &error,
                          milliseconds(300)),
            -1);
  EXPECT_THAT(error, HasSubstr("did not answer on"));
  int code = 0;
  TunnelNetns::Run(nullptr, {"sleep", "5"}, &code, milliseconds(200));
  EXPECT_EQ(code, -1);
}

TEST(TunnelFixture, LeavesNothingBehind) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: makes network namespaces";
  std::string names[2];
  std::string root;
  pid_t pid = -1;
  {
    TunnelNetns net;
    std::string error;
    ASSERT_TRUE(net.Up(&error)) << error;
    names[0] = net.client().name();
    names[1] = net.hub().name();
    root = net.root();
    int hub = net.StartHub(FAKE_HUB_PROGRAM, HubConfig(net), &error);
    ASSERT_GE(hub, 0) << error;
    pid = net.HubPid(hub);
  }
  for (const std::string& name : names)
    EXPECT_FALSE(std::filesystem::exists("/run/netns/" + name)) << name;
  EXPECT_FALSE(std::filesystem::exists(root));
  errno = 0;
  EXPECT_NE(::kill(pid, 0), 0);
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
