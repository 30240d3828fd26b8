#include <cstdint>

#include "graph/confparse.h"
#include "graph/string_builder.h"

int cp_last_status = 0;

namespace {

bool is_space(char c) { return c == ' ' || (c >= 9 && c <= 13); }

bool is_comment_start(const char* p, const char* end) {
  return p + 1 < end && p[0] == '/' && (p[1] == '/' || p[1] == '*');
}

// `p` is at a comment start; returns the position after the comment.
const char* skip_comment(const char* p, const char* end) {
  if (p[1] == '/') {
    for (p += 2; p < end && *p != '\n' && *p != '\r'; ++p) {
    }
    return p;
  }
  for (p += 2; p + 1 < end; ++p) {
    if (p[0] == '*' && p[1] == '/') return p + 2;
  }
  return end;
}

// `p` is at the opening quote; returns the position after the closing one.
const char* skip_double_quoted(const char* p, const char* end) {
  for (++p; p < end;) {
    if (*p == '"') return p + 1;
    p = *p == '\\' ? cp_skip_backslash(p, end) : p + 1;
  }
  return end;
}

const char* skip_single_quoted(const char* p, const char* end) {
  for (++p; p < end; ++p) {
    if (*p == '\'') return p + 1;
  }
  return end;
}

bool is_hex_block(const char* p, const char* end) {
  return p + 1 < end && p[0] == '\\' && p[1] == '<';
}

// The end of the token at `p`: a quoted string, a hex block, or one byte.
const char* skip_token(const char* p, const char* end) {
  if (*p == '"') return skip_double_quoted(p, end);
  if (*p == '\'') return skip_single_quoted(p, end);
  if (is_hex_block(p, end)) return cp_skip_backslash(p, end);
  return p + 1;
}

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

bool is_word_char(char c) {
  return c >= '!' && c <= '~' && c != '"' && c != '\'' && c != ',' && c != '\\';
}

bool is_keyword_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
         c == '.' || c == ':' || c == '?' || c == '!';
}

String slice(const String& text, const char* begin, const char* end) {
  return text.substring(static_cast<int>(begin - text.data()), static_cast<int>(end - text.data()));
}

}  // namespace

const char* cp_skip_backslash(const char* p, const char* end) {
  if (p + 1 >= end) return end;
  if (p[1] == '<') {
    for (p += 2; p < end;) {
      if (*p == '>') return p + 1;
      p = is_comment_start(p, end) ? skip_comment(p, end) : p + 1;
    }
    return end;
  }
  if (p[1] == '\r' && p + 2 < end && p[2] == '\n') return p + 3;
  return p + 2;
}

const char* cp_skip_space_and_comments(const char* p, const char* end) {
  while (p < end) {
    if (is_space(*p)) {
      ++p;
    } else if (is_comment_start(p, end)) {
      p = skip_comment(p, end);
    } else {
      break;
    }
  }
  return p;
}

const char* cp_skip_word(const char* p, const char* end) {
  while (p < end && !is_space(*p) && !is_comment_start(p, end)) p = skip_token(p, end);
  return p;
}

String cp_uncomment_part(const String& text, int start, int* comma_index) {
  const char* end = text.end();
  const char* p = text.begin() + (start < 0 ? 0 : start > text.length() ? text.length() : start);
  p = cp_skip_space_and_comments(p, end);
  const char* kept = p;
  const char* kept_end = p;
  bool separator = false;
  StringBuilder flushed;
  bool any_flushed = false;
  while (p < end) {
    if (is_space(*p)) {
      ++p;
      continue;
    }
    if (is_comment_start(p, end)) {
      p = skip_comment(p, end);
      separator = true;
      continue;
    }
    if (*p == ',' && comma_index != nullptr) break;
    if (separator) {
      flushed.append(kept, static_cast<int>(kept_end - kept));
      flushed.append(' ');
      any_flushed = true;
      kept = p;
      separator = false;
    }
    p = skip_token(p, end);
    kept_end = p;
  }
  if (comma_index != nullptr) *comma_index = static_cast<int>(p - text.begin());
  if (!any_flushed) return slice(text, kept, kept_end);
  flushed.append(kept, static_cast<int>(kept_end - kept));
  return flushed.take_string();
}

String cp_uncomment(const String& text) { return cp_uncomment_part(text, 0); }

void cp_split_arguments(const String& text, Vector<String>* arguments) {
  for (int i = 0; i < text.length();) {
    int comma;
    String part = cp_uncomment_part(text, i, &comma);
    if (!part.empty() || comma < text.length()) arguments->push_back(part);
    i = comma + 1;
  }
}

void cp_split_words(const String& text, Vector<String>* words) {
  const char* end = text.end();
  const char* p = cp_skip_space_and_comments(text.begin(), end);
  while (p < end) {
    const char* word_end = cp_skip_word(p, end);
    words->push_back(slice(text, p, word_end));
    p = cp_skip_space_and_comments(word_end, end);
  }
}

String cp_pop_word(String* text) {
  const char* end = text->end();
  const char* p = cp_skip_space_and_comments(text->begin(), end);
  const char* word_end = cp_skip_word(p, end);
  String word = slice(*text, p, word_end);
  *text = slice(*text, cp_skip_space_and_comments(word_end, end), end);
  return word;
}

