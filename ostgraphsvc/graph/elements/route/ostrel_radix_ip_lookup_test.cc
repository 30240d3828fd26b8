#include "ostgraphsvc/graph/elements/route/ostrel_radix_ip_lookup.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/json.h"
#include "graph/packet.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace {

using graph_testing::Lines;
using graph_testing::Std;

IPAddress Ip(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(text, &a)) << text;
  return a;
}

RouteEntry Route(const char* prefix, int port, const char* gw = nullptr) {
  RouteEntry r;
  EXPECT_TRUE(cp_parse_ip_prefix(prefix, true, &r.addr, &r.mask)) << prefix;
  r.addr = IPAddress(r.addr.addr() & r.mask.addr());
  r.port = port;
  if (gw != nullptr) r.gw = Ip(gw);
  return r;
}

class RadixTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { router_static_initialize(); }
  static void TearDownTestSuite() { router_static_cleanup(); }
  void SetUp() override { ASSERT_EQ(t.set_port_counts(1, 8), 0); }
  void TearDown() override {
    OstrelRadixIPLookup::fail_allocations_after_for_testing(-1);
    OstrelRadixIPLookup::set_route_limit_for_testing(0);
  }

  // "PORT" or "PORT GATEWAY", as the "lookup" handler answers.
  std::string Lookup(const char* dst) {
    String text(dst);
    EXPECT_EQ(t.lookup_handler_text(text, nullptr), 0);
    return Std(text);
  }
  int Command(int kind, const char* text, std::string* message = nullptr) {
    Lines lines;
    const int r = t.run_route_command(kind, text, nullptr, &lines);
    if (message != nullptr) *message = lines.lines.empty() ? "" : lines.lines[0];
    return r;
  }

  OstrelRadixIPLookup t;
};

// A plain longest-prefix reference: one hash map per prefix length.
class Reference {
 public:
  struct Value {
    int port;
    uint32_t gw;
  };
  static uint32_t Mask(int len) { return len == 0 ? 0 : ~0u << (32 - len); }
  Value* Find(int len, uint32_t prefix) {
    auto it = maps_[len].find(prefix);
    return it == maps_[len].end() ? nullptr : &it->second;
  }
  void Put(int len, uint32_t prefix, Value v) { maps_[len][prefix] = v; }
  void Erase(int len, uint32_t prefix) { maps_[len].erase(prefix); }
  int Lookup(uint32_t dst, uint32_t* gw) const {
    for (int len = 32; len >= 1; --len) {
      auto it = maps_[len].find(dst & Mask(len));
      if (it == maps_[len].end()) continue;
      *gw = it->second.port == 2 ? 0 : it->second.gw;
      return it->second.port;
    }
    return -1;
  }

 private:
  std::unordered_map<uint32_t, Value> maps_[33];
};

IPAddress FromHost(uint32_t h) {
  return IPAddress(static_cast<unsigned char>(h >> 24), static_cast<unsigned char>(h >> 16),
                   static_cast<unsigned char>(h >> 8), static_cast<unsigned char>(h));
}

