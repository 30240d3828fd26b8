// Router-side log calls.
//
// The framework and every element log through log_syslog_level() and
// router_chatter(). Their levels are syslog-style (index into
// router_log_level_names: 0 EMERGENCY ... 7 DEBUG); router_log_service_level()
// maps them onto the service log's levels (cxLog.h). The message is formatted
// with the C library's printf rules into a stack buffer of 3024 bytes (at most
// 3023 characters) and handed to cxLogWrite as plain text, so a "%" that
// formatting produced is written as it is.
//
// A call whose mapped level is above cxLogThreshold, or that is made while the
// log is off, returns before it formats anything: filtered calls on the packet
// path cost two comparisons. Neither call allocates.
//
// Any thread may log; each call formats into its own buffer and cxLogWrite
// serialises the lines. router_log_level is a plain int that only
// set_router_log_level() writes (the global write handler "log"); nothing
// reads it for filtering.
#ifndef GRAPH_ROUTER_LOG_H_
#define GRAPH_ROUTER_LOG_H_

#include "client/lib/cxLog/cxLog.h"

class String;

// Index = level: "EMERGENCY", "ALERT", "CRITICAL", "ERROR", "WARNING",
// "NOTICE", "INFO", "DEBUG".
extern const char* const router_log_level_names[8];

// The level the global write handler "log" last selected; 6 ("INFO") at load.
extern int router_log_level;

// The service level of a syslog-style level: 0-2 and the codes -1 and -999
// critical, 3 error, 4 warn, 7 debug, every other level info.
constexpr int router_log_service_level(int level) {
  if (level == -1 || level == -999) return CXLOG_CRITICAL;
  if (level < 0) return CXLOG_INFO;
  if (level <= 2) return CXLOG_CRITICAL;
  if (level == 3) return CXLOG_ERROR;
  if (level == 4) return CXLOG_WARN;
  if (level == 7) return CXLOG_DEBUG;
  return CXLOG_INFO;
}

// Writes one line with `function` as the component tag and `file`:`line` as
// the source, at router_log_service_level(level).
void log_syslog_level(int level, const char* function, const char* file, int line,
                      const char* format, ...) __attribute__((format(printf, 5, 6)));

// log_syslog_level within the budget of `limiter` (one per call site, see
// cxLogLimiter): a line past it is counted, not written.
void log_syslog_level_limited(cxLogLimiter* limiter, int level, const char* function,
                              const char* file, int line, const char* format, ...)
    __attribute__((format(printf, 6, 7)));

// ROUTER_LOG_LIMITED(6, "OstrelL3Classifier::push", "ICMP from %s", ...): for
// lines that packets from outside can trigger.
#define ROUTER_LOG_LIMITED(level, function, ...)                                            \
  do {                                                                                      \
    static cxLogLimiter router_log_limiter_;                                                \
    log_syslog_level_limited(&router_log_limiter_, (level), (function), __FILE__, __LINE__, \
                             __VA_ARGS__);                                                  \
  } while (0)

// An informational status line with the component tag "graph" and no source
// file (line 1), at service level info.
void router_chatter(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Sets router_log_level from a level name or any prefix of one, ignoring
// ASCII case. A prefix of several names selects the highest level ("E" is
// ERROR, "" is DEBUG); a name matching none leaves the level unchanged.
void set_router_log_level(const String& name);

#endif  // GRAPH_ROUTER_LOG_H_
