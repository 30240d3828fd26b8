// The virtual-address lease end to end: `dovadod -console` in the client
// namespace of the tunnel fixture, on the example work directory's graph
// with an address manager (and a SNAT mapper) added and an overlay file
// without a static virtual address, and one test hub leasing addresses for
// 60 s from a pool. The test plays the tunnel adapter's owner: it puts each
// leased address on tarnif and owns the network-disconnect event. Needs root.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "platform/named_event/named_event.h"
#include "tests/support/tunnel_service.h"

namespace {

using nlohmann::json;
using std::chrono::seconds;
using std::chrono::steady_clock;
using testing::HasSubstr;
using testing_support::kClientOverlay;
using testing_support::kDisconnectEvent;
using testing_support::kTenant;
using testing_support::Since;
using testing_support::TunnelNetns;
using testing_support::WaitFor;

constexpr char kHubName[] = "huba";
constexpr char kHubWan[] = "198.51.100.1";
constexpr char kHubOverlay[] = "100.64.0.1";
constexpr char kFirstVip[] = "100.64.1.20";
constexpr char kSecondVip[] = "100.64.1.21";

class TunnelLeaseTest : public testing_support::TunnelServiceTest {
 protected:
  TunnelLeaseTest() : TunnelServiceTest(DOVADOD_PROGRAM) {}

  void SetUp() override {
    TunnelServiceTest::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    ASSERT_NO_FATAL_FAILURE(MakeHubLeaf(kHubName, kHubOverlay));
    ASSERT_NO_FATAL_FAILURE(PrepareClient(DOVADOD_EXAMPLE_WORKDIR));
    std::ofstream(workdir_ + "/ostrel.graph", std::ios::app)
        << "\naddrMgmt :: OstAddrMgmt;\nsnatmap :: OstrelSNATIPMapper;\n";

    const json nexthop = json::array({NextHop(kHubName, kHubWan, kHubOverlay)});
    const json remote = json::array({RemoteHub(kHubOverlay)});
    json local = {
        {"overlayIP", kClientOverlay}, {"overlayNetmask", "255.255.0.0"}, {"tenantID", kTenant},
        {"siteid", "site-1"},          {"roles", {{{"type", "SPOKE"}}}},  {"nexthop", nexthop}};
    std::ofstream(workdir_ + "/ostrel-overlay.json")
        << json{{"local", local}, {"remote", remote}}.dump(2);
  }

  int StartHub() {
    return TunnelServiceTest::StartHub(TESTHUB_PROGRAM, kHubName, kHubWan, kHubOverlay,
                                       {{"vip_pool", kFirstVip},
                                        {"vip_pool_size", 4},
                                        {"lease_s", 60},
                                        {"nameservers", "10.0.0.53"},
                                        {"domain_list", "corp.example"}});
  }

  static bool PageShowsVip(const char* vip) {
    return PageText().find(std::string("\"dsps_uservip\":\"") + vip + "\"") != std::string::npos;
  }

  // `count` echo requests from `from` to the hub's overlay address; the
  // replies received.
  int Ping(const char* from, int count) { return PingFrom(from, kHubOverlay, count); }

  // The hub's one client, or null.
  static const json* HubClient(const json& stats) {
    if (!stats.contains("clients") || stats["clients"].size() != 1) return nullptr;
    return &stats["clients"][0];
  }
};

// S7: the leased address shows on the page without a FIFO byte (the first
// address of a run), carries pings once the owner put it on tarnif, is
// renewed (type 5) at half its 60 s lease, and a refresh asked by the hub
// brings a new address: one FIFO byte, its NAPT line, the page updated, and
// pings from the new address.
TEST_F(TunnelLeaseTest, LeasedAddressIsRenewedAndReplacedOnRefresh) {
  platform::NamedEventOwner disconnect;
  ASSERT_EQ(disconnect.create(kDisconnectEvent), 0u);
  const int hub = StartHub();
  ASSERT_GE(hub, 0);
  ASSERT_NO_FATAL_FAILURE(StartService());

  ASSERT_TRUE(WaitFor([] { return PageShowsVip(kFirstVip); }, seconds(20))) << PageText() << "\n"
                                                                            << Log();
  const auto leased = steady_clock::now();
  EXPECT_FALSE(disconnect.wait(0)) << "the first address of a run signals nothing";
  const testing_support::TestNetns& c = net_.client();
  ASSERT_TRUE(c.Ip(
      {"addr", "add", std::string(kFirstVip) + "/32", "dev", testing_support::kTunnelAdapter}));
  json s = Stats(hub);
  const json* client = HubClient(s);
  ASSERT_NE(client, nullptr) << s.dump();
  EXPECT_EQ((*client)["vip"], kFirstVip) << s.dump();
  int code = -1;
  EXPECT_THAT(TunnelNetns::Run(&net_.hub(), {"ip", "route", "show", "dev", kHubName}, &code),
              HasSubstr(kFirstVip));
  EXPECT_EQ(Ping(kFirstVip, 3), 3) << Log();

  ASSERT_TRUE(WaitFor(
      [&] {
        const json now = Stats(hub);
        const json* cl = HubClient(now);
        return cl != nullptr && (*cl)["am_types"].contains("5");
      },
      seconds(40)))
      << Stats(hub).dump() << "\n"
      << Log();
  const double renew_after = Since(leased);
  EXPECT_GT(renew_after, 24.0);
  EXPECT_LT(renew_after, 36.0);

  Ctl(hub, "amcode 3");
  ASSERT_TRUE(WaitFor([] { return PageShowsVip(kSecondVip); }, seconds(15))) << PageText() << "\n"
                                                                             << Log();
  EXPECT_TRUE(disconnect.wait(2000));
  EXPECT_FALSE(disconnect.wait(0)) << "one byte for the change";
  EXPECT_THAT(Log(), HasSubstr(std::string("OstAddrMgmt: Add NAPT for ") + kSecondVip));
  ASSERT_TRUE(c.Ip(
      {"addr", "add", std::string(kSecondVip) + "/32", "dev", testing_support::kTunnelAdapter}));
  EXPECT_EQ(Ping(kSecondVip, 3), 3) << Log();
  std::printf("renewal %.1f s after the lease\n", renew_after);
}

}  // namespace
