// Message formats reach the formatter from every report of the framework, and
// a format decides how many arguments are read. The harness formats the fuzzed
// text with arguments that fit every conversion it holds, and checks that no
// conversion's text grows beyond its bound.
//
// Input: the first byte chooses the default flags (bit 0: UTF-8 quotes) and
// rotates the argument values; the rest, at most 4 KiB, is the format.
//
// Arguments (sound on x86-64 SysV): a small scanner of its own, written apart
// from the formatter, walks the format and lists, in order, the kind of every
// argument it will take: an integer (also "*" widths and precisions, "%c" and
// plain "%p"), a C string, one of the named conversions, or a double. Formats
// taking more than kSlots integer-class or kDoubles double arguments are
// skipped. One call then passes kSlots pointer-sized values, each chosen for
// the kind listed at its position (an integer, a string or a pointer to a
// matching object, sometimes null), followed by kDoubles doubles. Integer-class
// arguments use the general registers and the stack; all kDoubles doubles
// travel in the vector registers, so both sequences stay in step whatever the
// order of the conversions. Unused slots hold a bad address, so a formatter
// that takes more arguments than the scanner counted crashes.
#include <sys/time.h>

#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/string.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/lib/conversions.h"

namespace {

constexpr size_t kMaxFormat = 4096;
constexpr int kSlots = 64;
constexpr int kDoubles = 8;
// No conversion's text may exceed this: integer fields are capped at 128
// columns, every other field at 1024, a double's precision at 512 digits and
// the harness's own strings and objects are short.
constexpr long kMaxConversionText = 1024;

enum class Kind { kInteger, kString, kTimeval, kTimestamp, kElement, kIp, kEther };

struct Plan {
  Kind kinds[kSlots];
  int slots = 0;
  int doubles = 0;
  int conversions = 0;
  bool fits = true;

