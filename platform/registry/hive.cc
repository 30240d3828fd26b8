#include "platform/registry/hive.h"

#include <cstdio>
#include <iterator>
#include <utility>

namespace platform::registry {
namespace {

constexpr std::string_view kHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kOldHeader = "REGEDIT4";
constexpr std::string_view kRootName = "HKEY_LOCAL_MACHINE";
constexpr std::string_view kRootShortName = "HKLM";
constexpr size_t kBadLineTextBytes = 256;
// Hex data lines are wrapped before this column, as the registry editor does.
constexpr size_t kHexLineWidth = 77;

char fold_char(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c; }

bool is_control(char c) {
  auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7f;
}

bool has_control(std::string_view s) {
  for (char c : s) {
    if (is_control(c)) return true;
  }
  return false;
}

std::string_view trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to 8 hex digits, all of `s`.
bool parse_hex32(std::string_view s, uint32_t* out) {
  if (s.empty() || s.size() > 8) return false;
  uint32_t v = 0;
  for (char c : s) {
    int d = hex_digit(c);
    if (d < 0) return false;
    v = (v << 4) | static_cast<uint32_t>(d);
  }
  *out = v;
  return true;
}

// Reads a quoted text starting at s[*pos] == '"'; *pos ends after the closing
// quote. False when the quote is not closed.
bool parse_quoted(std::string_view s, size_t* pos, std::string* out) {
  out->clear();
  size_t i = *pos + 1;
  while (i < s.size()) {
    char c = s[i];
    if (c == '"') {
      *pos = i + 1;
      return true;
    }
    if (c == '\\' && i + 1 < s.size() && (s[i + 1] == '\\' || s[i + 1] == '"')) {
      out->push_back(s[i + 1]);
      i += 2;
      continue;
    }
    out->push_back(c);
    ++i;
  }
  return false;
}

void append_quoted(std::string_view s, std::string* out) {
  out->push_back('"');
  for (char c : s) {
    if (c == '\\' || c == '"') out->push_back('\\');
    out->push_back(c);
  }
  out->push_back('"');
}

// Comma-separated bytes of one or two hex digits; a trailing comma is allowed.
bool parse_hex_bytes(std::string_view s, std::string* out) {
  out->clear();
  s = trim(s);
  while (!s.empty()) {
    size_t comma = s.find(',');
    std::string_view token = trim(s.substr(0, comma));
    if (token.empty() || token.size() > 2) return false;
    int value = 0;
    for (char c : token) {
      int d = hex_digit(c);
      if (d < 0) return false;
      value = value * 16 + d;
    }
    out->push_back(static_cast<char>(value));
    if (comma == std::string_view::npos) break;
    s = trim(s.substr(comma + 1));
  }
  return true;
}

bool valid_utf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    auto c = static_cast<unsigned char>(s[i]);
    size_t extra;
    uint32_t cp;
    if (c < 0x80) {
      ++i;
      continue;
    }
    if (c >= 0xc2 && c <= 0xdf) {
      extra = 1;
      cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      extra = 2;
      cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + extra >= s.size()) return false;
    for (size_t k = 1; k <= extra; ++k) {
      auto cc = static_cast<unsigned char>(s[i + k]);
      if ((cc & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3f);
    }
    if ((extra == 2 && (cp < 0x800 || (cp >= 0xd800 && cp <= 0xdfff))) ||
        (extra == 3 && (cp < 0x10000 || cp > 0x10ffff))) {
      return false;
    }
    i += extra + 1;
  }
  return true;
}

// True when `data` of type REG_SZ can be written as a quoted text: one zero
// byte at the end only, and printable UTF-8 before it.
bool fits_quoted(std::string_view data) {
  if (data.empty() || data.back() != '\0') return false;
  std::string_view text = data.substr(0, data.size() - 1);
  return !has_control(text) && valid_utf8(text);
}

void append_hex_value(std::string line, std::string_view data, std::string* out) {
  static const char kDigits[] = "0123456789abcdef";
  for (size_t i = 0; i < data.size(); ++i) {
    auto b = static_cast<unsigned char>(data[i]);
    char token[3] = {kDigits[b >> 4], kDigits[b & 15], ','};
    size_t token_size = i + 1 < data.size() ? 3 : 2;
    if (line.size() + token_size > kHexLineWidth) {
      out->append(line);
      out->append("\\\n");
      line = "  ";
    }
    line.append(token, token_size);
  }
  out->append(line);
  out->push_back('\n');
}

void append_value(const Value& v, std::string* out) {
  std::string line;
  if (v.name.empty()) {
    line = "@";
  } else {
    append_quoted(v.name, &line);
  }
  line.push_back('=');
  if (v.type == 1 && fits_quoted(v.data)) {
    append_quoted(std::string_view(v.data).substr(0, v.data.size() - 1), &line);
    out->append(line);
    out->push_back('\n');
    return;
  }
  if (v.type == 4 && v.data.size() == 4) {
    uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | static_cast<unsigned char>(v.data[i]);
    char buf[16];
    std::snprintf(buf, sizeof buf, "dword:%08x", n);
    out->append(line);
    out->append(buf);
    out->push_back('\n');
    return;
  }
  if (v.type == 3) {
    line.append("hex:");
  } else {
    char buf[16];
    std::snprintf(buf, sizeof buf, "hex(%x):", v.type);
    line.append(buf);
  }
  append_hex_value(std::move(line), v.data, out);
}

bool ends_with_backslash(std::string_view line) {
  line = trim(line);
  return !line.empty() && line.back() == '\\';
}

void append_kept(const KeptLines& lines, std::string* out) {
  for (const std::string& line : lines) {
    out->append(line);
    out->push_back('\n');
    // A kept line left hanging on "\" must not take in what is written next.
    if (ends_with_backslash(line)) out->push_back('\n');
  }
}

void append_sections(const Node& node, std::string& path, bool always, std::string* out) {
  if (always || !node.values().empty() || !node.trailing_lines().empty()) {
    out->push_back('[');
    out->append(kRootName);
    out->append(path);
    out->append("]\n");
    for (const Value& v : node.values()) {
      append_kept(v.lines_before, out);
      append_value(v, out);
    }
    append_kept(node.trailing_lines(), out);
    out->push_back('\n');
  }
  for (const auto& [folded, child] : node.children()) {
    size_t size = path.size();
    path.push_back('\\');
    path.append(child->name());
    append_sections(*child, path, true, out);
    path.resize(size);
  }
}

// The text of one line for a report.
BadLine bad_line(int number, std::string_view text) {
  return BadLine{number, std::string(text.substr(0, kBadLineTextBytes))};
}

class Reader {
 public:
  Reader(std::string_view text, Node* root, std::vector<BadLine>* bad)
      : text_(text), root_(root), bad_(bad) {}

