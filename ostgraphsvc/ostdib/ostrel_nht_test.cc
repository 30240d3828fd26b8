#include "ostgraphsvc/ostdib/ostrel_nht.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostgraphsvc/ostdib/peer_path_query_fake.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::StartedLog;

IPAddress ip(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(text, &a)) << text;
  return a;
}

std::string str(const String& s) { return std::string(s.data(), s.length()); }

// "addr(cost)," per candidate.
std::string candidates(const NextHopElement* e) {
  StringBuilder sb;
  e->append_valid_next_hops(sb);
  return std::string(sb.data(), sb.length());
}

class NhtTest : public ::testing::Test {
 protected:
  void SetUp() override { cxLogThreshold = CXLOG_DEBUG; }
  std::string new_log() { return log_.fresh(); }

  StartedLog log_{0};
  OstrelNextHopTracking nht_;
  FakePeerPathQuery overlay_;
  const IPAddress self_ = ip("10.0.0.1");
};

TEST_F(NhtTest, CandidatesAscendByCostInOrderOfAddition) {
  const IPAddress d = ip("10.9.0.1");
  nht_.add_nexthop(d, ip("10.0.0.10"), 10, true, &overlay_);  // A
  nht_.add_nexthop(d, ip("10.0.0.11"), 5, true, &overlay_);   // B
  nht_.add_nexthop(d, ip("10.0.0.12"), 10, true, &overlay_);  // C
  NextHopElement* e = nht_.find(d);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(candidates(e), "10.0.0.11(5),10.0.0.10(10),10.0.0.12(10),");
  EXPECT_EQ(e->version, 3);
  EXPECT_EQ(str(e->next_hop.to_string()), "10.0.0.10");
  EXPECT_TRUE(e->pending);
  EXPECT_NE(new_log().find("valid nh list updated (10.0.0.10), increment the table version to 3"),
            std::string::npos);
}

TEST_F(NhtTest, AdditionSeesOnlyCandidatesBeforeItsPlace) {
  const IPAddress a = ip("10.0.0.10");
  const IPAddress b = ip("10.0.0.11");
  NextHopElement refused;
  refused.add_nh_to_valid_nh_list(b, 3);
  refused.add_nh_to_valid_nh_list(a, 10);
  EXPECT_EQ(refused.add_nh_to_valid_nh_list(a, 7), -1);
  EXPECT_EQ(candidates(&refused), "10.0.0.11(3),10.0.0.10(10),");
  EXPECT_EQ(refused.version, 2);

  NextHopElement doubled;
  doubled.add_nh_to_valid_nh_list(b, 7);
  doubled.add_nh_to_valid_nh_list(a, 10);
  EXPECT_EQ(doubled.add_nh_to_valid_nh_list(a, 5), 0);
  EXPECT_EQ(candidates(&doubled), "10.0.0.10(5),10.0.0.11(7),10.0.0.10(10),");
}

TEST_F(NhtTest, RemovingCandidates) {
  const IPAddress d = ip("10.9.0.1");
  EXPECT_EQ(nht_.remove_nexthop(d, ip("10.0.0.10"), 10), -22);
  nht_.add_nexthop(d, ip("10.0.0.10"), 10, false, &overlay_);
  nht_.add_nexthop(d, ip("10.0.0.11"), 20, false, &overlay_);
  ASSERT_EQ(nht_.remove_nexthop(d, ip("10.0.0.10"), 10), 0);
  NextHopElement* e = nht_.find(d);
  EXPECT_EQ(str(e->next_hop.to_string()), "10.0.0.11");
  EXPECT_EQ(e->cost, 20u);
  EXPECT_TRUE(e->pending);
  EXPECT_NE(new_log().find("NHT: remove nexthop currnh=10.0.0.10 nh=10.0.0.10"), std::string::npos);

  nht_.remove_nexthop(d, ip("10.0.0.11"), 99);  // wrong cost: nothing removed
  EXPECT_EQ(candidates(e), "10.0.0.11(20),");
  nht_.remove_nexthop(d, ip("10.0.0.11"), 20);
  EXPECT_EQ(str(e->next_hop.to_string()), "255.255.255.255");
  EXPECT_EQ(e->cost, 4294967295u);
  EXPECT_TRUE(e->pending);
  EXPECT_EQ(candidates(e), "");
}

