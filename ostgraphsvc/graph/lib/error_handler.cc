#include "graph/error_handler.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "graph/string_builder.h"
#include "ostgraphsvc/graph/lib/conversions.h"

ErrorHandler* ErrorHandler::the_default_handler = nullptr;
ErrorHandler* ErrorHandler::the_silent_handler = nullptr;

namespace {

constexpr int kMaxCombined = 8;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_name_char(char c) {
  return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// A level number: optional sign, digits, optional "." and digits, at least
// one digit. Returns the position after it, or `begin` when there is none.
const char* scan_level_number(const char* begin, const char* end) {
  const char* p = begin;
  if (p < end && (*p == '+' || *p == '-')) ++p;
  int digits = 0;
  for (; p < end && is_digit(*p); ++p) ++digits;
  if (p < end && *p == '.') {
    ++p;
    for (; p < end && is_digit(*p); ++p) ++digits;
  }
  return digits > 0 ? p : begin;
}

// The integer part of a level number that fills [begin, end) exactly.
bool parse_level_number(const char* begin, const char* end, int* value) {
  if (begin == end || scan_level_number(begin, end) != end) return false;
  bool negative = *begin == '-';
  const char* p = begin + ((*begin == '+' || *begin == '-') ? 1 : 0);
  long long v = 0;
  for (; p < end && is_digit(*p); ++p) {
    if (v < 1000000000LL) v = v * 10 + (*p - '0');
  }
  if (v > 1000000000LL) v = 1000000000LL;
  *value = static_cast<int>(negative ? -v : v);
  return true;
}

// "<" number ">" at p: the position after it, or p.
const char* skip_level_annotation(const char* p, const char* end) {
  if (end - p < 3 || *p != '<') return p;
  const char* q = scan_level_number(p + 1, end);
  if (q == p + 1 || q >= end || *q != '>') return p;
  return q + 1;
}

struct Annotation {
  String name;
  String value;
};

}  // namespace

// --- reporting ---------------------------------------------------------------

String ErrorHandler::vformat(const char* format, va_list args) {
  return format_with_flags(0, format, args);
}

String ErrorHandler::decorate(const String& message) { return message; }

void* ErrorHandler::emit(const String&, void* user_data, bool) { return user_data; }

void ErrorHandler::account(int level) {
  if (level <= 3) ++nerrors_;
}

int ErrorHandler::vmessage(const String& annotations, const char* format, va_list args) {
  String text = format_with_flags(0, format, args);
  return deliver(combine_annotations(text, annotations));
}

#define GRAPH_REPORT(annotations)              \
  va_list args;                                \
  va_start(args, format);                      \
  int r = vmessage(annotations, format, args); \
  va_end(args)

void ErrorHandler::message(const char* format, ...) {
  GRAPH_REPORT(String("<6>"));
  (void)r;
}

int ErrorHandler::warning(const char* format, ...) {
  GRAPH_REPORT(String("<4>warning: "));
  return r;
}

int ErrorHandler::error(const char* format, ...) {
  GRAPH_REPORT(String("<3>"));
  return r;
}

void ErrorHandler::landmark_message(const String& landmark, const char* format, ...) {
  GRAPH_REPORT("<6>" + landmark_annotation(landmark));
  (void)r;
}

int ErrorHandler::landmark_warning(const String& landmark, const char* format, ...) {
  GRAPH_REPORT(landmark_annotation(landmark) + "<4>warning: ");
  return r;
}

int ErrorHandler::landmark_error(const String& landmark, const char* format, ...) {
  GRAPH_REPORT("<3>" + landmark_annotation(landmark));
  return r;
}

#undef GRAPH_REPORT

int ErrorHandler::annotated_landmark_message(const String& landmark, const String& annotations,
                                             const char* format, va_list args) {
  String text = vformat(format, args);
  String anno = combine_annotations(annotations, landmark_annotation(landmark));
  return deliver(combine_annotations(text, anno));
}

int ErrorHandler::deliver(const String& text) {
  String decorated = decorate(text);
  if (decorated.length() > kMaxMessageLength)
    decorated = decorated.substring(0, kMaxMessageLength - 3) + "...";
  int level = kNoLevel;
  int lowest = kNoLevel;
  void* user_data = nullptr;
  const int length = decorated.length();
  for (int pos = 0; pos < length;) {
    read_annotations(decorated, pos, length, "#<>", &level, static_cast<const char*>(nullptr));
    int newline = decorated.find_left('\n', pos);
    int line_end = newline < 0 ? length : newline;
    bool more = newline >= 0 && newline + 1 < length;
    user_data = emit(decorated.substring(pos, line_end), user_data, more);
    if (level < lowest) lowest = level;
    pos = newline < 0 ? length : newline + 1;
  }
  account(lowest);
  return lowest <= 4 ? kErrorResult : 0;
}

String ErrorHandler::format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  String text = vformat(format, args);
  va_end(args);
  return text;
}