TEST_F(RadixTest, AgreesWithAPlainLongestPrefixReference) {
  std::mt19937 rng(4711);
  Reference ref;
  struct Live {
    int len;
    uint32_t prefix;
  };
  std::vector<Live> live;
  auto random_route = [&rng](int* len, uint32_t* prefix) {
    *len = 1 + static_cast<int>(rng() % 32);
    // Few distinct short prefixes exist: keep them in a few top bytes so
    // that longer ones nest under them.
    uint32_t bits = rng();
    if (rng() % 2 == 0) bits = (bits & 0x00FFFFFF) | ((rng() % 4) << 24);
    *prefix = bits & Reference::Mask(*len);
  };
  int adds = 0, sets = 0, removes = 0, conflicts = 0;
  for (int op = 0; op < 100000; ++op) {
    const int what = static_cast<int>(rng() % 10);
    if (what < 2 && !live.empty()) {
      const size_t at = rng() % live.size();
      const Live victim = live[at];
      RouteEntry r;
      r.addr = FromHost(victim.prefix);
      r.mask = FromHost(Reference::Mask(victim.len));
      Reference::Value* v = ref.Find(victim.len, victim.prefix);
      ASSERT_NE(v, nullptr);
      if (rng() % 2 == 0) {  // exact port and gateway
        r.port = v->port;
        r.gw = FromHost(v->gw);
      }
      RouteEntry old;
      ASSERT_EQ(t.remove_route(r, &old, nullptr), 0);
      EXPECT_EQ(old.port, v->port);
      ref.Erase(victim.len, victim.prefix);
      live[at] = live.back();
      live.pop_back();
      ++removes;
      continue;
    }
    int len;
    uint32_t prefix;
    random_route(&len, &prefix);
    RouteEntry r;
    r.addr = FromHost(prefix);
    r.mask = FromHost(Reference::Mask(len));
    r.port = 1 + static_cast<int>(rng() % 6);
    r.gw = FromHost(rng() % 3 == 0 ? 0 : rng());
    const bool set = what == 2;
    Reference::Value* existing = ref.Find(len, prefix);
    RouteEntry old;
    old.port = -1;
    const int result = t.add_route(r, set, &old, nullptr);
    if (existing != nullptr) {
      EXPECT_EQ(old.port, existing->port);
      EXPECT_EQ(old.gw.addr(), FromHost(existing->gw).addr());
      if (!set) {
        ASSERT_EQ(result, -17);
        ++conflicts;
        continue;
      }
    }
    ASSERT_EQ(result, 0);
    if (existing == nullptr) live.push_back({len, prefix});
    ref.Put(len, prefix, {r.port, r.gw.host_order()});
    set ? ++sets : ++adds;
  }
  EXPECT_GT(adds, 40000);
  EXPECT_GT(sets, 5000);
  EXPECT_GT(removes, 10000);
  EXPECT_GT(conflicts, 100);

  // Recycled slots keep the vector near the number of live routes.
  EXPECT_LE(t.route_vector().size(), static_cast<int>(live.size()) + 1);

  int mismatches = 0;
  for (int i = 0; i < 1000000 && mismatches < 10; ++i) {
    uint32_t dst = rng();
    if (i % 2 == 0 && !live.empty()) {
      const Live& l = live[rng() % live.size()];
      dst = l.prefix | (dst & ~Reference::Mask(l.len));
    }
    uint32_t want_gw = 0xDEAD;
    const int want = ref.Lookup(dst, &want_gw);
    IPAddress gw(0xBEEFu);
    const int got = t.lookup_route(FromHost(dst), gw);
    if (got != want || (want >= 0 && gw.host_order() != want_gw)) {
      ++mismatches;
      ADD_FAILURE() << "dst " << FromHost(dst).to_string().c_str() << " port " << got << " want "
                    << want;
    }
  }
  // Every route listed once, freed slots never.
  const std::string dump = Std(t.dump_routes());
  int rows = 0;
  for (char c : dump) rows += c == '\n';
  EXPECT_EQ(rows, static_cast<int>(live.size()));
}

