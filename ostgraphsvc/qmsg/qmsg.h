// Message blocks and the packet queue.
//
// All packet work runs on one thread, the consumer. Every other thread with
// work for the element graph hands it over as a `_QMSGBLOCK`: it takes a block
// from a fixed ring of its own (`QMsgBlockPool::take`), fills it (msgtype, tag,
// data; capture buffer and address records for capture blocks) and posts the
// pointer on the process-wide queue (`g_qmsg_queue.post`). The consumer waits
// for the next pointer (`wait`), handles the block and gives it back to its
// ring (`qmsgblock_release`).
//
// Nothing is copied or allocated per unit of work: the blocks, capture buffers
// and address records exist from the ring's construction, and a block keeps its
// data buffer and tag storage across uses, growing them only when a larger
// message comes. A ring that is exhausted (its next block is still queued or
// being handled) fails the take and the producer drops its unit of work.
//
// Ownership: a ring owns its blocks and everything they point to, until the
// ring is destroyed. A block belongs to its producer from take to post and to
// the consumer from wait to release.
//
// Threads: a ring is taken from by one producer thread, except a ring built
// with `QMsgTake::kSerialised`, which several threads may share. Any thread may
// post; one consumer thread waits and releases. The in-use count is the only
// field touched outside the queue's hand-over: release stores it with release
// ordering and take reads it with acquire ordering, so whatever the consumer
// did with a block happens before the producer's next fill of it.
#ifndef OSTGRAPHSVC_QMSG_QMSG_H_
#define OSTGRAPHSVC_QMSG_QMSG_H_

#include <concurrentqueue/concurrentqueue.h>
#include <concurrentqueue/lightweightsemaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>

#include "platform/divert/divert.h"

// Block types: the consumer copies the code into the type byte of every packet
// it makes from the block.
enum QMsgType : int32_t {
  QMSG_PKT_CAPTURED = 1,     // capture buffer and address records
  QMSG_PKT_OVERLAY = 2,      // "ostoverlay": 4-byte path id, then one IPv4 packet
  QMSG_IOMSG = 3,            // "iomsg": the 4 bytes "iom" and a NUL
  QMSG_CMD_RECONFIGURE = 4,  // IPC commands: tag the subsystem, data the command
  QMSG_CMD_START = 5,
  QMSG_CMD_STOP = 6,
  QMSG_NOP = 7,  // released without action
  QMSG_CMD_TUNNEL_ENABLE = 11,
  QMSG_CMD_TUNNEL_DISABLE = 13,
  QMSG_CMD_SET_FAIL_OPEN = 17,
  QMSG_CMD_SET_FAIL_CLOSE = 18,
  QMSG_CMD_SET_ALLOW_CWP = 19,
  QMSG_CMD_SET_BLOCK_CWP = 20,
  QMSG_CMD_SET_DC_MANAGED = 21,
  QMSG_CMD_SET_DC_UNMANAGED = 22,
  QMSG_PRODUCER_START = 23,  // "producer": start of a capture cycle, no data
};

// One capture batch: 255 packets of at most 1500 bytes.
inline constexpr uint32_t kQMsgAddressRecords = WINDIVERT_BATCH_MAX;
inline constexpr uint32_t kQMsgCaptureCapacity = 382500;

// Ring sizes of the producers.
inline constexpr int32_t kCaptureRingBlocks = 128;
inline constexpr int32_t kTransportRingBlocks = 4096;
inline constexpr int32_t kIpcRingBlocks = 128;
inline constexpr int32_t kOverlayProbeRingBlocks = 32;
inline constexpr int32_t kStateMsgTickRingBlocks = 32;

// One unit of work. A plain structure whose all-zero bytes are a free, empty
// block, so a ring is one zeroed allocation and is never constructed field by
// field. Lives only inside a ring; never copied.
typedef struct _QMSGBLOCK {
  int32_t inuse;    // 0 free, 1 taken; accessed atomically (take, release, qmsgblock_in_use)
  int32_t msgtype;  // QMsgType
  uint32_t capture_capacity;                    // kQMsgCaptureCapacity in capture blocks, else 0
  uint32_t capture_length;                      // packet bytes held in capture_buffer
  uint8_t* capture_buffer;                      // owned by the ring; packets back to back
  uint32_t addr_length;                         // bytes of address records held (80 per packet)
  WINDIVERT_ADDRESS addr[kQMsgAddressRecords];  // one per packet, in packet order
  uint8_t* data;                                // owned; kept across uses (qmsgblock_reserve_data)
  uint32_t data_capacity;                       // bytes allocated at data
  uint32_t data_length;                         // bytes of the current message
  uint64_t enqueue_tick;  // GetTickCount64 at posting when the producer stamps it, else 0
  char* tag;              // owned, NUL-terminated; null reads as ""
  uint32_t tag_capacity;  // bytes allocated at tag
} QMSGBLOCK;
static_assert(std::is_trivial_v<_QMSGBLOCK>);

