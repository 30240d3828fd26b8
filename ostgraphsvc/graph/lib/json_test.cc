#include "graph/json.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <string>

#include "client/lib/cxLog/cxLog.h"
#include "graph/hashcode.h"
#include "graph/string_builder.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Std;

using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;

std::string Text(const Json& v) { return Std(v.to_text()); }

// Parses `text` and reports whether it was one complete value.
bool Parses(const std::string& text, Json* out = nullptr) {
  Json v;
  bool ok = v.parse_text(String(text.data(), static_cast<int>(text.size())), 0,
                         static_cast<int>(text.size()));
  if (out != nullptr) *out = v;
  return ok;
}

TEST(JsonTest, ScalarsKeepTheirTextAndType) {
  Json v = Json::parse(" [1, 2.5, \"a\", true, null]\r\n");
  ASSERT_EQ(v.type(), Json::kArray);
  ASSERT_EQ(v.size(), 5);
  int types[] = {Json::kInteger, Json::kReal, Json::kString, Json::kBoolean, Json::kNull};
  const char* texts[] = {"1", "2.5", "a", "true", ""};
  for (int i = 0; i < 5; ++i) {
    const Json& e = v.get(String(i));
    EXPECT_EQ(e.type(), types[i]) << i;
    EXPECT_EQ(Std(e.text()), texts[i]) << i;
  }
  EXPECT_EQ(Text(v), "[1,2.5,\"a\",true,null]");
}

TEST(JsonTest, RoundTripsToCompactText) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"{ \"a\" : [ 1 , { } , [ ] ] ,\t\"b\":{\"c\":\"d\"} }", R"({"a":[1,{},[]],"b":{"c":"d"}})"},
      {"-0", "-0"},
      {"[-12,0.5e-3,1E+5,1e5,-0.0]", "[-12,0.5e-3,1E+5,1e5,-0.0]"},
      {"\"\"", "\"\""},
      {R"("a/b")", R"("a\/b")"},
      {R"(["\"\\\/\b\f\n\r\t"])", R"(["\"\\\/\b\f\n\r\t"])"},
      {R"("\u0001\u001f\u00e9\u20AC")", "\"\\u0001\\u001F\xC3\xA9\xE2\x82\xAC\""},
      {R"({"k\n":"\u2028"})", R"({"k\n":"\u2028"})"},
      {" false ", "false"},
      {"null", "null"},
      {R"({"":1})", R"({"":1})"},
  };
  for (const Case& c : cases) {
    Json v;
    ASSERT_TRUE(Parses(c.in, &v)) << c.in;
    EXPECT_EQ(Text(v), c.out) << c.in;
    Json again;
    ASSERT_TRUE(Parses(c.out, &again)) << c.out;
    EXPECT_EQ(Text(again), c.out);
  }
}

TEST(JsonTest, RejectsTextThatIsNotOneValue) {
  const char* cases[] = {
      "",           " ",          "[1,]",
      "{\"a\":1,}", "[,1]",       "[1 2]",
      "{\"a\" 1}",  "{\"a\"}",    "{\"a\":}",
      "{1:2}",      "{,}",        "1 2",
      "[1]]",       "{}}",        "[1}",
      "{\"a\":1]",  ":",          ",",
      "\f1",        "[1,\v2]",    "+1",
      ".5",         "1.",         "1e",
      "1e+",        "01",         "-",
      "-a",         "--1",        "tru",
      "truex",      "nul",        "nullnull",
      "[",          "{",          "\"abc",
      "[\"a\":1]",  "{\"a\"::1}", "{\"a\":1 \"b\":2}",
      "[]x",        "0x1A",       "\"a\"\"b\"",
  };
  for (const char* text : cases) {
    Json v = Json(1);
    EXPECT_FALSE(v.parse_text(String(text), 0, static_cast<int>(std::strlen(text)))) << text;
    EXPECT_EQ(Text(v), "1") << "a failed parse changed the target: " << text;
    EXPECT_TRUE(Json::parse(String(text)).is_null()) << text;
  }
  // A NUL is not white space.
  EXPECT_FALSE(Parses(std::string("{}\0", 3)));
}

