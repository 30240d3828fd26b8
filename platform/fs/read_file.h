// Reading a whole work file that someone else may have written.
//
// Configuration and table files lie in folders the service does not own
// alone, so the file is opened without following links and only when it is
// a regular file (`open_no_links`: a FIFO in its place fails at once instead
// of blocking), and a file larger than the caller's limit is refused by its
// size before a byte is read, so a huge or sparse file costs nothing.
//
// Reentrant; no state.
#ifndef PLATFORM_FS_READ_FILE_H_
#define PLATFORM_FS_READ_FILE_H_

#include <cstddef>
#include <string>

namespace platform {

// Reads the file at `path` into `text`. Returns 0, or an errno value:
// EFBIG when its size (stored in `*size`, when given) exceeds `max_size`,
// EACCES for a link, FIFO or other non-regular file, or what open(2),
// fstat(2) or read(2) reported. `text` is changed only on success. A file
// that shrinks while it is read gives the bytes there were.
int read_file_no_links(const char* path, size_t max_size, std::string* text,
                       long long* size = nullptr);

}  // namespace platform

#endif  // PLATFORM_FS_READ_FILE_H_