// --- process-wide handlers ---------------------------------------------------

ErrorHandler* ErrorHandler::install_defaults(ErrorHandler* default_handler) {
  if (the_silent_handler == nullptr) {
    the_default_handler = default_handler;
    the_silent_handler = new SilentErrorHandler;
    install_default_conversions();
  }
  return default_handler;
}

void ErrorHandler::static_cleanup() {
  delete the_default_handler;
  delete the_silent_handler;
  the_default_handler = nullptr;
  the_silent_handler = nullptr;
  free_conversions();
}

// --- annotations -------------------------------------------------------------

int ErrorHandler::parse_annotation(const String& text, int begin, int end, String* name,
                                   String* value, bool raw) {
  *name = String();
  *value = String();
  if (end > text.length()) end = text.length();
  if (begin < 0 || begin >= end) return begin;
  const char* s = text.data();
  const char* p = s + begin;
  const char* e = s + end;

  if (const char* after = skip_level_annotation(p, e); after != p) {
    *name = String("<>");
    *value = text.substring(begin + 1, static_cast<int>(after - s) - 1);
    return static_cast<int>(after - s);
  }
  if (*p != '{') return begin;
  if (p + 1 < e && p[1] == '}') return begin + 2;  // empty: ends the run

  const char* q = p + 1;
  while (q < e && is_name_char(*q)) ++q;
  if (q == p + 1 || q >= e) return begin;
  if (*q == '}') {
    *name = text.substring(begin + 1, static_cast<int>(q - s));
    return static_cast<int>(q - s) + 1;
  }
  if (*q != ':') return begin;
  const char* name_end = q;

  StringBuilder decoded;
  const char* v = q + 1;
  const char* r = v;
  bool escaped = false;
  for (; r < e && *r != '}'; ++r) {
    if (*r == '\n') return begin;
    if (*r != '\\') {
      if (!raw) decoded.append(*r);
      continue;
    }
    if (r + 1 >= e || r[1] == '\n') return begin;
    escaped = true;
    ++r;
    if (!raw) decoded.append(*r == 'n' ? '\n' : *r);
  }
  if (r >= e) return begin;
  *name = text.substring(begin + 1, static_cast<int>(name_end - s));
  if (raw || !escaped) {
    *value = text.substring(static_cast<int>(v - s), static_cast<int>(r - s));
  } else {
    *value = decoded.take_string();
  }
  return static_cast<int>(r - s) + 1;
}

int ErrorHandler::read_annotations(const String& text, int begin, int end, ...) {
  String name, value;
  int pos = begin;
  for (;;) {
    int next = parse_annotation(text, pos, end, &name, &value, false);
    if (next == pos) break;
    pos = next;
    if (name.empty()) break;  // "{}" ends the run
    va_list requests;
    va_start(requests, end);
    while (const char* wanted = va_arg(requests, const char*)) {
      void* target = va_arg(requests, void*);
      if (wanted[0] == '#') {
        if (name.equals(wanted + 1))
          parse_level_number(value.begin(), value.end(), static_cast<int*>(target));
      } else if (name.equals(wanted)) {
        *static_cast<String*>(target) = value;
      }
    }
    va_end(requests);
  }
  return pos;
}

const char* ErrorHandler::skip_annotations(const char* begin, const char* end) {
  const char* p = begin;
  while (p < end) {
    if (const char* after = skip_level_annotation(p, end); after != p) {
      p = after;
    } else if (*p == '{' && p + 1 < end && p[1] == '}') {
      return p + 2;
    } else {
      break;
    }
  }
  return p;
}

String ErrorHandler::combine_annotations(const String& text, const String& annotations) {
  if (annotations.empty()) return text;

  // The annotations to add; beyond eight they are dropped.
  Annotation listed[kMaxCombined];
  int nlisted = 0;
  String name, value;
  int tail = 0;
  for (;;) {
    int next = parse_annotation(annotations, tail, annotations.length(), &name, &value, true);
    if (next == tail) break;
    tail = next;
    if (name.empty()) break;
    if (nlisted < kMaxCombined) listed[nlisted++] = {name, value};
  }
  String tail_text = annotations.substring(tail);

  StringBuilder out;
  bool inserted = false;
  const int length = text.length();
  int pos = 0;
  do {
    int newline = text.find_left('\n', pos);
    int line_end = newline < 0 ? length : newline + 1;
    // Which listed annotations the line carries already.
    bool present[kMaxCombined] = {};
    int run = pos;
    for (;;) {
      int next = parse_annotation(text, run, line_end, &name, &value, true);
      if (next == run) break;
      run = next;
      if (name.empty()) break;
      for (int i = 0; i < nlisted; ++i) present[i] = present[i] || listed[i].name == name;
    }
    for (int i = 0; i < nlisted; ++i) {
      if (present[i]) continue;
      inserted = true;
      if (listed[i].name == "<>") {
        out << '<' << listed[i].value << '>';
      } else {
        out << '{' << listed[i].name << ':' << listed[i].value << '}';
      }
    }
    out.append(text.data() + pos, run - pos);
    if (!tail_text.empty()) {
      inserted = true;
      out << tail_text;
    }
    out.append(text.data() + run, line_end - run);
    pos = line_end;
  } while (pos < length);
  return inserted ? out.take_string() : text;
}

