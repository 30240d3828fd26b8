#include "tests/support/tunnel_fixture.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace testing_support {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

constexpr char kClientTag[] = "tunc";
constexpr char kHubTag[] = "tunh";
constexpr size_t kMaxAnswer = 1 << 20;

bool Fail(std::string* error, const std::string& reason) {
  if (error != nullptr) *error = reason;
  return false;
}

int StatusCode(int status) {
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  return static_cast<bool>(out.flush());
}

std::vector<char*> Argv(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  return argv;
}

// Runs in the forked child before exec: only async-signal-safe calls.
void EnterAndExec(int netns_fd, int out_fd, char** argv, bool die_with_parent, pid_t parent) {
  if (die_with_parent) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(126);
  }
  ::setpgid(0, 0);
  if (netns_fd >= 0 && ::setns(netns_fd, CLONE_NEWNET) != 0) ::_exit(126);
  int null_fd = ::open("/dev/null", O_RDONLY);
  if (null_fd < 0 || ::dup2(null_fd, STDIN_FILENO) < 0) ::_exit(126);
  if (::dup2(out_fd, STDOUT_FILENO) < 0 || ::dup2(out_fd, STDERR_FILENO) < 0) ::_exit(126);
  ::execvp(argv[0], argv);
  ::_exit(127);
}

int OpenNetns(const TestNetns* netns) {
  if (netns == nullptr) return -1;
  return ::open(("/run/netns/" + netns->name()).c_str(), O_RDONLY | O_CLOEXEC);
}

// Namespaces named "dovadod-<tag>-<pid>-<n>" whose process is gone: what a
// test that crashed left.
void RemoveStaleNamespaces() {
  DIR* dir = ::opendir("/run/netns");
  if (dir == nullptr) return;
  std::vector<std::string> stale;
  while (dirent* entry = ::readdir(dir)) {
    std::string name = entry->d_name;
    for (const char* tag : {kClientTag, kHubTag}) {
      std::string prefix = std::string("dovadod-") + tag + "-";
      if (name.rfind(prefix, 0) != 0) continue;
      pid_t pid = static_cast<pid_t>(std::atol(name.c_str() + prefix.size()));
      if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) stale.push_back(name);
    }
  }
  ::closedir(dir);
  for (const std::string& name : stale) RunProgram({"ip", "netns", "del", name});
}

std::string RootDir() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/dovadod-tunnel-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) return {};
  return pattern;
}

// Connects to the stream socket at `path`; -1 with errno set when it cannot.
int ConnectUnix(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) {
    errno = ENAMETOOLONG;
    return -1;
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    return -1;
  }
  return fd;
}

}  // namespace

