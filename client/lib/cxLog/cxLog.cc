#include "client/lib/cxLog/cxLog.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <string_view>

#include "client/lib/cxLog/cxFileUtils.h"
#include "client/lib/cxLog/cxRotationFile.h"
#include "client/lib/cxLog/cxSafeText.h"
#include "platform/debug_output/debug_output.h"
#include "platform/error/win_error.h"
#include "platform/fs/open_file.h"
#include "platform/fs/paths.h"
#include "platform/named_mutex/named_mutex.h"
#include "platform/process/process.h"

std::atomic<int> cxLogThreshold{CXLOG_CRITICAL};
std::atomic<bool> cxLogEnabled{false};
std::atomic<int> cxLogFormatFlags{0x4F};
std::atomic<int> cxLogOutput{CXLOG_OUTPUT_FILE};
std::string cxLogProcessTag = "unknown";

namespace {

constexpr const char* kLevelNames[] = {"unknown", "critical", "error", "warn",
                                       "info",    "debug",    "dump"};
constexpr char kLogMutexName[] = "Global\\cx_log_mutex";
constexpr char kLogSubfolder[] = "Corvex/pellar/Logs/";

// Built on first use and never destroyed: archive threads and late loggers
// may still reach them while the process exits.
struct LogState {
  platform::NamedMutex mutex;
  cxRotationFile rotation{kCxLogMaxFileSize, kCxLogKeptFiles};
  std::string logPath;
  std::string oldPath;
  std::atomic<bool> programData{false};
  // Lines that could not be written whole, and whether the file ends in
  // part of one (both under the mutex but the count, read any time).
  std::atomic<uint64_t> lostLines{0};
  bool lineOpen = false;
  // Lines of packet-path threads dropped on a busy lock: all of them, and
  // those not yet reported in the log.
  std::atomic<uint64_t> droppedLines{0};
  std::atomic<uint64_t> unreportedDrops{0};
  // Until then (cxLogCoarseMs) packet-path threads only try the lock.
  std::atomic<uint64_t> busyUntilMs{0};
};

LogState& state() {
  static LogState* s = new LogState;
  return *s;
}

// Seconds east of UTC at the last local-time conversion; a signal handler
// cannot convert time zones itself.
std::atomic<long> g_utcOffset{0};

thread_local bool t_packetPath = false;

// How long packet-path threads only try the lock after one waited in vain.
constexpr uint64_t kBusyBackoffMs = 1000;
constexpr uint64_t kLimiterWindowMs = 1000;

// A message ends its line itself: its own trailing line ends would leave
// empty lines behind.
size_t withoutLineEnds(const char* text, size_t n) {
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r')) --n;
  return n;
}

// The part of a source path after its last backslash, else after its last
// slash, else the whole path.
std::string_view sourceFileName(const char* path) {
  std::string_view p = path != nullptr ? path : "";
  size_t cut = p.rfind('\\');
  if (cut == std::string_view::npos) cut = p.rfind('/');
  return cut == std::string_view::npos ? p : p.substr(cut + 1);
}

void appendf(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));
void appendf(std::string& out, const char* format, ...) {
  char buf[64];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  if (n > 0) out.append(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

void appendLocalTime(std::string& out) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  struct tm local;
  ::localtime_r(&now.tv_sec, &local);
  g_utcOffset.store(local.tm_gmtoff, std::memory_order_relaxed);
  appendf(out, "%04d/%02d/%02d %02d:%02d:%02d.%03d", local.tm_year + 1900, local.tm_mon + 1,
          local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
          static_cast<int>(now.tv_nsec / 1000000));
}

// The caller's message, cut to 4095 characters.
void appendMessage(std::string& out, const char* format, va_list args) {
  char message[kCxLogMaxMessage + 1];
  int n = std::vsnprintf(message, sizeof message, format, args);
  if (n < 0) return;
  out.append(message, withoutLineEnds(message, static_cast<size_t>(std::min(n, kCxLogMaxMessage))));
}

void buildLine(std::string& line, const char* tag, const char* sourceFile, unsigned lineNumber,
               int level, const char* format, va_list args) {
  int flags = cxLogFormatFlags.load(std::memory_order_relaxed);
  line.clear();
  if (flags & CXLOG_FMT_TIME) appendLocalTime(line);
  line.push_back(' ');
  line.append(cxLogProcessTag);
  if (flags & CXLOG_FMT_PID) appendf(line, " p%x", platform::current_process_id());
  if (flags & CXLOG_FMT_TID) appendf(line, " t%x", platform::current_thread_id());
  if (flags & CXLOG_FMT_LEVEL_NUMBER) {
    char number[3];  // at most two characters
    std::snprintf(number, sizeof number, "%d", level);
    line.push_back(' ');
    line.append(number);
  }
  if ((flags & CXLOG_FMT_LEVEL_NAME) && level >= 0 && level <= CXLOG_DUMP) {
    line.push_back(' ');
    line.append(kLevelNames[level]);
  }
  if (flags & CXLOG_FMT_SOURCE) {
    line.push_back(' ');
    line.append(sourceFileName(sourceFile));
    appendf(line, ":%u", lineNumber);
  }
  line.push_back(' ');
  line.append(tag != nullptr ? tag : "");
  line.push_back(' ');
  appendMessage(line, format, args);
}

void writeToFile(LogState& s, const std::string& text) {
  FILE* stream = s.rotation.stream();
  if (stream == nullptr) {
    stream = platform::fopen_no_links(s.logPath.c_str(), "a");
    if (stream == nullptr) {
      std::fputs("Failed to open log file\n", stderr);
      return;
    }
    s.rotation.open(stream, s.rotation.reopenMode());
  }
  // Lines go to the descriptor itself, so that a write cut short (a full
  // disk) is seen; every line is flushed, so nothing waits in the stream.
  std::fflush(stream);
  int fd = fileno(stream);
  if (fd < 0) {
    s.lostLines.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  // Other processes append to the same file between our lines.
  off_t start = ::lseek(fd, 0, SEEK_END);
  std::string prefixed;
  std::string_view out = text;
  if (s.lineOpen) {
    prefixed.reserve(text.size() + 1);
    prefixed.push_back('\n');
    prefixed.append(text);
    out = prefixed;
  }
  size_t written = 0;
  while (written < out.size()) {
    ssize_t n = ::write(fd, out.data() + written, out.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    written += static_cast<size_t>(n);
  }
  if (written == out.size()) {
    s.lineOpen = false;
    return;
  }
  // Lines stay whole: what landed of this one is taken back, and when that
  // fails the next line starts on a line of its own.
  s.lostLines.fetch_add(1, std::memory_order_relaxed);
  if (written == 0) return;
  if (start >= 0 && ::ftruncate(fd, start) == 0) return;
  s.lineOpen = true;
}

using SafeLine = cxSafeText<kCxLogMaxMessage + 512>;

// Civil date of a day count since 1970-01-01 (proleptic Gregorian).
void civilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
  days += 719468;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
  unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  unsigned mp = (5 * dayOfYear + 2) / 153;
  *day = dayOfYear - (153 * mp + 2) / 5 + 1;
  *month = mp < 10 ? mp + 3 : mp - 9;
  *year = static_cast<int64_t>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

void appendLocalTimeSafe(SafeLine& out) {
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  int64_t local = static_cast<int64_t>(now.tv_sec) + g_utcOffset.load(std::memory_order_relaxed);
  int64_t days = local >= 0 ? local / 86400 : (local - 86399) / 86400;
  int64_t secondOfDay = local - days * 86400;
  int64_t year = 0;
  unsigned month = 0, day = 0;
  civilFromDays(days, &year, &month, &day);
  out.dec(static_cast<uint64_t>(year), 4).add('/').dec(month, 2).add('/').dec(day, 2).add(' ');
  out.dec(static_cast<uint64_t>(secondOfDay / 3600), 2).add(':');
  out.dec(static_cast<uint64_t>(secondOfDay / 60 % 60), 2).add(':');
  out.dec(static_cast<uint64_t>(secondOfDay % 60), 2).add('.');
  out.dec(static_cast<uint64_t>(now.tv_nsec / 1000000), 3);
}

void buildLineSafe(SafeLine& line, const char* tag, const char* sourceFile, unsigned lineNumber,
                   int level, const char* message) {
  int flags = cxLogFormatFlags.load(std::memory_order_relaxed);
  if (flags & CXLOG_FMT_TIME) appendLocalTimeSafe(line);
  line.add(' ').add(cxLogProcessTag);
  // The cached ids of the platform layer may be set up on first use, which is
  // not safe here; both are plain system calls.
  if (flags & CXLOG_FMT_PID) line.add(" p").hex(static_cast<uint64_t>(::getpid()));
  if (flags & CXLOG_FMT_TID) line.add(" t").hex(static_cast<uint64_t>(::syscall(SYS_gettid)));
  if (flags & CXLOG_FMT_LEVEL_NUMBER) line.add(' ').signedDec(level);
  if ((flags & CXLOG_FMT_LEVEL_NAME) && level >= 0 && level <= CXLOG_DUMP) {
    line.add(' ').add(kLevelNames[level]);
  }
  if (flags & CXLOG_FMT_SOURCE)
    line.add(' ').add(sourceFileName(sourceFile)).add(':').dec(lineNumber);
  line.add(' ').add(tag != nullptr ? tag : "").add(' ');
  std::string_view text = message != nullptr ? message : "";
  text = text.substr(0, kCxLogMaxMessage);
  line.add(text.substr(0, withoutLineEnds(text.data(), text.size())));
  line.add('\n');
}

void writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    text.remove_prefix(static_cast<size_t>(n));
  }
}

// Writes a finished line (ending in '\n') to the output; under the mutex.
void emit(LogState& s, std::string& text) {
  switch (cxLogOutput.load(std::memory_order_relaxed)) {
    case CXLOG_OUTPUT_STDERR:
      std::fwrite(text.data(), 1, text.size(), stderr);
      break;
    case CXLOG_OUTPUT_FILE:
      writeToFile(s, text);
      break;
    case CXLOG_OUTPUT_DEBUGGER:
      text.pop_back();
      platform::output_debug_string(text.c_str());
      text.push_back('\n');
      break;
    default:
      break;
  }
}

void buildLinef(std::string& line, const char* tag, const char* sourceFile, unsigned lineNumber,
                int level, const char* format, ...) __attribute__((format(printf, 6, 7)));
void buildLinef(std::string& line, const char* tag, const char* sourceFile, unsigned lineNumber,
                int level, const char* format, ...) {
  va_list args;
  va_start(args, format);
  buildLine(line, tag, sourceFile, lineNumber, level, format, args);
  va_end(args);
  line.push_back('\n');
}

// Takes the log mutex for one line. Other threads wait as long as it takes;
// a packet-path thread waits at most kCxLogPacketPathWaitMs, and after such a
// wait was in vain only tries, for kBusyBackoffMs, so that a lock held for
// long costs it one wait a second rather than one per line.
bool lockForLine(LogState& s) {
  if (!t_packetPath) {
    s.mutex.lock();
    return true;
  }
  const uint64_t now = cxLogCoarseMs();
  if (now < s.busyUntilMs.load(std::memory_order_relaxed)) return s.mutex.try_lock();
  if (s.mutex.try_lock_for(std::chrono::milliseconds(kCxLogPacketPathWaitMs))) return true;
  s.busyUntilMs.store(now + kBusyBackoffMs, std::memory_order_relaxed);
  return false;
}

}  // namespace