  size_t run() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") text_.remove_prefix(3);
    bool first = true;
    std::string_view line;
    while (next_line(&line)) {
      int number = line_number_;
      unit_.assign(1, line);
      std::string_view t = trim(line);
      if (t.empty()) continue;
      if (t.front() == ';') {
        keep_unit();
        continue;
      }
      if (first) {
        first = false;
        if (t == kHeader || t == kOldHeader) continue;
      }
      if (t.front() == '[') {
        flush_kept();
        if (read_section(t)) continue;
      } else if (t.front() == '"' || t.front() == '@') {
        Outcome outcome = read_value(t);
        if (outcome == Outcome::kStored) continue;
        keep_unit();
        if (outcome == Outcome::kIgnored) continue;
        report(number, line);
        continue;
      }
      keep_unit();
      report(number, line);
    }
    flush_kept();
    return bad_count_;
  }

 private:
  enum class Section { kNone, kKey, kSkip };
  enum class Outcome { kStored, kIgnored, kBad };

  // The next line without its CRs at the end; false at the end of the text.
  bool next_line(std::string_view* line) {
    if (pos_ >= text_.size()) return false;
    size_t end = text_.find('\n', pos_);
    if (end == std::string_view::npos) end = text_.size();
    *line = text_.substr(pos_, end - pos_);
    while (!line->empty() && line->back() == '\r') line->remove_suffix(1);
    pos_ = end + 1;
    ++line_number_;
    return true;
  }

  bool next_line_is_blank() const {
    if (pos_ >= text_.size()) return true;
    size_t end = text_.find('\n', pos_);
    std::string_view line = text_.substr(pos_, end == std::string_view::npos ? end : end - pos_);
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return trim(line).empty();
  }

  void report(int number, std::string_view line) {
    ++bad_count_;
    if (bad_ != nullptr && bad_->size() < kMaxReportedBadLines) {
      bad_->push_back(bad_line(number, line));
    }
  }

  // The lines just read are kept verbatim where they stand.
  void keep_unit() {
    std::string joined(unit_[0]);
    for (size_t i = 1; i < unit_.size(); ++i) {
      joined.push_back('\n');
      joined.append(unit_[i]);
    }
    pending_.push_back(std::move(joined));
  }

