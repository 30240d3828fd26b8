#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "graph/confparse.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Std;

std::vector<std::string> Std(const Vector<String>& v) {
  std::vector<std::string> out;
  for (const String& s : v) out.push_back(Std(s));
  return out;
}

// A String from a std::string, so texts may hold NUL bytes.
String Str(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

bool SharesStorage(const String& part, const String& whole) {
  return part.data() >= whole.data() && part.end() <= whole.end();
}

TEST(ConfparseTextTest, SkipHelpersStopWhereTheRulesSay) {
  struct Case {
    const char* text;
    int (*skip)(const std::string&);
    int expected;
  };
  auto backslash = [](const std::string& s) {
    return static_cast<int>(cp_skip_backslash(s.data(), s.data() + s.size()) - s.data());
  };
  auto space = [](const std::string& s) {
    return static_cast<int>(cp_skip_space_and_comments(s.data(), s.data() + s.size()) - s.data());
  };
  auto word = [](const std::string& s) {
    return static_cast<int>(cp_skip_word(s.data(), s.data() + s.size()) - s.data());
  };
  const Case cases[] = {
      {"\\", backslash, 1},
      {"\\nX", backslash, 2},
      {"\\\r\nX", backslash, 3},
      {"\\\rX", backslash, 2},
      {"\\<41 /* > */ 42>X", backslash, 16},
      {"\\<41", backslash, 4},
      {" \t/* a */ // b\r\n x", space, 17},
      {"// only a comment", space, 17},
      {"/* open", space, 7},
      {"/x", space, 0},
      {"a'b c'\"d \\\" e\"f g", word, 15},
      {"a\\<1 2>b c", word, 8},
      {"ab/*c*/d", word, 2},
      {"ab//c", word, 2},
      {"a/b c", word, 3},
      {"'open quote", word, 11},
  };
  for (const Case& c : cases) EXPECT_EQ(c.skip(c.text), c.expected) << c.text;
}

TEST(ConfparseTextTest, SplitArgumentsAtTopLevelCommas) {
  struct Case {
    const char* text;
    std::vector<std::string> arguments;
  };
  const Case cases[] = {
      {"a, b", {"a", "b"}},
      {"a,,b", {"a", "", "b"}},
      {"a,", {"a"}},
      {"a, ", {"a"}},
      {"", {}},
      {" \t/* c */ ", {}},
      {", a", {"", "a"}},
      {"a /* x, y */ , b // c", {"a", "b"}},
      {"a // c, d\n, b", {"a", "b"}},
      {"a // c\r\n, b", {"a", "b"}},
      {"a /* open, b", {"a"}},
      {"'a,b', c", {"'a,b'", "c"}},
      {"\"a,b\", c", {"\"a,b\"", "c"}},
      {"\"a\\\",b\", c", {"\"a\\\",b\"", "c"}},
      {"'a\\',b", {"'a\\'", "b"}},
      {"\\<41, /* > , */ 42>, c", {"\\<41, /* > , */ 42>", "c"}},
      {"\"open, b", {"\"open, b"}},
      // Parentheses and brackets group nothing.
      {"f(a, b), [c, d]", {"f(a", "b)", "[c", "d]"}},
      {"a  b\tc, d", {"a  b\tc", "d"}},
      {"a/*x*/b, c", {"a b", "c"}},
      {"a /*x*/ \n /*y*/ b", {"a b"}},
      {"\"/* kept */\" // dropped", {"\"/* kept */\""}},
  };
  for (const Case& c : cases) {
    Vector<String> arguments;
    cp_split_arguments(String(c.text), &arguments);
    EXPECT_EQ(Std(arguments), c.arguments) << c.text;
  }
}

TEST(ConfparseTextTest, UncommentSharesStorageUnlessItRewrites) {
  String text("  abc def  // tail");
  String plain = cp_uncomment(text);
  EXPECT_EQ(Std(plain), "abc def");
  EXPECT_TRUE(SharesStorage(plain, text));
  EXPECT_EQ(plain.memo(), text.memo());

  String joined = cp_uncomment(String("a/*x*/b"));
  EXPECT_EQ(Std(joined), "a b");

  int comma = -1;
  String tail("x, y /* z */ ,w");
  EXPECT_EQ(Std(cp_uncomment_part(tail, 2, &comma)), "y");
  EXPECT_EQ(comma, 13);
  EXPECT_EQ(Std(cp_uncomment_part(tail, 14, &comma)), "w");
  EXPECT_EQ(comma, 15);
  EXPECT_EQ(Std(cp_uncomment_part(tail, 2)), "y ,w");
  EXPECT_EQ(Std(cp_uncomment_part(tail, 99, &comma)), "");
  EXPECT_EQ(comma, 15);
}

TEST(ConfparseTextTest, WordsAndPoppingSkipComments) {
  Vector<String> words;
  String text(" a 'b c'  \"d e\"/*x*/f \\<1 2>g // h\n i");
  cp_split_words(text, &words);
  EXPECT_EQ(Std(words), (std::vector<std::string>{"a", "'b c'", "\"d e\"", "f", "\\<1 2>g", "i"}));
  for (const String& w : words) EXPECT_TRUE(SharesStorage(w, text)) << Std(w);

  String rest("first  second /*c*/ third ");
  EXPECT_EQ(Std(cp_pop_word(&rest)), "first");
  EXPECT_EQ(Std(rest), "second /*c*/ third ");
  EXPECT_EQ(Std(cp_pop_word(&rest)), "second");
  EXPECT_EQ(Std(rest), "third ");
  EXPECT_EQ(Std(cp_pop_word(&rest)), "third");
  EXPECT_EQ(Std(rest), "");
  EXPECT_EQ(Std(cp_pop_word(&rest)), "");
}

TEST(ConfparseTextTest, UnquoteDecodesEveryEscape) {
  struct Case {
    std::string text;
    std::string value;
  };
  const Case cases[] = {
      {"\"a\\tb\" 'c\\d'", "a\tb c\\d"},
      {"ab\\", "ab\\"},
      {"\"ab\\", "ab\\"},
      {"\\<48 65 6c>", "Hel"},
      {"\"\\101\\1012\"", "AA2"},
      {"\"\\0\"", std::string(1, '\0')},
      {"\"\\777\"", "\xff"},
      {"\"\\a\\b\\f\\n\\r\\t\\v\"", "\a\b\f\n\r\t\v"},
      {"\"\\x41\\x4142\\xg\"", std::string("AB\0g", 4)},
      {"\"\\<41 /* 42 */ 4,2 3>\"", "AB"},
      {"\"\\<4>\"", ""},
      {"\"a\\\nb\\\r\nc\\\rd\"", "abcd"},
      {"\"\\\\\\\"\\'\\$\\q\"", "\\\"'$q"},
      {"'a\"b' \"c'd\"", "a\"b c'd"},
      {"'\\n'", "\\n"},
      {"a\\tb", "a\\tb"},
      {"\"open", "open"},
      {"a /* c */ \"b\" // d", "a b"},
      {"\"\"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Std(cp_unquote_text(Str(c.text))), c.value) << c.text;

  String plain("  plain text ");
  String unquoted = cp_unquote_text(plain);
  EXPECT_EQ(Std(unquoted), "plain text");
  EXPECT_TRUE(SharesStorage(unquoted, plain));
}

TEST(ConfparseTextTest, QuoteEscapesAndRoundTrips) {
  struct Case {
    std::string text;
    std::string quoted;
  };
  const Case cases[] = {
      {"", "\"\""},
      {"a b", "\"a b\""},
      {"\t\n\r", "\"\\t\\n\\r\""},
      {"$\"\\'", "\"\\$\\\"\\\\'\""},
      {"\xc8", "\"\\310\""},
      {std::string("\0"
                   "7",
                   2),
       "\"\\0007\""},
      {"\x7f~", "\"\\177~\""},
  };
  for (const Case& c : cases) EXPECT_EQ(Std(cp_quote_text(Str(c.text))), c.quoted) << c.text;

  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte += static_cast<char>(i);
  const std::string texts[] = {every_byte, "/* not a comment */ // nor this", "a,b 'c' \\<41>",
                               std::string("\x01"
                                           "234",
                                           4)};
  for (const std::string& text : texts) {
    EXPECT_EQ(Std(cp_unquote_text(cp_quote_text(Str(text)))), text);
  }
}

TEST(ConfparseTextTest, StringsWordsAndKeywords) {
  enum Kind { kString, kLiteral, kWord, kKeyword };
  struct Case {
    Kind kind;
    const char* text;
    bool want_rest;
    bool ok;
    const char* value;
    const char* rest;
  };
  const Case cases[] = {
      {kString, "\"a b\"", false, true, "a b", ""},
      {kString, "'x y'z tail", true, true, "x yz", " tail"},
      {kString, "a b", false, false, "", ""},
      {kString, "a b", true, true, "a", " b"},
      {kString, "a\\<41 42>", false, true, "aAB", ""},
      {kString, "", true, false, "", ""},
      {kString, " a", true, false, "", ""},
      {kString, "\"\"", false, true, "", ""},
      {kString, "a//b", false, true, "a", ""},
      {kLiteral, "a//b/*c*/", false, true, "a//b/*c*/", ""},
      {kLiteral, "'x y'//z tail", true, true, "x y//z", " tail"},
      {kWord, "abc", false, true, "abc", ""},
      {kWord, "\"abc\" def", true, true, "abc", " def"},
      {kWord, "a,b", false, false, "", ""},
      {kWord, "", false, false, "", ""},
      {kWord, "\"\"", false, false, "", ""},
      {kWord, "\"a b\"", false, false, "", ""},
      {kWord, "a\\b", false, false, "", ""},
      {kWord, "\"a\\\"\"", false, false, "", ""},
      {kWord, "\"\\x01\"", false, false, "", ""},
      {kKeyword, "9lives x", true, true, "9lives", "x"},
      {kKeyword, "a-b c", true, false, "", ""},
      {kKeyword, "A_.:?!z \t ", true, true, "A_.:?!z", ""},
      {kKeyword, "KEY", false, true, "KEY", ""},
      {kKeyword, "KEY value", false, false, "", ""},
      {kKeyword, "", true, false, "", ""},
      {kKeyword, " KEY", true, false, "", ""},
  };
  for (const Case& c : cases) {
    String value("untouched");
    String rest("untouched");
    String* rest_out = c.want_rest ? &rest : nullptr;
    String text(c.text);
    bool ok = c.kind == kString    ? cp_parse_string(text, &value, rest_out)
              : c.kind == kLiteral ? cp_parse_literal_string(text, &value, rest_out)
              : c.kind == kWord    ? cp_parse_word(text, &value, rest_out)
                                   : cp_parse_keyword(text, &value, rest_out);
    ASSERT_EQ(ok, c.ok) << c.kind << " " << c.text;
    if (!ok) {
      EXPECT_EQ(Std(value), "untouched") << c.text;
      continue;
    }
    EXPECT_EQ(Std(value), c.value) << c.text;
    if (c.want_rest) {
      EXPECT_EQ(Std(rest), c.rest) << c.text;
    }
  }
}

TEST(ConfparseTextTest, BasicIntegerSetsTheLastStatus) {
  struct Case {
    const char* text;
    int flags;
    int consumed;
    int status;
    int value;
  };
  const Case cases[] = {
      {"123abc", 10, 3, 0, 123},
      {"123abc", 10 | cp_basic_whole_text, 0, 1, -1},
      {"0x1f", 0 | cp_basic_whole_text, 4, 0, 31},
      {"017", 8, 3, 0, 15},
      {"-42", 10, 3, 0, -42},
      {"99999999999", 10, 11, 3, INT_MAX},
      {"-99999999999", 10, 12, 3, INT_MIN},
      {"x", 10, 0, 1, -1},
      {"", 10, 0, 1, -1},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    int value = -1;
    cp_last_status = -1;
    const char* end =
        cp_parse_basic_integer(text.data(), text.data() + text.size(), c.flags, &value);
    EXPECT_EQ(end - text.data(), c.consumed) << c.text;
    EXPECT_EQ(cp_last_status, c.status) << c.text;
    EXPECT_EQ(value, c.value) << c.text;
  }
}

}  // namespace
