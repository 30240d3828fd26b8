#include "platform/service_control/service_control.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/error/win_error.h"
#include "platform/service_control/control_message.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_datagram.h"

namespace sc = platform::service_control;
using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;

namespace {

constexpr char kName[] = "vedoRororeSvc";

// What the service installer writes, restart policy included.
constexpr char kInstalledUnit[] =
    "[Unit]\n"
    "Description=Corvex TARN Client Tunnel Service\n"
    "StartLimitIntervalSec=86400\n"
    "StartLimitBurst=3\n"
    "\n"
    "[Service]\n"
    "Type=notify\n"
    "ExecStart=\"/opt/dovadod/bin/dovadod\"\n"
    "Restart=always\n"
    "RestartSec=60\n"
    "\n"
    "[Install]\n"
    "WantedBy=multi-user.target\n";

SC_HANDLE Create(SC_HANDLE manager, const char* name, const char* binary,
                 uint32_t startType = SERVICE_DEMAND_START) {
  return CreateService(manager, name, "Corvex TARN Client Tunnel Service", SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, startType, SERVICE_ERROR_NORMAL, binary, nullptr,
                       nullptr, nullptr, nullptr, nullptr);
}

SERVICE_FAILURE_ACTIONS Actions(const SC_ACTION* actions, uint32_t count) {
  return SERVICE_FAILURE_ACTIONS{86400, nullptr, nullptr, count, actions};
}

TEST(ServiceUnit, InstallConfigureAndDelete) {
  TempRoot root;
  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(OpenService(manager, kName, DELETE), nullptr);
  EXPECT_EQ(platform::last_error(), ERROR_SERVICE_DOES_NOT_EXIST);

  SC_HANDLE service = Create(manager, kName, "\"/opt/dovadod/bin/dovadod\"");
  ASSERT_NE(service, nullptr);
  SERVICE_DESCRIPTION description{"Corvex TARN Client Tunnel Service"};
  EXPECT_TRUE(ChangeServiceConfig2(service, SERVICE_CONFIG_DESCRIPTION, &description));
  SC_ACTION actions[] = {
      {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 60000}};
  SERVICE_FAILURE_ACTIONS failure = Actions(actions, 3);
  EXPECT_TRUE(ChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure));
  std::string path = root.file("etc/systemd/system/vedoRororeSvc.service");
  EXPECT_EQ(ReadFile(path), kInstalledUnit);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0644u);

  // A second install is refused and leaves the unit alone.
  EXPECT_EQ(Create(manager, kName, "\"/other\""), nullptr);
  EXPECT_EQ(platform::last_error(), ERROR_SERVICE_EXISTS);
  EXPECT_EQ(ReadFile(path), kInstalledUnit);

  EXPECT_TRUE(DeleteService(service));
  EXPECT_TRUE(access(path.c_str(), F_OK) != 0);
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(platform::last_error(), ERROR_SERVICE_DOES_NOT_EXIST);
  EXPECT_TRUE(CloseServiceHandle(service));
  EXPECT_FALSE(CloseServiceHandle(service));
  EXPECT_EQ(platform::last_error(), platform::kErrorInvalidHandle);
  EXPECT_FALSE(DeleteService(service));
  EXPECT_EQ(platform::last_error(), platform::kErrorInvalidHandle);
  EXPECT_TRUE(CloseServiceHandle(manager));
}