// Makes the data buffer hold `n` bytes and records `n` as the data length. The
// buffer is returned unchanged when it is large enough; otherwise it is
// replaced by one of exactly `n` bytes. Null (capacity 0) when that allocation
// fails: the caller must not write the data then.
uint8_t* qmsgblock_reserve_data(_QMSGBLOCK* block, uint32_t n);

// Stores the producer's tag, growing the tag storage only when it is too
// small. False when that allocation fails; the tag is then empty.
bool qmsgblock_set_tag(_QMSGBLOCK* block, std::string_view tag);

inline const char* qmsgblock_tag(const _QMSGBLOCK* block) {
  return block->tag != nullptr ? block->tag : "";
}

// The producer's test of a block: true while it is taken.
inline bool qmsgblock_in_use(const _QMSGBLOCK* block) {
  return std::atomic_ref<int32_t>(const_cast<int32_t&>(block->inuse))
             .load(std::memory_order_acquire) != 0;
}

// Gives a block back to its ring: the consumer after handling it, or a
// producer that took it and will not post it. The enqueue tick is cleared
// before the count drops, since a producer may retake and stamp the block the
// moment it reads 0.
inline void qmsgblock_release(_QMSGBLOCK* block) {
  block->enqueue_tick = 0;
  std::atomic_ref<int32_t>(block->inuse).fetch_sub(1, std::memory_order_release);
}

enum class QMsgTake {
  kOneThread,   // one producer thread: the cursor needs no lock
  kSerialised,  // several producer threads: takes are serialised
};

// A fixed ring of blocks owned by one producer. All blocks are allocated
// zeroed in one piece when the ring is built (zero pages from the kernel, not
// written until used); with a capture capacity, every block also gets a
// capture buffer of that size, likewise from one zeroed mapping. When either
// allocation fails the ring has no blocks and every take fails.
class QMsgBlockPool {
 public:
  explicit QMsgBlockPool(int32_t count, uint32_t capture_capacity = 0,
                         QMsgTake take_mode = QMsgTake::kOneThread);
  QMsgBlockPool(const QMsgBlockPool&) = delete;
  QMsgBlockPool& operator=(const QMsgBlockPool&) = delete;
  // Frees the tag and data of every block ever taken, then the blocks and the
  // capture buffers.
  ~QMsgBlockPool();

  // Takes the block under the cursor when it is free: in-use count 1, msgtype
  // 0, cursor on the next block (wrapping to 0). The producer then writes the
  // tag, the msgtype and the data. Null, with the cursor left where it is,
  // when that block is still in use.
  _QMSGBLOCK* take() {
    if (take_mode_ == QMsgTake::kOneThread) return take_unlocked();
    std::lock_guard<std::mutex> guard(take_mu_);
    return take_unlocked();
  }

  int32_t count() const { return blocks_ != nullptr ? count_ : 0; }
  // Index of the next block to take. Meaningful on the producer thread, or
  // for a serialised ring while no take runs.
  int32_t cursor() const { return cursor_; }
  _QMSGBLOCK* block(int32_t index) const { return blocks_ + index; }

 private:
  _QMSGBLOCK* take_unlocked() {
    if (blocks_ == nullptr) return nullptr;
    int32_t index = cursor_;
    if (index < 0 || index >= count_) index = 0;
    _QMSGBLOCK* block = blocks_ + index;
    if (qmsgblock_in_use(block)) return nullptr;
    std::atomic_ref<int32_t>(block->inuse).store(1, std::memory_order_relaxed);
    block->msgtype = 0;
    cursor_ = index + 1 < count_ ? index + 1 : 0;
    if (index >= taken_end_) taken_end_ = index + 1;
    return block;
  }

  _QMSGBLOCK* blocks_ = nullptr;
  int32_t count_ = 0;
  int32_t cursor_ = 0;
  // One past the highest block ever taken: only those can own a tag or data,
  // so the destructor leaves the untouched zero pages of a large ring alone.
  int32_t taken_end_ = 0;
  uint8_t* capture_area_ = nullptr;
  size_t capture_area_size_ = 0;
  QMsgTake take_mode_;
  std::mutex take_mu_;
};

