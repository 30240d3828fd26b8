#include "graph/args.h"

#include <new>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/nameinfo.h"

namespace {

bool is_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool is_keyword_start(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_';
}
bool is_keyword_char(char c) {
  return is_keyword_start(c) || (c >= '0' && c <= '9') || c == ':' || c == '.' || c == '?' ||
         c == '!';
}

// The length of the argument's leading keyword, or 0 when it is positional
// in form: a keyword needs whitespace and then something after it.
int keyword_length(const String& argument) {
  const char* s = argument.data();
  int n = argument.length();
  if (n == 0 || !is_keyword_start(s[0])) return 0;
  int k = 1;
  while (k < n && is_keyword_char(s[k])) ++k;
  int p = k;
  while (p < n && is_space(s[p])) ++p;
  return (p > k && p < n) ? k : 0;
}

}  // namespace

class Args::BytesSlot : public Args::Slot {
 public:
  BytesSlot(Slot* next_slot, void* target, size_t length)
      : Slot(next_slot, target), bytes(new (std::nothrow) unsigned char[length]), size(length) {}
  ~BytesSlot() override { delete[] bytes; }
  void store() override { std::memcpy(variable, bytes, size); }
  unsigned char* bytes;
  size_t size;
};

template <typename T>
class Args::SlotT : public Args::Slot {
 public:
  SlotT(Slot* next_slot, T* target) : Slot(next_slot, target) {}
  void store() override {
    if constexpr (std::is_same_v<T, String>) {
      *static_cast<T*>(variable) = value;
    } else {
      std::swap(*static_cast<T*>(variable), value);
    }
  }
  T value;
};

Args::Args(const Vector<String>& conf, const Element* element, ErrorHandler* handler)
    : ParseContext(element, handler), own_conf_(true), conf_(new Vector<String>(conf)) {
  scan_keywords_from(0);
}

Args::Args(const Element* element, ErrorHandler* handler) : ParseContext(element, handler) {}

Args::~Args() {
  if (own_conf_) delete conf_;
  drop_slots_to(nullptr);
}

Args& Args::bind(Vector<String>& conf) {
  if (own_conf_) delete conf_;
  own_conf_ = false;
  conf_ = &conf;
  scan_keywords_from(0);
  return *this;
}

Args& Args::append_words(const String& text) {
  if (conf_ == nullptr) {
    conf_ = new Vector<String>;
    own_conf_ = true;
  }
  int first = conf_->size();
  cp_split_words(text, conf_);
  scan_keywords_from(first);
  return *this;
}

void Args::scan_keywords_from(int index) {
  if (index < 0) index = 0;
  if (kwpos_.size() > index) kwpos_.resize(index);
  if (conf_ == nullptr) return;
  for (int i = kwpos_.size(); i < conf_->size(); ++i) kwpos_.push_back(keyword_length((*conf_)[i]));
}

String Args::find_argument(const char* kw, int flags, Slot** mark) {
  keyword = kw;
  read_status = true;
  *mark = slots_;
  int length = kw != nullptr ? static_cast<int>(std::strlen(kw)) : 0;
  if (length > 0 && kw[0] >= '0' && kw[0] <= '9') {
    error("keywords must start with a letter or underscore");
  }

  int positional = -1;
  bool decided = false;
  int match = -1;
  for (int i = 0; conf_ != nullptr && i < kwpos_.size(); ++i) {
    if (!decided && kwpos_[i] != -1) {
      decided = true;
      positional = kwpos_[i] >= 0 ? i : -1;
    }
    if (length > 0 && kwpos_[i] == length &&
        std::memcmp((*conf_)[i].data(), kw, static_cast<size_t>(length)) == 0) {
      kwpos_[i] = -2;
      match = i;
      if (flags & kFirstWins) break;
    }
  }

  int used = -1;
  int used_length = 0;
  if ((flags & kPositional) && positional >= 0 && kwpos_[positional] >= 0 &&
      (kwpos_[positional] == 0 || (match < 0 && (flags & kMandatory)))) {
    if ((flags & kFirstWins) && match >= 0 && match < positional) {
      used = match;
      used_length = length;
    } else if (flags & kFirstWins) {
      kwpos_[positional] = -1;
      if (match > positional) kwpos_[match] = length;
      used = positional;
    } else {
      kwpos_[positional] = -1;
      if (match > positional) {
        used = match;
        used_length = length;
      } else {
        used = positional;
      }
    }
  } else if (match >= 0) {
    used = match;
    used_length = length;
  }

  if (used < 0) {
    if (flags & kMandatory) {
      error("required argument missing");
      status_ = false;
    }
    read_status = false;
    return String();
  }
  if (flags & kDeprecated) warning("argument deprecated");
  const String& argument = (*conf_)[used];
  if (used_length == 0) return argument;
  int p = used_length;
  while (p < argument.length() && is_space(argument[p])) ++p;
  return argument.substring(p);
}

