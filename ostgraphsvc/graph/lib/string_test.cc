#include "graph/string.h"

#include <gtest/gtest.h>

#include <string>

#include "graph/string_builder.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Std;

TEST(StringTest, StaticTextsNeedNoMemo) {
  const char* empty_data = String::make_empty().data();
  String cases[] = {String(), String(nullptr), String(""), String("abc", 0), String(nullptr, 5)};
  for (const String& s : cases) {
    EXPECT_EQ(s.length(), 0);
    EXPECT_EQ(s.memo(), nullptr);
    EXPECT_EQ(s.data(), empty_data);
    EXPECT_STREQ(s.c_str(), "");
  }
  struct Case {
    String s;
    const char* text;
  } statics[] = {{String(7), "7"},
                 {String(0u), "0"},
                 {String(9ull), "9"},
                 {String(true), "true"},
                 {String(false), "false"}};
  for (const Case& c : statics) {
    EXPECT_EQ(Std(c.s), c.text);
    EXPECT_EQ(c.s.memo(), nullptr) << c.text;
    EXPECT_STREQ(c.s.c_str(), c.text);
  }
}

TEST(StringTest, NumbersAndTheirMemoSizes) {
  struct Case {
    String s;
    const char* text;
    uint32_t capacity;
  } cases[] = {
      {String(10), "10", 4},  // (2 + 12) rounded to a 16-byte block
      {String(-5), "-5", 4},
      {String(4294967295u), "4294967295", 20},
      {String(-9223372036854775807L - 1), "-9223372036854775808", 20},
      {String(18446744073709551615ull), "18446744073709551615", 116},  // through a builder
      {String(2.5), "2.5", 4},
      {String(1e20), "1e+20", 20},
      {String(0.1), "0.1", 4},
      {String("exactly 20 chars....", -1), "exactly 20 chars....", 20},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Std(c.s), c.text);
    ASSERT_NE(c.s.memo(), nullptr) << c.text;
    EXPECT_EQ(c.s.memo()->capacity, c.capacity) << c.text;
    EXPECT_EQ(c.s.memo()->used, static_cast<uint32_t>(c.s.length())) << c.text;
    EXPECT_EQ(c.s.memo()->refcount, 1u);
  }
}

TEST(StringTest, AppendSpaceExtendsInPlaceOrMovesByTheGrowthRule) {
  struct Case {
    int initial;
    int add;
    bool in_place;
    uint32_t capacity;  // after the append
  } cases[] = {
      {2, 1, true, 4},          // used + n < capacity
      {3, 1, false, 4},         // used + n == capacity: moves, 16-byte block
      {3, 2, false, 20},        // 5 + 12 rounds to 32
      {1000, 12, false, 1012},  // 1024 bytes exactly
      {1000, 13, false, 2036},  // above 1 KiB: powers of two from 2048
      {2030, 10, false, 4084},
  };
  for (const Case& c : cases) {
    String s(std::string(c.initial, 'a').c_str());
    const String::Memo* before = s.memo();
    char* space = s.append_space(c.add);
    ASSERT_NE(space, nullptr);
    std::memset(space, 'b', static_cast<size_t>(c.add));
    EXPECT_EQ(s.memo() == before, c.in_place) << c.initial << "+" << c.add;
    EXPECT_EQ(s.memo()->capacity, c.capacity) << c.initial << "+" << c.add;
    EXPECT_EQ(Std(s), std::string(c.initial, 'a') + std::string(c.add, 'b'));
  }
  String s("x");
  EXPECT_EQ(s.append_space(0), nullptr);
  EXPECT_EQ(s.append_space(-1), nullptr);
  EXPECT_EQ(Std(s), "x");
}

TEST(StringTest, CopiesThatAppendNeverSeeEachOther) {
  String original("ab");  // room for two more bytes
  String first = original;
  String second = original;
  EXPECT_EQ(original.memo()->refcount, 3u);
  first.append("x");
  second.append("x");
  EXPECT_EQ(first.memo(), original.memo());   // extended the shared Memo in place
  EXPECT_NE(second.memo(), original.memo());  // no longer at the used end: copied
  EXPECT_EQ(Std(original), "ab");
  EXPECT_EQ(Std(first), "abx");
  EXPECT_EQ(Std(second), "abx");
  second.append("y");
  EXPECT_EQ(Std(first), "abx");
  EXPECT_EQ(Std(second), "abxy");
}

TEST(StringTest, AppendingToAnEmptyStringShares) {
  String text("shared text");
  String s;
  s.append(text);
  EXPECT_EQ(s.memo(), text.memo());
  EXPECT_EQ(s.data(), text.data());
  EXPECT_EQ(text.memo()->refcount, 2u);
  String t;
  t.append("plain");  // C strings belong to no Memo: copied
  EXPECT_NE(t.memo(), nullptr);
  EXPECT_EQ(Std(t), "plain");
}

TEST(StringTest, SelfAppendSurvivesAMove) {
  String moving("abc");  // capacity 4: the append must move the Memo
  moving.append(moving.substring(0, 3));
  EXPECT_EQ(Std(moving), "abcabc");
  moving.append(moving);
  EXPECT_EQ(Std(moving), "abcabcabcabc");

  StringBuilder sb(100);
  sb.append("abc");
  String roomy = sb.take_string();  // room to extend in place
  const String::Memo* memo = roomy.memo();
  roomy.append(roomy.substring(1, 3));
  EXPECT_EQ(roomy.memo(), memo);
  EXPECT_EQ(Std(roomy), "abcbc");
}

