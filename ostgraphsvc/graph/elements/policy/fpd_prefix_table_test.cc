#include "ostgraphsvc/graph/elements/policy/fpd_prefix_table.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

#include "graph/ipaddress.h"
#include "tests/support/started_log.h"

namespace {

uint32_t ip(const char* text) {
  IPAddress a;
  EXPECT_TRUE(cp_parse_ip_address(text, &a)) << text;
  return a.addr();
}

uint32_t prefix_mask(int len) { return IPAddress::make_prefix(len).addr(); }

fpd_entry make_entry(const char* address, int len, int app, uint16_t port = 0xFFFF) {
  fpd_entry e;
  e.address = ip(address);
  e.mask = prefix_mask(len);
  e.app_id = app;
  e.category_id = app * 10;
  e.port_items.push_back(fpd_port_item{port, port, app, app * 10});
  return e;
}

int app_of(const FpdPrefixTable& table, const char* address) {
  fpd_entry out;
  if (table.lookup(ip(address), out) != 0) return -1;
  const fpd_entry* view = table.find(ip(address));
  EXPECT_NE(view, nullptr);
  if (view != nullptr) {
    EXPECT_EQ(view->app_id, out.app_id);
  }
  return out.app_id;
}

TEST(FpdPrefixTableTest, LongestPrefixWinsInEitherOrder) {
  struct Case {
    const char* name;
    std::vector<std::pair<const char*, int>> prefixes;  // "address/len" parts below
    std::vector<int> lengths;
    std::vector<std::pair<const char*, int>> answers;
  };
  const std::vector<Case> cases = {
      {"8 and 16",
       {{"10.0.0.0", 1}, {"10.1.0.0", 2}},
       {8, 16},
       {{"10.1.2.3", 2}, {"10.2.0.1", 1}, {"11.0.0.1", -1}}},
      {"16 then 8",
       {{"10.1.0.0", 2}, {"10.0.0.0", 1}},
       {16, 8},
       {{"10.1.2.3", 2}, {"10.2.0.1", 1}, {"11.0.0.1", -1}}},
      {"9 then 10",
       {{"10.0.0.0", 1}, {"10.0.0.0", 2}},
       {9, 10},
       {{"10.0.0.1", 2},
        {"10.63.255.255", 2},
        {"10.64.0.0", 1},
        {"10.127.0.1", 1},
        {"10.128.0.0", -1}}},
      {"10 then 9",
       {{"10.0.0.0", 2}, {"10.0.0.0", 1}},
       {10, 9},
       {{"10.0.0.1", 2},
        {"10.63.255.255", 2},
        {"10.64.0.0", 1},
        {"10.127.0.1", 1},
        {"10.128.0.0", -1}}},
      {"host bits are masked",
       {{"10.1.200.3", 7}},
       {17},
       {{"10.1.128.0", 7}, {"10.1.255.255", 7}, {"10.1.127.255", -1}, {"10.1.0.1", -1}}},
      {"default and a host",
       {{"0.0.0.0", 1}, {"192.0.2.7", 2}},
       {0, 32},
       {{"192.0.2.7", 2}, {"192.0.2.6", 1}, {"8.8.8.8", 1}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    FpdPrefixTable table;
    for (size_t i = 0; i < c.prefixes.size(); ++i) {
      EXPECT_EQ(table.add(make_entry(c.prefixes[i].first, c.lengths[i], c.prefixes[i].second)), 0);
    }
    for (const auto& [address, app] : c.answers) EXPECT_EQ(app_of(table, address), app) << address;
  }
}

TEST(FpdPrefixTableTest, HostBitsNeverReachOutsideTheirNode) {
  // Unmasked, this /17 would set slots 12-19 of a 16-slot node.
  FpdPrefixTable table;
  ASSERT_EQ(table.add(make_entry("10.1.200.3", 17, 5)), 0);
  fpd_entry out;
  ASSERT_EQ(table.lookup(ip("10.1.130.1"), out), 0);
  EXPECT_EQ(out.address, ip("10.1.128.0"));
  EXPECT_EQ(out.mask, prefix_mask(17));
  // The same prefix written with other host bits is the same prefix.
  EXPECT_EQ(table.add(make_entry("10.1.129.9", 17, 6)), FpdPrefixTable::kMerged);
  ASSERT_EQ(table.lookup(ip("10.1.250.1"), out), 0);
  EXPECT_EQ(out.app_id, 5);
  ASSERT_EQ(out.port_items.size(), 2);
  EXPECT_EQ(out.port_items[1].app_id, 6);
}

TEST(FpdPrefixTableTest, NonContiguousMaskIsRefused) {
  testing_support::StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
  FpdPrefixTable table;
  fpd_entry e = make_entry("10.0.5.0", 24, 3);
  e.mask = ip("255.0.255.0");
  EXPECT_EQ(table.add(e), FpdPrefixTable::kRefused);
  EXPECT_EQ(table.find(ip("10.0.5.1")), nullptr);
  EXPECT_NE(log.text().find("FPD: non-contiguous mask 255.0.255.0 for 10.0.5.0, entry skipped"),
            std::string::npos)
      << log.text();
}

TEST(FpdPrefixTableTest, SamePrefixMergesKeepingTheFirstApplication) {
  FpdPrefixTable table;
  EXPECT_EQ(table.add(make_entry("0.0.0.0", 0, 1, 53)), 0);
  EXPECT_EQ(table.add(make_entry("0.0.0.0", 0, 2, 80)), FpdPrefixTable::kMerged);
  EXPECT_EQ(table.add(make_entry("172.16.0.0", 12, 3, 443)), 0);
  EXPECT_EQ(table.add(make_entry("172.16.0.0", 12, 4, 8443)), FpdPrefixTable::kMerged);
  EXPECT_EQ(table.add(make_entry("172.16.0.0", 12, 5, 22)), FpdPrefixTable::kMerged);

  fpd_entry out;
  ASSERT_EQ(table.lookup(ip("1.2.3.4"), out), 0);
  EXPECT_EQ(out.app_id, 1);
  ASSERT_EQ(out.port_items.size(), 2);
  EXPECT_EQ(out.port_items[0].low_port, 53);
  EXPECT_EQ(out.port_items[1].low_port, 80);
  EXPECT_EQ(out.port_items[1].app_id, 2);

  ASSERT_EQ(table.lookup(ip("172.20.1.1"), out), 0);
  EXPECT_EQ(out.app_id, 3);
  EXPECT_EQ(out.category_id, 30);
  ASSERT_EQ(out.port_items.size(), 3);
  EXPECT_EQ(out.port_items[0].app_id, 3);
  EXPECT_EQ(out.port_items[1].app_id, 4);
  EXPECT_EQ(out.port_items[2].app_id, 5);
  // Merged slots are reused, not leaked: three prefixes' worth of slots.
  EXPECT_LE(table.entry_count(), 3);
  table.add(make_entry("192.168.0.0", 16, 6));
  EXPECT_LE(table.entry_count(), 3);
}

TEST(FpdPrefixTableTest, HostPrefixLivesInTheSeventhLevel) {
  FpdPrefixTable table;
  ASSERT_EQ(table.add(make_entry("192.0.2.77", 32, 9)), 0);
  int nodes = 0;
  int found_at = 0;
  const uint32_t a = ntohl(ip("192.0.2.77"));
  uint32_t rest = a;
  for (const PrefixTrieNode* node = table.root(); node != nullptr;) {
    ++nodes;
    const PrefixTrieNode::Slot& slot = node->slots()[rest >> node->shift];
    if (slot.key >= 0) found_at = nodes;
    rest &= node->shift == 0 ? 0 : (1u << node->shift) - 1;
    node = slot.child;
  }
  EXPECT_EQ(nodes, 7);
  EXPECT_EQ(found_at, 7);
  EXPECT_EQ(app_of(table, "192.0.2.77"), 9);
  EXPECT_EQ(app_of(table, "192.0.2.76"), -1);
  table.clear();
  EXPECT_EQ(app_of(table, "192.0.2.77"), -1);
  EXPECT_EQ(table.entry_count(), 0);
}

// 10,000 prefixes of every length, repeats included, against a longest
// match computed from one map per length.
TEST(FpdPrefixTableTest, MatchesBruteForceLongestPrefix) {
  std::mt19937 rng(52);
  struct Expected {
    int app;
    std::vector<int> ports;
  };
  std::vector<std::unordered_map<uint32_t, Expected>> by_length(33);
  std::vector<std::pair<uint32_t, int>> added;  // host-order address, length
  FpdPrefixTable table;
  for (int i = 0; i < 10000; ++i) {
    uint32_t address;
    int len;
    if (!added.empty() && rng() % 8 == 0) {
      std::tie(address, len) = added[rng() % added.size()];
      if (len < 32) address ^= rng() & (~0u >> len);  // other host bits
    } else {
      len = static_cast<int>(rng() % 33);
      address = rng();
    }
    added.emplace_back(address, len);
    fpd_entry e;
    e.address = htonl(address);
    e.mask = prefix_mask(len);
    e.app_id = i;
    e.port_items.push_back(fpd_port_item{static_cast<uint16_t>(i), static_cast<uint16_t>(i), i, 0});
    const uint32_t key = len == 0 ? 0 : address & (~0u << (32 - len));
    auto [it, fresh] = by_length[len].try_emplace(key, Expected{i, {}});
    it->second.ports.push_back(i);
    ASSERT_EQ(table.add(e), fresh ? 0 : FpdPrefixTable::kMerged);
  }
  int answered = 0;
  for (int n = 0; n < 1000000; ++n) {
    uint32_t a = rng();
    if (n % 2 == 0) {
      const auto& [base, len] = added[rng() % added.size()];
      const uint32_t host = len == 0 ? ~0u : ~(~0u << (32 - len));
      a = (base & ~host) | (a & host);
    }
    const Expected* want = nullptr;
    for (int len = 32; len >= 0 && want == nullptr; --len) {
      const uint32_t key = len == 0 ? 0 : a & (~0u << (32 - len));
      auto it = by_length[len].find(key);
      if (it != by_length[len].end()) want = &it->second;
    }
    const fpd_entry* got = table.find(htonl(a));
    ASSERT_EQ(got != nullptr, want != nullptr) << std::hex << a;
    if (got == nullptr) continue;
    ++answered;
    ASSERT_EQ(got->app_id, want->app) << std::hex << a;
    ASSERT_EQ(got->port_items.size(), static_cast<int>(want->ports.size()));
    for (size_t k = 0; k < want->ports.size(); ++k) {
      ASSERT_EQ(got->port_items[static_cast<int>(k)].app_id, want->ports[k]);
    }
  }
  EXPECT_GT(answered, 500000);
}

}  // namespace
