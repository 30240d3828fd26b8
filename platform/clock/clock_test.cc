#include "platform/clock/clock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace {

TEST(TickTest, CountsMillisecondsForward) {
  uint64_t before = GetTickCount64();
  EXPECT_GT(before, 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  uint64_t after = GetTickCount64();
  // Milliseconds, not seconds or microseconds: a 50 ms sleep moves it by about 50.
  EXPECT_GE(after - before, 50u);
  EXPECT_LT(after - before, 5000u);
}

uint64_t Fixed() { return 42000; }

TEST(TickTest, SettableSourceReplacesAndRestoresTheBootClock) {
  set_tick_source(&Fixed);
  EXPECT_EQ(GetTickCount64(), 42000u);
  set_tick_source(nullptr);
  EXPECT_NE(GetTickCount64(), 42000u);
}

}  // namespace
