#include "platform/clock/clock.h"

#include <time.h>

uint64_t GetTickCount64() {
  timespec ts{};
  // CLOCK_BOOTTIME cannot fail with a valid pointer on the kernels we run on.
  ::clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}
