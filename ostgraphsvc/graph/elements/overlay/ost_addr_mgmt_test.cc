// The virtual-address lease: decisions on a wall clock the test sets,
// assignments and what they signal, and the lease members of the status page.
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"

#include <ctime>
#include <string>

#include "graph/json.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/local/ostrel_snat.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"
#include "platform/named_event/named_event.h"

namespace overlay_test {
namespace {

constexpr char kDisconnectEvent[] = "Global\\netdisconnect-61c66bde-6541-4b08-bed9-ab292de901b6";
constexpr int64_t kStart = 1'700'000'000;

int64_t g_now = kStart;
void FakeClock(struct timespec* now) {
  now->tv_sec = static_cast<time_t>(g_now);
  now->tv_nsec = 0;
}

class AddrMgmtTest : public OverlayFixture {
 protected:
  AddrMgmtTest() {
    g_now = kStart;
    set_system_time_source(FakeClock);
  }
  ~AddrMgmtTest() override { set_system_time_source(nullptr); }

  void SetUp() override {
    const std::string graph =
        "src :: TestSource; src1 :: TestSource; sink :: TestSink;\n"
        "snatmap :: OstrelSNATIPMapper; cls :: OstrelL3ProtoClassifier(snatmap);\n"
        "src -> [0]cls; src1 -> [1]cls;\n"
        "cls[0] -> [0]sink; cls[1] -> [0]sink; cls[2] -> [0]sink; cls[3] -> [0]sink;\n"
        "cls[4] -> [0]sink; cls[5] -> [0]sink; cls[6] -> [0]sink; cls[7] -> [0]sink;\n"
        "ov :: OstrelOverlay(CONF " +
        WriteConf(kTwoHubs) +
        "); am :: OstAddrMgmt;\n"
        "ovsrc :: TestSource; ovsrc -> [0]ov; ov[0] -> [1]sink; ov[1] -> [1]sink; "
        "ov[2] -> [1]sink; ov[3] -> [1]sink;\n";
    ASSERT_TRUE(h_.Load(graph)) << h_.messages();
    ov_ = static_cast<OstrelOverlay*>(h_.Find("ov"));
    am_ = static_cast<OstAddrMgmt*>(h_.Find("am"));
    cls_ = static_cast<OstrelL3ProtoClassifier*>(h_.Find("cls"));
    ASSERT_EQ(registered_addr_mgmt(), am_);
  }

  int Decide(int64_t elapsed, bool* expired) {
    g_now = kStart + elapsed;
    return am_->get_peer_address_msg_type(Ip(kHub), expired);
  }