String ErrorHandler::landmark_annotation(const String& landmark) {
  if (landmark.empty() || landmark[0] == '{') return landmark;
  StringBuilder sb;
  sb << "{l:";
  for (char c : landmark) {
    if (c == '\n') {
      sb << "\\n";
      continue;
    }
    if (c == '\\' || c == '}') sb << '\\';
    sb << c;
  }
  sb << '}';
  return sb.take_string();
}

// --- veneers -----------------------------------------------------------------

String ErrorVeneer::vformat(const char* format, va_list args) {
  return inner_ != nullptr ? inner_->vformat(format, args) : format_with_flags(0, format, args);
}

String ErrorVeneer::decorate(const String& message) {
  return inner_ != nullptr ? inner_->decorate(message) : message;
}

void* ErrorVeneer::emit(const String& line, void* user_data, bool more) {
  return inner_ != nullptr ? inner_->emit(line, user_data, more) : user_data;
}

void ErrorVeneer::account(int level) {
  ErrorHandler::account(level);
  if (inner_ != nullptr) inner_->account(level);
}

ContextErrorHandler::ContextErrorHandler(ErrorHandler* inner, const char* format, ...)
    : ErrorVeneer(inner) {
  va_list args;
  va_start(args, format);
  String context =
      inner != nullptr ? inner->vformat(format, args) : format_with_flags(0, format, args);
  va_end(args);
  set_context(context);
}

void ContextErrorHandler::set_context(const String& context) {
  context_ = context.empty() ? context : combine_annotations(context, String("{context:context}"));
}

String ContextErrorHandler::decorate(const String& message) {
  String control;
  int run = read_annotations(message, 0, message.length(), "context", &control,
                             static_cast<const char*>(nullptr));
  if (control == "no") return ErrorVeneer::decorate(message);
  String body = control == "noindent" ? message : combine_annotations(message, indent_);
  if (context_printed_ || control == "nocontext") return ErrorVeneer::decorate(body);

  String line =
      context_.empty() ? context_ : combine_annotations(context_, message.substring(0, run));
  if (!line.empty() && line[line.length() - 1] != '\n') line += '\n';
  context_printed_ = true;
  return ErrorVeneer::decorate(line + body);
}

String PrefixErrorHandler::decorate(const String& message) {
  return ErrorVeneer::decorate(combine_annotations(message, prefix_));
}

String LandmarkErrorHandler::decorate(const String& message) {
  return ErrorVeneer::decorate(combine_annotations(message, landmark_));
}

// --- file handler ------------------------------------------------------------

FileErrorHandler::FileErrorHandler(FILE* stream, const String& prefix)
    : stream_(stream), prefix_(prefix) {
  const char* lang = std::getenv("LANG");
  if (stream != nullptr && ::isatty(fileno(stream)) && lang != nullptr &&
      (std::strstr(lang, "UTF-8") || std::strstr(lang, "UTF8") || std::strstr(lang, "utf8"))) {
    default_flags_ |= kUtf8Quotes;
  }
}

String FileErrorHandler::vformat(const char* format, va_list args) {
  return format_with_flags(default_flags_, format, args);
}

void* FileErrorHandler::emit(const String& line, void*, bool) {
  String landmark;
  int run =
      read_annotations(line, 0, line.length(), "l", &landmark, static_cast<const char*>(nullptr));
  int cut = landmark.length();
  while (cut > 0 &&
         (landmark[cut - 1] == ' ' || landmark[cut - 1] == '\t' || landmark[cut - 1] == '\n' ||
          landmark[cut - 1] == '\r' || landmark[cut - 1] == '\f' || landmark[cut - 1] == '\v')) {
    --cut;
  }
  if (cut > 0 && landmark[cut - 1] == ':') --cut;

  StringBuilder sb;
  sb << prefix_;
  if (cut > 0) {
    sb.append(landmark.data(), cut);
    sb << ": ";
  }
  sb.append(line.data() + run, line.length() - run);
  sb << '\n';
  if (stream_ != nullptr) std::fwrite(sb.data(), 1, static_cast<size_t>(sb.length()), stream_);
  return nullptr;
}

void FileErrorHandler::account(int level) {
  // Levels below 0 came from annotations inside message text; they count as
  // errors and never end the process.
  ErrorHandler::account(level);
}
