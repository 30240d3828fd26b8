#include "tests/support/tunnel_service.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "platform/shared_page/shared_page.h"
#include "tests/support/registry_values.h"
#include "tests/support/service_environment.h"

namespace testing_support {

using nlohmann::json;
using std::chrono::milliseconds;
using std::chrono::seconds;
using std::chrono::steady_clock;

double Since(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

bool WaitFor(const std::function<bool()>& done, milliseconds limit) {
  const auto deadline = steady_clock::now() + limit;
  while (!done()) {
    if (steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(milliseconds(50));
  }
  return true;
}

void TunnelServiceTest::TearDown() {
  if (service_ > 0) {
    ::kill(service_, SIGKILL);
    ::waitpid(service_, nullptr, 0);
    service_ = -1;
  }
}

void TunnelServiceTest::PrepareClient(const std::string& example) {
  std::string error;
  certkit::LeafOptions client{"client", {kTenant}, {}};
  ASSERT_TRUE(net_.MakeLeaf("ca", "client", client, &error)) << error;
  const TestNetns& c = net_.client();
  ASSERT_TRUE(c.Ip({"link", "set", "dev", kTunnelAdapter, "up"}));
  ASSERT_TRUE(c.Ip({"route", "add", "100.64.0.0/16", "dev", kTunnelAdapter}));

  workdir_ = net_.path("work");
  std::filesystem::copy(example, workdir_);
  ASSERT_TRUE(net_.MakeWorkdir("ca", "client", "work", &error)) << error;
  std::ofstream(workdir_ + "/ostrel-exclusions.json") << R"({"virtual_interface_only": true})";
  SetRegText(kTarnKey, "workdir", workdir_);
  SetRegText(kTarnKey, "tarnkatimeoutmsecs", "3000");
}

void TunnelServiceTest::MakeHubLeaf(const std::string& name, const std::string& overlay) {
  std::string error;
  certkit::LeafOptions leaf{name, {kTenant}, {{certkit::SubjectAltName::Kind::kIp, overlay}}};
  ASSERT_TRUE(net_.MakeLeaf("ca", name, leaf, &error)) << error;
}

int TunnelServiceTest::StartHub(const std::string& program, const std::string& name,
                                const std::string& wan, const std::string& overlay,
                                const json& extra) {
  json config = {{"wanip", wan},
                 {"port", kHubPort},
                 {"overlay_ip", overlay},
                 {"cert", net_.path(name + "/cert.pem")},
                 {"key", net_.path(name + "/key.pem")},
                 {"ca", net_.path("ca/ca.pem")},
                 {"control", net_.path(name + ".sock")},
                 {"tun", name}};
  for (const auto& [k, v] : extra.items()) config[k] = v;
  std::string error;
  const int number = net_.StartHub(program, config.dump(), &error);
  EXPECT_GE(number, 0) << error;
  return number;
}

json TunnelServiceTest::NextHop(const std::string& name, const std::string& wan,
                                const std::string& overlay) const {
  return {{"ipv4", overlay},  {"wanip", wan},
          {"port", kHubPort}, {"pubkey", ReadFile(net_.path(name + "/pubkey.pem"))},
          {"groupid", "g1"},  {"groupname", "hubs"}};
}

json TunnelServiceTest::RemoteHub(const std::string& overlay) {
  return {{"overlayIP", overlay},
          {"roles", {{{"type", "DC"}}}},
          {"groupid", "g1"},
          {"groupname", "hubs"}};
}

void TunnelServiceTest::PrepareHubSites(const std::string& example) {
  for (const HubSite& hub : {kHubA, kHubB}) {
    ASSERT_NO_FATAL_FAILURE(MakeHubLeaf(hub.name, hub.overlay));
  }
  std::string error;
  ASSERT_TRUE(net_.AddHubAddress(kHubB.wan, &error)) << error;
  ASSERT_NO_FATAL_FAILURE(PrepareClient(example));
  ASSERT_TRUE(
      net_.client().Ip({"addr", "add", std::string(kClientVip) + "/32", "dev", kTunnelAdapter}));
}

json TunnelServiceTest::Overlay(const std::vector<HubSite>& hubs, bool tls_only) const {
  json nexthop = json::array();
  json remote = json::array();
  for (const HubSite& hub : hubs) {
    nexthop.push_back(NextHop(hub.name, hub.wan, hub.overlay));
    remote.push_back(RemoteHub(hub.overlay));
  }
  json local = {{"overlayIP", kClientOverlay}, {"overlayNetmask", "255.255.0.0"},
                {"overlayVip", kClientVip},    {"tenantID", kTenant},
                {"tls_only", tls_only},        {"roles", {{{"type", "SPOKE"}}}},
                {"nexthop", nexthop}};
  return {{"local", local}, {"remote", remote}};
}

void TunnelServiceTest::WriteOverlay(const json& overlay) const {
  std::ofstream(workdir_ + "/ostrel-overlay.json") << overlay.dump(2);
}

int TunnelServiceTest::StartHub(const HubSite& hub, const json& extra) {
  json config = {{"clients", {{{"overlay", kClientOverlay}, {"vip", kClientVip}}}}};
  for (const auto& [k, v] : extra.items()) config[k] = v;
  return StartHub(hub_program_, hub.name, hub.wan, hub.overlay, config);
}

const json* TunnelServiceTest::Ready(const json& stats) {
  if (!stats.contains("connections")) return nullptr;
  for (const json& c : stats["connections"]) {
    if (c["established"] == true && c["rx_header"] == "16" && c["tx_header"] == "16") return &c;
  }
  return nullptr;
}

bool TunnelServiceTest::WaitReady(int hub, milliseconds limit) {
  return WaitFor([&] { return Ready(Stats(hub)) != nullptr; }, limit);
}

double TunnelServiceTest::WaitConnected(const HubSite& hub, const std::string& role, size_t nth,
                                        steady_clock::time_point from, milliseconds limit) {
  const std::string line = std::string(kConnectedLine) + "UFQDN/" + hub.overlay + "@";
  const bool ok = WaitFor(
      [&] {
        const std::string log = Log();
        size_t n = 0;
        for (size_t at = log.find(line); at != std::string::npos; at = log.find(line, at + 1)) {
          const size_t end = log.find('\n', at);
          if (log.substr(at, end - at).find("type: " + role + ",") != std::string::npos) ++n;
        }
        return n >= nth;
      },
      limit);
  return ok ? Since(from) : -1;
}

void TunnelServiceTest::InstallIpcClient(const std::string& client_peer) {
  const std::string folder = root_.file("bin");
  std::filesystem::create_directories(folder);
  const std::string program = folder + "/dovadod";
  const std::string client = folder + "/pellarui";
  for (const auto& [from, to] : {std::pair<std::string, std::string>{program_, program},
                                 std::pair<std::string, std::string>{client_peer, client}}) {
    std::error_code ec;
    // A link when the build shares the file system, else a copy.
    std::filesystem::create_hard_link(from, to, ec);
    if (ec) std::filesystem::copy_file(from, to, ec);
    ASSERT_FALSE(ec) << from << " -> " << to << ": " << ec.message();
  }
  program_ = program;
  ipc_client_ = client;
}

bool TunnelServiceTest::SendIpc(const std::string& subsystem, const std::string& command) {
  const json text = {{"65535", {{"command_subsystem", subsystem}, {"command", command}}}};
  int code = -1;
  const std::string out = TunnelNetns::Run(
      &net_.client(), {ipc_client_, "4444", "tunnel", "--wait-ms", "5000", text.dump()}, &code,
      seconds(10));
  EXPECT_EQ(out, "ack\ntext OK\n") << "exit " << code;
  return out == "ack\ntext OK\n";
}

void TunnelServiceTest::StartService() {
  started_ = steady_clock::now();
  const std::string log = net_.path("console.log");
  const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ASSERT_GE(out, 0);
  const int ns = ::open(("/run/netns/" + net_.client().name()).c_str(), O_RDONLY | O_CLOEXEC);
  if (ns < 0) ::close(out);
  ASSERT_GE(ns, 0);
  std::vector<std::string> env = ServiceEnvironment();
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::string program = program_;
  char console[] = "-console";
  char* argv[] = {program.data(), console, nullptr};
  const pid_t parent = ::getpid();
  service_ = ::fork();
  if (service_ == 0) {
    // Dies with the test, whichever way the test ends.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent || ::setns(ns, CLONE_NEWNET) != 0) ::_exit(126);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(out, STDERR_FILENO);
    ::execve(argv[0], argv, envp.data());
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
  packet_thread_ = steady_clock::now();
}

bool TunnelServiceTest::Running() {
  if (service_ <= 0) return false;
  int status = 0;
  if (::waitpid(service_, &status, WNOHANG) == 0) return true;
  service_ = -1;
  return false;
}

int TunnelServiceTest::StopService(seconds limit) {
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

std::string TunnelServiceTest::Log() const { return ReadFile(net_.path("console.log")); }

json TunnelServiceTest::Stats(int hub) {
  std::string answer, error;
  if (!HubCtl(net_.HubControl(hub), "stats", &answer, &error)) {
    ADD_FAILURE() << "hub " << hub << ": " << error;
    return json::object();
  }
  return json::parse(answer, nullptr, false);
}

void TunnelServiceTest::Ctl(int hub, const std::string& command) {
  std::string answer, error;
  EXPECT_TRUE(HubCtl(net_.HubControl(hub), command, &answer, &error)) << error;
  EXPECT_THAT(answer, testing::HasSubstr("\"ok\":true")) << command;
}

int TunnelServiceTest::PingFrom(const std::string& from, const std::string& to, int count,
                                const char* wait) {
  int code = -1;
  const std::string out = TunnelNetns::Run(
      &net_.client(),
      {"ping", "-n", "-q", "-c", std::to_string(count), "-i", "0.2", "-W", wait, "-I", from, to},
      &code, seconds(30));
  last_ping_ = out;
  int sent = 0, received = 0;
  const size_t at = out.find(" packets transmitted, ");
  if (at == std::string::npos) return 0;
  size_t start = out.rfind('\n', at);
  start = start == std::string::npos ? 0 : start + 1;
  std::sscanf(out.c_str() + start, "%d packets transmitted, %d", &sent, &received);
  return received;
}

std::string TunnelServiceTest::PageText() {
  // The page is rewritten in place and not cleared: only the length's worth
  // of text is current.
  const std::string page = ReadFile(platform::SharedPage::page_path("Global\\shmgraphpathstats"));
  if (page.size() < 4) return "";
  const uint32_t length = static_cast<uint8_t>(page[0]) | static_cast<uint8_t>(page[1]) << 8 |
                          static_cast<uint8_t>(page[2]) << 16 |
                          static_cast<uint32_t>(static_cast<uint8_t>(page[3])) << 24;
  if (length > page.size() - 4) return "";
  return page.substr(4, length);
}

}  // namespace testing_support