bool cxLogWriteSignalSafe(const char* tag, const char* sourceFile, unsigned line, int level,
                          const char* message) {
  if (!cxLogEnabled.load(std::memory_order_acquire)) return false;
  int output = cxLogOutput.load(std::memory_order_relaxed);
  if (output != CXLOG_OUTPUT_FILE && output != CXLOG_OUTPUT_STDERR) return false;
  LogState& s = state();
  if (!s.mutex.try_lock()) return false;
  int savedErrno = errno;
  SafeLine text;
  buildLineSafe(text, tag, sourceFile, line, level, message);
  if (output == CXLOG_OUTPUT_STDERR) {
    writeAll(STDERR_FILENO, text.view());
  } else if (FILE* stream = s.rotation.stream(); stream != nullptr) {
    // glibc's fileno reads the descriptor without locking the stream. Every
    // ordinary line is flushed at once, so nothing buffered is overtaken.
    int fd = fileno(stream);
    if (fd >= 0) {
      ::lseek(fd, 0, SEEK_END);
      writeAll(fd, text.view());
    }
  } else {
    int fd = platform::open_no_links(s.logPath.c_str(), O_WRONLY | O_APPEND | O_CREAT, 0666);
    if (fd >= 0) {
      writeAll(fd, text.view());
      ::close(fd);
    }
  }
  s.mutex.unlock();
  errno = savedErrno;
  return true;
}

