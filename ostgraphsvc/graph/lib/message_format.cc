// The message formatter (ErrorHandler::format_with_flags) and its registry of
// named conversions.
#include <sys/time.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/string.h"
#include "graph/string_builder.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/lib/conversions.h"

namespace {

// Integer fields are bounded as documented. Every other field (strings,
// characters, quotes, named conversions, doubles) is capped at kMaxTextWidth
// columns and a double's precision at kMaxDoublePrecision digits: far beyond
// any message, small enough that no format makes the text explode.
constexpr int kMaxIntegerWidth = 128;
constexpr int kMaxIntegerPrecision = 124;
constexpr int kMaxTextWidth = 1024;
constexpr int kMaxDoublePrecision = 512;
// Decimal numbers in a format saturate here so that long digit runs cannot
// overflow; every cap above is smaller.
constexpr int kNumberLimit = 1 << 20;

// Bits that only the conversion itself decides.
constexpr int kConversionBits =
    ErrorHandler::kUpperCase | ErrorHandler::kSigned | ErrorHandler::kNegative;

struct ConversionEntry {
  String name;
  ErrorHandler::ConversionHook hook;
  ConversionEntry* next;
};

ConversionEntry* conversions = nullptr;
bool defaults_installed = false;

ErrorHandler::ConversionHook find_conversion(const char* name, int length) {
  for (ConversionEntry* e = conversions; e != nullptr; e = e->next) {
    if (e->name.equals(name, length)) return e->hook;
  }
  return nullptr;
}

// One conversion's flags, field and size, parsed up to its conversion
// character.
struct Conversion {
  int flags;
  int width;      // -1: none
  int precision;  // -1: none
  int bits;       // integer size
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int parse_number(const char** p) {
  int value = 0;
  for (; is_digit(**p); ++*p) value = std::min(value * 10 + (**p - '0'), kNumberLimit);
  return value;
}

// Returns the position of the conversion character.
const char* parse_conversion(const char* p, int flags, va_list& ap, Conversion* conv) {
  for (;; ++p) {
    switch (*p) {
      case ' ':
        flags |= ErrorHandler::kSpacePositive;
        continue;
      case '#':
        flags |= ErrorHandler::kAlternateForm;
        continue;
      case '\'':
        flags |= ErrorHandler::kNoAnnotations;
        continue;
      case '+':
        flags |= ErrorHandler::kPlusPositive;
        continue;
      case '-':
        flags |= ErrorHandler::kLeftJustify;
        continue;
      case '0':
        flags |= ErrorHandler::kZeroPad;
        continue;
      case '_':
        flags &= ~ErrorHandler::kUtf8Quotes;
        continue;
    }
    break;
  }

  int64_t width = -1;
  if (*p == '*') {
    ++p;
    int64_t w = va_arg(ap, int);
    if (w < 0) flags |= ErrorHandler::kLeftJustify;
    width = w < 0 ? -w : w;
  } else if (is_digit(*p)) {
    width = parse_number(&p);
  }

  int precision = -1;
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      ++p;
      precision = std::max(va_arg(ap, int), -1);
    } else {
      precision = parse_number(&p);
    }
  }

  int bits = 32;
  if (*p == 'h' || *p == 'l') {
    char letter = *p++;
    bool twice = *p == letter;
    if (twice) ++p;
    bits = letter == 'l' ? 64 : (twice ? 8 : 16);
  } else if (*p == 't' || *p == 'z') {
    ++p;
    bits = 64;
  } else if (*p == '^') {
    ++p;
    int n = parse_number(&p);
    bits = n == 8 || n == 16 || n == 64 ? n : 32;
  }

  conv->flags = flags;
  conv->width = static_cast<int>(std::min<int64_t>(width, kMaxTextWidth));
  conv->precision = precision;
  conv->bits = bits;
  return p;
}

uint64_t read_integer(va_list& ap, const Conversion& conv) {
  if (conv.bits == 64) return va_arg(ap, uint64_t);
  uint64_t mask = (uint64_t{1} << conv.bits) - 1;
  uint64_t value = va_arg(ap, unsigned) & mask;
  if ((conv.flags & ErrorHandler::kSigned) && (value >> (conv.bits - 1)) != 0) value |= ~mask;
  return value;
}

