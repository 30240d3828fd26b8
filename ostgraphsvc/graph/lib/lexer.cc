#include "graph/lexer.h"

#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "graph/confparse.h"
#include "graph/string_builder.h"

namespace {

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
bool is_line_break(char c) { return c == '\n' || c == '\r'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_variable_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_';
}
bool is_word_char(char c) { return is_variable_char(c) || c == '@'; }

const char* skip_blanks(const char* p, const char* end) {
  while (p < end && is_blank(*p)) ++p;
  return p;
}

// Word texts that are keywords, in kind order from `Lexer::kElementclass`.
constexpr const char* kKeywords[] = {"elementclass", "require", "provide", "define"};

}  // namespace

Lexer::Lexer() { open_text(String(), String()); }

void Lexer::open_text(const String& text, const String& file_name) {
  input_.text = text;
  input_.pos = input_.text.begin();
  input_.end = input_.text.end();
  input_.file_name = file_name.empty() ? String("config") : file_name;
  input_.opening_file_name = input_.file_name;
  input_.line = 1;
  nul_reported_ = false;
}

void Lexer::set_error_handler(ErrorHandler* errh) {
  errh_ = errh != nullptr ? errh : &silent_errh_;
}

const char* Lexer::skip_line_break(const char* p) {
  // Saturate: a directive may set a line number near INT_MAX.
  if (input_.line < INT_MAX) ++input_.line;
  if (*p == '\r' && p + 1 < input_.end && p[1] == '\n') return p + 2;
  return p + 1;
}

const char* Lexer::skip_block_comment(const char* p) {
  const char* end = input_.end;
  while (p < end) {
    if (*p == '*' && p + 1 < end && p[1] == '/') return p + 2;
    p = is_line_break(*p) ? skip_line_break(p) : p + 1;
  }
  return end;
}

const char* Lexer::read_line_directive(const char* p) {
  const char* end = input_.end;
  p = skip_blanks(p + 1, end);
  if (end - p >= 5 && std::memcmp(p, "line", 4) == 0 && is_blank(p[4])) p = skip_blanks(p + 5, end);

  if (p >= end || !is_digit(*p)) {
    parse_error("unknown preprocessor directive");
    while (p < end && !is_line_break(*p)) ++p;
    return p;
  }

  int line = 0;
  for (; p < end && is_digit(*p); ++p)
    line = line > (INT_MAX - 9) / 10 ? INT_MAX : line * 10 + (*p - '0');
  // Landmarks add line numbers to per-file offsets in an int.
  if (line > kMaxLineNumber) {
    parse_error("line number too large (at most %d)", kMaxLineNumber);
    line = kMaxLineNumber;
  }

  p = skip_blanks(p, end);
  if (p < end && *p == '"') {
    const char* q = p + 1;
    while (q < end && *q != '"' && !is_line_break(*q)) {
      q += *q == '\\' && q + 1 < end && !is_line_break(q[1]) ? 2 : 1;
    }
    // The name goes into every later message about this file.
    if (q - p > kMaxFileNameLength) {
      parse_error("file name too long (at most %d bytes)", kMaxFileNameLength);
      q = p + kMaxFileNameLength;
    }
    StringBuilder quoted;
    quoted.append(p, static_cast<int>(q - p));
    quoted.append('"');
    String name = cp_unquote_text(quoted.take_string());
    input_.file_name = name.empty() ? input_.opening_file_name : name;
  }
  input_.line = line - 1;
  while (p < end && !is_line_break(*p)) ++p;
  return p;
}

String Lexer::maybe_compact(const String& text) const {
  if (!compact_) return text;
  const String::Memo* memo = text.memo();
  if (memo == nullptr || memo->refcount <= 1) return text;
  if (static_cast<int64_t>(memo->capacity) - text.length() <= 256) return text;
  return String(text.data(), text.length());
}

Lexer::Token Lexer::make_token(int kind, const char* begin, const char* end) {
  input_.pos = end;
  const int offset = static_cast<int>(begin - input_.text.begin());
  Token token;
  token.kind = kind;
  token.text = input_.text.substring(offset, offset + static_cast<int>(end - begin));
  if (kind == kIdentifier || kind == kVariable) token.text = maybe_compact(token.text);
  return token;
}

Lexer::Token Lexer::read_token() {
  if (npushed_ > 0) return pushed_[--npushed_];
  return next_token();
}

void Lexer::push_back_token(const Token& token) {
  if (npushed_ >= 2) return;
  pushed_[npushed_++] = token;
}

