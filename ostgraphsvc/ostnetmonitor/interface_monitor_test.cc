#include "ostgraphsvc/ostnetmonitor/interface_monitor.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/started_log.h"

namespace {

using testing_support::StartedLog;

DefaultInterface Iface(uint32_t index, uint32_t metric, const char* ip) {
  DefaultInterface d;
  d.ifIndex = index;
  d.metric = metric;
  inet_pton(AF_INET, ip, &d.ipAddr);
  return d;
}

// Answers the list the test sets; counts the calls.
class FakeSource : public InterfaceSource {
 public:
  explicit FakeSource(std::vector<DefaultInterface> list) : list_(std::move(list)) {}
  std::vector<DefaultInterface> DefaultRouteInterfaces() override {
    std::lock_guard<std::mutex> lock(mu_);
    ++calls_;
    return list_;
  }
  void set(std::vector<DefaultInterface> list) {
    std::lock_guard<std::mutex> lock(mu_);
    list_ = std::move(list);
  }
  int calls() {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  std::mutex mu_;
  std::vector<DefaultInterface> list_;
  int calls_ = 0;
};

class RecordingListener : public IInterfaceMonitor_Listener {
 public:
  void onNetworkStateChanged(int event) override {
    std::lock_guard<std::mutex> lock(mu_);
    events_.push_back(event);
  }
  std::vector<int> take() {
    std::lock_guard<std::mutex> lock(mu_);
    return std::exchange(events_, {});
  }

 private:
  std::mutex mu_;
  std::vector<int> events_;
};

struct Fixture {
  explicit Fixture(std::vector<DefaultInterface> initial)
      : source(new FakeSource(std::move(initial))),
        monitor(&listener, std::unique_ptr<InterfaceSource>(source)) {}
  RecordingListener listener;
  FakeSource* source;  // owned by the monitor
  OstDefaultRouteMonitor monitor;
};

// Each step changes the source (or clears the monitor, as a power-down does)
// and recomputes once; the steps run in order on one monitor.
TEST(OstDefaultRouteMonitorTest, EventsFollowTheDefaultRouteInterfaces) {
  const DefaultInterface a = Iface(2, 1, "198.51.100.10");
  const DefaultInterface b = Iface(3, 20, "203.0.113.5");
  const DefaultInterface c = Iface(2, 1, "198.51.100.11");
  struct Step {
    const char* what;
    bool clear_first;
    std::vector<DefaultInterface> list;
    std::vector<int> events;
  };
  const Step steps[] = {
      {"new address at the same count", false, {c, b}, {2}},
      {"the same addresses in another metric order",
       false,
       {Iface(3, 1, "203.0.113.5"), Iface(2, 30, "198.51.100.11")},
       {}},
      {"same address on another index", false, {Iface(7, 1, "198.51.100.11"), b}, {}},
      {"one interface gone", false, {b}, {2}},
      {"the last default route lost", false, {}, {0}},
      {"still none", false, {}, {}},
      {"the first one back", false, {a}, {1}},
      {"a second one", false, {a, b}, {2}},
      {"power down then up, nothing changed", true, {a, b}, {1}},
  };
  Fixture f({a, b});
  for (const Step& s : steps) {
    SCOPED_TRACE(s.what);
    f.source->set(s.list);
    if (s.clear_first) f.monitor.clearInterfaces();
    f.monitor.handleInterfaceChange();
    EXPECT_EQ(f.listener.take(), s.events);
    std::vector<DefaultInterface> stored = f.monitor.interfaces();
    if (!s.events.empty()) {
      ASSERT_EQ(stored.size(), s.list.size());
      for (size_t i = 0; i < stored.size(); ++i) EXPECT_EQ(stored[i].ipAddr, s.list[i].ipAddr);
    }
  }
}

TEST(OstDefaultRouteMonitorTest, LogsTheDecision) {
  StartedLog log(0);
  Fixture f({Iface(2, 1, "198.51.100.10")});
  f.source->set({Iface(2, 1, "198.51.100.11")});
  f.monitor.handleInterfaceChange();
  f.source->set({});
  f.monitor.handleInterfaceChange();
  f.source->set({Iface(2, 1, "198.51.100.11")});
  f.monitor.handleInterfaceChange();
  f.monitor.handleInterfaceChange();
  const std::string text = log.text();
  for (const char* line :
       {"old interface count 1 new interface count 1",
        "Interface mismatched, handle network change, old interface count 0 new interface count 1",
        "No interface is up", "New network interface found, total new interface count 1",
        "No default Interface change detected, skipping this network change event"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

// The listener runs with the monitor's mutex held: a clear from another
// thread waits until the listener has returned.
TEST(OstDefaultRouteMonitorTest, ListenerRunsUnderTheMonitorsMutex) {
  class ProbingListener : public IInterfaceMonitor_Listener {
   public:
    void onNetworkStateChanged(int) override {
      other = std::thread([this] {
        monitor->clearInterfaces();
        cleared = true;
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      cleared_during_listener = cleared.load();
    }
    OstDefaultRouteMonitor* monitor = nullptr;
    std::thread other;
    std::atomic<bool> cleared{false};
    bool cleared_during_listener = true;
  } listener;
  auto* source = new FakeSource({});
  OstDefaultRouteMonitor monitor(&listener, std::unique_ptr<InterfaceSource>(source));
  listener.monitor = &monitor;
  source->set({Iface(2, 1, "198.51.100.10")});
  monitor.handleInterfaceChange();
  listener.other.join();
  EXPECT_FALSE(listener.cleared_during_listener);
  EXPECT_TRUE(listener.cleared);
  EXPECT_TRUE(monitor.interfaces().empty());
}

TEST(OstDefaultRouteMonitorTest, AddressNotificationRecomputes) {
  StartedLog log(0);
  Fixture f({Iface(2, 1, "198.51.100.10")});
  const int before = f.source->calls();
  uint32_t ip = 0;
  inet_pton(AF_INET, "198.51.100.11", &ip);
  f.monitor.onUnicastIpChange(3, ip, 2);  // the initial notification
  EXPECT_EQ(f.source->calls(), before);

  f.source->set({Iface(2, 1, "198.51.100.11")});
  f.monitor.onUnicastIpChange(1, ip, 2);
  EXPECT_EQ(f.source->calls(), before + 1);
  EXPECT_EQ(f.listener.take(), std::vector<int>{2});
  const std::string text = log.text();
  EXPECT_NE(text.find("Unicase IP Change: type:1 ip:198.51.100.11 interface id:2"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("OstInterfaceMonitor::SetNetworkProfile"), std::string::npos) << text;
}

// The asynchronous trigger clears first, so an unchanged network reports up.
TEST(OstDefaultRouteMonitorTest, AsyncTriggerReportsUp) {
  RecordingListener listener;
  {
    OstDefaultRouteMonitor monitor(
        &listener, std::make_unique<FakeSource>(std::vector{Iface(2, 1, "198.51.100.10")}));
    monitor.triggerInterfaceChangeAsync();
    monitor.triggerInterfaceChangeAsync();
  }  // joins the trigger thread
  EXPECT_EQ(listener.take(), (std::vector<int>{1, 1}));
}

}  // namespace
