// The log lines of every printer, exactly, read back through the debugger
// output of a started log.
#include "ostgraphsvc/overlaymsg/print_messages.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "ostgraphsvc/overlaymsg/overlay_msg_type.h"
#include "platform/debug_output/debug_output.h"
#include "tests/support/started_log.h"

namespace {

using Lines = std::vector<std::string>;

constexpr const char* kPeer = "192.0.2.1";

uint32_t address(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  return uint32_t{a} | uint32_t{b} << 8 | uint32_t{c} << 16 | uint32_t{d} << 24;
}

class PrintMessagesTest : public ::testing::Test {
 protected:
  PrintMessagesTest() : log_(0) {
    previous_ = platform::set_debug_output(&debug_);
    cxLogOutput = CXLOG_OUTPUT_DEBUGGER;
  }
  ~PrintMessagesTest() override {
    cxLogOutput = CXLOG_OUTPUT_FILE;
    platform::set_debug_output(previous_);
  }

  // "tag message" of every line written so far.
  Lines lines() const {
    Lines out;
    const std::string prefix = " vedororore ";
    for (const std::string& text : debug_.texts()) {
      EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0) << text;
      out.push_back(text.substr(prefix.size()));
    }
    return out;
  }

  testing_support::StartedLog log_;
  platform::RecordingDebugOutput debug_;
  platform::DebugOutput* previous_ = nullptr;
};

OstrelOverlayStateMsg two_wan_links() {
  OstrelOverlayStateMsg m;
  m.set_osm_type(OVERLAY_WANLINK_STATE_MSG);
  WanLinkStateMsg* links = m.mutable_osm_wlsmsg();
  links->set_wls_version(4);
  WanLinkStateDescMsg* first = links->add_wls_list();
  first->set_wls_ipv4(address(10, 0, 0, 1));
  first->set_wls_state(1);
  first->add_wls_natipv4(address(1, 2, 3, 4));
  first->add_wls_natipv4(address(5, 6, 7, 8));
  WanLinkStateDescMsg* second = links->add_wls_list();
  second->set_wls_ipv4(address(172, 16, 0, 9));
  second->set_wls_state(0);
  return m;
}

OstrelOverlayStateMsg of_kind(uint32_t kind) {
  OstrelOverlayStateMsg m;
  m.set_osm_type(kind);
  return m;
}

OstrelOverlayStateMsg endpoint(bool with_entry) {
  OstrelOverlayStateMsg m = of_kind(OVERLAY_PATHID_STATE_MSG);
  WanEndPtMsg* ep = m.mutable_osm_endptmsg();
  ep->set_wep_version(9);
  if (!with_entry) return m;
  WanEndPtDescMsg* entry = ep->add_wep_list();
  entry->set_wep_my_pathid(17);
  entry->set_wep_my_ipv4(0);
  entry->set_wep_remote_nat_ipv4(address(203, 0, 113, 5));
  entry->set_wep_remote_nat_port(4500);
  entry->mutable_wep_ods()->set_ods_rxloss_delayed(0.25);
  entry->mutable_wep_ods()->set_ods_rxloss_instant(1.5);
  ep->add_wep_list()->set_wep_my_pathid(99);  // only the first entry is printed
  return m;
}

OstrelOverlayStateMsg user_auth(bool with_token) {
  OstrelOverlayStateMsg m = of_kind(OVERLAY_USERAUTH_MSG);
  m.mutable_osm_userauthmsg()->set_uam_version(6);
  if (with_token) m.mutable_osm_userauthmsg()->set_uam_jwt("eyJhbGciOi.secret.sig");
  return m;
}

OstrelOverlayStateMsg addr_mgmt(const std::string& ns, const std::string& dom) {
  OstrelOverlayStateMsg m = of_kind(OVERLAY_ADDRMGMT_MSG);
  AddrMgmtMsg* a = m.mutable_osm_addrmgmtmsg();
  a->set_amm_version(3);
  a->set_amm_msg_type(2);
  a->set_amm_site_id("site-7");
  a->set_amm_mac_addr("aa:bb:cc:dd:ee:ff");
  a->set_amm_ipv4_addr(address(10, 0, 0, 1));
  a->set_amm_ipv4_mask(address(255, 255, 255, 0));
  a->set_amm_ret_code(0);
  a->set_amm_lifetime(3600);
  if (!ns.empty()) a->set_amm_nameservers(ns);
  if (!dom.empty()) a->set_amm_domain_list(dom);
  return m;
}

struct Case {
  const char* name;
  std::function<void()> print;
  Lines lines;
};

