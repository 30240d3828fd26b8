#include <gtest/gtest.h>
#include <sys/time.h>

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <string>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/string.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/lib/conversions.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Std;

// No format attribute: the formatter's own conversions are no printf
// conversions.
std::string Format(int flags, const char* format, ...) {
  va_list args;
  va_start(args, format);
  String text = ErrorHandler::format_with_flags(flags, format, args);
  va_end(args);
  return Std(text);
}

class Router : public Element {
 public:
  const char* class_name() const override { return "Router"; }
  String declaration() const override { return String("r1 :: ") + class_name(); }
};

class MessageFormatTest : public ::testing::Test {
 protected:
  // Idempotent, so every test may ask for the conversions.
  void SetUp() override { install_default_conversions(); }
};

TEST_F(MessageFormatTest, IntegersOfIntSize) {
  struct Case {
    const char* format;
    int value;
    const char* text;
  } cases[] = {
      {"%d", 0, "0"},
      {"%d", INT_MIN, "-2147483648"},
      {"%i", -7, "-7"},
      {"%5d", 42, "   42"},
      {"%-5d|", 42, "42   |"},
      {"%05d", -42, "-0042"},
      {"%+05d", 42, "+0042"},
      {"%+d", 5, "+5"},
      {"% d", 5, " 5"},
      {"%.4d", 42, "0042"},
      {"%8.4d", -42, "   -0042"},
      {"%u", -1, "4294967295"},
      {"%x", 255, "ff"},
      {"%X", 255, "FF"},
      {"%#X", 255, "0XFF"},
      {"%#x", 0, "0"},
      {"%#06x", 255, "0x00ff"},
      {"%#o", 8, "010"},
      {"%#o", 0, "0"},
      {"%#.3o", 8, "010"},
      {"%#05o", 8, "00010"},
      {"%hhd", 300, "44"},
      {"%hhd", 255, "-1"},
      {"%hhu", -1, "255"},
      {"%hd", 70000, "4464"},
      {"%hu", -1, "65535"},
      {"%^8d", 200, "-56"},
      {"%^16x", 0x12345, "2345"},
      {"%^32d", -3, "-3"},
      {"%^12d", -3, "-3"},  // an unknown bit width reads 32 bits
  };
  for (const Case& c : cases) EXPECT_EQ(Format(0, c.format, c.value), c.text) << c.format;
}

TEST_F(MessageFormatTest, SixtyFourBitSizes) {
  struct Case {
    const char* format;
    long long value;
    const char* text;
  } cases[] = {
      {"%lld", LLONG_MIN, "-9223372036854775808"},
      {"%ld", 1LL << 40, "1099511627776"},
      {"%^64d", -(1LL << 40), "-1099511627776"},
      {"%llu", -1, "18446744073709551615"},
      {"%zx", 1LL << 36, "1000000000"},
      {"%td", -5, "-5"},
      {"%#llo", 8, "010"},
  };
  for (const Case& c : cases) EXPECT_EQ(Format(0, c.format, c.value), c.text) << c.format;
}

TEST_F(MessageFormatTest, StarArgumentsAndBoundedFields) {
  EXPECT_EQ(Format(0, "%*d|", -5, 42), "42   |");
  EXPECT_EQ(Format(0, "%*d|", 5, 42), "   42|");
  EXPECT_EQ(Format(0, "%.*d|", -1, 42), "42|");
  EXPECT_EQ(Format(0, "%*.*s|%d", 6, 2, "abcdef", 9), "    ab|9");
  EXPECT_EQ(Format(0, "%*d", INT_MAX, 1), std::string(127, ' ') + "1");
  EXPECT_EQ(Format(0, "%*d|", INT_MIN, 1), "1" + std::string(127, ' ') + "|");
  EXPECT_EQ(Format(0, "%200d", 1), std::string(127, ' ') + "1");
  EXPECT_EQ(Format(0, "%.200d", 7), std::string(123, '0') + "7");
  EXPECT_EQ(Format(0, "%99999999999999999999d", 1), std::string(127, ' ') + "1");
  EXPECT_EQ(Format(0, "%.*x", INT_MAX, 1), std::string(123, '0') + "1");
  EXPECT_EQ(Format(0, "%*s", INT_MAX, "x"), std::string(1023, ' ') + "x");
  EXPECT_EQ(Format(0, "%2000f", 1.0), std::string(1016, ' ') + "1.000000");
  EXPECT_EQ(Format(0, "%.*f", INT_MAX, 1.0), "1." + std::string(512, '0'));
}

