// ParseContext: what every configuration value parser receives.
//
// The element whose configuration is read (for name lookups), the handler
// that messages go to, the keyword being read (messages are prefixed with
// "keyword: ") and a read-status flag: true from the moment an argument is
// found, false once it is missing or a parser reported an error about it.
// `ParseContext::blank` is the context of parsers called without one: its
// messages are counted and shown nowhere. A context belongs to the thread
// that reads the configuration.
#ifndef GRAPH_PARSE_CONTEXT_H_
#define GRAPH_PARSE_CONTEXT_H_

#include <cstdarg>

class Element;
class ErrorHandler;
class String;

struct ParseContext {
  ParseContext() = default;
  ParseContext(const Element* element, ErrorHandler* handler) : context(element), errh(handler) {}

  // Report about the current argument, prefixed with the keyword. An error
  // clears the read status.
  void error(const char* format, ...);
  void warning(const char* format, ...);
  void vmessage(const String& annotations, const char* format, va_list args);

  const Element* context = nullptr;
  ErrorHandler* errh = nullptr;
  const char* keyword = nullptr;
  bool read_status = false;

  static ParseContext blank;
};

#endif  // GRAPH_PARSE_CONTEXT_H_
