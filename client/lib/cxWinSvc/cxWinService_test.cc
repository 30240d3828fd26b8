#include "client/lib/cxWinSvc/cxWinService.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/error/win_error.h"
#include "platform/service_control/recording_service_control.h"
#include "tests/support/started_log.h"
#include "tests/support/unix_datagram.h"

namespace sc = platform::service_control;
using testing_support::ReadFile;
using testing_support::StartedLog;
using testing_support::TempRoot;
using testing_support::WriteFile;

using testing_support::CountOf;

namespace {

constexpr char kName[] = "vedoRororeSvc";
constexpr char kDisplay[] = "Corvex TARN Client Tunnel Service";

class CountingService : public cxWinService {
 public:
  CountingService() : cxWinService(kName, kDisplay, kDisplay) {}

  bool OnInit(bool) override {
    if (onInit) return onInit();
    return true;
  }
  void OnStop() override { ++stops; }
  void OnPreShutdown() override { ++preShutdowns; }
  int OnUserControl(uint32_t control) override {
    userControls.push_back(control);
    return 1;
  }
  void OnSystemPowerDown() override { ++powerDowns; }
  void OnSystemPowerUp() override { ++powerUps; }
  void OnAOACSuspend() override { ++aoac; }
  void OnAOACWakeup() override { ++aoac; }
  void OnSessionChange(uint32_t eventType, WTSSESSION_NOTIFICATION* n) override {
    sessions.push_back(eventType * 1000 + (n == nullptr ? 999 : n->dwSessionId));
  }
  void OnPause() override { ++pauses; }
  bool AllowStopProtectedService() override { return allowProtectedStop; }
  void Run() override {
    ++runs;
    cxWinService::Run();
  }

  std::function<bool()> onInit;
  bool allowProtectedStop = true;
  int stops = 0, preShutdowns = 0, powerDowns = 0, powerUps = 0, aoac = 0, pauses = 0, runs = 0;
  std::vector<uint32_t> userControls;
  std::vector<uint32_t> sessions;
};

class ServiceBase : public testing::Test {
 protected:
  void SetUp() override { cxWinService::ResetCheckPointCounter(); }

  void Start() {
    dispatcher_ = std::thread([this] { started_ = service_.StartService(); });
    ASSERT_TRUE(scm_.wait_for_state(SERVICE_RUNNING));
  }
  uint32_t Control(uint32_t control, uint32_t eventType = 0, void* data = nullptr) {
    uint32_t answer = 0xDEAD;
    EXPECT_EQ(scm_.control(control, eventType, data, &answer), 0u);
    return answer;
  }
  void Finish() {
    if (dispatcher_.joinable()) dispatcher_.join();
  }
  void TearDown() override {
    if (dispatcher_.joinable()) {
      scm_.control(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
      dispatcher_.join();
    }
  }

  StartedLog log_{0x40};
  sc::RecordingServiceControl scm_;
  CountingService service_;
  std::thread dispatcher_;
  int started_ = -1;
};

TEST_F(ServiceBase, StartReportsPendingThenRunning) {
  std::mutex mu;
  std::condition_variable cv;
  bool release = false;
  bool inInit = false;
  service_.onInit = [&] {
    std::unique_lock<std::mutex> lock(mu);
    inInit = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
    return true;
  };
  dispatcher_ = std::thread([this] { started_ = service_.StartService(); });
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return inInit; });
  }
  // No control reaches a service that is still starting.
  EXPECT_EQ(scm_.control(SERVICE_CONTROL_STOP, 0, nullptr, nullptr),
            ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
    cv.notify_all();
  }
  ASSERT_TRUE(scm_.wait_for_state(SERVICE_RUNNING));
  EXPECT_EQ(scm_.registered_name(), kName);
  std::vector<SERVICE_STATUS> s = scm_.statuses();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].dwServiceType, SERVICE_WIN32_OWN_PROCESS);
  EXPECT_EQ(s[0].dwCurrentState, SERVICE_START_PENDING);
  EXPECT_EQ(s[0].dwCheckPoint, 1u);
  EXPECT_EQ(s[0].dwWaitHint, 30000u);
  EXPECT_EQ(s[0].dwControlsAccepted, 0u);
  EXPECT_EQ(s[1].dwCurrentState, SERVICE_RUNNING);
  EXPECT_EQ(s[1].dwCheckPoint, 0u);
  EXPECT_EQ(s[1].dwWaitHint, 0u);
  EXPECT_EQ(s[1].dwControlsAccepted, 0x1C1u);
  EXPECT_EQ(s[1].dwWin32ExitCode, 0u);
  EXPECT_TRUE(service_.Running());
  EXPECT_FALSE(service_.IsAOACDevice());
}

