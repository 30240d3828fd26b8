// A named event that another process owns, such as
// "Global\netdisconnect-...": the owner creates it and waits on it, this
// process only opens it and sets it.
//
// The event is a FIFO, $DOVADOD_ROOT/run/dovadod/global/<name>.event
// ("Global\" and "Local\" prefixes dropped). Setting it writes one byte without
// blocking; the owner sees the FIFO readable and drains it, which resets it.
// An event nobody reads (never created, or its owner is gone and left the
// FIFO behind) does not open: 2, as OpenEvent gives when the owner has not
// created the object. Paths are opened with O_NOFOLLOW, and anything that is
// not a FIFO is refused with 6, so a link or file planted in the shared folder
// is never written to.
//
// `NamedEvent` is the setting side; `NamedEventOwner` the waiting side (the
// other process, played by tests). Each object belongs to one thread at a
// time; different objects may be used on different threads.
#ifndef PLATFORM_NAMED_EVENT_NAMED_EVENT_H_
#define PLATFORM_NAMED_EVENT_NAMED_EVENT_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class NamedEvent {
 public:
  NamedEvent() = default;
  NamedEvent(const NamedEvent&) = delete;
  NamedEvent& operator=(const NamedEvent&) = delete;
  ~NamedEvent();

  // Opens the event for setting (OpenEvent with EVENT_MODIFY_STATE). 0, or a
  // Windows error that is also stored as the last error: 2 when no owner
  // waits on it, 6 when the name is taken by something that is not an event.
  uint32_t open(std::string_view name);
  // Sets the event (SetEvent). An event that is set already stays set and
  // this succeeds. 0, or the Windows error (also the last error): 6 when not
  // open, 109 when the owner went away since the open. Never raises SIGPIPE.
  uint32_t set();
  void close();
  bool is_open() const { return fd_ >= 0; }

  static std::string event_path(std::string_view name);

 private:
  int fd_ = -1;
};

class NamedEventOwner {
 public:
  NamedEventOwner() = default;
  NamedEventOwner(const NamedEventOwner&) = delete;
  NamedEventOwner& operator=(const NamedEventOwner&) = delete;
  // Closes and removes the FIFO.
  ~NamedEventOwner();

  // Creates the event, not set, replacing a FIFO a former owner left behind.
  // 0, or the Windows error (also the last error).
  uint32_t create(std::string_view name);
  // Waits up to `timeout_ms` (-1: no limit) for the event to be set; true when
  // it was, and resets it (an auto-reset event).
  bool wait(int timeout_ms);
  // Readable while the event is set.
  int fd() const { return fd_; }
  void close();

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace platform

#endif  // PLATFORM_NAMED_EVENT_NAMED_EVENT_H_