TEST_F(RadixTest, PrefixesAtTheRootAndBelowResolveByLength) {
  ASSERT_EQ(t.add_route(Route("10.1.0.0/16", 1), false, nullptr, nullptr), 0);
  ASSERT_EQ(t.add_route(Route("10.0.0.0/8", 3, "192.0.2.9"), false, nullptr, nullptr), 0);
  ASSERT_EQ(t.add_route(Route("10.1.2.128/25", 4), false, nullptr, nullptr), 0);
  ASSERT_EQ(t.add_route(Route("10.1.2.131/32", 5), false, nullptr, nullptr), 0);
  struct Case {
    const char* dst;
    const char* answer;
  } cases[] = {
      {"10.1.0.0", "1"},
      {"10.1.255.255", "1"},
      {"10.0.255.255", "3 192.0.2.9"},
      {"10.2.0.0", "3 192.0.2.9"},
      {"10.255.255.255", "3 192.0.2.9"},
      {"10.0.0.0", "3 192.0.2.9"},
      {"11.0.0.0", "-1"},
      {"9.255.255.255", "-1"},
      {"10.1.2.127", "1"},
      {"10.1.2.128", "4"},
      {"10.1.2.131", "5"},
      {"10.1.2.130", "4"},
      {"10.1.2.255", "4"},
      {"10.1.3.0", "1"},
  };
  for (const Case& c : cases) EXPECT_EQ(Lookup(c.dst), c.answer) << c.dst;

  // Removing the /8 hands its range to nothing; the /16 and below stay.
  ASSERT_EQ(t.add_route(Route("0.0.0.0/0", 5), false, nullptr, nullptr), 0);
  ASSERT_EQ(t.remove_route(Route("10.0.0.0/8", -1), nullptr, nullptr), 0);
  EXPECT_EQ(Lookup("10.1.9.9"), "1");
  EXPECT_EQ(Lookup("10.1.2.200"), "4");
  EXPECT_EQ(Lookup("10.2.0.1"), "2");  // the default key: the template's port
  // Removing the /25 hands its range back to the /16, keeping the /32.
  ASSERT_EQ(t.remove_route(Route("10.1.2.128/25", -1), nullptr, nullptr), 0);
  EXPECT_EQ(Lookup("10.1.2.200"), "1");
  EXPECT_EQ(Lookup("10.1.2.131"), "5");
}

TEST_F(RadixTest, RemovalsMatchPortAndGatewayOnlyWhenAPortIsGiven) {
  std::string message;
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "10.0.0.0/8 192.0.2.1 3"), 0);
  // Only inherited from the /8: no route of exactly this prefix.
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "10.1.0.0/16", &message), -2);
  EXPECT_EQ(message, "<3>route '10.1.0.0/16 - -1 - - def 0 0' not found");
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "10.0.0.0/8 192.0.2.1 4"), -2);
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "10.0.0.0/8 3"), -2);  // gateway 0 differs
  EXPECT_EQ(Lookup("10.9.9.9"), "3 192.0.2.1");
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "10.0.0.0/8 192.0.2.1 3"), 0);
  EXPECT_EQ(Lookup("10.9.9.9"), "-1");
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "10.0.0.0/8 192.0.2.1 3"), 0);
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "10.0.0.0/8"), 0);
  EXPECT_EQ(Lookup("10.9.9.9"), "-1");
  // A conflict names the route already there.
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "10.0.0.0/8 - 1"), 0);
  EXPECT_EQ(Command(OstrelRadixIPLookup::kAdd, "10.0.0.0/8 5", &message), -17);
  EXPECT_NE(message.find("conflict with existing route"), std::string::npos);
  EXPECT_NE(message.find("10.0.0.0/8 - 1 - - def 0 0"), std::string::npos) << message;
  EXPECT_EQ(Command(OstrelRadixIPLookup::kSet, "10.0.0.0/8 5"), 0);
  EXPECT_EQ(Lookup("10.9.9.9"), "5");
}

TEST_F(RadixTest, DefaultRoutesListTemplateAndRemoval) {
  // Port 2 reports no gateway.
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "0.0.0.0/0 192.0.2.1 4"), 0);
  EXPECT_EQ(Lookup("8.8.8.8"), "2");
  EXPECT_EQ(Command(OstrelRadixIPLookup::kAdd, "0.0.0.0/0 192.0.2.2 5"), -17);
  EXPECT_EQ(t.default_routes().size(), 2);
  // Removing one of two keeps the default; a default no entry matches is
  // not found; the last one takes the default away.
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "0.0.0.0/0 192.0.2.1"), 0);
  EXPECT_EQ(Lookup("8.8.8.8"), "2");
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "0.0.0.0/0 192.0.2.7"), -2);
  EXPECT_EQ(Lookup("8.8.8.8"), "2");
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "0.0.0.0/0 192.0.2.2"), 0);
  EXPECT_EQ(Lookup("8.8.8.8"), "-1");
  EXPECT_EQ(Command(OstrelRadixIPLookup::kRemove, "0.0.0.0/0"), -2);

  ASSERT_EQ(t.set_port_counts(1, 100), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "0/0 99"), 0);
  EXPECT_EQ(Lookup("8.8.8.8"), "0");
  ASSERT_EQ(Command(OstrelRadixIPLookup::kSet, "0/0 3"), 0);
  EXPECT_EQ(Lookup("8.8.8.8"), "3");
  // The template's port survives a flush.
  t.flush_table();
  EXPECT_EQ(Lookup("8.8.8.8"), "-1");
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "0/0 1"), 0);
  EXPECT_EQ(Lookup("8.8.8.8"), "3");
}

