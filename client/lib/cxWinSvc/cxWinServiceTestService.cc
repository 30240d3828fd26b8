// A small service for the process-level tests: run with NOTIFY_SOCKET it
// reports to that socket, takes controls from its control socket and stops on
// SIGTERM; without it the dispatcher refuses to start. Logs into the log
// folder of $DOVADOD_ROOT.
#include <condition_variable>
#include <mutex>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxWinSvc/cxWinService.h"
#include "platform/service_control/service_control.h"

namespace {

class TestService : public cxWinService {
 public:
  TestService() : cxWinService("vedoRororeSvc", "Test Service", "Test Service") {}

  int OnUserControl(uint32_t control) override {
    CXLOG("TestService", CXLOG_INFO, "received user control %u", control);
    return 1;
  }

  void Run() override {
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait(lock, [this] { return stopped_; });
    CXLOG("TestService", CXLOG_INFO, "run finished");
  }

  void OnStop() override {
    CXLOG("TestService", CXLOG_INFO, "stopping");
    std::lock_guard<std::mutex> lock(mu_);
    stopped_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  bool stopped_ = false;
};

}  // namespace

int main() {
  platform::service_control::block_stop_signals();
  cxLogProcessTag = "vedororore";
  if (!cxLogInit("cxtarndebuglog", "cxtarndebuglog_old")) return 3;
  cxLogThreshold = CXLOG_INFO;
  int result = 0;
  {
    TestService service;
    result = service.StartService();
  }
  cxLogShutdown();
  return result == 1 ? 0 : 2;
}
