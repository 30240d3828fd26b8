#include "platform/clock/clock.h"

#include <time.h>

#include <atomic>

namespace {

std::atomic<TickSource> g_source{nullptr};

uint64_t boot_tick() {
  timespec ts{};
  // CLOCK_BOOTTIME cannot fail with a valid pointer on the kernels we run on.
  ::clock_gettime(CLOCK_BOOTTIME, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

}  // namespace

uint64_t GetTickCount64() {
  TickSource source = g_source.load(std::memory_order_acquire);
  return source != nullptr ? source() : boot_tick();
}

void set_tick_source(TickSource source) { g_source.store(source, std::memory_order_release); }