const char* cp_process_backslash(const char* p, const char* end, StringBuilder* out) {
  if (p + 1 >= end) {
    out->append('\\');
    return end;
  }
  char c = p[1];
  p += 2;
  switch (c) {
    case '\r':
      return p < end && *p == '\n' ? p + 1 : p;
    case '\n':
      return p;
    case 'a':
      out->append('\a');
      return p;
    case 'b':
      out->append('\b');
      return p;
    case 'f':
      out->append('\f');
      return p;
    case 'n':
      out->append('\n');
      return p;
    case 'r':
      out->append('\r');
      return p;
    case 't':
      out->append('\t');
      return p;
    case 'v':
      out->append('\v');
      return p;
    case 'x': {
      unsigned value = 0;
      for (; p < end && hex_value(*p) >= 0; ++p) {
        value = ((value << 4) | static_cast<unsigned>(hex_value(*p))) & 0xFF;
      }
      out->append(static_cast<char>(value));
      return p;
    }
    case '<': {
      int high = -1;
      while (p < end && *p != '>') {
        if (is_comment_start(p, end)) {
          p = skip_comment(p, end);
          continue;
        }
        int digit = hex_value(*p++);
        if (digit < 0) continue;
        if (high < 0) {
          high = digit;
          continue;
        }
        out->append(static_cast<char>(high * 16 + digit));
        high = -1;
      }
      return p < end ? p + 1 : end;
    }
    default:
      break;
  }
  if (c < '0' || c > '7') {
    out->append(c);
    return p;
  }
  unsigned value = static_cast<unsigned>(c - '0');
  for (int digits = 1; digits < 3 && p < end && *p >= '0' && *p <= '7'; ++digits, ++p) {
    value = value * 8 + static_cast<unsigned>(*p - '0');
  }
  out->append(static_cast<char>(value & 0xFF));
  return p;
}

namespace {

// Unquotes a text whose comments, if any, are meant literally.
String unquote(const String& plain) {
  const char* end = plain.end();
  StringBuilder out;
  const char* copied = plain.begin();
  bool changed = false;
  char quote = 0;
  for (const char* p = plain.begin(); p < end;) {
    char c = *p;
    if ((quote == 0 && (c == '"' || c == '\'')) || (quote != 0 && c == quote)) {
      out.append(copied, static_cast<int>(p - copied));
      quote = quote == 0 ? c : 0;
      copied = ++p;
      changed = true;
      continue;
    }
    if (c == '\\' && p + 1 < end && (quote == '"' || (quote == 0 && p[1] == '<'))) {
      out.append(copied, static_cast<int>(p - copied));
      copied = p = cp_process_backslash(p, end, &out);
      changed = true;
      continue;
    }
    ++p;
  }
  if (!changed) return plain;
  out.append(copied, static_cast<int>(end - copied));
  return out.take_string();
}

}  // namespace

String cp_unquote_text(const String& text) { return unquote(cp_uncomment(text)); }

String cp_quote_text(const String& text) {
  StringBuilder out;
  out.append('"');
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (c == '\t') {
      out.append("\\t");
    } else if (c == '\n') {
      out.append("\\n");
    } else if (c == '\r') {
      out.append("\\r");
    } else if (c == '"' || c == '$' || c == '\\') {
      out.append('\\');
      out.append(c);
    } else if (byte < ' ' || byte > '~') {
      char octal[4] = {'\\', static_cast<char>('0' + (byte >> 6)),
                       static_cast<char>('0' + ((byte >> 3) & 7)),
                       static_cast<char>('0' + (byte & 7))};
      out.append(octal, 4);
    } else {
      out.append(c);
    }
  }
  out.append('"');
  return out.take_string();
}

namespace {

bool parse_string(const String& text, String* value, String* rest, bool literal) {
  const char* end = text.end();
  const char* word_end = text.begin();
  while (word_end < end && !is_space(*word_end)) word_end = skip_token(word_end, end);
  if (word_end == text.begin()) return false;
  if (rest == nullptr && word_end != end) return false;
  String word = slice(text, text.begin(), word_end);
  *value = literal ? unquote(word) : cp_unquote_text(word);
  if (rest != nullptr) *rest = slice(text, word_end, end);
  return true;
}

}  // namespace

bool cp_parse_string(const String& text, String* value, String* rest) {
  return parse_string(text, value, rest, false);
}

bool cp_parse_literal_string(const String& text, String* value, String* rest) {
  return parse_string(text, value, rest, true);
}

bool cp_parse_word(const String& text, String* value, String* rest) {
  String word;
  String after;
  if (!cp_parse_string(text, &word, rest != nullptr ? &after : nullptr) || word.empty()) {
    return false;
  }
  for (char c : word) {
    if (!is_word_char(c)) return false;
  }
  *value = word;
  if (rest != nullptr) *rest = after;
  return true;
}

bool cp_parse_keyword(const String& text, String* keyword, String* rest) {
  const char* end = text.end();
  const char* p = text.begin();
  for (; p < end && !is_space(*p); ++p) {
    if (!is_keyword_char(*p)) return false;
  }
  if (p == text.begin()) return false;
  if (rest == nullptr && p != end) return false;
  *keyword = slice(text, text.begin(), p);
  if (rest == nullptr) return true;
  while (p < end && is_space(*p)) ++p;
  *rest = slice(text, p, end);
  return true;
}

const char* cp_parse_basic_integer(const char* begin, const char* end, int flags, int* value) {
  IntegerParser parser;
  parser.base = flags & cp_basic_base_mask;
  uint32_t limb;
  int nlimbs;
  const char* number_end = cp_parse_integer(parser, begin, end, true, 4, &limb, &nlimbs);
  if (parser.status == cp_invalid || ((flags & cp_basic_whole_text) && number_end != end)) {
    cp_last_status = 1;
    return begin;
  }
  *value = static_cast<int32_t>(limb);
  cp_last_status = parser.status == cp_range ? 3 : 0;
  return number_end;
}