  // Kept lines that no value of the section followed go to its end; before
  // the first section, to the preamble.
  void flush_kept() {
    if (pending_.empty()) return;
    if (anchor_ == nullptr) {
      root_->add_preamble(std::move(pending_));
    } else {
      anchor_->add_trailing_lines(std::move(pending_));
    }
    pending_.clear();
  }

  bool read_section(std::string_view t) {
    // Until a good section line, values belong nowhere; they are kept with
    // the section line at the end of the last good section.
    section_ = Section::kSkip;
    current_ = nullptr;
    if (t.size() < 2 || t.back() != ']') return false;
    std::string_view inner = t.substr(1, t.size() - 2);
    size_t slash = inner.find('\\');
    std::string_view root_name = inner.substr(0, slash);
    if (!names_equal(root_name, kRootName) && !names_equal(root_name, kRootShortName)) {
      return false;
    }
    std::vector<std::string> parts;
    if (slash != std::string_view::npos && !split_path(inner.substr(slash + 1), &parts)) {
      return false;
    }
    Node* node = root_;
    for (const std::string& part : parts) node = node->add_child(part);
    current_ = node;
    anchor_ = node;
    section_ = Section::kKey;
    return true;
  }

  Outcome read_value(std::string_view t) {
    std::string name;  // "@" is the unnamed value
    size_t pos = 0;
    if (t.front() == '@') {
      pos = 1;
    } else if (!parse_quoted(t, &pos, &name)) {
      return Outcome::kBad;
    }
    if (!valid_value_name(name)) return Outcome::kBad;
    std::string_view rest = trim(t.substr(pos));
    if (rest.empty() || rest.front() != '=') return Outcome::kBad;
    rest = trim(rest.substr(1));

    uint32_t type;
    std::string data;
    if (!rest.empty() && rest.front() == '"') {
      size_t end = 0;
      if (!parse_quoted(rest, &end, &data) || end != rest.size()) return Outcome::kBad;
      data.push_back('\0');
      type = 1;
    } else if (rest.substr(0, 6) == "dword:") {
      uint32_t n;
      if (!parse_hex32(rest.substr(6), &n)) return Outcome::kBad;
      for (int i = 0; i < 4; ++i) data.push_back(static_cast<char>((n >> (8 * i)) & 0xff));
      type = 4;
    } else if (rest.substr(0, 3) == "hex") {
      std::string_view after = rest.substr(3);
      if (after.substr(0, 1) == ":") {
        type = 3;
        after.remove_prefix(1);
      } else if (after.substr(0, 1) == "(") {
        size_t close = after.find("):");
        if (close == std::string_view::npos || !parse_hex32(after.substr(1, close - 1), &type)) {
          return Outcome::kBad;
        }
        after.remove_prefix(close + 2);
      } else {
        return Outcome::kBad;
      }
      std::string list(after);
      if (!read_continuations(&list) || !parse_hex_bytes(list, &data)) return Outcome::kBad;
    } else {
      return Outcome::kBad;
    }

    if (section_ == Section::kNone) return Outcome::kBad;
    if (section_ == Section::kSkip) return Outcome::kIgnored;
    current_->set_value(name, type, data, &pending_);
    return Outcome::kStored;
  }

  // A hex list ending in "\" goes on in the next line; a blank line or the
  // end of the text there leaves it unfinished.
  bool read_continuations(std::string* list) {
    for (;;) {
      while (!list->empty() && (list->back() == ' ' || list->back() == '\t')) list->pop_back();
      if (list->empty() || list->back() != '\\') return true;
      list->pop_back();
      std::string_view next;
      if (next_line_is_blank() || !next_line(&next)) return false;
      unit_.emplace_back(next);
      list->append(trim(next));
    }
  }

  std::string_view text_;
  Node* root_;
  std::vector<BadLine>* bad_;
  size_t pos_ = 0;
  int line_number_ = 0;
  size_t bad_count_ = 0;
  Section section_ = Section::kNone;
  Node* current_ = nullptr;
  Node* anchor_ = nullptr;              // the last good section; null before the first
  std::vector<std::string_view> unit_;  // the physical lines of the line being read
  KeptLines pending_;                   // kept lines waiting for the next new value
};

}  // namespace

std::string fold(std::string_view name) {
  std::string out(name);
  for (char& c : out) c = fold_char(c);
  return out;
}

bool names_equal(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (fold_char(a[i]) != fold_char(b[i])) return false;
  }
  return true;
}

bool valid_key_name(std::string_view name) {
  return !name.empty() && name.size() <= kMaxKeyNameBytes &&
         name.find('\\') == std::string_view::npos && !has_control(name);
}

