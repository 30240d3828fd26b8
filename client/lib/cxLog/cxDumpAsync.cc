#include "client/lib/cxLog/cxDumpAsync.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <system_error>
#include <utility>

#include "client/lib/cxLog/cxCrashDump.h"
#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxLog/cxPktDump.h"

namespace {
constexpr char kTag[] = "cxLogAsync";
// Buffers hold at least a full Ethernet-sized packet, so spares fit most.
constexpr uint32_t kMinBuffer = 2048;
// The worker takes written bytes off the pending count in steps of this much
// (and at the end of each batch): a write per item would pull the counter's
// cache line away from the producers on every push.
constexpr uint32_t kWrittenStep = 64 * 1024;

// Fetches a line for writing. The read prefetch the compiler emits for
// generic x86-64 leaves the line shared, and the copy would then still wait
// for the worker's core to give it up.
inline void prefetchForWrite(const void* at) {
#if defined(__x86_64__)
  asm volatile("prefetchw %0" : : "m"(*static_cast<const char*>(at)));  // a no-op where unsupported
#else
  __builtin_prefetch(at, 1);
#endif
}
}  // namespace

cxDumpAsync::cxDumpAsync(std::string name, OpenCallback open, CloseCallback close,
                         PacketCallback packet)
    : name_(std::move(name)),
      open_(std::move(open)),
      close_(std::move(close)),
      packet_(std::move(packet)) {
  if (!packet_) {
    CXLOG_FORCE(kTag, CXLOG_CRITICAL, "cxDumpAsync construct, invalid parameter");
    throw -1;
  }
}

cxDumpAsync::~cxDumpAsync() {
  if (!stopped_.load()) stopDump();
}

bool cxDumpAsync::startDump(const std::string& path, int value) {
  CXLOG_FORCE(kTag, CXLOG_INFO, "[%s]: ==> %s", name_.c_str(), "cxDumpAsync::startDump");
  std::lock_guard<std::recursive_mutex> state(stateLock_);
  if (!stopped_.load()) {
    CXLOG_FORCE(kTag, CXLOG_CRITICAL,
                "[%s]: Oops!!!!!!!!!!!Packet capture async is running. Stop it first",
                name_.c_str());
    return false;
  }
  pendingBytes_.store(0);
  dropped_.store(0);
  // Set before the worker runs: pushes that come before its open callback are
  // cut to this capture's snap length, not the previous one's.
  snapLength_.store(value > 0 ? static_cast<uint32_t>(value) : 0);
  auto pathCopy = std::make_shared<const std::string>(path);
  stopped_.store(false);
  try {
    worker_ = std::make_shared<std::thread>(&cxDumpAsync::cxDumpAsyncThreadFunc, this, pathCopy,
                                            value, false);
  } catch (...) {
    // Left running without a worker, pushes would pile up unwritten and every
    // later start would be refused.
    std::lock_guard<std::mutex> guard(queueLock_);
    stopped_.store(true);
    queue_.reset();
    throw;
  }
  CXLOG_FORCE(kTag, CXLOG_INFO, "[%s]: <== %s", name_.c_str(), "cxDumpAsync::startDump");
  return true;
}

bool cxDumpAsync::pushData(const uint8_t* data, uint16_t length) {
  if (stopped_.load(std::memory_order_acquire)) return false;
  if (data == nullptr && length != 0) return false;
  if (pendingBytes_.load(std::memory_order_relaxed) >= kPendingLimit) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    wake_.notify_one();
    return true;
  }

  uint32_t snap = snapLength_.load(std::memory_order_relaxed);
  uint32_t captured = snap != 0 && snap < length ? snap : length;
  struct timespec now;
  ::clock_gettime(CLOCK_REALTIME, &now);
  bool wasEmpty = false;
  {
    // One lock per push: a spare is taken, filled and queued under it. The
    // copy is at most one packet.
    std::unique_lock<std::mutex> lock(queueLock_);
    Item item = takeSpare(captured);
    if (!item) {
      lock.unlock();
      item = newItem(captured);
      lock.lock();
    }
    // A stop has begun since the first test: the item would otherwise outlive
    // the stop's clean-up and land in the next capture.
    if (stopped_.load(std::memory_order_relaxed)) return false;
    if (captured != 0) std::memcpy(item->data.get(), data, captured);
    item->length = captured;
    item->header.seconds = static_cast<uint32_t>(now.tv_sec);
    item->header.microseconds = static_cast<uint32_t>(now.tv_nsec / 1000000) * 1000;
    item->header.capturedLength = captured;
    item->header.wireLength = length;
    if (!queue_) queue_ = spareQueue_ ? std::move(spareQueue_) : std::make_unique<Queue>();
    wasEmpty = queue_->empty();
    queue_->push_back(std::move(item));
    pendingBytes_.fetch_add(static_cast<int32_t>(captured), std::memory_order_relaxed);
  }
  // The worker waits only on an empty queue, and a wake-up sent for the first
  // item stays due until it has taken the queue.
  if (wasEmpty) wake_.notify_one();
  return true;
}

cxDumpAsync::Item cxDumpAsync::takeSpare(uint32_t capacity) {
  if (spares_.empty() || spares_.back()->capacity < capacity) return nullptr;
  Item item = std::move(spares_.back());
  spares_.pop_back();
  spareBytes_ -= item->capacity;
  // Spares were last touched by the worker's core: start fetching the next
  // push's item and buffer now, not when that push needs them.
  size_t left = spares_.size();
  if (left >= 1) {
    const cxPktDumpDataBuf& next = *spares_[left - 1];
    uint32_t reach = std::min(capacity, next.capacity);
    for (uint32_t at = 0; at < reach; at += 64) prefetchForWrite(next.data.get() + at);
  }
  if (left >= 2) prefetchForWrite(spares_[left - 2].get());
  return item;
}

