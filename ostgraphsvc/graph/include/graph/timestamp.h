// Timestamp: the framework clock.
//
// A signed 64-bit count of nanoseconds since 1970-01-01 00:00 UTC, read from
// the system clock with millisecond resolution. There is no monotonic clock:
// timers, token buckets, packet timestamps and time-outs all move when the
// system time is set. A plain value; thread-safe.
#ifndef GRAPH_TIMESTAMP_H_
#define GRAPH_TIMESTAMP_H_

#include <time.h>

#include <compare>
#include <cstdint>

class Timestamp {
 public:
  static constexpr int64_t kNsecPerSec = 1000000000;
  static constexpr int64_t kNsecPerMsec = 1000000;

  constexpr Timestamp() = default;
  static constexpr Timestamp make_nsec(int64_t nsec) { return Timestamp(nsec); }
  static constexpr Timestamp make_msec(int64_t msec) { return Timestamp(msec * kNsecPerMsec); }
  static constexpr Timestamp make_sec(int64_t sec) { return Timestamp(sec * kNsecPerSec); }

  // The current time of the framework clock.
  static Timestamp now() {
    Timestamp t;
    t.assign_now();
    return t;
  }
  void assign_now();

  constexpr int64_t nsec() const { return nsec_; }
  // Milliseconds, truncated toward zero.
  constexpr int64_t msec() const { return nsec_ / kNsecPerMsec; }

  friend constexpr bool operator==(Timestamp a, Timestamp b) = default;
  friend constexpr auto operator<=>(Timestamp a, Timestamp b) = default;
  friend constexpr Timestamp operator+(Timestamp a, Timestamp b) {
    return Timestamp(a.nsec_ + b.nsec_);
  }
  friend constexpr Timestamp operator-(Timestamp a, Timestamp b) {
    return Timestamp(a.nsec_ - b.nsec_);
  }

 private:
  constexpr explicit Timestamp(int64_t nsec) : nsec_(nsec) {}
  int64_t nsec_ = 0;
};

// Where the framework clock reads the system time; tests install their own.
// nullptr restores the real clock. Set it before other threads read the clock.
using SystemTimeSource = void (*)(struct timespec* now);
void set_system_time_source(SystemTimeSource source);

#endif  // GRAPH_TIMESTAMP_H_
