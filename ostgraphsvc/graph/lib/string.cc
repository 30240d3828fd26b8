#include "graph/string.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <type_traits>

#include "graph/string_builder.h"

namespace {

// "0" to "9", each followed by its NUL.
constexpr char kDigits[] =
    "0\0"
    "1\0"
    "2\0"
    "3\0"
    "4\0"
    "5\0"
    "6\0"
    "7\0"
    "8\0"
    "9";
constexpr char kTrue[] = "true";
constexpr char kFalse[] = "false";

uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

template <typename T>
bool one_digit(T value) {
  if constexpr (std::is_signed_v<T>) {
    return value >= 0 && value <= 9;
  } else {
    return value <= 9;
  }
}

// A Memo made for n characters: n + 12 rounded up to 16 bytes.
uint32_t exact_block_size(int n) { return (static_cast<uint32_t>(n) + 12 + 15) & ~15u; }

// A Memo that has to grow to n characters: 16-byte steps up to 1 KiB, then
// powers of two from 2 KiB, so that repeated appends allocate rarely.
uint32_t growth_block_size(int n) {
  uint32_t want = static_cast<uint32_t>(n) + 12;
  if (want <= 1024) return (want + 15) & ~15u;
  uint32_t size = 2048;
  while (size < want) size <<= 1;
  return size;
}

}  // namespace

String::Memo* String::create_memo(int length, uint32_t block_size) {
  void* block = ::operator new(block_size);
  Memo* memo = new (block) Memo;
  memo->refcount = 1;
  memo->capacity = block_size - sizeof(Memo);
  memo->used = static_cast<uint32_t>(length);
  return memo;
}

void String::deref(Memo* memo) {
  if (memo != nullptr && --memo->refcount == 0) ::operator delete(memo);
}

const String& String::make_empty() {
  static const String empty;
  return empty;
}

void String::set_static(const char* text, int length) {
  data_ = text;
  length_ = length;
  memo_ = nullptr;
}

bool String::owns_bytes(const char* p) const {
  return memo_ != nullptr && address(p) >= address(memo_->chars()) &&
         address(p) < address(memo_->chars()) + memo_->capacity;
}

String::String(const char* cstr) { assign(cstr, -1); }

String::String(const char* data, int length) { assign(data, length); }

String::String(const char* data, int length, Memo* memo)
    : data_(data), length_(length), memo_(memo) {
  if (data != nullptr && length < 0) length_ = static_cast<int>(std::strlen(data));
  if (data == nullptr || length_ <= 0) {
    set_static(&kNulByte, 0);
    return;
  }
  if (memo_ != nullptr) ++memo_->refcount;
}

String::String(const String& other)
    : data_(other.data_), length_(other.length_), memo_(other.memo_) {
  if (memo_ != nullptr) ++memo_->refcount;
}

String::String(String&& other) noexcept
    : data_(other.data_), length_(other.length_), memo_(other.memo_) {
  other.set_static(&kNulByte, 0);
}

String::String(bool value) {
  if (value) {
    set_static(kTrue, 4);
  } else {
    set_static(kFalse, 5);
  }
}

// Values 0-9 are static texts; others are formatted and copied.
#define GRAPH_STRING_FROM_NUMBER(type, format)              \
  String::String(type value) {                              \
    if (one_digit(value)) {                                 \
      set_static(kDigits + 2 * static_cast<int>(value), 1); \
      return;                                               \
    }                                                       \
    char buf[32];                                           \
    int n = std::snprintf(buf, sizeof buf, format, value);  \
    assign(buf, n);                                         \
  }
GRAPH_STRING_FROM_NUMBER(int, "%d")
GRAPH_STRING_FROM_NUMBER(unsigned, "%u")
GRAPH_STRING_FROM_NUMBER(long, "%ld")
GRAPH_STRING_FROM_NUMBER(unsigned long, "%lu")
GRAPH_STRING_FROM_NUMBER(long long, "%lld")
#undef GRAPH_STRING_FROM_NUMBER

String::String(unsigned long long value) {
  if (value <= 9) {
    set_static(kDigits + 2 * static_cast<int>(value), 1);
    return;
  }
  StringBuilder sb;
  sb.append_number(value);
  *this = sb.take_string();
}

String::String(double value) {
  char buf[64];
  int n = std::snprintf(buf, sizeof buf, "%.12g", value);
  assign(buf, n);
}