TEST_F(RadixTest, RouteTextsAndPortBounds) {
  struct Case {
    int kind;
    const char* text;
    int result;
    const char* message;
  } cases[] = {
      {0, "10.0.0.0/8 1", 0, ""},
      {0, "10.1.2.3/16 192.0.2.1 0x3", 0, ""},
      {0, "10.2/16 - 07", 0, ""},
      {0, "192.0.2.77 7", 0, ""},
      {0, "10.3.0.0/255.255.0.0 2", 0, ""},
      {0, "10.4.0.0/16 8", -22, "bad OUTPUT"},
      {0, "10.4.0.0/16 -1", -22, "bad OUTPUT"},
      {0, "10.4.0.0/16", -22, "<3>expected 'ADDR/MASK [GATEWAY] OUTPUT'"},
      {0, "10.4.0.0/16 192.0.2.1", -22, "expected"},
      {0, "10.4.0.0/16 1 2", -22, "expected"},
      {0, "/16 1", -22, "expected"},
      {0, "10.4.0.0/ 1", -22, "expected"},
      {0, "10.4.0.0/33 1", -22, "expected"},
      {0, "10.4.0.256 1", -22, "expected"},
      {0, "10.4.0.0/16 x1", -22, "expected"},
      {0, "", -22, "expected"},
      {2, "10.4.0.0/16 1 2", -22, "<3>expected 'ADDR/MASK [GATEWAY OUTPUT]'"},
      {2, "10.4.0.0/16 -", -2, "not found"},
  };
  for (const Case& c : cases) {
    std::string message;
    EXPECT_EQ(Command(c.kind, c.text, &message), c.result) << c.text;
    EXPECT_NE(message.find(c.message), std::string::npos) << c.text << ": " << message;
  }
  EXPECT_EQ(Lookup("10.1.9.9"), "3 192.0.2.1");  // stored masked
  EXPECT_EQ(Lookup("10.2.0.1"), "7");
  EXPECT_EQ(Lookup("10.3.200.1"), "2");
  EXPECT_EQ(Lookup("192.0.2.77"), "7");
  EXPECT_EQ(Lookup("192.0.2.78"), "-1");
  String bad("10.1.2");
  Lines lines;
  EXPECT_LT(t.lookup_handler_text(bad, &lines), 0);
  ASSERT_EQ(lines.lines.size(), 1u);
  EXPECT_EQ(lines.lines[0], "<3>expected IP address");
}

TEST_F(RadixTest, CtrlUndoesEverythingOnTheFirstFailure) {
  ASSERT_EQ(t.set_port_counts(1, 2), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "172.16.0.0/12 1"), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "192.168.0.0/16 192.0.2.1 1"), 0);
  Lines lines;
  EXPECT_EQ(t.run_ctrl("add 10.0.0.0/8 1\nremove 11.0.0.0/8", &lines), -2);
  ASSERT_EQ(lines.lines.size(), 1u);
  EXPECT_NE(lines.lines[0].find("11.0.0.0/8"), std::string::npos);
  EXPECT_NE(lines.lines[0].find("not found"), std::string::npos);
  EXPECT_EQ(Lookup("10.1.1.1"), "-1");

  // A set, a remove and an add are each undone; comments and blank lines
  // are skipped, a comment does not join two lines.
  const std::string before = Std(t.dump_routes());
  lines.lines.clear();
  EXPECT_LT(t.run_ctrl("set 192.168.0.0/16 0 // was 1\n\n  /* note */ remove 172.16.0.0/12\n"
                       "add 10.0.0.0/8 1\nadd 10.0.0.0/8 0",
                       &lines),
            0);
  EXPECT_EQ(Std(t.dump_routes()), before);
  EXPECT_EQ(Lookup("192.168.1.1"), "1 192.0.2.1");
  EXPECT_EQ(Lookup("172.16.1.1"), "1");
  EXPECT_EQ(Lookup("10.1.1.1"), "-1");

  lines.lines.clear();
  EXPECT_LT(t.run_ctrl("add 10.0.0.0/8 1\nreplace 10.0.0.0/8 1", &lines), 0);
  ASSERT_EQ(lines.lines.size(), 1u);
  EXPECT_EQ(lines.lines[0], "<3>bad command 'replace'");
  EXPECT_EQ(Lookup("10.1.1.1"), "-1");

  EXPECT_EQ(t.run_ctrl("add 10.0.0.0/8 1 // the tens\n# \nremove 172.16.0.0/12", &lines), -22);
  EXPECT_EQ(t.run_ctrl("add 10.0.0.0/8 1 // the tens\nremove 172.16.0.0/12\n", &lines), 0);
  EXPECT_EQ(Lookup("10.1.1.1"), "1");
  EXPECT_EQ(Lookup("172.16.1.1"), "-1");
}