// Each of these stops the service: one STOP_PENDING, the stop handler once,
// no re-report from the handler, then STOPPED once Run has returned.
TEST(ServiceStop, StopControls) {
  StartedLog log(0x40);
  cxWinService::ResetCheckPointCounter();
  struct Case {
    uint32_t control;
    const char* line;
  } cases[] = {
      {SERVICE_CONTROL_STOP, "Received stop event from service control"},
      {136, "Received stop event from service control with service protection enabled"},
      {SERVICE_CONTROL_PRESHUTDOWN, "Received PreShutdown"},
  };
  uint32_t checkPoint = 2;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.control);
    sc::RecordingServiceControl scm;
    CountingService service;
    int started = -1;
    std::thread dispatcher([&] { started = service.StartService(); });
    ASSERT_TRUE(scm.wait_for_state(SERVICE_RUNNING));
    uint32_t answer = 0xDEAD;
    ASSERT_EQ(scm.control(c.control, 0, nullptr, &answer), 0u);
    EXPECT_EQ(answer, 0u);
    dispatcher.join();
    EXPECT_EQ(started, 1);
    std::vector<SERVICE_STATUS> s = scm.statuses();
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[2].dwCurrentState, SERVICE_STOP_PENDING);
    EXPECT_EQ(s[2].dwCheckPoint, checkPoint);  // the counter is shared, one per report
    EXPECT_EQ(s[2].dwWaitHint, 30000u);
    EXPECT_EQ(s[3].dwCurrentState, SERVICE_STOPPED);
    EXPECT_EQ(s[3].dwCheckPoint, 0u);
    EXPECT_EQ(s[3].dwWin32ExitCode, 0u);
    bool preShutdown = c.control == SERVICE_CONTROL_PRESHUTDOWN;
    EXPECT_EQ(service.stops, preShutdown ? 0 : 1);
    EXPECT_EQ(service.preShutdowns, preShutdown ? 1 : 0);
    EXPECT_FALSE(service.Running());
    EXPECT_NE(log.text().find(c.line), std::string::npos);
    checkPoint += 2;
  }
}

// Controls that leave the service running answer and re-report the state.
TEST_F(ServiceBase, OtherControlsReReportTheState) {
  Start();
  POWERBROADCAST_SETTING dimmed{GUID_MONITOR_POWER_ON, 1, {2}};
  WTSSESSION_NOTIFICATION session;
  session.dwSessionId = 3;
  struct Case {
    uint32_t control, eventType;
    void* data;
    uint32_t answer;
  } cases[] = {
      {128, 0, nullptr, 0},
      {129, 0, nullptr, 120},
      {SERVICE_CONTROL_PARAMCHANGE, 0, nullptr, 120},
      {255, 0, nullptr, 120},
      {SERVICE_CONTROL_POWEREVENT, PBT_APMSTANDBY, nullptr, 0},
      {SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMECRITICAL, nullptr, 0},
      {SERVICE_CONTROL_POWEREVENT, PBT_POWERSETTINGCHANGE, &dimmed, 0},
      {SERVICE_CONTROL_POWEREVENT, 10, nullptr, 0},
      {SERVICE_CONTROL_SESSIONCHANGE, 5, &session, 0},
      {SERVICE_CONTROL_PAUSE, 0, nullptr, 0},
  };
  size_t reports = scm_.statuses().size();
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.control << "/" << c.eventType);
    EXPECT_EQ(Control(c.control, c.eventType, c.data), c.answer);
    std::vector<SERVICE_STATUS> s = scm_.statuses();
    ASSERT_EQ(s.size(), reports + 1);
    EXPECT_EQ(s.back().dwCurrentState, SERVICE_RUNNING);
    EXPECT_EQ(s.back().dwCheckPoint, 0u);
    EXPECT_EQ(s.back().dwControlsAccepted, 0x1C1u);
    reports = s.size();
  }
  EXPECT_EQ(service_.userControls, std::vector<uint32_t>{128});
  EXPECT_EQ(service_.powerDowns, 1);
  EXPECT_EQ(service_.powerUps, 1);
  EXPECT_EQ(service_.aoac, 0);
  EXPECT_EQ(service_.sessions, std::vector<uint32_t>{5003});
  EXPECT_EQ(service_.pauses, 1);
  EXPECT_EQ(service_.stops, 0);
  std::string text = log_.text();
  EXPECT_EQ(CountOf(text, "Received PBT_APMSTANDBY"), 1u);
  EXPECT_EQ(CountOf(text, "Received PBT_APMRESUMECRITICAL"), 1u);
}

TEST_F(ServiceBase, RefusedProtectedStopKeepsRunning) {
  service_.allowProtectedStop = false;
  Start();
  EXPECT_EQ(Control(136), 0u);
  EXPECT_EQ(service_.stops, 0);
  EXPECT_TRUE(service_.Running());
  std::vector<SERVICE_STATUS> s = scm_.statuses();
  ASSERT_EQ(s.size(), 3u);
  EXPECT_EQ(s[2].dwCurrentState, SERVICE_RUNNING);
  EXPECT_NE(log_.text().find("failed to stop service with service protection enabled"),
            std::string::npos);
}