TEST(JsonTest, DecodesStringsStrictly) {
  struct Case {
    std::string token;    // between the quotes
    const char* decoded;  // null: the parse fails
  } cases[] = {
      {"\t", nullptr},
      {"\x1f", nullptr},
      {"\\u0000", nullptr},
      {"\\u0041\\u00e9\\u00E9", "A\xC3\xA9\xC3\xA9"},
      {"\\uD83D\\uDE00", "\xF0\x9F\x98\x80"},
      {"\\udbff\\udfff", "\xF4\x8F\xBF\xBF"},
      {"\\uDC00", nullptr},
      {"\\uD800", nullptr},
      {"\\uD800x", nullptr},
      {"\\uD800\\u0041", nullptr},
      {"\\uD800\\uD800", nullptr},
      {"\\uFFFE", nullptr},
      {"\\uFFFF", nullptr},
      {"\\u00g0", nullptr},
      {"\\u12", nullptr},
      {"\\x", nullptr},
      {"\\'", nullptr},
      {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBE",
       "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\xEF\xBF\xBE"},
      {"\xC0\x80", nullptr},
      {"\xC1\xBF", nullptr},
      {"\x80", nullptr},
      {"\xE0\x80\x80", nullptr},
      {"\xE0\x9F\xBF", nullptr},
      {"\xED\xA0\x80", nullptr},
      {"\xF0\x8F\xBF\xBF", nullptr},
      {"\xF4\x90\x80\x80", nullptr},
      {"\xF5\x80\x80\x80", nullptr},
      {"\xFF", nullptr},
      {"\xE2\x82", nullptr},
      {"\xC3", nullptr},
      {"a\\nb\xC3\xA9"
       "c\\\"",
       "a\nb\xC3\xA9"
       "c\""},
  };
  for (const Case& c : cases) {
    Json v;
    bool ok = Parses("[\"" + c.token + "\"]", &v);
    if (c.decoded == nullptr) {
      EXPECT_FALSE(ok) << c.token;
      continue;
    }
    ASSERT_TRUE(ok) << c.token;
    EXPECT_EQ(Std(v.get("0").text()), c.decoded);
  }
  // Long runs are scanned eight bytes at a time: a control, quote or
  // non-ASCII byte must be seen at every position.
  for (size_t at = 0; at < 18; ++at) {
    std::string head(at, 'x');
    std::string tail(20, 'y');
    Json v;
    EXPECT_FALSE(Parses("\"" + head + "\x1f" + tail + "\"")) << at;
    EXPECT_FALSE(Parses("\"" + head + "\xC3" + tail + "\"")) << at;
    EXPECT_FALSE(Parses("\"" + head + "\"" + tail + "\"")) << at;
    ASSERT_TRUE(Parses("\"" + head + "\\n\xC3\xA9\x7F" + tail + "\"", &v)) << at;
    EXPECT_EQ(Std(v.text()), head + "\n\xC3\xA9\x7F" + tail);
  }
  // Cut by the end of the text, inside a sequence or an escape.
  for (const char* text : {"\"\xE2\x82", "\"\\", "\"\\u00", "\"\\uD83D\\u"}) {
    EXPECT_FALSE(Parses(text)) << text;
  }
}

TEST(JsonTest, EscapeFreeStringsAndNumbersShareTheSource) {
  String source(R"({"key":"plain","n":-1.5e3,"esc":"a\tb"})");
  Json v = Json::parse(source);
  ASSERT_EQ(v.size(), 3);
  const JsonObject* object = static_cast<const JsonObject*>(v.body());
  EXPECT_EQ(object->items[0].key.memo(), source.memo());
  EXPECT_EQ(v.get("key").text().memo(), source.memo());
  EXPECT_EQ(v.get("n").text().memo(), source.memo());
  EXPECT_EQ(Std(v.get("n").text()), "-1.5e3");
  EXPECT_NE(v.get("esc").text().memo(), source.memo());
  EXPECT_EQ(Std(v.get("esc").text()), "a\tb");
}

