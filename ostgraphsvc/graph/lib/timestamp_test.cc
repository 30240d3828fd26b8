#include "graph/timestamp.h"

#include <gtest/gtest.h>

#include "graph/string_builder.h"

namespace {

struct timespec g_fake_now;

void FakeClock(struct timespec* now) { *now = g_fake_now; }

TEST(TimestampTest, ReadsTheSystemClockToTheMillisecond) {
  set_system_time_source(FakeClock);
  struct Case {
    struct timespec system;
    int64_t nsec;
    const char* text;
  } cases[] = {
      {{1000000000, 123456789},
       1000000000123000000,
       "1000000000.123000"},  // 2001-09-09 01:46:40.123
      {{2147483648, 999999999}, 2147483648999000000, "2147483648.999000"},  // past 2038
      {{4102444800, 0}, 4102444800000000000, "4102444800.000000"},          // 2100
      {{0, 999999}, 0, "0.000000"},
  };
  for (const Case& c : cases) {
    g_fake_now = c.system;
    Timestamp t = Timestamp::now();
    EXPECT_EQ(t.nsec(), c.nsec);
    StringBuilder sb;
    sb.append_timestamp(t);
    EXPECT_EQ(std::string(sb.data(), static_cast<size_t>(sb.length())), c.text);
  }
  set_system_time_source(nullptr);
  EXPECT_GT(Timestamp::now().nsec(), 1700000000LL * Timestamp::kNsecPerSec);
}

}  // namespace
