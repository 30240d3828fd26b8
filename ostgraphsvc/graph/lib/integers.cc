#include "graph/integers.h"

#include <bit>

namespace {

// (n1 * 2^32 + n0) / d for a normalised d (top bit set) and n1 < d, by two
// divisions of 16-bit halves; only 32-bit divides are used.
uint32_t divide_by_halves(uint32_t n1, uint32_t n0, uint32_t d) {
  const uint32_t d1 = d >> 16;
  const uint32_t d0 = d & 0xFFFF;

  uint32_t q1 = n1 / d1;
  uint32_t r1 = n1 - q1 * d1;
  uint32_t m = q1 * d0;
  r1 = (r1 << 16) | (n0 >> 16);
  // The estimate is at most two too large; r1 >= d after the add means the
  // add did not carry, so r1 is still a true 32-bit value.
  if (r1 < m) {
    --q1;
    r1 += d;
    if (r1 >= d && r1 < m) {
      --q1;
      r1 += d;
    }
  }
  r1 -= m;

  uint32_t q0 = r1 / d1;
  uint32_t r0 = r1 - q0 * d1;
  m = q0 * d0;
  r0 = (r0 << 16) | (n0 & 0xFFFF);
  if (r0 < m) {
    --q0;
    r0 += d;
    if (r0 >= d && r0 < m) {
      --q0;
      r0 += d;
    }
  }
  return (q1 << 16) | q0;
}

// floor((2^64 - 1) / d) - 2^32 for a normalised d, which fits in 32 bits.
uint32_t reciprocal(uint32_t d) { return divide_by_halves(~d, 0xFFFFFFFF, d); }

// One two-word-by-one-word step: (u1 * 2^32 + u0) / d with u1 < d, using the
// reciprocal v of the normalised d and two corrections.
uint32_t divide_step(uint32_t u1, uint32_t u0, uint32_t d, uint32_t v, uint32_t* remainder) {
  uint64_t q = static_cast<uint64_t>(v) * u1;
  q += (static_cast<uint64_t>(u1 + 1) << 32) | u0;
  uint32_t q1 = static_cast<uint32_t>(q >> 32);
  const uint32_t q0 = static_cast<uint32_t>(q);
  uint32_t r = u0 - q1 * d;
  if (r > q0) {
    --q1;
    r += d;
  }
  if (r >= d) {
    ++q1;
    r -= d;
  }
  *remainder = r;
  return q1;
}

}  // namespace

int first_bit_from_msb(uint32_t x) {
  if (x == 0) {
    return 0;
  }
  return std::countl_zero(x) + 1;
}

U64DivResult divide_u64_by_u32(uint64_t dividend, uint32_t divisor) {
  if (divisor == 0) {
    return {~uint64_t{0}, 0};
  }
  const int shift = first_bit_from_msb(divisor) - 1;
  const uint32_t d = divisor << shift;
  const uint32_t v = reciprocal(d);

  const uint32_t hi = static_cast<uint32_t>(dividend >> 32);
  const uint32_t lo = static_cast<uint32_t>(dividend);
  // The dividend shifted by the same amount, as three words n2:n1:n0.
  const uint32_t spill = shift == 0 ? 0 : lo >> (32 - shift);
  const uint32_t n2 = shift == 0 ? 0 : hi >> (32 - shift);
  uint32_t n1 = (hi << shift) | spill;
  const uint32_t n0 = lo << shift;

  uint32_t q_hi = 0;
  uint32_t r = 0;
  // A high word below the divisor means a one-word quotient (and n2 == 0).
  if (hi >= divisor) {
    q_hi = divide_step(n2, n1, d, v, &r);
    n1 = r;
  }
  const uint32_t q_lo = divide_step(n1, n0, d, v, &r);
  return {(static_cast<uint64_t>(q_hi) << 32) | q_lo, r >> shift};
}
