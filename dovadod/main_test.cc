// The command line of the built program, run as a child process in a
// temporary root.
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/registry_values.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_datagram.h"

using testing_support::ExpectInOrder;

namespace {

using testing_support::ReadFile;
using testing_support::TempRoot;

constexpr char kStartBanner[] = "======= tarnclient 1.0.0.0 starting ======";
constexpr char kExitBanner[] = "======= tarnclient 1.0.0.0 exiting ======";
constexpr uid_t kNobody = 65534;
constexpr char kStartHint[] =
    "dovadod: not started by systemd; run it in the foreground with -console, or install the "
    "systemd unit with -install\n";

struct ChildResult {
  int exitCode = -1;
  std::string out;
};

extern "C" char** environ;

struct SpawnOptions {
  bool asNobody = false;
  std::string stderrPath;           // standard error to this file when set
  std::vector<std::string> prefix;  // a command the program runs under
  std::vector<std::string> env;     // more NAME=value entries
};

// Starts the program with `args`; standard output goes to `stdoutFd` (when
// not negative). NOTIFY_SOCKET is dropped, so the service mode behaves as
// when started by hand.
pid_t Spawn(const std::vector<std::string>& args, const SpawnOptions& options, int stdoutFd) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "NOTIFY_SOCKET=", 14) != 0) env.emplace_back(*e);
  }
  env.insert(env.end(), options.env.begin(), options.env.end());
  std::vector<std::string> words = options.prefix;
  words.push_back(DOVADOD_PROGRAM);
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  int errFd = -1;
  if (!options.stderrPath.empty()) {
    errFd = ::open(options.stderrPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (errFd < 0) return -1;
  }
  pid_t pid = ::fork();
  if (pid == 0) {
    if (stdoutFd >= 0) ::dup2(stdoutFd, STDOUT_FILENO);
    if (errFd >= 0) ::dup2(errFd, STDERR_FILENO);
    if (options.asNobody &&
        (::setgroups(0, nullptr) != 0 || ::setresgid(kNobody, kNobody, kNobody) != 0 ||
         ::setresuid(kNobody, kNobody, kNobody) != 0)) {
      ::_exit(126);
    }
    ::execvpe(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  if (errFd >= 0) ::close(errFd);
  return pid;
}

int WaitExit(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs the program to its end with standard output captured.
ChildResult RunProgram(const std::vector<std::string>& args, const SpawnOptions& options = {}) {
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return {};
  pid_t pid = Spawn(args, options, pipeFds[1]);
  ::close(pipeFds[1]);
  ChildResult result;
  char buffer[4096];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) result.out.append(buffer, n);
  ::close(pipeFds[0]);
  if (pid < 0) return result;
  result.exitCode = WaitExit(pid);
  return result;
}

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The install commands write under the root: never let them reach "/".
    ASSERT_STRNE(std::getenv("DOVADOD_ROOT"), "/");
  }

  // The modes past the administrator check need root.
  static bool IsRoot() { return ::geteuid() == 0; }

  std::string Log() const {
    return ReadFile(root_.file("var/log/Corvex/pellar/Logs/cxtarndebuglog.log"));
  }
  std::string UnitPath() const { return root_.file("etc/systemd/system/vedoRororeSvc.service"); }

  TempRoot root_;
};

struct ModeCase {
  std::vector<std::string> args;
  std::string out;
  bool dispatcher;  // the service mode ran: banners and the dispatcher's 1063
};

TEST_F(CommandLineTest, ModesByArguments) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  const ModeCase cases[] = {
      // Only the exact, lower-case switch installs; one more argument is ignored.
      {{"-INSTALL"}, "", true},
      {{"-install", "x"}, "", true},
      // Three arguments are only ever the NAT commands.
      {{"-install", "a", "b"}, "", false},
      {{"-natinstall", "abc", "10"}, "invalid parametersFAILED start_port:0 num:10", false},
      {{"-natlookup", "1024", "10"}, "failed. startport:1024 num:10", false},
  };
  for (const ModeCase& c : cases) {
    SCOPED_TRACE(c.args[0] + " with " + std::to_string(c.args.size()) + " arguments");
    std::filesystem::remove_all(root_.file("var/log"));
    ChildResult r = RunProgram(c.args);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, c.out);
    std::string log = Log();
    EXPECT_EQ(log.find(kStartBanner) != std::string::npos, c.dispatcher) << log;
    EXPECT_EQ(log.find(kExitBanner) != std::string::npos, c.dispatcher) << log;
    EXPECT_EQ(log.find("StartServiceCtrlDispatcher failed, err: 1063") != std::string::npos,
              c.dispatcher)
        << log;
    EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  }
}

