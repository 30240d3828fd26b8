// BitVector: a fixed-size vector of bits for the graph checks.
//
// Bit i lives in word i / 32 at bit i % 32. Vectors of up to 64 bits use two
// inline words and allocate nothing; larger ones own a heap word array, which a
// shrink keeps (allocation failure throws std::bad_alloc). Bits past the size
// in the last word are always zero, so word operations and comparisons need no
// masking. Copies are deep. A plain value: one thread at a time.
#ifndef GRAPH_BITVECTOR_H_
#define GRAPH_BITVECTOR_H_

#include <cassert>
#include <cstdint>

class BitVector {
 public:
  BitVector() = default;
  explicit BitVector(int n) { resize(n); }
  BitVector(int n, bool value) { assign(n, value); }
  BitVector(const BitVector& other);
  BitVector(BitVector&& other) noexcept;
  BitVector& operator=(const BitVector& other);
  BitVector& operator=(BitVector&& other) noexcept;
  ~BitVector();

  int size() const { return max_ + 1; }
  // Growing keeps the bits and zeroes the new ones; shrinking keeps the
  // storage. n must not be negative.
  void resize(int n);
  // n bits, all set to value; the old contents are dropped.
  void assign(int n, bool value);

  // 0 <= i < size().
  bool get(int i) const {
    assert(i >= 0 && i <= max_);
    return (data_[i >> 5] >> (i & 31)) & 1;
  }
  bool operator[](int i) const { return get(i); }
  void set(int i, bool value) {
    assert(i >= 0 && i <= max_);
    const uint32_t mask = uint32_t{1} << (i & 31);
    data_[i >> 5] = value ? data_[i >> 5] | mask : data_[i >> 5] & ~mask;
  }
  // Clears every bit; the size stays.
  void clear();
  // True when no bit is set.
  bool zero() const;

  // The words holding the bits; writers keep the bits past size() zero.
  const uint32_t* words() const { return data_; }
  uint32_t* words() { return data_; }
  int word_count() const { return (size() + 31) >> 5; }

  bool operator==(const BitVector& other) const;

  // Word-wise operations on vectors of equal size; -= clears the bits set in
  // other.
  BitVector& operator|=(const BitVector& other);
  BitVector& operator&=(const BitVector& other);
  BitVector& operator^=(const BitVector& other);
  BitVector& operator-=(const BitVector& other);

 private:
  static constexpr int kInlineBits = 64;

  bool on_heap() const { return data_ != inline_; }
  void free_heap();
  // Clears the bits past the size in the last word (the first word when empty).
  void clear_tail();

  int max_ = -1;
  uint32_t* data_ = inline_;
  uint32_t inline_[2] = {0, 0};
};

#endif  // GRAPH_BITVECTOR_H_
