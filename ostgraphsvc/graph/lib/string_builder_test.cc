#include "graph/string_builder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Std;

std::string Std(const StringBuilder& sb) {
  return std::string(sb.data(), static_cast<size_t>(sb.length()));
}

TEST(StringBuilderTest, GrowsThroughItsCapacitySteps) {
  StringBuilder sb;
  EXPECT_EQ(sb.capacity(), 0);
  std::vector<int> capacities;
  for (int i = 0; i < 1000; ++i) {
    sb.append('x');
    if (capacities.empty() || capacities.back() != sb.capacity())
      capacities.push_back(sb.capacity());
  }
  EXPECT_EQ(capacities, (std::vector<int>{116, 244, 500, 1012}));
  EXPECT_EQ(Std(sb), std::string(1000, 'x'));
  StringBuilder exact(10);
  EXPECT_EQ(exact.capacity(), 10);
  exact.append("0123456789", 10);
  EXPECT_EQ(exact.capacity(), 10);
  exact.append('!');
  EXPECT_EQ(exact.capacity(), 32);
}

TEST(StringBuilderTest, SelfAppendWhileGrowing) {
  StringBuilder sb(8);
  sb.append("abcdefgh", 8);
  sb.append(sb.data() + 2, 4);  // source inside the buffer that is replaced
  EXPECT_EQ(Std(sb), "abcdefghcdef");
  sb.append(sb.data(), sb.length());
  EXPECT_EQ(Std(sb), "abcdefghcdefabcdefghcdef");
}

TEST(StringBuilderTest, TakeStringHandsOverTheBufferWithoutCopying) {
  StringBuilder sb;
  sb.append("hello");
  const char* text = sb.data();
  int capacity = sb.capacity();
  String s = sb.take_string();
  EXPECT_EQ(s.data(), text);
  EXPECT_EQ(s.memo()->capacity, static_cast<uint32_t>(capacity));
  EXPECT_EQ(s.memo()->used, 5u);
  EXPECT_EQ(s.memo()->refcount, 1u);
  EXPECT_EQ(sb.length(), 0);
  EXPECT_EQ(sb.capacity(), 0);
  s.append(" world");  // extends the handed-over block in place
  EXPECT_EQ(s.data(), text);
  EXPECT_EQ(Std(s), "hello world");

  StringBuilder empty(50);
  String none = empty.take_string();
  EXPECT_TRUE(none.empty());
  EXPECT_EQ(none.memo(), nullptr);
  EXPECT_EQ(empty.capacity(), 50);
}

TEST(StringBuilderTest, NumbersInEachBase) {
  struct Case {
    uint64_t value;
    int base;
    bool upper;
    const char* text;
  } cases[] = {
      {255, 16, true, "FF"},
      {255, 16, false, "ff"},
      {255, 8, false, "377"},
      {0, 10, false, "0"},
      {0, 16, false, "0"},
      {18446744073709551615ull, 10, false, "18446744073709551615"},
      {18446744073709551615ull, 16, false, "ffffffffffffffff"},
      {18446744073709551615ull, 8, false, "1777777777777777777777"},
      {10, 10, false, "10"},
      {9999999999999999999ull, 10, false, "9999999999999999999"},
  };
  for (const Case& c : cases) {
    StringBuilder sb;
    EXPECT_TRUE(sb.append_number(c.value, c.base, c.upper));
    EXPECT_EQ(Std(sb), c.text);
  }
  StringBuilder sb;
  EXPECT_FALSE(sb.append_number(5, 7));
  EXPECT_EQ(sb.length(), 0);
}

TEST(StringBuilderTest, DecimalDigitsMatchTheLibraryEverywhere) {
  std::mt19937_64 rng(7);
  std::vector<uint64_t> values;
  for (uint64_t p = 1; p <= 10000000000000000000ull / 10; p *= 10) {
    values.insert(values.end(), {p - 1, p, p + 1, 10 * p - 1, 10 * p});
  }
  for (int shift = 0; shift < 64; ++shift) values.push_back(1ull << shift);
  for (int i = 0; i < 20000; ++i) values.push_back(rng() >> (rng() % 64));
  for (uint64_t v : values) {
    StringBuilder sb;
    sb.append_number(v);
    ASSERT_EQ(Std(sb), std::to_string(v));
  }
}

TEST(StringBuilderTest, PrintfIsBoundedAndFailuresLeaveTheText) {
  StringBuilder sb;
  sb.append("x=");
  sb.append_printf(20, "%d/%s", 42, "abc");
  EXPECT_EQ(Std(sb), "x=42/abc");
  sb.append_printf(3, "%s", "truncated");
  EXPECT_EQ(Std(sb), "x=42/abctru");
  wchar_t unencodable[] = {0x110000, 0};  // not a code point in any locale
  sb.append_printf(10, "%ls", unencodable);
  EXPECT_EQ(Std(sb), "x=42/abctru");
}

TEST(StringBuilderTest, Timestamps) {
  struct Case {
    int64_t nsec;
    const char* text;
  } cases[] = {
      {1500000000, "1.500000"},
      {1, "0.000000001"},
      {0, "0.000000"},
      {-1500000000, "-1.500000"},
      {1000000000123000000, "1000000000.123000"},
      {4102444800000000000, "4102444800.000000"},  // 2100: beyond 32-bit seconds
      {-9223372036854775807 - 1, "-9223372036.854775808"},
      {123456789, "0.123456789"},
  };
  for (const Case& c : cases) {
    StringBuilder sb;
    sb.append_timestamp(Timestamp::make_nsec(c.nsec));
    EXPECT_EQ(Std(sb), c.text);
  }
}

TEST(StringBuilderTest, Utf8) {
  struct Case {
    int code_point;
    bool ok;
    std::string bytes;
  } cases[] = {
      {0x41, true, "A"},
      {0x80, true, "\xC2\x80"},
      {0x7FF, true, "\xDF\xBF"},
      {0x800, true, "\xE0\xA0\x80"},
      {0x20AC, true, "\xE2\x82\xAC"},
      {0x1F600, true, "\xF0\x9F\x98\x80"},
      {0x10FFFF, true, "\xF4\x8F\xBF\xBF"},
      {0xD800, false, ""},
      {0xDFFF, false, ""},
      {0xFFFE, false, ""},
      {0xFFFF, false, ""},
      {0x110000, false, ""},
      {-1, false, ""},
  };
  for (const Case& c : cases) {
    StringBuilder sb;
    EXPECT_EQ(sb.append_utf8(c.code_point), c.ok) << c.code_point;
    EXPECT_EQ(Std(sb), c.bytes) << c.code_point;
  }
}

}  // namespace
