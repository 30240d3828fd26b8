#include "graph/ost_connection_key.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "graph/hash_table.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Std;

TEST(OstConnectionKeyTest, HashTextAndEquality) {
  const OstRemoteWANIPLocalIPPair key{IPAddress(10, 0, 0, 1), IPAddress(192, 168, 1, 2)};
  const OstRemoteWANIPLocalIPPair swapped{key.local_ip, key.remote_wan_ip};
  // One-at-a-time over the bytes 10 0 0 1 192 168 1 2, computed apart.
  EXPECT_EQ(hashcode(key), 0x28e9ba5du);
  EXPECT_EQ(hashcode(swapped), 0xdae5ad3bu);
  EXPECT_EQ(hashcode(OstRemoteWANIPLocalIPPair{}), 0u);

  EXPECT_EQ(Std(key.to_string()), "10.0.0.1-192.168.1.2");
  EXPECT_FALSE(key == swapped);
  EXPECT_FALSE(key == (OstRemoteWANIPLocalIPPair{key.remote_wan_ip, IPAddress(192, 168, 1, 3)}));
  EXPECT_TRUE(key ==
              (OstRemoteWANIPLocalIPPair{IPAddress(10, 0, 0, 1), IPAddress(192, 168, 1, 2)}));
}

TEST(OstConnectionKeyTest, KeysAConnectionTable) {
  HashTable<OstRemoteWANIPLocalIPPair, int> table;
  const OstRemoteWANIPLocalIPPair key{IPAddress(10, 0, 0, 1), IPAddress(192, 168, 1, 2)};
  table.find_insert(key, 1);
  table.find_insert(OstRemoteWANIPLocalIPPair{key.local_ip, key.remote_wan_ip}, 2);
  EXPECT_EQ(table.size(), 2u);
  ASSERT_TRUE(table.find(key).live());
  EXPECT_EQ(table.find(key)->value, 1);
}

}  // namespace
