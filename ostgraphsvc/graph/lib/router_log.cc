#include "graph/router_log.h"

#include <cstdarg>
#include <cstdio>

#include "graph/string.h"

const char* const router_log_level_names[8] = {"EMERGENCY", "ALERT",  "CRITICAL", "ERROR",
                                               "WARNING",   "NOTICE", "INFO",     "DEBUG"};

int router_log_level = 6;

namespace {

constexpr int kTextBufferSize = 3024;

bool passes(int service_level) {
  return service_level <= cxLogThreshold.load(std::memory_order_relaxed) &&
         cxLogEnabled.load(std::memory_order_relaxed);
}

// Out of line so that a filtered call never sets up the large stack buffer.
__attribute__((noinline, format(printf, 5, 0))) void write_formatted(const char* tag,
                                                                     const char* file, int line,
                                                                     int service_level,
                                                                     const char* format,
                                                                     va_list args) {
  char text[kTextBufferSize] = {};
  std::vsnprintf(text, sizeof text, format, args);
  // The finished text goes through "%s" so that a "%" in it is printed as is.
  cxLogWrite(tag, file, static_cast<unsigned>(line), service_level, true, "%s", text);
}

}  // namespace

void log_syslog_level(int level, const char* function, const char* file, int line,
                      const char* format, ...) {
  int service_level = router_log_service_level(level);
  if (!passes(service_level)) return;
  va_list args;
  va_start(args, format);
  write_formatted(function, file, line, service_level, format, args);
  va_end(args);
}

void log_syslog_level_limited(cxLogLimiter* limiter, int level, const char* function,
                              const char* file, int line, const char* format, ...) {
  int service_level = router_log_service_level(level);
  if (!passes(service_level)) return;
  uint32_t suppressed = 0;
  if (!limiter->Admit(&suppressed)) return;
  cxLogWriteSuppressed(function, file, static_cast<unsigned>(line), service_level, suppressed);
  va_list args;
  va_start(args, format);
  write_formatted(function, file, line, service_level, format, args);
  va_end(args);
}

void router_chatter(const char* format, ...) {
  if (!passes(CXLOG_INFO)) return;
  va_list args;
  va_start(args, format);
  write_formatted("graph", "", 1, CXLOG_INFO, format, args);
  va_end(args);
}

void set_router_log_level(const String& name) {
  for (int level = 0; level < 8; ++level) {
    const char* entry = router_log_level_names[level];
    int i = 0;
    while (i < name.length() && entry[i] != '\0') {
      char c = name[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != entry[i]) break;
      ++i;
    }
    // A match consumed the whole name; the last one wins.
    if (i == name.length()) router_log_level = level;
  }
}
