// framework_qsort: the framework's in-place sort.
//
// A non-recursive three-way quicksort; not stable, but its result, including
// the order of elements that compare equal, is fully determined by the input
// and the comparison results. Callers rely on that: it fixes, for example, the
// configure order of elements with equal configure phases, so the sequence of
// comparisons must not change. Allocates nothing; keeps no shared state.
#ifndef GRAPH_FRAMEWORK_QSORT_H_
#define GRAPH_FRAMEWORK_QSORT_H_

#include <cstddef>

// Sorts n elements of size bytes at base in ascending order of
// compare(a, b, context), of which only the sign is used.
void framework_qsort(void* base, size_t n, size_t size,
                     int (*compare)(const void* a, const void* b, void* context), void* context);

#endif  // GRAPH_FRAMEWORK_QSORT_H_
