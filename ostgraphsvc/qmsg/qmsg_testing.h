// Test seam of the message blocks: the allocator that data buffers and tag
// storage come from, so that tests can make a growth fail. Not for service
// code. Set it while no other thread fills a block.
#ifndef OSTGRAPHSVC_QMSG_QMSG_TESTING_H_
#define OSTGRAPHSVC_QMSG_QMSG_TESTING_H_

#include <cstddef>

namespace qmsg_testing {

using Allocator = void* (*)(size_t);

// Installs `allocator` (null: the C library's malloc) and returns the one it
// replaces. Buffers are still freed with free().
Allocator set_block_allocator(Allocator allocator);

}  // namespace qmsg_testing

#endif  // OSTGRAPHSVC_QMSG_QMSG_TESTING_H_
