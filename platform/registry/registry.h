// The settings store: the machine hive (HKLM) of a registry, kept as one text
// file in the ".reg" export format that a person can read and edit.
//
//   $DOVADOD_ROOT/var/lib/dovadod/registry/HKLM.reg
//
// The calls are shaped after the Windows registry functions the client code
// was written against and return their Win32 codes: 0 success, 2 missing key
// or value, 87 bad arguments, 234 buffer too small (the needed size stored),
// 259 end of an enumeration. A key is named by a path of parts split on "\"
// (empty parts ignored); key and value names compare with ASCII case folded
// and keep the case they were created with. Values enumerate in creation
// order, sub-keys in case-insensitive order. The 32-bit view sees
// "SOFTWARE\X" as "SOFTWARE\WOW6432Node\X".
//
// Value data are raw bytes, kept exactly as written: a REG_SZ written through
// the narrow calls holds its UTF-8 text and terminating zero.
//
// Several processes share the file. A writer locks a file beside it, re-reads
// it, changes it and replaces it atomically (temporary file, fsync, rename);
// a reader takes no lock and always sees one whole version. An open `Key`
// names a path: every call on it reads the store as it is at that moment.
//
// "MachineGuid" under "SOFTWARE\Microsoft\Cryptography" in the 64-bit view is
// answered from $DOVADOD_SYSROOT/etc/machine-id unless a value is stored.
//
// Thread-safe: any thread may call any function; a `KeyWatch` belongs to one
// thread at a time.
#ifndef PLATFORM_REGISTRY_REGISTRY_H_
#define PLATFORM_REGISTRY_REGISTRY_H_

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform::registry {

// Value types.
inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegExpandSz = 2;
inline constexpr uint32_t kRegBinary = 3;
inline constexpr uint32_t kRegDword = 4;
inline constexpr uint32_t kRegMultiSz = 7;
inline constexpr uint32_t kRegQword = 11;

// Access masks; the view bits select the 64-bit (0x100) or 32-bit (0x200)
// view, neither means the 64-bit view.
inline constexpr uint32_t kKeyRead = 0x20019;
inline constexpr uint32_t kKeyAllAccess = 0xF003F;
inline constexpr uint32_t kKeyWow64_64Key = 0x100;
inline constexpr uint32_t kKeyWow64_32Key = 0x200;

// `get_value` flags: which types are accepted (RRF_RT_ANY takes every type).
inline constexpr uint32_t kRrfRtAny = 0xFFFF;

// The one root key of the store.
enum class RootKey { kLocalMachine };

// An open key: the path it names (after the view's redirection) and the
// access it was opened with. Cheap to copy; holds no descriptor.
class Key {
 public:
  Key() = default;
  bool is_open() const { return open_; }
  // The path inside the store, parts joined with "\", without the root.
  const std::string& path() const { return path_; }
  bool writable() const { return writable_; }
  bool view32() const { return view32_; }

 private:
  friend struct KeyAccess;
  bool open_ = false;
  bool writable_ = false;
  bool view32_ = false;
  std::string path_;
};

// Opens an existing key (RegOpenKeyEx). 2 when it does not exist.
uint32_t open_key(RootKey root, std::string_view sub_key, uint32_t access, Key* key);

// Opens a key, creating it and its missing parents (RegCreateKeyEx).
// `created`, when given, tells whether the key is new.
uint32_t create_key(RootKey root, std::string_view sub_key, uint32_t access, Key* key,
                    bool* created = nullptr);

// Closes a key (RegCloseKey): the handle is no longer open.
uint32_t close_key(Key* key);

// The number of sub-keys and values, the longest sub-key and value names
// (characters) and the largest data (bytes) (RegQueryInfoKey). 2 when the key
// has been deleted since it was opened. Outputs may be null.
uint32_t query_info_key(const Key& key, uint32_t* sub_keys, uint32_t* max_sub_key_len,
                        uint32_t* values, uint32_t* max_value_name_len, uint32_t* max_value_len);

// Sub-key `index` in case-insensitive order (RegEnumKeyEx). `name_size` holds
// the buffer's characters on entry and the name's length on success; 234 when
// the name and its terminating zero do not fit; 259 past the last.
uint32_t enum_key(const Key& key, uint32_t index, char* name, uint32_t* name_size);

// Value `index` in creation order (RegEnumValue). Name as for `enum_key`.
// `type` may be null. `data` may be null to ask only for the size; otherwise
// `data_size` holds the buffer's bytes on entry and the data's on return, and
// 234 means the data did not fit (the needed size stored, nothing copied).
// 259 past the last value.
uint32_t enum_value(const Key& key, uint32_t index, char* name, uint32_t* name_size, uint32_t* type,
                    uint8_t* data, uint32_t* data_size);

// Reads value `name` (empty or null: the default value) of `key`, or of its
// sub-key `sub_key` when given (RegGetValue). Types outside `flags` give 87;
// strings (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ) are returned with their
// terminating zero(s) added when the stored bytes lack them. `data` null asks
// for the size; 234 when it does not fit, with the needed size.
uint32_t get_value(const Key& key, std::string_view sub_key, const char* name, uint32_t flags,
                   uint32_t* type, void* data, uint32_t* data_size);
uint32_t get_value(RootKey root, std::string_view sub_key, uint32_t view_access, const char* name,
                   uint32_t flags, uint32_t* type, void* data, uint32_t* data_size);

// Sets value `name` (empty or null: the default value) of a writable key
// (RegSetValueEx); a new value goes last, an existing one keeps its place.
// 5 when the key was opened for reading only.
uint32_t set_value(const Key& key, const char* name, uint32_t type, const void* data,
                   uint32_t data_size);

// Removes a value (RegDeleteValue); 2 when it is missing.
uint32_t delete_value(const Key& key, const char* name);

// Removes `sub_key` of `key` with everything below it (RegDeleteTree); 2
// when it is missing. As on Windows, an empty `sub_key` removes the key's
// values and sub-keys but leaves the key itself; to remove a key, name it as a
// sub-key of its parent. 5 when the key was opened for reading only.
uint32_t delete_tree(const Key& key, std::string_view sub_key);

// The value types as their names ("REG_SZ", ...) and back, names compared
// ignoring case. An unknown type is "REG_UNKNOWN"; unknown names give false.
const char* type_name(uint32_t type);
bool type_from_name(std::string_view name, uint32_t* type);

// A line of the hive that could not be read is skipped and reported through
// the hook set here (the client library logs it), once for each version of
// the file that a process reads. The hook may be called on any thread that
// reads the store, with no lock of the store held; null turns reporting off.
// Such lines, and comments, stay in the file verbatim when it is rewritten.
using BadLineHook = std::function<void(const std::string& file, int line, const std::string& text)>;
void set_bad_line_hook(BadLineHook hook);

// The hive file's path. A file larger than 64 MiB is refused with 8, and so
// is a write that would make it larger.
std::string hive_path();

// Change notification on one key: its values, or its removal, not its
// sub-keys (RegNotifyChangeKeyValue with REG_NOTIFY_CHANGE_LAST_SET). The
// store file is replaced on every write, so the folder is watched and the
// key compared with its last snapshot, which is taken after the watch is set:
// a signal means the key really differs.
class KeyWatch {
 public:
  // `view_access` as for `open_key`. The key need not exist yet.
  static uint32_t start(RootKey root, std::string_view sub_key, uint32_t view_access,
                        std::unique_ptr<KeyWatch>* watch);
  ~KeyWatch();
  KeyWatch(const KeyWatch&) = delete;
  KeyWatch& operator=(const KeyWatch&) = delete;

  // A descriptor that polls readable when the folder changed; call
  // `check()` then.
  int fd() const { return fd_; }
  // Drains the folder's events and compares the key with its snapshot; true
  // (and a new snapshot) when it changed.
  bool check();
  // Waits until the key changes or `timeout_ms` passes (-1: no limit); true
  // when it changed.
  bool wait(int timeout_ms);

 private:
  KeyWatch() = default;
  int fd_ = -1;
  std::string path_;
  std::string snapshot_;
};

}  // namespace platform::registry

#endif  // PLATFORM_REGISTRY_REGISTRY_H_