TEST(ServiceUnit, RefusedRequests) {
  TempRoot root;
  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  ASSERT_NE(manager, nullptr);
  struct Case {
    const char* name;
    const char* binary;
    uint32_t startType;
    uint32_t error;
  } cases[] = {
      {"../evil", "\"/bin/x\"", SERVICE_DEMAND_START, ERROR_INVALID_NAME},
      {"a@b", "\"/bin/x\"", SERVICE_DEMAND_START, ERROR_INVALID_NAME},
      {"", "\"/bin/x\"", SERVICE_DEMAND_START, ERROR_INVALID_NAME},
      {"svc", "\"/bin/x\"\nExecStartPre=/bin/sh", SERVICE_DEMAND_START,
       platform::kErrorInvalidParameter},
      {"svc", "/bin/x\\", SERVICE_DEMAND_START, platform::kErrorInvalidParameter},
      {"svc", "", SERVICE_DEMAND_START, platform::kErrorInvalidParameter},
      {"svc", "\"/bin/x\"", SERVICE_AUTO_START, platform::kErrorNotSupported},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Create(manager, c.name, c.binary, c.startType), nullptr);
    EXPECT_EQ(platform::last_error(), c.error);
  }
  EXPECT_TRUE(access(root.file("etc/systemd/system").c_str(), F_OK) != 0 ||
              access(root.file("etc/systemd/system/svc.service").c_str(), F_OK) != 0);

  // Rights: a handle opened for queries may neither change nor delete.
  SC_HANDLE created = Create(manager, "svc", "\"/bin/x\"");
  ASSERT_NE(created, nullptr);
  SC_HANDLE query = OpenService(manager, "svc", SERVICE_QUERY_CONFIG);
  ASSERT_NE(query, nullptr);
  SERVICE_DESCRIPTION description{"x"};
  EXPECT_FALSE(ChangeServiceConfig2(query, SERVICE_CONFIG_DESCRIPTION, &description));
  EXPECT_EQ(platform::last_error(), platform::kErrorAccessDenied);
  EXPECT_FALSE(DeleteService(query));
  EXPECT_EQ(platform::last_error(), platform::kErrorAccessDenied);

  // Failure actions systemd cannot carry out, and a description that would
  // add a line.
  SC_ACTION reboot[] = {{SC_ACTION_REBOOT, 1000}};
  SERVICE_FAILURE_ACTIONS failure = Actions(reboot, 1);
  EXPECT_FALSE(ChangeServiceConfig2(created, SERVICE_CONFIG_FAILURE_ACTIONS, &failure));
  EXPECT_EQ(platform::last_error(), platform::kErrorNotSupported);
  SERVICE_DESCRIPTION twoLines{"a\n[Service]"};
  EXPECT_FALSE(ChangeServiceConfig2(created, SERVICE_CONFIG_DESCRIPTION, &twoLines));
  EXPECT_EQ(platform::last_error(), platform::kErrorInvalidParameter);
  EXPECT_EQ(ReadFile(root.file("etc/systemd/system/svc.service")),
            "[Unit]\nDescription=Corvex TARN Client Tunnel Service\n\n[Service]\nType=notify\n"
            "ExecStart=\"/bin/x\"\n\n[Install]\nWantedBy=multi-user.target\n");

  SC_HANDLE manager2 = OpenSCManager(nullptr, nullptr, SC_MANAGER_CONNECT);
  ASSERT_NE(manager2, nullptr);
  EXPECT_EQ(Create(manager2, "svc2", "\"/bin/x\""), nullptr);
  EXPECT_EQ(platform::last_error(), platform::kErrorAccessDenied);
  EXPECT_EQ(OpenSCManager("otherhost", nullptr, SC_MANAGER_ALL_ACCESS), nullptr);

  for (SC_HANDLE h : {query, created, manager, manager2}) EXPECT_TRUE(CloseServiceHandle(h));
}

