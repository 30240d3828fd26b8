// A named mutex shared by every process on the machine.
//
// Stands in for a named kernel mutex such as "Global\cx_log_mutex": an
// in-process recursive mutex serialises this process's threads, and an flock on
// $DOVADOD_ROOT/run/dovadod/global/<name>.lock serialises processes. The kernel
// drops the flock when its owner dies, as Windows abandons a mutex. Like the
// Windows object the lock is recursive for the owning thread.
//
// Who may take it across processes is chosen at open. `kAnyAccount`: any
// account may open the lock file (the Windows object had a null DACL); a name
// planted in the shared folder is refused with error 5: anything but a regular
// file with one link, owned by root or by the caller. `kOwnerOnly`: the file
// is the caller's alone (mode 0600), so no other account can hold the lock and
// stall the caller; a file of another owner, mode or link count is refused
// with error 5. Only `flock`'s read access is needed to hold a lock, so for a
// lock whose holder can stall a service the mode is what keeps others out.
//
// Without an open lock file (never opened, or the file could not be created)
// the mutex still serialises the threads of this process. Thread-safe; the
// object must outlive every thread that may lock it.
#ifndef PLATFORM_NAMED_MUTEX_NAMED_MUTEX_H_
#define PLATFORM_NAMED_MUTEX_NAMED_MUTEX_H_

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>

namespace platform {

class NamedMutex {
 public:
  NamedMutex() = default;
  NamedMutex(const NamedMutex&) = delete;
  NamedMutex& operator=(const NamedMutex&) = delete;
  ~NamedMutex();

  enum class Access { kAnyAccount, kOwnerOnly };

  // Creates or opens the lock file of `name` ("Global\" and "Local\" prefixes
  // are dropped). False, with the last error set, when it cannot be opened.
  bool open(std::string_view name, Access access = Access::kAnyAccount);
  // Closes the lock file; the mutex goes on serialising this process only.
  void close();
  bool is_open() const;

  // Waits without time limit.
  void lock();
  // Takes the mutex only if it is free at once, or already held by the calling
  // thread; never waits. Makes no allocation and no call that could block, so
  // a signal handler may use it (a wait of 0 ms on the Windows object).
  bool try_lock();
  // Waits at most `timeout` for both locks; false, holding neither, past it.
  // Uncontended it costs what `lock` costs: one flock call.
  bool try_lock_for(std::chrono::microseconds timeout);
  void unlock();

  static std::string lock_path(std::string_view name);

 private:
  mutable std::recursive_timed_mutex mu_;
  int fd_ = -1;
  int depth_ = 0;  // lock depth of the owning thread, guarded by mu_
};

}  // namespace platform

#endif  // PLATFORM_NAMED_MUTEX_NAMED_MUTEX_H_
