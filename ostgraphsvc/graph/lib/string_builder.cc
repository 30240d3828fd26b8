#include "graph/string_builder.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

constexpr int kHeader = sizeof(String::Memo);

}  // namespace

char* StringBuilder::allocate_block(int capacity) {
  char* block = static_cast<char*>(::operator new(static_cast<size_t>(capacity) + kHeader));
  return block + kHeader;
}

void StringBuilder::free_block(char* data) { ::operator delete(data - kHeader); }

int StringBuilder::next_capacity(int capacity, int want) {
  int c = capacity == 0 ? 116 : 2 * capacity + 12;
  while (c <= want) c = 2 * c + 12;
  return c;
}

StringBuilder::StringBuilder(int capacity) {
  if (capacity <= 0) return;
  data_ = allocate_block(capacity);
  capacity_ = capacity;
}

StringBuilder::~StringBuilder() {
  if (capacity_ > 0) free_block(data_);
}

char* StringBuilder::grow(int want) {
  int capacity = next_capacity(capacity_, want);
  char* data = allocate_block(capacity);
  if (length_ > 0) std::memcpy(data, data_, static_cast<size_t>(length_));
  if (capacity_ > 0) free_block(data_);
  data_ = data;
  capacity_ = capacity;
  return data_ + length_;
}

char* StringBuilder::extend(int n, int reserve) {
  int need = length_ + n + reserve;
  if (need > capacity_) grow(need - 1);
  char* at = data_ + length_;
  length_ += n;
  return at;
}

void StringBuilder::append_slow(const char* data, int length) {
  if (data == nullptr || length <= 0) return;
  if (capacity_ > 0 && data >= data_ && data < data_ + capacity_) {
    // The source lives in the buffer about to be replaced: detach it, build
    // the new one from it, then free it.
    char* old = data_;
    int old_length = length_;
    data_ = const_cast<char*>(&String::kNulByte);
    length_ = 0;
    capacity_ = 0;
    char* at = extend(old_length + length);
    std::memcpy(at, old, static_cast<size_t>(old_length));
    std::memcpy(at + old_length, data, static_cast<size_t>(length));
    free_block(old);
    return;
  }
  grow(length_ + length);
  std::memcpy(data_ + length_, data, static_cast<size_t>(length));
  length_ += length;
}

void StringBuilder::append(const char* cstr) {
  if (cstr != nullptr) append(cstr, static_cast<int>(std::strlen(cstr)));
}

const char* StringBuilder::c_str() {
  if (capacity_ == 0) return data_;
  if (length_ >= capacity_) grow(length_);
  data_[length_] = '\0';
  return data_;
}

bool StringBuilder::append_number(uint64_t value, int base, bool upper_case) {
  if (base != 8 && base != 10 && base != 16) return false;
  char scratch[256];
  char* end = scratch + sizeof scratch;
  char* p = end;
  if (value == 0) *--p = '0';
  if (base == 10) {
    // Decimal digits without a divide instruction: estimate v / 10 from
    // shifts, then correct the estimate until the remainder is a digit.
    while (value != 0) {
      uint64_t v = value;
      uint64_t q =
          (v >> 4) + (v >> 5) + (v >> 8) + (v >> 9) + (v >> 12) + (v >> 13) + (v >> 16) + (v >> 17);
      uint64_t r = v - 10 * q;
      while (r > 9) {
        uint64_t step = (r >> 4) + (r >> 5) + (r >> 8) + (r >> 9);
        if (r > 4095) step += (r >> 12) + (r >> 13) + (r >> 16) + (r >> 17);
        q += step != 0 ? step : 1;
        r = v - 10 * q;
      }
      *--p = static_cast<char>('0' + r);
      value = q;
    }
  } else {
    const char* digits = upper_case ? "0123456789ABCDEF" : "0123456789abcdef";
    int shift = (base >> 3) + 2;
    while (value != 0) {
      *--p = digits[value & static_cast<uint64_t>(base - 1)];
      value >>= shift;
    }
  }
  append(p, static_cast<int>(end - p));
  return true;
}

void StringBuilder::append_printf(int n, const char* format, ...) {
  if (n < 0) return;
  char* at = extend(0, n + 1);
  va_list args;
  va_start(args, format);
  int written = std::vsnprintf(at, static_cast<size_t>(n) + 1, format, args);
  va_end(args);
  if (written < 0) return;
  length_ += written < n ? written : n;
}

void StringBuilder::append_timestamp(Timestamp t) {
  extend(0, 33);
  int64_t nsec = t.nsec();
  // The magnitude as unsigned, so that the most negative value prints too.
  uint64_t magnitude = nsec < 0 ? 0 - static_cast<uint64_t>(nsec) : static_cast<uint64_t>(nsec);
  if (nsec < 0) append('-');
  uint64_t sec = magnitude / Timestamp::kNsecPerSec;
  unsigned frac = static_cast<unsigned>(magnitude % Timestamp::kNsecPerSec);
  char buf[40];
  int n = frac % 1000 == 0 ? std::snprintf(buf, sizeof buf, "%llu.%06u",
                                           static_cast<unsigned long long>(sec), frac / 1000)
                           : std::snprintf(buf, sizeof buf, "%llu.%09u",
                                           static_cast<unsigned long long>(sec), frac);
  append(buf, n);
}

bool StringBuilder::append_utf8(int cp) {
  char bytes[4];
  int n = 0;
  if (cp < 0) return false;
  if (cp < 0x80) {
    bytes[n++] = static_cast<char>(cp);
  } else if (cp < 0x800) {
    bytes[n++] = static_cast<char>(0xC0 | (cp >> 6));
    bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return false;
    bytes[n++] = static_cast<char>(0xE0 | (cp >> 12));
    bytes[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp <= 0x10FFFF) {
    bytes[n++] = static_cast<char>(0xF0 | (cp >> 18));
    bytes[n++] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    bytes[n++] = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    return false;
  }
  append(bytes, n);
  return true;
}

String StringBuilder::take_string() {
  if (length_ <= 0 || capacity_ <= 0) return String();
  String::Memo* memo = new (data_ - kHeader) String::Memo;
  memo->refcount = 1;
  memo->capacity = static_cast<uint32_t>(capacity_);
  memo->used = static_cast<uint32_t>(length_);
  String out;
  out.data_ = data_;
  out.length_ = length_;
  out.memo_ = memo;
  data_ = const_cast<char*>(&String::kNulByte);
  length_ = 0;
  capacity_ = 0;
  return out;
}

StringBuilder& StringBuilder::operator<<(int value) {
  if (value < 0) {
    append('-');
    append_number(0 - static_cast<uint64_t>(static_cast<int64_t>(value)));
  } else {
    append_number(static_cast<uint64_t>(value));
  }
  return *this;
}

StringBuilder& StringBuilder::operator<<(int64_t value) {
  if (value < 0) {
    append('-');
    append_number(0 - static_cast<uint64_t>(value));
  } else {
    append_number(static_cast<uint64_t>(value));
  }
  return *this;
}
