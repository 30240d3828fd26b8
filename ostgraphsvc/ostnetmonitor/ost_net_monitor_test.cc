#include "ostgraphsvc/ostnetmonitor/ost_net_monitor.h"

#include <gtest/gtest.h>

#include <string>

#include "lib/interfacemonitor/ost_interface_monitor.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "platform/named_event/named_event.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::StartedLog;

constexpr char kDisconnectEvent[] = "Global\\netdisconnect-61c66bde-6541-4b08-bed9-ab292de901b6";

size_t Count(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// The transport's start-up runs the factory: the process's monitor is made,
// published and watching, once however often the transport starts.
TEST(OstNetMonitorTest, TransportStartMakesTheProcessMonitor) {
  StartedLog log(0);
  ostssl::reset_for_testing();
  install_net_monitor_factory();
  ASSERT_EQ(ostssl::init_openssl(), 0);
  EXPECT_NE(OstInterfaceMonitor::Instance(), nullptr);
  EXPECT_TRUE(OstNetMonitor::watching());
  OstInterfaceMonitor* first = OstInterfaceMonitor::Instance();
  ostssl::reset_for_testing();
  install_net_monitor_factory();
  ASSERT_EQ(ostssl::init_openssl(), 0);
  EXPECT_EQ(OstInterfaceMonitor::Instance(), first);
  ostssl::reset_for_testing();
  const std::string text = log.text();
  EXPECT_EQ(Count(text, "ostmonitor init"), 1u) << text;
  EXPECT_EQ(text.find("error initializing network monitoring"), std::string::npos) << text;
}

TEST(OstNetMonitorTest, EventsUnconfirmDtlsAndSignalTheOtherProcess) {
  // Never destroyed, as in the service: the process's monitor may point at it.
  static OstNetMonitor* const monitor = new OstNetMonitor();
  struct Row {
    int event;
    const char* line;
    bool signals;
  };
  const Row rows[] = {
      {0, "Network disconnected, disconnect all tunnels", true},
      {1, "Network connected. connect all tunnels", true},
      {2, "Network source ip or default route is changed, reconnect all tunnels", true},
      {5, nullptr, false},
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(r.event);
    StartedLog log(0);
    platform::NamedEventOwner owner;
    ASSERT_EQ(owner.create(kDisconnectEvent), 0u);
    ostssl::set_dtls_confirmed(true);
    monitor->onNetworkStateChanged(r.event);
    const std::string text = log.text();
    EXPECT_EQ(owner.wait(0), r.signals);
    EXPECT_EQ(ostssl::dtls_confirmed(), !r.signals);
    if (r.line == nullptr) {
      EXPECT_EQ(text.find("onNetworkStateChanged"), std::string::npos) << text;
      continue;
    }
    EXPECT_EQ(Count(text, r.line), 1u) << text;
    EXPECT_EQ(Count(text, "ostssl::unconfirming_dtls_works marking dtls working unconfirmed"), 1u)
        << text;
  }
  ostssl::reset_for_testing();
}

TEST(OstNetMonitorTest, NoOwnerOfTheEventIsLogged) {
  static OstNetMonitor* const monitor = new OstNetMonitor();
  StartedLog log(0);
  monitor->onNetworkStateChanged(1);
  EXPECT_NE(
      log.text().find("Failed to signal network disconnect event to tarnclient service, error:2"),
      std::string::npos)
      << log.text();
}

}  // namespace
