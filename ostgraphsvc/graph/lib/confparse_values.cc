#include <cstdint>
#include <cstdio>
#include <cstring>

#include "graph/confparse.h"
#include "graph/string_builder.h"

const CpUnit cp_bandwidth_units[] = {{"baud", -3, 125}, {"bps", -3, 125}, {"b/s", -3, 125},
                                     {"Bps", 0, 1},     {"B/s", 0, 1},    {nullptr, 0, 0}};
const CpUnitPrefix cp_bandwidth_prefixes[] = {{'k', 3}, {'K', 3}, {'M', 6}, {'G', 9}, {'\0', 0}};
const CpUnit cp_seconds_units[] = {{"s", 0, 1},   {"sec", 0, 1},   {"m", 1, 6},
                                   {"min", 1, 6}, {"h", 2, 36},    {"hr", 2, 36},
                                   {"d", 2, 864}, {"day", 2, 864}, {nullptr, 0, 0}};
const CpUnitPrefix cp_seconds_prefixes[] = {{'m', -3}, {'u', -6}, {'n', -9}, {'\0', 0}};

namespace {

// Up to this first limb, limb * 36 + 35 still fits 32 bits, so any digit of
// any base is added without carrying into the next limb.
constexpr uint32_t kFastLimbBound = 119304646;
// Decimal fraction digits kept: a 32-bit fraction and its rounding bit depend
// on the first 33 digits only.
constexpr int kFractionDigits = 40;
// Decimal shifts are clamped here; anything further is 0 or out of range.
constexpr int64_t kShiftLimit = 1000000;

int digit_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

bool is_decimal(char c) { return c >= '0' && c <= '9'; }

bool is_space(char c) { return c == ' ' || (c >= 9 && c <= 13); }

void set_status(int* status, int value) {
  if (status != nullptr) *status = value;
}

int64_t clamp_shift(int64_t shift) {
  if (shift < -kShiftLimit) return -kShiftLimit;
  return shift > kShiftLimit ? kShiftLimit : shift;
}

// True when every bit at position `bit` or above is 0.
bool high_bits_clear(const uint32_t* limbs, int nlimbs, int bit) {
  for (int i = bit / 32; i < nlimbs; ++i) {
    uint32_t mask = i == bit / 32 ? ~uint32_t{0} << (bit % 32) : ~uint32_t{0};
    if ((limbs[i] & mask) != 0) return false;
  }
  return true;
}

// True when the limbs hold exactly 2^bit.
bool is_power_of_two(const uint32_t* limbs, int nlimbs, int bit) {
  for (int i = 0; i < nlimbs; ++i) {
    uint32_t expected = i == bit / 32 ? uint32_t{1} << (bit % 32) : 0;
    if (limbs[i] != expected) return false;
  }
  return true;
}

// The whole text as an integer: cp_ok, cp_range (saturated) or cp_invalid.
int parse_whole_integer(const String& text, bool is_signed, int size, int base, uint32_t* limbs) {
  IntegerParser parser;
  parser.base = base;
  int nlimbs;
  const char* end =
      cp_parse_integer(parser, text.begin(), text.end(), is_signed, size, limbs, &nlimbs);
  if (parser.status == cp_invalid || end != text.end()) return cp_invalid;
  return parser.status;
}

// An unsigned decimal with an optional unit of `units`, in units of
// 10^-extra_power: cp_ok, cp_invalid, or cp_range with 4294967295.
int parse_unit_value(const String& text, const CpUnit* units, const CpUnitPrefix* prefixes,
                     int extra_power, uint32_t* value, bool* has_unit) {
  int power;
  uint32_t multiplier;
  const char* number_end =
      cp_parse_unit(units, prefixes, text.begin(), text.end(), &power, &multiplier);
  *has_unit = number_end != text.end();
  auto shift = static_cast<int>(clamp_shift(int64_t{power} + extra_power));
  uint64_t integer;
  uint32_t fraction;
  int status;
  const char* end =
      cp_parse_decimal_parts(text.begin(), number_end, false, shift, &integer, &fraction, &status);
  if (status == cp_invalid || end != number_end) return cp_invalid;
  if (integer > UINT32_MAX) {
    *value = UINT32_MAX;
    return cp_range;
  }
  status = cp_ok;
  *value = cp_apply_multiplier(integer, fraction, multiplier, &status);
  return status;
}

String& directory_storage() {
  static String directory;
  return directory;
}

// Appends `text`, dropping each '/' that would follow another.
void append_collapsing_slashes(StringBuilder* out, const String& text) {
  for (char c : text) {
    if (c == '/' && out->length() > 0 && out->data()[out->length() - 1] == '/') continue;
    out->append(c);
  }
}

}  // namespace