TEST_F(CommandLineTest, RunByHandPointsToConsoleAndInstall) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  const std::vector<std::string> cases[] = {
      {},
      {"-h"},
      {"--help"},
      {"-Console"},
      // Three arguments are a port command; an unknown one does nothing.
      {"a", "b", "c"},
      {"a", "b", "c", "d"},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string shown;
    for (const std::string& a : args) shown += " " + a;
    SCOPED_TRACE("dovadod" + shown);
    SpawnOptions options;
    options.stderrPath = root_.file("hint.err");
    ChildResult r = RunProgram(args, options);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ReadFile(options.stderrPath), kStartHint);
  }
  // A port command is no run by hand that went astray.
  SpawnOptions options;
  options.stderrPath = root_.file("hint.err");
  EXPECT_EQ(RunProgram({"-natlookup", "1024", "10"}, options).exitCode, 0);
  EXPECT_EQ(ReadFile(options.stderrPath), "");
}

// A failed install or uninstall says why; the unit directory or file is made
// unusable in the temporary root.
TEST_F(CommandLineTest, InstallAndUninstallFailuresNameTheUnitAndError) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  const struct {
    const char* mode;
    std::string blocker;  // a directory here stands in the way
    std::string file;     // a file here stands in the way
  } cases[] = {
      {"-install", "", root_.file("etc/systemd/system")},
      {"-uninstall", UnitPath(), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.mode);
    std::filesystem::remove_all(root_.file("etc"));
    std::filesystem::create_directories(root_.file("etc/systemd"));
    if (!c.blocker.empty()) std::filesystem::create_directories(c.blocker);
    if (!c.file.empty()) testing_support::WriteFile(c.file, "");
    SpawnOptions options;
    options.stderrPath = root_.file("service.err");
    EXPECT_EQ(RunProgram({c.mode}, options).exitCode, 1);
    std::string err = ReadFile(options.stderrPath);
    const std::string prefix = "dovadod: " + UnitPath() + ": error ";
    EXPECT_EQ(err.rfind(prefix, 0), 0u) << err;
    EXPECT_GT(err.size(), prefix.size() + 1) << err;
    EXPECT_EQ(err.back(), '\n');
  }
  std::filesystem::remove_all(root_.file("etc"));
}

TEST_F(CommandLineTest, InstallWritesUnitOnceAndUninstallRemovesIt) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  std::string program = std::filesystem::canonical(DOVADOD_PROGRAM).string();
  const std::string expected =
      "[Unit]\n"
      "Description=Corvex TARN Client Tunnel Service\n"
      "StartLimitIntervalSec=86400\n"
      "StartLimitBurst=3\n"
      "\n"
      "[Service]\n"
      "Type=notify\n"
      "ExecStart=\"" +
      program +
      "\"\n"
      "Restart=always\n"
      "RestartSec=60\n"
      "\n"
      "[Install]\n"
      "WantedBy=multi-user.target\n";

  SpawnOptions options;
  options.stderrPath = root_.file("service.err");
  ChildResult first = RunProgram({"-install"}, options);
  EXPECT_EQ(first.exitCode, 0);
  EXPECT_EQ(ReadFile(UnitPath()), expected);
  EXPECT_EQ(ReadFile(options.stderrPath), "");

  ChildResult second = RunProgram({"-install"}, options);
  EXPECT_EQ(second.exitCode, 1);
  EXPECT_EQ(ReadFile(UnitPath()), expected);
  EXPECT_EQ(ReadFile(options.stderrPath), "already installed\n");

  ChildResult removed = RunProgram({"-uninstall"}, options);
  EXPECT_EQ(removed.exitCode, 0);
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_EQ(ReadFile(options.stderrPath), "");

  ChildResult again = RunProgram({"-uninstall"}, options);
  EXPECT_EQ(again.exitCode, 1);
  EXPECT_EQ(ReadFile(options.stderrPath), "not installed\n");

  std::string log = Log();
  EXPECT_NE(log.find("Tarn Client Service installed"), std::string::npos) << log;
  EXPECT_NE(log.find("CreateService failed, err: 1073"), std::string::npos) << log;
  EXPECT_NE(log.find("Tarn Client Service installation failed"), std::string::npos) << log;
  EXPECT_NE(log.find("Tarn Client Service uninstalled"), std::string::npos) << log;
  EXPECT_NE(log.find("Tarn Client Service uninstallation failed"), std::string::npos) << log;
  // These modes return straight away: no exit banner.
  EXPECT_EQ(log.find(kExitBanner), std::string::npos) << log;
}

