// SocketPair: the transport's wake-up channel.
//
// A thread that sleeps in select() keeps the pair's read socket in its read
// set; any other thread wakes it by writing one byte to the write socket
// (`wakeupserver`). The sleeper drains the bytes with `readfromserversocket`,
// up to 16 wake-ups at a time. The transport holds two pairs: "connection"
// (wakes the connect thread) and "data" (wakes the wait thread).
//
// The two ends come from `platform::make_wakeup_pair`: a connected local
// socketpair that no other process can reach, both ends non-blocking. A send
// that would block means the sleeper already has a wake-up pending, so it
// counts as done; a read that would block means there was nothing to drain.
//
// Ownership: the pair owns both sockets and closes them in `close`, `reinit`
// and its destructor.
//
// Threads: any thread may call `wakeupserver`, several at once; one sleeper
// calls `readfromserversocket` and `read_socket`. Sends and reads use the
// sockets under the pair's reader-writer lock held shared; `init`, `reinit`
// and `close` swap and close them under it held exclusively. So no thread
// ever sends or reads on a descriptor number after the pair closed it, when
// the kernel may already have handed that number to a tunnel's socket. The
// lock lets a waiting writer in before new readers, so that wakers that keep
// sending cannot hold a reinit off for ever.
#ifndef OSTGRAPHSVC_OSTSSL_SOCKET_PAIR_H_
#define OSTGRAPHSVC_OSTSSL_SOCKET_PAIR_H_

#include <pthread.h>

#include <chrono>
#include <string>

// Makes a connected wake-up pair: the read end in `*read_sock`, the write end
// in `*write_sock`. False, with the failure logged and nothing left open, when
// the pair cannot be made.
bool createSocketPair(int* read_sock, int* write_sock);

// A reader-writer lock that prefers writers (the C library's default lets a
// steady stream of readers starve a writer). Meets the SharedMutex
// requirements, so std::shared_lock and std::unique_lock take it. Not
// recursive: a reader must not take it again while a writer may wait.
class WriterPreferringLock {
 public:
  WriterPreferringLock();
  WriterPreferringLock(const WriterPreferringLock&) = delete;
  WriterPreferringLock& operator=(const WriterPreferringLock&) = delete;
  ~WriterPreferringLock();

  void lock();
  bool try_lock();
  void unlock();
  void lock_shared();
  bool try_lock_shared();
  void unlock_shared();

 private:
  pthread_rwlock_t lock_;
};

class SocketPair {
 public:
  SocketPair() = default;
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  ~SocketPair();

  // Names the pair `name` (at most 23 characters kept) when it has no name
  // yet, then makes its sockets, closing any it had. False, with the old
  // sockets left in place, when making them failed.
  bool init(const char* name);

  // Closes both sockets; later wake-ups fail until `init` or `reinit`.
  void close();

  // Makes a new pair and, only when that succeeded, closes the old one and
  // puts the new one in its place. False when the new pair could not be made.
  bool reinit();

  // Drains up to 16 pending wake-ups. A read that would block is not an
  // error. Any other failure is logged and costs a pause of 1 s; a pair that
  // was reset, or whose write end is gone, is made again and the result is
  // that of `reinit`. True otherwise.
  bool readfromserversocket();

  // Wakes the sleeper: writes one byte. A failed send is logged and retried
  // once after a pause of 1 s, after making the pair again when it was reset,
  // aborted or timed out; a second failure gives the wake-up up (logged).
  void wakeupserver();

  // The current read socket, for the sleeper's select set; -1 while closed.
  // A reinit by a waker may replace it at any time: the sleeper takes it anew
  // for every select(). A number it still holds from before a reinit may by
  // then belong to another socket, whose readiness then costs one spurious
  // `readfromserversocket` (which reads only the current socket, so it never
  // takes bytes from a socket that is not the pair's).
  int read_socket() const;

  // "" until the pair was named.
  std::string name() const;

  // Tests only: the pause after a failed send or read (1 s in service).
  static void set_pause_for_testing(std::chrono::milliseconds pause);
  static std::chrono::milliseconds pause();

 private:
  static constexpr int kNameSize = 24;

  struct Name {
    char text[kNameSize];
  };

  static void pause_after_failure();
  // The name, copied under the lock: the first `init` may name the pair
  // while a waker logs.
  Name name_copy() const;

  mutable WriterPreferringLock lock_;
  char name_[kNameSize] = {};  // guarded by lock_; set once
  int read_sock_ = -1;         // guarded by lock_
  int write_sock_ = -1;        // guarded by lock_
};

#endif  // OSTGRAPHSVC_OSTSSL_SOCKET_PAIR_H_