const char* cp_integer_span(const char* begin, const char* end, bool is_signed, int* base) {
  const char* p = begin;
  if (p < end && (*p == '+' || (is_signed && *p == '-'))) ++p;
  const char* digits = p;
  // A prefix needs at least one character after it.
  char letter = p + 2 < end && p[0] == '0' ? static_cast<char>(p[1] | 0x20) : '\0';
  if ((*base == 0 || *base == 16) && letter == 'x') {
    *base = 16;
    digits = p + 2;
  } else if (*base == 0 && letter == 'b') {
    *base = 2;
    digits = p + 2;
  } else if (*base == 0) {
    *base = p < end && *p == '0' ? 8 : 10;
  }
  if (*base < 2 || *base > 36) return begin;

  const char* number_end = nullptr;
  bool after_digit = false;
  for (const char* q = digits; q < end; ++q) {
    if (digit_value(*q) < *base) {
      number_end = q + 1;
      after_digit = true;
    } else if (*q == '_' && after_digit) {
      after_digit = false;
    } else {
      break;
    }
  }
  if (number_end != nullptr) return number_end;
  // A prefix without digits leaves the 0 before it as the number.
  if (digits != p) return p + 1;
  return begin;
}

const char* cp_parse_integer(IntegerParser& parser, const char* begin, const char* end,
                             bool is_signed, int size, uint32_t* limbs, int* nlimbs) {
  if (size < 1 || size > 8) {
    *nlimbs = 0;
    parser.status = cp_invalid;
    return begin;
  }
  const int n = (size + 3) / 4;
  *nlimbs = n;
  for (int i = 0; i < n; ++i) limbs[i] = 0;
  int base = parser.base;
  const char* number_end = cp_integer_span(begin, end, is_signed, &base);
  parser.base = base;
  if (number_end == begin) {
    parser.status = cp_invalid;
    return begin;
  }

  const bool negative = *begin == '-';
  int status = cp_ok;
  bool fast = true;
  for (const char* p = begin; p < number_end; ++p) {
    // The sign, the prefix letter and underscores are no digits of the base.
    int digit = digit_value(*p);
    if (digit >= base) continue;
    if (fast && limbs[0] <= kFastLimbBound) {
      limbs[0] = limbs[0] * static_cast<uint32_t>(base) + static_cast<uint32_t>(digit);
      continue;
    }
    fast = false;
    uint64_t carry = static_cast<uint64_t>(digit);
    for (int i = 0; i < n; ++i) {
      uint64_t v = uint64_t{limbs[i]} * static_cast<uint64_t>(base) + carry;
      limbs[i] = static_cast<uint32_t>(v);
      carry = v >> 32;
    }
    if (carry != 0) status = cp_range;
  }

  const int bound_bit = 8 * size - (is_signed ? 1 : 0);
  if (status == cp_ok && !high_bits_clear(limbs, n, bound_bit) &&
      !(negative && is_power_of_two(limbs, n, bound_bit))) {
    status = cp_range;
  }
  if (status == cp_range) {
    for (int i = 0; i < n; ++i) limbs[i] = negative ? 0 : ~uint32_t{0};
    if (size % 4 != 0) limbs[n - 1] &= (uint32_t{1} << (8 * (size % 4))) - 1;
    if (is_signed) limbs[bound_bit / 32] ^= uint32_t{1} << (bound_bit % 32);
  }
  if (negative) {
    uint64_t carry = 1;
    for (int i = 0; i < n; ++i) {
      uint64_t v = uint64_t{~limbs[i]} + carry;
      limbs[i] = static_cast<uint32_t>(v);
      carry = v >> 32;
    }
  }
  parser.status = status;
  return number_end;
}

