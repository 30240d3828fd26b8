#include "graph/hash_map.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(HashMapArenaTest, FactoryRoundsSizesAndSharesArenas) {
  HashMap_ArenaFactory factory;
  struct Case {
    size_t ask;
    size_t element;
  } cases[] = {{5, 8},     {8, 8},     {37, 40},   {40, 40},
               {255, 256}, {256, 256}, {300, 384}, {1000, 1024}};
  for (const Case& c : cases) {
    EXPECT_EQ(factory.get_arena(c.ask)->element_size(), c.element) << c.ask;
  }
  EXPECT_EQ(factory.get_arena(37), factory.get_arena(40));
  EXPECT_NE(factory.get_arena(252), factory.get_arena(256));    // small and large tables
  EXPECT_EQ(factory.get_arena(10000)->element_size(), 10112u);  // grows the large table
}

TEST(HashMapArenaTest, BlocksAreHandedOutFromTheirEnd) {
  HashMap_ArenaFactory factory;
  HashMap_Arena* arena = factory.get_arena(16);
  char* first = static_cast<char*>(arena->alloc());
  char* second = static_cast<char*>(arena->alloc());
  EXPECT_EQ(first - second, 16);
  arena->free(first);
  EXPECT_EQ(arena->alloc(), first);
  for (int i = 0; i < 126; ++i) arena->alloc();  // the rest of block one, then block two
  EXPECT_EQ(arena->block_count(), 2);
  for (int i = 0; i < 127 * 8; ++i) arena->alloc();  // the block table doubles from 8 slots
  EXPECT_EQ(arena->block_count(), 10);
}

TEST(HashMapTest, InsertOrAssignFindAndRehash) {
  HashMap_ArenaFactory factory;
  HashMap<String, int64_t> map(&factory);
  EXPECT_EQ(map.bucket_count(), 127u);
  EXPECT_EQ(map.arena()->element_size(), 40u);
  for (int i = 0; i < 254; ++i) EXPECT_TRUE(map.insert(String("k") + String(i), i));
  EXPECT_EQ(map.bucket_count(), 127u);
  EXPECT_TRUE(map.insert(String("k254"), 254));  // the count reached the threshold
  EXPECT_EQ(map.bucket_count(), 255u);
  EXPECT_FALSE(map.insert(String("k3"), 33));
  ASSERT_NE(map.find(String("k3")), nullptr);
  EXPECT_EQ(*map.find(String("k3")), 33);
  EXPECT_EQ(map.find(String("absent")), nullptr);
  EXPECT_EQ(map.size(), 255u);
  for (int i = 0; i < 255; ++i) ASSERT_NE(map.find(String("k") + String(i)), nullptr) << i;

  struct Value {
    char bytes[32];
  };
  HashMap<uint32_t, Value> flows(&factory);
  EXPECT_EQ(flows.arena()->element_size(), 48u);
}

TEST(HashMapTest, EraseIfRemovesAndRecyclesNodesAndForEachSeesTheRest) {
  HashMap_ArenaFactory factory;
  HashMap<uint32_t, String> map(&factory);
  for (uint32_t i = 0; i < 300; ++i) map.insert(i, String(static_cast<int>(i)));
  EXPECT_EQ(map.erase_if([](uint32_t k, const String&) { return k % 3 == 0; }), 100u);
  EXPECT_EQ(map.size(), 200u);
  EXPECT_EQ(map.find(3u), nullptr);
  ASSERT_NE(map.find(4u), nullptr);
  EXPECT_EQ(*map.find(4u), "4");
  uint64_t sum = 0;
  size_t seen = 0;
  map.for_each([&](uint32_t k, const String&) { sum += k, ++seen; });
  EXPECT_EQ(seen, 200u);
  EXPECT_EQ(sum, 300u * 299 / 2 - 3u * (99u * 100 / 2));
  const int blocks = map.arena()->block_count();
  for (uint32_t i = 1000; i < 1100; ++i) map.insert(i, String());  // reuses freed nodes
  EXPECT_EQ(map.arena()->block_count(), blocks);
  EXPECT_EQ(map.erase_if([](uint32_t, const String&) { return true; }), 300u);
  EXPECT_EQ(map.size(), 0u);
}

TEST(HashMapTest, AnArenaOutlivesItsFactoryWhileAMapUsesIt) {
  auto* factory = new HashMap_ArenaFactory;
  auto* map = new HashMap<String, int64_t>(factory);
  String key("survives the factory");
  map->insert(key, 1);
  EXPECT_EQ(key.memo()->refcount, 2u);
  delete factory;
  EXPECT_TRUE(map->insert(String("after"), 2));
  EXPECT_EQ(*map->find(key), 1);
  delete map;  // frees the arena and drops the key's reference
  EXPECT_EQ(key.memo()->refcount, 1u);
}

TEST(HashMapTest, ProcessFactoryIsMadeOnDemandAndCleanedUp) {
  {
    HashMap<String, int64_t> a;
    HashMap<String, void*> b;
    EXPECT_EQ(a.arena(), b.arena());
    a.insert(String("x"), 1);
    HashMap_ArenaFactory::static_cleanup();
    EXPECT_EQ(*a.find(String("x")), 1);
  }
  HashMap<int, int> c;
  EXPECT_TRUE(c.insert(1, 2));
  HashMap_ArenaFactory::static_cleanup();
}

}  // namespace
