#include "platform/registry/registry.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <iterator>
#include <mutex>
#include <utility>

#include "platform/error/win_error.h"
#include "platform/fs/open_file.h"
#include "platform/fs/paths.h"
#include "platform/registry/hive.h"

namespace platform::registry {

struct KeyAccess {
  static Key make(std::string path, bool writable, bool view32) {
    Key key;
    key.open_ = true;
    key.path_ = std::move(path);
    key.writable_ = writable;
    key.view32_ = view32;
    return key;
  }
};

namespace {

constexpr std::string_view kHiveDir = "var/lib/dovadod/registry";
constexpr const char* kHiveName = "HKLM.reg";
constexpr size_t kMaxHiveBytes = size_t{64} << 20;
constexpr size_t kMaxMachineIdBytes = 4096;
constexpr uint32_t kKeySetValue = 0x2;
constexpr uint32_t kKeyCreateSubKey = 0x4;
constexpr std::string_view kCryptographyKey = "SOFTWARE\\Microsoft\\Cryptography";
constexpr std::string_view kMachineGuidName = "MachineGuid";

std::string hive_dir() { return under_root(kHiveDir); }

// One version of the hive as read: its text, the tree in the file, and the
// tree that readers see (the file's, with the machine GUID answered).
struct Loaded {
  std::string path;
  std::string text;
  std::string machine_guid;
  std::shared_ptr<const Node> file_tree;
  std::shared_ptr<const Node> view_tree;
};

std::mutex g_cache_mu;
std::shared_ptr<const Loaded> g_cache;  // guarded by g_cache_mu

std::mutex g_hook_mu;
BadLineHook g_hook;  // guarded by g_hook_mu

void report_bad_lines(const std::string& file, const std::vector<BadLine>& bad) {
  if (bad.empty()) return;
  BadLineHook hook;
  {
    std::lock_guard<std::mutex> guard(g_hook_mu);
    hook = g_hook;
  }
  if (!hook) return;
  for (const BadLine& b : bad) hook(file, b.line, b.text);
}

// The whole file; a missing file reads as empty, a link or FIFO in its place
// is refused with 5.
// `system_file`: a view the system keeps (under the sysroot), which may be a
// link by design; only the store's own files refuse links.
uint32_t read_file(const std::string& path, size_t limit, std::string* text,
                   bool system_file = false) {
  text->clear();
  int fd = system_file ? ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                       : open_no_links(path.c_str(), O_RDONLY, 0);
  if (fd < 0) return errno == ENOENT ? kErrorSuccess : win_error_from_errno(errno);
  struct stat st;
  uint32_t rc = kErrorSuccess;
  if (::fstat(fd, &st) != 0) {
    rc = win_error_from_errno(errno);
  } else if (static_cast<uint64_t>(st.st_size) > limit) {
    rc = kErrorNotEnoughMemory;
  }
  if (rc == kErrorSuccess) text->reserve(static_cast<size_t>(st.st_size));
  char buf[65536];
  while (rc == kErrorSuccess) {
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) rc = win_error_from_errno(errno);
    if (n <= 0) break;
    if (text->size() + static_cast<size_t>(n) > limit) rc = kErrorNotEnoughMemory;
    text->append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  if (rc != kErrorSuccess) text->clear();
  return rc;
}

// The machine id as a GUID text ("8-4-4-4-12", lower case); empty when
// $DOVADOD_SYSROOT/etc/machine-id does not hold 32 hex digits.
std::string machine_guid() {
  std::string id;
  if (read_file(under_sysroot("etc/machine-id"), kMaxMachineIdBytes, &id, true) != kErrorSuccess) {
    return {};
  }
  while (!id.empty() && (id.back() == '\n' || id.back() == ' ')) id.pop_back();
  if (id.size() != 32) return {};
  std::string guid;
  for (size_t i = 0; i < id.size(); ++i) {
    char c = id[i];
    if (c >= 'A' && c <= 'F') c = static_cast<char>(c - 'A' + 'a');
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return {};
    if (i == 8 || i == 12 || i == 16 || i == 20) guid.push_back('-');
    guid.push_back(c);
  }
  return guid;
}

std::shared_ptr<const Node> make_view(const std::shared_ptr<const Node>& file_tree,
                                      const std::string& guid) {
  if (guid.empty()) return file_tree;
  std::vector<std::string> parts;
  split_path(kCryptographyKey, &parts);
  const Node* key = file_tree->find(parts);
  if (key != nullptr && key->find_value(kMachineGuidName) != nullptr) return file_tree;
  std::unique_ptr<Node> view = file_tree->clone();
  Node* node = view.get();
  for (const std::string& part : parts) node = node->add_child(part);
  node->set_value(kMachineGuidName, kRegSz, std::string_view(guid.c_str(), guid.size() + 1));
  return view;
}

// The store as it is now. Parsing happens only for a text not seen last time.
uint32_t load(std::shared_ptr<const Loaded>* out) {
  auto fresh = std::make_shared<Loaded>();
  fresh->path = hive_path();
  uint32_t rc = read_file(fresh->path, kMaxHiveBytes, &fresh->text);
  if (rc != kErrorSuccess) return rc;
  fresh->machine_guid = machine_guid();
  std::shared_ptr<const Loaded> cached;
  {
    std::lock_guard<std::mutex> guard(g_cache_mu);
    cached = g_cache;
  }
  bool same_text = cached && cached->path == fresh->path && cached->text == fresh->text;
  if (same_text && cached->machine_guid == fresh->machine_guid) {
    *out = std::move(cached);
    return kErrorSuccess;
  }
  std::vector<BadLine> bad;
  if (same_text) {
    fresh->file_tree = cached->file_tree;
  } else {
    auto tree = std::make_unique<Node>();
    apply_reg_text(fresh->text, tree.get(), &bad);
    fresh->file_tree = std::move(tree);
  }
  fresh->view_tree = make_view(fresh->file_tree, fresh->machine_guid);
  {
    std::lock_guard<std::mutex> guard(g_cache_mu);
    g_cache = fresh;
  }
  report_bad_lines(fresh->path, bad);
  *out = std::move(fresh);
  return kErrorSuccess;
}

uint32_t write_all(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return win_error_from_errno(errno);
    data.remove_prefix(static_cast<size_t>(n));
  }
  return kErrorSuccess;
}

// Writes a fresh temporary file: whatever was left or planted at its name is
// removed first, never written through.
uint32_t write_temporary(const std::string& path, std::string_view data, mode_t mode) {
  int fd = open_no_links(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0) return win_error_from_errno(errno);
  ::fchmod(fd, mode);
  uint32_t rc = write_all(fd, data);
  if (rc == kErrorSuccess && ::fsync(fd) != 0) rc = win_error_from_errno(errno);
  ::close(fd);
  return rc;
}

// Holds the writers' lock file of the hive for its lifetime.
class WriteLock {
 public:
  WriteLock() {
    std::string dir = hive_dir();
    uint32_t made = create_directories(dir, 0755);
    if (made != kErrorSuccess && made != kErrorAlreadyExists) {
      rc_ = made;
      return;
    }
    fd_ = ::open(join(dir, std::string(kHiveName) + ".lock").c_str(),
                 O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0) {
      rc_ = win_error_from_errno(errno);
      return;
    }
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        rc_ = win_error_from_errno(errno);
        return;
      }
    }
  }
  ~WriteLock() {
    if (fd_ >= 0) ::close(fd_);  // drops the flock
  }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;
  uint32_t status() const { return rc_; }

 private:
  int fd_ = -1;
  uint32_t rc_ = kErrorSuccess;
};

