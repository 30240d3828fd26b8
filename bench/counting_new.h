// Counts every heap allocation of the program that links it: the replacement
// operators new and delete live in counting_new.cc and come with the first
// call of `bench_heap_allocations`. Benchmarks read the count around their
// iterations to show that a warm path allocates nothing.
#ifndef BENCH_COUNTING_NEW_H_
#define BENCH_COUNTING_NEW_H_

long bench_heap_allocations();

#endif  // BENCH_COUNTING_NEW_H_