TEST_F(MessageFormatTest, Pointers) {
  EXPECT_EQ(Format(0, "%p", nullptr), "0");
  EXPECT_EQ(Format(0, "%p", reinterpret_cast<void*>(0xABCDEF)), "0xabcdef");
  EXPECT_EQ(Format(0, "%p", reinterpret_cast<void*>(UINT64_MAX)), "0xffffffffffffffff");
  EXPECT_EQ(Format(0, "[%8p]", reinterpret_cast<void*>(0x1f)), "[    0x1f]");
}

TEST_F(MessageFormatTest, Characters) {
  struct Case {
    int value;
    const char* text;
  } cases[] = {
      {'A', "A"},          {' ', " "},          {'~', "~"},           {10, "\\n"},
      {9, "\\t"},          {13, "\\r"},         {0, "\\0"},           {1, "\\001"},
      {127, "\\177"},      {-1, "\\377"},       {-56, "\\310"},       {255, "\\377"},
      {256, "(bad char)"}, {300, "(bad char)"}, {-300, "(bad char)"},
  };
  for (const Case& c : cases) EXPECT_EQ(Format(0, "%c", c.value), c.text) << c.value;
  EXPECT_EQ(Format(0, "[%3c|%-3c]", 'x', 10), "[  x|\\n ]");
}

TEST_F(MessageFormatTest, Strings) {
  struct Case {
    const char* format;
    const char* value;
    const char* text;
  } cases[] = {
      {"%s", "plain", "plain"},
      {"%s", nullptr, "(null)"},
      {"%.3s", "abcdef", "abc"},
      {"%.0s|", "abc", "|"},
      {"[%6s]", "ab", "[    ab]"},
      {"[%-6s]", "ab", "[ab    ]"},
      {"[%1s]", "abc", "[abc]"},
      {"%#s", "a\tb\x7f\xff", "a^Ib\\177\\377"},
      // The precision limits the source characters; printable text that
      // reaches it is cut back to the source length.
      {"%#.3s", "a\tbc", "a^I"},
      {"%#.3s", "\t", "^I"},
      {"%#.3s", "\t\t", "^I"},
      {"%#.2s", "ab", "ab"},
  };
  for (const Case& c : cases) EXPECT_EQ(Format(0, c.format, c.value), c.text) << c.format;

  // The precision bounds the read: no NUL is needed within it.
  const char unterminated[2] = {'o', 'k'};
  EXPECT_EQ(Format(0, "%.2s", unterminated), "ok");
}

TEST_F(MessageFormatTest, InsertedTextIsProtectedFromAnnotations) {
  struct Case {
    const char* format;
    const char* value;
    const char* text;
  } cases[] = {
      {"%'s", "<3>x", "{}<3>x"},
      {"%#s", "<3>x", "{}<3>x"},
      {"%s", "<3>x", "<3>x"},
      {"%'s", "{}x", "{}{}x"},
      {"ok %'s", "<3>x", "ok <3>x"},
      {"<2>%'s", "<3>x", "<2>{}<3>x"},
      {"<2>{}%'s", "<3>x", "<2>{}{}<3>x"},
      {"a\n%'s", "<3>x", "a\n{}<3>x"},
      {"a\nb%'s", "<3>x", "a\nb<3>x"},
      {"%'s", "plain", "plain"},
      {"%'s", "<x>", "<x>"},
      {"ok %'s", "a\n<3>b\nc\n<4>", "ok a\n{}<3>b\nc\n{}<4>"},
      // "#" turns the newline into "^J", so only the start needs protection.
      {"%#s", "<3>x\n<4>y", "{}<3>x^J<4>y"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Format(0, c.format, c.value), c.text) << c.format << " of " << c.value;
  }
}

TEST_F(MessageFormatTest, Quotes) {
  EXPECT_EQ(Format(0, "%<name%>, %<x%,"), "'name', 'x'");
  EXPECT_EQ(Format(ErrorHandler::kUtf8Quotes, "%<name%>, %<x%,"),
            "\xE2\x80\x98name\xE2\x80\x99, \xE2\x80\x98x\xE2\x80\x99");
  EXPECT_EQ(Format(ErrorHandler::kUtf8Quotes, "%_<name%_> %<y%>"),
            "'name' \xE2\x80\x98y\xE2\x80\x99");
  EXPECT_EQ(Format(0, "100%%"), "100%");
}

TEST_F(MessageFormatTest, EmptyConversionsTakeNoArgument) {
  EXPECT_EQ(Format(0, "[%{nosuch}]%d", 7), "[]7");
  EXPECT_EQ(Format(0, "[%q]%d", 7), "[]7");
  EXPECT_EQ(Format(0, "[%p{nosuch}]%d", 7), "[]7");
  EXPECT_EQ(Format(0, "[%{}]%d", 7), "[]7");
  // A different size letter ends the size: "l" is the (unknown) conversion.
  EXPECT_EQ(Format(0, "%hld|%d", 7), "d|7");
  EXPECT_EQ(Format(0, "abc%"), "abc");
  EXPECT_EQ(Format(0, "abc%-08.3"), "abc");
}

