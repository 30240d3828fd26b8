#include "platform/socket_owner/socket_owner.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "platform/error/win_error.h"
#include "platform/fs/paths.h"
#include "platform/process/process.h"

namespace platform {
namespace {

// Kernel lines are under 200 bytes; anything far longer is not a row.
constexpr size_t kMaxLine = 1024;
constexpr size_t kReadChunk = 16 * 1024;
// Bounds the memory of remembered owners; past it the cache starts afresh.
constexpr size_t kCacheLimit = 64 * 1024;

constexpr std::string_view kBlanks = " \t\r\n";

std::string_view next_field(std::string_view* rest) {
  size_t start = rest->find_first_not_of(kBlanks);
  if (start == std::string_view::npos) {
    *rest = {};
    return {};
  }
  rest->remove_prefix(start);
  size_t end = std::min(rest->find_first_of(kBlanks), rest->size());
  std::string_view field = rest->substr(0, end);
  rest->remove_prefix(end);
  return field;
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Exactly `text.size()` hex digits, at most 8.
bool parse_hex(std::string_view text, uint32_t* out) {
  if (text.empty() || text.size() > 8) return false;
  uint32_t value = 0;
  for (char c : text) {
    int digit = hex_digit(c);
    if (digit < 0) return false;
    value = (value << 4) | static_cast<uint32_t>(digit);
  }
  *out = value;
  return true;
}

bool parse_decimal(std::string_view text, uint64_t* out) {
  if (text.empty() || text.size() > 20) return false;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    uint64_t digit = static_cast<uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

// "0100007F:1F90": the kernel prints each network-order 32-bit word of the
// address as a host-order integer, so the word's bytes in host memory are the
// address bytes; the port is a plain host-order number.
bool parse_endpoint(std::string_view text, int family, uint8_t* addr, uint16_t* port) {
  size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  std::string_view addr_text = text.substr(0, colon);
  std::string_view port_text = text.substr(colon + 1);
  size_t words = family == AF_INET ? 1 : 4;
  if (addr_text.size() != words * 8 || port_text.size() != 4) return false;
  uint8_t bytes[16] = {};
  for (size_t i = 0; i < words; ++i) {
    uint32_t word = 0;
    if (!parse_hex(addr_text.substr(i * 8, 8), &word)) return false;
    std::memcpy(bytes + i * 4, &word, sizeof word);
  }
  uint32_t port_value = 0;
  if (!parse_hex(port_text, &port_value)) return false;
  std::memcpy(addr, bytes, sizeof bytes);
  *port = static_cast<uint16_t>(port_value);
  return true;
}

const char* table_path(SocketTable table) {
  switch (table) {
    case SocketTable::kTcp:
      return "/proc/net/tcp";
    case SocketTable::kTcp6:
      return "/proc/net/tcp6";
    case SocketTable::kUdp:
      return "/proc/net/udp";
    case SocketTable::kUdp6:
      return "/proc/net/udp6";
  }
  return "/proc/net/tcp";
}

int table_family(SocketTable table) {
  return table == SocketTable::kTcp6 || table == SocketTable::kUdp6 ? AF_INET6 : AF_INET;
}

// Splits a file read in chunks into lines of at most kMaxLine bytes; longer
// lines are dropped whole.
class LineSplitter {
 public:
  template <typename Fn>
  void feed(std::string_view chunk, Fn&& on_line) {
    while (!chunk.empty()) {
      size_t newline = chunk.find('\n');
      std::string_view piece = chunk.substr(0, newline);
      chunk.remove_prefix(newline == std::string_view::npos ? chunk.size() : newline + 1);
      if (newline == std::string_view::npos) {
        append(piece);
        return;
      }
      if (partial_.empty() && !overlong_) {
        if (piece.size() <= kMaxLine) on_line(piece);
        continue;
      }
      append(piece);
      if (!overlong_) on_line(std::string_view(partial_));
      partial_.clear();
      overlong_ = false;
    }
  }

  template <typename Fn>
  void finish(Fn&& on_line) {
    if (!overlong_ && !partial_.empty()) on_line(std::string_view(partial_));
    partial_.clear();
    overlong_ = false;
  }

 private:
  void append(std::string_view piece) {
    if (overlong_) return;
    if (partial_.size() + piece.size() > kMaxLine) {
      overlong_ = true;
      partial_.clear();
      return;
    }
    partial_.append(piece);
  }

  std::string partial_;
  bool overlong_ = false;
};

struct CachedOwner {
  uint32_t pid = 0;
  uint32_t fd = 0;
};

std::mutex g_cache_mutex;
std::unordered_map<uint64_t, CachedOwner> g_cache;

bool parse_number(const char* text, uint32_t* out) {
  uint64_t value = 0;
  if (!parse_decimal(text, &value) || value > UINT32_MAX) return false;
  *out = static_cast<uint32_t>(value);
  return true;
}

// The inode of a descriptor link "socket:[12345]".
bool socket_link_inode(std::string_view link, uint64_t* inode) {
  constexpr std::string_view kPrefix = "socket:[";
  if (!link.starts_with(kPrefix) || !link.ends_with(']')) return false;
  link.remove_prefix(kPrefix.size());
  link.remove_suffix(1);
  return parse_decimal(link, inode);
}

bool read_socket_link(int dir_fd, const char* name, uint64_t* inode) {
  char target[64];
  ssize_t n = ::readlinkat(dir_fd, name, target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return false;
  return socket_link_inode(std::string_view(target, static_cast<size_t>(n)), inode);
}

bool still_owned(const std::string& proc, uint64_t inode, const CachedOwner& owner) {
  std::string link = proc + "/" + std::to_string(owner.pid) + "/fd/" + std::to_string(owner.fd);
  uint64_t found = 0;
  return read_socket_link(AT_FDCWD, link.c_str(), &found) && found == inode;
}

struct DirCloser {
  void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirPtr = std::unique_ptr<DIR, DirCloser>;

DirPtr open_dir_at(int parent, const char* name) {
  int fd = ::openat(parent, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (dir == nullptr) ::close(fd);
  return DirPtr(dir);
}

// One walk over the processes' descriptors for the sockets of `wanted`.
class OwnerScan {
 public:
  explicit OwnerScan(std::span<const uint64_t> wanted) : wanted_(wanted) {
    // A wildcard query on a busy port can have many candidates.
    if (wanted_.size() > 8) {
      for (size_t i = wanted_.size(); i-- > 0;) positions_[wanted_[i]] = i;
    }
  }

  void run(const std::string& proc) {
    DirPtr procs = open_dir_at(AT_FDCWD, proc.c_str());
    if (!procs) return;
    while (best_ != 0) {
      const dirent* entry = ::readdir(procs.get());
      if (entry == nullptr) break;
      uint32_t pid = 0;
      if (!parse_number(entry->d_name, &pid)) continue;
      scan_process(::dirfd(procs.get()), entry->d_name, pid);
    }
  }

  bool found() const { return best_ != kNone; }
  size_t index() const { return best_; }
  uint32_t pid() const { return best_pid_; }
  const std::vector<std::pair<uint64_t, CachedOwner>>& seen() const { return seen_; }

 private:
  static constexpr size_t kNone = SIZE_MAX;

  void scan_process(int proc_fd, const char* pid_name, uint32_t pid) {
    std::string fd_dir = std::string(pid_name) + "/fd";
    DirPtr fds = open_dir_at(proc_fd, fd_dir.c_str());
    if (!fds) return;  // gone, a kernel thread, or not ours to read
    while (best_ != 0) {
      const dirent* entry = ::readdir(fds.get());
      if (entry == nullptr) break;
      uint32_t fd = 0;
      uint64_t inode = 0;
      if (!parse_number(entry->d_name, &fd)) continue;
      if (!read_socket_link(::dirfd(fds.get()), entry->d_name, &inode)) continue;
      if (seen_.size() < kCacheLimit) seen_.emplace_back(inode, CachedOwner{pid, fd});
      size_t position = position_of(inode);
      if (position < best_) {
        best_ = position;
        best_pid_ = pid;
      }
    }
  }

  size_t position_of(uint64_t inode) const {
    if (!positions_.empty()) {
      auto it = positions_.find(inode);
      return it == positions_.end() ? kNone : it->second;
    }
    for (size_t i = 0; i < wanted_.size(); ++i) {
      if (wanted_[i] == inode) return i;
    }
    return kNone;
  }

  std::span<const uint64_t> wanted_;
  std::unordered_map<uint64_t, size_t> positions_;
  std::vector<std::pair<uint64_t, CachedOwner>> seen_;
  size_t best_ = kNone;
  uint32_t best_pid_ = 0;
};

void remember(const std::vector<std::pair<uint64_t, CachedOwner>>& seen) {
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  if (g_cache.size() + seen.size() > kCacheLimit) g_cache.clear();
  // Backwards, so that of two holders of one socket the first one seen stays.
  for (auto it = seen.rbegin(); it != seen.rend(); ++it)
    g_cache.insert_or_assign(it->first, it->second);
}

// Namespace links read "mnt:[4026531841]"; the text names the namespace.
std::string namespace_link(int dir_fd, const char* name) {
  char target[64];
  ssize_t n = ::readlinkat(dir_fd, name, target, sizeof target);
  if (n <= 0 || static_cast<size_t>(n) >= sizeof target) return {};
  return std::string(target, static_cast<size_t>(n));
}

struct Namespaces {
  std::string mnt;
  std::string user;

  // Unreadable links never compare equal.
  bool same_as(const Namespaces& other) const {
    return !mnt.empty() && !user.empty() && mnt == other.mnt && user == other.user;
  }
};

Namespaces read_namespaces(int dir_fd, const std::string& prefix) {
  return {namespace_link(dir_fd, (prefix + "ns/mnt").c_str()),
          namespace_link(dir_fd, (prefix + "ns/user").c_str())};
}

// Real and effective uid 0 by the "Uid:" line of /proc/<pid>/status.
bool runs_as_root(int proc_dir) {
  int fd = ::openat(proc_dir, "status", O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  // The line comes early; a status file is a couple of KiB.
  char buffer[8192];
  size_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer + total, sizeof buffer - total);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    total += static_cast<size_t>(n);
    if (total == sizeof buffer) break;
  }
  ::close(fd);
  std::string_view text(buffer, total);
  size_t at = text.starts_with("Uid:") ? 0 : text.find("\nUid:");
  if (at == std::string_view::npos) return false;
  std::string_view rest = text.substr(text.find(':', at) + 1);
  rest = rest.substr(0, rest.find('\n'));
  uint64_t real = 0;
  uint64_t effective = 0;
  return parse_decimal(next_field(&rest), &real) && parse_decimal(next_field(&rest), &effective) &&
         real == 0 && effective == 0;
}

bool holds_any(int proc_dir, std::span<const uint64_t> inodes) {
  DirPtr fds = open_dir_at(proc_dir, "fd");
  if (!fds) return false;  // gone, a kernel thread, or not ours to read
  while (const dirent* entry = ::readdir(fds.get())) {
    uint32_t fd = 0;
    uint64_t inode = 0;
    if (!parse_number(entry->d_name, &fd)) continue;
    if (!read_socket_link(::dirfd(fds.get()), entry->d_name, &inode)) continue;
    if (std::find(inodes.begin(), inodes.end(), inode) != inodes.end()) return true;
  }
  return false;
}

}  // namespace

bool parse_socket_row(std::string_view line, int family, SocketRow* out) {
  if (family != AF_INET && family != AF_INET6) return false;
  std::string_view rest = line;
  std::string_view slot = next_field(&rest);
  if (slot.size() < 2 || slot.back() != ':') return false;
  for (char c : slot.substr(0, slot.size() - 1)) {
    if (c < '0' || c > '9') return false;
  }
  SocketRow row;
  row.family = family;
  if (!parse_endpoint(next_field(&rest), family, row.local_addr, &row.local_port)) return false;
  if (!parse_endpoint(next_field(&rest), family, row.remote_addr, &row.remote_port)) return false;
  std::string_view state = next_field(&rest);
  uint32_t state_value = 0;
  if (state.size() != 2 || !parse_hex(state, &state_value)) return false;
  row.state = static_cast<uint8_t>(state_value);
  // Queues, timer, retransmits, uid and timeout: present but unused.
  for (int i = 0; i < 5; ++i) {
    if (next_field(&rest).empty()) return false;
  }
  if (!parse_decimal(next_field(&rest), &row.inode)) return false;
  *out = row;
  return true;
}

uint32_t for_each_socket_row(SocketTable table, const std::function<void(const SocketRow&)>& visit,
                             size_t* bytes) {
  if (bytes != nullptr) *bytes = 0;
  const std::string path = under_sysroot(table_path(table));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return set_last_error_from_errno(errno);

  const int family = table_family(table);
  auto on_line = [&](std::string_view line) {
    SocketRow row;
    if (parse_socket_row(line, family, &row)) visit(row);
  };
  // /proc files report no size, so they are read to the end in chunks; the
  // kernel hands out about a page per read.
  char buffer[kReadChunk];
  LineSplitter lines;
  size_t total = 0;
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      uint32_t error = set_last_error_from_errno(errno);
      ::close(fd);
      return error;
    }
    if (n == 0) break;
    total += static_cast<size_t>(n);
    lines.feed(std::string_view(buffer, static_cast<size_t>(n)), on_line);
  }
  lines.finish(on_line);
  ::close(fd);
  if (bytes != nullptr) *bytes = total;
  return kErrorSuccess;
}

uint32_t read_socket_table(SocketTable table, std::vector<SocketRow>* rows, size_t* bytes) {
  rows->clear();
  uint32_t error = for_each_socket_row(
      table, [rows](const SocketRow& row) { rows->push_back(row); }, bytes);
  if (error != kErrorSuccess) rows->clear();
  return error;
}

uint32_t find_socket_owner(std::span<const uint64_t> inodes, size_t* index) {
  if (inodes.empty()) return 0;
  const std::string proc = under_sysroot("/proc");
  // Only the first candidate can be answered from memory: a later one would
  // need proof that no process holds an earlier one, which takes the walk.
  CachedOwner owner;
  bool remembered = false;
  {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    auto it = g_cache.find(inodes[0]);
    if (it != g_cache.end()) {
      owner = it->second;
      remembered = true;
    }
  }
  if (remembered && still_owned(proc, inodes[0], owner)) {
    if (index != nullptr) *index = 0;
    return owner.pid;
  }
  if (remembered) {
    std::lock_guard<std::mutex> lock(g_cache_mutex);
    g_cache.erase(inodes[0]);
  }

  OwnerScan scan(inodes);
  scan.run(proc);
  remember(scan.seen());
  if (!scan.found()) return 0;
  if (index != nullptr) *index = scan.index();
  return scan.pid();
}

uint32_t find_socket_holders(std::span<const uint64_t> inodes, std::vector<SocketHolder>* holders) {
  holders->clear();
  const std::string proc = under_sysroot("/proc");
  DirPtr procs = open_dir_at(AT_FDCWD, proc.c_str());
  if (!procs) return set_last_error_from_errno(errno);
  if (inodes.empty()) return kErrorSuccess;
  const Namespaces own = read_namespaces(AT_FDCWD, proc + "/self/");
  while (const dirent* entry = ::readdir(procs.get())) {
    uint32_t pid = 0;
    if (!parse_number(entry->d_name, &pid)) continue;
    int dir = ::openat(::dirfd(procs.get()), entry->d_name,
                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0) continue;
    if (holds_any(dir, inodes)) {
      SocketHolder holder;
      holder.pid = pid;
      if (!process_image_path_at(dir, &holder.image)) holder.image.clear();
      holder.own_namespaces = read_namespaces(dir, "").same_as(own);
      holder.root = runs_as_root(dir);
      holders->push_back(std::move(holder));
    }
    ::close(dir);
  }
  return kErrorSuccess;
}

void clear_socket_owner_cache() {
  std::lock_guard<std::mutex> lock(g_cache_mutex);
  g_cache.clear();
}

}  // namespace platform
