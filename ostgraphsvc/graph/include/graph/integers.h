// Integer routines for pools and token buckets.
//
// `first_bit_from_msb` finds the highest set bit; `divide_u64_by_u32` divides
// a 64-bit value by a 32-bit one exactly without a 64-bit divide instruction,
// which is slow or absent on some targets. Pure functions; thread-safe.
#ifndef GRAPH_INTEGERS_H_
#define GRAPH_INTEGERS_H_

#include <cstdint>

// 1-based position of the highest set bit counted from the top: bit 31 gives 1,
// bit 0 gives 32; 0 for x == 0.
int first_bit_from_msb(uint32_t x);

struct U64DivResult {
  uint64_t quotient;
  uint32_t remainder;
};

// Exact quotient and remainder of dividend / divisor. The divisor must not be
// 0; a 0 divisor is a caller error and yields quotient 0xFFFFFFFFFFFFFFFF and
// remainder 0.
U64DivResult divide_u64_by_u32(uint64_t dividend, uint32_t divisor);

#endif  // GRAPH_INTEGERS_H_
