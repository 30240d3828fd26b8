// TokenBucket: the rate limiter of rated elements and policies.
//
// The capacity is normalised so that a full bucket always holds 0xFFFFFFFF
// units and one token is token_scale() units; time moves in ticks of one
// millisecond of the framework clock (Timestamp), truncated to 32 bits. That
// keeps refill a multiply-add with saturation.
//
// Call assign() before use. It sets the rate and capacity only; whoever starts the bucket sets the
// level and the last tick (set_full(), set_empty(), set_level(),
// set_last_tick()). A plain value without shared state: one thread at a time.
#ifndef GRAPH_TOKEN_BUCKET_H_
#define GRAPH_TOKEN_BUCKET_H_

#include <cstdint>

class TokenBucket {
 public:
  static constexpr uint32_t kFull = 0xFFFFFFFF;

  TokenBucket() = default;

  // Rate in tokens per second, capacity in tokens. Capacity 0 means no rate
  // and an unlimited capacity; otherwise the capacity is raised to hold at
  // least one tick's worth of tokens.
  void assign(uint32_t rate, uint32_t capacity);

  // Adds the tokens earned since the last tick, reading the framework clock.
  void refill();
  // The same at the given tick. A tick before the last one (the clock went
  // back) adds nothing.
  void refill(uint32_t now_tick);

  bool contains() const { return level_ >= token_scale_; }
  // Requires contains().
  void remove() { level_ -= token_scale_; }
  // Takes one token if there is one; returns whether it did.
  bool remove_if() {
    if (!contains()) {
      return false;
    }
    remove();
    return true;
  }
  // Ticks until one token is present: 0 when one is, 0xFFFFFFFF when the
  // bucket never fills.
  uint32_t time_until_contains() const;

  void set_full() { level_ = kFull; }
  void set_empty() { level_ = 0; }
  void set_level(uint32_t level) { level_ = level; }
  void set_last_tick(uint32_t tick) { last_tick_ = tick; }

  uint32_t tokens_per_tick() const { return tokens_per_tick_; }
  uint32_t token_scale() const { return token_scale_; }
  uint32_t ticks_until_full() const { return ticks_until_full_; }
  uint32_t level() const { return level_; }
  uint32_t last_tick() const { return last_tick_; }

 private:
  uint32_t tokens_per_tick_ = 0;
  uint32_t token_scale_ = 0;
  uint32_t ticks_until_full_ = 0;
  uint32_t level_ = 0;
  uint32_t last_tick_ = 0;
};

#endif  // GRAPH_TOKEN_BUCKET_H_
