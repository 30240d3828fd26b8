#include "graph/integers.h"

#include <gtest/gtest.h>

#include <random>

namespace {

TEST(FirstBitFromMsbTest, CountsFromTheTop) {
  struct Case {
    uint32_t x;
    int position;
  } cases[] = {
      {0, 0},           {1, 32},         {2, 31},         {0x00010000, 16},
      {0x0000FFFF, 17}, {0x80000000, 1}, {0xFFFFFFFF, 1}, {0x40000001, 2},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(first_bit_from_msb(c.x), c.position) << std::hex << c.x;
  }
}

TEST(DivideU64ByU32Test, Table) {
  constexpr uint64_t kMax = ~uint64_t{0};
  struct Case {
    uint64_t dividend;
    uint32_t divisor;
    uint64_t quotient;
    uint32_t remainder;
  } cases[] = {
      {kMax, 1000, 18446744073709551ull, 615},
      {kMax, 1, kMax, 0},
      {kMax, 2, kMax >> 1, 1},
      {kMax, 3, 0x5555555555555555ull, 0},
      {kMax, 7, 2635249153387078802ull, 1},
      {kMax, 0x80000000, 0x1FFFFFFFFull, 0x7FFFFFFF},
      {kMax, 0xFFFFFFFF, 0x100000001ull, 0},
      {kMax, 0x10000, 0xFFFFFFFFFFFFull, 0xFFFF},
      {0, 1, 0, 0},
      {0, 0xFFFFFFFF, 0, 0},
      {1, 7, 0, 1},
      {6, 7, 0, 6},
      {0xFFFFFFFE, 0xFFFFFFFF, 0, 0xFFFFFFFE},
      {0x7FFFFFFF, 0x80000000, 0, 0x7FFFFFFF},
      {uint64_t{1} << 32, 1, uint64_t{1} << 32, 0},
      {uint64_t{1} << 32, 3, 1431655765, 1},
      {uint64_t{1} << 32, 0xFFFFFFFF, 1, 1},
      {uint64_t{1} << 32, 0x10000, 0x10000, 0},
      {uint64_t{1} << 63, 7, 1317624576693539401ull, 1},
      {uint64_t{1} << 63, 0x80000000, uint64_t{1} << 32, 0},
      {uint64_t{1} << 63, 0xFFFFFFFF, 0x80000000ull, 0x80000000},
      // High word equal to the divisor: the quotient needs both words.
      {0xFFFFFFFF00000000ull, 0xFFFFFFFF, 0x100000000ull, 0},
      {0x0000000700000006ull, 7, 0x100000000ull, 6},
  };
  for (const Case& c : cases) {
    const U64DivResult r = divide_u64_by_u32(c.dividend, c.divisor);
    EXPECT_EQ(r.quotient, c.quotient) << c.dividend << " / " << c.divisor;
    EXPECT_EQ(r.remainder, c.remainder) << c.dividend << " % " << c.divisor;
  }
}

TEST(DivideU64ByU32Test, ZeroDivisorIsDefined) {
  const U64DivResult r = divide_u64_by_u32(12345, 0);
  EXPECT_EQ(r.quotient, ~uint64_t{0});
  EXPECT_EQ(r.remainder, 0u);
}

// Random operands of every magnitude, so every normalising shift and both the
// one- and two-step paths are taken; the quotient corrections are hit hardest
// by remainders of 0 and divisor - 1.
TEST(DivideU64ByU32Test, MatchesNativeDivision) {
  std::mt19937_64 rng(20240521);
  for (int i = 0; i < 4000; ++i) {
    uint32_t divisor = static_cast<uint32_t>(rng()) >> (rng() % 32);
    if (divisor == 0) {
      divisor = 1;
    }
    const uint64_t dividend = rng() >> (rng() % 64);
    const U64DivResult r = divide_u64_by_u32(dividend, divisor);
    ASSERT_EQ(r.quotient, dividend / divisor) << dividend << " / " << divisor;
    ASSERT_EQ(r.remainder, dividend % divisor) << dividend << " % " << divisor;

    const uint64_t quotient = dividend / divisor;
    for (uint64_t rest : {uint64_t{0}, uint64_t{divisor} - 1}) {
      const uint64_t exact = quotient * divisor + rest;
      if (exact < quotient * divisor) {
        continue;  // wrapped
      }
      const U64DivResult e = divide_u64_by_u32(exact, divisor);
      ASSERT_EQ(e.quotient, quotient) << exact << " / " << divisor;
      ASSERT_EQ(e.remainder, rest) << exact << " % " << divisor;
    }
  }
}

}  // namespace
