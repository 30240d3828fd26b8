// The process-wide text log.
//
// Every component writes through `cxLogWrite`, one line per call: local time,
// process tag, process and thread ids, level name, source file and line, a
// component tag and the printf-formatted message, as `cxLogFormatFlags` selects.
// The line goes at once, under the machine-wide mutex "Global\cx_log_mutex",
// to the size-rotated log file in the log folder, to standard error or to the
// debugger output (`cxLogOutput`).
//
// `cxLogWrite` does not filter by level. Call sites go through `CXLOG`, which
// tests `cxLogThreshold` and `cxLogEnabled` first, so a filtered-out call costs
// one comparison and formats nothing. Nothing is written before `cxLogInit`
// has succeeded or after `cxLogShutdown`.
//
// The lock file of a log that only root writes (the ProgramData folder) is
// root's alone, so no other account can hold it and stall the service's
// threads; a lock file planted there by anyone else is refused with one line,
// and the log goes on serialised within this process only.
//
// Threads of the packet path mark themselves with `cxLogSetPacketPathThread`:
// their lines wait at most `kCxLogPacketPathWaitMs` for the lock (another
// root process may hold it). A line that would wait longer is dropped and
// counted, and the count is written ahead of the next line that gets
// through. After such a wait they do not wait again for a second, only try.
//
// Lines that input from outside can trigger go through `CXLOG_LIMITED` (or
// the router side's `ROUTER_LOG_LIMITED`): at most `kCxLogBurstLines` a second
// from one call site, the rest counted and reported as one "%u more
// suppressed" line ahead of the next line that site writes. A message's own
// trailing line ends are dropped: every call writes exactly one line.
//
// Any thread may log at any time. The settings below are read without a lock;
// set `cxLogProcessTag` before `cxLogInit`, the others at any time.
#ifndef CLIENT_LIB_CXLOG_CXLOG_H_
#define CLIENT_LIB_CXLOG_CXLOG_H_

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class cxRotationFile;

enum cxLogLevel {
  CXLOG_UNKNOWN = 0,
  CXLOG_CRITICAL = 1,
  CXLOG_ERROR = 2,
  CXLOG_WARN = 3,
  CXLOG_INFO = 4,
  CXLOG_DEBUG = 5,
  CXLOG_DUMP = 6,
};

// Fields of a line, in the order they appear; the process tag, component tag
// and message are always there.
enum cxLogFormatFlag {
  CXLOG_FMT_PID = 0x01,
  CXLOG_FMT_TID = 0x02,
  CXLOG_FMT_TIME = 0x04,
  CXLOG_FMT_SOURCE = 0x08,
  CXLOG_FMT_LEVEL_NUMBER = 0x10,
  CXLOG_FMT_LEVEL_NAME = 0x40,
};

enum cxLogOutputTarget {
  CXLOG_OUTPUT_FILE = 1,
  CXLOG_OUTPUT_STDERR = 2,
  CXLOG_OUTPUT_DEBUGGER = 3,
};

inline constexpr int kCxLogMaxMessage = 4095;
inline constexpr int64_t kCxLogMaxFileSize = 10485760;
inline constexpr int kCxLogKeptFiles = 2;
inline constexpr int kCxLogPacketPathWaitMs = 5;
inline constexpr uint32_t kCxLogBurstLines = 10;

extern std::atomic<int> cxLogThreshold;    // 1 at load; the host sets 4
extern std::atomic<bool> cxLogEnabled;     // set by cxLogInit, cleared by cxLogShutdown
extern std::atomic<int> cxLogFormatFlags;  // 0x4F
extern std::atomic<int> cxLogOutput;       // cxLogOutputTarget, 1 at load
extern std::string cxLogProcessTag;        // "unknown" at load

// Turns logging on with the files <log folder><base>.log and
// <log folder><oldBase>.log. False (logging stays off) when the log folder
// cannot be found or created.
bool cxLogInit(const char* base, const char* oldBase);

// Writes one line; always returns false. Tests only `cxLogEnabled`.
bool cxLogWrite(const char* tag, const char* sourceFile, unsigned line, int level, bool force,
                const char* format, ...) __attribute__((format(printf, 6, 7)));
bool cxLogWriteV(const char* tag, const char* sourceFile, unsigned line, int level, bool force,
                 const char* format, va_list args) __attribute__((format(printf, 6, 0)));

// Writes one line with the layout of `cxLogWrite` from a signal handler. The
// message is final text (nothing is formatted); nothing is allocated, and only
// write(2), lseek(2), open(2) and the lock's try-lock reach the system. The
// line is written only when the log lock is free at once or already held by
// the calling thread, so a crashing thread never waits for another. Local time
// uses the UTC offset seen by the last ordinary line. False when the lock was
// busy, logging is off, or the output is the debugger, whose sink is not safe
// to call here. Does not filter by level.
bool cxLogWriteSignalSafe(const char* tag, const char* sourceFile, unsigned line, int level,
                          const char* message);