// A change of the store: gets a copy of the file's tree and the version it
// came from; returns a Win32 code and sets `changed` when there is something
// to write.
using Change = std::function<uint32_t(Node* root, const Loaded& loaded, bool* changed)>;

// Locks out other writers, re-reads the file, applies `change` and replaces
// the file with the result (temporary file, fsync, rename, fsync of the
// folder), so that a reader sees either the old or the new version.
uint32_t modify(const Change& change) {
  WriteLock lock;
  if (lock.status() != kErrorSuccess) return lock.status();
  std::shared_ptr<const Loaded> loaded;
  uint32_t rc = load(&loaded);
  if (rc != kErrorSuccess) return rc;
  std::unique_ptr<Node> tree = loaded->file_tree->clone();
  bool changed = false;
  rc = change(tree.get(), *loaded, &changed);
  if (rc != kErrorSuccess || !changed) return rc;

  const std::string& path = loaded->path;
  std::string dir = hive_dir();
  mode_t mode = 0644;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode)) mode = st.st_mode & 07777;
  auto fresh = std::make_shared<Loaded>();
  fresh->text = write_reg_text(*tree);
  // A file no reader would accept would take every setting with it.
  if (fresh->text.size() > kMaxHiveBytes) return kErrorNotEnoughMemory;
  std::string temp = path + ".new";
  rc = write_temporary(temp, fresh->text, mode);
  if (rc == kErrorSuccess && ::rename(temp.c_str(), path.c_str()) != 0) {
    rc = win_error_from_errno(errno);
  }
  if (rc != kErrorSuccess) {
    ::unlink(temp.c_str());
    return rc;
  }
  int dir_fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    ::fsync(dir_fd);
    ::close(dir_fd);
  }
  fresh->path = path;
  fresh->machine_guid = loaded->machine_guid;
  fresh->file_tree = std::shared_ptr<const Node>(std::move(tree));
  fresh->view_tree = make_view(fresh->file_tree, fresh->machine_guid);
  std::lock_guard<std::mutex> guard(g_cache_mu);
  g_cache = std::move(fresh);
  return kErrorSuccess;
}

