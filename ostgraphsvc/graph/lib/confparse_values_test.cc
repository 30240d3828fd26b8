#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "graph/confparse.h"
#include "graph/error_handler.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Lines;
using graph_testing::Std;

// A context that records what the parsers report.
class ConfparseValuesTest : public ::testing::Test {
 protected:
  ConfparseValuesTest() : context_(nullptr, &errh_) {}
  // The one message reported since the last call, or "" when none was.
  std::string TakeMessage() {
    std::string message = errh_.lines.empty() ? "" : errh_.lines.front();
    EXPECT_LE(errh_.lines.size(), 1u) << message;
    errh_.lines.clear();
    return message;
  }
  Lines errh_;
  ParseContext context_;
};

TEST_F(ConfparseValuesTest, Int32StatusValueAndMessage) {
  struct Case {
    const char* text;
    int base;
    int status;
    int32_t value;
    const char* message;
  };
  const Case cases[] = {
      {"0x7fff", 0, cp_ok, 32767, ""},
      {"0X1F", 0, cp_ok, 31, ""},
      {"010", 0, cp_ok, 8, ""},
      {"0b101", 0, cp_ok, 5, ""},
      {"0B11", 0, cp_ok, 3, ""},
      {"+5", 0, cp_ok, 5, ""},
      {"-0", 0, cp_ok, 0, ""},
      {"1_000", 0, cp_ok, 1000, ""},
      {"2147483647", 0, cp_ok, INT32_MAX, ""},
      {"-2147483648", 0, cp_ok, INT32_MIN, ""},
      {"2147483648", 0, cp_range, 0, "<3>out of range, bound 2147483647"},
      {"-2147483649", 0, cp_range, 0, "<3>out of range, bound -2147483648"},
      {"0x80000000", 0, cp_range, 0, "<3>out of range, bound 2147483647"},
      {"99999999999999999999999", 0, cp_range, 0, "<3>out of range, bound 2147483647"},
      {"-99999999999999999999", 0, cp_range, 0, "<3>out of range, bound -2147483648"},
      {"0x", 0, cp_invalid, 0, "<3>invalid number"},
      {"0xg", 0, cp_invalid, 0, "<3>invalid number"},
      {"0x_1", 0, cp_invalid, 0, "<3>invalid number"},
      {"0b2", 0, cp_invalid, 0, "<3>invalid number"},
      {"09", 0, cp_invalid, 0, "<3>invalid number"},
      {"1__0", 0, cp_invalid, 0, "<3>invalid number"},
      {"1_", 0, cp_invalid, 0, "<3>invalid number"},
      {"_1", 0, cp_invalid, 0, "<3>invalid number"},
      {"", 0, cp_invalid, 0, "<3>invalid number"},
      {" 1", 0, cp_invalid, 0, "<3>invalid number"},
      {"1 ", 0, cp_invalid, 0, "<3>invalid number"},
      {"--1", 0, cp_invalid, 0, "<3>invalid number"},
      // A given base: no octal or binary prefix, but 16 still takes "0x".
      {"010", 10, cp_ok, 10, ""},
      {"0x10", 10, cp_invalid, 0, "<3>invalid number"},
      {"0x10", 16, cp_ok, 16, ""},
      {"-Ff", 16, cp_ok, -255, ""},
      {"zz", 36, cp_ok, 1295, ""},
      {"102", 2, cp_invalid, 0, "<3>invalid number"},
      {"1", 1, cp_invalid, 0, "<3>invalid number"},
      {"1", 37, cp_invalid, 0, "<3>invalid number"},
  };
  for (const Case& c : cases) {
    int status = -1;
    int32_t value = 77;
    bool ok = cp_parse_int32(&status, String(c.text), &value, context_, c.base);
    EXPECT_EQ(ok, c.status == cp_ok) << c.text;
    EXPECT_EQ(status, c.status) << c.text;
    EXPECT_EQ(value, ok ? c.value : 77) << c.text;
    EXPECT_EQ(TakeMessage(), c.message) << c.text;
  }
}