TEST(ServiceUnit, EditsKeepOtherLinesAndEscapeSpecifiers) {
  TempRoot root;
  SC_HANDLE manager = OpenSCManager(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
  SC_HANDLE service = Create(manager, "svc", "\"/opt/100%/$HOME/a\\b\"");
  ASSERT_NE(service, nullptr);
  std::string path = root.file("etc/systemd/system/svc.service");
  std::string text = ReadFile(path);
  EXPECT_NE(text.find("ExecStart=\"/opt/100%%/$$HOME/a\\\\b\"\n"), std::string::npos) << text;
  // An administrator's own line survives a change.
  WriteFile(path, text + "Environment=A=1\n");

  SC_ACTION restart[] = {{SC_ACTION_RESTART, 1500}};
  SERVICE_FAILURE_ACTIONS failure{SERVICE_NO_RESET_PERIOD, nullptr, nullptr, 1, restart};
  ASSERT_TRUE(ChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure));
  SERVICE_DESCRIPTION description{"50% tunnel"};
  ASSERT_TRUE(ChangeServiceConfig2(service, SERVICE_CONFIG_DESCRIPTION, &description));
  EXPECT_EQ(ReadFile(path),
            "[Unit]\nDescription=50%% tunnel\nStartLimitIntervalSec=infinity\n"
            "StartLimitBurst=2\n\n[Service]\nType=notify\n"
            "ExecStart=\"/opt/100%%/$$HOME/a\\\\b\"\nRestart=always\nRestartSec=1500ms\n\n"
            "[Install]\nWantedBy=multi-user.target\nEnvironment=A=1\n");

  // No restart action left: no restarts and no limits.
  SC_ACTION none[] = {{SC_ACTION_NONE, 0}};
  failure = Actions(none, 1);
  ASSERT_TRUE(ChangeServiceConfig2(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure));
  EXPECT_EQ(ReadFile(path),
            "[Unit]\nDescription=50%% tunnel\n\n[Service]\nType=notify\n"
            "ExecStart=\"/opt/100%%/$$HOME/a\\\\b\"\nRestart=no\n\n"
            "[Install]\nWantedBy=multi-user.target\nEnvironment=A=1\n");
  CloseServiceHandle(service);
  CloseServiceHandle(manager);
}

