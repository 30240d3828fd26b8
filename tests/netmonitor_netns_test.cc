// The network change monitor against a real kernel: address notifications
// from a network namespace the test makes, and the default-route decisions
// they lead to. Root only; skipped otherwise.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "lib/tarninterface/tarninterface.h"
#include "ostgraphsvc/ostnetmonitor/address_watcher.h"
#include "ostgraphsvc/ostnetmonitor/interface_monitor.h"
#include "tests/support/netns.h"
#include "tests/support/started_log.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;
using testing_support::RunProgram;
using testing_support::StartedLog;
using testing_support::TestNetns;

constexpr auto kWait = std::chrono::seconds(5);

// Things seen on another thread, waited for with a bound.
class Seen {
 public:
  void add(std::string s) {
    std::lock_guard<std::mutex> lock(mu_);
    items_.push_back(std::move(s));
    cv_.notify_all();
  }
  // Waits until `want` has been seen; true when it was within the bound.
  bool wait_for(const std::string& want) {
    std::unique_lock<std::mutex> lock(mu_);
    return cv_.wait_for(lock, kWait, [&] {
      for (const std::string& s : items_)
        if (s == want) return true;
      return false;
    });
  }
  std::vector<std::string> items() {
    std::lock_guard<std::mutex> lock(mu_);
    return items_;
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> items_;
};

// A namespace with the veth pair nm0 (the watched side) and nm1, both up.
class NetmonNetnsTest : public testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to make network namespaces";
    ns_ = std::make_unique<TestNetns>("netmon");
    ASSERT_TRUE(ns_->created());
    ASSERT_TRUE(ns_->Ip({"link", "add", "nm0", "type", "veth", "peer", "name", "nm1"}));
    ASSERT_TRUE(ns_->Ip({"link", "set", "nm0", "up"}));
    ASSERT_TRUE(ns_->Ip({"link", "set", "nm1", "up"}));
    ASSERT_TRUE(ns_->RunInside([&] { index_ = if_nametoindex("nm0"); }));
    ASSERT_NE(index_, 0u);
  }

  std::unique_ptr<TestNetns> ns_;
  uint32_t index_ = 0;
};

TEST_F(NetmonNetnsTest, WatcherSeesAddressesAddedAndRemovedAndStopsPromptly) {
  Seen seen;
  AddressWatcher watcher(
      [&](int type, uint32_t ip, uint32_t index) {
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &ip, text, sizeof text);
        seen.add(std::to_string(type) + " " + text + " " + std::to_string(index));
      },
      [] {});
  bool started = false;
  // The socket is made inside the namespace; the thread reading it is not.
  ASSERT_TRUE(ns_->RunInside([&] { started = watcher.Start(); }));
  ASSERT_TRUE(started);

  const std::string idx = std::to_string(index_);
  ASSERT_TRUE(ns_->Ip({"addr", "add", "198.51.100.10/24", "dev", "nm0"}));
  EXPECT_TRUE(seen.wait_for("1 198.51.100.10 " + idx)) << testing::PrintToString(seen.items());
  ASSERT_TRUE(ns_->Ip({"addr", "del", "198.51.100.10/24", "dev", "nm0"}));
  EXPECT_TRUE(seen.wait_for("2 198.51.100.10 " + idx)) << testing::PrintToString(seen.items());

  const auto before = steady_clock::now();
  watcher.Stop();
  EXPECT_LT(steady_clock::now() - before, milliseconds(500));
  EXPECT_FALSE(watcher.running());
}

// The whole monitor on the namespace's own default-route list: an address
// added under a default route is the network coming up, a readdress is a
// change, and the last address going takes the route with it.
TEST_F(NetmonNetnsTest, MonitorFollowsAReaddressedInterface) {
  // Reads the namespace's list on a thread that entered it.
  class NamespaceSource : public InterfaceSource {
   public:
    explicit NamespaceSource(const TestNetns& ns) : ns_(ns) {}
    std::vector<DefaultInterface> DefaultRouteInterfaces() override {
      std::vector<DefaultInterface> list;
      ns_.RunInside([&] { TARNInterfaceLib::getDefaultRouteInterfaces(&list); });
      return list;
    }

   private:
    const TestNetns& ns_;
  };
  class Listener : public IInterfaceMonitor_Listener {
   public:
    void onNetworkStateChanged(int event) override { seen.add(std::to_string(event)); }
    Seen seen;
  } listener;

  StartedLog log(0);
  ASSERT_TRUE(RunProgram({"ip", "netns", "exec", ns_->name(), "sysctl", "-qw",
                          "net.ipv4.conf.nm0.promote_secondaries=1"}));
  ASSERT_TRUE(ns_->Ip({"addr", "add", "198.51.100.10/24", "dev", "nm0"}));
  ASSERT_TRUE(ns_->Ip({"route", "add", "default", "via", "198.51.100.1", "dev", "nm0", "onlink"}));

  OstDefaultRouteMonitor monitor(&listener, std::make_unique<NamespaceSource>(*ns_));
  ASSERT_EQ(monitor.interfaces().size(), 1u);
  bool started = false;
  ASSERT_TRUE(ns_->RunInside([&] { started = monitor.StartAddressWatch(); }));
  ASSERT_TRUE(started);

  // Readdress: add the new one, then delete the old; the new one is promoted.
  ASSERT_TRUE(ns_->Ip({"addr", "add", "198.51.100.20/24", "dev", "nm0"}));
  ASSERT_TRUE(ns_->Ip({"addr", "del", "198.51.100.10/24", "dev", "nm0"}));
  ASSERT_TRUE(
      ns_->Ip({"route", "replace", "default", "via", "198.51.100.1", "dev", "nm0", "onlink"}));
  EXPECT_TRUE(listener.seen.wait_for("2")) << log.text();

  ASSERT_TRUE(ns_->Ip({"addr", "del", "198.51.100.20/24", "dev", "nm0"}));
  EXPECT_TRUE(listener.seen.wait_for("0")) << log.text();

  ASSERT_TRUE(ns_->Ip({"addr", "add", "198.51.100.10/24", "dev", "nm0"}));
  ASSERT_TRUE(ns_->Ip({"route", "add", "default", "via", "198.51.100.1", "dev", "nm0", "onlink"}));
  // The route came after the address: the next address change finds it.
  ASSERT_TRUE(ns_->Ip({"addr", "add", "198.51.100.30/24", "dev", "nm0"}));
  EXPECT_TRUE(listener.seen.wait_for("1")) << log.text();
  monitor.StopAddressWatch();
  EXPECT_EQ(listener.seen.items(), (std::vector<std::string>{"2", "0", "1"})) << log.text();
}

}  // namespace