bool cp_parse_int32(int* status, const String& text, int32_t* value, ParseContext& context,
                    int base) {
  uint32_t limb;
  int result = parse_whole_integer(text, true, 4, base, &limb);
  set_status(status, result);
  if (result == cp_invalid) {
    context.error("invalid number");
    return false;
  }
  if (result == cp_range) {
    context.error("out of range, bound %lld", static_cast<long long>(static_cast<int32_t>(limb)));
    return false;
  }
  *value = static_cast<int32_t>(limb);
  return true;
}

bool cp_parse_uint32(int* status, const String& text, uint32_t* value, ParseContext& context,
                     int base) {
  uint32_t limb;
  int result = parse_whole_integer(text, false, 4, base, &limb);
  set_status(status, result);
  if (result == cp_invalid) {
    context.error("invalid number");
    return false;
  }
  if (result == cp_range) {
    context.error("out of range, bound %llu", static_cast<unsigned long long>(limb));
    return false;
  }
  *value = limb;
  return true;
}

bool cp_parse_uint64(int* status, const String& text, uint64_t* value) {
  uint32_t limbs[2];
  int result = parse_whole_integer(text, false, 8, 0, limbs);
  set_status(status, result);
  if (result == cp_invalid) {
    ParseContext::blank.error("invalid number");
    return false;
  }
  *value = uint64_t{limbs[1]} << 32 | limbs[0];
  return true;
}

bool cp_parse_bool(const String& text, bool* value) {
  static const char* const kFalse[] = {"0", "n", "f", "no", "false"};
  static const char* const kTrue[] = {"1", "y", "t", "yes", "true"};
  for (int i = 0; i < 5; ++i) {
    if (text.equals(kFalse[i])) {
      *value = false;
      return true;
    }
    if (text.equals(kTrue[i])) {
      *value = true;
      return true;
    }
  }
  return false;
}

const char* cp_parse_unit(const CpUnit* units, const CpUnitPrefix* prefixes, const char* begin,
                          const char* end, int* power, uint32_t* multiplier) {
  *power = 0;
  *multiplier = 1;
  for (const CpUnit* unit = units; unit->name != nullptr; ++unit) {
    auto length = static_cast<ptrdiff_t>(std::strlen(unit->name));
    if (end - begin < length ||
        std::memcmp(end - length, unit->name, static_cast<size_t>(length)) != 0) {
      continue;
    }
    const char* number_end = end - length;
    *power = unit->power;
    *multiplier = unit->multiplier;
    if (number_end > begin) {
      for (const CpUnitPrefix* prefix = prefixes; prefix->prefix != '\0'; ++prefix) {
        if (number_end[-1] != prefix->prefix) continue;
        *power += prefix->power;
        --number_end;
        break;
      }
    }
    while (number_end > begin && is_space(number_end[-1])) --number_end;
    return number_end;
  }
  return end;
}

