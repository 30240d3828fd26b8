// The policy table version under bumps from other threads while the packet
// thread looks flows up and rebuilds the table.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "graph/json.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "ostgraphsvc/policy_slot/policy_slot.h"

namespace {

TEST(OstPolicyConcurrencyTest, NoBumpIsLost) {
  constexpr int kThreads = 4;
  constexpr int kBumps = 100000;
  const Json doc = Json::parse(String(
      R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[
        {"qos_match":{"cmap_name":"a","cmap_match_criteria":{"mtch_dest_port":"443"}}},
        {"qos_match":{"cmap_name":"b","cmap_match_criteria":{"mtch_dest_ip":"10.0.0.0/8"}}}]}}]})"));
  OstPolicy policy;
  ASSERT_EQ(policy.initialize(nullptr), 0);
  ASSERT_EQ(registered_policy_element(), static_cast<OstPolicyTableVersion*>(&policy));

  std::atomic<int> running{kThreads};
  std::vector<std::thread> bumpers;
  for (int t = 0; t < kThreads; ++t) {
    bumpers.emplace_back([&policy, &running, t] {
      // Half through the process-wide slot, half on the element itself.
      for (int i = 0; i < kBumps; ++i) {
        if (t % 2 == 0)
          update_policy_table_version();
        else
          policy.update_policy_table_version();
      }
      running.fetch_sub(1);
    });
  }

  // The packet thread: lookups, version comparisons and rebuilds.
  uint32_t rebuilds = 0;
  uint32_t last = policy.policy_table_version();
  uint64_t matched = 0;
  while (running.load() > 0 || rebuilds < 10) {
    for (int i = 0; i < 100; ++i) {
      const int32_t row = policy.find_matching_policy(htonl(0x0A000001), htonl(0x0A000102), 40000,
                                                      443, 0, 6, 0, 0, 1, "app");
      matched += policy.policy_row(row) != nullptr ? 1 : 0;
    }
    const uint32_t now = policy.policy_table_version();
    EXPECT_LT(now - last, 0x80000000u);  // never goes back
    last = now;
    ASSERT_EQ(policy.build_policy_table(doc), 0);
    ++rebuilds;
  }
  for (std::thread& t : bumpers) t.join();
  EXPECT_GT(matched, 0u);
  EXPECT_EQ(policy.policy_table_version(), uint32_t{kThreads} * kBumps + rebuilds);
}

}  // namespace
