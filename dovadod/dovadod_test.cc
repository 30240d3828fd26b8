#include "dovadod/dovadod.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "lib/interfacemonitor/recording_interface_monitor.h"
#include "ostgraphsvc/captiveportal/captive_portal.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"
#include "tests/support/unix_datagram.h"

using testing_support::CountOf;
using testing_support::ExpectInOrder;

namespace {

using testing_support::StartedLog;

// Counts the stops that arrive through the virtual slot.
class CountingDovaDod : public DovaDod {
 public:
  void OnStop() override {
    ++stops;
    DovaDod::OnStop();
  }
  std::atomic<int> stops{0};
};

TEST(DovaDodTest, PreShutdownStopsOnceAndLetsRunReturn) {
  StartedLog log(0);
  CountingDovaDod service;
  service.OnPreShutdown();
  EXPECT_EQ(service.stops, 1);

  // The stop event is set, so the run's wait ends at once.
  service.Run();
  std::string text = log.text();
  EXPECT_EQ(CountOf(text, "Received request to stop the DovaDod"), 1u) << text;
  ExpectInOrder(text, {"Received pre-shutdown request to stop the DovaDod",
                       "Received request to stop the DovaDod", "Stopped Event signaled",
                       "Tarn Client service main thread exiting"});
}

TEST(DovaDodTest, StopFromAnotherThreadEndsTheWaitingRun) {
  StartedLog log(0);
  DovaDod service;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    service.OnStop();
  });
  auto started = std::chrono::steady_clock::now();
  service.Run();
  stopper.join();
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_NE(log.text().find("Stopped Event signaled"), std::string::npos);
}

struct PowerCase {
  const char* name;
  std::vector<void (DovaDod::*)()> events;
  std::vector<std::string> calls;
};

TEST(DovaDodTest, PowerEventsRefreshTheInterfaceMonitor) {
  const PowerCase cases[] = {
      // A resume after a suspend must report every default interface as new.
      {"down then up",
       {&DovaDod::OnSystemPowerDown, &DovaDod::OnSystemPowerUp},
       {"clear", "change"}},
      {"up alone", {&DovaDod::OnSystemPowerUp}, {"change"}},
      // The power-down mark is spent by the first power-up.
      {"down, up, up",
       {&DovaDod::OnSystemPowerDown, &DovaDod::OnSystemPowerUp, &DovaDod::OnSystemPowerUp},
       {"clear", "change", "change"}},
      {"down alone", {&DovaDod::OnSystemPowerDown}, {}},
      {"standby wake-up", {&DovaDod::OnAOACWakeup}, {"change"}},
      {"standby", {&DovaDod::OnAOACSuspend}, {}},
  };
  StartedLog log(0);
  for (const PowerCase& c : cases) {
    SCOPED_TRACE(c.name);
    DovaDod service;
    RecordingInterfaceMonitor monitor;
    for (auto event : c.events) (service.*event)();
    EXPECT_EQ(monitor.calls(), c.calls);
  }
}

TEST(DovaDodTest, PowerEventsWithoutMonitorOnlyLog) {
  StartedLog log(0);
  ASSERT_EQ(OstInterfaceMonitor::Instance(), nullptr);
  DovaDod service;
  service.OnSystemPowerDown();
  service.OnSystemPowerUp();
  service.OnSystemPowerUp();
  service.OnAOACWakeup();
  ExpectInOrder(log.text(),
                {"System power down event received",
                 "System power up event received, flush interface list and refresh interface "
                 "list in Interface Monitor",
                 "System power up event received",
                 "AOAC device waking up from connected standby. Refresh interface list in "
                 "Interface Monitor"});
}

TEST(DovaDodTest, SessionAndUserControlsOnlyLog) {
  StartedLog log(0);
  DovaDod service;
  WTSSESSION_NOTIFICATION session;
  session.dwSessionId = 7;
  service.OnSessionChange(5, &session);
  EXPECT_EQ(service.OnUserControl(128), 1);
  ExpectInOrder(log.text(),
                {"OnSessionChange: event 5, sessId 7", "received request to user control 128"});
}

TEST(DovaDodTest, FailedRouterStartStillStartsFailCloseAndCaptivePortal) {
  StartedLog log(0);
  // No work directory in the store: the router cannot be built. The
  // captive-portal key exists, so the monitor watches it from the start.
  testing_support::SetRegText("SOFTWARE\\Corvex\\tarn\\cpdetection", "cpdetectionstatus",
                              "notdetected");
  CaptivePortal& portal = CaptivePortal::GetInstance();
  DovaDod service;
  EXPECT_FALSE(service.OnInit(false));
  EXPECT_NE(log.text().find("failed to get tarn config path"), std::string::npos);
  EXPECT_TRUE(FailCloseMgr::GetInstance().IsInitialized());
  EXPECT_TRUE(portal.IsInitialized());
  EXPECT_FALSE(portal.IsCaptivePortalActive());

  // The monitor thread runs: a change in the store reaches the flag. A
  // change made before the thread armed its watch is only seen with the next
  // one, so the value alternates between two texts that both mean active.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  for (int i = 0; !portal.IsCaptivePortalActive() && std::chrono::steady_clock::now() < deadline;
       ++i) {
    testing_support::SetRegText("SOFTWARE\\Corvex\\tarn\\cpdetection", "cpdetectionstatus",
                                i % 2 == 0 ? "detected" : "started");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(portal.IsCaptivePortalActive()) << log.text();
  portal.Stop();
}

}  // namespace
