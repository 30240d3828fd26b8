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
// One Lexer per process, used by the thread that reads graph files. The
// error handler is not owned and must outlive its parse.
#ifndef GRAPH_LEXER_H_
#define GRAPH_LEXER_H_

#include "graph/error_handler.h"
#include "graph/lexer_tables.h"
#include "graph/string.h"

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

  Lexer();
  ~Lexer() override;

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

  InputText input_;
  Token pushed_[2];
  int npushed_ = 0;
  bool compact_ = false;
  SilentErrorHandler silent_errh_;
  ErrorHandler* errh_ = &silent_errh_;
};

#endif  // GRAPH_LEXER_H_
