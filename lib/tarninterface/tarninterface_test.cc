#include "lib/tarninterface/tarninterface.h"

#include <arpa/inet.h>
#include <net/if.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/netns.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::StartedLog;

constexpr char kTag[] = "TARNInterfaceLib::getBestInterface";

std::string Dotted(uint32_t address) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &address, text, sizeof text);
  return text;
}

// Index, metric and address of an entry, for whole-list comparisons.
std::string Show(const DefaultInterface& d) {
  return std::to_string(d.ifIndex) + " m" + std::to_string(d.metric) + " " + Dotted(d.ipAddr);
}

std::vector<std::string> Show(const std::vector<DefaultInterface>& list) {
  std::vector<std::string> out;
  for (const DefaultInterface& d : list) out.push_back(Show(d));
  return out;
}

// A namespace with two veth pairs and the tunnel adapter:
//   va 10.61.1.1/24 (no alias)      va2 no IPv4 address
//   vb 10.61.2.1/24 alias "uplink B"  vb2 no IPv4 address
//   tarnif: a TUN device with alias "WinTun Tunnel", MTU 1300, 10.61.3.1/24
// Routes are the tests' own.
class TarnInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root";
    log_ = std::make_unique<StartedLog>(CXLOG_FMT_LEVEL_NUMBER);
    ns_ = std::make_unique<testing_support::TestNetns>("tarnif");
    ASSERT_TRUE(ns_->created()) << "ip netns add " << ns_->name();
    ASSERT_TRUE(Ip({"link", "add", "va", "type", "veth", "peer", "name", "va2"}));
    ASSERT_TRUE(Ip({"link", "add", "vb", "type", "veth", "peer", "name", "vb2"}));
    ASSERT_TRUE(Ip({"tuntap", "add", "dev", "tarnif", "mode", "tun"}));
    ASSERT_TRUE(Ip({"link", "set", "dev", "tarnif", "alias", "WinTun Tunnel"}));
    ASSERT_TRUE(Ip({"link", "set", "dev", "tarnif", "mtu", "1300"}));
    ASSERT_TRUE(Ip({"link", "set", "dev", "vb", "alias", "uplink B"}));
    ASSERT_TRUE(Ip({"addr", "add", "10.61.1.1/24", "dev", "va"}));
    ASSERT_TRUE(Ip({"addr", "add", "10.61.2.1/24", "dev", "vb"}));
    ASSERT_TRUE(Ip({"addr", "add", "10.61.3.1/24", "dev", "tarnif"}));
    for (const char* dev : {"lo", "va", "va2", "vb", "vb2", "tarnif"}) {
      ASSERT_TRUE(Ip({"link", "set", "dev", dev, "up"})) << dev;
    }
    ASSERT_TRUE(ns_->RunInside([this] {
      va_ = ::if_nametoindex("va");
      vb_ = ::if_nametoindex("vb");
    }));
    ASSERT_NE(va_, 0u);
    ASSERT_NE(vb_, 0u);
  }

  bool Ip(std::vector<std::string> args) { return ns_->Ip(std::move(args)); }

  // getBestInterface inside the namespace; the list it leaves.
  std::vector<DefaultInterface> Best(bool* ok) {
    std::vector<DefaultInterface> list;
    EXPECT_TRUE(ns_->RunInside([&] { *ok = TARNInterfaceLib::getBestInterface(&list); }));
    return list;
  }

  bool Logged(int serviceLevel, const std::string& message) const {
    const std::string line =
        " vedororore " + std::to_string(serviceLevel) + " " + kTag + " " + message + "\n";
    return log_->text().find(line) != std::string::npos;
  }

  // Made only when the test runs as root.
  std::unique_ptr<StartedLog> log_;
  std::unique_ptr<testing_support::TestNetns> ns_;
  uint32_t va_ = 0;
  uint32_t vb_ = 0;
};

