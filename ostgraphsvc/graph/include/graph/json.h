// Json: the framework's JSON value.
//
// Configuration readers parse their files with `Json::file_parse`, the IPC
// command server parses command texts with `Json::parse`, and elements build
// status pages and handler answers as Json values written by `to_text`.
//
// A value is a type, a text and a body. Scalars keep their JSON text: numbers
// exactly as written ("-12", "1.5e3"), booleans "true"/"false", strings their
// decoded UTF-8 bytes; null, arrays and objects have an empty text. Arrays and
// objects keep their elements or members in a reference-counted body that
// copies share. Values made in code follow the same rule: Json(42) is an
// integer whose text is "42".
//
// Ownership: copying a Json shares its text and body; any write accessor first
// gives the value a body of its own (`make_unshared`), so a copy never sees a
// later change. Parsed strings without escapes and all number texts share the
// memory of the parsed source, which stays alive as long as any of them does.
// Objects keep insertion order and find keys through a hash index.
//
// Read accessors never insert and give the process-wide null for anything
// missing; every write accessor inserts, so looking a key up through
// `get_insert` leaves a null member behind.
//
// Parsing never throws and never reports where it failed. It accepts only
// space, tab, CR and LF as white space, strict UTF-8, and at most 2048
// containers open at once.
//
// Not thread-safe: reference counts are plain integers, so a value and every
// value sharing its bodies must be used by one thread at a time. The
// process-wide null is never written and holds no reference, so any thread
// may read it. Allocation failure throws std::bad_alloc.
#ifndef GRAPH_JSON_H_
#define GRAPH_JSON_H_

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "graph/string.h"
#include "graph/vector.h"

class StringBuilder;
struct JsonContainer;

// A key argument: bytes and a length, borrowed for the call. A null C string
// is the empty key.
struct StringRef {
  StringRef(const char* cstr)  // NOLINT: keys convert implicitly
      : data(cstr != nullptr ? cstr : ""),
        length(cstr != nullptr ? static_cast<int>(std::strlen(cstr)) : 0) {}
  StringRef(const char* bytes, int n) : data(bytes), length(n) {}
  StringRef(const String& s) : data(s.data()), length(s.length()) {}  // NOLINT

  const char* data;
  int length;
};

class Json {
 public:
  static constexpr int kNull = 0;
  static constexpr int kArray = 1;
  static constexpr int kObject = 2;
  static constexpr int kInteger = 3;
  static constexpr int kReal = 4;
  static constexpr int kBoolean = 5;
  static constexpr int kString = 6;

  Json() = default;
  Json(const Json& other);
  Json(Json&& other) noexcept;
  ~Json();
  Json& operator=(const Json& other);
  Json& operator=(Json&& other) noexcept;

  // Values made in code; they also serve as assignments (`v = 5`).
  Json(int value);        // NOLINT
  Json(long value);       // NOLINT
  Json(long long value);  // NOLINT
  // The number text of String(double); NaN and infinities have no JSON text
  // and give null.
  Json(double value);         // NOLINT
  Json(bool value);           // NOLINT
  Json(const String& value);  // NOLINT: a string
  Json(const char* value);    // NOLINT: a string; null gives ""

  // The shared null returned for missing members.
  static const Json& make_null();

  // The parsed value, or null when `text` is not exactly one JSON value
  // (white space around it allowed).
  static Json parse(const String& text);
  // Parses the file at `file_name` (up to its first NUL byte) into `result`.
  // Returns 0, or -1 after logging "Unable to open file %s, error %u" (5 for a
  // link or FIFO in its place, which is never followed or waited on) or
  // "Unable to open file %s" (no size) when it cannot be read, or "Parse
  // failed %s" (with the text) when the result is null, [] or {}; a failed
  // parse leaves `result` null. A file too large for the memory
  // left logs "Unable to read file %s: out of memory" and gives -1.
  static int file_parse(const String& file_name, Json& result);
  // Parses source[begin, end); on success the value replaces *this, on
  // failure *this is unchanged. The range is clamped to the source.
  bool parse_text(const String& source, int begin, int end);

  int type() const { return type_; }
  const String& text() const { return text_; }
  JsonContainer* body() const { return body_; }
  bool is_null() const { return type_ == kNull; }

  // An object's member, or an array's element at a canonical decimal index
  // ("0", "17"; not "01", "+1" or " 1"); the shared null otherwise.
  const Json& get(StringRef key) const;
  // Elements or members; 0 for scalars.
  int size() const;
  // A single-character text gives its digit value ("7" is 7, "a" is 0);
  // others go through strtol in base 0 ("0x1A" is 26, "010" is 8),
  // saturated to the int range. Empty texts and booleans give 0.
  int to_int() const;
  // Containers give their size, null 0, booleans 1 or 0, others strtod.
  double to_double() const;
  bool to_bool() const { return text_.length() > 0 && text_[0] == 't'; }