int Args::inline_end(int from) const {
  int p = from;
  while (p < kInlineBytes && inline_[p] != 0) p += inline_[p] + 9;
  return p;
}

void* Args::reserve_result_slot(void* variable, size_t size) {
  int end = inline_end(inline_committed_);
  int n = static_cast<int>(size);
  if (size < static_cast<size_t>(kInlineBytes) && end + n + 9 <= kInlineBytes) {
    inline_[end] = static_cast<unsigned char>(n);
    std::memcpy(&inline_[end + 1 + n], &variable, sizeof variable);
    if (end + n + 9 < kInlineBytes) inline_[end + n + 9] = 0;
    return &inline_[end + 1];
  }
  auto* slot = new BytesSlot(slots_, variable, size);
  if (slot->bytes == nullptr) {
    delete slot;
    error("out of memory");
    return nullptr;
  }
  slots_ = slot;
  return slot->bytes;
}

void Args::drop_slots_to(Slot* mark) {
  while (slots_ != nullptr && slots_ != mark) {
    Slot* next = slots_->next;
    delete slots_;
    slots_ = next;
  }
}

void Args::finish_argument(bool ok, Slot* mark) {
  if (ok) {
    inline_committed_ = static_cast<uint8_t>(inline_end(inline_committed_));
    keyword = nullptr;
    return;
  }
  // Reported before the keyword is cleared, so that it carries the prefix.
  if (read_status) error("parse error");
  keyword = nullptr;
  read_status = false;
  status_ = false;
  if (inline_committed_ < kInlineBytes) inline_[inline_committed_] = 0;
  drop_slots_to(mark);
}

template <typename T, typename Parse>
Args& Args::read_plain(const char* kw, int flags, T& variable, Parse parse) {
  Slot* mark;
  String text = find_argument(kw, flags, &mark);
  if (text.empty()) {
    keyword = nullptr;
    return *this;
  }
  void* storage = reserve_result_slot(&variable, sizeof(T));
  T value{};
  bool ok = storage != nullptr && parse(text, &value);
  if (ok) std::memcpy(storage, &value, sizeof(T));
  finish_argument(ok, mark);
  return *this;
}

template <typename T, typename Parse>
Args& Args::read_slot(const char* kw, int flags, T& variable, Parse parse) {
  Slot* mark;
  String text = find_argument(kw, flags, &mark);
  if (text.empty()) {
    keyword = nullptr;
    return *this;
  }
  auto* slot = new SlotT<T>(slots_, &variable);
  slots_ = slot;
  finish_argument(parse(text, &slot->value), mark);
  return *this;
}

Args& Args::read_string(const char* kw, int flags, String& variable) {
  return read_slot(kw, flags, variable, [](const String& text, String* out) {
    *out = text;
    return true;
  });
}

Args& Args::read_unquoted(const char* kw, int flags, String& variable) {
  return read_slot(kw, flags, variable,
                   [](const String& text, String* out) { return cp_parse_string(text, out); });
}

Args& Args::read_word(const char* kw, int flags, String& variable) {
  return read_slot(kw, flags, variable,
                   [](const String& text, String* out) { return cp_parse_word(text, out); });
}

Args& Args::read_filename(const char* kw, int flags, String& variable) {
  return read_slot(kw, flags, variable,
                   [](const String& text, String* out) { return cp_parse_filename(text, out); });
}