bool views_valid(uint32_t access) {
  return (access & (kKeyWow64_64Key | kKeyWow64_32Key)) != (kKeyWow64_64Key | kKeyWow64_32Key);
}

// The parts of `path` as the view sees them: in the 32-bit view
// "SOFTWARE\X" is "SOFTWARE\WOW6432Node\X". False for a bad path.
bool resolve(std::string_view path, bool view32, std::vector<std::string>* parts) {
  if (!split_path(path, parts)) return false;
  if (view32 && !parts->empty() && names_equal((*parts)[0], "SOFTWARE") &&
      !(parts->size() > 1 && names_equal((*parts)[1], "WOW6432Node"))) {
    if (parts->size() == kMaxKeyDepth) return false;
    parts->insert(parts->begin() + 1, "WOW6432Node");
  }
  return true;
}

bool resolve(const Key& key, std::string_view sub_key, std::vector<std::string>* parts) {
  std::string path = key.path();
  if (!sub_key.empty()) {
    path.push_back('\\');
    path.append(sub_key);
  }
  return resolve(path, key.view32(), parts);
}

std::string join_parts(const std::vector<std::string>& parts) {
  std::string out;
  for (const std::string& part : parts) {
    if (!out.empty()) out.push_back('\\');
    out.append(part);
  }
  return out;
}

// The node that readers see at `parts`, kept alive by `loaded`.
uint32_t find_view_node(const std::vector<std::string>& parts,
                        std::shared_ptr<const Loaded>* loaded, const Node** node) {
  uint32_t rc = load(loaded);
  if (rc != kErrorSuccess) return rc;
  *node = (*loaded)->view_tree->find(parts);
  return *node == nullptr ? kErrorFileNotFound : kErrorSuccess;
}

// The node to change at `parts` in a writer's copy; a key that only readers
// see (the machine GUID's) is made.
Node* find_for_write(Node* root, const Loaded& loaded, const std::vector<std::string>& parts) {
  if (Node* node = root->find(parts)) return node;
  if (loaded.view_tree->find(parts) == nullptr) return nullptr;
  Node* node = root;
  for (const std::string& part : parts) node = node->add_child(part);
  return node;
}

