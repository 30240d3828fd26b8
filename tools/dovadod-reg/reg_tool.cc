#include "tools/dovadod-reg/reg_tool.h"

#include <strings.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <ostream>
#include <string_view>

#include "platform/error/win_error.h"
#include "platform/registry/registry.h"

namespace dovadod_reg {
namespace {

namespace reg = platform::registry;

constexpr uint32_t kMoreData = 234;

constexpr const char* kUsage =
    "usage: dovadod-reg [-32] get KEY NAME\n"
    "       dovadod-reg [-32] set KEY NAME TYPE DATA...\n"
    "       dovadod-reg [-32] delete KEY [NAME]\n"
    "       dovadod-reg [-32] list KEY\n"
    "       dovadod-reg [-32] watch KEY\n"
    "KEY starts with HKLM\\ (or HKEY_LOCAL_MACHINE\\), or is HKLM. NAME \"\" is the\n"
    "key's default value. -32 selects the 32-bit view: SOFTWARE\\X is\n"
    "SOFTWARE\\WOW6432Node\\X.\n"
    "set: REG_SZ or REG_EXPAND_SZ TEXT; REG_MULTI_SZ TEXT... (one string each);\n"
    "REG_DWORD or REG_QWORD NUMBER (decimal or 0x hex); REG_BINARY HEX... (bytes\n"
    "such as 01,ff or 01ff). The key is made when missing.\n"
    "get prints the data alone: the text, one string a line for REG_MULTI_SZ,\n"
    "numbers in decimal, anything else as hex bytes.\n"
    "list prints the key's sub-keys, one a line ending in \\, then its values,\n"
    "one a line: NAME, TYPE and DATA separated by tabs (DATA as get prints it,\n"
    "the strings of a REG_MULTI_SZ joined by \\0).\n"
    "delete removes the value NAME, or the key with everything below it.\n"
    "watch prints \"changed\" whenever the key's values change or the key is\n"
    "removed, until it is killed.\n"
    "Exit status: 0 done, 1 failed (error number on stderr), 2 bad usage.\n";

struct Entry {
  std::string name;
  uint32_t type = 0;
  std::string data;
};

std::string text_of(const std::string& data) { return data.substr(0, data.find('\0')); }

// The strings of a REG_MULTI_SZ, up to the empty one that ends the list.
std::vector<std::string> strings_of(const std::string& data) {
  std::vector<std::string> strings;
  size_t start = 0;
  while (start < data.size()) {
    size_t end = data.find('\0', start);
    if (end == start) break;
    if (end == std::string::npos) end = data.size();
    strings.push_back(data.substr(start, end - start));
    start = end + 1;
  }
  return strings;
}

bool is_number(const Entry& e) {
  return (e.type == reg::kRegDword && e.data.size() == 4) ||
         (e.type == reg::kRegQword && e.data.size() == 8);
}

// Little-endian, as the store keeps numbers.
uint64_t number_of(const std::string& data) {
  uint64_t n = 0;
  for (size_t i = data.size(); i-- > 0;) n = (n << 8) | static_cast<unsigned char>(data[i]);
  return n;
}

std::string hex_of(const std::string& data) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : data) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

// The data as `get` prints it; `separator` goes between the strings of a
// REG_MULTI_SZ.
std::string shown(const Entry& e, std::string_view separator) {
  if (e.type == reg::kRegSz || e.type == reg::kRegExpandSz) return text_of(e.data);
  if (e.type == reg::kRegMultiSz) {
    std::string joined;
    for (const std::string& s : strings_of(e.data)) {
      if (!joined.empty()) joined += separator;
      joined += s;
    }
    return joined;
  }
  if (is_number(e)) return std::to_string(number_of(e.data));
  return hex_of(e.data);
}

bool parse_number(const std::string& text, uint64_t max, size_t bytes, std::string* data) {
  if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return false;
  bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  if (hex && !std::isxdigit(static_cast<unsigned char>(text[2]))) return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long n = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end != text.c_str() + text.size() || n > max) return false;
  for (size_t i = 0; i < bytes; ++i) data->push_back(static_cast<char>((n >> (8 * i)) & 0xff));
  return true;
}

bool parse_hex(const std::vector<std::string>& items, std::string* data) {
  std::string digits;
  for (const std::string& item : items) {
    for (char c : item) {
      if (c == ',' || c == ' ') continue;
      if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
      digits.push_back(c);
    }
  }
  if (digits.size() % 2 != 0) return false;
  for (size_t i = 0; i < digits.size(); i += 2) {
    data->push_back(static_cast<char>(std::strtoul(digits.substr(i, 2).c_str(), nullptr, 16)));
  }
  return true;
}

