// The millisecond tick (GetTickCount64).
//
// Milliseconds since boot, counting time spent suspended (CLOCK_BOOTTIME), so
// that a delay measured across a suspend is not cut short. Never goes back.
// Thread-safe; no state.
#ifndef PLATFORM_CLOCK_CLOCK_H_
#define PLATFORM_CLOCK_CLOCK_H_

#include <cstdint>

uint64_t GetTickCount64();

#endif  // PLATFORM_CLOCK_CLOCK_H_