Args& Args::read_bool(const char* kw, int flags, bool& variable) {
  return read_plain(kw, flags, variable,
                    [](const String& text, bool* out) { return cp_parse_bool(text, out); });
}

Args& Args::read_int(const char* kw, int flags, int32_t& variable) {
  return read_plain(kw, flags, variable, [this](const String& text, int32_t* out) {
    int status;
    return cp_parse_int32(&status, text, out, *this);
  });
}

Args& Args::read_uint(const char* kw, int flags, uint32_t& variable) {
  return read_plain(kw, flags, variable, [this](const String& text, uint32_t* out) {
    int status;
    return cp_parse_uint32(&status, text, out, *this);
  });
}

Args& Args::read_color(uint8_t& variable) {
  return read_plain(
      "COLOR", kMandatory | kPositional, variable, [this](const String& text, uint8_t* out) {
        IntegerParser parser;
        uint32_t limbs[1] = {0};
        int nlimbs = 0;
        const char* end =
            cp_parse_integer(parser, text.begin(), text.end(), false, 1, limbs, &nlimbs);
        if (end != text.end() || parser.status == cp_invalid) {
          error("invalid number");
          return false;
        }
        if (parser.status == cp_range) {
          error("out of range, bound %llu", 255ULL);
          return false;
        }
        *out = static_cast<uint8_t>(limbs[0]);
        return true;
      });
}

Args& Args::read_seconds(const char* kw, int flags, uint32_t& variable, int digits) {
  return read_plain(kw, flags, variable, [this, digits](const String& text, uint32_t* out) {
    int status;
    if (!cp_parse_seconds(digits, &status, text, out)) return false;
    if (status == cp_range) {
      error("out of range");
      return false;
    }
    return true;
  });
}

Args& Args::read_bandwidth(const char* kw, int flags, uint32_t& variable) {
  return read_plain(kw, flags, variable, [this](const String& text, uint32_t* out) {
    int status;
    return cp_parse_bandwidth(&status, text, out, *this);
  });
}

Args& Args::read_anno(const char* kw, int flags, int& variable, int size) {
  return read_plain(kw, flags, variable, [this, size](const String& text, int* out) {
    return cp_parse_annotation(size, text, out, *this);
  });
}

Args& Args::read_ip_list(const char* kw, int flags, Vector<IPAddress>& variable) {
  return read_slot(kw, flags, variable, [this](const String& text, Vector<IPAddress>* out) {
    return cp_parse_ip_address_list(text, out, *this);
  });
}

Args& Args::remove_consumed() {
  if (conf_ == nullptr) return *this;
  Vector<String> kept;
  Vector<int> kept_positions;
  for (int i = 0; i < conf_->size() && i < kwpos_.size(); ++i) {
    if (kwpos_[i] == -1 || kwpos_[i] == -2) continue;
    kept.push_back((*conf_)[i]);
    kept_positions.push_back(kwpos_[i]);
  }
  *conf_ = kept;
  kwpos_ = kept_positions;
  return *this;
}

int Args::commit() {
  if (!status_) return ErrorHandler::kErrorResult;
  while (slots_ != nullptr) {
    Slot* next = slots_->next;
    slots_->store();
    delete slots_;
    slots_ = next;
  }
  for (int p = 0; p < inline_committed_ && inline_[p] != 0;) {
    int n = inline_[p];
    void* variable;
    std::memcpy(&variable, &inline_[p + 1 + n], sizeof variable);
    std::memcpy(variable, &inline_[p + 1], static_cast<size_t>(n));
    p += n + 9;
  }
  inline_[0] = 0;
  inline_committed_ = 0;
  return 0;
}

int Args::check_and_commit() {
  bool positional_left = false;
  for (int i = 0; conf_ != nullptr && i < kwpos_.size(); ++i) {
    if (kwpos_[i] > 0) {
      if (errh != nullptr) errh->error("%.*s: unknown argument", kwpos_[i], (*conf_)[i].data());
      status_ = false;
    } else if (kwpos_[i] == 0) {
      positional_left = true;
      status_ = false;
    }
  }
  if (positional_left && errh != nullptr) errh->error("too many arguments");
  return commit();
}