// Hands a fixed-layout line (time, pid, tid, level number, file:line, tag,
// message) to the debugger output whatever the log settings; for reporting
// problems with the log file itself.
void cxLogDebugString(const char* tag, const char* sourceFile, unsigned line, int level,
                      const char* format, ...) __attribute__((format(printf, 5, 6)));

// The log folder with a trailing "/": ProgramData for session 0 or an
// administrator, else APPDATA, followed by "Corvex/pellar/Logs/".
bool cxGetLogDirectory(std::string* folder, bool* programData = nullptr,
                       uint32_t* sessionId = nullptr);
bool cxCreateLogDirectory(const std::string& folder);

// Turns logging off, closes the file and deletes the log folder's placeholder.
void cxLogShutdown();

// True when cxLogInit chose the folder under ProgramData.
bool cxLogInProgramData();

// Lines of the log file that could not be written whole (a full disk, an I/O
// error) since the process started. Such a line leaves nothing behind, or,
// when a part of it cannot be taken back, the next line starts on a line of
// its own.
uint64_t cxLogLostLines();

// The rotating file under the log.
cxRotationFile& cxLogRotationFile();

// Marks (or unmarks) the calling thread as one of the packet path's; see
// above.
void cxLogSetPacketPathThread(bool on);

// Lines dropped since the process started because the log lock stayed busy.
uint64_t cxLogDroppedLines();

// Milliseconds of a coarse monotonic clock (no system call).
uint64_t cxLogCoarseMs();

// The budget of one call site: `kCxLogBurstLines` lines a second. Lock-free;
// under a race between threads a window may admit a line or two more.
// Constant-initialised, so a function-local static costs no guard.
class cxLogLimiter {
 public:
  constexpr cxLogLimiter() = default;
  // True when a line may be written now; `*suppressed` then gets how many
  // lines this site held back since it last wrote one.
  bool Admit(uint32_t* suppressed);

 private:
  std::atomic<uint64_t> windowStart_{0};
  std::atomic<uint64_t> admitted_{0};
  std::atomic<uint32_t> suppressed_{0};
};

// Text from outside the process (client names, commands, paths) made safe
// for one log line: "\n" and "\r" become `\n` and `\r`, a backslash `\\`,
// every other byte below 0x20 and 0x7F `\xHH`; other bytes stay. At most
// `maxBytes` bytes of escaped text are kept; a longer one is cut on an escape
// boundary and ends in "...". Log it with "%s".
inline constexpr size_t kCxLogMaxEscaped = 256;
std::string cxLogEscape(std::string_view text, size_t maxBytes = kCxLogMaxEscaped);

// Writes the "%u more suppressed" line when `suppressed` is not 0.
void cxLogWriteSuppressed(const char* tag, const char* sourceFile, unsigned line, int level,
                          uint32_t suppressed);

#define CXLOG_AT(force, tag, level, ...)                                    \
  do {                                                                      \
    if (cxLogThreshold.load(std::memory_order_relaxed) >= (level) &&        \
        cxLogEnabled.load(std::memory_order_relaxed)) {                     \
      cxLogWrite((tag), __FILE__, __LINE__, (level), (force), __VA_ARGS__); \
    }                                                                       \
  } while (0)

// CXLOG("cxLog", CXLOG_WARN, "Failed to move file. %s to %s, err %d", ...);
#define CXLOG(tag, level, ...) CXLOG_AT(false, tag, level, __VA_ARGS__)
#define CXLOG_FORCE(tag, level, ...) CXLOG_AT(true, tag, level, __VA_ARGS__)

// CXLOG with the budget of its call site.
#define CXLOG_LIMITED(tag, level, ...)                                               \
  do {                                                                               \
    if (cxLogThreshold.load(std::memory_order_relaxed) >= (level) &&                 \
        cxLogEnabled.load(std::memory_order_relaxed)) {                              \
      static cxLogLimiter cxlog_limiter_;                                            \
      uint32_t cxlog_suppressed_ = 0;                                                \
      if (cxlog_limiter_.Admit(&cxlog_suppressed_)) {                                \
        cxLogWriteSuppressed((tag), __FILE__, __LINE__, (level), cxlog_suppressed_); \
        cxLogWrite((tag), __FILE__, __LINE__, (level), false, __VA_ARGS__);          \
      }                                                                              \
    }                                                                                \
  } while (0)

#endif  // CLIENT_LIB_CXLOG_CXLOG_H_