String& String::operator=(const String& other) {
  if (&other == this) return *this;
  if (other.memo_ != nullptr) ++other.memo_->refcount;
  deref(memo_);
  data_ = other.data_;
  length_ = other.length_;
  memo_ = other.memo_;
  return *this;
}

String& String::operator=(String&& other) noexcept {
  if (&other == this) return *this;
  deref(memo_);
  data_ = other.data_;
  length_ = other.length_;
  memo_ = other.memo_;
  other.set_static(&kNulByte, 0);
  return *this;
}

void String::assign(const char* data, int length) {
  if (data == nullptr) {
    deref(memo_);
    set_static(&kNulByte, 0);
    return;
  }
  if (length < 0) length = static_cast<int>(std::strlen(data));
  if (length > 0 && owns_bytes(data) &&
      address(data) + static_cast<uint32_t>(length) <= address(memo_->chars()) + memo_->capacity) {
    data_ = data;
    length_ = length;
    return;
  }
  if (length == 0) {
    deref(memo_);
    set_static(&kNulByte, 0);
    return;
  }
  Memo* memo = create_memo(length, exact_block_size(length));
  std::memcpy(memo->chars(), data, static_cast<size_t>(length));
  deref(memo_);  // after the copy: the bytes may have been this Memo's
  data_ = memo->chars();
  length_ = length;
  memo_ = memo;
}

char* String::append_space(int n) {
  if (n <= 0) return nullptr;
  if (memo_ != nullptr && address(data_ + length_) == address(memo_->chars() + memo_->used) &&
      memo_->used + static_cast<uint32_t>(n) < memo_->capacity) {
    char* end = memo_->chars() + memo_->used;
    memo_->used += static_cast<uint32_t>(n);
    length_ += n;
    return end;
  }
  int new_length = length_ + n;
  Memo* memo = create_memo(new_length, growth_block_size(new_length));
  if (length_ > 0) std::memcpy(memo->chars(), data_, static_cast<size_t>(length_));
  char* end = memo->chars() + length_;
  deref(memo_);
  data_ = memo->chars();
  length_ = new_length;
  memo_ = memo;
  return end;
}

void String::append(const char* data, int length, Memo* memo) {
  if (data == nullptr) return;
  if (length < 0) length = static_cast<int>(std::strlen(data));
  if (length == 0) return;
  if (length_ == 0 && memo != nullptr) {
    // Appending to an empty String shares instead of copying.
    ++memo->refcount;
    deref(memo_);
    data_ = data;
    length_ = length;
    memo_ = memo;
    return;
  }
  if (owns_bytes(data)) {
    // Keep the source alive while append_space may move this String.
    Memo* source = memo_;
    ++source->refcount;
    char* space = append_space(length);
    std::memmove(space, data, static_cast<size_t>(length));
    deref(source);
    return;
  }
  char* space = append_space(length);
  std::memcpy(space, data, static_cast<size_t>(length));
}

const char* String::c_str() const {
  // Already followed by a NUL that belongs to the text's storage?
  if ((memo_ == nullptr || address(data_ + length_) < address(memo_->chars() + memo_->used)) &&
      data_[length_] == '\0') {
    return data_;
  }
  // c_str is logically const: the text stays the same, only its storage may
  // change to make room for the NUL.
  String* self = const_cast<String*>(this);
  char* nul = self->append_space(1);
  *nul = '\0';
  --self->length_;
  return data_;
}

char* String::mutable_c_str() {
  if (memo_ == nullptr || memo_->refcount != 1) {
    Memo* memo = create_memo(length_, exact_block_size(length_));
    if (length_ > 0) std::memcpy(memo->chars(), data_, static_cast<size_t>(length_));
    deref(memo_);
    data_ = memo->chars();
    memo_ = memo;
  }
  c_str();
  return memo_->chars() + (data_ - memo_->chars());
}

String String::substring(int begin, int end) const {
  if (begin < 0 || begin >= length_ || end <= begin) return String();
  if (end > length_) end = length_;
  return String(data_ + begin, end - begin, memo_);
}

int String::find_left(const String& needle) const {
  if (needle.length_ == 0) return 0;
  if (needle.length_ > length_) return -1;
  const char* last = data_ + (length_ - needle.length_);
  for (const char* p = data_; p <= last;) {
    const void* hit = std::memchr(p, needle.data_[0], static_cast<size_t>(last - p + 1));
    if (hit == nullptr) return -1;
    p = static_cast<const char*>(hit);
    if (std::memcmp(p + 1, needle.data_ + 1, static_cast<size_t>(needle.length_ - 1)) == 0) {
      return static_cast<int>(p - data_);
    }
    ++p;
  }
  return -1;
}