TEST(JsonTest, RepeatedKeyKeepsItsFirstPlaceAndTakesTheLastValue) {
  Json v = Json::parse(R"({"b":1,"a":2,"b":{"c":[3]}})");
  EXPECT_EQ(v.size(), 2);
  EXPECT_EQ(Text(v), R"({"b":{"c":[3]},"a":2})");
  v = Json::parse(R"({"b":[1],"b":"x"})");
  EXPECT_EQ(Text(v), R"({"b":"x"})");
}

TEST(JsonTest, NestsAtMost2048Containers) {
  for (int depth : {2048, 2049}) {
    std::string text =
        std::string(static_cast<size_t>(depth), '[') + std::string(static_cast<size_t>(depth), ']');
    EXPECT_EQ(Parses(text), depth == 2048) << depth;
  }
  std::string objects;
  for (int i = 0; i < 2047; ++i) objects += "{\"k\":";
  objects += "[]" + std::string(2047, '}');
  Json v;
  ASSERT_TRUE(Parses(objects, &v));
  EXPECT_EQ(Text(v), objects);
  EXPECT_FALSE(Parses("[" + objects + "]"));
}

TEST(JsonTest, GetFindsMembersAndCanonicalIndexes) {
  Json array = Json::parse("[10,11,12]");
  Json object = Json::parse(R"({"1":"one","a":{"b":true}})");
  struct Case {
    Json v;
    const char* key;
    const char* text;  // null: the shared null
  } cases[] = {
      {array, "0", "10"},      {array, "1", "11"},
      {array, "2", "12"},      {array, "01", nullptr},
      {array, "3", nullptr},   {array, "", nullptr},
      {array, "-1", nullptr},  {array, "+1", nullptr},
      {array, "1 ", nullptr},  {array, "4294967297", nullptr},
      {object, "1", "one"},    {object, "x", nullptr},
      {Json(7), "0", nullptr}, {Json("s"), "s", nullptr},
  };
  for (const Case& c : cases) {
    const Json& got = c.v.get(c.key);
    if (c.text == nullptr) {
      EXPECT_EQ(&got, &Json::make_null()) << c.key;
    } else {
      EXPECT_EQ(Std(got.text()), c.text) << c.key;
    }
  }
  EXPECT_TRUE(object.get("a").get("b").to_bool());
  EXPECT_EQ(object.size(), 2);
  EXPECT_EQ(Json(5).size(), 0);
  EXPECT_EQ(Text(object), R"({"1":"one","a":{"b":true}})");  // reads inserted nothing
}

TEST(JsonTest, NumberConversions) {
  struct Case {
    Json v;
    int as_int;
    double as_double;
  } cases[] = {
      {Json::parse(R"("0x1A")"), 26, 26},
      {Json::parse(R"("010")"), 8, 10},
      {Json::parse("true"), 0, 1},
      {Json::parse("false"), 0, 0},
      {Json::parse(R"("a")"), 0, 0},
      {Json::parse(R"("7")"), 7, 7},
      {Json::parse("0"), 0, 0},
      {Json::parse("-12"), -12, -12},
      {Json::parse("2.9"), 2, 2.9},
      {Json::parse("1.5e3"), 1, 1500},
      {Json::parse("99999999999"), INT32_MAX, 99999999999.0},
      {Json::parse("-99999999999"), INT32_MIN, -99999999999.0},
      {Json::parse("2147483647"), INT32_MAX, 2147483647.0},
      {Json::parse("null"), 0, 0},
      {Json::parse("[1,2,3]"), 0, 3},
      {Json::parse(R"({"a":1})"), 0, 1},
      {Json(-5), -5, -5},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.v.to_int(), c.as_int) << Text(c.v);
    EXPECT_DOUBLE_EQ(c.v.to_double(), c.as_double) << Text(c.v);
  }
}

