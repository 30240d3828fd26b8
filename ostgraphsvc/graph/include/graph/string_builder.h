// StringBuilder: the growable buffer in which framework code composes texts.
//
// The buffer is a heap block whose text begins 12 bytes in, so that
// `take_string` turns the block into a String's Memo without copying. An
// empty builder (capacity 0) owns nothing and points at the static empty
// text. Capacities grow 116, 244, 500, 1012, ... (blocks of 128, 256, 512,
// 1024, ... bytes). Not thread-safe; allocation failure throws.
#ifndef GRAPH_STRING_BUILDER_H_
#define GRAPH_STRING_BUILDER_H_

#include <cstdint>
#include <cstring>

#include "graph/string.h"
#include "graph/timestamp.h"

class StringBuilder {
 public:
  StringBuilder() = default;
  // Exactly `capacity` bytes of text room (none for capacity <= 0).
  explicit StringBuilder(int capacity);
  StringBuilder(const StringBuilder&) = delete;
  StringBuilder& operator=(const StringBuilder&) = delete;
  ~StringBuilder();

  const char* data() const { return data_; }
  int length() const { return length_; }
  int capacity() const { return capacity_; }
  bool empty() const { return length_ == 0; }
  void clear() { length_ = 0; }
  // The text followed by a NUL (not counted in the length).
  const char* c_str();

  // Grows the capacity beyond `want`; returns the write position.
  char* grow(int want);
  // Room for `n` more bytes and `reserve` beyond them; lengthens the text by
  // `n` and returns where those bytes go.
  char* extend(int n, int reserve = 0);

  void append(const char* data, int length) {
    if (data != nullptr && length > 0 && length <= capacity_ - length_) {
      std::memcpy(data_ + length_, data, static_cast<size_t>(length));
      length_ += length;
      return;
    }
    append_slow(data, length);
  }
  void append(const char* cstr);
  void append(const String& s) { append(s.data(), s.length()); }
  void append(char c) {
    if (length_ >= capacity_) grow(length_);
    data_[length_++] = c;
  }

  // `value` in base 8, 10 or 16; false (nothing appended) for other bases.
  bool append_number(uint64_t value, int base = 10, bool upper_case = false);
  // At most `n` characters of the formatted text; nothing on a format error.
  void append_printf(int n, const char* format, ...) __attribute__((format(printf, 3, 4)));
  // Seconds and fraction: "1.500000", "0.000000001", "-1.500000".
  void append_timestamp(Timestamp t);
  // The UTF-8 bytes of `code_point`; false (nothing appended) for surrogates,
  // 0xFFFE, 0xFFFF and values outside 0-0x10FFFF.
  bool append_utf8(int code_point);

  // Hands the text over as a String without copying and leaves the builder
  // empty; an empty text gives the empty String and changes nothing.
  String take_string();

  StringBuilder& operator<<(const char* cstr) {
    append(cstr);
    return *this;
  }
  StringBuilder& operator<<(const String& s) {
    append(s);
    return *this;
  }
  StringBuilder& operator<<(char c) {
    append(c);
    return *this;
  }
  StringBuilder& operator<<(int value);
  StringBuilder& operator<<(unsigned value) {
    append_number(value);
    return *this;
  }
  StringBuilder& operator<<(uint64_t value) {
    append_number(value);
    return *this;
  }
  StringBuilder& operator<<(int64_t value);

 private:
  void append_slow(const char* data, int length);
  static char* allocate_block(int capacity);
  static void free_block(char* data);
  static int next_capacity(int capacity, int want);

  // Never written through while the capacity is 0.
  char* data_ = const_cast<char*>(&String::kNulByte);
  int length_ = 0;
  int capacity_ = 0;
};

#endif  // GRAPH_STRING_BUILDER_H_