int String::find_left(char c, int start) const {
  if (start < 0) start = 0;
  if (start >= length_) return -1;
  const void* hit = std::memchr(data_ + start, c, static_cast<size_t>(length_ - start));
  return hit != nullptr ? static_cast<int>(static_cast<const char*>(hit) - data_) : -1;
}

int String::compare(const char* data, int length) const {
  if (data == nullptr) data = &kNulByte, length = 0;
  if (length < 0) length = static_cast<int>(std::strlen(data));
  if (data == data_) return length_ - length;
  int common = length_ < length ? length_ : length;
  int diff = common > 0 ? std::memcmp(data_, data, static_cast<size_t>(common)) : 0;
  return diff != 0 ? diff : length_ - length;
}

bool String::equals(const char* data, int length) const {
  if (data == nullptr) return length_ == 0;
  if (length < 0) length = static_cast<int>(std::strlen(data));
  return length == length_ &&
         (length == 0 || std::memcmp(data_, data, static_cast<size_t>(length)) == 0);
}

bool String::equals(const char* cstr) const { return equals(cstr, -1); }

String String::printable() const {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(data_);
  int first = 0;
  while (first < length_ && s[first] >= 32 && s[first] <= 126) ++first;
  if (first == length_) return *this;

  StringBuilder sb(length_ * 2);
  sb.append(data_, first);
  for (int i = first; i < length_; ++i) {
    unsigned char c = s[i];
    if (c < 32) {
      sb.append('^');
      sb.append(static_cast<char>(c + 64));
    } else if (c >= 127) {
      char octal[4] = {'\\', static_cast<char>('0' + (c >> 6)),
                       static_cast<char>('0' + ((c >> 3) & 7)), static_cast<char>('0' + (c & 7))};
      sb.append(octal, 4);
    } else {
      sb.append(static_cast<char>(c));
    }
  }
  return sb.take_string();
}

String String::encode_json() const {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(data_);
  StringBuilder sb;
  int stretch = 0;  // start of the bytes not yet copied
  for (int i = 0; i < length_; ++i) {
    unsigned char c = s[i];
    const char* escape = nullptr;
    char unicode[7];
    int skip = 0;
    switch (c) {
      case '\b':
        escape = "\\b";
        break;
      case '\t':
        escape = "\\t";
        break;
      case '\n':
        escape = "\\n";
        break;
      case '\f':
        escape = "\\f";
        break;
      case '\r':
        escape = "\\r";
        break;
      case '"':
        escape = "\\\"";
        break;
      case '/':
        escape = "\\/";
        break;
      case '\\':
        escape = "\\\\";
        break;
      default:
        if (c < 32) {
          std::snprintf(unicode, sizeof unicode, "\\u%04X", c);
          escape = unicode;
        } else if (c == 0xE2 && i + 2 < length_ && s[i + 1] == 0x80 &&
                   (s[i + 2] == 0xA8 || s[i + 2] == 0xA9)) {
          // U+2028 and U+2029 end lines in JavaScript.
          escape = s[i + 2] == 0xA8 ? "\\u2028" : "\\u2029";
          skip = 2;
        }
        break;
    }
    if (escape == nullptr) continue;
    if (sb.capacity() == 0) sb.grow(length_ + 16);
    sb.append(data_ + stretch, i - stretch);
    sb.append(escape, static_cast<int>(std::strlen(escape)));
    i += skip;
    stretch = i + 1;
  }
  if (stretch == 0) return *this;
  sb.append(data_ + stretch, length_ - stretch);
  return sb.take_string();
}

String String::lower() const {
  int first = 0;
  while (first < length_ && !(data_[first] >= 'A' && data_[first] <= 'Z')) ++first;
  if (first == length_) return *this;
  String out(data_, length_);
  char* p = out.mutable_c_str();
  for (int i = first; i < length_; ++i) {
    if (p[i] >= 'A' && p[i] <= 'Z') p[i] = static_cast<char>(p[i] - 'A' + 'a');
  }
  return out;
}

String operator+(String a, const String& b) {
  a.append(b);
  return a;
}

String operator+(String a, const char* b) {
  a.append(b);
  return a;
}

String operator+(const char* a, const String& b) {
  String out(a);
  out.append(b);
  return out;
}