TEST_F(PrintMessagesTest, Lines) {
  const std::vector<Case> cases = {
      {"two WAN links: the NAT pieces run together",
       [] { print_overlay_state_msg(two_wan_links(), kPeer); },
       {"print_wanlink_state Overlay WAN Link state IPv4:10.0.0.1, STATE:1",
        "print_wanlink_state OVERLAY_WANLINK_STATE_MSG_192.0.2.1 IPv4:10.0.0.1, STATE:1 "
        "NAT_STATE(NATIPv4:1.2.3.4 STATE:1NATIPv4:5.6.7.8 STATE:1)",
        "print_wanlink_state Overlay WAN Link state IPv4:172.16.0.9, STATE:0",
        "print_wanlink_state OVERLAY_WANLINK_STATE_MSG_192.0.2.1 IPv4:172.16.0.9, STATE:0 "
        "NAT_STATE()"}},
      {"WAN links message without links",
       [] {
         OstrelOverlayStateMsg m = of_kind(OVERLAY_WANLINK_STATE_MSG);
         m.mutable_osm_wlsmsg()->set_wls_version(12);
         print_overlay_state_msg(m, kPeer);
       },
       {"print_overlay_state_msg OVERLAY_WANLINK_STATE_MSG_192.0.2.1 OSM_Type:3 Version:12"}},
      {"WAN links printer, other kind",
       [] { print_overlay_state_msg(of_kind(OVERLAY_SYNC_STATE_MSG), kPeer); },
       {"print_overlay_state_msg OVERLAY_WANLINK_STATE_MSG_192.0.2.1 OSM_Type:5"}},
      {"endpoint without entries ends after the version",
       [] { print_pathid_msg(endpoint(false), kPeer); },
       {"print_pathid_msg OVERLAY_PATHID_STATE_MSG_192.0.2.1 OSM_type:4 Version:9 "}},
      {"endpoint, first entry with loss figures",
       [] { print_pathid_msg(endpoint(true), kPeer); },
       {"print_pathid_msg OVERLAY_PATHID_STATE_MSG_192.0.2.1 OSM_type:4 Version:9 PATHID:17 "
        "MYIPv4:0.0.0.0 NATIPv4:203.0.113.5 NATport:4500 TXLOSS_D:0.250000 "
        "TXLOSS_I:1.500000 "}},
      {"endpoint printer, absent sub-message",
       [] { print_pathid_msg(of_kind(OVERLAY_KEEPALIVE_PROBE_RES), nullptr); },
       {"print_pathid_msg OVERLAY_PATHID_STATE_MSG_ OSM_type:13 Version:0 "}},
      {"state sync",
       [] {
         OstrelOverlayStateMsg m = of_kind(OVERLAY_SYNC_STATE_MSG);
         SyncStateMsg* s = m.mutable_osm_syncstatemsg();
         s->set_wep_version(1);
         s->set_wls_version(2);
         s->set_rm_version(3);
         s->set_ua_version(4);
         s->set_am_version(5);
         print_state_sync_msg(m, kPeer);
       },
       {"print_state_sync_msg OVERLAY_SYNC_STATE_MSG_192.0.2.1 WAN_LINK_State_Version:2 "
        "WAN_EPT_State_Version:1 RM Version:3 UA Version:4 AM version:5"}},
      {"state sync without its sub-message",
       [] { print_state_sync_msg(of_kind(OVERLAY_SYNC_STATE_MSG), kPeer); },
       {"print_state_sync_msg OVERLAY_SYNC_STATE_MSG_192.0.2.1 WAN_LINK_State_Version:0 "
        "WAN_EPT_State_Version:0 RM Version:0 UA Version:0 AM version:0"}},
      {"route message: raw numbers",
       [] {
         OstrelOverlayStateMsg m = of_kind(OVERLAY_ROUTE_MSG);
         Route* r = m.mutable_osm_routemsg()->add_route();
         r->set_ip(address(10, 0, 0, 1));
         r->set_netmask(32);
         r->set_gw(address(10, 0, 0, 2));
         print_overlay_route_msg(m);
       },
       {"print_overlay_route_msg OverlayRouteMessageType:11",
        "print_overlay_route_msg Overlay_RM ip 16777226 prefix 32 gw 33554442"}},
      {"route printer, other kind",
       [] { print_overlay_route_msg(of_kind(OVERLAY_USERAUTH_MSG)); },
       {"print_overlay_route_msg OverlayRouteMessageType:14"}},
      {"user authentication without a token",
       [] { print_user_auth_msg(user_auth(false)); },
       {"print_user_auth_msg OverlayUserAuthMsg:14"}},
      {"user authentication: the token's length only",
       [] { print_user_auth_msg(user_auth(true)); },
       {"print_user_auth_msg OverlayUserAuthMsg:14",
        "print_user_auth_msg OverlayUserAuthMsg: version 6 jwt len:21"}},
      {"user authentication printer, other kind",
       [] { print_user_auth_msg(of_kind(0)); },
       {"print_user_auth_msg OverlayUserAuthMsg:0"}},
      {"address message without name servers and domains",
       [] { print_addr_mgmt_msg(addr_mgmt("", "")); },
       {"print_addr_mgmt_msg OverlayAddrMgmtMsg:17",
        "print_addr_mgmt_msg OverlayAddrMgmtMsg: version 3 type 2 site:site-7 addr:100000a "
        "(mask:ffffff) mac:aa:bb:cc:dd:ee:ff rc:0 leasetimesecs:3600"}},
      {"address message with both",
       [] { print_addr_mgmt_msg(addr_mgmt("10.1.1.1,10.1.1.2", "corp.example")); },
       {"print_addr_mgmt_msg OverlayAddrMgmtMsg:17",
        "print_addr_mgmt_msg OverlayAddrMgmtMsg: version 3 type 2 site:site-7 addr:100000a "
        "(mask:ffffff) mac:aa:bb:cc:dd:ee:ff rc:0 leasetimesecs:3600",
        "print_addr_mgmt_msg OverlayAddrMgmtMsg:ns:10.1.1.1,10.1.1.2 dom:corp.example"}},
      {"address message with a domain list only",
       [] { print_addr_mgmt_msg(addr_mgmt("", "corp.example")); },
       {"print_addr_mgmt_msg OverlayAddrMgmtMsg:17",
        "print_addr_mgmt_msg OverlayAddrMgmtMsg: version 3 type 2 site:site-7 addr:100000a "
        "(mask:ffffff) mac:aa:bb:cc:dd:ee:ff rc:0 leasetimesecs:3600",
        "print_addr_mgmt_msg OverlayAddrMgmtMsg:ns: dom:corp.example"}},
      {"address printer, other kind",
       [] { print_addr_mgmt_msg(of_kind(OVERLAY_LATENCY_PROBE_REQ)); },
       {"print_addr_mgmt_msg OverlayAddrMgmtMsg:7"}},
      {"peer texts are escaped",
       [] {
         OstrelOverlayStateMsg m = addr_mgmt("a\nb", "");
         m.mutable_osm_addrmgmtmsg()->set_amm_site_id("s\r\x01");
         print_addr_mgmt_msg(m);
       },
       {"print_addr_mgmt_msg OverlayAddrMgmtMsg:17",
        "print_addr_mgmt_msg OverlayAddrMgmtMsg: version 3 type 2 site:s\\r\\x01 addr:100000a "
        "(mask:ffffff) mac:aa:bb:cc:dd:ee:ff rc:0 leasetimesecs:3600",
        "print_addr_mgmt_msg OverlayAddrMgmtMsg:ns:a\\nb dom:"}},
  };
  size_t seen = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.print();
    Lines all = lines();
    EXPECT_EQ(Lines(all.begin() + static_cast<long>(seen), all.end()), c.lines);
    seen = all.size();
  }
}

