#include "graph/framework_qsort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

using Pairs = std::vector<std::pair<int, int>>;

// The order of equal elements depends on the exact sequence of comparisons,
// so the tests record it: values for ints, ids for records.
int compare_ints(const void* a, const void* b, void* context) {
  const int x = *static_cast<const int*>(a);
  const int y = *static_cast<const int*>(b);
  static_cast<Pairs*>(context)->emplace_back(x, y);
  return x < y ? -1 : (x > y ? 1 : 0);
}

struct Record {
  int key;
  int id;
};

int compare_records(const void* a, const void* b, void* context) {
  const Record* x = static_cast<const Record*>(a);
  const Record* y = static_cast<const Record*>(b);
  static_cast<Pairs*>(context)->emplace_back(x->id, y->id);
  return x->key < y->key ? -1 : (x->key > y->key ? 1 : 0);
}

TEST(FrameworkQsortTest, ComparisonSequenceIsFixed) {
  struct Case {
    std::vector<int> values;
    Pairs compares;
  } cases[] = {
      // clang-format off
      {{5, 3, 8, 1, 9, 2, 7, 4},
       {// Median of first, middle and last: 5.
        {5, 9}, {9, 4}, {5, 4},
        // Partition against the pivot, now first.
        {3, 5}, {8, 5}, {4, 5}, {1, 5}, {9, 5}, {7, 5}, {2, 5},
        // The smaller right part {9, 7, 8} is sorted before the left {2, 3, 4, 1}.
        {9, 7}, {9, 8}, {7, 8},
        {2, 3}, {3, 4}, {4, 1}, {3, 1}, {2, 1}}},
      {{1, 2, 3, 4, 5, 6, 7},
       {// The middle element is the pivot; 5 meets it from both sides.
        {2, 4}, {3, 4}, {1, 4}, {5, 4}, {7, 4}, {6, 4}, {5, 4},
        // Parts of equal size: the right one is sorted first.
        {5, 6}, {6, 7},
        {1, 2}, {2, 3}}},
      // clang-format on
  };
  for (Case& c : cases) {
    std::vector<int> sorted = c.values;
    std::sort(sorted.begin(), sorted.end());
    Pairs compares;
    framework_qsort(c.values.data(), c.values.size(), sizeof(int), compare_ints, &compares);
    EXPECT_EQ(compares, c.compares);
    EXPECT_EQ(c.values, sorted);
  }
}

TEST(FrameworkQsortTest, EqualElements) {
  auto ids = [](int n) {
    std::vector<int> v(n);
    for (int i = 0; i < n; ++i) {
      v[i] = i;
    }
    return v;
  };
  // One partition pass: each other element compared with the pivot.
  auto against = [](int pivot, std::vector<int> others) {
    Pairs p;
    for (int id : others) {
      p.emplace_back(id, pivot);
    }
    return p;
  };
  auto concat = [](Pairs a, const Pairs& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };
  std::vector<int> after_first = ids(41);
  after_first.erase(after_first.begin());

  struct Case {
    int n;
    std::vector<int> ids;
    Pairs compares;
  } cases[] = {
      // Below 7: insertion only, and nothing moves.
      {6, ids(6), {{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}}},
      // Exactly 7: the middle is the pivot and trades places with the first.
      {7, {3, 1, 2, 0, 4, 5, 6}, against(3, {1, 2, 0, 4, 5, 6})},
      // 8 to 40: median of three picks the first, and one pass finishes.
      {8, ids(8), concat({{0, 4}, {4, 7}, {0, 7}}, against(0, {1, 2, 3, 4, 5, 6, 7}))},
      // 41 and more: medians of three with step 41 / 8 = 5, then their median.
      {41, ids(41),
       // clang-format off
       concat({{0, 5}, {5, 10}, {0, 10},
               {15, 20}, {20, 25}, {15, 25},
               {30, 35}, {35, 40}, {30, 40},
               {0, 15}, {15, 30}, {0, 30}},
              against(0, after_first))},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.n);
    std::vector<Record> records(c.n);
    for (int i = 0; i < c.n; ++i) {
      records[i] = {7, i};
    }
    Pairs compares;
    framework_qsort(records.data(), records.size(), sizeof(Record), compare_records, &compares);
    std::vector<int> order;
    for (const Record& r : records) {
      order.push_back(r.id);
    }
    EXPECT_EQ(order, c.ids);
    EXPECT_EQ(compares, c.compares);
  }
}