  void take(Kind kind) {
    if (slots == kSlots) {
      fits = false;
      return;
    }
    kinds[slots++] = kind;
  }
};

bool is_digit(char c) { return c >= '0' && c <= '9'; }

bool is_flag(char c) { return c != '\0' && std::strchr(" #'+-0_", c) != nullptr; }

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// The conversions installed by install_default_conversions().
bool named_kind(const std::string& name, Kind* kind) {
  static const struct {
    const char* name;
    Kind kind;
  } names[] = {{"timeval", Kind::kTimeval},
               {"timestamp", Kind::kTimestamp},
               {"element", Kind::kElement},
               {"ip_ptr", Kind::kIp},
               {"ether_ptr", Kind::kEther}};
  for (const auto& n : names) {
    if (name == n.name) {
      *kind = n.kind;
      return true;
    }
  }
  return false;
}

Plan plan_arguments(const char* p) {
  Plan plan;
  while ((p = std::strchr(p, '%')) != nullptr) {
    ++p;
    ++plan.conversions;
    while (is_flag(*p)) ++p;
    if (*p == '*') {
      plan.take(Kind::kInteger);
      ++p;
    } else {
      while (is_digit(*p)) ++p;
    }
    if (*p == '.') {
      ++p;
      if (*p == '*') {
        plan.take(Kind::kInteger);
        ++p;
      } else {
        while (is_digit(*p)) ++p;
      }
    }
    if (*p == 'h' || *p == 'l') {
      char letter = *p++;
      if (*p == letter) ++p;
    } else if (*p == 't' || *p == 'z') {
      ++p;
    } else if (*p == '^') {
      ++p;
      while (is_digit(*p)) ++p;
    }
    char c = *p;
    if (c == '\0') break;
    ++p;
    if (c == '{' || (c == 'p' && *p == '{')) {
      const char* name = c == '{' ? p : p + 1;
      const char* close = name;
      while (*close != '}' && *close != '\0' && !is_space(*close)) ++close;
      if (*close == '}') {
        Kind kind;
        if (named_kind(std::string(name, close), &kind)) plan.take(kind);
        p = close + 1;
        continue;
      }
      // "%{" without a name is nothing; "%p{" is a plain "%p".
      if (c == 'p') plan.take(Kind::kInteger);
      continue;
    }
    if (std::strchr("diuoxXpc", c) != nullptr) plan.take(Kind::kInteger);
    if (c == 's') plan.take(Kind::kString);
    if (std::strchr("efgEFG", c) != nullptr) ++plan.doubles;
  }
  if (plan.doubles > kDoubles) plan.fits = false;
  return plan;
}

class FuzzElement : public Element {
 public:
  const char* class_name() const override { return "FuzzElement"; }
  String declaration() const override { return String("f :: ") + class_name(); }
};

void* integer_value(unsigned i) {
  static const uint64_t values[] = {0,
                                    1,
                                    uint64_t(-1),
                                    42,
                                    255,
                                    300,
                                    70000,
                                    INT_MAX,
                                    uint64_t(int64_t{INT_MIN}),
                                    uint64_t(LLONG_MIN),
                                    LLONG_MAX,
                                    0x123456789abcdef0,
                                    uint64_t(-5000)};
  return reinterpret_cast<void*>(values[i % std::size(values)]);
}

const void* string_value(unsigned i) {
  static const char* const values[] = {"plain", "<3>x",        "a\n<4>b\n{}c",
                                       "{}<1>", "tab\there\n", "\x01\x7f\xff",
                                       "",      nullptr,       "<+2.5>\n\n<7>"};
  return values[i % std::size(values)];
}

const void* object_value(Kind kind, unsigned i) {
  static const struct timeval timevals[] = {
      {0, 0},        {5, 250},           {-2, 0},        {-1, 500000}, {LONG_MIN, 0},
      {LONG_MIN, 1}, {LONG_MAX, 999999}, {-1, LONG_MIN}, {3, -7}};
  static const Timestamp timestamps[] = {Timestamp::make_nsec(INT64_MIN),
                                         Timestamp::make_nsec(INT64_MAX), Timestamp(),
                                         Timestamp::make_msec(1500), Timestamp::make_nsec(-1)};
  static const FuzzElement element;
  static const unsigned char ips[][4] = {{0, 0, 0, 0}, {192, 168, 0, 1}, {255, 255, 255, 255}};
  static const unsigned char ethers[][6] = {{0, 0, 0, 0, 0, 0},
                                            {0x00, 0x1a, 0x2b, 0xff, 0x04, 0x5c}};
  // Every fifth object is null.
  if (i % 5 == 4) return nullptr;
  switch (kind) {
    case Kind::kTimeval:
      return &timevals[i % std::size(timevals)];
    case Kind::kTimestamp:
      return &timestamps[i % std::size(timestamps)];
    case Kind::kElement:
      return &element;
    case Kind::kIp:
      return ips[i % std::size(ips)];
    case Kind::kEther:
      return ethers[i % std::size(ethers)];
    default:
      return nullptr;
  }
}

String call(int flags, const char* format, ...) {
  va_list args;
  va_start(args, format);
  String text = ErrorHandler::format_with_flags(flags, format, args);
  va_end(args);
  return text;
}

#define S8(i) s[i], s[i + 1], s[i + 2], s[i + 3], s[i + 4], s[i + 5], s[i + 6], s[i + 7]

String format_with(int flags, const char* format, void* const* s, const double* d) {
  static_assert(kSlots == 64 && kDoubles == 8, "the call below passes exactly these");
  return call(flags, format, S8(0), S8(8), S8(16), S8(24), S8(32), S8(40), S8(48), S8(56), d[0],
              d[1], d[2], d[3], d[4], d[5], d[6], d[7]);
}

#undef S8

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static const bool installed = (install_default_conversions(), true);
  (void)installed;

  unsigned seed = data[0] >> 1;
  int flags = (data[0] & 1) ? ErrorHandler::kUtf8Quotes : 0;
  std::string format(reinterpret_cast<const char*>(data + 1), std::min(size - 1, kMaxFormat));

  Plan plan = plan_arguments(format.c_str());
  if (!plan.fits) return 0;

  void* slots[kSlots];
  for (int i = 0; i < kSlots; ++i) {
    unsigned k = seed + static_cast<unsigned>(i);
    if (i >= plan.slots) {
      slots[i] = reinterpret_cast<void*>(uintptr_t{0x10});
      continue;
    }
    switch (plan.kinds[i]) {
      case Kind::kInteger:
        slots[i] = integer_value(k);
        break;
      case Kind::kString:
        slots[i] = const_cast<void*>(string_value(k));
        break;
      default:
        slots[i] = const_cast<void*>(object_value(plan.kinds[i], k));
        break;
    }
  }
  static const double values[] = {0.0,      -0.0, 1.5,        -1e308, 5e-324,
                                  HUGE_VAL, NAN,  123456.789, 1e22,   -2.5e-7};
  double doubles[kDoubles];
  for (int i = 0; i < kDoubles; ++i) doubles[i] = values[(seed + i) % std::size(values)];

  String text = format_with(flags, format.c_str(), slots, doubles);
  long bound = static_cast<long>(format.size()) + plan.conversions * kMaxConversionText;
  if (text.length() > bound) std::abort();
  return 0;
}
