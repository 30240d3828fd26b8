#include "ostgraphsvc/policy_slot/policy_slot.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "tests/support/started_log.h"

namespace {

constexpr char kLine[] = "OstPolicy: Updating policy table version from ";

class TestPolicyElement : public OstPolicyTableVersion {
 public:
  ~TestPolicyElement() { unregister_policy_element(this); }
};

size_t count_of(const std::string& text, const std::string& what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST(PolicySlotTest, EmptySlotIsSilent) {
  testing_support::StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
  ASSERT_EQ(registered_policy_element(), nullptr);
  update_policy_table_version();
  EXPECT_EQ(log.text().find(kLine), std::string::npos);
}

TEST(PolicySlotTest, FirstElementIsBumpedUntilDestroyed) {
  testing_support::StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
  TestPolicyElement* first = new TestPolicyElement;
  TestPolicyElement second;
  ASSERT_TRUE(register_policy_element(first));
  EXPECT_FALSE(register_policy_element(&second));  // the first one stays
  EXPECT_EQ(registered_policy_element(), first);

  update_policy_table_version();
  EXPECT_EQ(first->policy_table_version(), 1u);
  EXPECT_EQ(second.policy_table_version(), 0u);
  EXPECT_NE(log.text().find(" vedororore 4 OstPolicy::update_policy_table_version "
                            "OstPolicy: Updating policy table version from 0 to 1\n"),
            std::string::npos)
      << log.text();
  EXPECT_EQ(count_of(log.text(), kLine), 1u);

  delete first;
  EXPECT_EQ(registered_policy_element(), nullptr);
  update_policy_table_version();
  EXPECT_EQ(second.policy_table_version(), 0u);
  EXPECT_EQ(count_of(log.text(), kLine), 1u);
  // An element that never held the slot leaves it alone.
  unregister_policy_element(&second);
  EXPECT_TRUE(register_policy_element(&second));
  unregister_policy_element(&second);
}

TEST(PolicySlotTest, BumpsFromManyThreadsAreNeverLost) {
  TestPolicyElement element;
  ASSERT_TRUE(register_policy_element(&element));
  std::vector<std::thread> threads;
  // Through the slot and on the element itself, as the packet thread does.
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 1000; ++i) update_policy_table_version();
    });
    threads.emplace_back([&element] {
      for (int i = 0; i < 1000; ++i) element.update_policy_table_version();
    });
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(element.policy_table_version(), 4000u);
}

}  // namespace