TEST(JsonTest, ValuesMadeInCodeHoldTheirText) {
  struct Case {
    Json v;
    int type;
    const char* text;
  } cases[] = {
      {Json(42), Json::kInteger, "42"},
      {Json(-7L), Json::kInteger, "-7"},
      {Json(int64_t{-9223372036854775807 - 1}), Json::kInteger, "-9223372036854775808"},
      {Json(12345678901LL), Json::kInteger, "12345678901"},
      {Json(2.5), Json::kReal, "2.5"},
      {Json(NAN), Json::kNull, ""},
      {Json(-INFINITY), Json::kNull, ""},
      {Json(true), Json::kBoolean, "true"},
      {Json(false), Json::kBoolean, "false"},
      {Json("x/y"), Json::kString, "x/y"},
      {Json(String("s")), Json::kString, "s"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.v.type(), c.type) << c.text;
    EXPECT_EQ(Std(c.v.text()), c.text);
  }

  Json page;
  page.get_insert("name") = "overlay";
  page.get_insert("stats", "packets") = 12;
  page.get_insert("stats", "ratio") = 0.5;
  page.get_insert("up") = true;
  page.get_insert("peers").append("10.0.0.1");
  page.get_insert("peers").append(Json());
  page.set("mode", "full");
  EXPECT_EQ(Text(page), R"({"name":"overlay","stats":{"packets":12,"ratio":0.5},"up":true,)"
                        R"("peers":["10.0.0.1",null],"mode":"full"})");
}

TEST(JsonTest, WriteAccessorsInsertAndConvert) {
  Json v = Json::parse(R"({"a":1})");
  v.get_insert("missing");
  EXPECT_EQ(Text(v), R"({"a":1,"missing":null})");

  v.get_insert("a", "b") = 2;  // a scalar member becomes an object
  v.get_insert(3) = "three";   // objects take the decimal key
  EXPECT_EQ(Text(v), R"({"a":{"b":2},"missing":null,"3":"three"})");

  struct Case {
    const char* in;
    const char* out;  // after append(9)
  } conversions[] = {
      {R"({"2":"two","x":1})", R"([null,null,"two",9])"},
      {R"({"1":1,"01":2,"0":0,"-1":3,"1048576":4})", "[0,1,9]"},
      {"[]", "[9]"},
      {"null", "[9]"},
      {"\"s\"", "[9]"},
  };
  for (const Case& c : conversions) {
    Json j = Json::parse(c.in);
    j.append(9);
    EXPECT_EQ(Text(j), c.out) << c.in;
  }

  Json array = Json::parse("[\"x\",[1]]");
  array.get_insert("k") = 1;
  EXPECT_EQ(Text(array), R"({"0":"x","1":[1],"k":1})");
  Json scalar = Json(5);
  scalar.get_insert(2) = 1;
  EXPECT_EQ(Text(scalar), "[null,null,1]");
  EXPECT_EQ(scalar.text().length(), 0);
}

TEST(JsonTest, CopiesShareUntilWritten) {
  Json original = Json::parse(R"({"a":{"b":[1]},"c":2})");
  Json copy = original;
  EXPECT_EQ(copy.body(), original.body());
  EXPECT_EQ(original.body()->refcount, 2);

  copy.get_insert("a", "b").append(2);
  copy.get_insert("c") = 3;
  EXPECT_EQ(Text(original), R"({"a":{"b":[1]},"c":2})");
  EXPECT_EQ(Text(copy), R"({"a":{"b":[1,2]},"c":3})");
  EXPECT_EQ(original.body()->refcount, 1);

  Json element = original.get("a");
  original.get_insert("a").get_insert("b") = 0;
  EXPECT_EQ(Text(element), R"({"b":[1]})");

  Json self = Json::parse("[1]");
  self.append(self);
  self = self.get("1");
  EXPECT_EQ(Text(self), "[1]");
}

