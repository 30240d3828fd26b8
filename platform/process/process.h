// Process and thread identity, the administrator test, the session id and the
// image path of a process.
//
// Windows runs services in session 0 and checks the caller's token for the
// Administrators group; here an effective uid of 0 is both, and any other
// process lives in its (non-zero) POSIX session. Thread-safe.
#ifndef PLATFORM_PROCESS_PROCESS_H_
#define PLATFORM_PROCESS_PROCESS_H_

#include <cstdint>
#include <string>

namespace platform {

uint32_t current_process_id();

// The kernel's id of the calling thread, read once per thread.
uint32_t current_thread_id();

// True when the caller runs with administrator rights (effective uid 0).
bool is_administrator();

// The session of the current process: 0 for root, otherwise its POSIX session
// id. False, with the last error set, when it cannot be read.
bool current_session_id(uint32_t* session_id);

// The full path of the executable that process `pid` runs, from the link
// $DOVADOD_SYSROOT/proc/<pid>/exe, without the " (deleted)" the kernel adds
// when the file has been removed or replaced. False, with the last error set,
// when it cannot be read: 2 for no such process (or one without an image, such
// as a kernel thread), 5 when access is denied.
bool process_image_path(uint32_t pid, std::string* path);

// The same from the "exe" link of a /proc/<pid> directory open as `proc_dir`,
// so that a pid reused since it was opened cannot answer.
bool process_image_path_at(int proc_dir, std::string* path);

}  // namespace platform

#endif  // PLATFORM_PROCESS_PROCESS_H_
