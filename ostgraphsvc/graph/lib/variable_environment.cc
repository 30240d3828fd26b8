#include "graph/variable_environment.h"

#include <cstring>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/string_builder.h"

namespace {

// A lookup searches scopes and copies Strings: it is charged like copying
// this many bytes, so that fan-out over empty values is bounded too.
constexpr int kLookupCost = 256;

bool is_space(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

bool is_name_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

const char* skip_spaces(const char* p, const char* end) {
  while (p < end && is_space(*p)) ++p;
  return p;
}

String slice(const String& text, const char* begin, const char* end) {
  return text.substring(static_cast<int>(begin - text.begin()),
                        static_cast<int>(end - text.begin()));
}

// The ')' that closes a "$(" whose text starts at `p`, or `end`. Sets
// `*marked` when the text holds a "$" to replace first.
const char* find_paren_close(const char* p, const char* end, bool* marked) {
  int level = 1;
  char quote = 0;
  for (; p < end; ++p) {
    char c = *p;
    if (c == '\\' && quote != '\'') {
      ++p;
      continue;
    }
    if (c == '$' && quote != '\'') *marked = true;
    if (quote != 0) {
      if (c == quote) quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
    } else if (c == '(') {
      ++level;
    } else if (c == ')' && --level == 0) {
      return p;
    }
  }
  return end;
}

// A variable found by the scan: its text, form and extent.
struct VariableRef {
  const char* text_begin;
  const char* text_end;
  const char* end;  // after the closing delimiter
  int form;
  bool marked;
};

enum class RefScan { kFound, kPlain, kStop };

// Reads the variable at `p` (a "$" with a character after it).
RefScan read_variable(const char* p, const char* end, VariableRef* ref) {
  char c = p[1];
  if (c == '{') {
    const char* close = static_cast<const char*>(std::memchr(p + 2, '}', end - (p + 2)));
    if (close == nullptr) return RefScan::kStop;
    bool marked = std::memchr(p + 2, '$', close - (p + 2)) != nullptr;
    *ref = {p + 2, close, close + 1, '{', marked};
    return RefScan::kFound;
  }
  if (c == '(') {
    bool marked = false;
    const char* close = find_paren_close(p + 2, end, &marked);
    if (close >= end) return RefScan::kStop;
    *ref = {p + 2, close, close + 1, '(', marked};
    return RefScan::kFound;
  }
  if (is_name_char(c)) {
    const char* q = p + 1;
    while (q < end && is_name_char(*q)) ++q;
    *ref = {p + 1, q, q, 'a', false};
    return RefScan::kFound;
  }
  if (c == '?' || c == '#' || c == '$') {
    *ref = {p + 1, p + 2, p + 2, 'a', false};
    return RefScan::kFound;
  }
  return RefScan::kPlain;
}

// An expansion placed between double quotes already in the text.
String quote_for_double_quotes(const String& expansion) {
  String quoted = cp_quote_text(expansion);
  if (quoted.length() >= 2 && quoted[0] == '"') return quoted.substring(1, quoted.length() - 1);
  return quoted;
}

// The `index`-th whitespace-separated word of `text`, or "".
String word_at(String text, int index) {
  if (index < 0) return String();
  String word;
  for (int i = 0; i <= index; ++i) {
    if (text.empty()) return String();
    word = cp_pop_word(&text);
  }
  return word;
}

}  // namespace

bool VariableExpansionLimit::charge(int64_t bytes) {
  if (exhausted_) return false;
  work_left_ -= bytes;
  if (work_left_ >= 0) return true;
  exhaust();
  return false;
}

void VariableExpansionLimit::exhaust() {
  if (exhausted_) return;
  exhausted_ = true;
  if (errh_ == nullptr) return;
  if (landmark_.empty())
    errh_->error("variable expansion too large");
  else
    errh_->landmark_error(landmark_, "variable expansion too large");
}

bool VariableEnvironment::bind(const String& name, const String& value, bool override) {
  for (int i = 0; i < names_.size(); ++i) {
    if (!(names_[i] == name)) continue;
    if (override) values_[i] = value;
    return false;
  }
  names_.push_back(name);
  values_.push_back(value);
  return true;
}

bool VariableEnvironment::lookup(const String& text, String* expansion, int form, int depth,
                                 VariableExpansionLimit& limit) const {
  String name = text;
  int index = -1;
  bool has_default = false;
  String default_text;
  if (form == '{') {
    const char* end = text.end();
    const char* p = skip_spaces(text.begin(), end);
    const char* name_begin = p;
    while (p < end && is_name_char(*p)) ++p;
    name = slice(text, name_begin, p);
    p = skip_spaces(p, end);
    if (p < end && *p == '[') {
      const char* number = skip_spaces(p + 1, end);
      int value;
      const char* number_end = cp_parse_basic_integer(number, end, 0, &value);
      if (number_end != number && number_end < end && *number_end == ']') {
        index = value;
        p = skip_spaces(number_end + 1, end);
      }
    }
    if (p < end && *p == '-') {
      has_default = true;
      default_text = slice(text, p + 1, end);
    }
  }

  for (const VariableEnvironment* env = this; env != nullptr; env = env->parent_) {
    for (int i = 0; i < env->names_.size(); ++i) {
      if (!(env->names_[i] == name)) continue;
      String value = expand_variables(env->values_[i], *this, depth + 1, limit);
      *expansion = index >= 0 ? word_at(value, index) : value;
      return true;
    }
  }
  if (!has_default) return false;
  *expansion = expand_variables(default_text, *this, depth + 1, limit);
  return true;
}

String expand_variables(const String& text, const VariableExpander& expander, int depth,
                        ErrorHandler* errh) {
  VariableExpansionLimit limit(errh);
  return expand_variables(text, expander, depth, limit);
}

String expand_variables(const String& text, const VariableExpander& expander, int depth,
                        VariableExpansionLimit& limit) {
  if (text.empty() || std::memchr(text.data(), '$', text.length()) == nullptr) return text;
  if (!limit.charge(text.length())) return text;

  const char* const end = text.end();
  const char* p = text.begin();
  const char* copied = p;  // start of the text not yet moved to `out`
  StringBuilder out;
  bool changed = false;
  char quote = 0;
  while (p < end) {
    char c = *p;
    if (c == '$' && p + 1 < end && quote != '\'' && depth <= kVariableMaxDepth &&
        !limit.exhausted()) {
      VariableRef ref;
      RefScan scan = read_variable(p, end, &ref);
      if (scan == RefScan::kStop) break;
      if (scan == RefScan::kPlain) {
        ++p;
        continue;
      }
      String name = slice(text, ref.text_begin, ref.text_end);
      if (ref.marked) name = expand_variables(name, expander, depth + 1, limit);
      if (!limit.charge(kLookupCost)) break;
      String expansion;
      bool answered = expander.lookup(name, &expansion, ref.form, depth, limit);
      if (limit.exhausted()) break;
      if (answered) {
        if (quote == '"') expansion = quote_for_double_quotes(expansion);
      } else if (ref.marked) {
        StringBuilder written;
        written << '$' << (ref.form == '{' ? '{' : '(') << name << (ref.form == '{' ? '}' : ')');
        expansion = written.take_string();
      } else {
        p = ref.end;
        continue;
      }
      int64_t result_size = int64_t{out.length()} + (p - copied) + expansion.length();
      if (result_size > kVariableResultLimit || !limit.charge(expansion.length())) {
        limit.exhaust();
        break;
      }
      out.append(copied, static_cast<int>(p - copied));
      out.append(expansion);
      copied = p = ref.end;
      changed = true;
      continue;
    }
    if (quote == 0) {
      if (c == '"' || c == '\'') {
        quote = c;
        ++p;
      } else if (c == '/' && p + 1 < end && (p[1] == '/' || p[1] == '*')) {
        const char* after = cp_skip_space_and_comments(p, end);
        p = after > p ? after : p + 1;
      } else {
        ++p;
      }
      continue;
    }
    if (c == '\\' && quote == '"') {
      p = p + 2 < end ? p + 2 : end;
      continue;
    }
    if (c == quote) quote = 0;
    ++p;
  }
  if (!changed) return text;
  out.append(copied, static_cast<int>(end - copied));
  return out.take_string();
}
