#include "ostgraphsvc/graph/elements/route/ostrel_route_table.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "graph/ipaddress.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"
#include "platform/fs/paths.h"
#include "platform/shared_page/shared_page.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using testing_support::ReadFile;
using testing_support::WriteFile;

IPAddress Ip(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(text, &a)) << text;
  return a;
}

int Count(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

constexpr char kRoutes[] = R"({"routes": [
  {"destination": "10.1.2.3/8", "port": 3},
  {"destination": "172.16.0.0/255.240.0.0", "nexthop": "192.0.2.1", "port": 1},
  {"destination": "192.168.1.1", "nexthop": null, "port": 4},
  {"destination": "192.168.2.0/24", "port": "4"},
  {"destination": "192.168.3.0/24"},
  {"destination": 5, "port": 1},
  {"destination": "bogus", "port": 1},
  {"port": 2},
  {"destination": "10.0.0.0/8", "nexthop": "192.0.2.2", "port": 2},
  {"destination": "192.168.9.0/24", "nexthop": 7, "port": 17},
  {"destination": "0.0.0.0/0", "nexthop": "192.0.2.254", "port": 2}
]})";

class RouteTableTest : public ::testing::Test {
 protected:
  // The graph with outputs 0-16 wired to the sink's ports of the same
  // number; `conf` is the element's configuration.
  bool LoadWith(const std::string& conf) {
    std::string graph =
        "src :: TestSource; sink :: TestSink; src -> rt :: OstrelRouteTable(" + conf + ");";
    for (int port = 0; port <= 16; ++port)
      graph += "rt[" + std::to_string(port) + "] -> [" + std::to_string(port) + "]sink;";
    if (!h.Load(graph)) return false;
    rt = static_cast<OstrelRouteTable*>(h.Find("rt"));
    return rt != nullptr;
  }
  std::string RoutesFile(const char* json) {
    const std::string path = platform::root() + "/routes.json";
    WriteFile(path, json);
    return path;
  }
  // The sink port the packet left on, or -1 when it was dropped.
  int Route(const char* dst, uint8_t flags = kRouteFlagWalk, uint8_t table = 0,
            IPAddress* dst_after = nullptr, IPAddress* next_hop_after = nullptr) {
    Packet* p = MakePacket(BuildIPv4(PacketSpec{}));
    p->set_dst_ip_anno(Ip(dst));
    p->set_route_flags_anno(flags);
    p->set_route_table_anno(table);
    h.Push("src", p);
    for (int port = 0; port <= 16; ++port) {
      Packet* out = h.Take("sink", port);
      if (out == nullptr) continue;
      if (dst_after != nullptr) *dst_after = out->dst_ip_anno();
      if (next_hop_after != nullptr) *next_hop_after = out->next_hop_anno();
      out->release();
      return port;
    }
    return -1;
  }
  std::string Page() { return ReadFile(platform::SharedPage::page_path("Global\\shmroutestats")); }
  static uint32_t Word(const std::string& page, int i) {
    uint32_t w;
    std::memcpy(&w, page.data() + 4 * i, 4);
    return w;
  }

  testing_support::StartedLog log{0};
  GraphHarness h;
  OstrelRouteTable* rt = nullptr;
};

