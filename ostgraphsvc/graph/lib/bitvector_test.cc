#include "graph/bitvector.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

// The set bits, in order; also proves every other bit reads as zero.
std::vector<int> set_bits(const BitVector& v) {
  std::vector<int> bits;
  for (int i = 0; i < v.size(); ++i) {
    if (v[i]) {
      bits.push_back(i);
    }
  }
  return bits;
}

// Bits past the size in the last word must stay zero.
void expect_clean_tail(const BitVector& v) {
  if (v.size() % 32 == 0) {
    return;
  }
  const uint32_t last = v.words()[v.word_count() - 1];
  EXPECT_EQ(last >> (v.size() % 32), 0u) << "size " << v.size();
}

TEST(BitVectorTest, GrowthKeepsBitsAndZeroesNewOnes) {
  BitVector v(5);
  EXPECT_EQ(v.size(), 5);
  EXPECT_TRUE(v.zero());
  v.set(0, true);
  v.set(4, true);
  std::vector<int> expected = {0, 4};
  // Across the inline words, onto the heap and to a larger heap array.
  for (int n : {32, 33, 64, 65, 200}) {
    SCOPED_TRACE(n);
    v.resize(n);
    ASSERT_EQ(v.size(), n);
    EXPECT_EQ(v.word_count(), (n + 31) / 32);
    EXPECT_EQ(set_bits(v), expected);
    v.set(n - 1, true);
    expected.push_back(n - 1);
  }
  v.set(4, false);
  EXPECT_EQ(set_bits(v), (std::vector<int>{0, 31, 32, 63, 64, 199}));
}

TEST(BitVectorTest, ShrinkThenGrowSeesZeros) {
  struct Case {
    int large;
    int small;
    int regrown;
  } cases[] = {
      {64, 20, 64},    // inline words
      {200, 20, 64},   // heap kept, regrown within it
      {200, 40, 300},  // heap replaced
      {200, 0, 100},   // emptied
      {100, 65, 100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.large << " -> " << c.small << " -> " << c.regrown);
    BitVector v(c.large, true);
    v.resize(c.small);
    EXPECT_EQ(v.size(), c.small);
    expect_clean_tail(v);
    EXPECT_EQ(set_bits(v).size(), static_cast<size_t>(c.small));
    v.resize(c.regrown);
    std::vector<int> expected;
    for (int i = 0; i < c.small; ++i) {
      expected.push_back(i);
    }
    EXPECT_EQ(set_bits(v), expected);
    expect_clean_tail(v);
  }
}

TEST(BitVectorTest, AssignFillsAndKeepsTheTailClear) {
  BitVector v(10);
  v.set(3, true);
  for (int n : {0, 1, 31, 32, 33, 64, 65, 100, 70, 3}) {
    SCOPED_TRACE(n);
    v.assign(n, true);
    ASSERT_EQ(v.size(), n);
    EXPECT_EQ(set_bits(v).size(), static_cast<size_t>(n));
    expect_clean_tail(v);
    v.assign(n, false);
    EXPECT_TRUE(v.zero());
  }
  BitVector empty(0, true);
  EXPECT_EQ(empty.size(), 0);
  EXPECT_EQ(empty.word_count(), 0);
  EXPECT_TRUE(empty.zero());
}

TEST(BitVectorTest, WordOperations) {
  for (int n : {7, 64, 70}) {
    SCOPED_TRACE(n);
    BitVector a(n);
    BitVector b(n);
    a.set(0, true);
    a.set(5, true);
    b.set(5, true);
    b.set(n - 1, true);

    BitVector r = a;
    r |= b;
    EXPECT_EQ(set_bits(r), (std::vector<int>{0, 5, n - 1}));
    r = a;
    r &= b;
    EXPECT_EQ(set_bits(r), (std::vector<int>{5}));
    r = a;
    r ^= b;
    EXPECT_EQ(set_bits(r), (std::vector<int>{0, n - 1}));
    r = a;
    r -= b;
    EXPECT_EQ(set_bits(r), (std::vector<int>{0}));

    // Ones everywhere, combined with ones: the tail must stay clear.
    BitVector ones(n, true);
    r = ones;
    r ^= BitVector(n);
    r |= ones;
    expect_clean_tail(r);
    EXPECT_EQ(r, ones);
    r.clear();
    EXPECT_EQ(r.size(), n);
    EXPECT_TRUE(r.zero());
    EXPECT_EQ(r, BitVector(n));
  }
}

TEST(BitVectorTest, EqualityNeedsEqualSizeAndBits) {
  EXPECT_EQ(BitVector(40), BitVector(40, false));
  EXPECT_FALSE(BitVector(40) == BitVector(41));
  BitVector a(100);
  BitVector b(100);
  b.set(99, true);
  EXPECT_FALSE(a == b);
  a.set(99, true);
  EXPECT_EQ(a, b);
}

TEST(BitVectorTest, CopiesAreIndependent) {
  for (int n : {40, 130}) {
    SCOPED_TRACE(n);
    BitVector original(n);
    original.set(1, true);
    original.set(n - 1, true);

    BitVector copy(original);
    copy.set(1, false);
    EXPECT_TRUE(original[1]);
    EXPECT_NE(copy.words(), original.words());

    // Assignment over storage of every shape: empty, inline, small and large heap.
    for (int target : {0, 10, 100, 500}) {
      BitVector assigned(target, true);
      assigned = original;
      EXPECT_EQ(assigned, original);
      assigned.set(n - 1, false);
      EXPECT_TRUE(original[n - 1]);
    }

    BitVector moved(std::move(copy));
    EXPECT_EQ(set_bits(moved), (std::vector<int>{n - 1}));
    BitVector target(300, true);
    target = std::move(moved);
    EXPECT_EQ(set_bits(target), (std::vector<int>{n - 1}));
    target = target;
    EXPECT_EQ(set_bits(target), (std::vector<int>{n - 1}));
  }
}

}  // namespace