TunnelNetns::~TunnelNetns() {
  for (size_t i = 0; i < hubs_.size(); ++i) StopHub(static_cast<int>(i));
  client_.reset();
  hub_.reset();
  if (!root_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
}

bool TunnelNetns::Up(std::string* error) {
  if (::geteuid() != 0) return Fail(error, "needs root: makes network namespaces");
  RemoveStaleNamespaces();
  client_ = std::make_unique<TestNetns>(kClientTag);
  hub_ = std::make_unique<TestNetns>(kHubTag);
  if (!client_->created() || !hub_->created()) return Fail(error, "ip netns add failed");
  const TestNetns& c = *client_;
  const TestNetns& h = *hub_;
  std::string prefix = std::string(kTunnelClientAddress) + "/24";
  std::string hub_prefix = std::string(kTunnelHubAddress) + "/24";
  struct Step {
    const TestNetns& ns;
    std::vector<std::string> args;
  };
  const std::vector<Step> steps = {
      {c, {"link", "add", "c0", "type", "veth", "peer", "name", "h0", "netns", h.name()}},
      {c, {"link", "set", "lo", "up"}},
      {h, {"link", "set", "lo", "up"}},
      {c, {"addr", "add", prefix, "dev", "c0"}},
      {h, {"addr", "add", hub_prefix, "dev", "h0"}},
      {c, {"link", "set", "c0", "up"}},
      {h, {"link", "set", "h0", "up"}},
      {c, {"route", "add", "default", "via", kTunnelHubAddress, "dev", "c0"}},
      {c, {"tuntap", "add", "dev", kTunnelAdapter, "mode", "tun"}},
      {c, {"link", "set", "dev", kTunnelAdapter, "mtu", "1300", "alias", kTunnelAdapterAlias}},
  };
  for (const Step& step : steps) {
    if (step.ns.Ip(step.args)) continue;
    std::string text = "ip -n " + step.ns.name();
    for (const std::string& arg : step.args) text += " " + arg;
    return Fail(error, text + " failed");
  }

  root_ = RootDir();
  if (root_.empty()) return Fail(error, std::string("mkdtemp: ") + std::strerror(errno));
  return MakeCa("ca", {}, error);
}

std::string TunnelNetns::path(const std::string& relative) const { return root_ + "/" + relative; }

bool TunnelNetns::AddHubAddress(const std::string& address, std::string* error) {
  if (hub_->Ip({"addr", "add", address + "/24", "dev", "h0"})) return true;
  return Fail(error, "cannot add " + address + " to h0");
}

bool TunnelNetns::MakeCa(const std::string& name, const certkit::CaOptions& options,
                         std::string* error) {
  return certkit::MakeCa(path(name), options, error);
}

bool TunnelNetns::MakeLeaf(const std::string& ca, const std::string& name,
                           const certkit::LeafOptions& options, std::string* error) {
  return certkit::MakeLeaf(path(ca), path(name), options, error);
}

bool TunnelNetns::MakeWorkdir(const std::string& ca, const std::string& leaf,
                              const std::string& workdir, std::string* error) {
  return certkit::MakeWorkdir(path(ca), path(leaf), path(workdir), error);
}

int TunnelNetns::StartHub(const std::string& program, const std::string& config, std::string* error,
                          milliseconds timeout) {
  int number = static_cast<int>(hubs_.size());
  std::string base = path("hub" + std::to_string(number));
  Hub hub;
  hub.log = base + ".log";
  // Only the socket path is needed here; the hub itself judges the rest.
  nlohmann::json parsed = nlohmann::json::parse(config, nullptr, false);
  if (parsed.is_object() && parsed.contains("control") && parsed["control"].is_string())
    hub.control = parsed["control"].get<std::string>();
  if (hub.control.empty()) {
    Fail(error, "the configuration names no \"control\" socket");
    return -1;
  }
  std::string config_path = base + ".json";
  if (!WriteText(config_path, config)) {
    Fail(error, "cannot write " + config_path);
    return -1;
  }

  int log_fd = ::open(hub.log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  int ns_fd = OpenNetns(hub_.get());
  std::vector<std::string> args = {program, config_path};
  std::vector<char*> argv = Argv(args);
  pid_t parent = ::getpid();
  pid_t pid = log_fd >= 0 && ns_fd >= 0 ? ::fork() : -1;
  if (pid == 0) EnterAndExec(ns_fd, log_fd, argv.data(), true, parent);
  if (log_fd >= 0) ::close(log_fd);
  if (ns_fd >= 0) ::close(ns_fd);
  if (pid < 0) {
    Fail(error, "cannot start " + program);
    return -1;
  }
  hub.pid = pid;
  hubs_.push_back(hub);

  steady_clock::time_point deadline = steady_clock::now() + timeout;
  while (true) {
    int fd = ConnectUnix(hub.control);
    if (fd >= 0) {
      ::close(fd);
      return number;
    }
    if (WaitHub(number, milliseconds(0)) >= 0) {
      Fail(error, program + " ended with status " + std::to_string(hubs_[number].status) +
                      " before answering; its output:\n" + HubLog(number));
      return -1;
    }
    if (steady_clock::now() >= deadline) break;
    std::this_thread::sleep_for(milliseconds(20));
  }
  StopHub(number, milliseconds(0));
  Fail(error, program + " did not answer on " + hub.control + "; its output:\n" + HubLog(number));
  return -1;
}

pid_t TunnelNetns::HubPid(int hub) const { return hubs_.at(hub).pid; }

std::string TunnelNetns::HubControl(int hub) const { return hubs_.at(hub).control; }

std::string TunnelNetns::HubLog(int hub) const { return Slurp(hubs_.at(hub).log); }

int TunnelNetns::WaitHub(int hub, milliseconds timeout) {
  Hub& h = hubs_.at(hub);
  if (h.status >= 0 || h.pid < 0) return h.status;
  steady_clock::time_point deadline = steady_clock::now() + timeout;
  while (true) {
    int status = 0;
    pid_t done = ::waitpid(h.pid, &status, WNOHANG);
    if (done == h.pid) {
      h.status = StatusCode(status);
      return h.status;
    }
    if (done < 0 && errno != EINTR) {
      h.status = 255;  // not ours to wait for any more
      return h.status;
    }
    if (steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(milliseconds(10));
  }
}

int TunnelNetns::StopHub(int hub, milliseconds timeout) {
  Hub& h = hubs_.at(hub);
  if (h.pid < 0 || h.status >= 0) return h.status;
  ::kill(h.pid, SIGTERM);
  int status = WaitHub(hub, timeout);
  if (status >= 0) return status;
  ::kill(h.pid, SIGKILL);
  return WaitHub(hub, std::chrono::seconds(10));
}

std::string TunnelNetns::Run(const TestNetns* netns, const std::vector<std::string>& args,
                             int* exit_code, milliseconds timeout) {
  if (exit_code != nullptr) *exit_code = -1;
  int fds[2];
  if (args.empty() || ::pipe2(fds, O_CLOEXEC) != 0) return {};
  int ns_fd = OpenNetns(netns);
  std::vector<char*> argv = Argv(args);
  pid_t pid = netns == nullptr || ns_fd >= 0 ? ::fork() : -1;
  if (pid == 0) EnterAndExec(ns_fd, fds[1], argv.data(), false, 0);
  ::close(fds[1]);
  if (ns_fd >= 0) ::close(ns_fd);
  if (pid < 0) {
    ::close(fds[0]);
    return {};
  }

  std::string out;
  bool timed_out = false;
  steady_clock::time_point deadline = steady_clock::now() + timeout;
  while (true) {
    auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
    if (left.count() <= 0) {
      timed_out = true;
      break;
    }
    pollfd p{fds[0], POLLIN, 0};
    int ready = ::poll(&p, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(fds[0], buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buffer, static_cast<size_t>(n));
  }
  ::close(fds[0]);
  // The process group: whatever the program started goes with it.
  if (timed_out) ::kill(-pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return out;
  }
  if (exit_code != nullptr && !timed_out) *exit_code = StatusCode(status);
  return out;
}

bool HubCtl(const std::string& socket, const std::string& command, std::string* answer,
            std::string* error, milliseconds timeout) {
  answer->clear();
  int fd = ConnectUnix(socket);
  if (fd < 0) return Fail(error, "cannot connect to " + socket + ": " + std::strerror(errno));
  std::string line = command + "\n";
  steady_clock::time_point deadline = steady_clock::now() + timeout;
  bool ok = true;
  for (size_t sent = 0; ok && sent < line.size();) {
    ssize_t n = ::send(fd, line.data() + sent, line.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno != EAGAIN && errno != EINTR) ok = false;
    auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
    pollfd p{fd, POLLOUT, 0};
    if (ok && (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) == 0)) ok = false;
  }
  if (!ok) {
    ::close(fd);
    return Fail(error, "cannot send to " + socket);
  }
  while (true) {
    size_t newline = answer->find('\n');
    if (newline != std::string::npos) {
      answer->resize(newline);
      ::close(fd);
      return true;
    }
    if (answer->size() > kMaxAnswer) break;
    auto left = std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    ssize_t n = ::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (n <= 0) break;
    answer->append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return Fail(error, "no answer line from " + socket + " (got \"" + *answer + "\")");
}

void TunnelTest::SetUp() {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: makes network namespaces";
  std::string error;
  ASSERT_TRUE(net_.Up(&error)) << error;
}

}  // namespace testing_support
