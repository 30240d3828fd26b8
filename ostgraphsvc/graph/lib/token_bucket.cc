#include "graph/token_bucket.h"

#include "graph/integers.h"
#include "graph/timestamp.h"

void TokenBucket::assign(uint32_t rate, uint32_t capacity) {
  if (capacity == 0) {
    rate = 0;
    capacity = kFull;
  }
  if (rate != 0) {
    // One tick's worth must fit, or refill would lose tokens every tick.
    const uint32_t per_tick = rate / 1000 + (rate % 1000 != 0 ? 1 : 0);
    if (capacity < per_tick) {
      capacity = per_tick;
    }
  }
  token_scale_ = kFull / capacity;
  if (rate == 0) {
    tokens_per_tick_ = 0;
    ticks_until_full_ = kFull;
    return;
  }
  // Fits in 32 bits: capacity >= rate / 1000 bounds rate * scale by 1000 * kFull.
  const uint64_t units_per_second = static_cast<uint64_t>(rate) * token_scale_;
  tokens_per_tick_ = static_cast<uint32_t>(divide_u64_by_u32(units_per_second, 1000).quotient);
  if (tokens_per_tick_ == 0) {
    tokens_per_tick_ = 1;
  }
  ticks_until_full_ = (kFull - 1) / tokens_per_tick_ + 1;
}

void TokenBucket::refill() {
  refill(static_cast<uint32_t>(Timestamp::now().nsec() / Timestamp::kNsecPerMsec));
}

void TokenBucket::refill(uint32_t now_tick) {
  const uint32_t elapsed = last_tick_ > now_tick ? 0 : now_tick - last_tick_;
  last_tick_ = now_tick;
  if (elapsed >= ticks_until_full_) {
    level_ = kFull;
    return;
  }
  const uint64_t level = level_ + static_cast<uint64_t>(elapsed) * tokens_per_tick_;
  level_ = level > kFull ? kFull : static_cast<uint32_t>(level);
}

uint32_t TokenBucket::time_until_contains() const {
  if (contains()) {
    return 0;
  }
  if (tokens_per_tick_ == 0) {
    return kFull;
  }
  return (token_scale_ - level_ - 1) / tokens_per_tick_ + 1;
}
