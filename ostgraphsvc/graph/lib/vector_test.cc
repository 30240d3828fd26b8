#include "graph/vector.h"

#include <gtest/gtest.h>

#include <vector>

#include "graph/string.h"

namespace {

TEST(VectorTest, GrowthDoublesFromFourAndReserveIsExact) {
  Vector<int> v;
  EXPECT_EQ(v.data(), nullptr);
  std::vector<int> capacities;
  for (int i = 0; i < 9; ++i) {
    v.push_back(i);
    capacities.push_back(v.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int>{4, 4, 4, 4, 8, 8, 8, 8, 16}));
  for (int i = 0; i < 9; ++i) EXPECT_EQ(v[i], i);

  Vector<int> r;
  r.reserve(3);
  EXPECT_EQ(r.capacity(), 3);
  for (int i = 0; i < 4; ++i) r.push_back(i);
  EXPECT_EQ(r.capacity(), 6);
  r.reserve(2);  // never shrinks
  EXPECT_EQ(r.capacity(), 6);
  r.reserve_and_push(4, &r[0]);  // a want not above the size grows only once the array is full
  EXPECT_EQ(r.capacity(), 6);
  r.reserve_and_push(5, &r[1]);
  r.reserve_and_push(6, &r[2]);
  EXPECT_EQ(r.capacity(), 12);
  EXPECT_EQ(r.size(), 7);
  EXPECT_EQ(r[6], 2);
}

TEST(VectorTest, OwnElementsSurviveTheArrayMoving) {
  Vector<String> v;
  for (const char* s : {"zero", "one", "two", "three"}) v.push_back(String(s));
  ASSERT_EQ(v.size(), v.capacity());
  v.push_back(v[0]);  // full: the array moves under the value
  EXPECT_EQ(v.size(), 5);
  EXPECT_TRUE(v[4] == "zero");

  Vector<String> w;
  for (const char* s : {"a", "b", "c", "d"}) w.push_back(String(s));
  auto at = w.insert(w.begin(), w[3]);  // full, at the front
  EXPECT_EQ(at, w.begin());
  const char* expected[] = {"d", "a", "b", "c", "d"};
  ASSERT_EQ(w.size(), 5);
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(w[i] == expected[i]) << i;

  Vector<int> ints;
  for (int i = 0; i < 4; ++i) ints.push_back(i * 10);
  ints.insert(ints.begin() + 1, ints[2]);
  ints.insert(ints.end(), 99);  // at the end: a push
  EXPECT_EQ(std::vector<int>(ints.begin(), ints.end()), (std::vector<int>{0, 20, 10, 20, 30, 99}));

  Vector<String> grow;
  grow.push_back(String("fill"));
  grow.resize(10, grow[0]);  // the fill value moves with the array
  EXPECT_EQ(grow.capacity(), 10);
  for (const String& s : grow) EXPECT_TRUE(s == "fill");
}

TEST(VectorTest, ResizeDestroysAndAssignmentSharesMemos) {
  String shared("shared text");
  Vector<String> v;
  v.resize(3, shared);
  EXPECT_EQ(shared.memo()->refcount, 4u);
  v.resize(1);
  EXPECT_EQ(shared.memo()->refcount, 2u);

  Vector<String> source;
  for (int i = 0; i < 10; ++i) source.push_back(String("text ") + String(i));
  Vector<String> target;
  target.reserve(16);
  target.push_back(String("old"));
  target = source;
  EXPECT_EQ(target.capacity(), 16);
  ASSERT_EQ(target.size(), 10);
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(target[i].memo(), source[i].memo());
    EXPECT_EQ(source[i].memo()->refcount, 2u);
  }
  const String* before = target.data();
  target = target;  // NOLINT: self-assignment changes nothing
  EXPECT_EQ(target.data(), before);
  EXPECT_EQ(target.size(), 10);
  EXPECT_EQ(source[3].memo()->refcount, 2u);
}

}  // namespace
