#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "ostgraphsvc/ostnetmonitor/interface_monitor.h"

namespace {

// Flips between two lists on every call, so most recomputes send an event.
class FlippingSource : public InterfaceSource {
 public:
  std::vector<DefaultInterface> DefaultRouteInterfaces() override {
    DefaultInterface d;
    d.ifIndex = 2;
    d.ipAddr = htonl(0xC6336400u + (flip_.fetch_add(1) & 1));
    return {d};
  }

 private:
  std::atomic<unsigned> flip_{0};
};

// Fails when two changes are ever handled at once.
class ExclusiveListener : public IInterfaceMonitor_Listener {
 public:
  void onNetworkStateChanged(int) override {
    if (inside_.exchange(true)) overlapped_ = true;
    events_.fetch_add(1);
    std::this_thread::yield();
    inside_ = false;
  }
  std::atomic<bool> inside_{false};
  std::atomic<bool> overlapped_{false};
  std::atomic<int> events_{0};
};

// Recomputes, clears and asynchronous triggers from several threads, with
// the address watch running and the monitor destroyed at the end: changes
// are handled one at a time and nothing outlives the monitor.
TEST(OstDefaultRouteMonitorConcurrencyTest, ChangesAreSerialised) {
  ExclusiveListener listener;
  {
    OstDefaultRouteMonitor monitor(&listener, std::make_unique<FlippingSource>());
    ASSERT_TRUE(monitor.StartAddressWatch());
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
      threads.emplace_back([&monitor, t] {
        for (int i = 0; i < 100; ++i) {
          if (t == 0) monitor.handleInterfaceChange();
          if (t == 1) monitor.clearInterfaces();
          if (t == 2 && i % 10 == 0) monitor.triggerInterfaceChangeAsync();
          (void)monitor.interfaces();
        }
      });
    }
    for (std::thread& t : threads) t.join();
    monitor.triggerInterfaceChangeAsync();
  }
  EXPECT_FALSE(listener.overlapped_);
  EXPECT_GE(listener.events_.load(), 100);
}

// Start and stop in quick succession: every stop wakes and joins the thread.
TEST(AddressWatcherConcurrencyTest, RepeatedStartAndStop) {
  AddressWatcher watcher([](int, uint32_t, uint32_t) {}, [] {});
  for (int i = 0; i < 20; ++i) {
    ASSERT_TRUE(watcher.Start());
    EXPECT_FALSE(watcher.Start());
    watcher.Stop();
    EXPECT_FALSE(watcher.running());
  }
}

}  // namespace