// Copies `bytes` out as the registry calls do: size only when `data` is null,
// 234 with the size when it does not fit.
uint32_t copy_out(std::string_view bytes, void* data, uint32_t* data_size) {
  if (data == nullptr) {
    if (data_size != nullptr) *data_size = static_cast<uint32_t>(bytes.size());
    return kErrorSuccess;
  }
  if (data_size == nullptr) return kErrorInvalidParameter;
  bool fits = *data_size >= bytes.size();
  *data_size = static_cast<uint32_t>(bytes.size());
  if (!fits) return kErrorMoreData;
  if (!bytes.empty()) std::memcpy(data, bytes.data(), bytes.size());
  return kErrorSuccess;
}

uint32_t copy_name(const std::string& name, char* out, uint32_t* out_size) {
  if (out == nullptr || out_size == nullptr) return kErrorInvalidParameter;
  if (*out_size < name.size() + 1) return kErrorMoreData;
  std::memcpy(out, name.c_str(), name.size() + 1);
  *out_size = static_cast<uint32_t>(name.size());
  return kErrorSuccess;
}

// The RRF_RT_* bit of a type; 0 for types that only RRF_RT_ANY accepts.
uint32_t type_flag(uint32_t type) {
  switch (type) {
    case kRegNone:
      return 0x1;
    case kRegSz:
      return 0x2;
    case kRegExpandSz:
      return 0x4;
    case kRegBinary:
      return 0x8;
    case kRegDword:
      return 0x10;
    case kRegMultiSz:
      return 0x20;
    case kRegQword:
      return 0x40;
    default:
      return 0;
  }
}

// The snapshot of a key's values that a watch compares.
std::string describe_key(const std::string& path) {
  std::vector<std::string> parts;
  split_path(path, &parts);
  std::shared_ptr<const Loaded> loaded;
  const Node* node = nullptr;
  uint32_t rc = find_view_node(parts, &loaded, &node);
  if (rc != kErrorSuccess) return "missing " + std::to_string(rc);
  std::string out = "values";
  for (const Value& v : node->values()) {
    out.push_back('\0');
    out.append(v.name);
    out.push_back('\0');
    out.append(std::to_string(v.type));
    out.push_back(':');
    out.append(std::to_string(v.data.size()));
    out.push_back(':');
    out.append(v.data);
  }
  return out;
}

}  // namespace

std::string hive_path() { return join(hive_dir(), kHiveName); }

uint32_t open_key(RootKey, std::string_view sub_key, uint32_t access, Key* key) {
  if (key == nullptr || !views_valid(access)) return kErrorInvalidParameter;
  bool view32 = (access & kKeyWow64_32Key) != 0;
  std::vector<std::string> parts;
  if (!resolve(sub_key, view32, &parts)) return kErrorInvalidParameter;
  std::shared_ptr<const Loaded> loaded;
  const Node* node = nullptr;
  uint32_t rc = find_view_node(parts, &loaded, &node);
  if (rc != kErrorSuccess) return rc;
  *key = KeyAccess::make(join_parts(parts), (access & kKeySetValue) != 0, view32);
  return kErrorSuccess;
}

uint32_t create_key(RootKey, std::string_view sub_key, uint32_t access, Key* key, bool* created) {
  if (key == nullptr || !views_valid(access)) return kErrorInvalidParameter;
  bool view32 = (access & kKeyWow64_32Key) != 0;
  std::vector<std::string> parts;
  if (!resolve(sub_key, view32, &parts)) return kErrorInvalidParameter;
  bool made = false;
  std::shared_ptr<const Loaded> loaded;
  const Node* node = nullptr;
  uint32_t rc = find_view_node(parts, &loaded, &node);
  if (rc == kErrorFileNotFound) {
    rc = modify([&](Node* tree, const Loaded&, bool* changed) {
      Node* n = tree;
      for (const std::string& part : parts) n = n->add_child(part, &made);
      *changed = made;
      return kErrorSuccess;
    });
  }
  if (rc != kErrorSuccess) return rc;
  if (created != nullptr) *created = made;
  *key =
      KeyAccess::make(join_parts(parts), (access & (kKeySetValue | kKeyCreateSubKey)) != 0, view32);
  return kErrorSuccess;
}