TEST_F(ConfparseValuesTest, Uint32RefusesSignsAndReportsTheUnsignedBound) {
  struct Case {
    const char* text;
    int status;
    uint32_t value;
    const char* message;
  };
  const Case cases[] = {
      {"4_294_967_295", cp_ok, UINT32_MAX, ""},
      {"0xFFFFFFFF", cp_ok, UINT32_MAX, ""},
      {"+7", cp_ok, 7, ""},
      {"0", cp_ok, 0, ""},
      {"-1", cp_invalid, 0, "<3>RATE: invalid number"},
      {"4294967296", cp_range, 0, "<3>RATE: out of range, bound 4294967295"},
      {"0xffffffff0", cp_range, 0, "<3>RATE: out of range, bound 4294967295"},
  };
  context_.keyword = "RATE";
  for (const Case& c : cases) {
    context_.read_status = true;
    int status = -1;
    uint32_t value = 77;
    bool ok = cp_parse_uint32(&status, String(c.text), &value, context_);
    EXPECT_EQ(ok, c.status == cp_ok) << c.text;
    EXPECT_EQ(status, c.status) << c.text;
    EXPECT_EQ(value, ok ? c.value : 77u) << c.text;
    EXPECT_EQ(TakeMessage(), c.message) << c.text;
    // A reported error tells Args not to add a message of its own.
    EXPECT_EQ(context_.read_status, ok) << c.text;
  }
}

TEST(ConfparseIntegerTest, CoreSaturatesEverySizeToItsBound) {
  struct Case {
    const char* text;
    int size;
    bool is_signed;
    int status;
    uint64_t value;  // the low `size` bytes
    int base;        // settled
  };
  const Case cases[] = {
      {"127", 1, true, cp_ok, 0x7F, 10},
      {"128", 1, true, cp_range, 0x7F, 10},
      {"-128", 1, true, cp_ok, 0x80, 10},
      {"-129", 1, true, cp_range, 0x80, 10},
      {"255", 1, false, cp_ok, 0xFF, 10},
      {"0x100", 1, false, cp_range, 0xFF, 16},
      {"119304647", 4, false, cp_ok, 119304647, 10},
      {"0b1111", 4, false, cp_ok, 15, 2},
      {"017", 4, false, cp_ok, 15, 8},
      {"9223372036854775807", 8, true, cp_ok, INT64_MAX, 10},
      {"9223372036854775808", 8, true, cp_range, INT64_MAX, 10},
      {"-9223372036854775808", 8, true, cp_ok, 0x8000000000000000, 10},
      {"-9223372036854775809", 8, true, cp_range, 0x8000000000000000, 10},
      {"-1", 8, true, cp_ok, UINT64_MAX, 10},
      {"18446744073709551615", 8, false, cp_ok, UINT64_MAX, 10},
      {"18446744073709551616", 8, false, cp_range, UINT64_MAX, 10},
      {"0xffff_ffff_ffff_fffe", 8, false, cp_ok, 0xfffffffffffffffe, 16},
      {"0x1_0000_0000_0000_0000", 8, false, cp_range, UINT64_MAX, 16},
      {"3w5e11264sgsf", 8, false, cp_ok, UINT64_MAX, 36},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    IntegerParser parser;
    parser.base = c.base == 36 ? 36 : 0;
    uint32_t limbs[2] = {0xDEAD, 0xBEEF};
    int nlimbs = 0;
    const char* end = cp_parse_integer(parser, text.data(), text.data() + text.size(), c.is_signed,
                                       c.size, limbs, &nlimbs);
    EXPECT_EQ(end, text.data() + text.size()) << c.text;
    EXPECT_EQ(parser.status, c.status) << c.text;
    EXPECT_EQ(parser.base, c.base) << c.text;
    ASSERT_EQ(nlimbs, c.size == 8 ? 2 : 1) << c.text;
    uint64_t value = nlimbs == 2 ? uint64_t{limbs[1]} << 32 | limbs[0] : limbs[0];
    if (c.size < 8) value &= (uint64_t{1} << (8 * c.size)) - 1;
    EXPECT_EQ(value, c.value) << c.text;
  }

  // The end of the number leaves trailing underscores and other text alone.
  std::string text = "12_3_x";
  int base = 0;
  EXPECT_EQ(cp_integer_span(text.data(), text.data() + text.size(), false, &base), text.data() + 4);
  EXPECT_EQ(base, 10);
  base = 0;
  EXPECT_EQ(cp_integer_span(text.data(), text.data(), false, &base), text.data());
}

