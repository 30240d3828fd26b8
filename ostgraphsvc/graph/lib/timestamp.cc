#include "graph/timestamp.h"

namespace {

void read_system_clock(struct timespec* now) { ::clock_gettime(CLOCK_REALTIME, now); }

SystemTimeSource g_source = read_system_clock;

}  // namespace

void set_system_time_source(SystemTimeSource source) {
  g_source = source != nullptr ? source : read_system_clock;
}

void Timestamp::assign_now() {
  struct timespec now;
  g_source(&now);
  // Whole milliseconds, and 64-bit seconds so that 2038 does not wrap.
  nsec_ =
      static_cast<int64_t>(now.tv_sec) * kNsecPerSec + (now.tv_nsec / kNsecPerMsec) * kNsecPerMsec;
}