uint32_t close_key(Key* key) {
  if (key == nullptr || !key->is_open()) return kErrorInvalidHandle;
  *key = Key();
  return kErrorSuccess;
}

uint32_t query_info_key(const Key& key, uint32_t* sub_keys, uint32_t* max_sub_key_len,
                        uint32_t* values, uint32_t* max_value_name_len, uint32_t* max_value_len) {
  if (!key.is_open()) return kErrorInvalidHandle;
  std::vector<std::string> parts;
  if (!resolve(key, "", &parts)) return kErrorInvalidParameter;
  std::shared_ptr<const Loaded> loaded;
  const Node* node = nullptr;
  uint32_t rc = find_view_node(parts, &loaded, &node);
  if (rc != kErrorSuccess) return rc;
  size_t longest_key = 0, longest_name = 0, largest = 0;
  for (const auto& [folded, child] : node->children()) {
    longest_key = std::max(longest_key, child->name().size());
  }
  for (const Value& v : node->values()) {
    longest_name = std::max(longest_name, v.name.size());
    largest = std::max(largest, v.data.size());
  }
  if (sub_keys != nullptr) *sub_keys = static_cast<uint32_t>(node->children().size());
  if (max_sub_key_len != nullptr) *max_sub_key_len = static_cast<uint32_t>(longest_key);
  if (values != nullptr) *values = static_cast<uint32_t>(node->values().size());
  if (max_value_name_len != nullptr) *max_value_name_len = static_cast<uint32_t>(longest_name);
  if (max_value_len != nullptr) *max_value_len = static_cast<uint32_t>(largest);
  return kErrorSuccess;
}

uint32_t enum_key(const Key& key, uint32_t index, char* name, uint32_t* name_size) {
  if (!key.is_open()) return kErrorInvalidHandle;
  if (name == nullptr || name_size == nullptr) return kErrorInvalidParameter;
  std::vector<std::string> parts;
  if (!resolve(key, "", &parts)) return kErrorInvalidParameter;
  std::shared_ptr<const Loaded> loaded;
  const Node* node = nullptr;
  uint32_t rc = find_view_node(parts, &loaded, &node);
  if (rc != kErrorSuccess) return rc;
  if (index >= node->children().size()) return kErrorNoMoreItems;
  auto it = std::next(node->children().begin(), static_cast<std::ptrdiff_t>(index));
  return copy_name(it->second->name(), name, name_size);
}

uint32_t enum_value(const Key& key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                    uint8_t* data, uint32_t* data_size) {
  if (!key.is_open()) return kErrorInvalidHandle;
  if (name == nullptr || name_size == nullptr || (data != nullptr && data_size == nullptr)) {
    return kErrorInvalidParameter;
  }
  std::vector<std::string> parts;
  if (!resolve(key, "", &parts)) return kErrorInvalidParameter;
  std::shared_ptr<const Loaded> loaded;
  const Node* node = nullptr;
  uint32_t rc = find_view_node(parts, &loaded, &node);
  if (rc != kErrorSuccess) return rc;
  if (index >= node->values().size()) return kErrorNoMoreItems;
  const Value& v = *std::next(node->values().begin(), static_cast<std::ptrdiff_t>(index));
  if (*name_size < v.name.size() + 1) return kErrorMoreData;
  if (data != nullptr && *data_size < v.data.size()) {
    *data_size = static_cast<uint32_t>(v.data.size());
    return kErrorMoreData;
  }
  copy_name(v.name, name, name_size);
  if (type != nullptr) *type = v.type;
  return copy_out(v.data, data, data_size);
}