TEST(ConfparseIntegerTest, Uint64SaturatesAndStillSucceeds) {
  int status = -1;
  uint64_t value = 0;
  EXPECT_TRUE(cp_parse_uint64(&status, String("18446744073709551616"), &value));
  EXPECT_EQ(status, cp_range);
  EXPECT_EQ(value, UINT64_MAX);
  EXPECT_TRUE(cp_parse_uint64(&status, String("0x10"), &value));
  EXPECT_EQ(status, cp_ok);
  EXPECT_EQ(value, 16u);

  ParseContext::blank.read_status = true;
  EXPECT_FALSE(cp_parse_uint64(&status, String("-1"), &value));
  EXPECT_EQ(status, cp_invalid);
  EXPECT_EQ(value, 16u);
  EXPECT_FALSE(ParseContext::blank.read_status);
}

TEST(ConfparseBoolTest, ExactWordsOnly) {
  for (const char* text : {"0", "n", "f", "no", "false"}) {
    bool value = true;
    EXPECT_TRUE(cp_parse_bool(String(text), &value)) << text;
    EXPECT_FALSE(value) << text;
  }
  for (const char* text : {"1", "y", "t", "yes", "true"}) {
    bool value = false;
    EXPECT_TRUE(cp_parse_bool(String(text), &value)) << text;
    EXPECT_TRUE(value) << text;
  }
  for (const char* text : {"TRUE", "on", "", "yes ", "2", "False"}) {
    bool value = true;
    EXPECT_FALSE(cp_parse_bool(String(text), &value)) << text;
    EXPECT_TRUE(value) << text;
  }
}

TEST(ConfparseDecimalTest, IntegerAndBinaryFractionParts) {
  struct Case {
    const char* text;
    bool is_signed;
    int power;
    int consumed;
    int status;
    uint64_t integer;
    uint32_t fraction;
  };
  const Case cases[] = {
      {"1.5", false, 0, 3, cp_ok, 1, 0x80000000},
      {"0.1", false, 0, 3, cp_ok, 0, 0x1999999A},
      {".5", false, 0, 2, cp_ok, 0, 0x80000000},
      {"1.", false, 0, 2, cp_ok, 1, 0},
      {"1_000.25", false, 0, 8, cp_ok, 1000, 0x40000000},
      {"1.5", false, 1, 3, cp_ok, 15, 0},
      {"15", false, -1, 2, cp_ok, 1, 0x80000000},
      {"1e+2", false, 0, 4, cp_ok, 100, 0},
      {"25e-1", false, 0, 5, cp_ok, 2, 0x80000000},
      {"1e", false, 0, 1, cp_ok, 1, 0},
      {"1e+", false, 0, 1, cp_ok, 1, 0},
      {"1_", false, 0, 1, cp_ok, 1, 0},
      {"1_e5", false, 0, 1, cp_ok, 1, 0},
      {"1.2.3", false, 0, 3, cp_ok, 1, 0x33333333},
      {"0.99999999999999999", false, 0, 19, cp_ok, 1, 0},
      {"0.00000000001", false, 0, 13, cp_ok, 0, 0},
      {"1e-99999999999", false, 0, 14, cp_ok, 0, 0},
      {"0e99999999999", false, 0, 13, cp_ok, 0, 0},
      {"1e99999999999", false, 0, 13, cp_range, UINT64_MAX, 0},
      {"18446744073709551615", false, 0, 20, cp_ok, UINT64_MAX, 0},
      {"18446744073709551616", false, 0, 20, cp_range, UINT64_MAX, 0},
      {"18446744073709551615.99999999999", false, 0, 32, cp_range, UINT64_MAX, 0},
      {"-1.25", true, 0, 5, cp_ok, 0xFFFFFFFFFFFFFFFE, 0xC0000000},
      {"-2", true, 0, 2, cp_ok, 0xFFFFFFFFFFFFFFFE, 0},
      {"-9223372036854775808", true, 0, 20, cp_ok, 0x8000000000000000, 0},
      {"-9223372036854775808.5", true, 0, 22, cp_range, 0x8000000000000000, 0},
      {"9223372036854775808", true, 0, 19, cp_range, 0x7FFFFFFFFFFFFFFF, 0},
      {"-1", false, 0, 0, cp_invalid, 0, 0},
      {".", false, 0, 0, cp_invalid, 0, 0},
      {"._5", false, 0, 0, cp_invalid, 0, 0},
      {"e5", false, 0, 0, cp_invalid, 0, 0},
      {"", false, 0, 0, cp_invalid, 0, 0},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    uint64_t integer = 7;
    uint32_t fraction = 7;
    int status = -1;
    const char* end = cp_parse_decimal_parts(text.data(), text.data() + text.size(), c.is_signed,
                                             c.power, &integer, &fraction, &status);
    EXPECT_EQ(end - text.data(), c.consumed) << c.text;
    EXPECT_EQ(status, c.status) << c.text;
    EXPECT_EQ(integer, c.integer) << c.text;
    EXPECT_EQ(fraction, c.fraction) << c.text;
  }
}

