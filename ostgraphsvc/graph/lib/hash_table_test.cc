#include "graph/hash_table.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "graph/hashcode.h"
#include "tests/support/temp_root.h"

namespace {

TEST(StringHashTest, Vectors) {
  struct Case {
    std::string text;
    uint32_t hash;
  } cases[] = {
      {"", 0},
      {"a", 291415938u},
      {"ab", 1366002500u},
      {"abc", 3535673738u},
      {"abcd", 3671636187u},
      {"hello world", 2794219650u},
      {"\xff", 2850657893u},  // tail bytes are unsigned
      {"ab\xff", 1629428164u},
      {"\x80\x81", 4212886800u},
      {"\xe2\x82\xac", 2234796907u},
      {"FromDevice@1", 3755946983u},
      {"nat/iprw", 2306358576u},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(string_hash(c.text.data(), c.text.data() + c.text.size()), c.hash) << c.text;
    EXPECT_EQ(hashcode(String(c.text.data(), static_cast<int>(c.text.size()))), c.hash);
  }
  EXPECT_EQ(hashcode(-1), 0xFFFFFFFFu);
}

std::vector<std::string> LogLines(const std::string& path) {
  std::vector<std::string> lines;
  std::istringstream in(testing_support::ReadFile(path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(HashTableTest, RehashesPastTwiceTheBucketCountAndSaysSo) {
  testing_support::TempRoot root;
  cxLogProcessTag = "vedororore";
  ASSERT_TRUE(cxLogInit("cxtarndebuglog", "cxtarndebuglog_old"));
  cxLogFormatFlags = 0;
  cxLogThreshold = CXLOG_INFO;
  const std::string log = root.path() + "/var/log/Corvex/pellar/Logs/cxtarndebuglog.log";

  HashTable<String, int> table;
  EXPECT_EQ(table.bucket_count(), 63u);
  EXPECT_EQ(table.name(), "Pair<String const, int>");
  std::vector<uint32_t> buckets_after;
  for (int i = 1; i <= 255; ++i) {
    table.find_insert(String("key ") + String(i), i);
    if (i == 126 || i == 127 || i == 254 || i == 255) buckets_after.push_back(table.bucket_count());
  }
  EXPECT_EQ(buckets_after, (std::vector<uint32_t>{63, 127, 127, 255}));
  cxLogShutdown();

  std::vector<std::string> lines = LogLines(log);
  ASSERT_EQ(lines.size(), 2u);
  const std::string tag =
      " vedororore HashContainer<HashTable<String, int>::elt, "
      "HashContainer_adapter<HashTable<String, int>::elt> >::set ";
  EXPECT_EQ(lines[0], tag + "HTBL: size 127 nbuckets 63 (max:-1). About to rehash to 64");
  EXPECT_EQ(lines[1], tag + "HTBL: size 255 nbuckets 127 (max:-1). About to rehash to 128");

  for (int i = 1; i <= 255; ++i) {
    auto it = table.find(String("key ") + String(i));
    ASSERT_TRUE(it.live()) << i;
    EXPECT_EQ(it->value, i);
  }
  EXPECT_FALSE(table.find(String("key 0")).live());
  auto again = table.find_insert(String("key 7"), 700);  // present: unchanged
  EXPECT_EQ(again->value, 7);
  EXPECT_EQ(table.size(), 255u);
}

TEST(HashTableTest, NewEntriesGoToTheHeadOfTheirChain) {
  HashContainer<HashTable<int, int>::elt> hc;  // on its own: one bucket
  EXPECT_EQ(hc.bucket_count(), 1u);
  HashTable<int, int>::elt a{{1, 10}, nullptr}, b{{2, 20}, nullptr}, c{{3, 30}, nullptr};
  for (auto* e : {&a, &b, &c}) {
    auto it = hc.find(e->pair.key);
    EXPECT_EQ(hc.set(it, e), nullptr);
  }
  std::vector<int> order;
  for (auto it = hc.begin(); it.live(); ++it) order.push_back(it->pair.key);
  EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
  // Without balance the single bucket never grows.
  EXPECT_EQ(hc.bucket_count(), 1u);

  HashTable<int, int>::elt replacement{{2, 200}, nullptr};
  auto it = hc.find(2);
  EXPECT_EQ(hc.set(it, &replacement), &b);
  EXPECT_EQ(hc.find(2)->pair.value, 200);
  EXPECT_EQ(hc.size(), 3u);
}

TEST(HashTableTest, RehashRoundsUpToTwoToTheKMinusOne) {
  struct Case {
    uint32_t ask;
    uint32_t buckets;
  } cases[] = {{0, 1}, {1, 1}, {2, 3}, {7, 7}, {8, 15}, {64, 127}, {127, 127}, {128, 255}};
  for (const Case& c : cases) {
    HashContainer<HashTable<int, int>::elt> hc(63);
    std::vector<std::unique_ptr<HashTable<int, int>::elt>> entries;
    for (int i = 0; i < 20; ++i) {
      entries.emplace_back(new HashTable<int, int>::elt{{i * 7919, i}, nullptr});
      auto it = hc.find(i * 7919);
      hc.set(it, entries.back().get());
    }
    hc.rehash(c.ask);
    EXPECT_EQ(hc.bucket_count(), c.buckets) << c.ask;
    for (int i = 0; i < 20; ++i) EXPECT_EQ(hc.find(i * 7919).get(), entries[i].get()) << c.ask;
    uint32_t bucket = 0;
    for (auto it = hc.begin(); it.live(); ++it) {
      EXPECT_EQ(it.bucket(), hc.bucket(it->pair.key));
      EXPECT_GE(it.bucket(), bucket);  // bucket order
      bucket = it.bucket();
    }
  }
}

TEST(HashTableTest, EraseWhileIterating) {
  HashTable<int, String> table;
  for (int i = 0; i < 500; ++i) table.find_insert(i, String("value ") + String(i));
  int visited = 0;
  for (auto it = table.begin(); it.live();) {
    ++visited;
    if (it->key % 3 == 0) {
      it = table.erase(it);  // the next entry, possibly in a later bucket
    } else {
      ++it;
    }
  }
  EXPECT_EQ(visited, 500);
  EXPECT_EQ(table.size(), 333u);
  std::set<int> left;
  for (auto it = table.begin(); it.live(); ++it) left.insert(it->key);
  EXPECT_EQ(left.size(), 333u);
  EXPECT_EQ(left.count(3), 0u);
  EXPECT_EQ(left.count(4), 1u);

  for (auto it = table.begin(); it.live();) it = table.erase(it);
  EXPECT_TRUE(table.empty());
  EXPECT_FALSE(table.begin().live());  // erasing the last entry gives the end
}

TEST(HashTableTest, ErasedNodesAreReusedFirst) {
  HashTable<int, int> table;
  table.find_insert(1, 1);
  auto it = table.find_insert(2, 2);
  Pair<const int, int>* freed = it.get();
  table.erase(it);
  EXPECT_EQ(table.find_insert(3, 3).get(), freed);
}

TEST(NodePoolTest, ChunksGrowAsHeapBlocksDouble) {
  struct Case {
    size_t node_size;
    int nodes;
    std::vector<size_t> blocks;  // oldest first
    std::vector<size_t> counts;
  } cases[] = {
      {40, 24 + 50 + 101, {992, 2032, 4072}, {24, 50, 101}},
      {32, 31 + 63, {1024, 2048}, {31, 63}},
      {200, 8, {1632}, {8}},  // at least eight nodes a chunk
  };
  for (const Case& c : cases) {
    NodePool pool(c.node_size);
    for (int i = 0; i < c.nodes; ++i) pool.allocate();
    std::vector<size_t> blocks, counts;
    pool.for_each_chunk([&](NodePool::ChunkInfo info) {
      blocks.insert(blocks.begin(), info.block_bytes);
      counts.insert(counts.begin(), info.nodes);
    });
    EXPECT_EQ(blocks, c.blocks) << c.node_size;
    EXPECT_EQ(counts, c.counts) << c.node_size;
  }
  NodePool big(1 << 19);
  big.allocate();
  big.allocate();
  big.allocate();  // 8 nodes of 512 KiB: the first chunk is not capped
  size_t first = 0;
  big.for_each_chunk([&](NodePool::ChunkInfo info) { first = info.block_bytes; });
  EXPECT_EQ(first, 32u + 8u * (1u << 19));
  EXPECT_EQ(NodePool(16).name(), "hal_unk");
}

TEST(NodePoolTest, LastFreedIsFirstReused) {
  NodePool pool(24);
  void* a = pool.allocate();
  void* b = pool.allocate();
  EXPECT_EQ(static_cast<char*>(b) - static_cast<char*>(a), 24);
  pool.free(a);
  pool.free(b);
  EXPECT_EQ(pool.allocate(), b);
  EXPECT_EQ(pool.allocate(), a);
}

}  // namespace
