// FromDevice: the element through which the host's IPv4 traffic enters the
// graph and through which what leaves the graph goes back to the host or into
// an overlay connection.
//
// It owns the divert capture handle, the capture worker thread and the list
// of packets waiting to be sent. The router thread hands itself over in
// `selected`, which starts the IPC endpoint and the worker and then waits for
// `exit`. Each capture cycle of the worker builds the filter text from the
// fail-close state and the work directory's "ostrel-exclusions.json", opens
// the handle and runs two threads until the handle is closed or a stop is
// asked for:
//   producer  receives batches (up to 255 packets) and posts each as a
//             capture block on the packet queue;
//   consumer  the one thread the whole graph runs on: it turns every block
//             into packets, pushes them into output 0 and after each block
//             drains `pending_send()` (re-injection in batches, or the
//             tunnel writer for packets bound to an overlay peer). It
//             waits on the queue only until the earliest armed deadline
//             (graph/deadline_hook.h), runs the due callbacks and drains
//             what they passed on, so shaped packets leave without traffic.
// A fail-close change while the worker runs shuts the handle down: it stops
// capturing at once but stays open, the producer receives what it had already
// taken and posts it, then an end marker; the consumer ends on that marker,
// once every batch before it has been through the graph and `pending_send()`
// has gone out on the old handle. Only then does the cycle close the handle,
// and the next one reopens it with the other filter: a switch drops none of
// the packets the old handle took and sends none twice. The stop (`exit`,
// cleanup, the destructor) closes the handle at once instead and ends the
// cycle without draining.
//
// Every captured packet keeps its own copy of its capture address record in
// its annotation area (capture_record.h), which is what the drain sends with.
//
// Registration: the constructor registers the element as the fail-close
// listener of `FailCloseMgr::GetInstance()` (the last constructed wins) and
// the destructor unregisters it; `initialize` puts it in entry 0 of its home
// scheduler thread's select table.
//
// Threads: `configure`, `initialize` and the destructor run on the thread
// that builds the router; `selected` on the router thread; `exit` once per
// stop on any other thread (the service's dispatcher). `UpdateFailClose` runs
// on whichever thread changes the fail-close verdict. The filter text and the
// exclusion list belong to the worker thread once it runs; the maps, the
// send batches and `pending_send()` to the consumer. The flags and the handle
// are atomic. `cleanup` and the destructor stop the worker and wait for it.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_FROMDEVICE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_FROMDEVICE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "graph/element.h"
#include "graph/hash_map.h"
#include "graph/string.h"
#include "graph/string_builder.h"
#include "graph/vector.h"
#include "ostgraphsvc/failclose/fail_close_update.h"
#include "platform/adapters/adapters.h"
#include "platform/divert/divert.h"

class Packet;
struct _QMSGBLOCK;

// Logs "<name> failed, error:<system text>(<code>)" at error level with the
// calling thread's last error; the _LIMITED form within its call site's
// budget (for failures that packets from outside can cause).
#define GRAPH_LOG_LERR(name) graph_log_last_error((name), __func__, __FILE__, __LINE__)
#define GRAPH_LOG_LERR_LIMITED(name)                                                  \
  do {                                                                                \
    static cxLogLimiter graph_lerr_limiter_;                                          \
    graph_log_last_error((name), __func__, __FILE__, __LINE__, &graph_lerr_limiter_); \
  } while (0)
void graph_log_last_error(const char* name, const char* function, const char* file, int line,
                          cxLogLimiter* limiter = nullptr);

// 1 while the filter captures only the virtual interface; read by the policy
// lookup, cleared by `FromDevice::exit`.
extern std::atomic<uint8_t> destination_internet_flag;

// What the capture handles of one element did, summed over its capture
// cycles (a cycle counts once its handle is closed; `opened` when it opens).
struct CaptureTotals {
  uint64_t opened = 0;      // handles opened: the capture ran
  uint64_t captured = 0;    // packets handed to the element
  uint64_t reinjected = 0;  // packets put back
  // Packets taken from the host and not put back: consumed or expired,
  // refused for a bad checksum, lost to a full queue, failed to send.
  uint64_t dropped = 0;
};

