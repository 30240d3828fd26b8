// The tunnel service executable: checks administrator rights, then runs one
// mode chosen by the command line (NAT port reservations, install, uninstall,
// a foreground run with "-console", or the service under the service manager).
// The two modes that capture run one at a time per network namespace.
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
#include "platform/abstract_name/abstract_name.h"
#include "platform/error/win_error.h"
#include "platform/net/net.h"
#include "platform/process/process.h"
#include "platform/service_control/service_control.h"

namespace {

constexpr char kTag[] = "main";

// The one service object; the service base finds it through s_instance.
DovaDod g_service;

// Held by a capturing process for its whole life. Abstract socket names
// belong to the network namespace, as the capture does, and the kernel frees
// the name with the process: a crash leaves nothing to clean.
platform::AbstractNameClaim g_captureClaim;
constexpr char kCaptureClaimName[] = "dovadod/vedoRororeSvc/capture";

// The C library's atoi, without its undefined overflow: text that is not a
// number gives 0, a number beyond int is clamped.
int ParseNumber(const char* text) {
  long long value = std::strtoll(text, nullptr, 10);
  if (value > INT_MAX) return INT_MAX;
  if (value < INT_MIN) return INT_MIN;
  return static_cast<int>(value);
}

// For a run by hand that starts nothing: how to run the program instead.
void PrintStartHint() {
  std::fputs(
      "dovadod: not started by systemd; run it in the foreground with -console, or install the "
      "systemd unit with -install\n",
      stderr);
}

bool IsNatCommand(const char* command) {
  return std::strcmp(command, "-natinstall") == 0 || std::strcmp(command, "-natlookup") == 0 ||
         std::strcmp(command, "-natuninstall") == 0;
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
// every thread, so only this thread's wait takes them. Until then it also
// watches for the capture to open, and says so on standard output once.
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
    bool announced = false;
    while (!done_) {
      if (!announced) announced = AnnounceCapture();
      // Short steps until the capture runs, so that the line follows it closely.
      const timespec step = {0, (announced ? 200 : 20) * 1000 * 1000};
      int signal = sigtimedwait(&signals, nullptr, &step);
      if (signal < 0) continue;  // time-out or interrupted: look at done_ again
      // A stop that came before the first look still finds the line owed.
      if (!announced) AnnounceCapture();
      CXLOG(kTag, CXLOG_INFO, "Received signal %d, stopping the service", signal);
      service_->OnStop();
      return;
    }
  }

  bool AnnounceCapture() {
    const cxgraphManager* manager = service_->graphManager();
    if (manager == nullptr || manager->capture_totals().opened == 0) return false;
    std::printf("dovadod: capturing IPv4 traffic through %s; Ctrl-C stops\n",
                manager->graph_file().c_str());
    std::fflush(stdout);
    return true;
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

// Why an install or uninstall failed, on standard error: the two expected
// cases in words, anything else with the unit file and the error number.
void PrintServiceError(uint32_t error) {
  if (error == ERROR_SERVICE_EXISTS) {
    std::fputs("already installed\n", stderr);
    return;
  }
  if (error == ERROR_SERVICE_DOES_NOT_EXIST) {
    std::fputs("not installed\n", stderr);
    return;
  }
  std::fprintf(stderr, "dovadod: %s: error %u\n",
               platform::service_control::unit_path(g_service.ServiceName()).c_str(),
               static_cast<unsigned>(error));
}

int InstallService() {
  if (!g_service.Install()) {
    const uint32_t error = platform::last_error();
    CXLOG(kTag, CXLOG_ERROR, "Tarn Client Service installation failed");
    PrintServiceError(error);
    return 1;
  }
  CXLOG(kTag, CXLOG_INFO, "Tarn Client Service installed");
  return 0;
}

int UninstallService() {
  if (!g_service.Uninstall()) {
    const uint32_t error = platform::last_error();
    CXLOG(kTag, CXLOG_ERROR, "Tarn Client Service uninstallation failed");
    PrintServiceError(error);
    return 1;
  }
  CXLOG(kTag, CXLOG_INFO, "Tarn Client Service uninstalled");
  return 0;
}

// Claims the capture for this process before any rule or socket is touched.
// False when another process captures in this network namespace; a claim
// that fails otherwise is only logged, as it guards and does not capture.
bool ClaimCapture() {
  if (g_captureClaim.claim(kCaptureClaimName)) return true;
  const uint32_t error = platform::last_error();
  if (error == platform::kErrorAccessDenied) {
    CXLOG(kTag, CXLOG_WARN,
          "The instance name is held by a process that is not root; it is not ours, going on");
    return true;
  }
  if (error != platform::kErrorAlreadyExists) {
    CXLOG(kTag, CXLOG_WARN, "Cannot look for another running instance, err: %d",
          static_cast<int>(error));
    return true;
  }
  CXLOG(kTag, CXLOG_ERROR,
        "Another dovadod is already capturing in this network namespace, exiting");
  std::fputs("dovadod: another instance is already capturing in this network namespace\n", stderr);
  return false;
}

// The service in the foreground: 0 after an orderly stop, 1 when the router
// could not be built (there is nothing to run then) or another instance
// captures. The stop prints what the capture did.
int RunConsole() {
  cxLogOutput = CXLOG_OUTPUT_STDERR;
  cxLogFormatFlags = 0x4F;
  if (!ClaimCapture()) return 1;
  if (!g_service.OnInit(false)) return 1;
  {
    ConsoleStopper stopper(&g_service);
    g_service.Run();
  }
  // Run returns after the stop closed every capture handle: the totals are whole.
  const CaptureTotals totals = g_service.graphManager()->capture_totals();
  std::printf("dovadod: stopped; %llu packets captured, %llu re-injected, %llu dropped\n",
              static_cast<unsigned long long>(totals.captured),
              static_cast<unsigned long long>(totals.reinjected),
              static_cast<unsigned long long>(totals.dropped));
  std::fflush(stdout);
  return 0;
}

// The service under the service manager; returns once it has stopped, or at
// once when the process was not started by the manager. 1 when another
// instance captures.
int RunService() {
  cxLogOutput = CXLOG_OUTPUT_FILE;
  cxLogFormatFlags = 0x4F;
  // Started by hand the dispatcher fails at once and nothing captures, so
  // only the manager's start looks for another instance.
  if (platform::service_control::started_by_service_manager() && !ClaimCapture()) return 1;
  if (g_service.StartService() == 0 &&
      platform::last_error() == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT) {
    PrintStartHint();
  }
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
    // Any three arguments are a port command; one that is none does nothing.
    if (!IsNatCommand(argv[1]) && !platform::service_control::started_by_service_manager()) {
      PrintStartHint();
    }
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
  g_service.ReleaseGraph();

  CXLOG(kTag, CXLOG_INFO, "======= tarnclient %s exiting ======", kDovaDodVersion);
  cx_pktdump_uninit();
  ExitSequence();
  if (wsaStarted) platform::wsa_cleanup();
  return exitCode;
}