int count_digits(uint64_t value, int base) {
  int n = 1;
  for (; value >= static_cast<uint64_t>(base); value /= static_cast<uint64_t>(base)) ++n;
  return n;
}

void append_integer(StringBuilder& text, uint64_t value, int base, bool pointer, Conversion& conv) {
  int& flags = conv.flags;
  if ((flags & ErrorHandler::kSigned) && static_cast<int64_t>(value) < 0) {
    flags |= ErrorHandler::kNegative;
    value = 0 - value;
  }
  conv.width = std::min(conv.width, kMaxIntegerWidth);
  int precision = std::min(conv.precision, kMaxIntegerPrecision);

  char sign = 0;
  if (flags & ErrorHandler::kNegative) {
    sign = '-';
  } else if (flags & ErrorHandler::kPlusPositive) {
    sign = '+';
  } else if (flags & ErrorHandler::kSpacePositive) {
    sign = ' ';
  }
  bool hex_prefix =
      base == 16 && value != 0 && (pointer || (flags & ErrorHandler::kAlternateForm) != 0);
  bool octal_prefix = base == 8 && (flags & ErrorHandler::kAlternateForm) != 0;

  int ndigits = count_digits(value, base);
  int zeros = 0;
  if (precision >= 0) {
    zeros = precision - ndigits;
  } else if (flags & ErrorHandler::kZeroPad) {
    zeros = conv.width - ndigits - (hex_prefix ? 2 : 0) - (sign != 0 ? 1 : 0);
  }
  // The octal "0" is not repeated when the digits already begin with one.
  if (zeros > 0 || value == 0) octal_prefix = false;

  if (sign != 0) text.append(sign);
  if (octal_prefix) text.append('0');
  if (hex_prefix) text.append((flags & ErrorHandler::kUpperCase) ? "0X" : "0x", 2);
  for (; zeros > 0; --zeros) text.append('0');
  text.append_number(value, base, (flags & ErrorHandler::kUpperCase) != 0);
}

void append_char(StringBuilder& text, int c) {
  if (c < 0) c += 256;
  switch (c) {
    case '\n':
      text.append("\\n", 2);
      return;
    case '\t':
      text.append("\\t", 2);
      return;
    case '\r':
      text.append("\\r", 2);
      return;
    case 0:
      text.append("\\0", 2);
      return;
  }
  if (c >= 32 && c <= 126) {
    text.append(static_cast<char>(c));
    return;
  }
  // Values still negative (below -256) are no character either.
  if (c < 0 || c >= 256) {
    text.append("(bad char)");
    return;
  }
  text.append_printf(4, "\\%03o", static_cast<unsigned>(c));
}

bool starts_with_annotation(const char* begin, const char* end) {
  return ErrorHandler::skip_annotations(begin, end) != begin;
}

// Whether the output since its last newline holds nothing but annotations,
// so that text placed next would be read as more of them.
bool line_is_annotations(const StringBuilder& out) {
  const char* begin = out.data();
  const char* end = begin + out.length();
  const char* line = end;
  while (line > begin && line[-1] != '\n') --line;
  return ErrorHandler::skip_annotations(line, end) == end;
}

void append_string(StringBuilder& text, const char* s, const Conversion& conv,
                   const StringBuilder& out) {
  if (s == nullptr) s = "(null)";
  int length = static_cast<int>(
      conv.precision >= 0 ? strnlen(s, static_cast<size_t>(conv.precision)) : std::strlen(s));
  const char* begin = s;
  const char* end = s + length;

  String printable;
  if (conv.flags & ErrorHandler::kAlternateForm) {
    printable = String(s, length).printable();
    int keep = printable.length();
    // A precision counts source characters: printable text that reaches it
    // is cut back to the length of what it was made from.
    if (conv.precision >= 0 && keep >= conv.precision) keep = std::min(conv.precision, length);
    begin = printable.data();
    end = begin + keep;
  }

  if (!(conv.flags & (ErrorHandler::kAlternateForm | ErrorHandler::kNoAnnotations))) {
    text.append(begin, static_cast<int>(end - begin));
    return;
  }
  if (starts_with_annotation(begin, end) && line_is_annotations(out)) text.append("{}", 2);
  const char* p = begin;
  while (p < end) {
    const char* newline = static_cast<const char*>(std::memchr(p, '\n', end - p));
    if (newline == nullptr) {
      text.append(p, static_cast<int>(end - p));
      return;
    }
    text.append(p, static_cast<int>(newline + 1 - p));
    p = newline + 1;
    if (starts_with_annotation(p, end)) text.append("{}", 2);
  }
}