// The cases of compare_and_update, from a destination whose candidates are
// (B, 5), (A, 10) and whose chosen next hop is given per row.
TEST_F(NhtTest, CompareAndUpdateCases) {
  const char* const a = "10.0.0.10";
  const char* const b = "10.0.0.11";
  const char* const c = "10.0.0.12";
  struct Case {
    const char* chosen;
    uint32_t chosen_cost;
    bool chosen_pending;
    bool a_has_path;
    const char* nh;
    uint32_t cost;
    bool pending;
    const char* tag;
    const char* want_nh;
    uint32_t want_cost;
    bool want_pending;
    const char* want_candidates;
  } cases[] = {
      // The chosen hop became unreachable: the cheapest other one, pending
      // unless the overlay has a path to it.
      {b, 5, false, true, b, 5, true, "Case4", a, 10, false, "10.0.0.11(5),10.0.0.10(10),"},
      {b, 5, false, false, b, 5, true, "Case4", a, 10, true, "10.0.0.11(5),10.0.0.10(10),"},
      // A confirmed hop replaces a pending one.
      {a, 10, true, false, c, 30, false, "Case2", c, 30, false,
       "10.0.0.11(5),10.0.0.10(10),10.0.0.12(30),"},
      // A cheaper confirmed hop replaces a confirmed one.
      {a, 10, false, false, c, 1, false, "Case2", c, 1, false,
       "10.0.0.12(1),10.0.0.11(5),10.0.0.10(10),"},
      // The pending hop is confirmed.
      {a, 10, true, false, a, 10, false, "Case6", a, 10, false, "10.0.0.11(5),10.0.0.10(10),"},
      // Anything else only adds the candidate.
      {a, 10, false, false, c, 30, false, "CaseDefault", a, 10, false,
       "10.0.0.11(5),10.0.0.10(10),10.0.0.12(30),"},
      {a, 10, true, false, a, 11, false, "CaseDefault", a, 10, true, "10.0.0.11(5),10.0.0.10(10),"},
  };
  for (const Case& k : cases) {
    NextHopElement e(ip(k.chosen), k.chosen_cost);
    e.pending = k.chosen_pending;
    e.add_nh_to_valid_nh_list(ip(b), 5);
    e.add_nh_to_valid_nh_list(ip(a), 10);
    e.path.push_back(NextHopNode{ip(c), 0});
    FakePeerPathQuery overlay;
    overlay.set_path(ip(a), k.a_has_path);
    new_log();
    e.compare_and_update(ip(k.nh), k.cost, k.pending, true, &overlay);
    std::string what = std::string(k.tag) + " to " + k.nh;
    EXPECT_EQ(str(e.next_hop.to_string()), k.want_nh) << what;
    EXPECT_EQ(e.cost, k.want_cost) << what;
    EXPECT_EQ(e.pending, k.want_pending) << what;
    EXPECT_EQ(candidates(&e), k.want_candidates) << what;
    EXPECT_TRUE(e.path.empty()) << what;
    std::string log = new_log();
    std::string line = std::string("NHT(") + k.tag + "): Compare and Update: _nh: " + k.chosen +
                       ", _cost: " + std::to_string(k.chosen_cost) +
                       ", _pending: " + (k.chosen_pending ? "true" : "false") + ", nh: " + k.nh +
                       ", cost: " + std::to_string(k.cost) +
                       ", pending: " + (k.pending ? "true" : "false");
    EXPECT_NE(log.find(line), std::string::npos) << what << "\n" << log;
  }
}

