#include "graph/framework_qsort.h"

#include <cassert>
#include <cstdint>
#include <cstring>

namespace {

using Compare = int (*)(const void* a, const void* b, void* context);

// Smaller ranges are sorted first, so each stacked range is at most half the
// one below it: 65 entries cover any size_t count. Twice that is margin.
constexpr int kStackEntries = 130;

class Sorter {
 public:
  Sorter(char* base, size_t size, Compare compare, void* context)
      : base_(base),
        size_(size),
        compare_(compare),
        context_(context),
        word_swap_(reinterpret_cast<uintptr_t>(base) % 4 == 0 && size % 4 == 0) {}

  void sort(size_t n);

 private:
  char* at(size_t i) const { return base_ + i * size_; }
  int cmp(size_t a, size_t b) const { return compare_(at(a), at(b), context_); }
  void swap(size_t a, size_t b) const;
  // Exchanges the count elements starting at a with those starting at b.
  void swap_blocks(size_t a, size_t b, size_t count) const {
    for (size_t i = 0; i < count; ++i) {
      swap(a + i, b + i);
    }
  }
  size_t med3(size_t a, size_t b, size_t c) const;
  void insertion_sort(size_t first, size_t end) const;
  size_t choose_pivot(size_t first, size_t end) const;

  char* const base_;
  const size_t size_;
  const Compare compare_;
  void* const context_;
  const bool word_swap_;
};

void Sorter::swap(size_t a, size_t b) const {
  char* pa = at(a);
  char* pb = at(b);
  if (word_swap_) {
    for (size_t i = 0; i < size_; i += 4) {
      uint32_t ta;
      uint32_t tb;
      std::memcpy(&ta, pa + i, 4);
      std::memcpy(&tb, pb + i, 4);
      std::memcpy(pa + i, &tb, 4);
      std::memcpy(pb + i, &ta, 4);
    }
    return;
  }
  for (size_t i = 0; i < size_; ++i) {
    const char t = pa[i];
    pa[i] = pb[i];
    pb[i] = t;
  }
}

// Which of equal elements is returned matters to the resulting order.
size_t Sorter::med3(size_t a, size_t b, size_t c) const {
  if (cmp(a, b) < 0) {
    if (cmp(b, c) < 0) {
      return b;
    }
    return cmp(a, c) < 0 ? c : a;
  }
  if (cmp(b, c) > 0) {
    return b;
  }
  return cmp(a, c) <= 0 ? a : c;
}

void Sorter::insertion_sort(size_t first, size_t end) const {
  for (size_t i = first + 1; i < end; ++i) {
    for (size_t j = i; j > first && cmp(j - 1, j) > 0; --j) {
      swap(j - 1, j);
    }
  }
}

size_t Sorter::choose_pivot(size_t first, size_t end) const {
  const size_t n = end - first;
  const size_t mid = first + n / 2;
  if (n == 7) {
    return mid;
  }
  const size_t last = end - 1;
  if (n <= 40) {
    return med3(first, mid, last);
  }
  const size_t d = n / 8;
  const size_t low = med3(first, first + d, first + 2 * d);
  const size_t middle = med3(mid - d, mid, mid + d);
  const size_t high = med3(last - 2 * d, last - d, last);
  return med3(low, middle, high);
}

void Sorter::sort(size_t n) {
  struct Range {
    size_t first;
    size_t end;
  };
  Range stack[kStackEntries];
  int top = 0;
  stack[top++] = {0, n};

  while (top > 0) {
    const Range range = stack[--top];
    const size_t first = range.first;
    const size_t end = range.end;
    if (end - first < 7) {
      insertion_sort(first, end);
      continue;
    }

    swap(first, choose_pivot(first, end));
    // Elements equal to the pivot gather at both ends: [first, pa) and
    // (pd, last]; below it [pa, pb), above it (pc, pd].
    const size_t last = end - 1;
    size_t pa = first + 1;
    size_t pb = pa;
    size_t pc = last;
    size_t pd = last;
    for (;;) {
      int r;
      while (pb <= pc && (r = cmp(pb, first)) <= 0) {
        if (r == 0) {
          swap(pa, pb);
          ++pa;
        }
        ++pb;
      }
      while (pc >= pb && (r = cmp(pc, first)) >= 0) {
        if (r == 0) {
          swap(pc, pd);
          --pd;
        }
        --pc;
      }
      if (pb > pc) {
        break;
      }
      swap(pb, pc);
      ++pb;
      --pc;
    }

    // Move the equal elements to the middle.
    const size_t equal_left = pa - first;
    const size_t below = pb - pa;
    const size_t above = pd - pc;
    const size_t equal_right = last - pd;
    const size_t left_count = equal_left < below ? equal_left : below;
    swap_blocks(first, pb - left_count, left_count);
    const size_t right_count = above < equal_right ? above : equal_right;
    swap_blocks(pb, end - right_count, right_count);

    // The larger range waits below so the stack stays logarithmic.
    const Range left = {first, first + below};
    const Range right = {end - above, end};
    if (below == 0 && above == 0) {
      continue;
    }
    assert(top + 2 <= kStackEntries);
    if (below >= above) {
      stack[top++] = left;
      if (above > 0) {
        stack[top++] = right;
      }
      continue;
    }
    stack[top++] = right;
    if (below > 0) {
      stack[top++] = left;
    }
  }
}

}  // namespace

void framework_qsort(void* base, size_t n, size_t size, Compare compare, void* context) {
  Sorter(static_cast<char*>(base), size, compare, context).sort(n);
}