class FromDevice : public Element, public IFailCloseUpdate {
 public:
  static constexpr uint32_t kHeadroom = 206;
  // Wait after a failed open before the next cycle tries again.
  static constexpr int kOpenRetryMs = 1000;
  // One divert batch: 255 packets in a 382,500-byte area.
  static constexpr uint32_t kBatchPackets = WINDIVERT_BATCH_MAX;
  static constexpr uint32_t kBatchBytes = 382500;
  // How long `exit` waits for the worker, in steps of 10 ms.
  static constexpr int kExitWaitMs = 5000;

  // The address table the broadcast map is built from (IPv4 rows).
  using AddressTableSource = std::function<uint32_t(std::vector<platform::Adapter>*)>;

  FromDevice();
  ~FromDevice() override;

  const char* class_name() const override { return "FromDevice"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kPush; }
  int configure_phase() const override { return 0; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void cleanup(CleanupStage stage) override;

  // The router thread's selection hook: starts the IPC endpoint and the
  // capture worker, then returns only after `exit`.
  using Element::selected;
  void selected(int fd, int mask) override;

  bool UpdateFailClose(bool effective) override;

  void StartWindivertWorkerThread();
  void readAppExclusions();
  void PrepareWinDivertFilter(bool failClose);
  // One capture cycle of the worker.
  void startPacketProcessing(bool failClose);
  // The stop path, once per stop: wakes `selected`, stops the IPC endpoint,
  // closes the capture handle so the cycle ends at once, waits up to 5000 ms
  // for the worker and clears the internet-bypass state.
  void exit();

  // Consumer side, one block each.
  void process_captured_batch(_QMSGBLOCK* block);
  void process_incoming_tun_pkt(_QMSGBLOCK* block);
  // Learns local source addresses of outbound packets; a new one rebuilds
  // the broadcast map.
  void cache_windivert_ipv4addr2idx(const WINDIVERT_IPHDR* header, const WINDIVERT_ADDRESS* record);
  // The interface of a learned local address (network order), or -1.
  int ipv4_addr2ifidx(uint32_t address) const;
  bool is_broadcast_address(uint32_t address) const;
  // Sends what `pending_send()` holds (see the class comment).
  void drain_pending_send();
  // The drain's announcement of a packet leaving the graph: NEW_AGG through
  // the process-wide flow element the first time one of a flow's packets
  // leaves.
  static void reportFlow(Packet* p);
  // The next queued block, waiting only until the earliest armed deadline
  // (graph/deadline_hook.h); null when that came first.
  _QMSGBLOCK* wait_block_or_deadline();
  // Runs the deadline callbacks that are due on this thread, then sends
  // what they passed on.
  void run_due_deadlines();

  // Packets handed over by the output elements; owned by this element.
  Vector<Packet*>& pending_send() { return pending_send_; }

  // For tests and diagnostics.
  String filter_text() const { return String(filter_.data(), filter_.length()); }
  const Vector<String>& excluded_processes() const { return excluded_processes_; }
  uint16_t dtls_port() const { return dtls_port_; }
  uint32_t headroom() const { return headroom_; }
  bool thread_running() const { return threadRunning.load() != 0; }
  // Any thread. Per cycle, never per packet: the counters come from the
  // capture layer when the cycle's handle is closed.
  CaptureTotals capture_totals() const;
  bool fail_close_state() const { return failClose_.load() != 0; }
  uint8_t destination_internet() const { return destination_internet_.load(); }
  WinDivertHandle handle() const { return handle_.load(); }
  // Divert send calls of the consumer's two batches.
  uint64_t send_calls() const { return send_calls_.load(std::memory_order_relaxed); }
  // Captured packets the parser refused: dropped, never sent on unexamined.
  uint64_t refused_packets() const { return refused_.load(std::memory_order_relaxed); }
  size_t broadcast_count() const { return broadcast_map_ ? broadcast_map_->size() : 0; }
  // Replaces the adapter list the broadcast map is read from (tests).
  void set_address_table_source(AddressTableSource source) { address_source_ = std::move(source); }

 private:
  // Packets and their records, sent with one divert call.
  struct SendBatch {
    std::unique_ptr<uint8_t[]> bytes;
    std::unique_ptr<WINDIVERT_ADDRESS[]> records;
    uint32_t count = 0;
    uint32_t length = 0;
  };

  void workerLoop();
  void producer(WinDivertHandle handle);
  void consumer();
  // True once the consumer must leave without finishing the queue: its
  // producer failed, or a stop came.
  bool consumerMustExit() const { return consumerExit.load() != 0 || stop_.load() != 0; }
  // A capture block; while a drain runs it waits for the consumer to free
  // one rather than fail, until a stop.
  _QMSGBLOCK* takeCaptureBlock();
  // Posts this cycle's end marker; false when a stop came first or it could
  // not be queued.
  bool postCaptureEnd();
  // Tells the capture layer the consumer is done with the packets of these
  // records (`addrLength` bytes of them): those not sent back were consumed.
  void releaseCaptured(const WINDIVERT_ADDRESS* records, uint32_t addrLength);
  // Logs, at most once a second, packets the kernel dropped because the
  // capture queue was full (producer thread).
  void watchQueueDrops(WinDivertHandle handle);
  // A closed handle's last counters, in one line.
  void logCaptureCounters(const platform::divert::DivertCounters& c);
  // Shuts `handle` down, then sends back everything it took (a cycle whose
  // packets cannot reach the graph).
  void handBack(WinDivertHandle handle, uint8_t* packets, WINDIVERT_ADDRESS* records);
  // Ends the worker and waits for it without limit (cleanup, destructor).
  void stopWorker();
  // Appends one packet, sending first when it would not fit and after when
  // the batch is full.
  void batchAdd(SendBatch& batch, const uint8_t* data, uint32_t length,
                const WINDIVERT_ADDRESS& record);
  void batchFlush(SendBatch& batch);
  void makeBatches();
  void dumpPacket(const uint8_t* data, uint32_t length);
  void rebuildBroadcastMap();
  void closeHandle();
  // Closes `handle` and adds its last counters to the totals; false, with
  // the last error, for a handle already closed.
  bool closeCounted(WinDivertHandle handle);
  // Asks the cycle of `handle` to hand back what it took and end; see the
  // class comment.
  void shutdownHandle(WinDivertHandle handle);
  void setDestinationInternet(uint8_t value, const char* bypassStatus);
  // Sleeps up to `ms`, cut short by the stop flag or a fail-close change.
  void waitBeforeRetry(int ms);

  std::atomic<uint8_t> threadRunning{0};
  std::atomic<uint8_t> failClose_{0};
  std::atomic<uint8_t> producerExit{0};
  std::atomic<uint8_t> stop_{0};
  std::atomic<uint8_t> consumerExit{0};
  // Set by a producer whose very first block take failed: the worker pauses
  // before the next cycle instead of spinning.
  std::atomic<uint8_t> firstTakeFailed_{0};
  // Set (under stop_mu_) when a fail-close change has shut the cycle's
  // handle down; cleared when the next cycle takes its change count.
  std::atomic<uint8_t> draining_{0};
  // The cycle's end marker once posted: a block of the capture ring, which
  // the producer could take only because no copy of it was queued.
  std::atomic<_QMSGBLOCK*> captureEnd_{nullptr};
  // The producer's watch on the kernel's queue drops.
  uint64_t queueDropsCheckedAt_ = 0;
  uint64_t queueDropsSeen_ = 0;
  std::mutex stop_mu_;
  std::condition_variable stop_cond_;
  // Bumped by every fail-close change, so a retry wait sees it.
  uint64_t change_count_ = 0;  // guarded by stop_mu_

  uint16_t dtls_port_ = 0;  // network order
  uint32_t headroom_ = 0;
  Vector<Packet*> pending_send_;
  // Consumer only.
  bool has_output_ = false;
  SendBatch reinject_;
  SendBatch drain_;
  // Maps of this element only, so no other thread shares their node arena.
  HashMap_ArenaFactory map_arenas_;
  std::unique_ptr<HashMap<uint32_t, int>> addr2ifidx_;
  std::unique_ptr<HashMap<uint32_t, int>> broadcast_map_;
  AddressTableSource address_source_;
  std::atomic<uint64_t> send_calls_{0};
  std::atomic<uint64_t> refused_{0};
  StringBuilder filter_;
  Vector<String> excluded_processes_;
  std::atomic<uint8_t> destination_internet_{0};
  std::atomic<WinDivertHandle> handle_{kWinDivertInvalidHandle};
  // Whoever closes a handle adds to these; relaxed, read only as totals.
  std::atomic<uint64_t> opened_{0};
  std::atomic<uint64_t> captured_{0};
  std::atomic<uint64_t> reinjected_{0};
  std::atomic<uint64_t> dropped_{0};
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_FROMDEVICE_H_