// Every chain of the index lists its items in insertion order and every
// item sits in the chain of its hash.
void ExpectIndexSound(const JsonObject& object) {
  int slots = object.index.size();
  ASSERT_GE(slots, 8);
  ASSERT_EQ(slots & (slots - 1), 0);
  int seen = 0;
  for (int s = 0; s < slots; ++s) {
    int previous = -1;
    for (int i = object.index[s]; i >= 0; i = object.items[i].next, ++seen) {
      EXPECT_GT(i, previous);
      EXPECT_EQ(hashcode(object.items[i].key) & static_cast<uint32_t>(slots - 1),
                static_cast<uint32_t>(s));
      previous = i;
    }
  }
  EXPECT_EQ(seen, object.count);
}

TEST(JsonTest, IndexGrowsAndKeepsOrder) {
  Json v;
  v.get_insert("first");
  const JsonObject* object = static_cast<const JsonObject*>(v.body());
  EXPECT_EQ(object->index.size(), 8);
  EXPECT_EQ(object->capacity, 8);

  constexpr int kKeys = 3000;
  for (int i = 1; i < kKeys; ++i) v.get_insert(String("key") + String(i)) = i;
  object = static_cast<const JsonObject*>(v.body());
  EXPECT_EQ(object->count, kKeys);
  EXPECT_GT(object->index.size(), 256);
  ExpectIndexSound(*object);
  for (int i = 1; i < kKeys; ++i) {
    String key = String("key") + String(i);
    ASSERT_EQ(Std(object->items[i].key), Std(key));
    ASSERT_EQ(v.get(key).to_int(), i);
  }
  EXPECT_EQ(v.size(), kKeys);

  Json parsed = Json::parse(v.to_text());
  ExpectIndexSound(*static_cast<const JsonObject*>(parsed.body()));
  EXPECT_EQ(Std(parsed.to_text()), Std(v.to_text()));
  Json copy = parsed;
  copy.get_insert("new") = 1;
  ExpectIndexSound(*static_cast<const JsonObject*>(copy.body()));
  EXPECT_EQ(copy.get("key2999").to_int(), 2999);
}

// A started log in a fresh root, for the lines file_parse writes.
class JsonFileTest : public ::testing::Test {
 protected:
  std::string Log() const { return log_.text(); }

  testing_support::StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  const testing_support::TempRoot& root_ = log_.root();
};

TEST_F(JsonFileTest, ParsesFilesAndLogsFailures) {
  struct Case {
    std::string content;
    int result;
    const char* text;  // the result's compact text
  } cases[] = {
      {"7", 0, "7"},
      {std::string("{\"a\":1}\0{garbage", 15), 0, R"({"a":1})"},
      {" \"s\"\n", 0, "\"s\""},
      {"[]", -1, "[]"},
      {"{}", -1, "{}"},
      {"null", -1, "null"},
      {"{\"a\":", -1, "null"},
      {"", -1, "null"},
  };
  std::string expected_log;
  for (const Case& c : cases) {
    std::string path = root_.file("conf.json");
    WriteFile(path, c.content);
    Json result = Json(1);
    EXPECT_EQ(Json::file_parse(String(path.c_str()), result), c.result) << c.content;
    EXPECT_EQ(Text(result), c.text);
    if (c.result != 0) {
      expected_log += " vedororore 4 graph Parse failed " + std::string(c.content.c_str()) + "\n";
    }
  }
  EXPECT_EQ(Log(), expected_log);
}

TEST_F(JsonFileTest, MissingFileIsLogged) {
  std::string path = root_.file("absent.json");
  Json result = Json(1);
  EXPECT_EQ(Json::file_parse(String(path.c_str()), result), -1);
  EXPECT_EQ(Text(result), "1");
  EXPECT_EQ(Log(), " vedororore 4 graph Unable to open file " + path + ", error 2\n");
}

}  // namespace