bool cxLogWriteV(const char* tag, const char* sourceFile, unsigned line, int level, bool force,
                 const char* format, va_list args) {
  (void)force;  // marks dump-writer and router-side lines; written alike
  if (!cxLogEnabled.load(std::memory_order_acquire)) return false;

  // One buffer per thread keeps a written line free of allocation; a line
  // logged from inside a write (a rotation warning) gets its own.
  thread_local std::string buffer;
  thread_local int depth = 0;
  std::string nested;
  std::string& text = depth == 0 ? buffer : nested;
  ++depth;
  buildLine(text, tag, sourceFile, line, level, format, args);
  text.push_back('\n');

  LogState& s = state();
  if (!lockForLine(s)) {
    s.droppedLines.fetch_add(1, std::memory_order_relaxed);
    s.unreportedDrops.fetch_add(1, std::memory_order_relaxed);
    --depth;
    return false;
  }
  {
    std::lock_guard<platform::NamedMutex> guard(s.mutex, std::adopt_lock);
    // Shut down while this line was being built.
    if (cxLogEnabled.load(std::memory_order_acquire)) {
      s.rotation.rotateIfNeeded(0);
      if (uint64_t dropped = s.unreportedDrops.exchange(0, std::memory_order_relaxed)) {
        std::string notice;
        buildLinef(notice, "cxLog", __FILE__, __LINE__, CXLOG_WARN,
                   "%llu log lines dropped while the log lock was busy",
                   static_cast<unsigned long long>(dropped));
        emit(s, notice);
      }
      emit(s, text);
    }
  }
  --depth;
  return false;
}

