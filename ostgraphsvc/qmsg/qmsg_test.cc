#include "ostgraphsvc/qmsg/qmsg.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ostgraphsvc/qmsg/qmsg_testing.h"
#include "platform/clock/clock.h"

namespace {

// Installs an allocator for the scope of a test and puts the old one back.
class ScopedAllocator {
 public:
  explicit ScopedAllocator(qmsg_testing::Allocator a)
      : old_(qmsg_testing::set_block_allocator(a)) {}
  ~ScopedAllocator() { qmsg_testing::set_block_allocator(old_); }

 private:
  qmsg_testing::Allocator old_;
};

void* failing_allocator(size_t) { return nullptr; }

std::atomic<int> counted_allocations{0};
void* counting_allocator(size_t n) {
  counted_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(n);
}

int32_t index_of(const QMsgBlockPool& ring, const _QMSGBLOCK* block) {
  return static_cast<int32_t>(block - ring.block(0));
}

TEST(QMsgBlockPoolTest, ExhaustedRingFailsUntilTheOldestBlockComesBack) {
  QMsgBlockPool ring(kCaptureRingBlocks);
  std::vector<_QMSGBLOCK*> taken;
  for (int32_t i = 0; i < kCaptureRingBlocks; ++i) {
    _QMSGBLOCK* block = ring.take();
    ASSERT_NE(block, nullptr) << i;
    EXPECT_EQ(index_of(ring, block), i);
    block->msgtype = QMSG_NOP;
    taken.push_back(block);
  }
  int32_t cursor = ring.cursor();
  EXPECT_EQ(cursor, 0);  // wrapped past the last block
  EXPECT_EQ(ring.take(), nullptr);
  EXPECT_EQ(ring.take(), nullptr);
  EXPECT_EQ(ring.cursor(), cursor);

  // Releasing a later block does not help: the ring hands out in order.
  qmsgblock_release(taken[5]);
  EXPECT_EQ(ring.take(), nullptr);

  qmsgblock_release(taken[0]);
  _QMSGBLOCK* again = ring.take();
  ASSERT_EQ(again, taken[0]);
  EXPECT_EQ(again->msgtype, 0);  // a retaken block starts untyped
  EXPECT_EQ(ring.cursor(), 1);
  EXPECT_EQ(ring.take(), nullptr);  // block 1 is still out
}

TEST(QMsgBlockPoolTest, CursorWrapsToTheFirstBlock) {
  QMsgBlockPool ring(3);
  for (int32_t i = 0; i < 7; ++i) {
    _QMSGBLOCK* block = ring.take();
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(index_of(ring, block), i % 3);
    qmsgblock_release(block);
  }
}

TEST(QMsgBlockPoolTest, RingWithoutBlocksFailsEveryTake) {
  for (int32_t count : {0, -1}) {
    QMsgBlockPool ring(count);
    EXPECT_EQ(ring.count(), 0);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(ring.take(), nullptr);
  }
}

TEST(QMsgBlockPoolTest, CaptureBlocksGetTheirOwnZeroedBuffers) {
  constexpr uint32_t kCapacity = 5000;
  QMsgBlockPool ring(4, kCapacity);
  for (int32_t i = 0; i < 4; ++i) {
    _QMSGBLOCK* block = ring.block(i);
    ASSERT_NE(block->capture_buffer, nullptr);
    EXPECT_EQ(block->capture_capacity, kCapacity);
    EXPECT_EQ(block->capture_buffer[0], 0);
    EXPECT_EQ(block->capture_buffer[kCapacity - 1], 0);
    std::memset(block->capture_buffer, 0xA0 + i, kCapacity);
  }
  // Writing every buffer whole left the others untouched.
  for (int32_t i = 0; i < 4; ++i) {
    EXPECT_EQ(ring.block(i)->capture_buffer[0], 0xA0 + i);
    EXPECT_EQ(ring.block(i)->capture_buffer[kCapacity - 1], 0xA0 + i);
  }
  QMsgBlockPool plain(2);
  EXPECT_EQ(plain.block(0)->capture_buffer, nullptr);
  EXPECT_EQ(plain.block(0)->capture_capacity, 0u);
}

TEST(QMsgBlockPoolTest, StaticRingsHaveTheirProducersSizes) {
  EXPECT_EQ(g_capture_qmsg_pool.count(), 128);
  EXPECT_EQ(g_capture_qmsg_pool.block(127)->capture_capacity, 382500u);
  EXPECT_NE(g_capture_qmsg_pool.block(127)->capture_buffer, nullptr);
  EXPECT_EQ(g_transport_qmsg_pool.count(), 4096);
  EXPECT_EQ(g_transport_qmsg_pool.block(0)->capture_buffer, nullptr);
  EXPECT_EQ(g_overlay_probe_qmsg_pool.count(), 32);
  EXPECT_EQ(sizeof(g_capture_qmsg_pool.block(0)->addr), 255u * 80u);
}

TEST(QMsgBlockTest, ReserveDataKeepsGrowsOrFails) {
  QMsgBlockPool ring(1);
  _QMSGBLOCK* block = ring.take();
  ASSERT_NE(block, nullptr);

  uint8_t* first = qmsgblock_reserve_data(block, 100);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(block->data_capacity, 100u);
  EXPECT_EQ(block->data_length, 100u);

  EXPECT_EQ(qmsgblock_reserve_data(block, 40), first);  // same buffer, shorter message
  EXPECT_EQ(block->data_capacity, 100u);
  EXPECT_EQ(block->data_length, 40u);
  EXPECT_EQ(qmsgblock_reserve_data(block, 100), first);

  uint8_t* larger = qmsgblock_reserve_data(block, 3000);
  ASSERT_NE(larger, nullptr);
  EXPECT_EQ(block->data_capacity, 3000u);
  EXPECT_EQ(block->data_length, 3000u);
  std::memset(larger, 1, 3000);  // the whole capacity is ours

  ScopedAllocator failing(failing_allocator);
  EXPECT_EQ(qmsgblock_reserve_data(block, 3000), larger);  // no growth, no allocation
  EXPECT_EQ(qmsgblock_reserve_data(block, 5000), nullptr);
  EXPECT_EQ(block->data, nullptr);
  EXPECT_EQ(block->data_capacity, 0u);
}

TEST(QMsgBlockTest, WarmBlockAllocatesNothing) {
  QMsgBlockPool ring(2);
  ScopedAllocator counting(counting_allocator);
  auto fill = [&](std::string_view tag, uint32_t n) {
    _QMSGBLOCK* block = ring.take();
    ASSERT_NE(block, nullptr);
    ASSERT_TRUE(qmsgblock_set_tag(block, tag));
    ASSERT_NE(qmsgblock_reserve_data(block, n), nullptr);
    block->msgtype = QMSG_PKT_OVERLAY;
    EXPECT_STREQ(qmsgblock_tag(block), std::string(tag).c_str());
    qmsgblock_release(block);
  };
  fill("GraphReconfigure-long-tag", 1500);
  fill("GraphReconfigure-long-tag", 1500);
  int warm = counted_allocations.load();
  EXPECT_EQ(warm, 4);  // tag and data of each block, once
  for (int i = 0; i < 100; ++i) {
    fill("ostoverlay", 1000 + static_cast<uint32_t>(i));
    fill("", 4);
  }
  EXPECT_EQ(counted_allocations.load(), warm);
}

TEST(QMsgBlockTest, FailedTagLeavesTheTagEmpty) {
  QMsgBlockPool ring(1);
  _QMSGBLOCK* block = ring.take();
  ASSERT_NE(block, nullptr);
  ASSERT_TRUE(qmsgblock_set_tag(block, "iomsg"));
  ScopedAllocator failing(failing_allocator);
  EXPECT_TRUE(qmsgblock_set_tag(block, "GoBGP"));  // fits the storage it has
  EXPECT_FALSE(qmsgblock_set_tag(block, "a tag longer than the storage"));
  EXPECT_STREQ(qmsgblock_tag(block), "");
}

TEST(ControlChannelTest, TagsMapToChannelKinds) {
  const struct {
    const char* tag;
    int kind;
  } cases[] = {
      {"GoBGP", 1}, {"GraphReconfigure", 2}, {"OstStats", 3}, {"GraphCmd", 4}, {"GraphUserCmd", 5},
      {"gobgp", 0}, {"ostoverlay", 0},       {"iomsg", 0},    {"", 0},         {"GoBGP ", 0},
  };
  for (const auto& c : cases) EXPECT_EQ(control_channel_kind(c.tag), c.kind) << c.tag;
  EXPECT_EQ(ControlChannelMap.size(), 5u);
}

TEST(QMsgQueueTest, NullPointersAreSkipped) {
  QMsgQueue queue;
  QMsgBlockPool ring(1);
  _QMSGBLOCK* block = ring.take();
  ASSERT_TRUE(queue.post(nullptr));
  ASSERT_TRUE(queue.post(block));
  EXPECT_EQ(queue.wait(), block);
}

TEST(QMsgQueueTest, IomsgBlockIsTypedTaggedAndFilled) {
  QMsgQueue queue;
  QMsgBlockPool ring(2);
  ASSERT_TRUE(post_iomsg_block(ring, queue));
  ASSERT_TRUE(post_iomsg_block(ring, queue));
  EXPECT_FALSE(post_iomsg_block(ring, queue));  // both blocks still queued

  for (int i = 0; i < 2; ++i) {
    _QMSGBLOCK* block = queue.wait();
    EXPECT_EQ(block->msgtype, QMSG_IOMSG);
    EXPECT_STREQ(qmsgblock_tag(block), "iomsg");
    ASSERT_EQ(block->data_length, 4u);
    EXPECT_EQ(std::memcmp(block->data, "iom", 4), 0);  // with its NUL
    EXPECT_EQ(block->enqueue_tick, 0u);
    qmsgblock_release(block);
  }

  // A block that cannot be filled goes back to the ring.
  QMsgBlockPool fresh(1);
  {
    ScopedAllocator failing(failing_allocator);
    EXPECT_FALSE(post_iomsg_block(fresh, queue));
  }
  EXPECT_FALSE(qmsgblock_in_use(fresh.block(0)));
  EXPECT_TRUE(post_iomsg_block(fresh, queue));
  qmsgblock_release(queue.wait());
}

// Queue traits whose per-producer limit makes the 33rd queued pointer fail,
// the same refusal the queue gives when it cannot allocate.
struct OneBlockTraits : moodycamel::ConcurrentQueueDefaultTraits {
  static const size_t MAX_SUBQUEUE_SIZE = 32;
};

TEST(QMsgQueueTest, FailedEnqueueGivesTheBlockBack) {
  BasicQMsgQueue<OneBlockTraits> queue;
  QMsgBlockPool ring(40);
  for (int i = 0; i < 32; ++i) {
    _QMSGBLOCK* block = ring.take();
    ASSERT_NE(block, nullptr);
    ASSERT_TRUE(queue.post(block)) << i;
  }
  _QMSGBLOCK* refused = ring.take();
  ASSERT_NE(refused, nullptr);
  refused->enqueue_tick = 12345;
  EXPECT_FALSE(queue.post(refused));
  EXPECT_FALSE(qmsgblock_in_use(refused));
  EXPECT_EQ(refused->enqueue_tick, 0u);

  // Nothing was signalled for it: exactly the 32 come out, in order.
  for (int i = 0; i < 32; ++i) {
    _QMSGBLOCK* block = queue.wait();
    EXPECT_EQ(index_of(ring, block), i);
    qmsgblock_release(block);
  }
  // The ring reuses the returned block when its cursor comes round.
  for (int i = 33; i < 40; ++i) qmsgblock_release(ring.take());
  for (int i = 0; i < 32; ++i) qmsgblock_release(ring.take());
  EXPECT_EQ(ring.take(), refused);
}

// Producers fill 8 bytes: their number and a sequence number.
struct Work {
  uint32_t producer;
  uint32_t seq;
};

void produce(QMsgBlockPool& ring, QMsgQueue& queue, uint32_t producer, uint32_t count) {
  for (uint32_t seq = 0; seq < count; ++seq) {
    _QMSGBLOCK* block = nullptr;
    // Exhausted: a real producer drops its work; here we wait to lose nothing.
    while ((block = ring.take()) == nullptr) std::this_thread::yield();
    qmsgblock_set_tag(block, "ostoverlay");
    Work work{producer, seq};
    std::memcpy(qmsgblock_reserve_data(block, sizeof(work)), &work, sizeof(work));
    block->msgtype = QMSG_PKT_OVERLAY;
    block->enqueue_tick = GetTickCount64();
    while (!queue.post(block)) {
      while ((block = ring.take()) == nullptr) std::this_thread::yield();
    }
  }
}

TEST(QMsgQueueTest, FourProducersKeepTheirOrderAndLoseNothing) {
  constexpr uint32_t kProducers = 4;
  constexpr uint32_t kBlocks = 100000;
  QMsgQueue queue;
  std::vector<std::unique_ptr<QMsgBlockPool>> rings;
  for (uint32_t p = 0; p < kProducers; ++p) rings.push_back(std::make_unique<QMsgBlockPool>(64));
  std::vector<std::thread> threads;
  for (uint32_t p = 0; p < kProducers; ++p) {
    threads.emplace_back(produce, std::ref(*rings[p]), std::ref(queue), p, kBlocks);
  }

  std::vector<uint32_t> next(kProducers, 0);
  uint32_t out_of_order = 0;
  uint32_t unstamped = 0;
  for (uint32_t i = 0; i < kProducers * kBlocks; ++i) {
    _QMSGBLOCK* block = queue.wait();
    Work work{};
    std::memcpy(&work, block->data, sizeof(work));
    // A tick cleared after the count dropped would wipe a retaken block's stamp.
    if (block->enqueue_tick == 0) ++unstamped;
    if (work.producer >= kProducers || work.seq != next[work.producer]) {
      ++out_of_order;
    } else {
      ++next[work.producer];
    }
    qmsgblock_release(block);
  }
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(out_of_order, 0u);
  EXPECT_EQ(unstamped, 0u);
  for (uint32_t p = 0; p < kProducers; ++p) EXPECT_EQ(next[p], kBlocks) << p;
}

TEST(QMsgQueueTest, SerialisedRingNeverHandsABlockOutTwice) {
  constexpr int kTakesPerThread = 50000;
  QMsgQueue queue;
  QMsgBlockPool ring(kOverlayProbeRingBlocks, 0, QMsgTake::kSerialised);
  std::vector<std::atomic<int>> holders(kOverlayProbeRingBlocks);
  std::atomic<int> doubles{0};
  // A block handed out twice may be released twice and never come free
  // again; producers then give up rather than hang the test.
  std::atomic<bool> stalled{false};

  auto producer = [&] {
    auto last_take = std::chrono::steady_clock::now();
    for (int i = 0; i < kTakesPerThread;) {
      _QMSGBLOCK* block = ring.take();
      if (block == nullptr) {
        if (stalled || std::chrono::steady_clock::now() - last_take > std::chrono::seconds(5)) {
          stalled = true;
          return;
        }
        std::this_thread::yield();
        continue;
      }
      last_take = std::chrono::steady_clock::now();
      std::atomic<int>& holder = holders[index_of(ring, block)];
      if (holder.fetch_add(1) != 0) {
        // The other thread has it: count the fault, leave the block to it.
        doubles.fetch_add(1);
        holder.fetch_sub(1);
        continue;
      }
      block->msgtype = QMSG_IOMSG;
      queue.post(block);
      ++i;
    }
  };

  QMsgBlockPool stop_ring(1);
  _QMSGBLOCK* stop = stop_ring.take();
  int received = 0;
  std::thread consumer([&] {
    while (received < 2 * kTakesPerThread) {
      _QMSGBLOCK* block = queue.wait();
      if (block == stop) return;
      holders[index_of(ring, block)].fetch_sub(1);
      qmsgblock_release(block);
      ++received;
    }
  });
  std::thread a(producer);
  std::thread b(producer);
  a.join();
  b.join();
  if (stalled) queue.post(stop);  // the consumer waits for blocks that will not come
  consumer.join();
  EXPECT_EQ(doubles.load(), 0);
  EXPECT_FALSE(stalled.load());
  EXPECT_EQ(received, 2 * kTakesPerThread);
}

}  // namespace