void append_double(StringBuilder& text, double value, char conversion, const Conversion& conv) {
  // At most "%-+ #0*.*f": eleven characters.
  char format[16];
  char* f = format;
  *f++ = '%';
  if (conv.flags & ErrorHandler::kLeftJustify) *f++ = '-';
  if (conv.flags & ErrorHandler::kPlusPositive) *f++ = '+';
  if (conv.flags & ErrorHandler::kSpacePositive) *f++ = ' ';
  if (conv.flags & ErrorHandler::kAlternateForm) *f++ = '#';
  if (conv.flags & ErrorHandler::kZeroPad) *f++ = '0';
  *f++ = '*';
  *f++ = '.';
  *f++ = '*';
  *f++ = conversion;
  *f = '\0';

  int width = std::max(conv.width, 0);
  // A negative precision means none to the C library as well.
  int precision = std::min(conv.precision, kMaxDoublePrecision);
  int n = std::snprintf(nullptr, 0, format, width, precision, value);
  if (n > 0) text.append_printf(n, format, width, precision, value);
}

// The "}" that ends a conversion name starting at `name`, or null when white
// space or the end of the format comes first.
const char* find_name_end(const char* name) {
  for (const char* p = name;; ++p) {
    if (*p == '}') return p;
    if (*p == '\0' || is_space(*p)) return nullptr;
  }
}

void append_named(StringBuilder& text, const char* name, const char* name_end, int flags,
                  va_list& ap) {
  ErrorHandler::ConversionHook hook = find_conversion(name, static_cast<int>(name_end - name));
  if (hook == nullptr) return;
  const void* argument = va_arg(ap, const void*);
  // Hooks never see a null argument.
  if (argument == nullptr) {
    text.append("(null)");
    return;
  }
  text.append(hook(flags, argument));
}

void append_field(StringBuilder& out, const StringBuilder& text, const Conversion& conv) {
  int pad = conv.width - text.length();
  if (pad <= 0) {
    out.append(text.data(), text.length());
    return;
  }
  if (conv.flags & ErrorHandler::kLeftJustify) {
    out.append(text.data(), text.length());
    std::memset(out.extend(pad), ' ', static_cast<size_t>(pad));
    return;
  }
  char fill = (conv.flags & ErrorHandler::kZeroPad) ? '0' : ' ';
  std::memset(out.extend(pad), fill, static_cast<size_t>(pad));
  out.append(text.data(), text.length());
}

// Produces the text of the conversion whose character is at `p` into `text`
// and returns the position after the conversion. `*field` is cleared when the
// conversion produces nothing at all, not even padding.
const char* convert(const char* p, Conversion& conv, va_list& ap, const StringBuilder& out,
                    StringBuilder& text, bool* field) {
  char c = *p++;
  switch (c) {
    case 'd':
    case 'i':
      conv.flags |= ErrorHandler::kSigned;
      append_integer(text, read_integer(ap, conv), 10, false, conv);
      return p;
    case 'u':
      append_integer(text, read_integer(ap, conv), 10, false, conv);
      return p;
    case 'o':
      append_integer(text, read_integer(ap, conv), 8, false, conv);
      return p;
    case 'X':
      conv.flags |= ErrorHandler::kUpperCase;
      append_integer(text, read_integer(ap, conv), 16, false, conv);
      return p;
    case 'x':
      append_integer(text, read_integer(ap, conv), 16, false, conv);
      return p;
    case 'p':
      if (*p == '{') {
        if (const char* name_end = find_name_end(p + 1)) {
          append_named(text, p + 1, name_end, conv.flags, ap);
          return name_end + 1;
        }
      }
      append_integer(text, reinterpret_cast<uintptr_t>(va_arg(ap, void*)), 16, true, conv);
      return p;
    case '{':
      if (const char* name_end = find_name_end(p)) {
        append_named(text, p, name_end, conv.flags, ap);
        return name_end + 1;
      }
      *field = false;
      return p;
    case 'c':
      append_char(text, va_arg(ap, int));
      return p;
    case 's':
      append_string(text, va_arg(ap, const char*), conv, out);
      return p;
    case 'e':
    case 'f':
    case 'g':
    case 'E':
    case 'F':
    case 'G':
      append_double(text, va_arg(ap, double), c, conv);
      return p;
    case '<':
      text.append((conv.flags & ErrorHandler::kUtf8Quotes) ? "\u2018" : "'");
      return p;
    case '>':
    case ',':
      text.append((conv.flags & ErrorHandler::kUtf8Quotes) ? "\u2019" : "'");
      return p;
    case '%':
      text.append('%');
      return p;
  }
  return p;
}