// The bytes the store keeps for DATA of `type`; false when they do not fit it.
bool parse_data(uint32_t type, const std::vector<std::string>& items, std::string* data) {
  switch (type) {
    case reg::kRegSz:
    case reg::kRegExpandSz:
      if (items.size() != 1) return false;
      *data = items[0];
      data->push_back('\0');
      return true;
    case reg::kRegMultiSz:
      // An empty string would end the list early.
      for (const std::string& item : items) {
        if (item.empty()) return false;
        *data += item;
        data->push_back('\0');
      }
      data->push_back('\0');
      return true;
    case reg::kRegDword:
      return items.size() == 1 && parse_number(items[0], UINT32_MAX, 4, data);
    case reg::kRegQword:
      return items.size() == 1 && parse_number(items[0], UINT64_MAX, 8, data);
    case reg::kRegBinary:
      return parse_hex(items, data);
    default:
      return false;
  }
}

class Tool {
 public:
  Tool(std::ostream& out, std::ostream& err) : out_(out), err_(err) {}

  int run(std::vector<std::string> args) {
    if (!args.empty() && args[0] == "-32") {
      view_ = reg::kKeyWow64_32Key;
      args.erase(args.begin());
    }
    if (args.empty()) return usage("no command");
    std::string command = args[0];
    args.erase(args.begin());
    size_t n = args.size();
    bool fits = (command == "get" && n == 2) || (command == "set" && n >= 3) ||
                (command == "delete" && (n == 1 || n == 2)) || (command == "list" && n == 1) ||
                (command == "watch" && n == 1);
    if (!fits) return usage("bad command line for " + command);
    if (!key_path(args[0], &path_)) return usage("KEY must start with HKLM\\: " + args[0]);
    key_arg_ = args[0];
    if (command == "get") return get(args[1]);
    if (command == "set") return set(args);
    if (command == "delete") return n == 2 ? delete_value(args[1]) : delete_key();
    if (command == "list") return list();
    return watch();
  }

 private:
  int usage(const std::string& why) {
    err_ << "dovadod-reg: " << why << "\n" << kUsage;
    return 2;
  }

  int fail(const std::string& what, uint32_t rc) {
    err_ << "dovadod-reg: " << what << ": error " << rc << "\n";
    return 1;
  }

  int fail_value(const std::string& name, uint32_t rc) {
    return fail(key_arg_ + " value \"" + name + "\"", rc);
  }

  // KEY without the root's name; false for anything not under HKLM.
  static bool key_path(const std::string& key, std::string* path) {
    for (std::string_view root : {"HKLM", "HKEY_LOCAL_MACHINE"}) {
      if (key.size() >= root.size() && ::strncasecmp(key.c_str(), root.data(), root.size()) == 0 &&
          (key.size() == root.size() || key[root.size()] == '\\')) {
        *path = key.substr(root.size());
        return true;
      }
    }
    return false;
  }

  uint32_t open(uint32_t access, reg::Key* key) {
    return reg::open_key(reg::RootKey::kLocalMachine, path_, access | view_, key);
  }

  // All values, in the store's order.
  uint32_t values_of(const reg::Key& key, std::vector<Entry>* entries) {
    uint32_t longest_name = 0;
    uint32_t rc = reg::query_info_key(key, nullptr, nullptr, nullptr, &longest_name, nullptr);
    if (rc != 0) return rc;
    std::vector<char> name(longest_name + 1);
    for (uint32_t i = 0;; ++i) {
      Entry e;
      uint32_t name_size = static_cast<uint32_t>(name.size());
      uint32_t size = 0;
      rc = reg::enum_value(key, i, name.data(), &name_size, &e.type, nullptr, &size);
      if (rc == platform::kErrorNoMoreItems) return 0;
      if (rc != 0) return rc;  // another process changed the key meanwhile
      e.data.resize(size);
      name_size = static_cast<uint32_t>(name.size());
      rc = reg::enum_value(key, i, name.data(), &name_size, &e.type,
                           reinterpret_cast<uint8_t*>(e.data.data()), &size);
      if (rc != 0) return rc;
      e.data.resize(size);
      e.name.assign(name.data(), name_size);
      entries->push_back(std::move(e));
    }
  }

  uint32_t sub_keys_of(const reg::Key& key, std::vector<std::string>* names) {
    uint32_t longest = 0;
    uint32_t rc = reg::query_info_key(key, nullptr, &longest, nullptr, nullptr, nullptr);
    if (rc != 0) return rc;
    std::vector<char> name(longest + 1);
    for (uint32_t i = 0;; ++i) {
      uint32_t size = static_cast<uint32_t>(name.size());
      rc = reg::enum_key(key, i, name.data(), &size);
      if (rc == platform::kErrorNoMoreItems) return 0;
      if (rc != 0) return rc;
      names->emplace_back(name.data(), size);
    }
  }

