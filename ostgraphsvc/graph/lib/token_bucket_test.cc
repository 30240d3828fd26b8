#include "graph/token_bucket.h"

#include <gtest/gtest.h>

#include "graph/timestamp.h"

namespace {

TEST(TokenBucketTest, AssignNormalisesRateAndCapacity) {
  struct Case {
    uint32_t rate;
    uint32_t capacity;
    uint32_t token_scale;
    uint32_t tokens_per_tick;
    uint32_t ticks_until_full;
  } cases[] = {
      {10, 20, 214748364, 2147483, 2001},
      // One token per millisecond fills a one-token bucket every tick.
      {1000, 1, 0xFFFFFFFF, 0xFFFFFFFF, 1},
      // The capacity is raised to 5, one tick's worth.
      {5000, 2, 858993459, 4294967295, 1},
      // Capacity 0: no rate, unlimited capacity.
      {77, 0, 1, 0, 0xFFFFFFFF},
      {0, 0, 1, 0, 0xFFFFFFFF},
      // A rate too small to earn one unit per tick still earns one.
      {1, 0xFFFFFFFF, 1, 1, 0xFFFFFFFF},
      // The largest rate: capacity raised to ceil(rate / 1000).
      {0xFFFFFFFF, 1, 999, 4290672327, 2},
  };
  for (const Case& c : cases) {
    TokenBucket bucket;
    bucket.set_level(1234);
    bucket.set_last_tick(99);
    bucket.assign(c.rate, c.capacity);
    SCOPED_TRACE(testing::Message() << "assign(" << c.rate << ", " << c.capacity << ")");
    EXPECT_EQ(bucket.token_scale(), c.token_scale);
    EXPECT_EQ(bucket.tokens_per_tick(), c.tokens_per_tick);
    EXPECT_EQ(bucket.ticks_until_full(), c.ticks_until_full);
    // Starting the bucket is the user's job.
    EXPECT_EQ(bucket.level(), 1234u);
    EXPECT_EQ(bucket.last_tick(), 99u);
  }
}

// 10 tokens per second, 20 tokens: 2147483 units per tick, full after 2001.
class RefillTest : public testing::Test {
 protected:
  void SetUp() override {
    bucket_.assign(10, 20);
    bucket_.set_empty();
    bucket_.set_last_tick(1000);
  }
  TokenBucket bucket_;
};

TEST_F(RefillTest, ClockWentBackAddsNothing) {
  bucket_.set_level(500);
  bucket_.refill(999);
  EXPECT_EQ(bucket_.level(), 500u);
  EXPECT_EQ(bucket_.last_tick(), 999u);
  // Time counts from the new tick.
  bucket_.refill(1001);
  EXPECT_EQ(bucket_.level(), 500u + 2 * 2147483);
}

TEST_F(RefillTest, PauseOfTicksUntilFullFills) {
  bucket_.refill(1000 + 2000);
  EXPECT_EQ(bucket_.level(), 2000u * 2147483);
  bucket_.set_empty();
  bucket_.refill(3000 + 2001);
  EXPECT_EQ(bucket_.level(), TokenBucket::kFull);
  EXPECT_EQ(bucket_.last_tick(), 5001u);
}

TEST_F(RefillTest, PartialRefillSaturates) {
  bucket_.refill(1003);
  EXPECT_EQ(bucket_.level(), 3u * 2147483);
  EXPECT_EQ(bucket_.last_tick(), 1003u);
  bucket_.set_level(0xFFFFFFFF - 2147483 + 1);
  bucket_.refill(1004);
  EXPECT_EQ(bucket_.level(), TokenBucket::kFull);
  // No tick elapsed: nothing changes.
  bucket_.set_level(7);
  bucket_.refill(1004);
  EXPECT_EQ(bucket_.level(), 7u);
}

TEST_F(RefillTest, TakesTokensAndWaitsForTheNext) {
  // One token is 214748364 units: 100 ticks of 2147483 fall 64 units short.
  EXPECT_FALSE(bucket_.contains());
  EXPECT_EQ(bucket_.time_until_contains(), 101u);
  bucket_.refill(1100);
  EXPECT_FALSE(bucket_.remove_if());
  EXPECT_EQ(bucket_.time_until_contains(), 1u);
  bucket_.refill(1101);
  EXPECT_EQ(bucket_.time_until_contains(), 0u);
  EXPECT_TRUE(bucket_.remove_if());
  EXPECT_EQ(bucket_.level(), 101u * 2147483 - 214748364);
  EXPECT_FALSE(bucket_.remove_if());

  bucket_.set_full();
  ASSERT_TRUE(bucket_.contains());
  bucket_.remove();
  EXPECT_EQ(bucket_.level(), TokenBucket::kFull - 214748364);
}

TEST(TokenBucketTest, WithoutRateNeverRefills) {
  TokenBucket bucket;
  bucket.assign(5, 0);
  bucket.set_empty();
  EXPECT_EQ(bucket.time_until_contains(), 0xFFFFFFFFu);
  bucket.set_full();
  EXPECT_EQ(bucket.time_until_contains(), 0u);
}

timespec g_fake_now;

void read_fake_clock(timespec* now) { *now = g_fake_now; }

class FakeClockTest : public testing::Test {
 protected:
  void TearDown() override { set_system_time_source(nullptr); }
};

TEST_F(FakeClockTest, RefillReadsTheFrameworkClockInTruncatedMilliseconds) {
  // 1000000000123 ms since 1970, truncated to 32 bits.
  g_fake_now = {1000000000, 123456789};
  set_system_time_source(read_fake_clock);
  const uint32_t now = static_cast<uint32_t>(1000000000123ull);

  TokenBucket bucket;
  bucket.assign(10, 20);
  bucket.set_empty();
  bucket.set_last_tick(now - 5);
  bucket.refill();
  EXPECT_EQ(bucket.last_tick(), now);
  EXPECT_EQ(bucket.level(), 5u * 2147483);
}

}  // namespace