TEST_F(TarnInterfaceTest, DefaultRouteInterfacesSortedByMetric) {
  ASSERT_TRUE(Ip({"route", "add", "default", "via", "10.61.1.2", "dev", "va", "metric", "20"}));
  ASSERT_TRUE(Ip({"route", "add", "default", "via", "10.61.2.2", "dev", "vb", "metric", "10"}));
  // A second default-route row on va: 0.0.0.0 is the destination whatever the mask.
  ASSERT_TRUE(Ip({"route", "add", "0.0.0.0/1", "via", "10.61.1.2", "dev", "va", "metric", "30"}));
  // Not listed: no IPv4 address, the tunnel adapter, not a default route.
  ASSERT_TRUE(Ip({"route", "add", "default", "dev", "va2", "metric", "15"}));
  ASSERT_TRUE(Ip({"route", "add", "default", "dev", "tarnif", "metric", "1"}));
  ASSERT_TRUE(Ip({"route", "add", "10.99.0.0/16", "via", "10.61.1.2", "dev", "va", "metric", "5"}));

  // An entry already in the list is sorted with the new ones.
  DefaultInterface earlier;
  earlier.ifIndex = 99;
  earlier.metric = 25;
  std::vector<DefaultInterface> list = {earlier};
  bool ok = false;
  ASSERT_TRUE(ns_->RunInside([&] { ok = TARNInterfaceLib::getDefaultRouteInterfaces(&list); }));
  EXPECT_TRUE(ok);
  const std::string a = " 10.61.1.1", b = " 10.61.2.1";
  EXPECT_EQ(Show(list), (std::vector<std::string>{
                            std::to_string(vb_) + " m10" + b, std::to_string(va_) + " m20" + a,
                            "99 m25 0.0.0.0", std::to_string(va_) + " m30" + a}));
  ASSERT_EQ(list.size(), 4u);
  EXPECT_EQ(list[0].adapterType, 6);
  EXPECT_STREQ(list[0].description, "uplink B");
  EXPECT_EQ(list[1].adapterType, 6);
  EXPECT_STREQ(list[1].description, "");
  EXPECT_TRUE(list[1].firstText.empty() && list[1].secondText.empty());
}

TEST_F(TarnInterfaceTest, BestInterfaceAndItsFallback) {
  bool ok = true;
  std::vector<DefaultInterface> none;
  ASSERT_TRUE(ns_->RunInside([&] { ok = TARNInterfaceLib::getDefaultRouteInterfaces(&none); }));
  EXPECT_FALSE(ok);
  EXPECT_TRUE(none.empty());

  // No route to 0.0.0.0 at all.
  ok = true;
  EXPECT_TRUE(Best(&ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Logged(2, "failed to get best interface error: 0x490")) << log_->text();

  // The best route goes through the tunnel adapter, and there is nothing else.
  ASSERT_TRUE(Ip({"route", "add", "default", "dev", "tarnif", "metric", "1"}));
  ok = true;
  EXPECT_TRUE(Best(&ok).empty());
  EXPECT_FALSE(ok);
  EXPECT_TRUE(Logged(2, "No valid best interface found")) << log_->text();

  // Through the tunnel adapter again, or an interface without an address: the
  // lowest-metric default-route interface stands in, with its own metric.
  ASSERT_TRUE(Ip({"route", "add", "default", "via", "10.61.1.2", "dev", "va", "metric", "20"}));
  ASSERT_TRUE(Ip({"route", "add", "default", "via", "10.61.2.2", "dev", "vb", "metric", "10"}));
  const std::string vb_record = std::to_string(vb_) + " m10 10.61.2.1";
  EXPECT_EQ(Show(Best(&ok)), std::vector<std::string>{vb_record});
  EXPECT_TRUE(ok);
  EXPECT_TRUE(Logged(4, "Best Interface index " + std::to_string(vb_) + ", IP 10.61.2.1"))
      << log_->text();
  ASSERT_TRUE(Ip({"route", "del", "default", "dev", "tarnif", "metric", "1"}));
  ASSERT_TRUE(Ip({"route", "add", "default", "dev", "va2", "metric", "5"}));
  EXPECT_EQ(Show(Best(&ok)), std::vector<std::string>{vb_record});

  // The best route's interface itself, as metric 1.
  ASSERT_TRUE(Ip({"route", "del", "default", "dev", "va2", "metric", "5"}));
  std::vector<DefaultInterface> best = Best(&ok);
  EXPECT_TRUE(ok);
  EXPECT_EQ(Show(best), std::vector<std::string>{std::to_string(vb_) + " m1 10.61.2.1"});
  ASSERT_EQ(best.size(), 1u);
  EXPECT_EQ(best[0].adapterType, 6);
  EXPECT_STREQ(best[0].description, "uplink B");
}

}  // namespace