bool valid_value_name(std::string_view name) {
  return name.size() <= kMaxValueNameBytes && !has_control(name);
}

bool split_path(std::string_view path, std::vector<std::string>* parts) {
  parts->clear();
  while (!path.empty()) {
    size_t slash = path.find('\\');
    std::string_view part = path.substr(0, slash);
    if (!part.empty()) {
      if (!valid_key_name(part) || parts->size() == kMaxKeyDepth) return false;
      parts->emplace_back(part);
    }
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return true;
}

const Value* Node::find_value(std::string_view name) const {
  auto it = value_index_.find(fold(name));
  return it == value_index_.end() ? nullptr : &*it->second;
}

bool Node::set_value(std::string_view name, uint32_t type, std::string_view data,
                     KeptLines* lines_before) {
  auto [it, inserted] = value_index_.try_emplace(fold(name));
  if (inserted) {
    it->second =
        values_.insert(values_.end(), Value{std::string(name), type, std::string(data), {}});
    if (lines_before != nullptr) {
      it->second->lines_before = std::move(*lines_before);
      lines_before->clear();
    }
    return true;
  }
  Value& v = *it->second;
  if (v.type == type && v.data == data) return false;
  v.type = type;
  v.data.assign(data);
  return true;
}

bool Node::delete_value(std::string_view name) {
  auto it = value_index_.find(fold(name));
  if (it == value_index_.end()) return false;
  auto value = it->second;
  KeptLines& next =
      std::next(value) == values_.end() ? trailing_lines_ : std::next(value)->lines_before;
  next.insert(next.begin(), std::make_move_iterator(value->lines_before.begin()),
              std::make_move_iterator(value->lines_before.end()));
  values_.erase(value);
  value_index_.erase(it);
  return true;
}

void Node::add_trailing_lines(KeptLines lines) {
  trailing_lines_.insert(trailing_lines_.end(), std::make_move_iterator(lines.begin()),
                         std::make_move_iterator(lines.end()));
}

void Node::add_preamble(KeptLines lines) {
  preamble_.insert(preamble_.end(), std::make_move_iterator(lines.begin()),
                   std::make_move_iterator(lines.end()));
}

const Node* Node::find_child(std::string_view name) const {
  auto it = children_.find(fold(name));
  return it == children_.end() ? nullptr : it->second.get();
}

Node* Node::find_child(std::string_view name) {
  auto it = children_.find(fold(name));
  return it == children_.end() ? nullptr : it->second.get();
}

Node* Node::add_child(std::string_view name, bool* created) {
  auto [it, inserted] = children_.try_emplace(fold(name));
  if (inserted) it->second = std::make_unique<Node>(std::string(name));
  if (created != nullptr) *created = inserted;
  return it->second.get();
}

bool Node::remove_child(std::string_view name) { return children_.erase(fold(name)) > 0; }

void Node::clear() {
  KeptLines kept;
  for (Value& v : values_) {
    kept.insert(kept.end(), std::make_move_iterator(v.lines_before.begin()),
                std::make_move_iterator(v.lines_before.end()));
  }
  trailing_lines_.insert(trailing_lines_.begin(), std::make_move_iterator(kept.begin()),
                         std::make_move_iterator(kept.end()));
  values_.clear();
  value_index_.clear();
  children_.clear();
}

const Node* Node::find(const std::vector<std::string>& parts) const {
  const Node* node = this;
  for (const std::string& part : parts) {
    node = node->find_child(part);
    if (node == nullptr) return nullptr;
  }
  return node;
}

Node* Node::find(const std::vector<std::string>& parts) {
  return const_cast<Node*>(static_cast<const Node*>(this)->find(parts));
}

std::unique_ptr<Node> Node::clone() const {
  auto copy = std::make_unique<Node>(name_);
  copy->values_ = values_;
  for (auto v = copy->values_.begin(); v != copy->values_.end(); ++v) {
    copy->value_index_.emplace(fold(v->name), v);
  }
  for (const auto& [folded, child] : children_) copy->children_.emplace(folded, child->clone());
  copy->trailing_lines_ = trailing_lines_;
  copy->preamble_ = preamble_;
  return copy;
}

size_t apply_reg_text(std::string_view text, Node* root, std::vector<BadLine>* bad) {
  return Reader(text, root, bad).run();
}

std::string write_reg_text(const Node& root) {
  std::string out(kHeader);
  out.append("\n\n");
  if (!root.preamble().empty()) {
    append_kept(root.preamble(), &out);
    out.push_back('\n');
  }
  std::string path;
  append_sections(root, path, false, &out);
  return out;
}

}  // namespace platform::registry
