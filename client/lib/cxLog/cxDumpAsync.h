// Moves the writing of dump data off the packet path.
//
// A producer hands `pushData` a packet: the writer copies it (cut to the snap
// length given to `startDump`), stamps it with the real-time clock, queues it
// and returns at once. Written items, and the emptied queue, go back to the
// producers and are reused, so a push at steady state allocates nothing and
// nothing is freed across threads; the spares are released at each stop. One worker thread per
// start takes the whole queue per wake-up and hands each item to the packet callback, outside every
// lock. The queue is bounded by the bytes waiting (52,428,800): what does not fit is dropped and
// counted, never waited for, and reported when the worker ends. After each item the worker runs the
// capture's rotation check.
//
// The service has one instance, "CX", which writes the packet capture
// (cxPktDump.h). Callbacks run on the worker thread only: open once before the
// first item of a start, close once after the last. Items still queued at a
// stop are discarded and reported as lost.
//
// Threads: any number of producers may call `pushData`; `startDump` and
// `stopDump` may be called from any thread but the worker's own (a worker
// stopping itself gets the thread library's deadlock error from the join).
// The object must outlive its worker, which its destructor stops.
#ifndef CLIENT_LIB_CXLOG_CXDUMPASYNC_H_
#define CLIENT_LIB_CXLOG_CXDUMPASYNC_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// The 16-byte record header of a pcap record, in host order.
struct cxPktDumpRecordHeader {
  uint32_t seconds = 0;
  uint32_t microseconds = 0;
  uint32_t capturedLength = 0;
  uint32_t wireLength = 0;
};

class cxDumpDataBuf {
 public:
  virtual ~cxDumpDataBuf() = default;
};

// One queued packet: the captured bytes and their record header.
class cxPktDumpDataBuf : public cxDumpDataBuf {
 public:
  std::unique_ptr<uint8_t[]> data;
  uint32_t length = 0;    // bytes in `data`
  uint32_t capacity = 0;  // bytes `data` can hold
  cxPktDumpRecordHeader header;
};

class cxDumpAsync {
 public:
  // (path, value, flag): the path and value given to startDump, and false.
  using OpenCallback = std::function<bool(const std::string&, int, bool)>;
  using CloseCallback = std::function<bool()>;
  using PacketCallback =
      std::function<bool(const uint8_t*, uint16_t, const cxPktDumpRecordHeader*)>;

  static constexpr int32_t kPendingLimit = 52428800;

  // The packet callback is required: without one the constructor logs
  // "cxDumpAsync construct, invalid parameter" and throws the int -1.
  cxDumpAsync(std::string name, OpenCallback open, CloseCallback close, PacketCallback packet);
  cxDumpAsync(const cxDumpAsync&) = delete;
  cxDumpAsync& operator=(const cxDumpAsync&) = delete;
  ~cxDumpAsync();

  // Starts the worker, which opens with (path, value, false); `value` is also
  // the snap length pushes are cut to from now on (0 keeps packets whole).
  // False, with the "Oops" message, while a worker runs. A thread that cannot
  // be started raises std::system_error and leaves the writer stopped.
  bool startDump(const std::string& path, int value);

  // Queues a copy of the packet. False only when no worker runs; a full queue
  // still returns true and counts a drop.
  bool pushData(const uint8_t* data, uint16_t length);

  // Stops the worker and discards what is still queued; always true.
  bool stopDump();

  bool stopped() const { return stopped_.load(); }
  // Captured bytes queued or taken but not yet written (the worker settles
  // them in steps of 64 KiB and at the end of each batch).
  int32_t pendingBytes() const { return pendingBytes_.load(); }
  int32_t dropped() const { return dropped_.load(); }

 private:
  // Kept in push order; taken whole by the worker.
  using Queue = std::vector<std::shared_ptr<cxDumpDataBuf>>;
  using Item = std::shared_ptr<cxPktDumpDataBuf>;

  // A spare of at least `capacity` bytes, or none; caller holds queueLock_.
  Item takeSpare(uint32_t capacity);
  static Item newItem(uint32_t capacity);
  // Hands the worker's written batch back to the producers.
  void recycle(std::unique_ptr<Queue> written);

  void cxDumpAsyncThreadFunc(std::shared_ptr<const std::string> path, int value, bool flag);
  // True: stop this batch.
  bool writeItem(const cxPktDumpDataBuf& item);
  // Takes the bytes written since the last call off the pending count.
  void settleWritten();

  const std::string name_;
  const OpenCallback open_;
  const CloseCallback close_;
  const PacketCallback packet_;

  std::recursive_mutex stateLock_;  // orders startDump and stopDump
  std::atomic<bool> stopped_{true};
  std::shared_ptr<std::thread> worker_;
  std::atomic<uint32_t> snapLength_{0};

  // Producers and the worker touch these groups at different times: each has
  // a cache line of its own, so one side's writes do not stall the other.
  alignas(64) std::mutex queueLock_;
  std::condition_variable wake_;
  // Guarded by queueLock_: the queue (made on first push), an emptied queue
  // and written items kept for reuse, and the bytes the spares hold.
  std::unique_ptr<Queue> queue_;
  std::unique_ptr<Queue> spareQueue_;
  std::vector<Item> spares_;
  uint64_t spareBytes_ = 0;

  alignas(64) std::atomic<int32_t> pendingBytes_{0};
  uint32_t writtenBytes_ = 0;  // worker only: written, not yet taken off
  alignas(64) std::atomic<int32_t> dropped_{0};
};

#endif  // CLIENT_LIB_CXLOG_CXDUMPASYNC_H_