TEST_F(MessageFormatTest, NamesWithoutClosingBraceAreText) {
  EXPECT_EQ(Format(0, "%{open"), "open");
  EXPECT_EQ(Format(0, "%{a b}%d", 7), "a b}7");
  EXPECT_EQ(Format(0, "%{a\n}"), "a\n}");
  EXPECT_EQ(Format(0, "%p{open", reinterpret_cast<void*>(0x10)), "0x10{open");
  EXPECT_EQ(Format(0, "%p{a b}%d", nullptr, 7), "0{a b}7");
}

TEST_F(MessageFormatTest, NamedConversionTakesExactlyOneArgument) {
  Router router;
  EXPECT_EQ(Format(0, "%p{element}: %s %d", &router, "down", 3), "r1 :: Router: down 3");
  EXPECT_EQ(Format(0, "%{element}", &router), "r1 :: Router");
  EXPECT_EQ(Format(0, "[%-14{element}]%d", &router, 5), "[r1 :: Router  ]5");
}

TEST_F(MessageFormatTest, TimeValues) {
  struct Case {
    long sec;
    long usec;
    const char* text;
  } cases[] = {
      {0, 0, "0.000000"},
      {5, 250, "5.000250"},
      {-2, 0, "-2.000000"},
      {-1, 500000, "-0.500000"},
      {-3, 1, "-2.999999"},
      {LONG_MIN, 0, "-9223372036854775808.000000"},
      {LONG_MAX, 999999, "9223372036854775807.999999"},
  };
  for (const Case& c : cases) {
    struct timeval tv = {c.sec, c.usec};
    EXPECT_EQ(Format(0, "%p{timeval}", &tv), c.text) << c.sec << " " << c.usec;
  }
}

TEST_F(MessageFormatTest, ValueConversions) {
  Timestamp t = Timestamp::make_msec(1500);
  Timestamp before = Timestamp::make_nsec(-1);
  const unsigned char ip[4] = {192, 168, 0, 1};
  const unsigned char ether[6] = {0x00, 0x1a, 0x2b, 0xff, 0x04, 0x5c};
  EXPECT_EQ(Format(0, "%p{timestamp} %{timestamp}", &t, &before), "1.500000 -0.000000001");
  EXPECT_EQ(Format(0, "%p{ip_ptr}", ip), "192.168.0.1");
  EXPECT_EQ(Format(0, "%p{ether_ptr}", ether), "00-1A-2B-FF-04-5C");
  for (const char* name : {"timeval", "timestamp", "element", "ip_ptr", "ether_ptr"}) {
    std::string format = std::string("%p{") + name + "}|%d";
    EXPECT_EQ(Format(0, format.c_str(), nullptr, 4), "(null)|4") << name;
  }
}

String flags_text(int flags, const void*) { return String(flags); }
String shadowed_text(int, const void*) { return String("old"); }

TEST_F(MessageFormatTest, LatestRegistrationWinsAndSeesTheFlags) {
  ErrorHandler::register_conversion("test_flags", shadowed_text);
  ErrorHandler::register_conversion("test_flags", flags_text);
  int dummy = 0;
  EXPECT_EQ(Format(0, "%p{test_flags}", &dummy), "0");
  EXPECT_EQ(Format(ErrorHandler::kUtf8Quotes, "%#-{test_flags}", &dummy),
            std::to_string(ErrorHandler::kUtf8Quotes | ErrorHandler::kAlternateForm |
                           ErrorHandler::kLeftJustify));
  EXPECT_EQ(Format(ErrorHandler::kUtf8Quotes, "%_{test_flags}", &dummy), "0");
}

TEST_F(MessageFormatTest, Doubles) {
  struct Case {
    const char* format;
    double value;
    const char* text;
  } cases[] = {
      {"%.2f", 3.14159, "3.14"},     {"%e", 12345.678, "1.234568e+04"},
      {"%E", 0.5, "5.000000E-01"},   {"%10.3g", 0.000123456, "  0.000123"},
      {"%G", 1e-10, "1E-10"},        {"%-8.1f|", 2.5, "2.5     |"},
      {"%+08.2f", -1.5, "-0001.50"}, {"% .1f", 1.0, " 1.0"},
      {"%#.0f", 3.0, "3."},          {"%F", INFINITY, "INF"},
  };
  for (const Case& c : cases) EXPECT_EQ(Format(0, c.format, c.value), c.text) << c.format;
  EXPECT_EQ(Format(0, "%*.*f|%d", 6, 1, 2.0, 3), "   2.0|3");
}

}  // namespace