TEST(ConfparseDecimalTest, MultiplierRoundsHalfUpAndSaturates) {
  struct Case {
    uint64_t integer;
    uint32_t fraction;
    uint32_t multiplier;
    uint32_t value;
    int status;
  };
  const Case cases[] = {
      {2, 0x80000000, 1, 3, cp_ok},
      {2, 0x7FFFFFFF, 1, 2, cp_ok},
      {1, 0x80000000, 125, 188, cp_ok},
      {UINT32_MAX, 0, 1, UINT32_MAX, cp_ok},
      {UINT32_MAX, 0x80000000, 1, UINT32_MAX, cp_range},
      {uint64_t{1} << 32, 0, 1, UINT32_MAX, cp_range},
      {uint64_t{1} << 40, 0, 0, 0, cp_ok},
      {65536, 0, 65536, UINT32_MAX, cp_range},
  };
  for (const Case& c : cases) {
    int status = cp_ok;
    EXPECT_EQ(cp_apply_multiplier(c.integer, c.fraction, c.multiplier, &status), c.value)
        << c.integer << " x " << c.multiplier;
    EXPECT_EQ(status, c.status) << c.integer << " x " << c.multiplier;
  }
}

TEST(ConfparseDecimalTest, UnitsAndPrefixesEndTheText) {
  struct Case {
    const char* text;
    const CpUnit* units;
    const CpUnitPrefix* prefixes;
    int number_length;
    int power;
    uint32_t multiplier;
  };
  const Case cases[] = {
      {"10 kbps", cp_bandwidth_units, cp_bandwidth_prefixes, 2, 0, 125},
      {"10baud", cp_bandwidth_units, cp_bandwidth_prefixes, 2, -3, 125},
      {"1 GB/s", cp_bandwidth_units, cp_bandwidth_prefixes, 1, 9, 1},
      {"Mbps", cp_bandwidth_units, cp_bandwidth_prefixes, 0, 3, 125},
      {"100", cp_bandwidth_units, cp_bandwidth_prefixes, 3, 0, 1},
      {"2min", cp_seconds_units, cp_seconds_prefixes, 1, 1, 6},
      {"2msec", cp_seconds_units, cp_seconds_prefixes, 1, -3, 1},
      {"2ms", cp_seconds_units, cp_seconds_prefixes, 1, -3, 1},
      {"2m", cp_seconds_units, cp_seconds_prefixes, 1, 1, 6},
      {"3 hr", cp_seconds_units, cp_seconds_prefixes, 1, 2, 36},
      {"1m s", cp_seconds_units, cp_seconds_prefixes, 2, 0, 1},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    int power = 99;
    uint32_t multiplier = 99;
    const char* end = cp_parse_unit(c.units, c.prefixes, text.data(), text.data() + text.size(),
                                    &power, &multiplier);
    EXPECT_EQ(end - text.data(), c.number_length) << c.text;
    EXPECT_EQ(power, c.power) << c.text;
    EXPECT_EQ(multiplier, c.multiplier) << c.text;
  }
}