TEST_F(RouteTableTest, StaticRoutesLoadSkipBadEntriesAndRoutePackets) {
  ASSERT_TRUE(LoadWith("CONF " + RoutesFile(kRoutes))) << h.messages();
  EXPECT_EQ(registered_route_table(), rt);
  // Six entries loaded (the second 10/8 too), five skipped.
  EXPECT_EQ(rt->route_version(), 6u);
  EXPECT_NE(h.messages().find("Adding Static route: dst=10.1.2.3, mask=255.0.0.0, "
                              "nhop=0.0.0.0, port=3"),
            std::string::npos)
      << h.messages();
  const char* header =
      "\n\t\t\t\tRoute Table 0\n"
      "\nNet/mask\t\tGateway\t\tPort\tl2idx\tl3idx\trtype\tvlanid\tmetric\n";
  const std::string rows =
      "10.1.2.3/8\t\t-\t\t3\t-\t-\twan\t0\t0\n"
      "172.16.0.0/12\t\t192.0.2.1\t1\t-\t-\ttun\t0\t0\n"
      "192.168.1.1/32\t\t-\t\t4\t-\t-\twan\t0\t0\n"
      "192.168.9.0/24\t\t-\t\t17\t-\t-\twan\t0\t0\n"
      "0.0.0.0/0\t\t-\t\t2\t-\t-\tdef\t0\t0\n"
      " - 0.0.0.0/0\t\t192.0.2.254\t2\t-\t-\twan\t0\t0\n";
  EXPECT_EQ(h.Read("rt", "table"), header + rows);
  EXPECT_NE(log.text().find("RT: route table \n " + std::string(header)), std::string::npos);
  const std::string json = h.Read("rt", "table_json");
  EXPECT_EQ(json.rfind("[{\"dsrt_table_id\":\"0\",\"dsrt_table_info\":[", 0), 0u) << json;
  EXPECT_NE(json.find("\"dsrt_linuxifindex\":-1,\"dsrt_intfname\":\"tarnif\","
                      "\"dstr_rtype\":\"overlay\""),
            std::string::npos);

  IPAddress dst, next_hop;
  EXPECT_EQ(Route("10.200.1.1", kRouteFlagWalk, 0, &dst), 3);  // stored unmasked, matches 10/8
  EXPECT_EQ(dst, Ip("10.200.1.1"));
  EXPECT_EQ(Route("172.20.0.1", kRouteFlagWalk, 0, &dst), 1);
  EXPECT_EQ(dst, Ip("192.0.2.1"));
  EXPECT_EQ(Route("192.168.1.1"), 4);
  EXPECT_EQ(Route("192.168.2.1", kRouteFlagWalk, 0, &dst), 2);  // default, gateway not applied
  EXPECT_EQ(dst, Ip("192.168.2.1"));
  EXPECT_EQ(Route("192.168.9.1"), -1);                   // port 17 is not connected: dropped
  EXPECT_EQ(Route("10.200.1.1", 0), 0);                  // not marked for routing
  EXPECT_EQ(Route("10.200.1.1", kRouteFlagWalk, 5), 0);  // an empty table slot

  Packet* p = MakePacket(BuildIPv4(PacketSpec{}));
  p->set_next_hop_anno(Ip("192.0.2.50"));
  h.Push("src", p);
  Packet* out = h.Take("sink", 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->dst_ip_anno(), Ip("192.0.2.50"));
  out->release();

  // The handlers other than "table" and "table_json" use the element's own
  // lookup, with the framework's integer words for ports.
  EXPECT_EQ(h.Write("rt", "add", "11.0.0.0/8 1"), 0);
  EXPECT_EQ(h.Write("rt", "add", "12.0.0.0/8 0x10"), 0);
  EXPECT_EQ(h.Write("rt", "add", "13.0.0.0/8 010"), 0);
  std::string errors;
  EXPECT_LT(h.Write("rt", "add", "14.0.0.0/8 17", &errors), 0);
  EXPECT_NE(errors.find("bad OUTPUT"), std::string::npos) << errors;
  EXPECT_EQ(h.Read("rt", "lookup", "11.1.1.1"), "1");
  EXPECT_EQ(h.Read("rt", "lookup", "12.1.1.1"), "16");
  EXPECT_EQ(h.Read("rt", "lookup", "13.1.1.1"), "8");
  EXPECT_EQ(h.Read("rt", "lookup", "10.1.2.3"), "-1");
  EXPECT_EQ(h.Read("rt", "table"), header + rows);
  EXPECT_EQ(Route("11.1.1.1"), 2);  // packets still see table 0

  // The registration goes with the element.
  ASSERT_TRUE(h.Load("src :: TestSource; src -> Discard;"));
  EXPECT_EQ(registered_route_table(), nullptr);
}

TEST_F(RouteTableTest, ReconfigureReloadsTheFileAndKeepsTheVersionWhenNothingLoads) {
  const std::string path = RoutesFile(R"({"routes": [{"destination": "10.0.0.0/8", "port": 3}]})");
  ASSERT_TRUE(LoadWith(path)) << h.messages();  // CONF as the first argument
  EXPECT_EQ(rt->config_path().c_str(), path);
  EXPECT_EQ(Route("10.1.1.1"), 3);
  WriteFile(path, R"({"routes": [{"destination": "10.0.0.0/8", "port": 4},
                                 {"destination": "10.0.0.0/8", "port": 1}]})");
  rt->reconfigure(nullptr);
  EXPECT_EQ(Route("10.1.1.1"), 4);  // the first of two for a prefix stays
  EXPECT_EQ(rt->route_version(), 3u);
  EXPECT_NE(log.text().find("OstrelRouteTable::reconfigure"), std::string::npos);

  WriteFile(path, "{\"routes\": {}}");
  rt->reconfigure(nullptr);
  EXPECT_EQ(Route("10.1.1.1"), 0);
  EXPECT_EQ(rt->route_version(), 3u);
  WriteFile(path, "not json");
  rt->reconfigure(nullptr);
  EXPECT_EQ(rt->route_version(), 3u);
}

