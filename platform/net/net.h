// Winsock over POSIX sockets.
//
// The client library's socket code was written against Winsock: a start-up
// and clean-up pair, `fd_set`s of a fixed capacity waited on with `select`,
// FIONBIO, and WSAGetLastError numbers. These stand-ins keep that shape: a
// `SocketSet` holds at most `kSocketSetSize` descriptors, `select_sockets`
// waits on two of them with poll(2) (so descriptor numbers have no upper
// bound), and every failure stores a Winsock number as the calling thread's
// last error (platform/error's socket variant). Sends never raise SIGPIPE.
//
// Descriptors stay owned by the caller. A `SocketSet` belongs to one thread;
// the functions may be called from any thread.
#ifndef PLATFORM_NET_NET_H_
#define PLATFORM_NET_NET_H_

#include <sys/types.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace platform {

// Capacity of one socket set (the channel's FD_SETSIZE).
inline constexpr size_t kSocketSetSize = 200;

inline constexpr uint32_t kWsaVerNotSupported = 10092;
inline constexpr uint32_t kWsaNotInitialised = 10093;
inline constexpr uint32_t kWsaHostNotFound = 11001;
inline constexpr uint32_t kWsaTryAgain = 11002;
inline constexpr uint32_t kWsaNoRecovery = 11003;
inline constexpr uint32_t kWsaTypeNotFound = 10109;

// WSAStartup: 0 for any version from 1.1 up (2.2 is what is served), else
// 10092. Each success must be matched by one `wsa_cleanup`.
int wsa_startup(int major, int minor);

// WSACleanup: 0, or -1 with last error 10093 when no start-up is outstanding.
int wsa_cleanup();

// A select-style set of descriptors.
class SocketSet {
 public:
  void clear() { count_ = 0; }
  // False when the set is full or `fd` is negative; a descriptor already in
  // the set is not added twice.
  bool add(int fd);
  bool contains(int fd) const;
  size_t size() const { return count_; }
  int at(size_t i) const { return fds_[i]; }

  // Keeps only the descriptors for which `keep` is true, in order.
  template <typename Keep>
  void retain(Keep keep) {
    size_t kept = 0;
    for (size_t i = 0; i < count_; ++i) {
      if (keep(fds_[i])) fds_[kept++] = fds_[i];
    }
    count_ = kept;
  }

 private:
  std::array<int, kSocketSetSize> fds_{};
  size_t count_ = 0;
};

// select: waits until a descriptor of `read` is readable (data, end of
// stream, a pending connection or an error) or one of `write` is writable
// (room or an error), or `timeout_ms` has passed (negative: no limit). Either
// set may be null. On return each set holds only its ready descriptors.
// Returns how many there are (a descriptor ready in both sets counts twice),
// 0 on time-out, or -1 with the last error set: 10038 when a set holds a
// descriptor that is not open. A signal does not end the wait early.
int select_sockets(SocketSet* read, SocketSet* write, int timeout_ms);

// ioctlsocket(FIONBIO). False with the last error set.
bool set_non_blocking(int fd, bool on);

// Two connected local stream sockets, both non-blocking and close-on-exec: a
// wake-up channel that no other process can reach. 0, or -1 with the last
// error set.
int make_wakeup_pair(int fds[2]);

// send/recv: the byte count (0 from recv at end of stream), or -1 with the last
// error set (10035 when the call would block).
ssize_t send_socket(int fd, const void* data, size_t size);
ssize_t recv_socket(int fd, void* data, size_t size);

// The Winsock number of a getaddrinfo result (0 for 0): 11001 no such name,
// 11002 try again, 11003 non-recoverable, 10109 unknown service, 10047 family,
// 8 out of memory, errno's mapping for EAI_SYSTEM.
uint32_t wsa_error_from_gai(int result);

}  // namespace platform

#endif  // PLATFORM_NET_NET_H_