TEST_F(RadixTest, DumpsListLiveRoutesOnlyInVectorOrder) {
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "10.0.0.0/8 192.0.2.1 3"), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "172.16.0.0/12 1"), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "0.0.0.0/0 192.0.2.254 2"), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "192.168.100.100/32 4"), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kRemove, "172.16.0.0/12"), 0);
  RouteEntry detailed = Route("10.1.0.0/255.255.0.255", 5, "192.0.2.7");
  detailed.l2_index = 7;
  detailed.l3_index = 9;
  detailed.vlan_id = 100;
  detailed.metric = -3;
  detailed.type = kRouteTypeLan;
  ASSERT_EQ(t.add_route(detailed, false, nullptr, nullptr), 0);  // takes the freed slot
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "172.17.0.0/16 6"), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kRemove, "172.17.0.0/16"), 0);
  EXPECT_EQ(Std(t.dump_routes()),
            "10.0.0.0/8\t\t192.0.2.1\t3\t-\t-\tdef\t0\t0\n"
            "10.1.0.0/255.255.0.255\t192.0.2.7\t5\t7\t9\tlan\t100\t-3\n"
            "0.0.0.0/0\t\t-\t\t2\t-\t-\tdef\t0\t0\n"
            " - 0.0.0.0/0\t\t192.0.2.254\t2\t-\t-\tdef\t0\t0\n"
            "192.168.100.100/32\t-\t\t4\t-\t-\tdef\t0\t0\n");
  Json array;
  OstrelRadixIPLookup::table_to_json(&t, "0", array);
  EXPECT_EQ(
      Std(array.to_text()),
      "[{\"dsrt_table_id\":\"0\",\"dsrt_table_info\":["
      "{\"dsrt_netmask\":\"10.0.0.0\\/8\",\"dsrt_gateway\":\"192.0.2.1\",\"dsrt_port\":\"3\","
      "\"dsrt_l2ifindex\":\"-1\",\"dsrt_l3ifindex\":\"-1\",\"dsrt_linuxifindex\":-1,"
      "\"dstr_rtype\":\"def\",\"dsrt_vlanid\":\"0\",\"dsrt_metric\":\"0\",\"dsrt_proto_int\":0},"
      "{\"dsrt_netmask\":\"10.1.0.0\\/255.255.0.255\",\"dsrt_gateway\":\"192.0.2.7\","
      "\"dsrt_port\":\"5\",\"dsrt_l2ifindex\":\"7\",\"dsrt_l3ifindex\":\"9\","
      "\"dsrt_linuxifindex\":-1,\"dstr_rtype\":\"lan\",\"dsrt_vlanid\":\"100\","
      "\"dsrt_metric\":\"-3\",\"dsrt_proto_int\":0},"
      "{\"dsrt_netmask\":\"0.0.0.0\\/0\",\"dsrt_gateway\":\"0.0.0.0\",\"dsrt_port\":\"2\","
      "\"dsrt_l2ifindex\":\"-1\",\"dsrt_l3ifindex\":\"-1\",\"dsrt_linuxifindex\":-1,"
      "\"dstr_rtype\":\"def\",\"dsrt_vlanid\":\"0\",\"dsrt_metric\":\"0\",\"dsrt_proto_int\":0},"
      "{\"dsrt_netmask\":\"0.0.0.0\\/0\",\"dsrt_gateway\":\"192.0.2.254\",\"dsrt_port\":\"2\","
      "\"dsrt_l2ifindex\":\"-1\",\"dsrt_l3ifindex\":\"-1\",\"dsrt_linuxifindex\":-1,"
      "\"dstr_rtype\":\"def\",\"dsrt_vlanid\":\"0\",\"dsrt_metric\":\"0\",\"dsrt_proto_int\":0},"
      "{\"dsrt_netmask\":\"192.168.100.100\\/32\",\"dsrt_gateway\":\"0.0.0.0\",\"dsrt_port\":\"4\","
      "\"dsrt_l2ifindex\":\"-1\",\"dsrt_l3ifindex\":\"-1\",\"dsrt_linuxifindex\":-1,"
      "\"dstr_rtype\":\"def\",\"dsrt_vlanid\":\"0\",\"dsrt_metric\":\"0\",\"dsrt_proto_int\":0}"
      "]}]");
}

