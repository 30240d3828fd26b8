// Handler: a named read or write access point of an element, or of the
// router as a whole, through which other code and the diagnostic console
// read state as text or change it ("rt.config", the global "list").
//
// A record has a read side and a write side, each either plain (one callback
// per side) or full (one callback serving both sides, told the operation).
// Flag bits say which sides exist and how they behave; the bits that only
// the "handlers" listing shows are stored and listed, with no meaning to the
// framework.
//
// Records are registered through `Router::add_read_handler`,
// `Router::add_write_handler` and `Router::set_handler` (router.h), which
// keep one record per distinct (name, callbacks, user data, flags) and share
// it between elements. Callers never own a record: a pointer from
// `Router::find_handler` stays valid until the router resets its handlers
// (element records) or the next global registration (global records).
//
// Threads: records belong to the thread that runs the router.
#ifndef GRAPH_HANDLER_H_
#define GRAPH_HANDLER_H_

#include "graph/string.h"

class Element;
class ErrorHandler;
class Handler;

// The plain read side: the value as text.
using ReadHandlerCallback = String (*)(Element* element, void* user_data);
// The plain write side: negative on failure, after reporting to `errh`.
using WriteHandlerCallback = int (*)(const String& value, Element* element, void* user_data,
                                     ErrorHandler* errh);
// A full callback: `operation` is Handler::kOpRead or kOpWrite; `value` holds
// the read parameter or the written text, and the read result on return.
using HandlerCallback = int (*)(int operation, String& value, Element* element,
                                const Handler* handler, ErrorHandler* errh);

class Handler {
 public:
  enum Flags {
    kRead = 0x1,
    kWrite = 0x2,
    kReadParam = 0x4,
    kReadFull = 0x8,
    kWriteFull = 0x10,
    kListPercent = 0x40,
    kReadHidden = 0x80,
    kWriteHidden = 0x100,
    kListD = 0x200,
    kListU = 0x400,
    // Set on the default per-element read handlers.
    kDefault = 0x800,
    kListDollar = 0x1000,
    kListB = 0x2000,
    kListC = 0x4000,
  };
  enum Operation { kOpRead = 1, kOpWrite = 2 };

  // Result of writing a handler that has no write side.
  static constexpr int kNotWritable = -13;

  Handler() = default;
  explicit Handler(const String& name) : name_(name) {}

  const String& name() const { return name_; }
  int flags() const { return flags_; }
  void* read_user_data() const { return read_user_data_; }
  void* write_user_data() const { return write_user_data_; }
  // Element registrations that point at this record (1 for global records).
  int use_count() const { return use_count_; }

  bool readable() const { return flags_ & kRead; }
  bool writable() const { return flags_ & kWrite; }
  bool read_param() const { return flags_ & kReadParam; }
  // Shown in the "handlers" listing.
  bool visible() const {
    return (flags_ & (kRead | kReadHidden)) == kRead ||
           (flags_ & (kWrite | kWriteHidden)) == kWrite;
  }

  // The read result, or "" when the read fails. A read's messages are
  // counted and dropped: a failed read shows only as an empty result.
  String invoke_read(Element* element, const String& parameter) const;
  // The write callback's result, or kNotWritable after reporting
  // "'NAME' not a write handler" to `errh` (which may be null).
  int invoke_write(const String& value, Element* element, ErrorHandler* errh) const;
  // "element.name" for an element in a router, else the handler name.
  String full_name(const Element* element) const;

  // The listing letters of the flags: "r", "w", "+", "%", ".", "$", "U",
  // "D", "b", "c", in that order.
  String flag_letters() const;

 private:
  friend class Router;
  friend struct RouterHandlers;

  bool same_as(const Handler& other) const;
  // Fills the sides (and user data) this record lacks from `old`, the
  // record of the same name it replaces.
  void complete_from(const Handler& old);

  String name_;
  ReadHandlerCallback read_ = nullptr;
  WriteHandlerCallback write_ = nullptr;
  HandlerCallback read_full_ = nullptr;
  HandlerCallback write_full_ = nullptr;
  void* read_user_data_ = nullptr;
  void* write_user_data_ = nullptr;
  int flags_ = 0;
  int use_count_ = 0;
  // Next record of the same name, or of the free list; -1 ends either.
  int next_ = -1;
};

#endif  // GRAPH_HANDLER_H_