TEST_F(PrintMessagesTest, LongListsAreCutWithACount) {
  OstrelOverlayStateMsg m = of_kind(OVERLAY_WANLINK_STATE_MSG);
  WanLinkStateDescMsg* first = m.mutable_osm_wlsmsg()->add_wls_list();
  first->set_wls_state(1);
  // More NAT addresses than one line can hold.
  for (int i = 0; i < 5000; ++i) first->add_wls_natipv4(address(10, 0, 0, 1));
  for (int i = 1; i < kMaxPrintedListEntries + 8; ++i) m.mutable_osm_wlsmsg()->add_wls_list();
  print_overlay_state_msg(m, kPeer);

  OstrelOverlayStateMsg routes = of_kind(OVERLAY_ROUTE_MSG);
  for (int i = 0; i < kMaxPrintedListEntries + 3; ++i) routes.mutable_osm_routemsg()->add_route();
  print_overlay_route_msg(routes);

  const Lines all = lines();
  ASSERT_EQ(all.size(), 2u * kMaxPrintedListEntries + 1 + 1 + kMaxPrintedListEntries + 1);
  const std::string nat_line = all[1];
  EXPECT_TRUE(nat_line.starts_with(
      "print_wanlink_state OVERLAY_WANLINK_STATE_MSG_192.0.2.1 IPv4:0.0.0.0, STATE:1 "
      "NAT_STATE(NATIPv4:10.0.0.1 STATE:1NATIPv4:10.0.0.1 STATE:1NAT"))
      << nat_line;
  EXPECT_LT(nat_line.size(), 3100u);
  EXPECT_EQ(all[2 * kMaxPrintedListEntries],
            "print_overlay_state_msg OVERLAY_WANLINK_STATE_MSG_192.0.2.1 8 more WAN links not "
            "printed");
  EXPECT_EQ(all.back(), "print_overlay_route_msg Overlay_RM 3 more routes not printed");
}

TEST_F(PrintMessagesTest, NothingBelowTheThreshold) {
  cxLogThreshold = CXLOG_WARN;
  print_overlay_state_msg(two_wan_links(), kPeer);
  print_pathid_msg(endpoint(true), kPeer);
  print_state_sync_msg(of_kind(5), kPeer);
  print_overlay_route_msg(of_kind(11));
  print_user_auth_msg(user_auth(true));
  print_addr_mgmt_msg(addr_mgmt("ns", "dom"));
  EXPECT_TRUE(lines().empty());
}

}  // namespace
