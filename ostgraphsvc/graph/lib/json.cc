#include "graph/json.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "graph/hashcode.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "platform/error/win_error.h"
#include "platform/fs/open_file.h"

namespace {

constexpr int kMaxOpenContainers = 2048;
constexpr int kFirstSlots = 8;
constexpr int kLongWalk = 5;
// Beyond this many slots per item, long chains come from keys that share
// their whole hash, which more slots cannot split; doubling on would only
// exhaust memory.
constexpr int kMaxSlotsPerItem = 4;

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The value of a canonical decimal index ("0", "12"; not "01", "-1", "+1"),
// or -1 when `key` is not one or is `limit` or more.
int canonical_index(StringRef key, int limit) {
  if (key.length <= 0 || key.length > 10) return -1;
  if (key.data[0] == '0') return key.length == 1 && limit > 0 ? 0 : -1;
  long long value = 0;
  for (int i = 0; i < key.length; ++i) {
    if (!is_digit(key.data[i])) return -1;
    value = value * 10 + (key.data[i] - '0');
  }
  return value < limit ? static_cast<int>(value) : -1;
}

// Grows `v` with null elements to `n`, doubling its room so that growing one
// element at a time stays linear.
void grow_to(Vector<Json>& v, int n) {
  if (n <= v.size()) return;
  if (n > v.capacity()) v.reserve(n > 2 * v.capacity() ? n : 2 * v.capacity());
  v.resize(n);
}

const char* skip_space(const char* p, const char* end) {
  while (p < end && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
  return p;
}

// Bytes a string token copies as they are: printable ASCII other than the
// double quote and the backslash.
struct PlainBytes {
  bool plain[256];
  constexpr PlainBytes() : plain() {
    for (int c = 0x20; c < 0x80; ++c) plain[c] = c != '"' && c != '\\';
  }
};
constexpr PlainBytes kPlain;

bool plain(const unsigned char* p) { return kPlain.plain[*p]; }

// Past a run of plain bytes, eight at a time: a byte is flagged when it is
// a quote or backslash (zero after the xor), below 0x20 (the subtraction
// wraps) or 0x80 and above. Borrows only run upwards from a flagged byte, so
// the lowest flag is exact.
[[gnu::always_inline]] inline const unsigned char* skip_plain(const unsigned char* p,
                                                              const unsigned char* end) {
  static_assert(std::endian::native == std::endian::little, "the lowest flag is the first byte");
  constexpr uint64_t kOnes = 0x0101010101010101;
  constexpr uint64_t kHigh = 0x8080808080808080;
  while (end - p >= 8) {
    uint64_t x;
    std::memcpy(&x, p, 8);
    uint64_t quote = x ^ (kOnes * '"');
    uint64_t backslash = x ^ (kOnes * '\\');
    uint64_t flags =
        (((quote - kOnes) & ~quote) | ((backslash - kOnes) & ~backslash) | (x - kOnes * 0x20) | x) &
        kHigh;
    if (flags != 0) return p + (__builtin_ctzll(flags) >> 3);
    p += 8;
  }
  while (p < end && plain(p)) ++p;
  return p;
}

// Past one well-formed UTF-8 sequence starting at a byte of 0x80 or more, or
// null: no overlong forms, surrogates or code points above 0x10FFFF.
const unsigned char* skip_utf8(const unsigned char* p, const unsigned char* end) {
  unsigned lead = p[0];
  int follow;
  unsigned low = 0x80;
  unsigned high = 0xBF;
  if (lead < 0xC2 || lead > 0xF4) return nullptr;
  if (lead <= 0xDF) {
    follow = 1;
  } else if (lead <= 0xEF) {
    follow = 2;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else {
    follow = 3;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  }
  if (end - p <= follow) return nullptr;
  if (p[1] < low || p[1] > high) return nullptr;
  for (int i = 2; i <= follow; ++i) {
    if (p[i] < 0x80 || p[i] > 0xBF) return nullptr;
  }
  return p + follow + 1;
}

// Four hexadecimal digits (either case) at p, or -1.
int hex4(const unsigned char* p, const unsigned char* end) {
  if (end - p < 4) return -1;
  int value = 0;
  for (int i = 0; i < 4; ++i) {
    unsigned c = p[i];
    int digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<int>(c - '0');
    } else if ((c | 0x20) >= 'a' && (c | 0x20) <= 'f') {
      digit = static_cast<int>((c | 0x20) - 'a' + 10);
    } else {
      return -1;
    }
    value = value * 16 + digit;
  }
  return value;
}

// One escape after its backslash, appended to `out`; the position after it or
// null.
const unsigned char* decode_escape(const unsigned char* p, const unsigned char* end,
                                   StringBuilder& out) {
  if (p == end) return nullptr;
  char simple = 0;
  switch (*p) {
    case '"':
    case '/':
    case '\\':
      simple = static_cast<char>(*p);
      break;
    case 'b':
      simple = '\b';
      break;
    case 'f':
      simple = '\f';
      break;
    case 'n':
      simple = '\n';
      break;
    case 'r':
      simple = '\r';
      break;
    case 't':
      simple = '\t';
      break;
    case 'u':
      break;
    default:
      return nullptr;
  }
  if (simple != 0) {
    out.append(simple);
    return p + 1;
  }
  int code_point = hex4(p + 1, end);
  p += 5;
  if (code_point <= 0 || (code_point >= 0xDC00 && code_point <= 0xDFFF)) return nullptr;
  if (code_point >= 0xD800 && code_point <= 0xDBFF) {
    if (end - p < 2 || p[0] != '\\' || p[1] != 'u') return nullptr;
    int low = hex4(p + 2, end);
    if (low < 0xDC00 || low > 0xDFFF) return nullptr;
    code_point = 0x10000 + (code_point - 0xD800) * 1024 + (low - 0xDC00);
    p += 6;
  }
  if (code_point < 0x80) {
    out.append(static_cast<char>(code_point));
    return p;
  }
  return out.append_utf8(code_point) ? p : nullptr;
}

// Bytes from `start` (inside a string token) to the end of the text or the
// first double quote that no backslash escapes.
int token_length(const unsigned char* start, const unsigned char* end) {
  const unsigned char* p = start;
  while (p < end && *p != '"') p += *p == '\\' ? 2 : 1;
  if (p > end) p = end;
  return static_cast<int>(p - start);
}

// A string token from just after its opening quote: the position after the
// closing quote, or null. A token without escapes is left in the source:
// *plain_length is its length. Otherwise *plain_length is -1 and *decoded
// holds the characters.
const char* scan_string(const char* from, const char* to, int* plain_length, String* decoded) {
  const unsigned char* start = reinterpret_cast<const unsigned char*>(from);
  const unsigned char* end = reinterpret_cast<const unsigned char*>(to);
  const unsigned char* p = start;
  for (;;) {
    p = skip_plain(p, end);
    if (p == end) return nullptr;
    if (*p == '"') {
      *plain_length = static_cast<int>(p - start);
      return reinterpret_cast<const char*>(p + 1);
    }
    if (*p == '\\') break;
    if (*p < 0x20) return nullptr;
    p = skip_utf8(p, end);
    if (p == nullptr) return nullptr;
  }

  // Decoding never lengthens the text, so the raw token bounds the builder.
  StringBuilder sb(static_cast<int>(p - start) + token_length(p, end));
  sb.append(from, static_cast<int>(p - start));
  for (;;) {
    p = decode_escape(p + 1, end, sb);
    if (p == nullptr) return nullptr;
    for (;;) {
      const unsigned char* run = p;
      p = skip_plain(p, end);
      sb.append(reinterpret_cast<const char*>(run), static_cast<int>(p - run));
      if (p == end) return nullptr;
      if (*p == '"') {
        *plain_length = -1;
        *decoded = sb.take_string();
        return reinterpret_cast<const char*>(p + 1);
      }
      if (*p == '\\') break;
      if (*p < 0x20) return nullptr;
      run = p;
      p = skip_utf8(p, end);
      if (p == nullptr) return nullptr;
      sb.append(reinterpret_cast<const char*>(run), static_cast<int>(p - run));
    }
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Bodies

void JsonContainer::deref(int type) {
  if (--refcount > 0) return;
  if (type == Json::kObject) {
    delete static_cast<JsonObject*>(this);
  } else {
    delete static_cast<JsonArray*>(this);
  }
}

void* JsonObject::operator new(size_t size) {
  return ::operator new(size + kInlineItems * sizeof(Item));
}

void JsonObject::operator delete(void* block) { ::operator delete(block); }

JsonObject::JsonObject(const JsonObject& other)
    : JsonContainer(), items(inline_items()), capacity(kInlineItems), index(other.index) {
  if (other.capacity > kInlineItems) {
    items = static_cast<Item*>(::operator new(sizeof(Item) * static_cast<size_t>(other.capacity)));
    capacity = other.capacity;
  }
  for (; count < other.count; ++count) new (items + count) Item(other.items[count]);
}

JsonObject::~JsonObject() {
  for (int i = 0; i < count; ++i) items[i].~Item();
  if (items != inline_items()) ::operator delete(items);
}

int JsonObject::find(StringRef key) const {
  if (index.empty()) return -1;
  uint32_t slot = string_hash(key.data, key.data + key.length) & (index.size() - 1);
  for (int i = index[slot]; i >= 0; i = items[i].next) {
    if (items[i].key.equals(key.data, key.length)) return i;
  }
  return -1;
}

int JsonObject::locate(StringRef key, Walk* walk) {
  if (index.empty()) index.resize(kFirstSlots, -1);
  walk->slot = string_hash(key.data, key.data + key.length) & (index.size() - 1);
  walk->last = -1;
  walk->walked = 0;
  for (int i = index[walk->slot]; i >= 0; i = items[i].next, ++walk->walked) {
    const String& k = items[i].key;
    if (k.length() == key.length && std::memcmp(k.data(), key.data, key.length) == 0) return i;
    walk->last = i;
  }
  return -1;
}

JsonObject::Item* JsonObject::append_place(const Walk& walk) {
  if (walk.last < 0) {
    index[walk.slot] = count;
  } else {
    items[walk.last].next = count;
  }
  if (count == capacity) {
    int grown = 2 * capacity;
    Item* moved = static_cast<Item*>(::operator new(sizeof(Item) * static_cast<size_t>(grown)));
    for (int i = 0; i < count; ++i) {
      new (moved + i) Item(std::move(items[i]));
      items[i].~Item();
    }
    if (items != inline_items()) ::operator delete(items);
    items = moved;
    capacity = grown;
  }
  return items + count;
}

int JsonObject::appended(const Walk& walk) {
  int at = count++;
  if (walk.walked >= kLongWalk && index.size() <= kMaxSlotsPerItem * count) {
    rebuild_index(2 * index.size());
  }
  return at;
}

int JsonObject::find_insert(const String& key, Json value) {
  Walk walk;
  int found = locate(key, &walk);
  if (found >= 0) return found;
  new (append_place(walk)) Item{key, std::move(value), -1};
  return appended(walk);
}

int JsonObject::find_insert(StringRef key) {
  Walk walk;
  int found = locate(key, &walk);
  if (found >= 0) return found;
  // The key may be bytes of this object's own items, which growing moved
  // but kept alive, so it is copied only now.
  new (append_place(walk)) Item{String(key.data, key.length), Json(), -1};
  return appended(walk);
}

int JsonObject::find_insert(StringRef key, String::Memo* memo) {
  Walk walk;
  int found = locate(key, &walk);
  if (found >= 0) return found;
  new (append_place(walk)) Item{String(key.data, key.length, memo), Json(), -1};
  return appended(walk);
}

void JsonObject::rebuild_index(int slots) {
  index.clear();
  index.resize(slots, -1);
  uint32_t mask = static_cast<uint32_t>(slots - 1);
  // Last to first, each at the head of its chain: chains end up in insertion
  // order.
  for (int i = count - 1; i >= 0; --i) {
    uint32_t slot = string_hash(items[i].key.begin(), items[i].key.end()) & mask;
    items[i].next = index[slot];
    index[slot] = i;
  }
}

// ---------------------------------------------------------------------------
// Values

Json& Json::operator=(const Json& other) {
  if (&other == this) return *this;
  if (other.body_ != nullptr) ++other.body_->refcount;
  JsonContainer* old = body_;
  int old_type = type_;
  type_ = other.type_;
  text_ = other.text_;
  body_ = other.body_;
  // Last: `other` may live inside the old body.
  if (old != nullptr) old->deref(old_type);
  return *this;
}

Json& Json::operator=(Json&& other) noexcept {
  if (&other == this) return *this;
  JsonContainer* old = body_;
  int old_type = type_;
  type_ = std::exchange(other.type_, kNull);
  text_ = std::move(other.text_);
  body_ = std::exchange(other.body_, nullptr);
  if (old != nullptr) old->deref(old_type);
  return *this;
}

Json::Json(int value) : type_(kInteger), text_(value) {}
Json::Json(long value) : type_(kInteger), text_(value) {}
Json::Json(long long value) : type_(kInteger), text_(value) {}
Json::Json(double value) {
  if (!std::isfinite(value)) return;
  type_ = kReal;
  text_ = String(value);
}
Json::Json(bool value) : type_(kBoolean), text_(value) {}
Json::Json(const String& value) : type_(kString), text_(value) {}
Json::Json(const char* value) : type_(kString), text_(value) {}

const Json& Json::make_null() {
  static const Json null;
  return null;
}

void Json::release() {
  if (body_ != nullptr) body_->deref(type_);
  body_ = nullptr;
  type_ = kNull;
}

const Json& Json::get(StringRef key) const {
  if (type_ == kObject) {
    const JsonObject* object = static_cast<const JsonObject*>(body_);
    int i = object->find(key);
    return i >= 0 ? object->items[i].value : make_null();
  }
  if (type_ != kArray) return make_null();
  const JsonArray* array = static_cast<const JsonArray*>(body_);
  int i = canonical_index(key, array->elements.size());
  return i >= 0 ? array->elements[i] : make_null();
}

int Json::size() const {
  if (type_ == kArray) return static_cast<const JsonArray*>(body_)->elements.size();
  if (type_ == kObject) return static_cast<const JsonObject*>(body_)->count;
  return 0;
}

int Json::to_int() const {
  if (type_ == kBoolean || text_.empty()) return 0;
  if (text_.length() == 1) return is_digit(text_[0]) ? text_[0] - '0' : 0;
  long value = std::strtol(text_.c_str(), nullptr, 0);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int>(value);
}

double Json::to_double() const {
  switch (type_) {
    case kArray:
    case kObject:
      return size();
    case kNull:
      return 0;
    case kBoolean:
      return to_bool() ? 1 : 0;
    default:
      return std::strtod(text_.c_str(), nullptr);
  }
}

void Json::make_unshared(int kind) {
  if (kind != kArray && kind != kObject) return;
  if (type_ == kind && body_->refcount == 1) return;

  JsonContainer* made;
  if (type_ == kind && kind == kArray) {
    JsonArray* array = new JsonArray;
    array->elements = static_cast<const JsonArray*>(body_)->elements;
    made = array;
  } else if (type_ == kind) {
    made = JsonObject::make(*static_cast<const JsonObject*>(body_));
  } else if (type_ == kArray) {
    const Vector<Json>& elements = static_cast<const JsonArray*>(body_)->elements;
    JsonObject* object = JsonObject::make();
    for (int i = 0; i < elements.size(); ++i) object->find_insert(String(i), elements[i]);
    made = object;
  } else if (type_ == kObject) {
    const JsonObject* object = static_cast<const JsonObject*>(body_);
    JsonArray* array = new JsonArray;
    for (int i = 0; i < object->count; ++i) {
      int at = canonical_index(object->items[i].key, kMaxConvertedIndex);
      if (at < 0) continue;
      grow_to(array->elements, at + 1);
      array->elements[at] = object->items[i].value;
    }
    made = array;
  } else if (kind == kArray) {
    made = new JsonArray;
  } else {
    made = JsonObject::make();
  }
  release();
  type_ = kind;
  text_ = String();
  body_ = made;
}

Json& Json::get_insert(StringRef key) {
  String keep = text_;  // the key may be this value's own text
  make_unshared(kObject);
  return static_cast<JsonObject*>(body_)->get_insert(key);
}

Json& Json::get_insert(StringRef key1, StringRef key2) {
  Json& outer = get_insert(key1);
  return outer.get_insert(key2);
}

Json& Json::get_insert(int index) {
  if (index < 0) index = 0;
  if (type_ == kObject) return get_insert(String(index));
  make_unshared(kArray);
  Vector<Json>& elements = static_cast<JsonArray*>(body_)->elements;
  grow_to(elements, index + 1);
  return elements[index];
}

void Json::set(const String& key, const String& value) { get_insert(key) = Json(value); }

void Json::append(Json value) {
  make_unshared(kArray);
  static_cast<JsonArray*>(body_)->elements.push_back(std::move(value));
}

// ---------------------------------------------------------------------------
// Text output

void Json::write_text(StringBuilder& out) const {
  switch (type_) {
    case kNull:
      out.append("null", 4);
      return;
    case kString:
      out.append('"');
      out.append(text_.encode_json());
      out.append('"');
      return;
    case kArray: {
      const Vector<Json>& elements = static_cast<const JsonArray*>(body_)->elements;
      out.append('[');
      for (int i = 0; i < elements.size(); ++i) {
        if (i > 0) out.append(',');
        elements[i].write_text(out);
      }
      out.append(']');
      return;
    }
    case kObject: {
      const JsonObject* object = static_cast<const JsonObject*>(body_);
      out.append('{');
      for (int i = 0; i < object->count; ++i) {
        if (i > 0) out.append(',');
        out.append('"');
        out.append(object->items[i].key.encode_json());
        out.append("\":", 2);
        object->items[i].value.write_text(out);
      }
      out.append('}');
      return;
    }
    default:
      out.append(text_);
      return;
  }
}

String Json::to_text() const {
  StringBuilder out;
  write_text(out);
  return out.take_string();
}

// ---------------------------------------------------------------------------
// Parsing

void Json::set_scalar(int type, const char* data, int length, String::Memo* memo) {
  if (body_ != nullptr) release();
  type_ = type;
  if (text_.memo() == nullptr) {
    // The old text is static (a fresh place always is), so its destructor
    // would do nothing: build the new one over it.
    new (&text_) String(data, length, memo);
    return;
  }
  text_ = String(data, length, memo);
}

const char* Json::parse_scalar(const String& source, const char* p, const char* end) {
  size_t left = static_cast<size_t>(end - p);
  if (*p == 't' || *p == 'f') {
    bool value = *p == 't';
    size_t n = value ? 4 : 5;
    if (left < n || std::memcmp(p, value ? "true" : "false", n) != 0) return nullptr;
    if (body_ != nullptr) release();
    type_ = kBoolean;
    text_ = String(value);
    return p + n;
  }
  if (*p == 'n') {
    if (left < 4 || std::memcmp(p, "null", 4) != 0) return nullptr;
    release();
    text_ = String();
    return p + 4;
  }

  const char* start = p;
  if (*p == '-') ++p;
  if (p == end || !is_digit(*p)) return nullptr;
  if (*p++ != '0') {
    while (p < end && is_digit(*p)) ++p;
  }
  int type = kInteger;
  if (p < end && *p == '.') {
    ++p;
    if (p == end || !is_digit(*p)) return nullptr;
    while (p < end && is_digit(*p)) ++p;
    type = kReal;
  }
  if (p < end && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end && (*p == '+' || *p == '-')) ++p;
    if (p == end || !is_digit(*p)) return nullptr;
    while (p < end && is_digit(*p)) ++p;
    type = kReal;
  }
  set_scalar(type, start, static_cast<int>(p - start), source.memo());
  return p;
}

class Json::Parser {
 public:
  explicit Parser(const String& source) : source_(source) {}

  // One complete value over [p, end) into `result`.
  bool run(Json& result, const char* p, const char* end) {
    State state = kInitial;
    for (;;) {
      p = skip_space(p, end);
      if (p == end) return false;
      const char c = *p;
      if (c == ',') {
        if (state == kArrayAfterValue) {
          state = kArrayExpectValue;
        } else if (state == kObjectAfterValue) {
          state = kObjectExpectKey;
        } else {
          return false;
        }
        ++p;
        continue;
      }
      if (c == ':') {
        if (state != kObjectExpectColon) return false;
        state = kObjectExpectValue;
        ++p;
        continue;
      }
      if (c == ']' || c == '}') {
        bool closes = c == ']' ? state == kArrayStart || state == kArrayAfterValue
                               : state == kObjectStart || state == kObjectAfterValue;
        if (!closes) return false;
        open_.pop_back();
        ++p;
      } else if (c == '"' && (state == kObjectStart || state == kObjectExpectKey)) {
        key_ = p + 1;
        p = scan_string(key_, end, &key_length_, &decoded_key_);
        if (p == nullptr) return false;
        state = kObjectExpectColon;
        continue;
      } else {
        Json* place = place_for(state, result);
        if (place == nullptr) return false;
        if (c == '[' || c == '{') {
          if (open_.size() == kMaxOpenContainers) return false;
          place->release();
          if (place->text_.memo() != nullptr) place->text_ = String();
          place->type_ = c == '[' ? kArray : kObject;
          place->body_ = c == '[' ? static_cast<JsonContainer*>(new JsonArray) : JsonObject::make();
          open_.push_back(Frame{place->body_, c == '['});
          state = c == '[' ? kArrayStart : kObjectStart;
          ++p;
          continue;
        }
        p = c == '"' ? parse_string_value(place, p + 1, end) : place->parse_scalar(source_, p, end);
        if (p == nullptr) return false;
      }
      if (open_.empty()) return skip_space(p, end) == end;
      state = open_.back().array ? kArrayAfterValue : kObjectAfterValue;
    }
  }

 private:
  enum State {
    kInitial,
    kArrayStart,
    kArrayAfterValue,
    kArrayExpectValue,
    kObjectStart,
    kObjectAfterValue,
    kObjectExpectKey,
    kObjectExpectColon,
    kObjectExpectValue,
  };

  // Where a value starting in `state` goes, or null when none may start.
  Json* place_for(State state, Json& result) {
    switch (state) {
      case kInitial:
        return &result;
      case kObjectExpectValue: {
        JsonObject* object = static_cast<JsonObject*>(open_.back().body);
        int at = key_length_ >= 0
                     ? object->find_insert(StringRef(key_, key_length_), source_.memo())
                     : object->find_insert(decoded_key_, Json());
        return &object->items[at].value;  // read after the insert, which may move them
      }
      case kArrayStart:
      case kArrayExpectValue: {
        Vector<Json>& elements = static_cast<JsonArray*>(open_.back().body)->elements;
        elements.push_back(Json());
        return &elements.back();
      }
      default:
        return nullptr;
    }
  }

  const char* parse_string_value(Json* place, const char* p, const char* end) {
    int length;
    p = scan_string(p, end, &length, &decoded_value_);
    if (p == nullptr) return nullptr;
    if (length >= 0) {
      place->set_scalar(kString, p - 1 - length, length, source_.memo());
    } else {
      place->set_scalar(kString, nullptr, 0, nullptr);
      place->text_ = std::move(decoded_value_);
    }
    return p;
  }

  const String& source_;
  // The bodies of the open containers, innermost last.
  struct Frame {
    JsonContainer* body;
    bool array;
  };
  Vector<Frame> open_;
  // The pending key: key_length_ bytes at key_ in the source, or when it had
  // escapes (key_length_ -1) decoded_key_.
  const char* key_ = nullptr;
  int key_length_ = 0;
  String decoded_key_;
  String decoded_value_;
};

bool Json::parse_text(const String& source, int begin, int end) {
  if (begin < 0) begin = 0;
  if (end > source.length()) end = source.length();
  if (begin >= end) return false;
  Json result;
  if (!Parser(source).run(result, source.data() + begin, source.data() + end)) return false;
  *this = std::move(result);
  return true;
}

Json Json::parse(const String& text) {
  Json value;
  value.parse_text(text, 0, text.length());
  return value;
}

namespace {

// The size of the open file, or -1 when it has none we can hold in one text.
int file_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size < 0 || st.st_size > INT32_MAX - 64) return -1;
  return static_cast<int>(st.st_size);
}

}  // namespace

int Json::file_parse(const String& file_name, Json& result) {
  // Work files lie in a folder the service does not own alone.
  int fd = platform::open_no_links(file_name.c_str(), O_RDONLY, 0);
  if (fd < 0) {
    router_chatter("Unable to open file %s, error %u", file_name.c_str(),
                   static_cast<unsigned>(platform::win_error_from_errno(errno)));
    return -1;
  }
  int size = file_size(fd);
  if (size < 0) {
    ::close(fd);
    router_chatter("Unable to open file %s", file_name.c_str());
    return -1;
  }

  // A file larger than the memory left is a failed read like any other.
  try {
    return parse_open_file(fd, size, result);
  } catch (const std::bad_alloc&) {
    if (fd >= 0) ::close(fd);
    router_chatter("Unable to read file %s: out of memory", file_name.c_str());
    return -1;
  }
}

int Json::parse_open_file(int& fd, int size, Json& result) {
  StringBuilder buffer(size + 1);
  char* bytes = buffer.extend(size + 1);
  std::memset(bytes, 0, static_cast<size_t>(size) + 1);
  // A short read (the file shrank, or is no regular file) leaves zeros, which
  // end the text early.
  int got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, bytes + got, static_cast<size_t>(size - got));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += static_cast<int>(n);
  }
  ::close(fd);
  fd = -1;
  int length = static_cast<int>(std::strlen(bytes));
  String text = buffer.take_string().substring(0, length);

  Json parsed;
  parsed.parse_text(text, 0, text.length());
  result = std::move(parsed);
  if (result.type_ == kNull ||
      ((result.type_ == kArray || result.type_ == kObject) && result.size() == 0)) {
    router_chatter("Parse failed %s", text.c_str());
    return -1;
  }
  return 0;
}