bool cxLogWrite(const char* tag, const char* sourceFile, unsigned line, int level, bool force,
                const char* format, ...) {
  va_list args;
  va_start(args, format);
  cxLogWriteV(tag, sourceFile, line, level, force, format, args);
  va_end(args);
  return false;
}

void cxLogDebugString(const char* tag, const char* sourceFile, unsigned line, int level,
                      const char* format, ...) {
  std::string text;
  appendLocalTime(text);
  appendf(text, " p%x t%x %d ", platform::current_process_id(), platform::current_thread_id(),
          level);
  text.append(sourceFileName(sourceFile));
  appendf(text, ":%u ", line);
  text.append(tag != nullptr ? tag : "");
  text.push_back(' ');
  va_list args;
  va_start(args, format);
  appendMessage(text, format, args);
  va_end(args);
  platform::output_debug_string(text.c_str());
}

bool cxGetLogDirectory(std::string* folder, bool* programData, uint32_t* sessionId) {
  if (programData != nullptr) *programData = false;
  uint32_t session = 0;
  if (!platform::current_session_id(&session)) {
    CXLOG("cxLog", CXLOG_ERROR, "Fail to get current session id, %d",
          static_cast<int>(platform::last_error()));
    return false;
  }
  if (sessionId != nullptr) *sessionId = session;

  bool useProgramData = session == 0 || platform::is_administrator();
  std::string base;
  if (!platform::known_folder(
          useProgramData ? platform::KnownFolder::kProgramData : platform::KnownFolder::kAppData,
          &base)) {
    CXLOG("cxLog", CXLOG_ERROR,
          useProgramData ? "Failed to retrieve ProgramData path, error %d"
                         : "Failed to retrieve AppData path, error %d",
          static_cast<int>(platform::last_error()));
    return false;
  }
  if (programData != nullptr) *programData = useProgramData;
  *folder = platform::join(base, kLogSubfolder);
  return true;
}

bool cxCreateLogDirectory(const std::string& folder) {
  uint32_t rc = platform::create_directories(folder);
  if (rc == platform::kErrorSuccess || rc == platform::kErrorFileExists ||
      rc == platform::kErrorAlreadyExists) {
    return true;
  }
  cxLogDebugString("cxLog", __FILE__, __LINE__, CXLOG_DEBUG, "failed to create log directory: %d",
                   static_cast<int>(rc));
  return false;
}

