#include "graph/args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/nameinfo.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Lines;
using graph_testing::Std;

Vector<String> Conf(const char* text) {
  Vector<String> conf;
  cp_split_arguments(String(text), &conf);
  return conf;
}

TEST(ArgsTest, EmptyArgumentsAreConsumedAndLeaveTheVariable) {
  Lines errh;
  String a("old"), b("old"), c("old");
  EXPECT_EQ(Args(Conf("x, , z"), nullptr, &errh)
                .read_word("A", Args::kPositional, a)
                .read_word("B", Args::kMandatory | Args::kPositional, b)
                .read_word("C", Args::kPositional, c)
                .check_and_commit(),
            0);
  EXPECT_EQ(Std(a), "x");
  EXPECT_EQ(Std(b), "old");
  EXPECT_EQ(Std(c), "z");
  EXPECT_TRUE(errh.lines.empty());
}

TEST(ArgsTest, RepeatedKeywords) {
  int32_t value = 0;
  Lines errh;
  EXPECT_EQ(
      Args(Conf("LIMIT 1, LIMIT 2"), nullptr, &errh).read_int("LIMIT", 0, value).check_and_commit(),
      0);
  EXPECT_EQ(value, 2);  // every match consumed, the last one read

  EXPECT_EQ(Args(Conf("LIMIT 1, LIMIT 2"), nullptr, &errh)
                .read_int("LIMIT", Args::kFirstWins, value)
                .commit(),
            0);
  EXPECT_EQ(value, 1);
  value = 0;
  EXPECT_EQ(Args(Conf("LIMIT 1, LIMIT 2"), nullptr, &errh)
                .read_int("LIMIT", Args::kFirstWins, value)
                .check_and_commit(),
            -22);
  EXPECT_EQ(value, 0);
  EXPECT_EQ(errh.lines, std::vector<std::string>{"<3>LIMIT: unknown argument"});
}

TEST(ArgsTest, PositionalAfterKeywordInAnyOrder) {
  enum { kFirst, kSecond, kLimit };
  int orders[][3] = {{kFirst, kSecond, kLimit},
                     {kLimit, kFirst, kSecond},
                     {kSecond, kLimit, kFirst},
                     {kFirst, kLimit, kSecond}};
  for (auto& order : orders) {
    for (bool check : {false, true}) {
      Lines errh;
      int32_t first = -1, second = -1, limit = -1;
      Args args(Conf("10, LIMIT 5, 20"), nullptr, &errh);
      for (int reader : order) {
        if (reader == kFirst) args.read_int("FIRST", Args::kPositional, first);
        if (reader == kSecond) args.read_int("SECOND", Args::kPositional, second);
        if (reader == kLimit) args.read_int("LIMIT", 0, limit);
      }
      if (!check) {
        ASSERT_EQ(args.commit(), 0);
        // The positional reader called first takes the first positional
        // value; the other gets nothing.
        const bool first_reads_first =
            order[0] == kFirst || (order[0] == kLimit && order[1] == kFirst);
        EXPECT_EQ(first, first_reads_first ? 10 : -1);
        EXPECT_EQ(second, first_reads_first ? -1 : 10);
        EXPECT_EQ(limit, 5);
        continue;
      }
      EXPECT_EQ(args.check_and_commit(), -22);
      EXPECT_EQ(errh.lines, std::vector<std::string>{"<3>too many arguments"});
      EXPECT_EQ(limit, -1);  // nothing stored after a failure
    }
  }
}

TEST(ArgsTest, MandatoryPositionalTakesTextThatLooksLikeAKeyword) {
  String text;
  EXPECT_EQ(Args(Conf("FOO bar"), nullptr, nullptr)
                .read_string("TEXT", Args::kMandatory | Args::kPositional, text)
                .check_and_commit(),
            0);
  EXPECT_EQ(Std(text), "FOO bar");
}