  int get(const std::string& name) {
    reg::Key key;
    uint32_t rc = open(reg::kKeyRead, &key);
    if (rc != 0) return fail(key_arg_, rc);
    Entry e;
    // Another writer may grow the value between asking its size and reading it.
    do {
      uint32_t size = 0;
      rc = reg::get_value(key, "", name.c_str(), reg::kRrfRtAny, &e.type, nullptr, &size);
      if (rc != 0) break;
      e.data.resize(size);
      rc = reg::get_value(key, "", name.c_str(), reg::kRrfRtAny, &e.type, e.data.data(), &size);
      e.data.resize(size);
    } while (rc == kMoreData);
    if (rc != 0) return fail_value(name, rc);
    if (e.type == reg::kRegMultiSz) {
      for (const std::string& s : strings_of(e.data)) out_ << s << "\n";
      return 0;
    }
    out_ << shown(e, "") << "\n";
    return 0;
  }

  int list() {
    reg::Key key;
    uint32_t rc = open(reg::kKeyRead, &key);
    std::vector<std::string> sub_keys;
    std::vector<Entry> entries;
    if (rc == 0) rc = sub_keys_of(key, &sub_keys);
    if (rc == 0) rc = values_of(key, &entries);
    if (rc != 0) return fail(key_arg_, rc);
    for (const std::string& s : sub_keys) out_ << s << "\\\n";
    for (const Entry& e : entries) {
      out_ << e.name << "\t" << reg::type_name(e.type) << "\t" << shown(e, "\\0") << "\n";
    }
    return 0;
  }

  int set(const std::vector<std::string>& args) {
    const std::string& name = args[1];
    uint32_t type;
    std::string data;
    if (!reg::type_from_name(args[2], &type)) return usage("unknown type " + args[2]);
    if (!parse_data(type, {args.begin() + 3, args.end()}, &data)) {
      return usage("bad data for " + std::string(reg::type_name(type)));
    }
    reg::Key key;
    uint32_t rc =
        reg::create_key(reg::RootKey::kLocalMachine, path_, reg::kKeyAllAccess | view_, &key);
    if (rc != 0) return fail(key_arg_, rc);
    rc = reg::set_value(key, name.c_str(), type, data.data(), static_cast<uint32_t>(data.size()));
    if (rc != 0) return fail_value(name, rc);
    return 0;
  }

  int delete_value(const std::string& name) {
    reg::Key key;
    uint32_t rc = open(reg::kKeyAllAccess, &key);
    if (rc != 0) return fail(key_arg_, rc);
    rc = reg::delete_value(key, name.c_str());
    if (rc != 0) return fail_value(name, rc);
    return 0;
  }

  // The key goes as a sub-key of its parent: the store keeps the root.
  int delete_key() {
    std::string path = path_;
    while (!path.empty() && path.back() == '\\') path.pop_back();
    size_t slash = path.rfind('\\');
    std::string parent = slash == std::string::npos ? "" : path.substr(0, slash);
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (last.empty()) return fail(key_arg_, platform::kErrorAccessDenied);
    reg::Key key;
    uint32_t rc =
        reg::open_key(reg::RootKey::kLocalMachine, parent, reg::kKeyAllAccess | view_, &key);
    if (rc == 0) rc = reg::delete_tree(key, last);
    if (rc != 0) return fail(key_arg_, rc);
    return 0;
  }

  int watch() {
    std::unique_ptr<reg::KeyWatch> watch;
    uint32_t rc = reg::KeyWatch::start(reg::RootKey::kLocalMachine, path_, view_, &watch);
    if (rc != 0) return fail(key_arg_, rc);
    for (;;) {
      if (!watch->wait(-1)) return fail(key_arg_, platform::win_error_from_errno(errno));
      out_ << "changed" << std::endl;
    }
  }

  std::ostream& out_;
  std::ostream& err_;
  uint32_t view_ = 0;
  std::string key_arg_;  // KEY as given
  std::string path_;     // KEY below the root
};

}  // namespace

int run(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  reg::set_bad_line_hook([&err](const std::string& file, int line, const std::string& text) {
    err << "dovadod-reg: warning: " << file << ":" << line << ": unreadable line skipped: " << text
        << "\n";
  });
  int status = Tool(out, err).run(args);
  reg::set_bad_line_hook(nullptr);
  return status;
}

}  // namespace dovadod_reg