TEST_F(ConfparseValuesTest, Bandwidth) {
  struct Case {
    const char* text;
    bool ok;
    int status;
    uint32_t value;
  };
  const Case cases[] = {
      {"10Mbps", true, cp_ok, 1250000},
      {"10 MBps", true, cp_ok, 10000000},
      {"1.5kbps", true, cp_ok, 188},
      {"100", true, cp_no_unit, 100},
      {"1.5", true, cp_no_unit, 2},
      {"0", true, cp_ok, 0},
      {"0.4", true, cp_ok, 0},
      {"8 baud", true, cp_ok, 1},
      {"8b/s", true, cp_ok, 1},
      {"1KBps", true, cp_ok, 1000},
      {"1e3B/s", true, cp_ok, 1000},
      {"4.294967295GBps", true, cp_ok, UINT32_MAX},
      {"34359738360bps", true, cp_ok, UINT32_MAX},
      {"Mbps", false, cp_invalid, 77},
      {"", false, cp_invalid, 77},
      {"-1Bps", false, cp_invalid, 77},
      {"1 xbps", false, cp_invalid, 77},
      {"1.5.2Bps", false, cp_invalid, 77},
      {"1Mbps ", false, cp_invalid, 77},
      // 34359738367 bits are 4294967295.875 bytes, which round past 32 bits.
      {"34359738367bps", false, cp_range, UINT32_MAX},
      {"5GBps", false, cp_range, UINT32_MAX},
      {"99999999999999999999999", false, cp_range, UINT32_MAX},
  };
  for (const Case& c : cases) {
    int status = -1;
    uint32_t value = 77;
    EXPECT_EQ(cp_parse_bandwidth(&status, String(c.text), &value, context_), c.ok) << c.text;
    EXPECT_EQ(status, c.status) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
    EXPECT_EQ(TakeMessage(), c.status == cp_range ? "<3>out of range" : "") << c.text;
  }
}

