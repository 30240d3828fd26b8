// The millisecond tick (GetTickCount64).
//
// Milliseconds since boot, counting time spent suspended (CLOCK_BOOTTIME), so
// that a delay measured across a suspend is not cut short. Never goes back.
// Thread-safe; no state but the settable source below.
#ifndef PLATFORM_CLOCK_CLOCK_H_
#define PLATFORM_CLOCK_CLOCK_H_

#include <cstdint>

uint64_t GetTickCount64();

// Replaces the tick's source (null: the boot clock again), so that tests can
// step time by hand. Any thread; readers see the new source at once.
using TickSource = uint64_t (*)();
void set_tick_source(TickSource source);

#endif  // PLATFORM_CLOCK_CLOCK_H_
