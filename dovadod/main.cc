// The tunnel service executable: checks administrator rights, then runs one
// mode chosen by the command line (NAT port reservations, install, uninstall,
// a foreground run with "-console", or the service under the service manager).
#include <signal.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <thread>

#include "client/lib/cxLog/cxCrashDump.h"
#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxLog/cxPktDump.h"
#include "dovadod/dovadod.h"
#include "lib/reservenatports/reservenatports.h"
#include "platform/net/net.h"
#include "platform/process/process.h"
#include "platform/service_control/service_control.h"

namespace {

constexpr char kTag[] = "main";

// The one service object; the service base finds it through s_instance.
DovaDod g_service;

// The C library's atoi, without its undefined overflow: text that is not a
// number gives 0, a number beyond int is clamped.
int ParseNumber(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

void RunNatCommand(const char* command, int start, int count) {
  if (std::strcmp(command, "-natinstall") == 0) {
    CXLOG(kTag, CXLOG_INFO, "start-port %d num:%d", start, count);
    int result = ReserveNatPorts(start, count);
    std::printf("%s start_port:%d num:%d", result == 0 ? "SUCCESS" : "FAILED", start, count);
    return;
  }
  if (std::strcmp(command, "-natlookup") == 0) {
    CXLOG(kTag, CXLOG_INFO, "start-port %d num:%d", start, count);
    if (LookupNatPorts(start, count)) {
      CXLOG(kTag, CXLOG_INFO, "success start-port %d num:%d", start, count);
      std::printf("success. startport:%d num:%d", start, count);
      return;
    }
    CXLOG(kTag, CXLOG_INFO, "failure start-port %d num:%d", start, count);
    std::printf("failed. startport:%d num:%d", start, count);
    return;
  }
  if (std::strcmp(command, "-natuninstall") == 0) {
    CXLOG(kTag, CXLOG_INFO, "start-port %d num:%d", start, count);
    std::printf("start-port %d num:%d", start, count);
    UninstallNatPorts(start, count);
  }
}

// Turns the first SIGINT or SIGTERM of a foreground run into the service's
// stop, on a thread of its own, so that Ctrl-C takes the capture down in
// order instead of killing the process mid-packet. The signals are blocked in
// every thread, so only this thread's wait takes them.
class ConsoleStopper {
 public:
  explicit ConsoleStopper(DovaDod* service) : service_(service), thread_([this] { Loop(); }) {}
  ConsoleStopper(const ConsoleStopper&) = delete;
  ConsoleStopper& operator=(const ConsoleStopper&) = delete;
  ~ConsoleStopper() {
    done_ = true;
    thread_.join();
  }

 private:
  void Loop() {
    cxCrashDumpThreadInit();
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    const timespec step = {0, 200 * 1000 * 1000};
    while (!done_) {
      int signal = sigtimedwait(&signals, nullptr, &step);
      if (signal < 0) continue;  // time-out or interrupted: look at done_ again
      CXLOG(kTag, CXLOG_INFO, "Received signal %d, stopping the service", signal);
      service_->OnStop();
      return;
    }
  }

  DovaDod* service_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Ends the log as the service does before it returns.
void ExitSequence() {
  if (cxLogEnabled.load()) cxLogShutdown();
}

bool IsMode(int argc, char** argv, const char* mode) {
  return argc == 2 && std::strcmp(argv[1], mode) == 0;
}

int InstallService() {
  if (!g_service.Install()) {
    CXLOG(kTag, CXLOG_ERROR, "Tarn Client Service installation failed");
    return 1;
  }
  CXLOG(kTag, CXLOG_INFO, "Tarn Client Service installed");
  return 0;
}

int UninstallService() {
  if (!g_service.Uninstall()) {
    CXLOG(kTag, CXLOG_ERROR, "Tarn Client Service uninstallation failed");
    return 1;
  }
  CXLOG(kTag, CXLOG_INFO, "Tarn Client Service uninstalled");
  return 0;
}

// The service in the foreground: 0 after an orderly stop, 1 when the router
// could not be built (there is nothing to run then).
int RunConsole() {
  cxLogOutput = CXLOG_OUTPUT_STDERR;
  cxLogFormatFlags = 0x4F;
  if (!g_service.OnInit(false)) return 1;
  ConsoleStopper stopper(&g_service);
  g_service.Run();
  return 0;
}

// The service under the service manager; returns once it has stopped, or at
// once when the process was not started by the manager.
int RunService() {
  cxLogOutput = CXLOG_OUTPUT_FILE;
  cxLogFormatFlags = 0x4F;
  g_service.StartService();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // Before any thread starts, so that every thread inherits the mask and the
  // signals reach only the stop paths that wait for them.
  platform::service_control::block_stop_signals();

  cxLogProcessTag = argc == 4 ? "tarnclientcli" : "vedororore";
  cxLogInit("cxtarndebuglog", "cxtarndebuglog_old");
  cxLogFormatFlags = 0x4F;
  cxLogThreshold = CXLOG_INFO;

  if (!platform::is_administrator()) {
    CXLOG(kTag, CXLOG_CRITICAL, "User does not have admin rights!");
    std::printf("User does not have admin rights! \n");
    std::exit(1);
  }

  if (argc == 4) {
    RunNatCommand(argv[1], ParseNumber(argv[2]), ParseNumber(argv[3]));
    std::fflush(stdout);
    ExitSequence();
    return 0;
  }

  CXLOG(kTag, CXLOG_INFO, "======= tarnclient %s starting ======", kDovaDodVersion);
  cxCrashDumpInstall();

  int wsaResult = platform::wsa_startup(2, 2);
  bool wsaStarted = wsaResult == 0;
  if (!wsaStarted) CXLOG(kTag, CXLOG_ERROR, "WSAStartup failed: %d", wsaResult);

  // Installation and removal return at once: no exit banner, no exit sequence.
  if (wsaStarted && IsMode(argc, argv, "-install")) return InstallService();
  if (wsaStarted && IsMode(argc, argv, "-uninstall")) return UninstallService();

  int exitCode = 0;
  if (wsaStarted) exitCode = IsMode(argc, argv, "-console") ? RunConsole() : RunService();

  CXLOG(kTag, CXLOG_INFO, "======= tarnclient %s exiting ======", kDovaDodVersion);
  cx_pktdump_uninit();
  ExitSequence();
  if (wsaStarted) platform::wsa_cleanup();
  return exitCode;
}