uint32_t get_value(const Key& key, std::string_view sub_key, const char* name, uint32_t flags,
                   uint32_t* type, void* data, uint32_t* data_size) {
  if (!key.is_open()) return kErrorInvalidHandle;
  if (data != nullptr && data_size == nullptr) return kErrorInvalidParameter;
  std::vector<std::string> parts;
  if (!resolve(key, sub_key, &parts)) return kErrorInvalidParameter;
  std::shared_ptr<const Loaded> loaded;
  const Node* node = nullptr;
  uint32_t rc = find_view_node(parts, &loaded, &node);
  if (rc != kErrorSuccess) return rc;
  const Value* v = node->find_value(name != nullptr ? name : "");
  if (v == nullptr) return kErrorFileNotFound;
  uint32_t flag = type_flag(v->type);
  bool accepted = (flags & kRrfRtAny) == kRrfRtAny || (flag != 0 && (flags & flag) != 0);
  if (!accepted) return kErrorInvalidParameter;
  std::string_view bytes = v->data;
  std::string terminated;
  if (v->type == kRegSz || v->type == kRegExpandSz || v->type == kRegMultiSz) {
    terminated = v->data;
    if (terminated.empty() || terminated.back() != '\0') terminated.push_back('\0');
    if (v->type == kRegMultiSz &&
        (terminated.size() < 2 || terminated[terminated.size() - 2] != '\0')) {
      terminated.push_back('\0');
    }
    bytes = terminated;
  }
  if (type != nullptr) *type = v->type;
  return copy_out(bytes, data, data_size);
}

uint32_t get_value(RootKey root, std::string_view sub_key, uint32_t view_access, const char* name,
                   uint32_t flags, uint32_t* type, void* data, uint32_t* data_size) {
  Key key;
  uint32_t rc = open_key(root, sub_key, kKeyRead | view_access, &key);
  if (rc != kErrorSuccess) return rc;
  return get_value(key, "", name, flags, type, data, data_size);
}

uint32_t set_value(const Key& key, const char* name, uint32_t type, const void* data,
                   uint32_t data_size) {
  if (!key.is_open()) return kErrorInvalidHandle;
  if (!key.writable()) return kErrorAccessDenied;
  std::string_view value_name = name != nullptr ? name : "";
  if (!valid_value_name(value_name) || (data == nullptr && data_size > 0)) {
    return kErrorInvalidParameter;
  }
  std::vector<std::string> parts;
  if (!resolve(key, "", &parts)) return kErrorInvalidParameter;
  std::string_view bytes(static_cast<const char*>(data), data == nullptr ? 0 : data_size);
  return modify([&](Node* tree, const Loaded& loaded, bool* changed) {
    Node* node = find_for_write(tree, loaded, parts);
    if (node == nullptr) return kErrorFileNotFound;
    *changed = node->set_value(value_name, type, bytes);
    return kErrorSuccess;
  });
}

uint32_t delete_value(const Key& key, const char* name) {
  if (!key.is_open()) return kErrorInvalidHandle;
  if (!key.writable()) return kErrorAccessDenied;
  std::vector<std::string> parts;
  if (!resolve(key, "", &parts)) return kErrorInvalidParameter;
  std::string_view value_name = name != nullptr ? name : "";
  return modify([&](Node* tree, const Loaded&, bool* changed) {
    Node* node = tree->find(parts);
    if (node == nullptr || !node->delete_value(value_name)) return kErrorFileNotFound;
    *changed = true;
    return kErrorSuccess;
  });
}

uint32_t delete_tree(const Key& key, std::string_view sub_key) {
  if (!key.is_open()) return kErrorInvalidHandle;
  if (!key.writable()) return kErrorAccessDenied;
  std::vector<std::string> key_parts, parts;
  if (!resolve(key, "", &key_parts) || !resolve(key, sub_key, &parts)) {
    return kErrorInvalidParameter;
  }
  return modify([&](Node* tree, const Loaded&, bool* changed) {
    Node* node = tree->find(parts);
    if (node == nullptr) return kErrorFileNotFound;
    if (parts.size() <= key_parts.size()) {
      *changed = !node->values().empty() || !node->children().empty();
      node->clear();
      return kErrorSuccess;
    }
    std::string last = parts.back();
    parts.pop_back();
    *changed = tree->find(parts)->remove_child(last);
    return kErrorSuccess;
  });
}