const char* cp_parse_decimal_parts(const char* begin, const char* end, bool is_signed, int power,
                                   uint64_t* integer, uint32_t* fraction, int* status) {
  *integer = 0;
  *fraction = 0;
  const char* p = begin;
  bool negative = false;
  if (p < end && (*p == '+' || (is_signed && *p == '-'))) negative = *p++ == '-';

  // Mantissa: digits, single underscores after digits, one point.
  const char* mantissa = p;
  const char* mantissa_end = nullptr;
  bool after_digit = false;
  bool seen_point = false;
  int64_t ndigits = 0;
  int64_t integer_digits = 0;
  for (; p < end; ++p) {
    if (is_decimal(*p)) {
      ++ndigits;
      integer_digits += seen_point ? 0 : 1;
      after_digit = true;
      mantissa_end = p + 1;
    } else if (*p == '_' && after_digit) {
      after_digit = false;
    } else if (*p == '.' && !seen_point && (after_digit || p == mantissa)) {
      seen_point = true;
      if (after_digit) mantissa_end = p + 1;
      after_digit = false;
    } else {
      break;
    }
  }
  if (ndigits == 0) {
    *status = cp_invalid;
    return begin;
  }

  const char* number_end = mantissa_end;
  int64_t exponent = 0;
  if (number_end < end && (*number_end == 'e' || *number_end == 'E')) {
    const char* q = number_end + 1;
    bool exponent_negative = false;
    if (q < end && (*q == '+' || *q == '-')) exponent_negative = *q++ == '-';
    if (q < end && is_decimal(*q)) {
      for (; q < end && is_decimal(*q); ++q) {
        if (exponent < kShiftLimit) exponent = exponent * 10 + (*q - '0');
      }
      if (exponent_negative) exponent = -exponent;
      number_end = q;
    }
  }

  // Digits before `point` form the integer part, the rest the fraction.
  const int64_t point = clamp_shift(integer_digits + clamp_shift(exponent) + power);
  uint64_t value = 0;
  bool overflow = false;
  char digits[kFractionDigits] = {};
  int nfraction =
      point < 0 ? static_cast<int>(-point < kFractionDigits ? -point : kFractionDigits) : 0;
  int64_t index = 0;
  for (const char* q = mantissa; q < mantissa_end; ++q) {
    if (!is_decimal(*q)) continue;
    auto digit = static_cast<uint64_t>(*q - '0');
    if (index++ >= point) {
      if (nfraction < kFractionDigits) digits[nfraction++] = static_cast<char>(digit);
      continue;
    }
    if (overflow || value > (UINT64_MAX - digit) / 10) {
      overflow = true;
      continue;
    }
    value = value * 10 + digit;
  }
  for (int64_t i = ndigits; i < point && value != 0 && !overflow; ++i) {
    if (value > UINT64_MAX / 10) overflow = true;
    value *= 10;
  }

  // Doubling the decimal fraction shifts out one binary digit at a time; the
  // 33rd rounds.
  uint32_t bits = 0;
  for (int bit = 0; bit <= 32; ++bit) {
    int carry = 0;
    for (int j = nfraction - 1; j >= 0; --j) {
      int v = digits[j] * 2 + carry;
      digits[j] = static_cast<char>(v % 10);
      carry = v / 10;
    }
    if (bit < 32) {
      bits = (bits << 1) | static_cast<uint32_t>(carry);
    } else if (carry != 0 && ++bits == 0) {
      overflow = overflow || value == UINT64_MAX;
      ++value;
    }
  }

  const uint64_t sign_bit = uint64_t{1} << 63;
  if (is_signed && !overflow && value >= sign_bit &&
      !(negative && value == sign_bit && bits == 0)) {
    overflow = true;
  }
  *status = overflow ? cp_range : cp_ok;
  if (overflow) {
    bits = 0;
    value = !is_signed ? UINT64_MAX : negative ? sign_bit : sign_bit - 1;
  }
  if (negative) {
    value = 0 - value - (bits != 0 ? 1 : 0);
    bits = 0 - bits;
  }
  *integer = value;
  *fraction = bits;
  return number_end;
}

uint32_t cp_apply_multiplier(uint64_t integer, uint32_t fraction, uint32_t multiplier,
                             int* status) {
  if (multiplier == 0) return 0;
  uint64_t fraction_part = uint64_t{fraction} * multiplier;
  uint64_t rounded = (fraction_part >> 32) + ((fraction_part >> 31) & 1);
  // Both factors below 2^32: the sum stays below 2^64.
  if (integer <= UINT32_MAX) {
    uint64_t total = integer * multiplier + rounded;
    if (total <= UINT32_MAX) return static_cast<uint32_t>(total);
  }
  set_status(status, cp_range);
  return UINT32_MAX;
}