TEST(StringTest, CStrOfAPrefixCopiesWithoutChangingTheText) {
  String whole("abcdef");
  String prefix = whole.substring(0, 3);
  EXPECT_EQ(prefix.memo(), whole.memo());
  EXPECT_STREQ(prefix.c_str(), "abc");
  EXPECT_NE(prefix.memo(), whole.memo());
  EXPECT_EQ(prefix.length(), 3);
  EXPECT_EQ(Std(whole), "abcdef");

  String roomy("ab");  // the NUL fits behind the text
  const String::Memo* memo = roomy.memo();
  EXPECT_STREQ(roomy.c_str(), "ab");
  EXPECT_EQ(roomy.memo(), memo);
  EXPECT_EQ(roomy.c_str(), roomy.data());  // the second call finds the NUL
  EXPECT_EQ(roomy.length(), 2);
}

TEST(StringTest, MutableCStrOwnsItsBytes) {
  String a("hello");
  String b = a;
  char* p = b.mutable_c_str();
  p[0] = 'j';
  EXPECT_EQ(Std(a), "hello");
  EXPECT_EQ(Std(b), "jello");
  EXPECT_EQ(b.memo()->refcount, 1u);
  String digit(5);
  digit.mutable_c_str()[0] = '6';
  EXPECT_EQ(Std(digit), "6");
  EXPECT_EQ(Std(String(5)), "5");  // the static digit is untouched
}

TEST(StringTest, AssignRepointsIntoItsOwnMemo) {
  String s("hello world");
  const String::Memo* memo = s.memo();
  s.assign(s.data() + 6, 5);
  EXPECT_EQ(s.memo(), memo);
  EXPECT_EQ(Std(s), "world");
  s.assign("other", -1);
  EXPECT_NE(s.memo(), memo);
  EXPECT_EQ(Std(s), "other");
  s = s;  // NOLINT: self-assignment keeps the text
  EXPECT_EQ(Std(s), "other");
  s.assign(nullptr, 3);
  EXPECT_TRUE(s.empty());
}

TEST(StringTest, SubstringFindAndCompare) {
  String s("hello, world");
  EXPECT_EQ(Std(s.substring(7, 12)), "world");
  EXPECT_EQ(Std(s.substring(7, 99)), "world");
  EXPECT_EQ(s.substring(7).memo(), s.memo());
  EXPECT_TRUE(s.substring(12, 13).empty());
  EXPECT_TRUE(s.substring(-1, 3).empty());
  EXPECT_TRUE(s.substring(5, 2).empty());

  struct Find {
    const char* needle;
    int at;
  } finds[] = {{"", 0},        {"h", 0},  {"o", 4},  {"world", 7},
               {"worlds", -1}, {"d", 11}, {"x", -1}, {"hello, world!", -1},
               {"o, w", 4}};
  for (const Find& f : finds) EXPECT_EQ(s.find_left(String(f.needle)), f.at) << f.needle;
  EXPECT_EQ(String("aab").find_left(String("ab")), 1);
  EXPECT_EQ(s.find_left('o', 5), 8);

  struct Compare {
    const char* a;
    const char* b;
    int sign;
  } compares[] = {{"abc", "abc", 0}, {"abc", "abd", -1}, {"abc", "ab", 1},
                  {"ab", "abc", -1}, {"", "", 0},        {"b", "abc", 1}};
  for (const Compare& c : compares) {
    int r = String(c.a).compare(String(c.b));
    EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
  }
  EXPECT_EQ(s.compare(s.data(), 5), 7);  // same data: difference of lengths
  EXPECT_EQ(String("abc").compare("abc", -1), 0);
  EXPECT_TRUE(s.equals("hello, world"));
  EXPECT_FALSE(s.equals("hello"));
  EXPECT_TRUE(String(std::string("a\0b", 3).c_str(), 3) ==
              String(std::string("a\0b", 3).c_str(), 3));
}

TEST(StringTest, PrintableJsonAndLowerForms) {
  struct Case {
    std::string in;
    std::string printable;
    std::string json;
  } cases[] = {
      {"a\nb", "a^Jb", "a\\nb"},
      {"\xFF", "\\377", "\xFF"},
      {std::string("\0", 1), "^@", "\\u0000"},
      {"\x7F", "\\177", "\x7F"},
      {"a/b", "a/b", "a\\/b"},
      {"\x01", "^A", "\\u0001"},
      {"\x1F", "^_", "\\u001F"},
      {"q\"b\\s", "q\"b\\s", "q\\\"b\\\\s"},
      {"\b\t\f\r", "^H^I^L^M", "\\b\\t\\f\\r"},
      {"x\xE2\x80\xA8y\xE2\x80\xA9", "x\\342\\200\\250y\\342\\200\\251", "x\\u2028y\\u2029"},
      {"\xE2\x80\xA7", "\\342\\200\\247", "\xE2\x80\xA7"},
      {"\xE2\x80", "\\342\\200", "\xE2\x80"},
  };
  for (const Case& c : cases) {
    String s(c.in.data(), static_cast<int>(c.in.size()));
    EXPECT_EQ(Std(s.printable()), c.printable) << c.in;
    EXPECT_EQ(Std(s.encode_json()), c.json) << c.in;
  }
  String plain("abc");
  EXPECT_EQ(plain.printable().memo(), plain.memo());
  EXPECT_EQ(plain.encode_json().memo(), plain.memo());
  EXPECT_EQ(plain.lower().memo(), plain.memo());
  String mixed("MiXed CASE 42");
  EXPECT_EQ(Std(mixed.lower()), "mixed case 42");
  EXPECT_EQ(Std(mixed), "MiXed CASE 42");
}

TEST(StringTest, Concatenation) {
  String a("left");
  EXPECT_EQ(Std(a + "-right"), "left-right");
  EXPECT_EQ(Std("left-" + a), "left-left");
  EXPECT_EQ(Std(a + a), "leftleft");
  EXPECT_EQ(Std(a), "left");
}

}  // namespace
