// The deadline hook: one process-wide list of (callback, deadline) entries,
// earliest first, on the monotonic clock. After start-up the capture
// consumer owns the service thread and element timers no longer run, so an
// element that must act at a time of its own (a shaper holding packets)
// arms an entry here; the consumer waits on its queue only until the
// earliest deadline, runs the due callbacks on its own thread and then
// sends what they passed on.
//
//   DeadlineEntry entry{callback, element};
//   deadline_hook_add(&entry);                        initialize
//   deadline_hook_arm(&entry, deadline_now() + wait);  packet thread
//   deadline_hook_remove(&entry);                     clean-up / destructor
//
// An entry is run once per arming (it is disarmed before its callback is
// called, so the callback may arm it again).
//
// Ownership: entries belong to their elements; the list only links them.
// Removing an entry that is not listed does nothing.
//
// Threads: adds and removes happen while graphs are set up or torn down,
// arming and running on the packet thread; a mutex guards the list, and the
// earliest deadline is an atomic the consumer reads without it. Callbacks run
// without the lock held.
#ifndef GRAPH_DEADLINE_HOOK_H_
#define GRAPH_DEADLINE_HOOK_H_

#include <cstdint>

struct DeadlineEntry {
  using Callback = void (*)(void* data);

  DeadlineEntry(Callback cb, void* d) : callback(cb), data(d) {}
  DeadlineEntry(const DeadlineEntry&) = delete;
  DeadlineEntry& operator=(const DeadlineEntry&) = delete;

  Callback callback;
  void* data;
  uint64_t deadline = 0;  // monotonic nanoseconds; meaningful while armed
  bool listed = false;
  bool armed = false;
  DeadlineEntry* next = nullptr;  // in the armed order
};

// Monotonic nanoseconds (CLOCK_MONOTONIC), or the test source's reading.
uint64_t deadline_now();
// Tests: `reading` replaces the monotonic clock; null restores it.
void deadline_set_clock_source(uint64_t (*reading)());

void deadline_hook_add(DeadlineEntry* entry);
// Disarms and unlists the entry.
void deadline_hook_remove(DeadlineEntry* entry);
// Arms (or moves) a listed entry to `deadline`; an unlisted entry is ignored.
void deadline_hook_arm(DeadlineEntry* entry, uint64_t deadline);
void deadline_hook_disarm(DeadlineEntry* entry);
// The earliest armed deadline, 0 when none is armed.
uint64_t deadline_hook_earliest();
// Runs the entries whose deadline is at or before `now`, earliest first, at
// most as many callbacks as entries are listed, so one that re-arms itself
// into the past cannot keep the call going. Answers the number run.
int deadline_hook_run_due(uint64_t now);
// Entries listed (armed or not), for tests and checks.
int deadline_hook_listed();

#endif  // GRAPH_DEADLINE_HOOK_H_