  // The member, inserted as null when missing; a non-object value becomes an
  // object first.
  Json& get_insert(StringRef key);
  Json& get_insert(const String& key) { return get_insert(StringRef(key)); }
  Json& get_insert(const char* key) { return get_insert(StringRef(key)); }
  // Member key2 of member key1, each made an object as needed.
  Json& get_insert(StringRef key1, StringRef key2);
  // For an object the member named by the decimal index; otherwise the value
  // becomes an array grown with nulls to hold it. A negative index is 0.
  Json& get_insert(int index);
  // Member `key` becomes the string `value`.
  void set(const String& key, const String& value);
  // The value becomes an array, then gets a copy of `value` at its end.
  void append(Json value);

  // Gives the value a body of its own of `kind` (kArray or kObject; other
  // kinds change nothing). A shared body of the same kind is copied; an array
  // becomes an object keyed "0", "1", ...; an object becomes an array of its
  // members with canonical decimal keys, at those positions (keys of
  // kMaxConvertedIndex and above are dropped with the others); anything else
  // becomes empty.
  void make_unshared(int kind);
  static constexpr int kMaxConvertedIndex = 1 << 20;

  // Compact text, no white space; strings and keys escaped by
  // String::encode_json.
  void write_text(StringBuilder& out) const;
  String to_text() const;

 private:
  // `file_parse` past opening: reads `size` bytes of `fd` (closing it and
  // setting it to -1) and parses them.
  static int parse_open_file(int& fd, int size, Json& result);
  class Parser;

  void release();
  // [p, end) from the first character of a literal or number; the position
  // after it, or null when it is neither.
  const char* parse_scalar(const String& source, const char* p, const char* end);
  // Makes the value a scalar whose text shares `memo` (see String).
  void set_scalar(int type, const char* data, int length, String::Memo* memo);

  int type_ = kNull;
  String text_;
  JsonContainer* body_ = nullptr;
};

// The shared body of an array or object; which one is told by the owning
// value's type, so there are no virtual functions.
struct JsonContainer {
  int refcount = 1;

  // Drops one reference; the last one destroys the body as `type` says.
  void deref(int type);
};

struct JsonArray : JsonContainer {
  Vector<Json> elements;
};

// Members in insertion order; the item array starts at 8 items and doubles.
// `index` has a power-of-two length (8 at the first insertion); each slot
// holds the first item of its chain or -1, and chains list items in
// insertion order through `next`. An insertion whose walk passed 5 or more
// items doubles the index, unless it already has 4 or more slots per item
// (then the keys share their whole hash and more slots would not help).
// The first 8 items live in the object's own allocation, so a small object
// costs two allocations (itself and its index); made only by `make` and
// destroyed only by `deref`.
class JsonObject : public JsonContainer {
 public:
  struct Item {
    String key;
    Json value;
    int next;
  };

  static JsonObject* make() { return new JsonObject; }
  static JsonObject* make(const JsonObject& other) { return new JsonObject(other); }
  JsonObject& operator=(const JsonObject&) = delete;

  // The item of `key`, appended with (a copy of) `value` when missing.
  int find_insert(const String& key, Json value);
  // The item of `key`, appended with a null value when missing.
  int find_insert(StringRef key);
  // As above for a key whose bytes lie in `memo` (null: static bytes), which
  // a new item's key shares instead of copying them.
  int find_insert(StringRef key, String::Memo* memo);
  // The item of `key`, or -1.
  int find(StringRef key) const;
  Json& get_insert(StringRef key) {
    int at = find_insert(key);  // before reading `items`, which it may move
    return items[at].value;
  }

  Item* items;
  int count = 0;
  int capacity;
  Vector<int> index;

 private:
  friend struct JsonContainer;
  static constexpr int kInlineItems = 8;

  // Where a key's walk along its chain ended without a match.
  struct Walk {
    uint32_t slot;
    int last;  // the chain's last item, -1 for an empty chain
    int walked;
  };

  JsonObject() : items(inline_items()), capacity(kInlineItems) {}
  JsonObject(const JsonObject& other);
  ~JsonObject();
  static void* operator new(size_t size);
  static void operator delete(void* block);

  Item* inline_items() { return reinterpret_cast<Item*>(this + 1); }
  int locate(StringRef key, Walk* walk);
  // Links item `count` at the end of the walked chain and makes room for it;
  // the caller constructs it there and calls `appended`.
  Item* append_place(const Walk& walk);
  int appended(const Walk& walk);
  void rebuild_index(int slots);
};

inline Json::Json(const Json& other) : type_(other.type_), text_(other.text_), body_(other.body_) {
  if (body_ != nullptr) ++body_->refcount;
}

inline Json::Json(Json&& other) noexcept
    : type_(other.type_), text_(static_cast<String&&>(other.text_)), body_(other.body_) {
  other.type_ = kNull;
  other.body_ = nullptr;
}

inline Json::~Json() {
  if (body_ != nullptr) body_->deref(type_);
}

#endif  // GRAPH_JSON_H_