bool cxLogInit(const char* base, const char* oldBase) {
  if (cxLogEnabled.load()) return true;
  LogState& s = state();
  s.programData = false;

  std::string folder;
  bool programData = false;
  if (!cxGetLogDirectory(&folder, &programData)) return false;
  s.programData = programData;
  if (!cxCreateLogDirectory(folder)) return false;

  s.logPath = folder + base + ".log";
  s.oldPath = folder + oldBase + ".log";

  FILE* stream = platform::fopen_no_links(s.logPath.c_str(), "a");
  if (stream == nullptr) {
    std::fprintf(stderr, "Failed to open log file: %s err: %d\n", s.logPath.c_str(), errno);
  }
  // A log only root writes has a lock only root can hold. Without the lock
  // file the log still serialises this process's threads.
  bool locked =
      s.mutex.open(kLogMutexName, programData ? platform::NamedMutex::Access::kOwnerOnly
                                              : platform::NamedMutex::Access::kAnyAccount);
  uint32_t lockError = locked ? 0 : platform::last_error();

  // Primes the UTC offset for lines written from signal handlers.
  time_t now = ::time(nullptr);
  struct tm local;
  if (::localtime_r(&now, &local) != nullptr) g_utcOffset.store(local.tm_gmtoff);

  std::lock_guard<platform::NamedMutex> guard(s.mutex);
  s.rotation.init(s.logPath, s.oldPath, ".log", false);
  s.rotation.open(stream, "w");
  cxLogEnabled.store(true, std::memory_order_release);
  if (!locked) {
    // Whatever the threshold: the log is no longer serialised with the
    // client's other processes.
    cxLogWrite("cxLog", __FILE__, __LINE__, CXLOG_WARN, false,
               "log lock %s not used, error %u: lines are serialised within this process only",
               platform::NamedMutex::lock_path(kLogMutexName).c_str(),
               static_cast<unsigned>(lockError));
  }
  return true;
}

void cxLogShutdown() {
  if (!cxLogEnabled.load()) return;
  LogState& s = state();
  cxLogEnabled.store(false, std::memory_order_release);
  {
    // Lets a line in progress finish before its stream goes away.
    std::lock_guard<platform::NamedMutex> guard(s.mutex);
    s.rotation.close();
  }
  s.rotation.waitForArchiveRuns();
  s.mutex.close();

  std::string folder;
  if (cxGetLogDirectory(&folder)) cxDeleteProtectedFile(folder);
}

bool cxLogInProgramData() { return state().programData.load(); }

uint64_t cxLogLostLines() { return state().lostLines.load(std::memory_order_relaxed); }

void cxLogSetPacketPathThread(bool on) { t_packetPath = on; }

uint64_t cxLogDroppedLines() { return state().droppedLines.load(std::memory_order_relaxed); }

uint64_t cxLogCoarseMs() {
  struct timespec now;
  ::clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000 + static_cast<uint64_t>(now.tv_nsec) / 1000000;
}

bool cxLogLimiter::Admit(uint32_t* suppressed) {
  const uint64_t now = cxLogCoarseMs();
  uint64_t start = windowStart_.load(std::memory_order_relaxed);
  // 0 is a window not yet begun.
  if (start == 0 || now - start >= kLimiterWindowMs) {
    if (windowStart_.compare_exchange_strong(start, now == 0 ? 1 : now,
                                             std::memory_order_relaxed)) {
      admitted_.store(0, std::memory_order_relaxed);
    }
  }
  if (admitted_.fetch_add(1, std::memory_order_relaxed) >= kCxLogBurstLines) {
    suppressed_.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  *suppressed = suppressed_.exchange(0, std::memory_order_relaxed);
  return true;
}

std::string cxLogEscape(std::string_view text, size_t maxBytes) {
  constexpr std::string_view kCut = "...";
  std::string out;
  out.reserve(std::min(text.size(), maxBytes));
  size_t cutAt = 0;  // where the mark goes should the text not fit
  for (char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    char escaped[4] = {c};
    size_t size = 1;
    if (byte == '\n' || byte == '\r' || byte == '\\') {
      escaped[0] = '\\';
      escaped[1] = byte == '\n' ? 'n' : byte == '\r' ? 'r' : '\\';
      size = 2;
    } else if (byte < 0x20 || byte == 0x7F) {
      constexpr char kHex[] = "0123456789ABCDEF";
      escaped[0] = '\\';
      escaped[1] = 'x';
      escaped[2] = kHex[byte >> 4];
      escaped[3] = kHex[byte & 0xF];
      size = 4;
    }
    if (out.size() + size > maxBytes) {
      out.resize(cutAt);
      if (cutAt + kCut.size() <= maxBytes) out.append(kCut);
      break;
    }
    out.append(escaped, size);
    if (out.size() + kCut.size() <= maxBytes) cutAt = out.size();
  }
  return out;
}

void cxLogWriteSuppressed(const char* tag, const char* sourceFile, unsigned line, int level,
                          uint32_t suppressed) {
  if (suppressed == 0) return;
  cxLogWrite(tag, sourceFile, line, level, false, "%u more suppressed", suppressed);
}

cxRotationFile& cxLogRotationFile() { return state().rotation; }
