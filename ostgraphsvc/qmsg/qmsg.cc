#include "ostgraphsvc/qmsg/qmsg.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>

#include "ostgraphsvc/qmsg/qmsg_testing.h"

namespace {

std::atomic<qmsg_testing::Allocator> block_allocator{nullptr};

void* allocate(size_t n) {
  qmsg_testing::Allocator alloc = block_allocator.load(std::memory_order_relaxed);
  return alloc != nullptr ? alloc(n) : std::malloc(n);
}

}  // namespace

namespace qmsg_testing {

Allocator set_block_allocator(Allocator allocator) { return block_allocator.exchange(allocator); }

}  // namespace qmsg_testing

uint8_t* qmsgblock_reserve_data(_QMSGBLOCK* block, uint32_t n) {
  block->data_length = n;
  if (block->data != nullptr && block->data_capacity >= n) return block->data;
  std::free(block->data);
  block->data = nullptr;
  block->data_capacity = 0;
  // One byte at least, so that a buffer is never confused with none.
  block->data = static_cast<uint8_t*>(allocate(n > 0 ? n : 1));
  if (block->data != nullptr) block->data_capacity = n;
  return block->data;
}

bool qmsgblock_set_tag(_QMSGBLOCK* block, std::string_view tag) {
  if (tag.size() >= UINT32_MAX) return false;
  auto needed = static_cast<uint32_t>(tag.size() + 1);
  if (block->tag == nullptr || block->tag_capacity < needed) {
    std::free(block->tag);
    block->tag_capacity = 0;
    block->tag = static_cast<char*>(allocate(needed));
    if (block->tag == nullptr) return false;
    block->tag_capacity = needed;
  }
  std::memcpy(block->tag, tag.data(), tag.size());
  block->tag[tag.size()] = '\0';
  return true;
}

QMsgBlockPool::QMsgBlockPool(int32_t count, uint32_t capture_capacity, QMsgTake take_mode)
    : take_mode_(take_mode) {
  if (count <= 0) return;
  // calloc of this size is served by fresh zero pages; nothing is written.
  // (Not a private mapping: leak checking must see the tag and data pointers
  // the blocks hold.)
  auto* blocks =
      static_cast<_QMSGBLOCK*>(std::calloc(static_cast<size_t>(count), sizeof(_QMSGBLOCK)));
  if (blocks == nullptr) return;
  if (capture_capacity > 0) {
    size_t size = static_cast<size_t>(count) * capture_capacity;
    // Anonymous pages are zero and cost nothing until a capture writes them.
    void* area = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
      std::free(blocks);
      return;
    }
    capture_area_ = static_cast<uint8_t*>(area);
    capture_area_size_ = size;
    for (int32_t i = 0; i < count; ++i) {
      blocks[i].capture_buffer = capture_area_ + static_cast<size_t>(i) * capture_capacity;
      blocks[i].capture_capacity = capture_capacity;
    }
  }
  blocks_ = blocks;
  count_ = count;
}

QMsgBlockPool::~QMsgBlockPool() {
  if (blocks_ != nullptr) {
    // Capture buffers are slices of one mapping, unmapped below.
    for (int32_t i = 0; i < taken_end_; ++i) {
      std::free(blocks_[i].tag);
      std::free(blocks_[i].data);
    }
    std::free(blocks_);
    blocks_ = nullptr;
  }
  if (capture_area_ != nullptr) ::munmap(capture_area_, capture_area_size_);
  capture_area_ = nullptr;
}

QMsgQueue g_qmsg_queue;

bool post_iomsg_block(QMsgBlockPool& ring, QMsgQueue& queue) {
  static constexpr char kIomsgData[4] = {'i', 'o', 'm', '\0'};
  _QMSGBLOCK* block = ring.take();
  if (block == nullptr) return false;
  uint8_t* data = qmsgblock_set_tag(block, "iomsg") ? qmsgblock_reserve_data(block, 4) : nullptr;
  if (data == nullptr) {
    qmsgblock_release(block);
    return false;
  }
  block->msgtype = QMSG_IOMSG;
  std::memcpy(data, kIomsgData, sizeof(kIomsgData));
  return queue.post(block);
}

const ControlChannelMapType ControlChannelMap = {
    {"GoBGP", CONTROL_CHANNEL_GOBGP},
    {"GraphReconfigure", CONTROL_CHANNEL_GRAPH_RECONFIGURE},
    {"OstStats", CONTROL_CHANNEL_OST_STATS},
    {"GraphCmd", CONTROL_CHANNEL_GRAPH_CMD},
    {"GraphUserCmd", CONTROL_CHANNEL_GRAPH_USER_CMD},
};

ControlChannel control_channel_kind(std::string_view tag) {
  auto it = ControlChannelMap.find(tag);
  return it != ControlChannelMap.end() ? it->second : CONTROL_CHANNEL_NONE;
}
