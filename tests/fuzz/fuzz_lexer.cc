// Graph files are written by people: any bytes must end in tokens and
// messages, with configuration texts taken after an element's "(", and
// variable replacement must end (depth and size limits) for any text, even
// in an environment whose values name themselves and fan out. Whole
// statements must end in element tables within a bounded number of parse
// steps (the nesting limits keep the level stack finite), and every
// compound use must choose an alternative or report.
#include <cstdint>
#include <cstdlib>

#include "graph/argument_types.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/lexer.h"
#include "graph/string.h"
#include "graph/variable_environment.h"

namespace {

bool inside(const String& part, const String& whole) {
  return part.empty() || (part.data() >= whole.data() && part.end() <= whole.end());
}

void lex_all(const String& text, bool compact) {
  static Lexer lexer;
  static SilentErrorHandler errh;
  lexer.set_error_handler(&errh);
  lexer.open_text(text, String("fuzz"));
  lexer.set_compact(compact);
  const Lexer::InputText& input = lexer.input_text();
  int previous = Lexer::kEnd;
  // Every read consumes at least one byte until the end; more steps is a hang.
  const int max_steps = 2 * text.length() + 8;
  for (int step = 0;; ++step) {
    if (step > max_steps) std::abort();
    Lexer::Token token = lexer.read_token();
    if (token.kind == Lexer::kEnd && input.pos == input.end) break;
    if (!compact && !inside(token.text, text)) std::abort();
    Lexer::token_kind_name(token.kind);
    if (token.kind == '(' && (previous == Lexer::kIdentifier || previous == '}')) {
      String config = lexer.read_config_text();
      if (config.length() > text.length()) std::abort();
      lexer.expect_token(')', false);
    } else if (token.kind == Lexer::kIdentifier && (step & 3) == 0) {
      // The parser looks one token ahead and pushes both back.
      Lexer::Token next = lexer.read_token();
      lexer.push_back_token(next);
      lexer.push_back_token(token);
      if (!lexer.expect_token(Lexer::kIdentifier, true)) std::abort();
    }
    previous = token.kind;
  }
  if (lexer.read_token().kind != Lexer::kEnd) std::abort();
  lexer.landmark();
}

void expand_all(const String& text) {
  VariableEnvironment top;
  top.bind(String("a"), String("1"), false);
  top.bind(String("b"), String("x \"y\" \\z"), false);
  top.bind(String("self"), String("<$self>"), false);
  top.bind(String("fan"), String("$fan$fan$fan$fan${fan}"), false);
  top.bind(String("mix"), String("${b[1]}$(a)${c-$fan}'$a'\"$b\""), false);
  top.bind(String("in"), text, false);
  VariableEnvironment inner(&top);
  inner.bind(String("c"), String("$in$in"), false);
  inner.bind(String("$"), String("$$"), false);
  SilentErrorHandler errh;
  String result = expand_variables(text, inner, 0, &errh);
  if (result.length() > text.length() + kVariableResultLimit) std::abort();
}

// Places nothing, but does for every compound use what placing does first:
// choose the alternative and make the use's variables.
void choose_alternatives(Lexer& lexer, ErrorHandler* errh) {
  LexerTables::Compound* top = lexer.top_compound();
  for (int e = 0; e < top->nelements(); ++e) {
    const int index = top->element_class(e);
    LexerTables::Compound* c = lexer.class_compound(index);
    if (c == nullptr) continue;
    Vector<String> args;
    cp_split_arguments(expand_variables(top->element_config(e), top->scope(), 0, errh), &args);
    const int chosen =
        c->select_alternative(lexer, index, top->element_ninputs(e), top->element_noutputs(e), args,
                              errh, lexer.landmark());
    LexerTables::Compound* k = lexer.class_compound(chosen);
    if (k == nullptr) continue;
    VariableEnvironment env = k->make_use_environment(&top->scope(), args);
    for (int j = 2; j < k->nelements(); ++j) expand_variables(k->element_config(j), env, 0, errh);
  }
}

void parse_all(const String& text) {
  static Lexer lexer;
  static bool registered = false;
  if (!registered) {
    cp_add_standard_argument_types();
    for (const char* name : {"Print", "Discard", "Idle", "Queue"})
      lexer.add_class(String(name), LexerTables::error_element_factory, 0, false);
    registered = true;
  }
  SilentErrorHandler errh;
  const int cookie = lexer.start_parse(text, String("fuzz"), nullptr, &errh);
  // A step reads at least one token or closes a level, and each token
  // closes at most the levels of one nesting.
  const long max_steps = 8L * (text.length() + 1) * (Lexer::kMaxNestingDepth + 2);
  for (long step = 0; lexer.parsing(); ++step) {
    if (step > max_steps) std::abort();
    lexer.parse_step();
  }
  choose_alternatives(lexer, &errh);
  lexer.finish_parse(cookie);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  // A copy of exactly the input's size, so that an overread is caught.
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  lex_all(text, false);
  lex_all(text, true);
  expand_all(text);
  parse_all(text);
  return 0;
}