TEST(ArgsTest, ArgumentProblemsAndTheirMessages) {
  struct Case {
    const char* conf;
    std::vector<std::string> lines;
  } cases[] = {
      {"", {"<3>N: required argument missing"}},
      {"N abc", {"<3>N: invalid number"}},
      {"N 2147483648", {"<3>N: out of range, bound 2147483647"}},
      {"U -1", {"<3>U: invalid number"}},
      {"B maybe", {"<3>B: parse error"}},
      {"W two words", {"<3>W: parse error"}},
      {"T 9999999999", {"<3>T: out of range"}},
      {"R fast", {"<3>R: parse error"}},
      {"COLOR 300", {"<3>COLOR: out of range, bound 255"}},
      {"COLOR x", {"<3>COLOR: invalid number"}},
      {"A NOSUCHANNO", {"<3>A: parse error"}},
      {"L 1.2.3.4 x", {"<3>L: parse error"}},
      {"FOO 1", {"<3>FOO: unknown argument"}},
      {"N", {"<3>N: required argument missing", "<3>too many arguments"}},  // keyword without value
      {"D 3", {"<4>D: warning: argument deprecated"}},
  };
  for (const Case& c : cases) {
    Lines errh;
    int32_t n = 7;
    uint32_t u = 7, t = 7, r = 7;
    bool b = false;
    String w("old");
    uint8_t color = 7;
    int anno = 7;
    Vector<IPAddress> list;
    int32_t deprecated = 0;
    Vector<String> conf = Conf(c.conf);
    bool mandatory_n = std::string(c.conf).empty() || c.conf[0] == 'N';
    Args args(conf, nullptr, &errh);
    args.read_int("N", mandatory_n ? Args::kMandatory : 0, n)
        .read_uint("U", 0, u)
        .read_bool("B", 0, b)
        .read_word("W", 0, w)
        .read_seconds("T", 0, t, 3)
        .read_bandwidth("R", 0, r)
        .read_anno("A", 0, anno, 1)
        .read_ip_list("L", 0, list)
        .read_int("D", Args::kDeprecated, deprecated);
    if (std::string(c.conf).rfind("COLOR", 0) == 0) args.read_color(color);
    int result = args.check_and_commit();
    EXPECT_EQ(errh.lines, c.lines) << c.conf;
    if (c.lines[0].find("warning") != std::string::npos) {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(deprecated, 3);
      continue;
    }
    EXPECT_EQ(result, -22) << c.conf;
    EXPECT_EQ(n, 7);
    EXPECT_EQ(u, 7u);
    EXPECT_EQ(Std(w), "old");
    EXPECT_EQ(color, 7);
    EXPECT_EQ(anno, 7);
    EXPECT_EQ(list.size(), 0);
  }
}

TEST(ArgsTest, NothingIsStoredUnlessEveryArgumentParses) {
  int32_t a = 0, b = 0, c = 0, d = 0, e = 0;
  String s("old");
  Lines errh;
  Args args(Conf("1, 2, 3, 4, 5, S text, BAD x"), nullptr, &errh);
  args.read_int("A", Args::kPositional, a)
      .read_int("B", Args::kPositional, b)
      .read_int("C", Args::kPositional, c)
      .read_int("D", Args::kPositional, d)  // beyond the inline buffer: a heap slot
      .read_int("E", Args::kPositional, e)
      .read_string("S", 0, s);
  int32_t bad = 0;
  args.read_int("BAD", 0, bad);
  EXPECT_EQ(args.check_and_commit(), -22);
  EXPECT_EQ(a + b + c + d + e, 0);
  EXPECT_EQ(Std(s), "old");

  Args good(Conf("1, 2, 3, 4, 5, S text"), nullptr, &errh);
  good.read_int("A", Args::kPositional, a)
      .read_int("B", Args::kPositional, b)
      .read_int("C", Args::kPositional, c)
      .read_int("D", Args::kPositional, d)
      .read_int("E", Args::kPositional, e)
      .read_string("S", 0, s);
  EXPECT_EQ(a + b + c + d + e, 0);  // only commit stores
  EXPECT_EQ(good.check_and_commit(), 0);
  EXPECT_EQ(std::vector<int>({a, b, c, d, e}), std::vector<int>({1, 2, 3, 4, 5}));
  EXPECT_EQ(Std(s), "text");
}

TEST(ArgsTest, KeywordsAndNames) {
  Lines errh;
  int32_t v = 0;
  Args(Conf("9X 1"), nullptr, &errh).read_int("9X", 0, v).commit();
  EXPECT_EQ(errh.lines,
            std::vector<std::string>{"<3>9X: keywords must start with a letter or underscore"});

  NameRegistry::static_initialize();
  int anno = -1;
  EXPECT_EQ(
      Args(Conf("ANNO PAINT"), nullptr, &errh).read_anno("ANNO", 0, anno, 1).check_and_commit(), 0);
  EXPECT_EQ(anno, 16);
  Vector<IPAddress> list;
  EXPECT_EQ(Args(Conf("ADDRS 10.0.0.1 10.0.0.2"), nullptr, &errh)
                .read_ip_list("ADDRS", 0, list)
                .check_and_commit(),
            0);
  EXPECT_EQ(list.size(), 2);
  NameRegistry::static_cleanup();

  // Keyword form needs a keyword, whitespace and a value.
  for (const char* positional : {"LABEL", "LABEL=x", "LABEL ", "9X y"}) {
    String got;
    Vector<String> conf;
    conf.push_back(String(positional));
    EXPECT_EQ(
        Args(conf, nullptr, &errh).read_string("LABEL", Args::kPositional, got).check_and_commit(),
        0)
        << positional;
    EXPECT_EQ(Std(got), positional);
  }
}

