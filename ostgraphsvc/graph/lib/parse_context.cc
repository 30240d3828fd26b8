#include "graph/parse_context.h"

#include "graph/error_handler.h"
#include "graph/string.h"

ParseContext ParseContext::blank;

void ParseContext::vmessage(const String& annotations, const char* format, va_list args) {
  // A null handler still counts through the veneer, so the status is right.
  PrefixErrorHandler prefixed(errh, keyword != nullptr ? String(keyword) + ": " : String());
  prefixed.vmessage(annotations, format, args);
  if (prefixed.error_count() > 0) read_status = false;
}

void ParseContext::error(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vmessage(String("<3>"), format, args);
  va_end(args);
}

void ParseContext::warning(const char* format, ...) {
  va_list args;
  va_start(args, format);
  vmessage(String("<4>warning: "), format, args);
  va_end(args);
}