  static constexpr const char* kHub = "10.20.0.1";
  OstAddrMgmt* am_ = nullptr;
  OstrelL3ProtoClassifier* cls_ = nullptr;
};

TEST_F(AddrMgmtTest, LeaseDecisionsInSixtyFourBits) {
  struct Case {
    uint32_t lease;
    int64_t elapsed;
    int type;
    bool expired;
  } cases[] = {
      {3600, 1799, 4, false},         {3600, 1800, 5, false},
      {3600, 3239, 5, false},         {3600, 3240, 6, false},
      {3600, 3600, 1, true},          {3600, -5, 1, true},  // assigned in the future
      {50000000, 24999999, 4, false}, {50000000, 25000000, 5, false},
      {50000000, 45000000, 6, false}, {50000000, 44999999, 5, false},
  };
  for (const Case& c : cases) {
    g_now = kStart;
    am_->set_ip_addr(Ip(kHub), Ip("100.64.1.20"), Ip("255.255.255.0"), c.lease, true, String(),
                     String());
    bool expired = !c.expired;
    EXPECT_EQ(Decide(c.elapsed, &expired), c.type) << c.lease << " at " << c.elapsed;
    EXPECT_EQ(expired, c.expired) << c.lease << " at " << c.elapsed;
  }
  bool expired = false;
  EXPECT_EQ(am_->get_peer_address_msg_type(Ip("10.20.0.2"), &expired), 1);  // not the leasing hub

  am_->set_ip_addr(Ip(kHub), Ip("100.64.1.20"), Ip("255.255.255.0"), 0xffffffffu, true, String(),
                   String());
  EXPECT_EQ(am_->lease().lease_secs, 0x7fffffff);
  EXPECT_EQ(Decide(0x7ffffffe, &expired), 6);
}

TEST_F(AddrMgmtTest, LastUsedAddressIsReusedOnlyWhileItsLeaseLasts) {
  for (int64_t age : {0, 10}) {
    LastUsedIpDetails& record = ov_->peer_config().overlay_json.lastusedip_details;
    record.ip_addr = Ip("100.64.1.77");
    record.ip_mask = Ip("255.255.0.0");
    record.assigned_peer = Ip(kHub);
    record.lease_time_secs = 3600;
    record.assigned_time = Timestamp::make_sec(kStart - age);
    record.name_servers = String("10.0.0.53");
    Vector<String> conf;
    ASSERT_EQ(am_->configure(conf, nullptr), 0);
    bool expired = false;
    const int type = am_->get_peer_address_msg_type(Ip(kHub), &expired);
    if (age == 0) {
      EXPECT_EQ(type, 1);
      EXPECT_NE(log_.text().find("Last used IP cache expired. No longer reusing the IP "
                                 "100.64.1.77 exp:3600"),
                std::string::npos);
      EXPECT_EQ(am_->current_address().addr(), 0u);
      continue;
    }
    EXPECT_EQ(type, 4);
    EXPECT_NE(log_.text().find("Reusing the IP 100.64.1.77 from 10.20.0.1 last used. assigned 10 "
                               "secs back. expiry :3600"),
              std::string::npos);
    EXPECT_EQ(am_->current_address(), Ip("100.64.1.77"));
    EXPECT_EQ(cls_->virtual_address(), Ip("100.64.1.77"));
    EXPECT_EQ(am_->lease().assigned_time, Timestamp::make_sec(kStart - 10));
    EXPECT_EQ(Decide(1790, &expired), 5);  // 1800 s after the record's time
  }
}

TEST_F(AddrMgmtTest, AssignmentsSignalAndInstallNaptOnlyOnRealChanges) {
  platform::NamedEventOwner owner;
  ASSERT_EQ(owner.create(kDisconnectEvent), 0u);
  struct Step {
    const char* address;
    const char* mask;
    const char* ns;
    const char* dl;
    bool signal;
    bool napt;
  } steps[] = {
      {"100.64.1.20", "255.255.255.0", "10.0.0.53", "corp.example", false, true},  // first
      {"100.64.1.20", "255.255.255.0", "10.0.0.53", "corp.example", false, false},
      {"100.64.1.20", "255.255.255.0", "10.0.0.53", "lab.example", true, false},
      {"100.64.1.20", "255.255.0.0", "10.0.0.53", "lab.example", true, true},
      {"100.64.1.20", "255.255.0.0", "10.0.0.53", "   ", true, false},
      {"100.64.1.20", "255.255.0.0", "10.0.0.53", "   ", false, false},  // spaces again
      {"100.64.1.21", "255.255.0.0", "10.0.0.53", "", true, true},
  };
  int i = 0;
  for (const Step& s : steps) {
    log_.fresh();
    am_->set_ip_addr(Ip(kHub), Ip(s.address), Ip(s.mask), 3600, true, String(s.ns), String(s.dl));
    const std::string lines = log_.fresh();
    EXPECT_EQ(owner.wait(0), s.signal) << "step " << i;
    EXPECT_EQ(
        lines.find("OstAddrMgmt: Add NAPT for " + std::string(s.address)) != std::string::npos,
        s.napt)
        << "step " << i;
    ++i;
  }
  EXPECT_EQ(am_->lease().domain_list, String());
  EXPECT_EQ(am_->last_used().ip_addr, Ip("100.64.1.21"));
  EXPECT_EQ(cls_->virtual_address(), Ip("100.64.1.21"));
}

TEST_F(AddrMgmtTest, ClearLeaseKeepsTheAddressAndForgetsTheRecord) {
  am_->set_ip_addr(Ip(kHub), Ip("100.64.1.20"), Ip("255.255.255.0"), 3600, true, String("a"),
                   String("b"));
  am_->reset_address_state();
  bool expired = false;
  EXPECT_EQ(am_->get_peer_address_msg_type(Ip(kHub), &expired), 1);
  EXPECT_EQ(am_->current_address(), Ip("100.64.1.20"));
  EXPECT_EQ(am_->last_used().ip_addr.addr(), 0u);
  EXPECT_EQ(am_->last_used().domain_list, String());
}

// A hub of the first group gets an address refresh; one of the second group
// a route update (nothing is due without an address).
TEST_F(AddrMgmtTest, RefreshOnlyForTheFirstHubGroup) {
  OverlayPeerDescriptor* first = ov_->get_opd(Ip(kHub));
  OverlayPeerDescriptor* second = ov_->get_opd(Ip("10.20.0.2"));
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  am_->check_and_initiate_ip_refresh(Ip(kHub));
  EXPECT_EQ(first->addr_mgmt_handler->current_version, 1u);
  am_->check_and_initiate_ip_refresh(Ip("10.20.0.2"));
  EXPECT_EQ(second->addr_mgmt_handler->current_version, 0u);
  EXPECT_NE(log_.text().find("Dynamic Addressing not enabled for 10.20.0.2, triggering route "
                             "update"),
            std::string::npos);
  EXPECT_NE(log_.text().find("RouteMsg: no vip. nothing to trigger to send in routemsg"),
            std::string::npos);
}

// The lease members of the listing appear for the leasing hub once it holds
// the client address; the lease figures only while the lease runs.
TEST_F(AddrMgmtTest, StatusListingShowsTheLeaseForTheLeasingHub) {
  transport_.established = true;
  for (const char* peer : {kHub, "10.20.0.2"}) {
    OverlayPathSetup s;
    s.local_path_id = peer[8] == '1' ? 1 : 2;
    s.peer_overlay = Ip(peer);
    s.remote_wan = Ip(peer[8] == '1' ? "192.0.2.1" : "192.0.2.2");
    s.local_wan = Ip("198.51.100.10");
    s.protocol = 2;
    auto od = ov_->insert_path(std::make_shared<OverlayDescriptor>(s));
    ov_->get_opd(Ip(peer))->paths.push_back(od);
  }
  auto members = [&](int i) { return Json::parse(ov_->list_overlays()).get(String(i)); };
  EXPECT_TRUE(members(0).get("dsps_uservip").is_null());  // no client address yet

  am_->set_ip_addr(Ip(kHub), Ip("100.64.1.20"), Ip("255.255.255.0"), 3600, true,
                   String("10.0.0.53 \"x\""), String("corp.example"));
  ov_->get_opd(Ip(kHub))->client_vip = Ip("100.64.1.20");
  const Json hub = members(0);
  EXPECT_EQ(hub.get("dsps_userip_lease_secs").to_int(), 3600);
  EXPECT_EQ(hub.get("dsps_userip_assign_time").to_double(), static_cast<double>(kStart));
  EXPECT_EQ(hub.get("dsps_uservip_mask").text(), String("255.255.255.0"));
  EXPECT_EQ(hub.get("dsps_uservip").text(), String("100.64.1.20"));
  EXPECT_EQ(hub.get("dsps_userip_ns").text(), String("10.0.0.53 \"x\""));  // escaped, read back
  EXPECT_EQ(hub.get("dsps_userip_dl").text(), String("corp.example"));
  EXPECT_EQ(hub.get("dsps_tunnel_type").text(), String("tls"));
  EXPECT_TRUE(members(1).get("dsps_uservip").is_null());  // not the leasing hub
  EXPECT_NE(log_.text().find(":192.0.2.1(tls,?,v)"), std::string::npos);
  EXPECT_NE(log_.text().find("vip(d): 100.64.1.20"), std::string::npos);

  am_->clear_lease();
  const Json cleared = members(0);
  EXPECT_TRUE(cleared.get("dsps_userip_lease_secs").is_null());
  EXPECT_TRUE(cleared.get("dsps_uservip_mask").is_null());
  EXPECT_EQ(cleared.get("dsps_uservip").text(), String("100.64.1.20"));
  EXPECT_FALSE(cleared.get("dsps_userip_ns").is_null());
}

}  // namespace
}  // namespace overlay_test