TEST_F(RouteTableTest, StatusPageFollowsTheRouteVersion) {
  ASSERT_TRUE(LoadWith("")) << h.messages();
  EXPECT_EQ(rt->config_path().c_str(), std::string());
  // The first update writes the page even with no routes.
  rt->rt_update_shm_stats();
  std::string page = Page();
  ASSERT_EQ(page.size(), 4096u);
  const std::string empty = "[{\"dsrt_table_id\":\"0\",\"dsrt_table_info\":[]}]";
  EXPECT_EQ(Word(page, 0), empty.size() + 4);
  EXPECT_EQ(Word(page, 1), 1u);
  EXPECT_EQ(page.substr(8, empty.size() + 1), empty + '\0');
  EXPECT_EQ(Count(log.text(), "OstRT: route version(0) and file version(1) out of sync"), 1);
  EXPECT_EQ(Count(log.text(), "OstRT: route table shm created 0x"), 1);

  // Unchanged version: the page is left alone.
  rt->rt_update_shm_stats();
  EXPECT_EQ(Count(log.text(), "out of sync"), 1);

  // Route messages change table 0 under the section and count.
  OstrelRadixIPLookup* table0 = rt->table(0);
  ASSERT_NE(table0, nullptr);
  for (int i = 0; i < 40; ++i) {
    RouteEntry r;
    r.addr = IPAddress(10, static_cast<unsigned char>(i), 0, 0);
    r.mask = IPAddress::make_prefix(16);
    r.port = 3;
    r.type = kRouteTypeStatic;
    std::lock_guard<std::recursive_mutex> hold(rt->critical_section());
    ASSERT_EQ(table0->add_route(r, false, nullptr, nullptr), 0);
    rt->bump_route_version();
  }
  rt->rt_update_shm_stats();
  page = Page();
  const std::string json = h.Read("rt", "table_json");
  ASSERT_GT(json.size(), 4086u);
  EXPECT_EQ(Word(page, 0), json.size() + 4);
  EXPECT_EQ(Word(page, 1), 0u);  // the route version of the previous update
  EXPECT_EQ(page.substr(8, 4086), json.substr(0, 4086));
  EXPECT_EQ(page[8 + 4086], '\0');

  // A reconfigure that loads nothing empties table 0 but leaves the page.
  rt->reconfigure(nullptr);
  EXPECT_EQ(h.Read("rt", "table_json"), empty);
  rt->rt_update_shm_stats();
  EXPECT_EQ(Page(), page);

  RouteEntry r;
  r.addr = Ip("10.0.0.0");
  r.mask = IPAddress::make_prefix(8);
  r.port = 1;
  table0->add_route(r, false, nullptr, nullptr);
  rt->bump_route_version();
  rt->rt_update_shm_stats();
  page = Page();
  EXPECT_EQ(Word(page, 1), 40u);
  const std::string now = h.Read("rt", "table_json");
  EXPECT_EQ(Word(page, 0), now.size() + 4);
  EXPECT_EQ(page.substr(8, now.size() + 1), now + '\0');
}

// Something else in the page's place: logged, no page, tried again at the
// next update.
TEST_F(RouteTableTest, PageCreationFailureIsLoggedAndRetried) {
  ASSERT_TRUE(LoadWith("")) << h.messages();
  const std::string path = platform::SharedPage::page_path("Global\\shmroutestats");
  ASSERT_EQ(platform::create_directories(path, 0755), 0u);
  rt->rt_update_shm_stats();
  EXPECT_NE(log.text().find("OstRT: unable to create route table shm failed, error:Access is "
                            "denied.(5)"),
            std::string::npos)
      << log.text();
  EXPECT_EQ(rt->page_version(), 1u);
  ASSERT_EQ(::rmdir(path.c_str()), 0);
  rt->rt_update_shm_stats();
  EXPECT_EQ(rt->page_version(), 0u);
  EXPECT_EQ(Word(Page(), 1), 1u);
}

TEST_F(RouteTableTest, OverlayQuerierOrOneLineSayingItIsAbsent) {
  ASSERT_TRUE(LoadWith("")) << h.messages();
  const char* absent = "OstrelRadixIP: error, ostrel overlay config querier is absent";
  for (int i = 0; i < 3; ++i) EXPECT_EQ(Route("100.64.9.9"), 0);
  EXPECT_EQ(Count(log.text(), absent), 1);

  FakeOverlayConfigQuerier overlay(Ip("100.64.3.4"));
  IPAddress dst, next_hop;
  EXPECT_EQ(Route("100.64.9.9", 0, 0, &dst, &next_hop), 1);
  EXPECT_EQ(next_hop, Ip("100.64.9.9"));
  EXPECT_EQ(Route("100.65.9.9"), 0);
  EXPECT_EQ(Count(log.text(), absent), 1);
}

}  // namespace