Lexer::Token Lexer::next_token() {
  const char* const text_begin = input_.text.begin();
  const char* const end = input_.end;
  const char* s = input_.pos;
  while (s < end) {
    char c = *s;
    if (is_line_break(c)) {
      s = skip_line_break(s);
    } else if (is_space(c)) {
      ++s;
    } else if (c == '/' && s + 1 < end && s[1] == '/') {
      // The line break ends the comment and is counted as whitespace.
      while (s < end && !is_line_break(*s)) ++s;
    } else if (c == '/' && s + 1 < end && s[1] == '*') {
      s = skip_block_comment(s + 2);
    } else if (c == '#' && (s == text_begin || is_line_break(s[-1]))) {
      s = read_line_directive(s);
    } else if (c == '\0') {
      // Token kind 0 is the end of the text: a NUL byte would end the graph
      // silently. Said once per text, then read as white space.
      if (!nul_reported_) {
        input_.pos = s;
        parse_error("NUL byte in configuration text ignored");
        nul_reported_ = true;
      }
      ++s;
    } else {
      break;
    }
  }
  if (s >= end) return make_token(kEnd, end, end);

  const char c = *s;
  if (is_word_char(c)) {
    const char* w = s + 1;
    for (;;) {
      while (w < end && is_word_char(*w)) ++w;
      if (w + 1 < end && *w == '/' && is_word_char(w[1])) {
        w += 2;
        continue;
      }
      break;
    }
    const size_t length = static_cast<size_t>(w - s);
    for (int k = 0; k < 4; ++k) {
      if (std::strlen(kKeywords[k]) == length && std::memcmp(kKeywords[k], s, length) == 0) {
        return make_token(kElementclass + k, s, w);
      }
    }
    return make_token(kIdentifier, s, w);
  }
  if (c == '$' && s + 1 < end && is_variable_char(s[1])) {
    const char* v = s + 1;
    while (v < end && is_variable_char(*v)) ++v;
    return make_token(kVariable, s + 1, v);
  }
  if (s + 1 < end) {
    const char d = s[1];
    if (c == '-' && d == '>') return make_token(kArrow, s, s + 2);
    if (c == '=' && d == '>') return make_token(kDoubleArrow, s, s + 2);
    if (c == ':' && d == ':') return make_token(kDoubleColon, s, s + 2);
    if (c == '|' && d == '|') return make_token(kDoubleBar, s, s + 2);
    if (c == '.' && d == '.' && s + 2 < end && s[2] == '.') return make_token(kEllipsis, s, s + 3);
  }
  return make_token(static_cast<unsigned char>(c), s, s + 1);
}

const char* Lexer::skip_hex_block(const char* p) {
  const char* end = input_.end;
  p += 2;
  while (p < end) {
    char c = *p;
    if (c == '>') return p + 1;
    if (c == '/' && p + 1 < end && p[1] == '/') {
      while (p < end && !is_line_break(*p)) ++p;
    } else if (c == '/' && p + 1 < end && p[1] == '*') {
      p = skip_block_comment(p + 2);
    } else {
      p = is_line_break(c) ? skip_line_break(p) : p + 1;
    }
  }
  return end;
}

const char* Lexer::skip_quoted(const char* p) {
  const char* end = input_.end;
  const char quote = *p++;
  while (p < end) {
    char c = *p;
    if (c == quote) return p + 1;
    if (quote == '"' && c == '\\' && p + 1 < end) {
      if (p[1] == '<') {
        p = skip_hex_block(p);
      } else if (is_line_break(p[1])) {
        p = skip_line_break(p + 1);
      } else {
        p += 2;
      }
      continue;
    }
    p = is_line_break(c) ? skip_line_break(p) : p + 1;
  }
  return end;
}

String Lexer::read_config_text() {
  const char* const start = input_.pos;
  const char* const end = input_.end;
  // Set once a directive line is cut out; the text before it is in `kept`.
  StringBuilder kept;
  bool cut = false;
  const char* run_start = start;
  const char* s = start;
  int depth = 1;
  while (s < end) {
    char c = *s;
    if (is_line_break(c)) {
      s = skip_line_break(s);
      if (s < end && *s == '#') {
        kept.append(run_start, static_cast<int>(s - run_start));
        cut = true;
        s = run_start = read_line_directive(s);
      }
    } else if (c == '(') {
      ++depth;
      ++s;
    } else if (c == ')') {
      if (depth == 1) break;
      --depth;
      ++s;
    } else if (c == '"' || c == '\'') {
      s = skip_quoted(s);
    } else if (c == '\\' && s + 1 < end && s[1] == '<') {
      s = skip_hex_block(s);
    } else if (c == '/' && s + 1 < end && s[1] == '/') {
      // Stop at the line break so that a directive after it is seen.
      while (s < end && !is_line_break(*s)) ++s;
    } else if (c == '/' && s + 1 < end && s[1] == '*') {
      s = skip_block_comment(s + 2);
    } else {
      ++s;
    }
  }
  input_.pos = s;
  if (!cut) {
    const int offset = static_cast<int>(start - input_.text.begin());
    return maybe_compact(input_.text.substring(offset, offset + static_cast<int>(s - start)));
  }
  kept.append(run_start, static_cast<int>(s - run_start));
  return kept.take_string();
}

bool Lexer::expect_token(int kind, bool quiet) {
  if (npushed_ > 0) {
    if (pushed_[npushed_ - 1].kind == kind) {
      --npushed_;
      return true;
    }
  } else {
    const char* pos = input_.pos;
    String file_name = input_.file_name;
    int line = input_.line;
    if (next_token().kind == kind) return true;
    input_.pos = pos;
    input_.file_name = file_name;
    input_.line = line;
  }
  if (!quiet) parse_error("expected %s", token_kind_name(kind).c_str());
  return false;
}

String Lexer::token_kind_name(int kind) {
  static constexpr const char* kNames[] = {
      "identifier", "variable",       "'->'",      "'=>'",      "'::'",     "'||'",
      "'...'",      "'elementclass'", "'require'", "'provide'", "'define'",
  };
  if (kind >= kIdentifier && kind <= kDefine) return String(kNames[kind - kIdentifier]);
  char buffer[24];
  if (kind >= 32 && kind <= 126) {
    std::snprintf(buffer, sizeof buffer, "'%c'", kind);
  } else {
    std::snprintf(buffer, sizeof buffer, "'\\%03d'", kind);
  }
  return String(buffer);
}

int Lexer::reader_next_token(String& text) {
  Token token = read_token();
  text = token.text;
  return token.kind;
}

void Lexer::reader_push_back(int kind, const String& text) {
  Token token;
  token.kind = kind;
  token.text = text;
  push_back_token(token);
}

bool Lexer::reader_accept(int kind) { return expect_token(kind, true); }