TEST_F(CommandLineTest, NonAdministratorIsRefused) {
  // As root the child drops to nobody; otherwise it already is not root.
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-install"}, {"-console"}, {"-natinstall", "20000", "10"}}) {
    SCOPED_TRACE(args[0]);
    SpawnOptions options;
    options.asNobody = IsRoot();
    ChildResult r = RunProgram(args, options);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.out, "User does not have admin rights! \n");
  }
  EXPECT_FALSE(std::filesystem::exists(UnitPath()));
  EXPECT_FALSE(std::filesystem::exists(root_.file("var/lib/dovadod/port-reservations")));
}

bool WaitForText(const std::string& path, const std::string& text,
                 std::chrono::milliseconds limit) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (ReadFile(path).find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

// A foreground run in a network namespace of its own (loopback up, for the
// IPC port) on the simulated capture backend: nothing of this machine's
// network is touched.
SpawnOptions ConsoleOptions(const TempRoot& root) {
  SpawnOptions options;
  options.stderrPath = root.file("console.err");
  options.prefix = {"unshare", "-n", "sh", "-c", "ip link set lo up && exec \"$0\" \"$@\""};
  options.env = {"DOVADOD_DIVERT=simulated"};
  return options;
}

TEST_F(CommandLineTest, ConsoleRunStopsInOrderOnSignal) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  testing_support::SetRegText("SOFTWARE\\Corvex\\tarn", "workdir", DOVADOD_EXAMPLE_WORKDIR);
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(strsignal(signal));
    SpawnOptions options = ConsoleOptions(root_);
    pid_t pid = Spawn({"-console"}, options, -1);
    ASSERT_GT(pid, 0);
    // The consumer starts once the router thread is parked in the capture element.
    bool parked = WaitForText(options.stderrPath, "consumer packet thread started.",
                              std::chrono::seconds(20));
    EXPECT_TRUE(parked) << ReadFile(options.stderrPath);
    ::kill(pid, signal);
    auto signalled = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitExit(pid), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, std::chrono::seconds(3));
    std::string err = ReadFile(options.stderrPath);
    ExpectInOrder(err, {"Received request to stop the DovaDod", "Stopped Event signaled",
                        "Tarn Client service main thread exiting", kExitBanner});
    EXPECT_EQ(err.find("did not exit in time"), std::string::npos) << err;
  }
}

TEST_F(CommandLineTest, ConsoleWithoutRouterEndsWithExitCodeOne) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  // No work directory in the store: nothing to run.
  SpawnOptions options = ConsoleOptions(root_);
  ChildResult r = RunProgram({"-console"}, options);
  EXPECT_EQ(r.exitCode, 1);
  std::string err = ReadFile(options.stderrPath);
  EXPECT_NE(err.find("failed to get tarn config path"), std::string::npos) << err;
  EXPECT_NE(err.find("graphmgr the work directory is the value \"workdir\" of the settings key "
                     "HKLM\\SOFTWARE\\Corvex\\tarn; set it with: dovadod-reg set "
                     "'HKLM\\SOFTWARE\\Corvex\\tarn' workdir REG_SZ <work directory>\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(kExitBanner), std::string::npos) << err;
  EXPECT_EQ(err.find("Stopped Event signaled"), std::string::npos) << err;
}

TEST_F(CommandLineTest, ServiceModeReportsReadyAndStopping) {
  if (!IsRoot()) GTEST_SKIP() << "needs root";
  testing_support::SetRegText("SOFTWARE\\Corvex\\tarn", "workdir", DOVADOD_EXAMPLE_WORKDIR);
  testing_support::DatagramReceiver notify(root_.file("notify.sock"));
  ASSERT_TRUE(notify.ok());

  SpawnOptions options = ConsoleOptions(root_);
  options.env.push_back("NOTIFY_SOCKET=" + notify.path());
  pid_t pid = Spawn({}, options, -1);
  ASSERT_GT(pid, 0);
  std::string seen;
  EXPECT_TRUE(notify.WaitFor("READY=1", std::chrono::seconds(20), &seen)) << seen;
  // Stopped once the capture runs, so that the stop takes the whole packet
  // path down.
  EXPECT_TRUE(WaitForText(root_.file("var/log/Corvex/pellar/Logs/cxtarndebuglog.log"),
                          "consumer packet thread started.", std::chrono::seconds(20)));
  ::kill(pid, SIGTERM);
  EXPECT_TRUE(notify.WaitFor("STOPPING=1", std::chrono::seconds(3), &seen)) << seen;
  EXPECT_EQ(WaitExit(pid), 0);
  std::string log = Log();
  ExpectInOrder(log,
                {"vedororore OnInit!", "Received stop event from service control",
                 "Received request to stop the DovaDod", "Stopped Event signaled", kExitBanner});
}

}  // namespace
