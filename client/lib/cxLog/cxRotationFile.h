// A size-limited output file that moves itself aside when full.
//
// The owner writes through `stream()` and calls `rotateIfNeeded` around its
// writes. When the file is full the rotation closes the stream, moves the file
// to the old path, opens a fresh file with the reopen mode and starts a
// detached archive thread that shifts the older copies through the archive
// names <folder><stem>.N<ext> (1 is the newest) so that `keptFiles` files exist
// in all. The log keeps 2 of 10 MiB, the packet capture 3 of 100 MiB.
//
// Two ways to tell "full": `rotateIfNeeded(0)` asks the file system for the
// size of the base file (at least the maximum); `rotateIfNeeded(n)` counts the
// n bytes just written (more than the maximum).
//
// Files the object opens for writing are created with the creation mode (0666
// less the umask, as fopen does, unless `setCreateMode` narrows it); a narrowed
// mode is also applied to a file that already existed, so a private capture
// never inherits a wider mode from an earlier file of the same name.
//
// When the file cannot be moved aside, nothing is truncated and no archive is
// touched: the stream is reopened for appending to the full file, the rotation
// reports "not rotated", and the next attempt waits for the retry interval.
//
// Thread-safety: `rotateIfNeeded`, `open`, `close` and writes through the
// stream must be serialised by the owner (the log holds its named mutex, the
// capture has one writer thread). Archive runs are serialised by their own
// lock and touch only the old file and the archives.
#ifndef CLIENT_LIB_CXLOG_CXROTATIONFILE_H_
#define CLIENT_LIB_CXLOG_CXROTATIONFILE_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

class cxRotationFile {
 public:
  friend class cxRotationArchiveThread;

  cxRotationFile(int64_t maxSize, int keptFiles);
  cxRotationFile(const cxRotationFile&) = delete;
  cxRotationFile& operator=(const cxRotationFile&) = delete;
  // Waits for running archive threads and closes the stream.
  ~cxRotationFile();

  // Stores the paths; a `defaultExtension` beginning with "." replaces the one
  // of `basePath`. A leftover old file is archived at once; with `keepBase` an
  // existing base file is moved aside and archived too. False, and no rotation
  // by file size, when `basePath` has no stem or no extension. The byte count
  // of the counting mode starts again at 0.
  bool init(const std::string& basePath, const std::string& oldPath,
            const std::string& defaultExtension, bool keepBase);

  // Stores `mode` as the reopen mode; `stream` (owned from now on) becomes the
  // stream, or with none the base path is opened with `mode`.
  FILE* open(FILE* stream, const std::string& mode);
  void close();

  // Always true; `rotated` tells whether the file was moved aside now.
  bool rotateIfNeeded(uint64_t bytesWritten, bool* rotated = nullptr);

  // One archive run: shifts the archives and moves `oldPath` to archive 1.
  bool archive(const std::string& oldPath);

  FILE* stream() const { return stream_; }
  // True when every write through the stream lands at the end of the file,
  // whatever other processes appended in between.
  bool streamAppends() const { return streamAppends_; }
  const std::string& reopenMode() const { return reopenMode_; }
  const std::string& basePath() const { return basePath_; }
  const std::string& oldPath() const { return oldPath_; }
  std::string archivePath(int n) const;

  // Blocks until no archive thread of this object is running.
  void waitForArchiveRuns();
  // Pause between attempts after the base file could not be moved aside.
  void setRetryInterval(std::chrono::milliseconds interval) { retryInterval_ = interval; }
  // Mode of the files opened from now on (and of an existing file opened for
  // writing), for example 0600 for files that hold private data.
  void setCreateMode(mode_t mode) { createMode_ = mode; }

 private:
  void rotate(bool* rotated);
  void reopenForAppend();
  void setStream(FILE* stream);
  FILE* openFile(const char* mode) const;
  void startArchiveThread();
  void archiveThreadDone();
  bool retryPending() const;

  const int64_t maxSize_;
  const int keptFiles_;
  std::string basePath_;
  std::string oldPath_;
  std::string stemPath_;
  std::string extension_;
  std::string reopenMode_;
  FILE* stream_ = nullptr;
  bool streamAppends_ = false;
  std::atomic<uint64_t> bytes_{0};
  bool inRotation_ = false;
  std::chrono::milliseconds retryInterval_{std::chrono::seconds(60)};
  std::chrono::steady_clock::time_point retryAfter_{};
  std::optional<mode_t> createMode_;

  std::recursive_mutex archiveLock_;
  std::mutex runsMutex_;
  std::condition_variable runsDone_;
  int runningArchives_ = 0;
};

// The detached thread a rotation starts: one archive run of the file's old
// path, between two log lines.
class cxRotationArchiveThread {
 public:
  explicit cxRotationArchiveThread(cxRotationFile& file) : file_(file) {}
  void operator()() const;

 private:
  cxRotationFile& file_;
};

// Moves `from` to `to`, replacing it; logs and returns false on failure.
bool cxMoveFile(const std::string& from, const std::string& to);

#endif  // CLIENT_LIB_CXLOG_CXROTATIONFILE_H_