// An allocation that fails is -12 with every answer as it was; so is the
// route after the last key.
TEST_F(RadixTest, AllocationFailureAndKeyExhaustionLeaveTheTableAsItWas) {
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "10.0.0.0/8 1"), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "10.1.0.0/16 192.0.2.1 2"), 0);
  ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, "10.1.2.0/24 3"), 0);
  int filler = 0;
  // /20s in new /16s (one node each) until the node arena is full, then
  // /16s (no node) until the route vector is: the next node or slot
  // allocates.
  auto next_16 = [&filler] {
    const int n = filler++;
    return std::to_string(172 + n / 256) + "." + std::to_string(n % 256) + ".0.0/";
  };
  auto fill = [&] {
    while (t.spare_nodes_for_testing() > 0)
      ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, (next_16() + "20 1").c_str()), 0);
    while (t.route_vector().size() < t.route_vector().capacity() || t.free_head() >= 0)
      ASSERT_EQ(Command(OstrelRadixIPLookup::kAdd, (next_16() + "16 1").c_str()), 0);
  };
  const char* probes[] = {"10.9.9.9", "10.1.9.9", "10.1.2.3", "10.1.3.3", "10.1.2.200", "8.8.8.8"};
  const char* needs_memory[] = {"10.1.3.4/32 4", "10.1.2.200/32 4", "0.0.0.0/0 4", "10.5.0.0/17 4"};
  for (const char* text : needs_memory) {
    // Fail at each allocation in turn until the route fits.
    for (int budget = 0;; ++budget) {
      fill();
      std::vector<std::string> before;
      for (const char* probe : probes) before.push_back(Lookup(probe));
      const std::string dump = Std(t.dump_routes());
      OstrelRadixIPLookup::fail_allocations_after_for_testing(budget);
      std::string message;
      const int r = Command(OstrelRadixIPLookup::kAdd, text, &message);
      OstrelRadixIPLookup::fail_allocations_after_for_testing(-1);
      if (r == 0) {
        EXPECT_GT(budget, 0) << text;
        ASSERT_EQ(Command(OstrelRadixIPLookup::kRemove, text), 0) << text;
        break;
      }
      ASSERT_EQ(r, -12) << text << " budget " << budget;
      EXPECT_NE(message.find("no memory to store route"), std::string::npos) << message;
      for (size_t i = 0; i < before.size(); ++i) EXPECT_EQ(Lookup(probes[i]), before[i]);
      EXPECT_EQ(Std(t.dump_routes()), dump);
      EXPECT_TRUE(t.default_routes().empty());
    }
  }

  OstrelRadixIPLookup fresh;
  ASSERT_EQ(fresh.set_port_counts(1, 8), 0);
  OstrelRadixIPLookup::set_route_limit_for_testing(2);
  ASSERT_EQ(fresh.run_route_command(0, "10.7.0.0/16 1", nullptr, nullptr), 0);
  ASSERT_EQ(fresh.run_route_command(0, "10.8.0.0/16 2", nullptr, nullptr), 0);
  EXPECT_EQ(fresh.run_route_command(0, "10.9.0.0/16 3", nullptr, nullptr), -12);
  EXPECT_EQ(fresh.run_route_command(0, "0/0 3", nullptr, nullptr), -12);
  IPAddress gw;
  EXPECT_EQ(fresh.lookup_route(Ip("10.9.1.1"), gw), -1);
  // A freed key is used again.
  ASSERT_EQ(fresh.run_route_command(2, "10.7.0.0/16", nullptr, nullptr), 0);
  EXPECT_EQ(fresh.run_route_command(0, "10.9.0.0/16 3", nullptr, nullptr), 0);
  EXPECT_EQ(fresh.lookup_route(Ip("10.9.1.1"), gw), 3);
}