TEST(ControlMessage, Parse) {
  struct Case {
    const char* text;
    bool ok;
    uint32_t control, eventType;
    bool hasSession;
    uint32_t session;
  } cases[] = {
      {"128", true, 128, 0, false, 0},
      {"13 5\n", true, 13, 5, false, 0},
      {"14 5 4294967295", true, 14, 5, true, 4294967295u},
      {"  1  ", true, 1, 0, false, 0},
      {"", false, 0, 0, false, 0},
      {"\n", false, 0, 0, false, 0},
      {"stop", false, 0, 0, false, 0},
      {"-1", false, 0, 0, false, 0},
      {"+1", false, 0, 0, false, 0},
      {"4294967296", false, 0, 0, false, 0},
      {"1 2 3 4", false, 0, 0, false, 0},
      {"1\t2", false, 0, 0, false, 0},
      {"1\n\n", false, 0, 0, false, 0},
      {"0x80", false, 0, 0, false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    sc::ControlMessage m;
    ASSERT_EQ(sc::parse_control_message(c.text, &m), c.ok);
    if (!c.ok) continue;
    EXPECT_EQ(m.control, c.control);
    EXPECT_EQ(m.eventType, c.eventType);
    EXPECT_EQ(m.hasSessionId, c.hasSession);
    EXPECT_EQ(m.sessionId, c.session);
  }
  EXPECT_EQ(sc::printable(std::string("a\"\\\x01\xff", 5)), "a\\x22\\x5C\\x01\\xFF");
}

// The dispatcher under a notify socket of the test's own, in this process.
class Dispatcher : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(notify_.ok());
    setenv("NOTIFY_SOCKET", notify_.path().c_str(), 1);
    sc::set_log_hook([this](int level, const std::string& text) {
      std::lock_guard<std::mutex> lock(logMu_);
      logLines_.push_back(std::to_string(level) + " " + text);
    });
    self_ = this;
  }
  void TearDown() override {
    sc::set_log_hook(nullptr);
    unsetenv("NOTIFY_SOCKET");
    self_ = nullptr;
  }

  std::string Notified() { return notify_.Receive(std::chrono::seconds(5)).value_or("(nothing)"); }

  bool SendControl(const std::string& text) {
    return testing_support::SendDatagram(sc::control_socket_path(kName), text);
  }

  bool LoggedSoon(const std::string& needle) {
    for (int i = 0; i < 200; ++i) {
      {
        std::lock_guard<std::mutex> lock(logMu_);
        for (const auto& line : logLines_) {
          if (line.find(needle) != std::string::npos) return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
  }

  // The service: registers, reports start-pending, waits for the test to
  // release it, runs until a stop control.
  static void ServiceMain(uint32_t, char**) {
    Dispatcher* t = self_;
    t->handle_ = RegisterServiceCtrlHandlerEx(kName, &Dispatcher::Handler, t);
    if (t->handle_ == nullptr) return;
    Report(SERVICE_START_PENDING, 30000);
    {
      std::unique_lock<std::mutex> lock(t->mu_);
      t->cv_.wait(lock, [t] { return t->released_; });
    }
    Report(SERVICE_RUNNING, 0);
    {
      std::unique_lock<std::mutex> lock(t->mu_);
      t->cv_.wait(lock, [t] { return t->stopRequested_; });
    }
    Report(SERVICE_STOPPED, 0);
    // Nothing is reported after the stop.
    t->lateReport_ = Report(SERVICE_RUNNING, 0);
  }

  static bool Report(uint32_t state, uint32_t waitHint) {
    SERVICE_STATUS s;
    s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    s.dwCurrentState = state;
    s.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : 0x1C1;
    s.dwWaitHint = waitHint;
    return SetServiceStatus(self_->handle_, &s);
  }

  static uint32_t Handler(uint32_t control, uint32_t eventType, void* eventData, void* context) {
    auto* t = static_cast<Dispatcher*>(context);
    std::lock_guard<std::mutex> lock(t->mu_);
    t->handlerThread_ = std::this_thread::get_id();
    uint32_t session = eventData == nullptr
                           ? 0xFFFFFFFF
                           : static_cast<WTSSESSION_NOTIFICATION*>(eventData)->dwSessionId;
    t->controls_.push_back(std::to_string(control) + "/" + std::to_string(eventType) + "/" +
                           std::to_string(session));
    if (control == SERVICE_CONTROL_STOP) {
      t->stopRequested_ = true;
      t->cv_.notify_all();
      SERVICE_STATUS s;
      s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
      s.dwCurrentState = SERVICE_STOP_PENDING;
      s.dwControlsAccepted = 0x1C1;
      s.dwWaitHint = 30000;
      SetServiceStatus(t->handle_, &s);
    }
    return control == 128 ? 0 : 120;
  }

  void Release() {
    std::lock_guard<std::mutex> lock(mu_);
    released_ = true;
    cv_.notify_all();
  }

  std::vector<std::string> Controls() {
    std::lock_guard<std::mutex> lock(mu_);
    return controls_;
  }

  static Dispatcher* self_;
  TempRoot root_;
  testing_support::DatagramReceiver notify_{root_.file("notify.sock")};
  std::mutex mu_;
  std::mutex logMu_;
  std::condition_variable cv_;
  bool released_ = false;
  bool stopRequested_ = false;
  bool lateReport_ = true;
  SERVICE_STATUS_HANDLE handle_ = nullptr;
  std::thread::id handlerThread_;
  std::vector<std::string> controls_;
  std::vector<std::string> logLines_;
};

Dispatcher* Dispatcher::self_ = nullptr;

TEST_F(Dispatcher, RunsTheServiceUnderSystemd) {
  ASSERT_TRUE(sc::block_stop_signals());
  std::atomic<pthread_t> dispatcherThread{};
  std::thread::id dispatcherId;
  bool started = false;
  std::thread dispatcher([&] {
    dispatcherThread = pthread_self();
    dispatcherId = std::this_thread::get_id();
    SERVICE_TABLE_ENTRY table[] = {{kName, &Dispatcher::ServiceMain}, {nullptr, nullptr}};
    started = StartServiceCtrlDispatcher(table);
  });

  EXPECT_EQ(Notified(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=30000000");
  // While starting, controls are refused and a stop signal waits.
  uint32_t answer = 0;
  EXPECT_EQ(sc::inject_control(128, 0, nullptr, &answer), ERROR_SERVICE_CANNOT_ACCEPT_CTRL);
  std::string socketPath = sc::control_socket_path(kName);
  struct stat st;
  ASSERT_EQ(stat(socketPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_TRUE(SendControl("128"));
  EXPECT_TRUE(LoggedSoon("Control 128 from control socket refused: the service is start pending"));
  EXPECT_TRUE(Controls().empty());

  Release();
  EXPECT_EQ(Notified(), "READY=1\nSTATUS=Running");
  EXPECT_EQ(sc::inject_control(128, 0, nullptr, &answer), 0u);
  EXPECT_EQ(answer, 0u);
  WTSSESSION_NOTIFICATION session;
  session.dwSessionId = 9;
  EXPECT_EQ(sc::inject_control(14, 5, &session, &answer), 0u);
  EXPECT_EQ(answer, 120u);
  ASSERT_TRUE(SendControl("14 2 7\n"));
  ASSERT_TRUE(SendControl("stop now"));
  EXPECT_TRUE(LoggedSoon("Ignored control message \"stop now\""));
  EXPECT_EQ(Controls(), (std::vector<std::string>{"128/0/4294967295", "14/5/9", "14/2/7"}));
  {
    std::lock_guard<std::mutex> lock(mu_);
    EXPECT_EQ(handlerThread_, dispatcherId);
  }

  pthread_kill(dispatcherThread.load(), SIGTERM);
  EXPECT_EQ(Notified(), "STOPPING=1\nSTATUS=Stopping");
  EXPECT_EQ(Notified(), "STATUS=Stopped, exit code 0");
  dispatcher.join();
  EXPECT_TRUE(started);
  EXPECT_FALSE(lateReport_);
  EXPECT_EQ(Controls().back(), "1/0/4294967295");
  EXPECT_TRUE(access(socketPath.c_str(), F_OK) != 0);
  EXPECT_EQ(sc::inject_control(128, 0, nullptr, &answer), ERROR_SERVICE_NOT_ACTIVE);
}

TEST_F(Dispatcher, StopSignalDuringStartWaitsForRunning) {
  ASSERT_TRUE(sc::block_stop_signals());
  std::atomic<pthread_t> dispatcherThread{};
  std::atomic<bool> haveThread{false};
  std::thread dispatcher([&] {
    dispatcherThread = pthread_self();
    haveThread = true;
    SERVICE_TABLE_ENTRY table[] = {{kName, &Dispatcher::ServiceMain}, {nullptr, nullptr}};
    StartServiceCtrlDispatcher(table);
  });
  EXPECT_EQ(Notified(), "STATUS=Starting\nEXTEND_TIMEOUT_USEC=30000000");
  pthread_kill(dispatcherThread.load(), SIGINT);
  EXPECT_TRUE(LoggedSoon("Received signal 2: stopping the service"));
  EXPECT_TRUE(Controls().empty());
  Release();
  EXPECT_EQ(Notified(), "READY=1\nSTATUS=Running");
  EXPECT_EQ(Notified(), "STOPPING=1\nSTATUS=Stopping");
  dispatcher.join();
  EXPECT_EQ(Controls(), std::vector<std::string>{"1/0/4294967295"});
}

TEST(DispatcherWithoutSystemd, FailsToConnect) {
  TempRoot root;
  unsetenv("NOTIFY_SOCKET");
  SERVICE_TABLE_ENTRY table[] = {{kName, [](uint32_t, char**) { ADD_FAILURE(); }},
                                 {nullptr, nullptr}};
  EXPECT_FALSE(StartServiceCtrlDispatcher(table));
  EXPECT_EQ(platform::last_error(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(RegisterServiceCtrlHandlerEx(
                kName, [](uint32_t, uint32_t, void*, void*) { return 0u; }, nullptr),
            nullptr);
}

}  // namespace
