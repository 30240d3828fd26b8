// Opening files whose folder someone else may write into.
//
// A name the service writes or reads (the settings hive, logs, dumps, work
// files) may have been replaced by a symbolic link, a hard link to a file
// elsewhere, or a FIFO that would block the open or the first read forever.
// These opens never follow a link and accept only a regular file with at
// most one name (none: it was renamed over after the open, as a rewritten
// file is); anything else is refused with EACCES (EISDIR for a folder),
// which maps to access denied (5), so the caller logs its own line and
// carries on without the file.
#ifndef PLATFORM_FS_OPEN_FILE_H_
#define PLATFORM_FS_OPEN_FILE_H_

#include <sys/types.h>

#include <cstdio>

namespace platform {

// open(2) of `path` with `flags` (O_RDONLY, O_WRONLY, O_RDWR, O_CREAT,
// O_APPEND, O_TRUNC, O_EXCL) and `mode` for a file it creates; the descriptor
// is close-on-exec and blocking, or -1 with errno set. O_TRUNC empties the
// file only once it has been accepted. O_EXCL is for temporary files: a stale
// entry of that name is removed first and a fresh file created; a name
// planted again in between is refused.
//
// Async-signal-safe: plain system calls, no allocation.
int open_no_links(const char* path, int flags, mode_t mode);

// The same as a stream, with an fopen mode ("r", "wb", "a+", ...): null with
// errno set on failure.
FILE* fopen_no_links(const char* path, const char* mode, mode_t create_mode = 0666);

}  // namespace platform

#endif  // PLATFORM_FS_OPEN_FILE_H_