TEST_F(NhtTest, CheaperConfirmedHopAlsoLogsTheDefaultCase) {
  NextHopElement e(ip("10.0.0.10"), 10);
  e.add_nh_to_valid_nh_list(ip("10.0.0.10"), 10);
  new_log();
  e.compare_and_update(ip("10.0.0.12"), 1, false, false, nullptr);
  std::string log = new_log();
  EXPECT_NE(log.find("NHT(Case2)"), std::string::npos);
  EXPECT_NE(log.find("NHT(CaseDefault): Compare and Update: _nh: 10.0.0.12, _cost: 1"),
            std::string::npos);
  EXPECT_EQ(e.version, 2);  // the second addition was refused
}

TEST_F(NhtTest, LookupsOfConfirmedAndUnknownDestinations) {
  IPAddress nh = ip("1.1.1.1");
  EXPECT_EQ(nht_.get_nexthop(self_, ip("10.9.0.1"), &nh, &overlay_), -2);
  EXPECT_TRUE(nh.empty());
  nht_.add_nexthop(ip("10.9.0.1"), ip("10.0.0.10"), 10, false, &overlay_);
  EXPECT_EQ(nht_.get_nexthop(self_, ip("10.9.0.1"), &nh, &overlay_), 0);
  EXPECT_EQ(str(nh.to_string()), "10.0.0.10");
  EXPECT_EQ(new_log().find("finding path"), std::string::npos);
}

TEST_F(NhtTest, OwnAddressAsNextHopMakesTheDestinationItsOwn) {
  const IPAddress d = ip("10.9.0.1");
  nht_.add_nexthop(d, self_, 10, true, &overlay_);
  IPAddress nh;
  ASSERT_EQ(nht_.get_nexthop(self_, d, &nh, &overlay_), 0);
  EXPECT_EQ(nh, d);
  NextHopElement* e = nht_.find(d);
  EXPECT_EQ(e->next_hop, d);
  EXPECT_EQ(e->cost, 0u);
  EXPECT_FALSE(e->pending);
  EXPECT_TRUE(e->path.empty());
  EXPECT_NE(new_log().find("new next hop for dest=10.9.0.1 is nh=10.9.0.1"), std::string::npos);
}

TEST_F(NhtTest, PendingDestinationFollowsItsCandidates) {
  // X pending via Y; Y pending via Z; Z has a direct tunnel.
  const IPAddress x = ip("10.9.0.1");
  const IPAddress y = ip("10.9.0.2");
  const IPAddress z = ip("10.9.0.3");
  nht_.add_nexthop(x, y, 5, true, &overlay_);
  nht_.add_nexthop(y, z, 5, true, &overlay_);
  nht_.add_nexthop(z, z, 10, false, &overlay_);
  IPAddress nh;
  ASSERT_EQ(nht_.get_nexthop(self_, x, &nh, &overlay_), 0);
  EXPECT_EQ(nh, z);
  EXPECT_FALSE(nht_.find(x)->pending);
  std::string log = new_log();
  EXPECT_NE(log.find("10.9.0.2 is a NOT valid next hop recursing"), std::string::npos);
  EXPECT_NE(log.find("new next hop for dest=10.9.0.1 is nh=10.9.0.3"), std::string::npos);
}

TEST_F(NhtTest, LoopAnswersNoPath) {
  const IPAddress x = ip("10.9.0.1");
  const IPAddress y = ip("10.9.0.2");
  nht_.add_nexthop(x, y, 5, true, &overlay_);
  nht_.add_nexthop(y, x, 5, true, &overlay_);
  IPAddress nh = y;
  EXPECT_EQ(nht_.get_nexthop(self_, x, &nh, &overlay_), -2);
  EXPECT_TRUE(nh.empty());
  EXPECT_TRUE(nht_.find(x)->pending);
  EXPECT_TRUE(nht_.find(x)->path.empty());
  std::string log = new_log();
  EXPECT_NE(log.find("nexthop loop detected nh=10.9.0.1 already present in path"),
            std::string::npos);
  EXPECT_NE(log.find("NHT: nexthop for dest=10.9.0.1 not found, go to next valid nexthop"),
            std::string::npos);
}

