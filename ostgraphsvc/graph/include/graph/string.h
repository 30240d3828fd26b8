// String: the framework's text type.
//
// A byte string (it may hold NUL bytes) whose copies and sub-strings share one
// reference-counted heap block, the Memo, so that passing, storing and slicing
// texts allocates nothing. Static texts (the empty text, "0"-"9", "true",
// "false") have no Memo at all.
//
// A Memo is one block: reference count, capacity and used byte count (12 bytes
// of header), then the characters. Strings sharing it point anywhere inside
// its used part. A String that ends exactly at the used end may append in
// place behind the others; every other String copies before it appends, so a
// String never changes bytes another String can see.
//
// Not thread-safe: reference counts are plain integers, so a String and every
// String sharing its Memo must be used by one thread at a time. Allocation
// failure throws std::bad_alloc.
#ifndef GRAPH_STRING_H_
#define GRAPH_STRING_H_

#include <cstdint>
#include <cstring>

class StringBuilder;

class String {
 public:
  struct Memo {
    uint32_t refcount;
    uint32_t capacity;  // bytes of character room
    uint32_t used;      // bytes handed out to Strings
    char* chars() { return reinterpret_cast<char*>(this) + sizeof(Memo); }
    const char* chars() const { return reinterpret_cast<const char*>(this) + sizeof(Memo); }
  };
  static_assert(sizeof(Memo) == 12, "the header room of a StringBuilder block");

  String() = default;
  String(const char* cstr);  // NOLINT: texts convert implicitly
  // `length` < 0: up to the NUL. A null pointer gives the empty String.
  String(const char* data, int length);
  // Shares `memo` (one more reference); a null memo means static bytes.
  String(const char* data, int length, Memo* memo);
  String(const String& other);
  String(String&& other) noexcept;
  explicit String(bool value);
  explicit String(int value);
  explicit String(unsigned value);
  explicit String(long value);
  explicit String(unsigned long value);
  explicit String(long long value);
  explicit String(unsigned long long value);
  explicit String(double value);  // "%.12g"
  ~String() { deref(memo_); }

  String& operator=(const String& other);
  String& operator=(String&& other) noexcept;
  String& operator=(const char* cstr) {
    assign(cstr, -1);
    return *this;
  }

  // The process-wide empty String, returned by reference by lookups that find
  // nothing.
  static const String& make_empty();

  const char* data() const { return data_; }
  int length() const { return length_; }
  bool empty() const { return length_ == 0; }
  Memo* memo() const { return memo_; }
  char operator[](int i) const { return data_[i]; }
  const char* begin() const { return data_; }
  const char* end() const { return data_ + length_; }

  // `length` < 0: up to the NUL; null bytes give the empty String. Bytes that
  // already lie in this String's Memo are re-pointed to, not copied.
  void assign(const char* data, int length);

  // Room for `n` more bytes, which the caller fills; null for n <= 0.
  char* append_space(int n);
  void append(const char* data, int length, Memo* memo);
  void append(const char* cstr) { append(cstr, -1, nullptr); }
  void append(const char* data, int length) { append(data, length, nullptr); }
  void append(const String& s) { append(s.data_, s.length_, s.memo_); }
  void append(char c) { append(&c, 1, nullptr); }
  String& operator+=(const String& s) {
    append(s);
    return *this;
  }
  String& operator+=(const char* cstr) {
    append(cstr);
    return *this;
  }
  String& operator+=(char c) {
    append(c);
    return *this;
  }

  // The text followed by a NUL; may move the String into a new Memo.
  const char* c_str() const;
  // A NUL-terminated text that this String alone owns and may write.
  char* mutable_c_str();

  // [begin, end) sharing the Memo; a begin outside the text gives "".
  String substring(int begin, int end) const;
  String substring(int begin) const { return substring(begin, length_); }

  // Offset of the first occurrence of `needle`, or -1; 0 for an empty needle.
  int find_left(const String& needle) const;
  int find_left(char c, int start = 0) const;

  // Negative, 0 or positive; `length` < 0 measures `data` up to its NUL.
  int compare(const char* data, int length) const;
  int compare(const String& other) const { return compare(other.data_, other.length_); }
  bool equals(const char* cstr) const;
  bool equals(const char* data, int length) const;

  // Bytes outside 32-126 shown as ^X (below 32) or \ooo (127-255).
  String printable() const;
  // The body of a JSON string value, without the quotes.
  String encode_json() const;
  // 'A'-'Z' lowered.
  String lower() const;

  friend bool operator==(const String& a, const String& b) { return a.equals(b.data_, b.length_); }
  friend bool operator==(const String& a, const char* b) { return a.equals(b); }
  friend bool operator<(const String& a, const String& b) { return a.compare(b) < 0; }

 private:
  static void deref(Memo* memo);
  static Memo* create_memo(int length, uint32_t block_size);
  static constexpr char kNulByte = '\0';
  bool owns_bytes(const char* p) const;
  void set_static(const char* text, int length);

  const char* data_ = &kNulByte;
  int length_ = 0;
  Memo* memo_ = nullptr;

  friend class StringBuilder;
};

String operator+(String a, const String& b);
String operator+(String a, const char* b);
String operator+(const char* a, const String& b);

#endif  // GRAPH_STRING_H_