TEST(ConfparseSecondsTest, FractionDigitsScaleAndRound) {
  struct Case {
    int digits;
    const char* text;
    bool ok;
    int status;
    uint32_t value;
  };
  const Case cases[] = {
      {3, "1.5", true, cp_ok, 1500},
      {3, "2min", true, cp_ok, 120000},
      {3, "250ms", true, cp_ok, 250},
      {3, "1e-3", true, cp_ok, 1},
      {3, "1.5 sec", true, cp_ok, 1500},
      {3, "1m", true, cp_ok, 60000},
      {3, "1h", true, cp_ok, 3600000},
      {3, "2hr", true, cp_ok, 7200000},
      {3, "1d", true, cp_ok, 86400000},
      {3, "1day", true, cp_ok, 86400000},
      {3, "500us", true, cp_ok, 1},
      {3, "499us", true, cp_ok, 0},
      {3, "0.0005", true, cp_ok, 1},
      {3, "4294967.295", true, cp_ok, UINT32_MAX},
      {3, "4294967.296", true, cp_range, UINT32_MAX},
      {3, "50d", true, cp_range, UINT32_MAX},
      {3, "", false, cp_invalid, 77},
      {3, "s", false, cp_invalid, 77},
      {3, "ms", false, cp_invalid, 77},
      {3, "1x", false, cp_invalid, 77},
      {3, "1e", false, cp_invalid, 77},
      {3, "-1", false, cp_invalid, 77},
      {0, "2.5", true, cp_ok, 3},
      {0, "2.4999", true, cp_ok, 2},
      {0, "1.5min", true, cp_ok, 90},
      {0, "1ms", true, cp_ok, 0},
      {6, "1500ns", true, cp_ok, 2},
      {6, "1ns", true, cp_ok, 0},
  };
  for (const Case& c : cases) {
    int status = -1;
    uint32_t value = 77;
    EXPECT_EQ(cp_parse_seconds(c.digits, &status, String(c.text), &value), c.ok) << c.text;
    EXPECT_EQ(status, c.status) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

TEST(ConfparseToStringTest, BandwidthAndDecimalFixed) {
  struct Rate {
    uint32_t bytes_per_second;
    const char* text;
  };
  const Rate rates[] = {
      {125, "1kbps"},
      {1250000, "10Mbps"},
      {125000000, "1Gbps"},
      {0, "0kbps"},
      {187, "1.496kbps"},
      {124999, "999.992kbps"},
      {125000, "1Mbps"},
      {536870911, "4.294967288Gbps"},
      {536870912, "536.870912MBps"},
      {UINT32_MAX, "4294.967295MBps"},
  };
  for (const Rate& r : rates) {
    EXPECT_EQ(Std(cp_bandwidth_to_string(r.bytes_per_second)), r.text) << r.bytes_per_second;
  }

  struct Fixed {
    uint32_t value;
    int digits;
    const char* text;
  };
  const Fixed fixed[] = {
      {1500, 3, "1.5"},          {1000, 3, "1"},
      {5, 3, "0.005"},           {0, 3, "0"},
      {123, 0, "123"},           {UINT32_MAX, 9, "4.294967295"},
      {1, 12, "0.000000000001"}, {10, 2, "0.1"},
  };
  for (const Fixed& f : fixed) {
    EXPECT_EQ(Std(cp_decimal_fixed_to_string(f.value, f.digits)), f.text) << f.value;
  }
}

TEST(ConfparseToStringTest, FixedPointPrintsTheShortestDigitsThatReadBack) {
  struct Case {
    uint32_t value;
    int bits;
    const char* text;
  };
  const Case cases[] = {
      {0, 10, "0"},
      {1024, 10, "1"},
      {512, 10, "0.5"},
      {1, 10, "0.001"},
      {1536, 10, "1.5"},
      {256, 10, "0.25"},
      {1023, 10, "0.999"},
      {341, 10, "0.333"},
      {102, 10, "0.1"},
      {7, 0, "7"},
      {0x80000000, 32, "0.5"},
      {1, 32, "0.0000000002"},
      {UINT32_MAX, 32, "0.9999999998"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Std(cp_fixed_point_to_string(c.value, c.bits)), c.text) << c.value;
  }

  // Every value with b = 10 reads back exactly, and one digit fewer would not.
  for (uint32_t value = 0; value < 4096; ++value) {
    std::string text = Std(cp_fixed_point_to_string(value, 10));
    double parsed = std::strtod(text.c_str(), nullptr);
    ASSERT_EQ(std::lround(parsed * 1024), value) << text;
    size_t point = text.find('.');
    if (point == std::string::npos || text.size() - point < 3) continue;
    std::string shorter = text.substr(0, text.size() - 1);
    for (char last = '0'; last <= '9'; ++last) {
      double candidate =
          std::strtod((shorter.substr(0, shorter.size() - 1) + last).c_str(), nullptr);
      EXPECT_NE(std::lround(candidate * 1024), value) << text << " vs " << shorter << last;
    }
  }
}

class ConfparseFilenameTest : public ::testing::Test {
 protected:
  void TearDown() override { set_config_directory(nullptr); }
};

TEST_F(ConfparseFilenameTest, JoinsRelativeNamesToTheConfigDirectory) {
  struct Case {
    const char* directory;
    const char* text;
    bool ok;
    const char* name;
    const char* directory_after;
  };
  const Case cases[] = {
      {"/w", "conf.json", true, "/w/conf.json", "/w/"},
      {"/w", "sub//x.json", true, "/w/sub/x.json", "/w/"},
      {"/w", "/etc/x.json", true, "/etc/x.json", "/w"},
      {"/w", "//etc//x.json", true, "/etc/x.json", "/w"},
      {"/w/", "x", true, "/w/x", "/w/"},
      {"/w//", "x", true, "/w/x", "/w//"},
      {"/w", "\"my file.json\"", true, "/w/my file.json", "/w/"},
      {"/w", "a\\b", true, "/w/a\\b", "/w/"},
      {"", "sub//x.json", true, "sub/x.json", ""},
      {nullptr, "x", true, "x", ""},
      {"/w", "", false, "", "/w"},
      {"/w", "\"\"", false, "", "/w"},
      {"/w", "a b", false, "", "/w"},
      {"/w", "\"a\\000b\"", false, "", "/w"},  // an escaped NUL would cut the path
  };
  for (const Case& c : cases) {
    set_config_directory(c.directory);
    String name("untouched");
    EXPECT_EQ(cp_parse_filename(String(c.text), &name), c.ok) << c.text;
    EXPECT_EQ(Std(name), c.ok ? c.name : "untouched") << c.text;
    EXPECT_EQ(Std(config_directory()), c.directory_after) << c.text;
  }
}

TEST_F(ConfparseFilenameTest, DirectoryIsCopiedAndKeepsItsSlash) {
  char buffer[] = "/work";
  set_config_directory(buffer);
  buffer[1] = 'X';
  String name;
  ASSERT_TRUE(cp_parse_filename(String("a"), &name));
  ASSERT_TRUE(cp_parse_filename(String("b"), &name));
  EXPECT_EQ(Std(name), "/work/b");
  EXPECT_EQ(Std(config_directory()), "/work/");
}

}  // namespace