cxDumpAsync::Item cxDumpAsync::newItem(uint32_t capacity) {
  auto item = std::make_shared<cxPktDumpDataBuf>();
  item->capacity = std::max(capacity, kMinBuffer);
  item->data = std::make_unique_for_overwrite<uint8_t[]>(item->capacity);
  return item;
}

void cxDumpAsync::recycle(std::unique_ptr<Queue> written) {
  // Sorted out before the lock, which producers take on every push.
  std::vector<Item> kept;
  uint64_t keptBytes = 0;
  kept.reserve(written->size());
  for (auto& held : *written) {
    // Only packets are ever queued; an item still held elsewhere is left to
    // its last holder.
    if (held.use_count() != 1) continue;
    keptBytes += static_cast<const cxPktDumpDataBuf&>(*held).capacity;
    kept.push_back(std::static_pointer_cast<cxPktDumpDataBuf>(std::move(held)));
  }
  written->clear();
  std::lock_guard<std::mutex> guard(queueLock_);
  if (!spareQueue_) spareQueue_ = std::move(written);
  // Spares never hold more than a full queue's worth; the rest is freed as
  // `kept` goes, after the lock.
  if (spareBytes_ + keptBytes > static_cast<uint64_t>(kPendingLimit)) return;
  spareBytes_ += keptBytes;
  if (spares_.empty()) {
    spares_.swap(kept);
    return;
  }
  spares_.insert(spares_.end(), std::make_move_iterator(kept.begin()),
                 std::make_move_iterator(kept.end()));
}

bool cxDumpAsync::stopDump() {
  std::lock_guard<std::recursive_mutex> state(stateLock_);
  CXLOG_FORCE(kTag, CXLOG_INFO, "[%s]: ==> %s", name_.c_str(), "cxDumpAsync::stopDump");
  if (stopped_.load()) {
    CXLOG_FORCE(kTag, CXLOG_INFO, "[%s]: <== %s, already stopped", name_.c_str(),
                "cxDumpAsync::stopDump");
    return true;
  }
  // Refused before anything changes, so the writer stays usable.
  if (worker_ && worker_->get_id() == std::this_thread::get_id()) {
    throw std::system_error(std::make_error_code(std::errc::resource_deadlock_would_occur),
                            "cxDumpAsync::stopDump on its own worker");
  }
  {
    // Set under the queue lock so the worker cannot miss the wake-up between
    // its test and its wait.
    std::lock_guard<std::mutex> guard(queueLock_);
    stopped_.store(true);
  }
  wake_.notify_all();
  if (worker_) worker_->join();
  worker_.reset();

  std::unique_ptr<Queue> left;
  std::vector<Item> spares;
  {
    std::lock_guard<std::mutex> guard(queueLock_);
    left = std::move(queue_);
    spareQueue_.reset();
    spares.swap(spares_);
    spareBytes_ = 0;
  }
  if (left && !left->empty()) {
    CXLOG_FORCE(kTag, CXLOG_CRITICAL, "[%s]: Oops!!!!lost %d pkts in data dump.", name_.c_str(),
                static_cast<int>(left->size()));
  }
  left.reset();
  spares.clear();
  pendingBytes_.store(0);
  CXLOG_FORCE(kTag, CXLOG_INFO, "[%s]: <== %s", name_.c_str(), "cxDumpAsync::stopDump");
  return true;
}

void cxDumpAsync::cxDumpAsyncThreadFunc(std::shared_ptr<const std::string> path, int value,
                                        bool flag) {
  cxCrashDumpThreadInit();
  writtenBytes_ = 0;
  CXLOG_FORCE(kTag, CXLOG_INFO, "[%s]: ==> %s", name_.c_str(),
              "cxDumpAsync::cxDumpAsyncThreadFunc");
  if (open_) open_(*path, value, flag);

  for (;;) {
    std::unique_ptr<Queue> batch;
    {
      std::unique_lock<std::mutex> lock(queueLock_);
      if (stopped_.load()) break;
      if (!queue_ || queue_->empty()) wake_.wait(lock);
      if (queue_ && !queue_->empty()) batch = std::move(queue_);
    }
    if (!batch) continue;
    for (const auto& item : *batch) {
      // Only packets are ever queued.
      if (writeItem(static_cast<const cxPktDumpDataBuf&>(*item))) break;
    }
    settleWritten();
    recycle(std::move(batch));
  }

  if (close_) close_();
  CXLOG_FORCE(kTag, CXLOG_INFO, "[%s]: <== %s, total dropped pkt %d", name_.c_str(),
              "cxDumpAsync::cxDumpAsyncThreadFunc", static_cast<int>(dropped_.load()));
}

bool cxDumpAsync::writeItem(const cxPktDumpDataBuf& item) {
  if (stopped_.load()) {
    CXLOG_FORCE(kTag, CXLOG_INFO, "data dump stopped. stop writing file");
    return true;
  }
  packet_(item.data.get(), static_cast<uint16_t>(item.length), &item.header);
  cx_pktdump_check_rotation(item.length);
  writtenBytes_ += item.length;
  if (writtenBytes_ >= kWrittenStep) settleWritten();
  return false;
}

void cxDumpAsync::settleWritten() {
  if (writtenBytes_ == 0) return;
  pendingBytes_.fetch_sub(static_cast<int32_t>(writtenBytes_), std::memory_order_relaxed);
  writtenBytes_ = 0;
}
