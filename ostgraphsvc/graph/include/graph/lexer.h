// Lexer: the reader of graph texts, here at its lexical level.
//
// A graph text is cut into tokens: words (letters, digits, '_' and '@',
// joined across '/' as in "nat/iprw"), variables ("$name"), the keywords
// "elementclass", "require", "provide" and "define", the connectors "->"
// and "=>", "::", "||", "...", and single characters. "//" and "/*" comments
// and whitespace separate them. LF, CR and CR LF each end one line. A '#' at
// the start of a line is a line directive ("# 40 \"lib.graph\"",
// "#line 7") that renames the position reported for the lines after it.
//
// Token and configuration texts are slices sharing the input text's memory;
// with the compact flag set, slices of a much larger block are copied so
// that they do not keep the whole text alive.
//
// Every lexical problem is reported through the parse's error handler at the
// current position (`make_landmark` of the current file name and line) with
// `parse_error`, and reading goes on: any byte sequence ends in tokens and
// messages. Kind 0 marks the end of the text and repeats.
//
// Statements. A parse (`start_parse`, then `parse_step` while `parsing()`,
// then `finish_parse`) reads element declarations, connection chains,
// groups, class definitions, "require" and "define" into the element table
// of the top-level compound (`top_compound`) and the class table. The
// parser is a state machine over an explicit stack of levels (the text, a
// class body, a group), so nesting costs no native stack; groups and class
// bodies nest at most 49 deep. Every problem is reported and reading goes
// on, so any text ends the parse in tables and messages.
//
// One Lexer per process, used by the thread that reads graph files. The
// error handler and the `LexerExtra` hook are not owned and must outlive
// their parse. The top-level compound, the levels and everything the parse
// added to the class table belong to the Lexer until `finish_parse`.
#ifndef GRAPH_LEXER_H_
#define GRAPH_LEXER_H_

#include <cstdint>

#include "graph/error_handler.h"
#include "graph/lexer_tables.h"
#include "graph/string.h"
#include "graph/vector.h"

class Master;
class Router;

// Told about each requirement a parse records ("package", "compact_config").
class LexerExtra {
 public:
  virtual ~LexerExtra() = default;
  virtual void require(const String& type, const String& value, ErrorHandler* errh);
};

class Lexer : public LexerTables {
 public:
  // Token kinds beyond single characters (whose kind is their byte value).
  enum : int {
    kEnd = 0,
    kIdentifier = 256,
    kVariable,
    kArrow,        // "->"
    kDoubleArrow,  // "=>"
    kDoubleColon,  // "::"
    kDoubleBar,    // "||"
    kEllipsis,     // "..."
    kElementclass,
    kRequire,
    kProvide,
    kDefine,
  };

  struct Token {
    int kind = kEnd;
    // The token's characters; a variable's name without '$'; "" at the end.
    String text;
  };

  // The text being read. Saved whole while an included file is read.
  struct InputText {
    String text;
    const char* end = nullptr;
    const char* pos = nullptr;
    // Reported in landmarks; changed by line directives.
    String file_name;
    // What a directive naming an empty file goes back to.
    String opening_file_name;
    int line = 1;
  };

  // An element read but not yet resolved.
  struct PendingElement {
    String name;
    // Class index when the name is a class name, else -1.
    int class_of_name = -1;
    // Class given after "::", -1 when none.
    int declared_class = -1;
    // Neither "::" nor a configuration was given.
    bool bare = false;
    String config;
    String file_name;
    int line = 0;
    PendingElement* next = nullptr;
  };

  // One nesting level of the statement parser.
  struct ParseLevel {
    enum Kind : int { kFile = 0, kClassBody = 1, kGroup = 2 };
    int state = 0;
    int kind = kFile;
    // Sections of element records (see `parse_port_list`).
    Vector<int> left_section;
    int connector = kArrow;
    PendingElement* pending_head = nullptr;
    PendingElement* pending_tail = nullptr;
    bool implicit = false;
    bool ports = false;
    bool ends_at_output = true;
    Vector<int> section;
    int mark = 0;
    String name;
    // A class definition in progress at this level.
    ClassMapMark saved_classes;
    Compound* enclosing = nullptr;
    // The first alternative is owned here until the definition ends; later
    // ones belong to the class table.
    Compound* first = nullptr;
    Compound* last = nullptr;
    int extended_class = -1;
    // A class body level owns its compound until the alternative closes.
    Compound* body = nullptr;
    ParseLevel* parent = nullptr;
    int depth = 0;
  };

  // Groups and class bodies deeper than this are refused.
  static constexpr int kMaxNestingDepth = 50;
  // Line directives may name lines up to this, and file names up to this
  // many bytes (quotes included); more is reported and cut.
  static constexpr int kMaxLineNumber = 1 << 24;
  static constexpr int kMaxFileNameLength = 1024;
  // Libraries may include libraries this deep.
  static constexpr int kMaxLibraryDepth = 16;

  Lexer();
  ~Lexer() override;

