// ErrorHandler: how the framework explains failures to a person.
//
// A report is a printf-like message (formatted by `format_with_flags`, which
// knows the framework's types, typographic quotes and annotations), given
// in-band annotations at the start of each line: a level "<3>", a landmark
// "{l:file:12}", context control "{context:no}". A handler decorates the text
// (context line, indentation, prefix, landmark), cuts it into lines, emits
// each line and accounts the message's lowest level. Levels 0-7 are the
// syslog-style levels; 3 or less is an error and is counted; a report whose
// lowest level is 4 or less returns -22. A message without a level
// annotation has level 1000.
//
// Veneers (Local, Context, Prefix, Landmark) wrap an inner handler that they
// never own; they are made on the stack for one operation. The default
// handler (a FileErrorHandler on standard error) and the silent handler live
// from framework start-up (`install_defaults`) to clean-up (`static_cleanup`).
// Handlers are not synchronised: one thread uses a handler at a time.
#ifndef GRAPH_ERROR_HANDLER_H_
#define GRAPH_ERROR_HANDLER_H_

#include <cstdarg>
#include <cstdio>

#include "graph/string.h"

// The reporting calls take the framework's own format language ("%<",
// "%p{element}", ...), so they carry no printf format checking.
class ErrorHandler {
 public:
  // Format flags of `format_with_flags`.
  enum {
    kZeroPad = 0x001,
    kPlusPositive = 0x002,
    kSpacePositive = 0x004,
    kLeftJustify = 0x008,
    kAlternateForm = 0x010,
    kNoAnnotations = 0x020,
    kUpperCase = 0x040,
    kSigned = 0x080,
    kNegative = 0x100,
    kUtf8Quotes = 0x400,
  };
  static constexpr int kErrorResult = -22;
  static constexpr int kNoLevel = 1000;
  // A delivered message, decorations included, is cut to this many bytes
  // (ending in "..."): a landmark of untrusted text must not multiply into
  // gigabytes of messages.
  static constexpr int kMaxMessageLength = 8192;

  // A named conversion ("%p{name}"): gets the conversion's flags and the
  // pointer argument, returns the text.
  using ConversionHook = String (*)(int flags, const void* argument);

  ErrorHandler() = default;
  ErrorHandler(const ErrorHandler&) = delete;
  ErrorHandler& operator=(const ErrorHandler&) = delete;
  virtual ~ErrorHandler() = default;

  // Format a message text.
  virtual String vformat(const char* format, va_list args);
  // Add the handler's decoration.
  virtual String decorate(const String& message);
  // Output one line; the result is passed to the next line's call; `more` is
  // true when another line of the same message follows.
  virtual void* emit(const String& line, void* user_data, bool more);
  // Record a message's lowest level.
  virtual void account(int level);
  virtual void clear() { nerrors_ = 0; }

  int error_count() const { return nerrors_; }

  void message(const char* format, ...);
  int warning(const char* format, ...);
  int error(const char* format, ...);
  void landmark_message(const String& landmark, const char* format, ...);
  int landmark_warning(const String& landmark, const char* format, ...);
  int landmark_error(const String& landmark, const char* format, ...);

  int vmessage(const String& annotations, const char* format, va_list args);
  int annotated_landmark_message(const String& landmark, const String& annotations,
                                 const char* format, va_list args);
  // Decorates, emits and accounts an already formatted, annotated text.
  int deliver(const String& text);
  // Formats through this handler's `vformat`.
  String format(const char* format, ...);

  // The formatting engine; never fails.
  static String format_with_flags(int default_flags, const char* format, va_list args);
  static void register_conversion(const String& name, ConversionHook hook);

  static ErrorHandler* default_handler() { return the_default_handler; }
  static ErrorHandler* silent_handler() { return the_silent_handler; }
  // Stores `default_handler`, makes the silent handler and registers the
  // conversions, once; returns `default_handler`.
  static ErrorHandler* install_defaults(ErrorHandler* default_handler);
  // Deletes both process-wide handlers and the conversions.
  static void static_cleanup();

  // Annotation helpers. Positions are offsets into `text`.
  static int parse_annotation(const String& text, int begin, int end, String* name, String* value,
                              bool raw);
  // Reads the run of annotations at `begin`; after the `end` argument come
  // pairs of (const char* name, pointer) ended by a null name. A name
  // beginning with "#" reads the value as a level number into an int*;
  // others receive the value into a String*. Returns the position after the
  // run.
  static int read_annotations(const String& text, int begin, int end, ...);
  // The position after a run of level and empty annotations.
  static const char* skip_annotations(const char* begin, const char* end);
  static String combine_annotations(const String& text, const String& annotations);
  static String landmark_annotation(const String& landmark);

 protected:
  int nerrors_ = 0;

 private:
  static ErrorHandler* the_default_handler;
  static ErrorHandler* the_silent_handler;
};

// Forwards formatting, emitting and accounting to an inner handler (which may
// be null) and counts its own errors.
class ErrorVeneer : public ErrorHandler {
 public:
  explicit ErrorVeneer(ErrorHandler* inner) : inner_(inner) {}
  String vformat(const char* format, va_list args) override;
  String decorate(const String& message) override;
  void* emit(const String& line, void* user_data, bool more) override;
  void account(int level) override;

 protected:
  ErrorHandler* inner_;
};

// Counts the errors of one operation.
class LocalErrorHandler : public ErrorVeneer {
 public:
  explicit LocalErrorHandler(ErrorHandler* inner) : ErrorVeneer(inner) {}
};

// Prints a context line before the first message that reaches it and
// indents every message.
class ContextErrorHandler : public ErrorVeneer {
 public:
  ContextErrorHandler(ErrorHandler* inner, const char* format, ...);
  String decorate(const String& message) override;

 protected:
  // For handlers that know their context only at the first message.
  bool context_printed() const { return context_printed_; }
  void set_context(const String& context);

 private:
  String context_;
  String indent_ = String("  ");
  bool context_printed_ = false;
};

class PrefixErrorHandler : public ErrorVeneer {
 public:
  PrefixErrorHandler(ErrorHandler* inner, const String& prefix)
      : ErrorVeneer(inner), prefix_(prefix) {}
  String decorate(const String& message) override;

 private:
  String prefix_;
};

class LandmarkErrorHandler : public ErrorVeneer {
 public:
  LandmarkErrorHandler(ErrorHandler* inner, const String& landmark)
      : ErrorVeneer(inner), landmark_(landmark_annotation(landmark)) {}
  String decorate(const String& message) override;
  void set_landmark(const String& landmark) { landmark_ = landmark_annotation(landmark); }

 private:
  String landmark_;
};

// Writes each line, with its landmark, to a C stream.
class FileErrorHandler : public ErrorHandler {
 public:
  explicit FileErrorHandler(FILE* stream, const String& prefix = String());
  String vformat(const char* format, va_list args) override;
  void* emit(const String& line, void* user_data, bool more) override;
  void account(int level) override;

  int default_flags() const { return default_flags_; }

 private:
  FILE* stream_;
  String prefix_;
  int default_flags_ = 0;
};

class SilentErrorHandler : public ErrorHandler {};

#endif  // GRAPH_ERROR_HANDLER_H_
