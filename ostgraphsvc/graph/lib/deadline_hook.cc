#include "graph/deadline_hook.h"

#include <time.h>

#include <atomic>
#include <mutex>

namespace {

uint64_t monotonic_reading() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

std::atomic<uint64_t (*)()> clock_source{monotonic_reading};
std::mutex list_mu;
DeadlineEntry* armed_head = nullptr;  // ascending deadline, ties in arming order
int listed_count = 0;
std::atomic<uint64_t> earliest{0};

// Under list_mu.
void unlink_armed(DeadlineEntry* entry) {
  if (!entry->armed) return;
  for (DeadlineEntry** at = &armed_head; *at != nullptr; at = &(*at)->next) {
    if (*at != entry) continue;
    *at = entry->next;
    break;
  }
  entry->next = nullptr;
  entry->armed = false;
}

// Under list_mu.
void refresh_earliest() {
  earliest.store(armed_head != nullptr ? armed_head->deadline : 0, std::memory_order_release);
}

}  // namespace

uint64_t deadline_now() { return clock_source.load(std::memory_order_relaxed)(); }

void deadline_set_clock_source(uint64_t (*reading)()) {
  clock_source.store(reading != nullptr ? reading : monotonic_reading);
}

void deadline_hook_add(DeadlineEntry* entry) {
  std::lock_guard<std::mutex> lock(list_mu);
  if (entry->listed) return;
  entry->listed = true;
  ++listed_count;
}

void deadline_hook_remove(DeadlineEntry* entry) {
  std::lock_guard<std::mutex> lock(list_mu);
  if (!entry->listed) return;
  unlink_armed(entry);
  entry->listed = false;
  --listed_count;
  refresh_earliest();
}

void deadline_hook_arm(DeadlineEntry* entry, uint64_t deadline) {
  std::lock_guard<std::mutex> lock(list_mu);
  if (!entry->listed) return;
  unlink_armed(entry);
  // 0 reads as "none armed" to the consumer.
  entry->deadline = deadline != 0 ? deadline : 1;
  DeadlineEntry** at = &armed_head;
  while (*at != nullptr && (*at)->deadline <= entry->deadline) at = &(*at)->next;
  entry->next = *at;
  *at = entry;
  entry->armed = true;
  refresh_earliest();
}

void deadline_hook_disarm(DeadlineEntry* entry) {
  std::lock_guard<std::mutex> lock(list_mu);
  unlink_armed(entry);
  refresh_earliest();
}

uint64_t deadline_hook_earliest() { return earliest.load(std::memory_order_acquire); }

int deadline_hook_run_due(uint64_t now) {
  int run = 0;
  // A callback that re-arms into the past must not keep this call going.
  int limit;
  {
    std::lock_guard<std::mutex> lock(list_mu);
    limit = listed_count;
  }
  while (run < limit) {
    DeadlineEntry* due;
    {
      std::lock_guard<std::mutex> lock(list_mu);
      due = armed_head;
      if (due == nullptr || due->deadline > now) return run;
      unlink_armed(due);
      refresh_earliest();
    }
    // Entries are removed only on the thread that runs them (the packet
    // thread at tear-down), so `due` stays valid through its callback.
    due->callback(due->data);
    ++run;
  }
  return run;
}

int deadline_hook_listed() {
  std::lock_guard<std::mutex> lock(list_mu);
  return listed_count;
}