// Records of a given size with a key of key_bytes at their start; the rest is
// payload that must travel with its key.
struct Layout {
  size_t size;
  size_t offset;  // from an aligned address
  size_t key_bytes;
};

int32_t key_of(const void* record, size_t key_bytes) {
  if (key_bytes == 2) {
    uint16_t k;
    std::memcpy(&k, record, 2);
    return k;
  }
  int32_t k;
  std::memcpy(&k, record, 4);
  return k;
}

int compare_keys(const void* a, const void* b, void* context) {
  const size_t key_bytes = *static_cast<const size_t*>(context);
  const int32_t x = key_of(a, key_bytes);
  const int32_t y = key_of(b, key_bytes);
  return x < y ? -1 : (x > y ? 1 : 0);
}

std::vector<std::string> records_of(const unsigned char* base, size_t n, size_t size) {
  std::vector<std::string> records;
  for (size_t i = 0; i < n; ++i) {
    records.emplace_back(reinterpret_cast<const char*>(base + i * size), size);
  }
  std::sort(records.begin(), records.end());
  return records;
}

TEST(FrameworkQsortTest, SortsLikeStdSort) {
  const Layout layouts[] = {
      {4, 0, 4},   // word swaps
      {4, 1, 4},   // unaligned base: byte swaps
      {3, 0, 2},   // odd size: byte swaps
      {6, 0, 2},   // size not a multiple of 4: byte swaps
      {12, 0, 4},  // word swaps of three words
  };
  enum class Keys { kWide, kFew, kDescending };
  std::mt19937 rng(7);
  for (const Layout& layout : layouts) {
    for (size_t n : {0, 1, 2, 6, 7, 8, 40, 41, 1000}) {
      for (Keys keys : {Keys::kWide, Keys::kFew, Keys::kDescending}) {
        SCOPED_TRACE(testing::Message() << "size " << layout.size << " offset " << layout.offset
                                        << " n " << n << " keys " << static_cast<int>(keys));
        std::vector<unsigned char> buffer(n * layout.size + 8);
        unsigned char* base = buffer.data() + layout.offset;
        std::vector<int32_t> expected;
        for (size_t i = 0; i < n; ++i) {
          unsigned char* record = base + i * layout.size;
          for (size_t b = 0; b < layout.size; ++b) {
            record[b] = static_cast<unsigned char>(rng());
          }
          if (keys == Keys::kFew) {
            std::memset(record, 0, layout.key_bytes);
            record[0] = static_cast<unsigned char>(rng() % 4);
          } else if (keys == Keys::kDescending) {
            const int32_t k = static_cast<int32_t>(n - i);
            std::memcpy(record, &k, layout.key_bytes);
          }
          expected.push_back(key_of(record, layout.key_bytes));
        }
        const std::vector<std::string> before = records_of(base, n, layout.size);

        size_t key_bytes = layout.key_bytes;
        framework_qsort(base, n, layout.size, compare_keys, &key_bytes);

        std::sort(expected.begin(), expected.end());
        std::vector<int32_t> sorted;
        for (size_t i = 0; i < n; ++i) {
          sorted.push_back(key_of(base + i * layout.size, layout.key_bytes));
        }
        EXPECT_EQ(sorted, expected);
        EXPECT_EQ(records_of(base, n, layout.size), before);
      }
    }
  }
}

}  // namespace