const char* type_name(uint32_t type) {
  static const char* const kNames[] = {"REG_NONE",
                                       "REG_SZ",
                                       "REG_EXPAND_SZ",
                                       "REG_BINARY",
                                       "REG_DWORD",
                                       "REG_DWORD_BIG_ENDIAN",
                                       "REG_LINK",
                                       "REG_MULTI_SZ",
                                       "REG_RESOURCE_LIST",
                                       "REG_FULL_RESOURCE_DESCRIPTOR",
                                       "REG_RESOURCE_REQUIREMENTS_LIST",
                                       "REG_QWORD"};
  return type < std::size(kNames) ? kNames[type] : "REG_UNKNOWN";
}

bool type_from_name(std::string_view name, uint32_t* type) {
  for (uint32_t t = 0; t <= kRegQword; ++t) {
    if (names_equal(name, type_name(t))) {
      *type = t;
      return true;
    }
  }
  return false;
}

void set_bad_line_hook(BadLineHook hook) {
  std::lock_guard<std::mutex> guard(g_hook_mu);
  g_hook = std::move(hook);
}

uint32_t KeyWatch::start(RootKey, std::string_view sub_key, uint32_t view_access,
                         std::unique_ptr<KeyWatch>* watch) {
  if (watch == nullptr || !views_valid(view_access)) return kErrorInvalidParameter;
  std::vector<std::string> parts;
  if (!resolve(sub_key, (view_access & kKeyWow64_32Key) != 0, &parts)) {
    return kErrorInvalidParameter;
  }
  std::string dir = hive_dir();
  uint32_t rc = create_directories(dir, 0755);
  if (rc != kErrorSuccess && rc != kErrorAlreadyExists) return rc;
  int fd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd < 0) return win_error_from_errno(errno);
  // Writers replace the file by rename; a person's editor may write in place.
  if (::inotify_add_watch(fd, dir.c_str(),
                          IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM | IN_CREATE | IN_DELETE) <
      0) {
    rc = win_error_from_errno(errno);
    ::close(fd);
    return rc;
  }
  std::unique_ptr<KeyWatch> w(new KeyWatch());
  w->fd_ = fd;
  w->path_ = join_parts(parts);
  w->snapshot_ = describe_key(w->path_);
  *watch = std::move(w);
  return kErrorSuccess;
}

KeyWatch::~KeyWatch() {
  if (fd_ >= 0) ::close(fd_);
}

bool KeyWatch::check() {
  alignas(struct inotify_event) char buf[4096];
  bool relevant = false;
  for (;;) {
    ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    for (ssize_t off = 0; off < n;) {
      const auto* ev = reinterpret_cast<const struct inotify_event*>(buf + off);
      if ((ev->mask & (IN_Q_OVERFLOW | IN_IGNORED)) != 0 ||
          (ev->len > 0 && std::strcmp(ev->name, kHiveName) == 0)) {
        relevant = true;
      }
      off += static_cast<ssize_t>(sizeof(struct inotify_event) + ev->len);
    }
  }
  if (!relevant) return false;
  std::string now = describe_key(path_);
  if (now == snapshot_) return false;
  snapshot_ = std::move(now);
  return true;
}

bool KeyWatch::wait(int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    if (check()) return true;
    int remaining = -1;
    if (timeout_ms >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      remaining = static_cast<int>(left.count());
    }
    struct pollfd p = {fd_, POLLIN, 0};
    int rc = ::poll(&p, 1, remaining);
    if (rc < 0 && errno != EINTR) return false;
  }
}

}  // namespace platform::registry
