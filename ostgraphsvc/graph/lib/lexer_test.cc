#include "graph/lexer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Lines;
using graph_testing::Std;

String Str(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

// One token as the tests write it: identifiers bare, variables with '$',
// every other kind by its message name.
std::string Show(const Lexer::Token& token) {
  if (token.kind == Lexer::kIdentifier) return Std(token.text);
  if (token.kind == Lexer::kVariable) return "$" + Std(token.text);
  return Std(Lexer::token_kind_name(token.kind));
}

// The tokens of `text` up to the end, each followed by "@line" when
// `with_lines`, joined by spaces.
std::string Tokens(const std::string& text, bool with_lines = false) {
  Lexer lexer;
  lexer.open_text(Str(text), String("f"));
  std::string out;
  for (int i = 0; i < 100; ++i) {
    Lexer::Token token = lexer.read_token();
    if (token.kind == Lexer::kEnd) break;
    if (!out.empty()) out += ' ';
    out += Show(token);
    if (with_lines) out += "@" + Std(lexer.landmark());
  }
  return out;
}

TEST(LexerTest, TokenStreams) {
  struct Case {
    const char* text;
    const char* tokens;
  } cases[] = {
      {"a->b", "a '->' b"},
      {"a - > b", "a '-' '>' b"},
      {"a-", "a '-'"},
      {"a=>b||c|d", "a '=>' b '||' c '|' d"},
      {"x/y/z", "x/y/z"},
      {"x/ y", "x '/' y"},
      {"a/", "a '/'"},
      {"x//y\nz", "x z"},
      {"a/*(*/b", "a b"},
      {"a /* unterminated", "a"},
      {"@x_1/@y 12 0x1f", "@x_1/@y 12 0x1f"},
      {"$foo_1 $ x $@", "$foo_1 '$' x '$' @"},
      {"${x}", "'$' '{' x '}'"},
      {".... ..", "'...' '.' '.' '.'"},
      {"a::b a:b :::", "a '::' b a ':' b '::' ':'"},
      {"elementclass require provide define", "'elementclass' 'require' 'provide' 'define'"},
      {"Define defines elementclass/x define_", "Define defines elementclass/x define_"},
      {"a(b, c) [0]; {}", "a '(' b ',' c ')' '[' 0 ']' ';' '{' '}'"},
      {"  # x", "'#' x"},
      {"a #1", "a '#' 1"},
      {"a\x01", "a '\\001'"},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokens(c.text), c.tokens) << c.text;
}

TEST(LexerTest, EveryLineEndCountsOneLine) {
  struct Case {
    const char* text;
    const char* tokens;
  } cases[] = {
      {"a\nb\r\nc\rd", "a@f:1 b@f:2 c@f:3 d@f:4"},
      {"a\r\rb\r\n\nc", "a@f:1 b@f:3 c@f:5"},
      {"/*\r\n\r*/a", "a@f:3"},
      {"//(\r\na // x\rb", "a@f:2 b@f:3"},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokens(c.text, true), c.tokens) << c.text;
}

TEST(LexerTest, LineDirectivesMovePositions) {
  struct Case {
    const char* text;
    const char* tokens;
  } cases[] = {
      {"a\n# 40 \"lib.graph\"\nb", "a@f:1 b@lib.graph:40"},
      {"#line 7\nb", "b@f:7"},
      {"\r#line\t3 \"g\" junk\r\nb", "b@g:3"},
      {"# 3 \"x\"\n# 5 \"\"\nb", "b@f:5"},
      {"#9 \"q\\\"z\nb", "b@q\"z:9"},
      {"#40 lib.graph\nb", "b@f:40"},
      {"/* x */\n#2\nb", "b@f:2"},
      {"#2", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(Tokens(c.text, true), c.tokens) << c.text;
}

TEST(LexerTest, UnknownDirectiveIsReportedAndSkipped) {
  Lines errh;
  Lexer lexer;
  lexer.set_error_handler(&errh);
  lexer.open_text(String("a\n#foo (\n#line\r\nb\n#"), String());
  EXPECT_EQ(Std(lexer.read_token().text), "a");
  Lexer::Token b = lexer.read_token();
  EXPECT_EQ(Std(b.text), "b");
  EXPECT_EQ(Std(lexer.landmark()), "config:4");
  EXPECT_EQ(lexer.read_token().kind, Lexer::kEnd);
  EXPECT_EQ(errh.lines, (std::vector<std::string>{
                            "<3>{l:config:2}unknown preprocessor directive",
                            "<3>{l:config:3}unknown preprocessor directive",
                            "<3>{l:config:5}unknown preprocessor directive",
                        }));
  EXPECT_EQ(errh.error_count(), 3);
}

// The configuration text after the first "(" of `text`, then the remaining
// tokens with the position of the first.
std::string Config(const std::string& text) {
  Lexer lexer;
  lexer.open_text(Str(text), String("f"));
  EXPECT_EQ(lexer.read_token().kind, '(');
  std::string out = "[" + Std(lexer.read_config_text()) + "]";
  Lexer::Token next = lexer.read_token();
  out += " " + Show(next) + "@" + Std(lexer.landmark());
  for (Lexer::Token t = lexer.read_token(); t.kind != Lexer::kEnd; t = lexer.read_token()) {
    out += " " + Show(t);
  }
  return out;
}

TEST(LexerTest, ConfigurationTextEndsAtItsOwnParenthesis) {
  struct Case {
    const char* text;
    const char* expected;
  } cases[] = {
      {"(a(b), \")\", ')' // )\n x) y", "[a(b), \")\", ')' // )\n x] ')'@f:2 y"},
      {"(\"a\\\")\") y", "[\"a\\\")\"] ')'@f:1 y"},
      {"('\\')x) y", "['\\'] ')'@f:1 x ')' y"},
      {"(\\<29 // >)\n 2a> /* ) */)", "[\\<29 // >)\n 2a> /* ) */] ')'@f:2"},
      {"(\"\\<29 ) \\\"> \\\r\n\")", "[\"\\<29 ) \\\"> \\\r\n\"] ')'@f:2"},
      {"(a\r\nb\rc\n)", "[a\r\nb\rc\n] ')'@f:4"},
      {"(a\n# 10 \"g\"\nb\n#line 20\n)", "[a\n\nb\n\n] ')'@g:20"},
      {"(a\n#bad\r\nb)", "[a\n\r\nb] ')'@f:3"},
      {"(a, \"b)", "[a, \"b)] '\\000'@f:1"},
      {"(/* ) ", "[/* ) ] '\\000'@f:1"},
  };
  for (const Case& c : cases) EXPECT_EQ(Config(c.text), c.expected) << c.text;
}

TEST(LexerTest, ExpectTokenLeavesAMismatchUnread) {
  Lines errh;
  Lexer lexer;
  lexer.set_error_handler(&errh);
  lexer.open_text(String("(x\n\n# 9 \"g\"\ny"), String("f"));
  EXPECT_TRUE(lexer.expect_token('(', false));
  EXPECT_TRUE(lexer.expect_token(Lexer::kIdentifier, false));
  EXPECT_FALSE(lexer.expect_token(')', false));
  EXPECT_EQ(Std(lexer.landmark()), "f:1");
  EXPECT_FALSE(lexer.expect_token(Lexer::kArrow, true));

  Lexer::Token y = lexer.read_token();
  EXPECT_EQ(Std(y.text), "y");
  EXPECT_EQ(Std(lexer.landmark()), "g:9");
  EXPECT_FALSE(lexer.expect_token(';', false));
  EXPECT_TRUE(lexer.expect_token(Lexer::kEnd, true));
  // The end repeats.
  EXPECT_EQ(lexer.read_token().kind, Lexer::kEnd);
  EXPECT_TRUE(lexer.expect_token(Lexer::kEnd, false));

  // Pushed-back tokens come first, last pushed first; a mismatch leaves them.
  lexer.push_back_token(y);
  lexer.push_back_token(Lexer::Token{'(', String("(")});
  EXPECT_FALSE(lexer.expect_token(Lexer::kIdentifier, false));
  EXPECT_TRUE(lexer.expect_token('(', false));
  EXPECT_EQ(Std(lexer.read_token().text), "y");
  EXPECT_EQ(lexer.read_token().kind, Lexer::kEnd);

  EXPECT_EQ(errh.lines, (std::vector<std::string>{
                            "<3>{l:f:1}expected ')'",
                            "<3>{l:g:9}expected ';'",
                            "<3>{l:g:9}expected identifier",
                        }));
}

TEST(LexerTest, TokenKindNames) {
  const char* names[] = {"identifier", "variable",  "'->'",    "'=>'",
                         "'::'",       "'||'",      "'...'",   "'elementclass'",
                         "'require'",  "'provide'", "'define'"};
  for (int kind = Lexer::kIdentifier; kind <= Lexer::kDefine; ++kind) {
    EXPECT_EQ(Std(Lexer::token_kind_name(kind)), names[kind - Lexer::kIdentifier]);
  }
  EXPECT_EQ(Std(Lexer::token_kind_name(')')), "')'");
  EXPECT_EQ(Std(Lexer::token_kind_name(' ')), "' '");
  EXPECT_EQ(Std(Lexer::token_kind_name(0)), "'\\000'");
  EXPECT_EQ(Std(Lexer::token_kind_name(31)), "'\\031'");
  EXPECT_EQ(Std(Lexer::token_kind_name(127)), "'\\127'");
  EXPECT_EQ(Std(Lexer::token_kind_name(255)), "'\\255'");
}

TEST(LexerTest, CompactFlagCopiesSmallSlicesOfLargeTexts) {
  std::string text = "elementclass id $var (cfg)" + std::string(1000, ' ');
  for (bool compact : {false, true}) {
    Lexer lexer;
    lexer.open_text(Str(text), String());
    lexer.set_compact(compact);
    const String& whole = lexer.input_text().text;
    Lexer::Token keyword = lexer.read_token();
    Lexer::Token id = lexer.read_token();
    Lexer::Token var = lexer.read_token();
    lexer.read_token();
    String config = lexer.read_config_text();
    EXPECT_EQ(keyword.text.memo(), whole.memo());
    EXPECT_EQ(id.text.memo() == whole.memo(), !compact);
    EXPECT_EQ(var.text.memo() == whole.memo(), !compact);
    EXPECT_EQ(config.memo() == whole.memo(), !compact);
    EXPECT_EQ(Std(id.text), "id");
    EXPECT_EQ(Std(var.text), "var");
    EXPECT_EQ(Std(config), "cfg");
  }
  // A text that fills its block is not copied: there is nothing to save.
  Lexer lexer;
  lexer.open_text(String("abc def"), String());
  lexer.set_compact(true);
  EXPECT_EQ(lexer.read_token().text.memo(), lexer.input_text().text.memo());
}

}  // namespace