bool cp_parse_bandwidth(int* status, const String& text, uint32_t* value, ParseContext& context) {
  uint32_t rate;
  bool has_unit;
  int result =
      parse_unit_value(text, cp_bandwidth_units, cp_bandwidth_prefixes, 0, &rate, &has_unit);
  if (result == cp_invalid) {
    set_status(status, cp_invalid);
    return false;
  }
  if (result == cp_range) {
    set_status(status, cp_range);
    context.error("out of range");
    *value = UINT32_MAX;
    return false;
  }
  set_status(status, !has_unit && rate != 0 ? cp_no_unit : cp_ok);
  *value = rate;
  return true;
}

bool cp_parse_seconds(int fraction_digits, int* status, const String& text, uint32_t* value) {
  uint32_t time;
  bool has_unit;
  int result = parse_unit_value(text, cp_seconds_units, cp_seconds_prefixes, fraction_digits, &time,
                                &has_unit);
  set_status(status, result);
  if (result == cp_invalid) return false;
  *value = time;
  return true;
}

void set_config_directory(const char* directory) { directory_storage() = String(directory); }

const String& config_directory() { return directory_storage(); }

bool cp_parse_filename(const String& text, String* filename) {
  String name;
  if (!cp_parse_literal_string(text, &name) || name.empty()) return false;
  // A NUL (from an escape) would silently cut the path where it is opened.
  if (std::memchr(name.data(), '\0', static_cast<size_t>(name.length())) != nullptr) return false;
  StringBuilder joined;
  String& directory = directory_storage();
  if (name[0] != '/' && !directory.empty()) {
    if (directory[directory.length() - 1] != '/') directory += '/';
    append_collapsing_slashes(&joined, directory);
  }
  append_collapsing_slashes(&joined, name);
  *filename = joined.take_string();
  return true;
}

String cp_bandwidth_to_string(uint32_t bytes_per_second) {
  if (bytes_per_second >= (uint32_t{1} << 29)) {
    return cp_decimal_fixed_to_string(bytes_per_second, 6) + "MBps";
  }
  uint32_t bits = bytes_per_second * 8;
  if (bytes_per_second >= 125000000) return cp_decimal_fixed_to_string(bits, 9) + "Gbps";
  if (bytes_per_second < 125000) return cp_decimal_fixed_to_string(bits, 3) + "kbps";
  return cp_decimal_fixed_to_string(bits, 6) + "Mbps";
}

String cp_decimal_fixed_to_string(uint32_t value, int digits) {
  if (digits < 0) digits = 0;
  char number[16];
  int length = std::snprintf(number, sizeof number, "%u", value);
  int integer_length = length > digits ? length - digits : 0;
  StringBuilder out;
  if (integer_length > 0) {
    out.append(number, integer_length);
  } else {
    out.append('0');
  }
  const char* fraction = number + integer_length;
  int fraction_length = length - integer_length;
  while (fraction_length > 0 && fraction[fraction_length - 1] == '0') --fraction_length;
  if (fraction_length == 0) return out.take_string();
  out.append('.');
  for (int zeros = digits - (length - integer_length); zeros > 0; --zeros) out.append('0');
  out.append(fraction, fraction_length);
  return out.take_string();
}

String cp_fixed_point_to_string(uint32_t value, int bits) {
  if (bits < 0) bits = 0;
  if (bits > 32) bits = 32;
  const uint64_t one = uint64_t{1} << bits;
  StringBuilder out;
  out << (uint64_t{value} >> bits);
  uint64_t rest = uint64_t{value} & (one - 1);
  if (rest == 0) return out.take_string();
  out.append('.');
  uint64_t rounder = 5;
  while (rounder < one / 2) rounder *= 10;
  // The shortest digits that read back to the same fraction: stop once the
  // rest lies within the error the printed digits allow, and round a digit
  // once the digits resolve finer than 2^-bits.
  rest = rest * 10 + 5;
  uint64_t allowed = 10;
  do {
    if (allowed > one) rest = rest + one / 2 - rounder;
    out.append(static_cast<char>('0' + (rest >> bits)));
    allowed *= 10;
    rest = (rest & (one - 1)) * 10;
  } while (rest > allowed);
  return out.take_string();
}
