// The kernel's TCP and UDP socket tables and the process that owns a socket,
// in place of the owner-pid tables of the IP Helper API.
//
// Rows come from $DOVADOD_SYSROOT/proc/net/{tcp,tcp6,udp,udp6} in file order;
// the owner of a row is the first process found with a descriptor whose link
// under $DOVADOD_SYSROOT/proc/<pid>/fd/ reads "socket:[<inode>]". Finding it
// means walking descriptors of every process, so the walk stops at the first
// hit and remembers the sockets it passed (inode -> pid and descriptor); a
// remembered owner is trusted only after one readlink shows the same link.
//
// `parse_socket_row` is a pure function over one line so that it can be tested;
// it never reads outside the line. Thread-safe: the owner cache is
// guarded by a mutex, everything else is per call.
#ifndef PLATFORM_SOCKET_OWNER_SOCKET_OWNER_H_
#define PLATFORM_SOCKET_OWNER_SOCKET_OWNER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class SocketTable { kTcp, kTcp6, kUdp, kUdp6 };

// The kernel's TCP state numbers that callers test.
inline constexpr uint8_t kTcpStateEstablished = 0x01;
inline constexpr uint8_t kTcpStateListen = 0x0A;

struct SocketRow {
  int family = 0;                // AF_INET or AF_INET6 (Linux values)
  uint8_t local_addr[16] = {};   // network order; the first 4 bytes for AF_INET
  uint16_t local_port = 0;       // host order
  uint8_t remote_addr[16] = {};  // network order
  uint16_t remote_port = 0;      // host order
  uint8_t state = 0;             // the kernel's TCP state number (UDP uses it too)
  uint64_t inode = 0;            // 0 when no file refers to the socket (TIME_WAIT, orphans)
};

// One line of a table whose addresses are of `family`. False for the header
// line and for anything malformed; `*out` is then unchanged.
bool parse_socket_row(std::string_view line, int family, SocketRow* out);

// Calls `visit` with each row of `table` in file order, skipping malformed
// lines, without keeping them; `*bytes` (optional) receives the size of the
// text read. Returns 0, or the Windows error of the failing open or read, also
// stored as the last error; rows visited before a failing read are to be
// discarded.
uint32_t for_each_socket_row(SocketTable table, const std::function<void(const SocketRow&)>& visit,
                             size_t* bytes = nullptr);

// Replaces `*rows` with the rows of `table` in file order, skipping malformed
// lines; `*bytes` (optional) receives the size of the text read. Returns 0, or
// the Windows error of the failing open or read, also stored as the last
// error; `*rows` is empty after a failure.
uint32_t read_socket_table(SocketTable table, std::vector<SocketRow>* rows,
                           size_t* bytes = nullptr);

// The process owning the earliest socket of `inodes` that some process holds
// a descriptor of, and that socket's position in `*index` (optional). 0 when no
// process holds any of them (or none is visible to the caller).
uint32_t find_socket_owner(std::span<const uint64_t> inodes, size_t* index = nullptr);

// A process holding a socket, as seen through one open $DOVADOD_SYSROOT/proc/<pid>
// directory, so that a pid reused meanwhile cannot answer for it. What cannot
// be read stays at its default, which never vouches for the process.
struct SocketHolder {
  uint32_t pid = 0;
  std::string image;            // the exe link, without " (deleted)"; empty if unreadable
  bool own_namespaces = false;  // the mount and user namespaces of this process (/proc/self)
  bool root = false;            // real and effective uid 0
};

// Replaces `*holders` with every process holding a descriptor of one of
// `inodes`, each once, in /proc order: one per process at most, so bounded by
// the number of processes. Unlike `find_socket_owner` it never stops early nor
// answers from memory, since one disallowed holder among several matters.
// Returns 0, or the Windows error of opening /proc.
uint32_t find_socket_holders(std::span<const uint64_t> inodes, std::vector<SocketHolder>* holders);

// Forgets every remembered owner, so that the next lookup walks the processes.
void clear_socket_owner_cache();

}  // namespace platform

#endif  // PLATFORM_SOCKET_OWNER_SOCKET_OWNER_H_
