// The tree of a registry hive and its ".reg" text.
//
// A `Node` is one key: its name as created, its values in creation order and
// its sub-keys in case-insensitive order. Names compare with ASCII letters
// folded to upper case, as the Windows registry compares them, so "a_b" sorts
// after "aB".
//
// The text is the export format of the Windows registry editor, in UTF-8 with
// LF line ends:
//
//   Windows Registry Editor Version 5.00
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\Corvex\tarn]
//   "workdir"="/opt/corvex/tarn"          REG_SZ: the text and one zero byte
//   @="the default value"                 the unnamed value
//   "KeepAlive"=dword:0000001e            REG_DWORD of four bytes
//   "Blob"=hex:01,02,03                   REG_BINARY
//   "Paths"=hex(7):61,00,62,00,00         any type by number; the bytes as stored
//
// Inside quotes "\\" is a backslash and "\"" a quote; any other backslash is
// kept as it is, so a Windows path typed without doubling survives. Long hex
// lists continue on the next line after a trailing "\" (not over a blank
// line). Strings are stored as the bytes written (UTF-8), not as UTF-16: this
// store serves narrow callers only. "HKLM" may stand for "HKEY_LOCAL_MACHINE";
// ";" starts a comment line; CR before LF is ignored.
//
// Reading never fails: a line that cannot be read is skipped and reported
// (a section line that cannot be read takes the lines up to the next section
// with it, reporting only those that cannot be read either), and the rest is
// kept. Comments and skipped lines are kept verbatim in the tree, in their
// section and in place among its values, so that rewriting a file a person
// edited loses nothing of it. Limits are those of the Windows registry: key
// names of at most 255 bytes, 512 levels, value names of at most 16,383
// bytes, no control characters in names. Writing gives text that reads back
// to the same tree and the same text.
#ifndef PLATFORM_REGISTRY_HIVE_H_
#define PLATFORM_REGISTRY_HIVE_H_

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform::registry {

inline constexpr size_t kMaxKeyNameBytes = 255;
inline constexpr size_t kMaxKeyDepth = 512;
inline constexpr size_t kMaxValueNameBytes = 16383;
// At most this many unreadable lines are reported for one text.
inline constexpr size_t kMaxReportedBadLines = 100;

// `name` with ASCII letters in upper case: the form names are compared in.
std::string fold(std::string_view name);
bool names_equal(std::string_view a, std::string_view b);

// Names that the store accepts: not too long, no control characters; a key
// name is not empty and has no backslash.
bool valid_key_name(std::string_view name);
bool valid_value_name(std::string_view name);

// Splits a key path on "\" (empty parts dropped). False when a part is not a
// valid key name or there are more than kMaxKeyDepth parts.
bool split_path(std::string_view path, std::vector<std::string>* parts);

// Lines of the file that the tree keeps verbatim: comments and lines that
// could not be read, each entry one line (or one value continued over lines,
// joined with LF).
using KeptLines = std::vector<std::string>;

struct Value {
  std::string name;
  uint32_t type = 0;
  std::string data;
  KeptLines lines_before;  // written just before the value
};

class Node {
 public:
  explicit Node(std::string name = {}) : name_(std::move(name)) {}
  Node(const Node&) = delete;
  Node& operator=(const Node&) = delete;

  const std::string& name() const { return name_; }

  // In creation order; removing one costs O(1), so a long run of removals
  // in a file stays linear.
  const std::list<Value>& values() const { return values_; }
  const Value* find_value(std::string_view name) const;
  // A new value goes last, taking `*lines_before` (when given) as the lines
  // written before it; an existing one keeps its place, its name's case and
  // its lines, and leaves `*lines_before` alone. False when nothing changed.
  bool set_value(std::string_view name, uint32_t type, std::string_view data,
                 KeptLines* lines_before = nullptr);
  // A removed value's lines move on to the value after it.
  bool delete_value(std::string_view name);

  // Kept lines written after the last value of the key's section.
  const KeptLines& trailing_lines() const { return trailing_lines_; }
  void add_trailing_lines(KeptLines lines);
  // The root's kept lines from before the first section.
  const KeptLines& preamble() const { return preamble_; }
  void add_preamble(KeptLines lines);

  // Sub-keys by folded name.
  const std::map<std::string, std::unique_ptr<Node>>& children() const { return children_; }
  const Node* find_child(std::string_view name) const;
  Node* find_child(std::string_view name);
  // The sub-key `name`, made when missing.
  Node* add_child(std::string_view name, bool* created = nullptr);
  bool remove_child(std::string_view name);
  // Removes every value and sub-key; the key's kept lines stay.
  void clear();

  // The node at `parts` below this one, or null.
  const Node* find(const std::vector<std::string>& parts) const;
  Node* find(const std::vector<std::string>& parts);

  std::unique_ptr<Node> clone() const;

 private:
  std::string name_;
  std::list<Value> values_;
  std::unordered_map<std::string, std::list<Value>::iterator> value_index_;  // by folded name
  std::map<std::string, std::unique_ptr<Node>> children_;
  KeptLines trailing_lines_;
  KeptLines preamble_;
};

// A line that could not be read: its number (from 1) and its text, cut to
// 256 bytes.
struct BadLine {
  int line = 0;
  std::string text;
};

// Reads the text of a ".reg" file into the tree under `root`
// (HKEY_LOCAL_MACHINE). Lines that cannot be read go to `bad` (may be null),
// at most kMaxReportedBadLines of them; returns how many there were.
size_t apply_reg_text(std::string_view text, Node* root, std::vector<BadLine>* bad);

// The ".reg" text of the tree under `root`, kept lines included.
std::string write_reg_text(const Node& root);

}  // namespace platform::registry

#endif  // PLATFORM_REGISTRY_HIVE_H_
