#include "graph/bitvector.h"

#include <algorithm>
#include <cassert>
#include <utility>

namespace {

int words_for(int n) { return (n + 31) >> 5; }

}  // namespace

BitVector::BitVector(const BitVector& other) { *this = other; }

BitVector::BitVector(BitVector&& other) noexcept { *this = std::move(other); }

BitVector& BitVector::operator=(const BitVector& other) {
  if (this == &other) {
    return *this;
  }
  const int count = other.word_count();
  // A heap array holds at least word_count() words; reuse it when big enough.
  if (other.size() > kInlineBits && (!on_heap() || word_count() < count)) {
    uint32_t* words = new uint32_t[count];
    free_heap();
    data_ = words;
  }
  std::copy(other.data_, other.data_ + count, data_);
  max_ = other.max_;
  clear_tail();
  return *this;
}

BitVector& BitVector::operator=(BitVector&& other) noexcept {
  if (this == &other) {
    return *this;
  }
  if (!other.on_heap()) {
    std::copy(other.inline_, other.inline_ + 2, data_);
    max_ = other.max_;
    return *this;
  }
  free_heap();
  data_ = other.data_;
  max_ = other.max_;
  other.data_ = other.inline_;
  other.max_ = -1;
  other.inline_[0] = 0;
  return *this;
}

BitVector::~BitVector() { free_heap(); }

void BitVector::free_heap() {
  if (on_heap()) {
    delete[] data_;
  }
  data_ = inline_;
}

void BitVector::clear_tail() {
  if (max_ < 0) {
    data_[0] = 0;
    return;
  }
  const int used = (max_ & 31) + 1;
  if (used < 32) {
    data_[max_ >> 5] &= (uint32_t{1} << used) - 1;
  }
}

void BitVector::resize(int n) {
  assert(n >= 0);
  n = std::max(n, 0);
  const int old_count = word_count();
  const int count = words_for(n);
  if (n > kInlineBits && n > size()) {
    uint32_t* words = new uint32_t[count];
    std::copy(data_, data_ + old_count, words);
    free_heap();
    data_ = words;
  }
  // A shrink may have left stale bits in words past the old last one.
  if (count > old_count) {
    std::fill(data_ + old_count, data_ + count, 0);
  }
  max_ = n - 1;
  clear_tail();
}

void BitVector::assign(int n, bool value) {
  assert(n >= 0);
  n = std::max(n, 0);
  // The contents are dropped, so a growth needs no copy; a shrink reuses the array.
  if (n > kInlineBits && n >= max_) {
    uint32_t* words = new uint32_t[words_for(n)];
    free_heap();
    data_ = words;
  }
  max_ = n - 1;
  std::fill(data_, data_ + word_count(), value ? ~uint32_t{0} : 0);
  clear_tail();
}

void BitVector::clear() { std::fill(data_, data_ + word_count(), 0); }

bool BitVector::zero() const {
  return std::all_of(data_, data_ + word_count(), [](uint32_t w) { return w == 0; });
}

bool BitVector::operator==(const BitVector& other) const {
  return max_ == other.max_ && std::equal(data_, data_ + word_count(), other.data_);
}

BitVector& BitVector::operator|=(const BitVector& other) {
  assert(size() == other.size());
  for (int i = 0; i < word_count(); ++i) {
    data_[i] |= other.data_[i];
  }
  return *this;
}

BitVector& BitVector::operator&=(const BitVector& other) {
  assert(size() == other.size());
  for (int i = 0; i < word_count(); ++i) {
    data_[i] &= other.data_[i];
  }
  return *this;
}

BitVector& BitVector::operator^=(const BitVector& other) {
  assert(size() == other.size());
  for (int i = 0; i < word_count(); ++i) {
    data_[i] ^= other.data_[i];
  }
  return *this;
}

BitVector& BitVector::operator-=(const BitVector& other) {
  assert(size() == other.size());
  for (int i = 0; i < word_count(); ++i) {
    data_[i] &= ~other.data_[i];
  }
  return *this;
}
