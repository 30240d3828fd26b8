// A fixed-capacity text buffer for code that may not allocate or call the C
// library's formatters: signal handlers writing log lines and crash dumps.
//
// Appends stop silently at the capacity (one byte stays free for a closing
// NUL), so a long input is cut rather than overrunning the buffer. The object
// lives on the caller's stack; not shared between threads.
#ifndef CLIENT_LIB_CXLOG_CXSAFETEXT_H_
#define CLIENT_LIB_CXLOG_CXSAFETEXT_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

template <size_t Capacity>
class cxSafeText {
 public:
  static_assert(Capacity > 1);

  cxSafeText() { buf_[0] = '\0'; }

  cxSafeText& add(std::string_view text) {
    for (char c : text) add(c);
    return *this;
  }
  cxSafeText& add(char c) {
    if (size_ + 1 < Capacity) buf_[size_++] = c;
    buf_[size_] = '\0';
    return *this;
  }
  // Decimal, at least `width` digits with leading zeros.
  cxSafeText& dec(uint64_t value, int width = 1) { return number(value, 10, width, '0', false); }
  cxSafeText& signedDec(int64_t value) {
    if (value < 0) {
      add('-');
      return dec(static_cast<uint64_t>(-(value + 1)) + 1);
    }
    return dec(static_cast<uint64_t>(value));
  }
  // Hexadecimal, at least `width` digits padded with `pad`.
  cxSafeText& hex(uint64_t value, int width = 1, char pad = '0', bool upper = false) {
    return number(value, 16, width, pad, upper);
  }

  const char* c_str() const { return buf_; }
  std::string_view view() const { return {buf_, size_}; }
  size_t size() const { return size_; }

 private:
  cxSafeText& number(uint64_t value, unsigned base, int width, char pad, bool upper) {
    const char* digits = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    char tmp[64];
    int n = 0;
    do {
      tmp[n++] = digits[value % base];
      value /= base;
    } while (value != 0);
    for (int i = n; i < width && i < 64; ++i) add(pad);
    while (n > 0) add(tmp[--n]);
    return *this;
  }

  char buf_[Capacity];
  size_t size_ = 0;
};

#endif  // CLIENT_LIB_CXLOG_CXSAFETEXT_H_