TEST_F(ServiceBase, FailedInitReportsStoppedOnce) {
  service_.onInit = [] {
    platform::set_last_error(1067);
    return false;
  };
  dispatcher_ = std::thread([this] { started_ = service_.StartService(); });
  Finish();
  EXPECT_EQ(started_, 1);
  std::vector<SERVICE_STATUS> s = scm_.statuses();
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].dwCurrentState, SERVICE_START_PENDING);
  EXPECT_EQ(s[1].dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(s[1].dwWin32ExitCode, 1067u);
  EXPECT_EQ(service_.runs, 0);
  EXPECT_EQ(service_.stops, 0);
}

TEST_F(ServiceBase, RegistrationFailureReportsNothing) {
  scm_.fail_registration(platform::kErrorAccessDenied);
  dispatcher_ = std::thread([this] { started_ = service_.StartService(); });
  Finish();
  EXPECT_TRUE(scm_.statuses().empty());
  EXPECT_NE(log_.text().find("RegisterServiceCtrlHandlerEx failed, err: 5"), std::string::npos);
}

TEST_F(ServiceBase, Uninstall) {
  std::string unit = log_.root().file("etc/systemd/system/vedoRororeSvc.service");
  WriteFile(unit, "[Unit]\n");
  EXPECT_TRUE(service_.Uninstall());
  EXPECT_NE(access(unit.c_str(), F_OK), 0);
  EXPECT_FALSE(service_.Uninstall());
  std::string text = log_.text();
  EXPECT_NE(text.find("Service deleted successfully!"), std::string::npos);
  EXPECT_NE(text.find("DeleteService failed, err: 1060"), std::string::npos);
}

// The test service as a child process under a notify socket of the test's
// own.
class ServiceProcess : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(notify_.ok()); }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  void Spawn(bool withNotifySocket) {
    std::vector<std::string> env = {"DOVADOD_ROOT=" + root_.path(),
                                    "DOVADOD_SYSROOT=" + root_.path(), "PATH=/usr/bin:/bin"};
    if (withNotifySocket) env.push_back("NOTIFY_SOCKET=" + notify_.path());
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = CXWINSVC_TEST_SERVICE;
    char* argv[] = {program.data(), nullptr};
    ASSERT_EQ(posix_spawn(&pid_, program.c_str(), nullptr, nullptr, argv, envp.data()), 0);
  }

  // Next notification that contains `needle`; false when none comes in 5 s.
  bool Notified(const std::string& needle) {
    return notify_.WaitFor(needle, std::chrono::seconds(5));
  }

  bool Logged(const std::string& needle) {
    for (int i = 0; i < 300; ++i) {
      if (ReadFile(logPath()).find(needle) != std::string::npos) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // Exit status within `ms`, or -1.
  int WaitExit(int ms) {
    for (int i = 0; i < ms / 10; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return -1;
  }

  void SendControl(const std::string& text) {
    EXPECT_TRUE(testing_support::SendDatagram(root_.file("run/dovadod/vedoRororeSvc.ctl"), text));
  }

  std::string logPath() const {
    return root_.file("var/log/Corvex/pellar/Logs/cxtarndebuglog.log");
  }

  TempRoot root_;
  testing_support::DatagramReceiver notify_{root_.file("notify.sock")};
  pid_t pid_ = -1;
};

TEST_F(ServiceProcess, RunsUnderNotifySocketAndStopsOnSigterm) {
  if (geteuid() != 0) GTEST_SKIP() << "the control socket takes messages from root only";
  Spawn(true);
  ASSERT_TRUE(Notified("READY=1"));
  SendControl("128");
  SendControl("restart please");
  EXPECT_TRUE(Logged("received user control 128"));
  EXPECT_TRUE(Logged("Ignored control message \"restart please\""));
  auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(kill(pid_, SIGTERM), 0);
  EXPECT_TRUE(Notified("STOPPING=1"));
  EXPECT_TRUE(Notified("STATUS=Stopped, exit code 0"));
  EXPECT_EQ(WaitExit(2000), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
  EXPECT_NE(access(root_.file("run/dovadod/vedoRororeSvc.ctl").c_str(), F_OK), 0);
}

TEST_F(ServiceProcess, WithoutNotifySocketTheDispatcherFails) {
  Spawn(false);
  EXPECT_EQ(WaitExit(5000), 2);
  EXPECT_NE(ReadFile(logPath()).find("StartServiceCtrlDispatcher failed, err: 1063"),
            std::string::npos);
}

}  // namespace