// Every reader kind stages its result: one bad argument leaves every
// variable as it was, and the same text with a good one stores them all.
TEST(ArgsTest, EveryReaderKindCommitsAllOrNothing) {
  NameRegistry::static_initialize();
  for (const char* n_text : {"N bad", "N 3"}) {
    const std::string text = std::string(n_text) +
                             ", S a  b, Q \"x y\", F \"dir/f.txt\", W word, B true, U 4, "
                             "T 1.5, R 1Mbps, A PAINT, L 1.2.3.4, COLOR 9";
    Lines errh;
    int32_t n = 7;
    String str("old"), unquoted("old"), filename("old"), word("old");
    bool b = false;
    uint32_t u = 7, t = 7, r = 7;
    int anno = 7;
    uint8_t color = 7;
    Vector<IPAddress> list;
    const int result = Args(Conf(text.c_str()), nullptr, &errh)
                           .read_int("N", 0, n)
                           .read_string("S", 0, str)
                           .read_unquoted("Q", 0, unquoted)
                           .read_filename("F", 0, filename)
                           .read_word("W", 0, word)
                           .read_bool("B", 0, b)
                           .read_uint("U", 0, u)
                           .read_seconds("T", 0, t, 3)
                           .read_bandwidth("R", 0, r)
                           .read_anno("A", 0, anno, 1)
                           .read_ip_list("L", 0, list)
                           .read_color(color)
                           .check_and_commit();
    const bool good = std::string(n_text) == "N 3";
    EXPECT_EQ(result, good ? 0 : -22) << n_text;
    EXPECT_EQ(errh.lines,
              good ? std::vector<std::string>{} : std::vector<std::string>{"<3>N: invalid number"});
    EXPECT_EQ(n, good ? 3 : 7);
    EXPECT_EQ(Std(str), good ? "a  b" : "old");
    EXPECT_EQ(Std(unquoted), good ? "x y" : "old");
    EXPECT_EQ(Std(filename), good ? "dir/f.txt" : "old");
    EXPECT_EQ(Std(word), good ? "word" : "old");
    EXPECT_EQ(b, good);
    EXPECT_EQ(u, good ? 4u : 7u);
    EXPECT_EQ(t, good ? 1500u : 7u);
    EXPECT_EQ(r, good ? 125000u : 7u);
    EXPECT_EQ(anno, good ? 16 : 7);
    EXPECT_EQ(color, good ? 9 : 7);
    EXPECT_EQ(list.size(), good ? 1 : 0);
  }
  NameRegistry::static_cleanup();
}

// With kFirstWins a positional reader takes a keyword argument written
// before the first positional value, else the positional value.
TEST(ArgsTest, FirstWinsWithAPositional) {
  struct Case {
    const char* conf;
    int32_t value;
    int result;
  } cases[] = {
      {"X 7, 5", 7, -22},  // the positional 5 is left over
      {"5, X 7", 5, -22},  // the keyword argument is left over
      {"5", 5, 0},
      {"X 7, X 8", 7, -22},  // the later match is left over
  };
  for (const Case& c : cases) {
    Lines errh;
    int32_t x = -1;
    Args args(Conf(c.conf), nullptr, &errh);
    args.read_int("X", Args::kPositional | Args::kFirstWins, x);
    EXPECT_EQ(args.commit(), 0) << c.conf;
    EXPECT_EQ(x, c.value) << c.conf;
    int32_t y = -1;
    EXPECT_EQ(Args(Conf(c.conf), nullptr, &errh)
                  .read_int("X", Args::kPositional | Args::kFirstWins, y)
                  .check_and_commit(),
              c.result)
        << c.conf;
  }
}

TEST(ArgsTest, RemoveConsumedEditsABoundVectorAndWordsAppend) {
  Vector<String> conf = Conf("MODE tunnel, extra, PORT 4");
  String mode;
  uint32_t port = 0;
  Args args(nullptr, nullptr);
  args.bind(conf).read_word("MODE", 0, mode).read_uint("PORT", 0, port).remove_consumed().commit();
  ASSERT_EQ(conf.size(), 1);
  EXPECT_EQ(Std(conf[0]), "extra");
  EXPECT_EQ(Std(mode), "tunnel");
  EXPECT_EQ(port, 4u);

  int32_t x = 0, y = 0;
  EXPECT_EQ(Args(nullptr, nullptr)
                .append_words(String("3 4"))
                .read_int("X", Args::kPositional, x)
                .read_int("Y", Args::kPositional, y)
                .check_and_commit(),
            0);
  EXPECT_EQ(x + y, 7);

  Lines* nobody = nullptr;
  EXPECT_EQ(Args(Conf("UNREAD 1"), nullptr, nobody).check_and_commit(),
            -22);  // silent, still fails
}

}  // namespace