TEST_F(RadixTest, HandlePushSetsAnnotationsByTheRules) {
  RouteEntry detailed = Route("10.1.0.0/16", 5, "192.0.2.7");
  detailed.l2_index = 0x107;
  detailed.l3_index = 9;
  detailed.vlan_id = 0x0102;
  ASSERT_EQ(t.add_route(detailed, false, nullptr, nullptr), 0);
  ASSERT_EQ(t.add_route(Route("10.2.0.0/16", 0, "192.0.2.8"), false, nullptr, nullptr), 0);
  ASSERT_EQ(t.add_route(Route("10.3.0.0/16", 2, "192.0.2.9"), false, nullptr, nullptr), 0);
  FakeOverlayConfigQuerier overlay(Ip("100.64.3.4"));
  auto push = [this](const char* dst, uint8_t flags, const char* next_hop, Packet** out) {
    Packet* p = Packet::make(0, nullptr, 20);
    p->set_dst_ip_anno(Ip(dst));
    p->set_route_flags_anno(flags);
    if (next_hop != nullptr) p->set_next_hop_anno(Ip(next_hop));
    const int r = t.handle_push(p, registered_overlay_config_querier());
    *out = p;
    return r;
  };
  Packet* p = nullptr;
  EXPECT_EQ(push("10.1.5.5", kRouteFlagWalk, nullptr, &p), 5);
  EXPECT_EQ(p->dst_ip_anno(), Ip("192.0.2.7"));
  EXPECT_EQ(p->route_value2_anno(), 7);
  EXPECT_EQ(p->route_value3_anno(), 9);
  EXPECT_EQ(p->route_value_anno(), 0x0102);
  EXPECT_EQ(p->anno_u8(kRouteValueAnnoOffset), 0x01);  // network order
  p->release();
  EXPECT_EQ(push("10.1.5.5", 0, nullptr, &p), -1);  // not marked for routing
  EXPECT_EQ(p->dst_ip_anno(), Ip("10.1.5.5"));
  p->release();
  EXPECT_EQ(push("10.1.5.5", 0, "192.0.2.50", &p), 1);  // next hop wins, unmarked too
  EXPECT_EQ(p->dst_ip_anno(), Ip("192.0.2.50"));
  EXPECT_TRUE(p->next_hop_anno().empty());
  p->release();
  EXPECT_EQ(push("100.64.200.1", 0, nullptr, &p), 1);  // the overlay's own /16
  EXPECT_EQ(p->next_hop_anno(), Ip("100.64.200.1"));
  p->release();
  EXPECT_EQ(push("10.2.5.5", kRouteFlagWalk, nullptr, &p), -1);  // port 0
  EXPECT_EQ(p->dst_ip_anno(), Ip("10.2.5.5"));
  p->release();
  EXPECT_EQ(push("10.3.5.5", kRouteFlagWalk, nullptr, &p), 2);  // port 2 keeps the destination
  EXPECT_EQ(p->dst_ip_anno(), Ip("10.3.5.5"));
  EXPECT_EQ(p->route_value2_anno(), 0);
  p->release();
  EXPECT_EQ(push("10.4.5.5", kRouteFlagWalk, nullptr, &p), -1);
  p->release();
}

}  // namespace