// The process-wide queue of block pointers: a lock-free queue (first in, first
// out for each posting thread) with a counting semaphore that spins 10,000
// times before the consumer sleeps. `Traits` are the queue library's; the
// service uses its defaults.
template <typename Traits = moodycamel::ConcurrentQueueDefaultTraits>
class BasicQMsgQueue {
 public:
  BasicQMsgQueue() : sema_(0, 10000) {}
  BasicQMsgQueue(const BasicQMsgQueue&) = delete;
  BasicQMsgQueue& operator=(const BasicQMsgQueue&) = delete;

  // Queues the block and wakes the consumer. When the queue cannot take it
  // (its allocation failed) the block goes back to its ring and the result is
  // false, so that the producer drops its work as on an exhausted ring.
  bool post(_QMSGBLOCK* block) {
    if (!queue_.enqueue(block)) {
      if (block != nullptr) qmsgblock_release(block);
      return false;
    }
    sema_.signal();
    return true;
  }

  // Consumer only: the next block, waiting as long as it takes (spinning
  // first). Null pointers in the queue are skipped.
  _QMSGBLOCK* wait() {
    for (;;) {
      sema_.wait();
      _QMSGBLOCK* block = nullptr;
      // The semaphore counts posted pointers, so one is there; a dequeue may
      // still miss it while another producer is mid-enqueue.
      while (!queue_.try_dequeue(consumer_, block)) {
      }
      if (block != nullptr) return block;
    }
  }

  // Consumer only: the next block, waiting at most `usecs` microseconds;
  // null when none came in time (or a null pointer was posted).
  _QMSGBLOCK* wait_for(int64_t usecs) {
    if (!sema_.wait(usecs)) return nullptr;
    _QMSGBLOCK* block = nullptr;
    while (!queue_.try_dequeue(consumer_, block)) {
    }
    return block;
  }

 private:
  moodycamel::ConcurrentQueue<_QMSGBLOCK*, Traits> queue_;
  // The one consumer's position among the producers' sub-queues, so that a
  // dequeue does not survey every producer.
  moodycamel::ConsumerToken consumer_{queue_};
  moodycamel::LightweightSemaphore sema_;
};

using QMsgQueue = BasicQMsgQueue<>;

// The one queue of the process, built before main.
extern QMsgQueue g_qmsg_queue;

// The rings built before main: capture (128 blocks with capture buffers),
// transport read side (4096) and the overlay's probe start-up (32, taken from
// both transport threads, so serialised).
extern QMsgBlockPool g_capture_qmsg_pool;
extern QMsgBlockPool g_transport_qmsg_pool;
extern QMsgBlockPool g_overlay_probe_qmsg_pool;

// Takes a block from `ring`, fills it as a QMSG_IOMSG ("iomsg", data "iom" and
// a NUL) and posts it on `queue`. False when the ring is exhausted or the
// block could not be filled or queued; callers log their own line.
bool post_iomsg_block(QMsgBlockPool& ring, QMsgQueue& queue = g_qmsg_queue);

// Control channels: the kind a tag selects for the consumer's channel
// annotation of non-capture packets.
enum ControlChannel : uint8_t {
  CONTROL_CHANNEL_NONE = 0,
  CONTROL_CHANNEL_GOBGP = 1,
  CONTROL_CHANNEL_GRAPH_RECONFIGURE = 2,
  CONTROL_CHANNEL_OST_STATS = 3,
  CONTROL_CHANNEL_GRAPH_CMD = 4,
  CONTROL_CHANNEL_GRAPH_USER_CMD = 5,
};

// Looked up with any text view, so the consumer's lookup never allocates.
struct ControlChannelHash {
  using is_transparent = void;
  size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
using ControlChannelMapType =
    std::unordered_map<std::string, ControlChannel, ControlChannelHash, std::equal_to<>>;

// "GoBGP" 1, "GraphReconfigure" 2, "OstStats" 3, "GraphCmd" 4,
// "GraphUserCmd" 5; built before main, read-only after.
extern const ControlChannelMapType ControlChannelMap;

// The kind of `tag`, case-sensitive; 0 for any other text.
ControlChannel control_channel_kind(std::string_view tag);

#endif  // OSTGRAPHSVC_QMSG_QMSG_H_
