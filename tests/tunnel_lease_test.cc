// The virtual-address lease end to end: `dovadod -console` in the client
// namespace of the tunnel fixture, on the example work directory's graph
// with an address manager (and a SNAT mapper) added and an overlay file
// without a static virtual address, and one test hub leasing addresses for
// 60 s from a pool. The test plays the tunnel adapter's owner: it puts each
// leased address on tarnif and owns the network-disconnect event. Needs root.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "platform/named_event/named_event.h"
#include "platform/shared_page/shared_page.h"
#include "tests/support/registry_values.h"
#include "tests/support/temp_root.h"
#include "tests/support/tunnel_fixture.h"

extern "C" char** environ;

namespace {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing::HasSubstr;
using testing_support::HubCtl;
using testing_support::ReadFile;
using testing_support::TunnelNetns;

constexpr char kTarnKey[] = "SOFTWARE\\Corvex\\tarn";
constexpr char kTenant[] = "tenant-a";
constexpr char kDisconnectEvent[] = "Global\\netdisconnect-61c66bde-6541-4b08-bed9-ab292de901b6";
constexpr char kClientOverlay[] = "100.64.0.10";
constexpr char kHubName[] = "huba";
constexpr char kHubWan[] = "198.51.100.1";
constexpr char kHubOverlay[] = "100.64.0.1";
constexpr char kFirstVip[] = "100.64.1.20";
constexpr char kSecondVip[] = "100.64.1.21";
constexpr int kPort = 443;

double Since(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// Polls `done` every 50 ms until it holds or `limit` passed.
bool WaitFor(const std::function<bool()>& done, milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  while (!done()) {
    if (steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return true;
}

class TunnelLeaseTest : public testing_support::TunnelTest {
 protected:
  void SetUp() override {
    TunnelTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    std::string error;
    certkit::LeafOptions leaf{
        kHubName, {kTenant}, {{certkit::SubjectAltName::Kind::kIp, kHubOverlay}}};
    ASSERT_TRUE(net_.MakeLeaf("ca", kHubName, leaf, &error)) << error;
    certkit::LeafOptions client{"client", {kTenant}, {}};
    ASSERT_TRUE(net_.MakeLeaf("ca", "client", client, &error)) << error;
    const testing_support::TestNetns& c = net_.client();
    ASSERT_TRUE(c.Ip({"link", "set", "dev", testing_support::kTunnelAdapter, "up"}));
    ASSERT_TRUE(c.Ip({"route", "add", "100.64.0.0/16", "dev", testing_support::kTunnelAdapter}));

    workdir_ = net_.path("work");
    std::filesystem::copy(DOVADOD_EXAMPLE_WORKDIR, workdir_);
    ASSERT_TRUE(net_.MakeWorkdir("ca", "client", "work", &error)) << error;
    std::ofstream(workdir_ + "/ostrel-exclusions.json") << R"({"virtual_interface_only": true})";
    std::ofstream(workdir_ + "/ostrel.graph", std::ios::app)
        << "\naddrMgmt :: OstAddrMgmt;\nsnatmap :: OstrelSNATIPMapper;\n";
    testing_support::SetRegText(kTarnKey, "workdir", workdir_);
    testing_support::SetRegText(kTarnKey, "tarnkatimeoutmsecs", "3000");

    json nexthop = {{{"ipv4", kHubOverlay},
                     {"wanip", kHubWan},
                     {"port", kPort},
                     {"pubkey", ReadFile(net_.path(std::string(kHubName) + "/pubkey.pem"))},
                     {"groupid", "g1"},
                     {"groupname", "hubs"}}};
    json remote = {{{"overlayIP", kHubOverlay},
                    {"roles", {{{"type", "DC"}}}},
                    {"groupid", "g1"},
                    {"groupname", "hubs"}}};
    json local = {
        {"overlayIP", kClientOverlay}, {"overlayNetmask", "255.255.0.0"}, {"tenantID", kTenant},
        {"siteid", "site-1"},          {"roles", {{{"type", "SPOKE"}}}},  {"nexthop", nexthop}};
    std::ofstream(workdir_ + "/ostrel-overlay.json")
        << json{{"local", local}, {"remote", remote}}.dump(2);
  }

  void TearDown() override {
    if (service_ > 0) {
      ::kill(service_, SIGKILL);
      ::waitpid(service_, nullptr, 0);
      service_ = -1;
    }
  }

  int StartHub() {
    json config = {{"wanip", kHubWan},
                   {"port", kPort},
                   {"overlay_ip", kHubOverlay},
                   {"cert", net_.path(std::string(kHubName) + "/cert.pem")},
                   {"key", net_.path(std::string(kHubName) + "/key.pem")},
                   {"ca", net_.path("ca/ca.pem")},
                   {"control", net_.path(std::string(kHubName) + ".sock")},
                   {"tun", kHubName},
                   {"vip_pool", kFirstVip},
                   {"vip_pool_size", 4},
                   {"lease_s", 60},
                   {"nameservers", "10.0.0.53"},
                   {"domain_list", "corp.example"}};
    std::string error;
    const int number = net_.StartHub(TESTHUB_PROGRAM, config.dump(), &error);
    EXPECT_GE(number, 0) << error;
    return number;
  }

  json Stats(int hub) {
    std::string answer, error;
    if (!HubCtl(net_.HubControl(hub), "stats", &answer, &error)) {
      ADD_FAILURE() << "hub " << hub << ": " << error;
      return json::object();
    }
    return json::parse(answer, nullptr, false);
  }

  void Ctl(int hub, const std::string& command) {
    std::string answer, error;
    EXPECT_TRUE(HubCtl(net_.HubControl(hub), command, &answer, &error)) << error;
    EXPECT_THAT(answer, HasSubstr("\"ok\":true")) << command;
  }

  // Runs the service in c with the real kernel views and the netfilter
  // backend; waits for its packet thread.
  void StartService() {
    started_ = steady_clock::now();
    const std::string log = net_.path("console.log");
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(out, 0);
    const int ns = ::open(("/run/netns/" + net_.client().name()).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(ns, 0);
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      if (entry.rfind("NOTIFY_SOCKET=", 0) == 0 || entry.rfind("DOVADOD_SYSROOT=", 0) == 0 ||
          entry.rfind("DOVADOD_DIVERT=", 0) == 0) {
        continue;
      }
      env.push_back(entry);
    }
    env.push_back("DOVADOD_SYSROOT=/");
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    char program[] = DOVADOD_PROGRAM;
    char console[] = "-console";
    char* argv[] = {program, console, nullptr};
    const pid_t parent = ::getpid();
    service_ = ::fork();
    if (service_ == 0) {
      ::prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (::getppid() != parent || ::setns(ns, CLONE_NEWNET) != 0) ::_exit(126);
      ::dup2(out, STDOUT_FILENO);
      ::dup2(out, STDERR_FILENO);
      ::execve(program, argv, envp.data());
      ::_exit(127);
    }
    ::close(out);
    ::close(ns);
    ASSERT_GT(service_, 0);
    ASSERT_TRUE(WaitFor(
        [&] {
          return Running() && Log().find("consumer packet thread started.") != std::string::npos;
        },
        seconds(20)))
        << "dovadod not up\n"
        << Log();
  }

  bool Running() {
    if (service_ <= 0) return false;
    int status = 0;
    if (::waitpid(service_, &status, WNOHANG) == 0) return true;
    service_ = -1;
    return false;
  }

  // SIGTERM; the exit code once it ended within `limit`, else -1 (killed).
  int StopService(seconds limit = seconds(15)) {
    if (service_ <= 0) return -1;
    ::kill(service_, SIGTERM);
    int status = 0;
    const auto deadline = steady_clock::now() + limit;
    while (::waitpid(service_, &status, WNOHANG) == 0) {
      if (steady_clock::now() >= deadline) {
        ::kill(service_, SIGKILL);
        ::waitpid(service_, nullptr, 0);
        service_ = -1;
        return -1;
      }
      std::this_thread::sleep_for(milliseconds(50));
    }
    service_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }

  std::string Log() const { return ReadFile(net_.path("console.log")); }

  // The path-statistics page's text, as another process reads it.
  static std::string PageText() {
    const std::string page = ReadFile(platform::SharedPage::page_path("Global\\shmgraphpathstats"));
    if (page.size() < 5) return "";
    return std::string(page.c_str() + 4);
  }

  static bool PageShowsVip(const char* vip) {
    return PageText().find(std::string("\"dsps_uservip\":\"") + vip + "\"") != std::string::npos;
  }

  // `count` echo requests from `from` to the hub's overlay address; the
  // replies received.
  int Ping(const char* from, int count) {
    int code = -1;
    const std::string out = TunnelNetns::Run(&net_.client(),
                                             {"ping", "-n", "-q", "-c", std::to_string(count), "-i",
                                              "0.2", "-W", "2", "-I", from, kHubOverlay},
                                             &code, seconds(30));
    int sent = 0, received = 0;
    const size_t at = out.find(" packets transmitted, ");
    if (at == std::string::npos) return 0;
    size_t start = out.rfind('\n', at);
    start = start == std::string::npos ? 0 : start + 1;
    std::sscanf(out.c_str() + start, "%d packets transmitted, %d", &sent, &received);
    return received;
  }

  // The hub's one client, or null.
  static const json* HubClient(const json& stats) {
    if (!stats.contains("clients") || stats["clients"].size() != 1) return nullptr;
    return &stats["clients"][0];
  }

  std::string workdir_;
  pid_t service_ = -1;
  steady_clock::time_point started_;
  testing_support::TempRoot root_;
};

// S7: the leased address shows on the page without a FIFO byte (the first
// address of a run), carries pings once the owner put it on tarnif, is
// renewed (type 5) at half its 60 s lease, and a refresh asked by the hub
// brings a new address: one FIFO byte, its NAPT line, the page updated, and
// pings from the new address.
TEST_F(TunnelLeaseTest, LeasedAddressIsRenewedAndReplacedOnRefresh) {
  platform::NamedEventOwner disconnect;
  ASSERT_EQ(disconnect.create(kDisconnectEvent), 0u);
  const int hub = StartHub();
  ASSERT_GE(hub, 0);
  ASSERT_NO_FATAL_FAILURE(StartService());

  ASSERT_TRUE(WaitFor([] { return PageShowsVip(kFirstVip); }, seconds(20))) << PageText() << "\n"
                                                                            << Log();
  const auto leased = steady_clock::now();
  EXPECT_FALSE(disconnect.wait(0)) << "the first address of a run signals nothing";
  const testing_support::TestNetns& c = net_.client();
  ASSERT_TRUE(c.Ip(
      {"addr", "add", std::string(kFirstVip) + "/32", "dev", testing_support::kTunnelAdapter}));
  json s = Stats(hub);
  const json* client = HubClient(s);
  ASSERT_NE(client, nullptr) << s.dump();
  EXPECT_EQ((*client)["vip"], kFirstVip) << s.dump();
  int code = -1;
  EXPECT_THAT(TunnelNetns::Run(&net_.hub(), {"ip", "route", "show", "dev", kHubName}, &code),
              HasSubstr(kFirstVip));
  EXPECT_EQ(Ping(kFirstVip, 3), 3) << Log();

  ASSERT_TRUE(WaitFor(
      [&] {
        const json now = Stats(hub);
        const json* cl = HubClient(now);
        return cl != nullptr && (*cl)["am_types"].contains("5");
      },
      seconds(40)))
      << Stats(hub).dump() << "\n"
      << Log();
  const double renew_after = Since(leased);
  EXPECT_GT(renew_after, 24.0);
  EXPECT_LT(renew_after, 36.0);

  Ctl(hub, "amcode 3");
  ASSERT_TRUE(WaitFor([] { return PageShowsVip(kSecondVip); }, seconds(15))) << PageText() << "\n"
                                                                             << Log();
  EXPECT_TRUE(disconnect.wait(2000));
  EXPECT_FALSE(disconnect.wait(0)) << "one byte for the change";
  EXPECT_THAT(Log(), HasSubstr(std::string("OstAddrMgmt: Add NAPT for ") + kSecondVip));
  ASSERT_TRUE(c.Ip(
      {"addr", "add", std::string(kSecondVip) + "/32", "dev", testing_support::kTunnelAdapter}));
  EXPECT_EQ(Ping(kSecondVip, 3), 3) << Log();
  std::printf("renewal %.1f s after the lease\n", renew_after);
}

}  // namespace
