// A parse of a graph text for the reader's tests: a few registered classes,
// the messages as a person reads them, and the resulting tables as text.
#ifndef GRAPH_LIB_LEXER_TESTING_H_
#define GRAPH_LIB_LEXER_TESTING_H_

#include <gtest/gtest.h>

#include <string>

#include "graph/lexer.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"

namespace graph_testing {

inline String Str(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

class Parse {
 public:
  explicit Parse(const std::string& text, LexerExtra* extra = nullptr) {
    for (const char* name : {"Print", "Discard", "CheckIPHeader", "Idle"})
      lexer.add_class(String(name), LexerTables::error_element_factory, 0, false);
    lexer.start_parse(Str(text), String("t.graph"), extra, messages_.errh());
    // Every step reads a token or closes a level; more steps is a hang.
    for (size_t steps = 0; lexer.parsing(); ++steps) {
      if (steps > 100 * (text.size() + 10)) {
        ADD_FAILURE() << "parse does not end: " << text;
        break;
      }
      lexer.parse_step();
    }
    messages = messages_.text();
  }

  LexerTables::Compound* compound(const char* name) {
    return lexer.class_compound(lexer.class_index(String(name)));
  }

  // "name:Class(config)" per element of `c` (the top level by default).
  std::string elements(const Lexer::Compound* c = nullptr) { return describe(c, true); }
  // "name:Class" per element of `c`.
  std::string element_classes(const Lexer::Compound* c) { return describe(c, false); }

  // "from[port]->to[port]" per connection of `c`.
  std::string connections(const Lexer::Compound* c = nullptr) {
    if (c == nullptr) c = lexer.top_compound();
    std::string out;
    for (const LexerTables::Connection& k : c->connections()) {
      if (!out.empty()) out += ' ';
      out += Std(c->element_name(k.from_element)) + "[" + std::to_string(k.from_port) + "]->" +
             Std(c->element_name(k.to_element)) + "[" + std::to_string(k.to_port) + "]";
    }
    return out;
  }

  std::string class_name(int index) {
    if (index < 0 || index >= lexer.nclass_entries()) return "?";
    return Std(lexer.class_entry(index).name);
  }

  // Messages made after the parse.
  std::string later_messages() { return messages_.text().substr(messages.size()); }
  ErrorHandler* errh() { return messages_.errh(); }

  Lexer lexer;
  std::string messages;

 private:
  std::string describe(const Lexer::Compound* c, bool with_config) {
    if (c == nullptr) c = lexer.top_compound();
    std::string out;
    for (int e = 0; e < c->nelements(); ++e) {
      if (!out.empty()) out += ' ';
      out += Std(c->element_name(e)) + ":" + class_name(c->element_class(e));
      if (with_config && !c->element_config(e).empty()) {
        out += "(" + Std(c->element_config(e)) + ")";
      }
    }
    return out;
  }

  Messages messages_;
};

}  // namespace graph_testing

#endif  // GRAPH_LIB_LEXER_TESTING_H_