  // Starts a parse of `text`; returns the cookie for `finish_parse`. Null
  // `errh` gives a silent handler.
  int start_parse(const String& text, const String& file_name, LexerExtra* extra,
                  ErrorHandler* errh);
  bool parsing() const { return level_ != nullptr; }
  // One step of the current level's state machine.
  void parse_step();
  // Removes the classes added since `cookie` (kNoEntry: every scoped one),
  // the tunnels, the top level, any level left, and the requirements.
  void finish_parse(int cookie);
  // After the last `parse_step`, once per parse: places the compound
  // elements, creates the elements through their class factories, resolves
  // tunnels into direct connections and hands everything to a new,
  // uninitialised Router (the caller's). Problems are reported and leave the
  // element or connection out; null only when no Router can be made.
  Router* build_router(Master* master);
  // Placing of top-level element `e` in `env`: settles an anonymous name,
  // expands the configuration and places a compound's body. Compounds nest
  // at most 49 deep when placed; deeper uses become "Error" elements.
  void expand_element(int e, VariableEnvironment& env);
  // Appends the real ports that port `port` of top-level element `e` stands
  // for on the given side, following tunnels.
  void resolve_port(int e, int port, bool output, Vector<ElementPort>& out);

  // What the variable replacements of the current graph may still spend,
  // all of them together; reset by `start_parse`.
  VariableExpansionLimit& expansion_budget() { return expansion_budget_; }

  Compound* top_compound() const { return top_; }
  Compound* current_compound() const { return compound_; }
  // Pairs of type and value, in order.
  const Vector<String>& requirements() const { return requirements_; }
  const Vector<String>& libraries() const { return libraries_; }

  // Starts reading `text` at line 1 under `file_name` ("config" when empty).
  // The push-back stack and compact flag are left alone.
  void open_text(const String& text, const String& file_name);
  const InputText& input_text() const { return input_; }
  const String& file_name() const { return input_.file_name; }
  int line_number() const { return input_.line; }
  // `make_landmark` of the current position.
  String landmark() const { return make_landmark(input_.file_name, input_.line); }

  // Null gives a silent handler.
  void set_error_handler(ErrorHandler* errh);
  ErrorHandler* errh() const { return errh_; }
  void set_compact(bool compact) { compact_ = compact; }
  bool compact() const { return compact_; }

  // The most recently pushed-back token, else the next one of the text.
  Token read_token();
  // At most two tokens wait at a time; a third push is dropped.
  void push_back_token(const Token& token);
  // The raw configuration text after a "(": up to the ')' matching it, which
  // stays unread, or to the end of the text. Nested parentheses, quoted
  // strings, hex blocks and comments stay in; line directive lines are left
  // out.
  String read_config_text();
  // Consumes the next token when it has `kind`; otherwise leaves it unread
  // and, unless `quiet`, reports "expected KIND".
  bool expect_token(int kind, bool quiet);
  // The name messages give a token kind: "identifier", "'->'", "')'",
  // "'\000'".
  static String token_kind_name(int kind);

 protected:
  String reader_file_name() const override { return input_.file_name; }
  int reader_line_number() const override { return input_.line; }
  ErrorHandler* reader_errh() const override { return errh_; }
  int reader_next_token(String& text) override;
  void reader_push_back(int kind, const String& text) override;
  bool reader_accept(int kind) override;

 private:
  Token next_token();
  // Counts the line break at `p` (LF, CR or CR LF); returns the position
  // after it.
  const char* skip_line_break(const char* p);
  // `p` is after "/*": skips to after "*/" or to the end, counting lines.
  const char* skip_block_comment(const char* p);
  // `p` is at a '#' that starts a line. Returns the position of the line
  // break that ends the directive (or the end).
  const char* read_line_directive(const char* p);
  // Quoted strings and hex blocks inside configuration texts; `p` is at the
  // opening character, the result after the closing one.
  const char* skip_quoted(const char* p);
  const char* skip_hex_block(const char* p);
  Token make_token(int kind, const char* begin, const char* end);
  String maybe_compact(const String& text) const;

  // Statements.
  void push_level(int kind, int state);
  // Frees the current level; its parent becomes current.
  void pop_level();
  static void free_level(ParseLevel* level);
  void parse_statement_start();
  void start_section();
  void parse_element();
  void parse_element_declaration(int class_of_name, bool bare, bool implicit);
  void parse_element_suffix(bool implicit);
  void close_section();
  void resolve_pending();
  void parse_connector();
  void end_chain();
  void open_group();
  void close_group();
  void parse_require();
  void record_requirement(const String& type, const String& value);
  void include_library(const String& name);
  void parse_define();
  void report_syntax_error(const Token& token);
  // The body of `build_router`; may throw std::bad_alloc, leaving the
  // router to its caller to delete.
  void fill_router(Router* router);

  // Class definitions.
  void parse_class_statement();
  void open_class_definition();
  void parse_class_alternative();
  void parse_class_parameters(Compound* c);
  void close_class_alternative(int token_kind);
  void end_class_definition();

  InputText input_;
  bool nul_reported_ = false;
  Token pushed_[2];
  int npushed_ = 0;
  bool compact_ = false;
  SilentErrorHandler silent_errh_;
  ErrorHandler* errh_ = &silent_errh_;

  LexerExtra* extra_ = nullptr;
  Compound* top_ = nullptr;
  ParseLevel* level_ = nullptr;
  Vector<String> requirements_;
  Vector<String> libraries_;
  // Files read so far (the text and its libraries), by identity.
  struct FileId {
    bool known = false;
    uint64_t device = 0;
    uint64_t inode = 0;
  };
  static FileId file_id(const String& path);
  Vector<FileId> library_ids_;
  int library_depth_ = 0;
  // Compound placings under way, for the nesting limit.
  int placing_depth_ = 0;
  // The parse has said that groups or class bodies nest too deep.
  bool nesting_reported_ = false;
  VariableExpansionLimit expansion_budget_{nullptr};
};

#endif  // GRAPH_LEXER_H_