String timeval_text(int, const void* argument) {
  const auto* tv = static_cast<const struct timeval*>(argument);
  long sec = tv->tv_sec;
  long usec = tv->tv_usec;
  StringBuilder sb;
  if (sec >= 0) {
    sb.append_printf(64, "%ld.%06ld", sec, usec);
  } else if (usec == 0) {
    sb.append('-');
    sb.append_number(0 - static_cast<uint64_t>(sec));
    sb.append(".000000", 7);
  } else {
    // Wrapping arithmetic: a corrupt microsecond count must not overflow.
    long fraction = static_cast<long>(1000000UL - static_cast<unsigned long>(usec));
    sb.append_printf(64, "-%ld.%06ld", -(sec + 1), fraction);
  }
  return sb.take_string();
}

String timestamp_text(int, const void* argument) {
  StringBuilder sb;
  sb.append_timestamp(*static_cast<const Timestamp*>(argument));
  return sb.take_string();
}

String element_text(int, const void* argument) {
  return static_cast<const Element*>(argument)->declaration();
}

// The address as the framework stores it: four bytes in network order.
String ip_text(int, const void* argument) {
  const auto* b = static_cast<const unsigned char*>(argument);
  StringBuilder sb;
  sb.append_printf(15, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  return sb.take_string();
}

String ether_text(int, const void* argument) {
  const auto* b = static_cast<const unsigned char*>(argument);
  StringBuilder sb;
  sb.append_printf(17, "%02X-%02X-%02X-%02X-%02X-%02X", b[0], b[1], b[2], b[3], b[4], b[5]);
  return sb.take_string();
}

}  // namespace

String ErrorHandler::format_with_flags(int default_flags, const char* format, va_list args) {
  va_list ap;
  va_copy(ap, args);
  default_flags &= ~kConversionBits;
  StringBuilder out;
  StringBuilder text;
  const char* p = format;
  for (;;) {
    const char* percent = std::strchr(p, '%');
    if (percent == nullptr) {
      out.append(p);
      break;
    }
    out.append(p, static_cast<int>(percent - p));
    Conversion conv;
    p = parse_conversion(percent + 1, default_flags, ap, &conv);
    if (*p == '\0') break;
    text.clear();
    bool field = true;
    p = convert(p, conv, ap, out, text, &field);
    if (field) append_field(out, text, conv);
  }
  va_end(ap);
  return out.take_string();
}

void ErrorHandler::register_conversion(const String& name, ConversionHook hook) {
  conversions = new ConversionEntry{name, hook, conversions};
}

void install_default_conversions() {
  if (defaults_installed) return;
  ErrorHandler::register_conversion("timeval", timeval_text);
  ErrorHandler::register_conversion("timestamp", timestamp_text);
  ErrorHandler::register_conversion("element", element_text);
  ErrorHandler::register_conversion("ip_ptr", ip_text);
  ErrorHandler::register_conversion("ether_ptr", ether_text);
  defaults_installed = true;
}

void free_conversions() {
  while (conversions != nullptr) {
    ConversionEntry* next = conversions->next;
    delete conversions;
    conversions = next;
  }
  defaults_installed = false;
}