// D0 pending via D1, ..., D(n-1) via Dn; Dn has a direct tunnel.
void make_chain(OstrelNextHopTracking& nht, int n, const OstrelPeerPathQuery* overlay) {
  auto d = [](int i) {
    return IPAddress(10, 8, static_cast<unsigned char>(i / 256),
                     static_cast<unsigned char>(i % 256));
  };
  for (int i = 0; i < n; ++i) nht.add_nexthop(d(i), d(i + 1), 1, true, overlay);
  nht.add_nexthop(d(n), d(n), 10, false, overlay);
}

TEST_F(NhtTest, SearchStopsAfter64Hops) {
  make_chain(nht_, 10, &overlay_);
  IPAddress nh;
  EXPECT_EQ(nht_.get_nexthop(self_, IPAddress(10, 8, 0, 0), &nh, &overlay_), 0);
  EXPECT_EQ(nh, IPAddress(10, 8, 0, 10));

  OstrelNextHopTracking long_chain;
  make_chain(long_chain, 100, &overlay_);
  new_log();
  EXPECT_EQ(long_chain.get_nexthop(self_, IPAddress(10, 8, 0, 0), &nh, &overlay_), -2);
  EXPECT_TRUE(nh.empty());
  EXPECT_NE(new_log().find("NHT: next hop search for dest=10.8.0.64 stopped after 64 hops"),
            std::string::npos);
}

TEST_F(NhtTest, Dumps) {
  nht_.add_nexthop(ip("10.9.0.1"), ip("10.0.0.10"), 10, false, &overlay_);
  nht_.add_nexthop(ip("10.9.0.1"), ip("10.0.0.11"), 20, false, &overlay_);
  nht_.add_nexthop(ip("10.9.0.2"), ip("10.0.0.11"), 4294967295u, true, &overlay_);
  nht_.find(ip("10.9.0.2"))->path.push_back(NextHopNode{ip("10.9.0.2"), 0});
  nht_.find(ip("10.9.0.2"))->path.push_back(NextHopNode{ip("10.0.0.11"), 7});
  StringBuilder sb;
  nht_.format_nht(sb);
  EXPECT_EQ(std::string(sb.data(), sb.length()),
            "Destination\t|NextHop\t|Cost\t|Pending|Path\t\t\t\t\t\t|Valid NHs\n"
            "10.9.0.1\t|10.0.0.10\t|10\t|-\t|\t\t\t\t\t\t|10.0.0.10(10),10.0.0.11(20),\n"
            "10.9.0.2\t|10.0.0.11\t|4294967295\t|*\t|10.9.0.2->10.0.0.11->\t10.0.0.11(4294967295),"
            "\n");
  Json json;
  nht_.print_nht_json(json);
  EXPECT_EQ(str(json.to_text()),
            "[{\"Destination\":\"10.9.0.1\",\"NextHop\":\"10.0.0.10\",\"Cost\":\"10\","
            "\"Pending\":\"-\",\"Path\":\"\",\"ValidNHs\":\"10.0.0.10(10),10.0.0.11(20),\"},"
            "{\"Destination\":\"10.9.0.2\",\"NextHop\":\"10.0.0.11\",\"Cost\":\"4294967295\","
            "\"Pending\":\"*\",\"Path\":\"10.9.0.2->10.0.0.11->\","
            "\"ValidNHs\":\"10.0.0.11(4294967295),\"}]");
  new_log();
  nht_.print_nht();
  EXPECT_NE(new_log().find("10.9.0.1\t|10.0.0.10\t|10\t|-"), std::string::npos);
}

}  // namespace
