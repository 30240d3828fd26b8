#include "ostgraphsvc/graph/elements/local/fromdevice.h"

#include <arpa/inet.h>
#include <pthread.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>

#include "client/lib/cxLog/cxCrashDump.h"
#include "client/lib/cxLog/cxPktDump.h"
#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/deadline_hook.h"
#include "graph/error_handler.h"
#include "graph/ipaddress.h"
#include "graph/json.h"
#include "graph/master.h"
#include "graph/packet.h"
#include "graph/router_log.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/local/tunnel_writer.h"
#include "ostgraphsvc/qmsg/qmsg.h"
#include "ostgraphsvc/tarnipc/tarnipc.h"
#include "platform/clock/clock.h"
#include "platform/error/win_error.h"

std::atomic<uint8_t> destination_internet_flag{0};

namespace {

constexpr char kExclusionsFile[] = "ostrel-exclusions.json";
constexpr int kClauseLimit = 2048;
constexpr uint32_t kRecordBytes = sizeof(WINDIVERT_ADDRESS);
constexpr uint32_t kOutboundBit = WINDIVERT_ADDRESS_OUTBOUND;
constexpr uint32_t kLoopbackBit = WINDIVERT_ADDRESS_LOOPBACK;

// Posted by a producer that ends, so that a consumer waiting on an idle
// queue (or for the start marker) wakes and sees `consumerExit`. It is never
// released or written: copies still queued from an earlier cycle are
// skipped. Process-wide so that a copy outlives the element that posted it.
_QMSGBLOCK g_consumer_wake = {};
constexpr char kBaseClause[] = "(remotePort != 67) && ((impostor && inbound)? false : true)";

#define FDEV_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)
// For lines that packets or blocks from outside can trigger.
#define FDEV_LOG_LIMITED(level, tag, ...) ROUTER_LOG_LIMITED((level), (tag), __VA_ARGS__)

// The system's text for the few codes the receive loop meets.
const char* ErrorText(uint32_t error) {
  switch (error) {
    case 6:
      return "The handle is invalid.";
    case 87:
      return "The parameter is incorrect.";
    case 5:
      return "Access is denied.";
    case 31:
      return "A device attached to the system is not functioning.";
    case 50:
      return "The request is not supported.";
    case 122:
      return "The data area passed to a system call is too small.";
    case 13:
      return "The data is invalid.";
    default:
      return "Unknown error.";
  }
}

const char* TrueFalse(uint8_t flag) { return flag != 0 ? "true" : "false"; }
const char* EnabledDisabled(bool state) { return state ? "enabled" : "disabled"; }

// The exclusions file, or false after its log line.
bool ParseExclusions(const char* tag, Json* result) {
  String path;
  if (!cp_parse_filename(String(kExclusionsFile), &path)) return false;
  int error = Json::file_parse(path, *result);
  if (error == 0) return true;
  FDEV_LOG(6, tag, "Json::file_parse failed for %s with error:%d", path.c_str(), error);
  return false;
}

// The address in canonical dotted form, or false: only checked addresses
// reach the filter, so a typo cannot make every open fail and crafted text
// cannot change what is captured.
bool CanonicalAddress(const Json& value, String* dotted) {
  IPAddress address;
  if (!cp_parse_ip_address(value.text(), &address)) return false;
  *dotted = address.to_string();
  return true;
}

}  // namespace

FromDevice::FromDevice() { FailCloseMgr::GetInstance().RegisterListener(this); }

FromDevice::~FromDevice() {
  FailCloseMgr::GetInstance().UnregisterListener(this);
  // The worker refers to this element: it must be gone before the memory is.
  stopWorker();
  // The list owns its packets.
  for (Packet* p : pending_send_) p->release();
  pending_send_.clear();
}

void FromDevice::cleanup(CleanupStage) {
  // Before the router frees any element: the consumer pushes into them.
  stopWorker();
}

int FromDevice::configure(Vector<String>& conf, ErrorHandler* errh) {
  uint32_t port = 0;
  Args args(conf, this, errh);
  Args::Slot* mark;
  String text = args.find_argument("DTLSPORT", 0, &mark);
  if (!text.empty()) {
    void* storage = args.reserve_result_slot(&port, sizeof port);
    bool ok = storage != nullptr;
    if (ok) {
      IntegerParser parser;
      uint32_t limbs[1] = {0};
      int nlimbs = 0;
      const char* end =
          cp_parse_integer(parser, text.begin(), text.end(), false, 2, limbs, &nlimbs);
      if (end != text.end() || parser.status == cp_invalid) {
        args.error("invalid number");
        ok = false;
      } else if (parser.status == cp_range || limbs[0] > 65535) {
        args.error("out of range, bound %llu", 65535ULL);
        ok = false;
      } else {
        std::memcpy(storage, &limbs[0], sizeof limbs[0]);
      }
    }
    args.finish_argument(ok, mark);
  } else {
    args.keyword = nullptr;
  }
  if (args.check_and_commit() < 0) {
    FDEV_LOG(6, "FromDevice::configure", "Unable to parse args in fdev");
    return -1;
  }
  dtls_port_ = htons(static_cast<uint16_t>(port));
  readAppExclusions();
  return 0;
}

int FromDevice::initialize(ErrorHandler*) {
  headroom_ = kHeadroom;
  has_output_ = noutputs() > 0 && output(0).active() && output(0).element() != nullptr;
  makeBatches();
  if (SchedulerThread* thread = home_thread()) thread->register_select(this);
  return 0;
}

void FromDevice::readAppExclusions() {
  constexpr char kTag[] = "FromDevice::readAppExclusions";
  Json root;
  if (!ParseExclusions(kTag, &root)) return;
  const Json& list = root.get("excluded_process_list");
  if (list.type() != Json::kArray) {
    FDEV_LOG(6, kTag, "Empty Process exclusion list");
    return;
  }
  excluded_processes_.clear();
  for (int i = 0; i < list.size(); ++i) {
    const Json& item = list.get(String(i));
    if (item.type() != Json::kString) continue;
    excluded_processes_.push_back(item.text());
    FDEV_LOG(6, kTag, "Flows from proces %s will be excluded from TARN client pipeline",
             String(item.text()).c_str());
  }
}

void FromDevice::setDestinationInternet(uint8_t value, const char* bypassStatus) {
  destination_internet_.store(value);
  destination_internet_flag.store(value);
  SetInternetBypassStatus(bypassStatus);
}

void FromDevice::PrepareWinDivertFilter(bool failClose) {
  constexpr char kTag[] = "FromDevice::PrepareWinDivertFilter";
  if (failClose) {
    filter_.clear();
    filter_.append(kBaseClause);
    filter_.append(" && ");
    filter_.append(" ( ");
    filter_.append("(remoteAddr > 192.168.0.0 && remoteAddr < 192.168.255.255)");
    filter_.append(" || ");
    filter_.append("(remoteAddr > 172.16.0.0 && remoteAddr < 172.31.255.255)");
    filter_.append(" || ");
    filter_.append("(remoteAddr > 10.0.0.0 && remoteAddr < 10.255.255.255)");
    filter_.append(" ) ");
    FDEV_LOG(6, kTag, "_windivert_filter = %s", filter_.c_str());
    return;
  }

  Json root;
  if (!ParseExclusions(kTag, &root)) return;
  filter_.clear();

  if (root.get("virtual_interface_only").to_bool()) {
    setDestinationInternet(1, "1");
    unsigned int index = 0;
    if (GetWinTunInterfaceIndex(&index)) {
      FDEV_LOG(6, kTag,
               "Destination Internet policy is set, setting WinTun interface index %d filter rule",
               static_cast<int>(index));
      filter_.append_printf(kClauseLimit, "(ifIdx==%d) && ((impostor && inbound)? false : true)",
                            static_cast<int>(index));
      return;
    }
    FDEV_LOG(3, kTag, "Failed to get interface index, not setting no Destination Internet policy");
  }

  const Json& virtualIp = root.get("virtual_interface_ip");
  if (virtualIp.text().length() > 0) {
    String dotted;
    if (CanonicalAddress(virtualIp, &dotted)) {
      setDestinationInternet(1, "1");
      FDEV_LOG(6, kTag, "Destination Internet policy is set, setting virtual src IP filter rule %s",
               dotted.c_str());
      filter_.append_printf(kClauseLimit,
                            "(ip.SrcAddr == %s) && ((impostor && inbound)? false : true)",
                            dotted.c_str());
      return;
    }
    FDEV_LOG(3, kTag, "Invalid virtual_interface_ip %s, ignored", String(virtualIp.text()).c_str());
  }

  setDestinationInternet(0, "0");
  filter_.append(kBaseClause);

  const Json& ranges = root.get("excluded_ip_ranges");
  if (ranges.type() != Json::kArray) {
    FDEV_LOG(6, kTag, "Empty Windivert exlusion list");
  } else {
    for (int i = 0; i < ranges.size(); ++i) {
      const Json& item = ranges.get(String(i));
      const Json& start = item.get("range_start");
      const Json& end = item.get("range_end");
      if (start.type() != Json::kString) continue;
      String startText;
      String endText;
      bool withEnd = end.type() == Json::kString && end.text().length() > 0;
      if (!CanonicalAddress(start, &startText) || (withEnd && !CanonicalAddress(end, &endText))) {
        FDEV_LOG(3, kTag, "Invalid excluded IP range %s - %s, skipped",
                 String(start.text()).c_str(), withEnd ? String(end.text()).c_str() : "");
        continue;
      }
      filter_.append(" && ");
      if (withEnd) {
        filter_.append_printf(kClauseLimit, "((remoteAddr > %s && remoteAddr < %s)? false : true)",
                              startText.c_str(), endText.c_str());
      } else {
        filter_.append_printf(kClauseLimit, "(remoteAddr != %s)", startText.c_str());
      }
    }
  }
  FDEV_LOG(6, kTag, "_windivert_filter = %s", filter_.c_str());
}

bool FromDevice::UpdateFailClose(bool effective) {
  constexpr char kTag[] = "FromDevice::UpdateFailClose";
  if ((failClose_.load() != 0) == effective && threadRunning.load() != 0) {
    FDEV_LOG(6, kTag,
             "FailClose status is not changed, current status is %s, packet thread already "
             "running. Ignoring update.",
             EnabledDisabled(effective));
    return false;
  }
  FDEV_LOG(6, kTag,
           "New FailClose status: %s. threadRunning: %s, producerExit: %s, consumerExit: %s",
           EnabledDisabled(effective), TrueFalse(threadRunning.load()),
           TrueFalse(producerExit.load()), TrueFalse(consumerExit.load()));
  failClose_.exchange(effective ? 1 : 0);
  {
    std::lock_guard<std::mutex> guard(stop_mu_);
    ++change_count_;
    // After a stop no new worker: nothing would end it.
    if (threadRunning.load() == 0) {
      if (stop_.load() == 0) StartWindivertWorkerThread();
      stop_cond_.notify_all();
      return false;
    }
    draining_.exchange(1);
  }
  stop_cond_.notify_all();
  // A handle not stored yet is shut down by its own cycle, which sees the
  // change count move.
  shutdownHandle(handle_.load());
  return true;
}

void FromDevice::shutdownHandle(WinDivertHandle handle) {
  if (handle == kWinDivertInvalidHandle) return;
  // 6: the cycle closed it meanwhile, and the next one reads the new state.
  if (!WinDivertShutdown(handle, WINDIVERT_SHUTDOWN_RECV) &&
      platform::last_error() != platform::kErrorInvalidHandle) {
    FDEV_LOG(3, "FromDevice::shutdownHandle", "Unable to shut down Windivert handle. Error: %d\n",
             static_cast<int>(platform::last_error()));
  }
}

void FromDevice::closeHandle() {
  WinDivertHandle handle = handle_.exchange(kWinDivertInvalidHandle);
  if (handle == kWinDivertInvalidHandle) return;
  if (!closeCounted(handle)) {
    FDEV_LOG(3, "FromDevice::closeHandle", "Unable to close Windivert handle. Error: %d\n",
             static_cast<int>(platform::last_error()));
  }
}

bool FromDevice::closeCounted(WinDivertHandle handle) {
  // Read with the close: a stop closes the handle under the running cycle,
  // whose own read at its end would find it gone.
  platform::divert::DivertCounters c;
  if (!platform::divert::close_with_counters(handle, &c)) return false;
  logCaptureCounters(c);
  captured_.fetch_add(c.received, std::memory_order_relaxed);
  reinjected_.fetch_add(c.reinjected, std::memory_order_relaxed);
  dropped_.fetch_add(c.expired + c.checksum_dropped + c.overflow + c.send_dropped,
                     std::memory_order_relaxed);
  return true;
}

CaptureTotals FromDevice::capture_totals() const {
  CaptureTotals t;
  t.opened = opened_.load(std::memory_order_acquire);
  t.captured = captured_.load(std::memory_order_relaxed);
  t.reinjected = reinjected_.load(std::memory_order_relaxed);
  t.dropped = dropped_.load(std::memory_order_relaxed);
  return t;
}

void FromDevice::StartWindivertWorkerThread() {
  threadRunning.exchange(1);
  try {
    std::thread(&FromDevice::workerLoop, this).detach();
  } catch (...) {
    threadRunning.exchange(0);
    throw;
  }
}

void FromDevice::selected(int, int) {
  // Read before taking the stop lock: the fail-close manager calls
  // UpdateFailClose, which takes it, while holding its own lock.
  const bool configured = FailCloseMgr::GetInstance().IsConfigured();
  std::unique_lock<std::mutex> lock(stop_mu_);
  // A stop that came before the router thread got here has already run
  // exit(): whatever started now would outlive the stop.
  if (stop_.load() != 0) return;
  TarnIPCServer::GetInstance().endpoint().startServer("127.0.0.1", kTarnIPCPort,
                                                      &g_tarn_ipc_listener);
  if (threadRunning.load() == 0) {
    failClose_.exchange(configured ? 1 : 0);
    StartWindivertWorkerThread();
  }
  stop_cond_.wait(lock, [this] { return stop_.load() != 0; });
}

void FromDevice::exit() {
  constexpr char kTag[] = "FromDevice::exit";
  {
    std::lock_guard<std::mutex> guard(stop_mu_);
    stop_.exchange(1);
  }
  stop_cond_.notify_all();
  TarnIPCServer::GetInstance().endpoint().stop();
  producerExit.exchange(1);
  // The producer's blocked receive returns at once instead of at the next
  // packet.
  closeHandle();
  for (int waited = 0; threadRunning.load() != 0 && waited < kExitWaitMs; waited += 10) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    FDEV_LOG(6, kTag, "Waiting to exit packet processor thread...");
  }
  if (threadRunning.load() != 0) {
    FDEV_LOG(6, kTag, "Packet processor thread did not exit in time, stopping fromdevice.");
  }
  SetInternetBypassStatus("");
  destination_internet_flag.store(0);
}

void FromDevice::stopWorker() {
  if (threadRunning.load() == 0) return;
  {
    std::lock_guard<std::mutex> guard(stop_mu_);
    stop_.exchange(1);
  }
  stop_cond_.notify_all();
  producerExit.exchange(1);
  closeHandle();
  while (threadRunning.load() != 0) {
    // A cycle that opened after the close above is closed here.
    closeHandle();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void FromDevice::workerLoop() {
  constexpr char kTag[] = "FromDevice::StartWindivertWorkerThread";
  pthread_setname_np(pthread_self(), "fdev-worker");  // for top -H and perf
  cxCrashDumpThreadInit();
  do {
    FDEV_LOG(6, kTag,
             "Packet thread starting. threadRunning: %s, producerExit: %s, consumerExit: %s",
             TrueFalse(threadRunning.load()), TrueFalse(producerExit.load()),
             TrueFalse(consumerExit.load()));
    startPacketProcessing(failClose_.load() != 0);
    FDEV_LOG(6, kTag,
             "Packet thread stopped. threadRunning: %s, producerExit: %s, consumerExit: %s",
             TrueFalse(threadRunning.load()), TrueFalse(producerExit.load()),
             TrueFalse(consumerExit.load()));
    // No block to start with means the ring is still held by a consumer
    // that has not caught up: trying again at once would only spin.
    if (firstTakeFailed_.exchange(0) != 0) waitBeforeRetry(kOpenRetryMs);
  } while (stop_.load() == 0);
  // Last touch of the element: the destructor may free it from here on.
  threadRunning.exchange(0);
}

void FromDevice::waitBeforeRetry(int ms) {
  std::unique_lock<std::mutex> lock(stop_mu_);
  uint64_t seen = change_count_;
  stop_cond_.wait_for(lock, std::chrono::milliseconds(ms),
                      [&] { return stop_.load() != 0 || change_count_ != seen; });
}

void FromDevice::startPacketProcessing(bool failClose) {
  constexpr char kTag[] = "FromDevice::startPacketProcessing";
  PrepareWinDivertFilter(failClose);
  if (filter_.empty()) {
    // No exclusions file yet: capture with the base filter rather than
    // handing the divert layer an empty text it refuses.
    FDEV_LOG(6, kTag, "No Windivert filter built yet, using the base filter");
    setDestinationInternet(0, "0");
    filter_.append(kBaseClause);
  }

  if (handle_.load() != kWinDivertInvalidHandle) {
    FDEV_LOG(3, kTag, "Windivert handle is still open; trying to close it again.");
    closeHandle();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (handle_.load() != kWinDivertInvalidHandle) {
      FDEV_LOG(3, kTag, "Windivert handle is still open; Exiting..\n");
      return;
    }
  }

  makeBatches();

  // A change that arrives from here on shuts down the handle we are about
  // to open, or is seen by the retry wait.
  uint64_t changesBefore;
  {
    std::lock_guard<std::mutex> guard(stop_mu_);
    changesBefore = change_count_;
    draining_.exchange(0);
  }
  WinDivertHandle handle =
      WinDivertOpen(filter_.c_str(), WINDIVERT_LAYER_NETWORK, WINDIVERT_PRIORITY_HIGHEST, 0);
  if (handle == kWinDivertInvalidHandle) {
    FDEV_LOG(3, kTag, "Unable to open Windivert handle. Error: %d\n",
             static_cast<int>(platform::last_error()));
    // A lasting failure must not spin a core and flood the log.
    std::unique_lock<std::mutex> lock(stop_mu_);
    stop_cond_.wait_for(lock, std::chrono::milliseconds(kOpenRetryMs),
                        [&] { return stop_.load() != 0 || change_count_ != changesBefore; });
    // No cycle ran: a request to end it is spent.
    producerExit.exchange(0);
    return;
  }
  handle_.store(handle);
  // Release: a reader that sees the capture open also sees what was set up
  // before it (the graph file the console line names).
  opened_.fetch_add(1, std::memory_order_release);
  // A stop or change between the filter and the store above found no handle
  // to act on. A change that came before the count was taken shows only in
  // the state: the filter was built from an older one.
  bool changed = false;
  {
    std::lock_guard<std::mutex> guard(stop_mu_);
    if (stop_.load() != 0) {
      producerExit.exchange(1);
      handle_.store(kWinDivertInvalidHandle);
      closeCounted(handle);
    } else if (change_count_ != changesBefore || (failClose_.load() != 0) != failClose) {
      draining_.exchange(1);
      changed = true;
    }
  }
  if (changed) shutdownHandle(handle);

  std::thread producerThread;
  std::thread consumerThread;
  try {
    consumerThread = std::thread(&FromDevice::consumer, this);
    producerThread = std::thread(&FromDevice::producer, this, handle);
  } catch (const std::system_error& e) {
    FDEV_LOG(3, kTag, "Unable to start packet threads: %s", e.what());
    // A consumer without its producer is woken the producer's way.
    consumerExit.exchange(1);
    g_qmsg_queue.post(&g_consumer_wake);
    firstTakeFailed_.exchange(1);
  }
  if (producerThread.joinable()) producerThread.join();
  if (consumerThread.joinable()) consumerThread.join();

  closeHandle();
  producerExit.exchange(0);
  consumerExit.exchange(0);
  captureEnd_.store(nullptr);
  FDEV_LOG(6, kTag, "Exiting packet processing thread");
}

void FromDevice::producer(WinDivertHandle handle) {
  constexpr char kTag[] = "FromDevice::startPacketProcessing::producer";
  pthread_setname_np(pthread_self(), "fdev-producer");  // for top -H and perf
  cxCrashDumpThreadInit();
  cxLogSetPacketPathThread(true);
  FDEV_LOG(6, kTag, "producer packet thread started.");
  queueDropsSeen_ = 0;  // a new handle's queue counts from 0
  queueDropsCheckedAt_ = GetTickCount64();
  // The receive area: a blocked receive holds no block.
  auto packets = std::make_unique<uint8_t[]>(kBatchBytes);
  auto records = std::make_unique<WINDIVERT_ADDRESS[]>(kBatchPackets);
  _QMSGBLOCK* marker = g_capture_qmsg_pool.take();
  if (marker == nullptr) {
    FDEV_LOG(6, kTag, "Failed to get message block, existing producer thread");
    firstTakeFailed_.exchange(1);
    // Nothing of this cycle can reach the graph: what the handle took so far
    // goes back rather than being dropped at the close.
    handBack(handle, packets.get(), records.get());
    consumerExit.exchange(1);
    g_qmsg_queue.post(&g_consumer_wake);
    return;
  }
  qmsgblock_set_tag(marker, "producer");
  marker->msgtype = QMSG_PRODUCER_START;
  marker->capture_length = 0;
  marker->addr_length = 0;
  g_qmsg_queue.post(marker);

  bool drained = false;
  while (producerExit.load() == 0) {
    uint32_t received = 0;
    uint32_t addrLength = kBatchPackets * kRecordBytes;
    bool ok = WinDivertRecvEx(handle, packets.get(), kBatchBytes, &received, 0, records.get(),
                              &addrLength, nullptr);
    if (producerExit.load() != 0) {
      // The stop closes the handle, so a failed receive is expected here:
      // what was stolen goes back rather than being lost.
      if (ok) {
        WinDivertSendEx(handle, packets.get(), received, nullptr, 0, records.get(), addrLength,
                        nullptr);
      }
      break;
    }
    if (!ok) {
      uint32_t error = platform::last_error();
      if (error == kWinDivertErrorNoData) {
        // Shut down by a fail-close change, and all it took is posted.
        FDEV_LOG(6, kTag, "Windivert handle shut down and drained, exiting");
        drained = true;
        break;
      }
      GRAPH_LOG_LERR("WinDivertRecvEx");
      if (error == platform::kErrorInvalidHandle) {
        producerExit.exchange(1);
        FDEV_LOG(6, kTag, "Windivert Driver handle closed, exiting");
        continue;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    watchQueueDrops(handle);
    _QMSGBLOCK* block = takeCaptureBlock();
    if (block == nullptr) {
      // The consumer is behind: the batch is dropped, at once.
      releaseCaptured(records.get(), addrLength);
      continue;
    }
    block->msgtype = QMSG_PKT_CAPTURED;
    if (addrLength > kBatchPackets * kRecordBytes) addrLength = kBatchPackets * kRecordBytes;
    if (received > block->capture_capacity) received = block->capture_capacity;
    block->addr_length = addrLength;
    block->capture_length = received;
    std::memcpy(block->addr, records.get(), addrLength);
    std::memcpy(block->capture_buffer, packets.get(), received);
    g_qmsg_queue.post(block);
  }
  if (drained && postCaptureEnd()) return;
  consumerExit.exchange(1);
  g_qmsg_queue.post(&g_consumer_wake);
}

void FromDevice::releaseCaptured(const WINDIVERT_ADDRESS* records, uint32_t addrLength) {
  uint32_t n = addrLength / kRecordBytes;
  if (n > kBatchPackets) n = kBatchPackets;
  if (n > 0) platform::divert::release_received(handle_.load(std::memory_order_relaxed), records, n);
}

void FromDevice::watchQueueDrops(WinDivertHandle handle) {
  // Read once a second: the kernel's count lives in a file.
  const uint64_t now = GetTickCount64();
  if (now - queueDropsCheckedAt_ < 1000) return;
  queueDropsCheckedAt_ = now;
  platform::divert::DivertCounters counters;
  if (!platform::divert::get_counters(handle, &counters)) return;
  if (counters.overflow > queueDropsSeen_) {
    FDEV_LOG_LIMITED(3, "FromDevice::startPacketProcessing::producer",
                     "capture queue full: %llu packets dropped by the kernel",
                     static_cast<unsigned long long>(counters.overflow - queueDropsSeen_));
  }
  queueDropsSeen_ = counters.overflow;
}

void FromDevice::logCaptureCounters(const platform::divert::DivertCounters& c) {
  FDEV_LOG(6, "FromDevice::startPacketProcessing",
           "Capture counters: seen %llu, stolen %llu, received %llu, reinjected %llu (%llu in "
           "place), expired %llu, bad checksums %llu, queue drops %llu, oversize %llu, send drops "
           "%llu",
           static_cast<unsigned long long>(c.seen), static_cast<unsigned long long>(c.stolen),
           static_cast<unsigned long long>(c.received),
           static_cast<unsigned long long>(c.reinjected),
           static_cast<unsigned long long>(c.by_verdict),
           static_cast<unsigned long long>(c.expired),
           static_cast<unsigned long long>(c.checksum_dropped),
           static_cast<unsigned long long>(c.overflow),
           static_cast<unsigned long long>(c.oversize),
           static_cast<unsigned long long>(c.send_dropped));
}

_QMSGBLOCK* FromDevice::takeCaptureBlock() {
  _QMSGBLOCK* block = g_capture_qmsg_pool.take();
  // What a shut-down handle hands out is all there will be: worth waiting
  // for, as the consumer frees a block with every batch it finishes.
  while (block == nullptr && draining_.load() != 0 && producerExit.load() == 0 &&
         stop_.load() == 0) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    block = g_capture_qmsg_pool.take();
  }
  return block;
}

bool FromDevice::postCaptureEnd() {
  _QMSGBLOCK* end = takeCaptureBlock();
  if (end == nullptr) return false;
  qmsgblock_set_tag(end, "producer");
  // A copy another cycle's consumer meets is released unhandled.
  end->msgtype = QMSG_NOP;
  end->capture_length = 0;
  end->addr_length = 0;
  captureEnd_.store(end);
  if (g_qmsg_queue.post(end)) return true;
  captureEnd_.store(nullptr);
  return false;
}

void FromDevice::handBack(WinDivertHandle handle, uint8_t* packets, WINDIVERT_ADDRESS* records) {
  WinDivertShutdown(handle, WINDIVERT_SHUTDOWN_RECV);
  while (producerExit.load() == 0) {
    uint32_t received = 0;
    uint32_t addrLength = kBatchPackets * kRecordBytes;
    if (!WinDivertRecvEx(handle, packets, kBatchBytes, &received, 0, records, &addrLength,
                         nullptr)) {
      // An oversized packet is dropped by the layer; anything else ends it.
      if (platform::last_error() == kWinDivertErrorInsufficientBuffer) continue;
      return;
    }
    WinDivertSendEx(handle, packets, received, nullptr, 0, records, addrLength, nullptr);
  }
}

void FromDevice::consumer() {
  constexpr char kTag[] = "FromDevice::startPacketProcessing::consumer";
  pthread_setname_np(pthread_self(), "fdev-consumer");  // for top -H and perf
  cxCrashDumpThreadInit();
  cxLogSetPacketPathThread(true);
  FDEV_LOG(6, kTag, "consumer packet thread started.");
  // Whatever was queued before this cycle's marker is stale.
  for (;;) {
    _QMSGBLOCK* block = g_qmsg_queue.wait();
    if (block == &g_consumer_wake) {
      if (consumerExit.load() != 0) return;
      continue;
    }
    bool marker = block->msgtype == QMSG_PRODUCER_START;
    qmsgblock_release(block);
    if (marker) break;
  }
  for (;;) {
    if (consumerMustExit()) return;
    _QMSGBLOCK* block = wait_block_or_deadline();
    if (block == nullptr) {
      run_due_deadlines();
      continue;
    }
    if (block == &g_consumer_wake) continue;
    if (consumerMustExit()) {
      qmsgblock_release(block);
      return;
    }
    if (block == captureEnd_.load()) {
      // Every batch the shut-down handle took has been through the graph;
      // what the graph passed goes out on that handle before it is closed.
      qmsgblock_release(block);
      drain_pending_send();
      return;
    }
    switch (block->msgtype) {
      case QMSG_PKT_CAPTURED:
        process_captured_batch(block);
        if (consumerMustExit()) break;
        // What the graph passed goes out first; then the layer lets go at
        // once of what the graph consumed, instead of holding it queued.
        drain_pending_send();
        releaseCaptured(block->addr, block->addr_length);
        break;
      case QMSG_PKT_OVERLAY:
      case QMSG_IOMSG:
      case QMSG_CMD_RECONFIGURE:
      case QMSG_CMD_START:
      case QMSG_CMD_STOP:
      case QMSG_CMD_SET_FAIL_OPEN:
      case QMSG_CMD_SET_FAIL_CLOSE:
      case QMSG_CMD_SET_ALLOW_CWP:
      case QMSG_CMD_SET_BLOCK_CWP:
      case QMSG_CMD_SET_DC_MANAGED:
      case QMSG_CMD_SET_DC_UNMANAGED:
        process_incoming_tun_pkt(block);
        break;
      case QMSG_NOP:
        break;
      default:
        FDEV_LOG_LIMITED(3, kTag, "g_fromDeviceConsumer got unknown msgtype:%d\n", block->msgtype);
        break;
    }
    qmsgblock_release(block);
    if (consumerMustExit()) return;
    drain_pending_send();
    // Under steady traffic the wait never times out; deadlines that passed
    // meanwhile run here.
    run_due_deadlines();
  }
}

_QMSGBLOCK* FromDevice::wait_block_or_deadline() {
  const uint64_t earliest = deadline_hook_earliest();
  if (earliest == 0) return g_qmsg_queue.wait();
  const uint64_t now = deadline_now();
  // Due already: look at the queue without waiting, so that callbacks that
  // keep coming due never starve it.
  if (earliest <= now) return g_qmsg_queue.wait_for(0);
  const uint64_t usecs = (earliest - now + 999) / 1000;
  return g_qmsg_queue.wait_for(static_cast<int64_t>(usecs));
}

void FromDevice::run_due_deadlines() {
  const uint64_t earliest = deadline_hook_earliest();
  if (earliest == 0) return;
  const uint64_t now = deadline_now();
  if (earliest > now) return;
  if (deadline_hook_run_due(now) == 0 || consumerMustExit()) return;
  drain_pending_send();
}

void FromDevice::process_incoming_tun_pkt(_QMSGBLOCK* block) {
  constexpr char kTag[] = "FromDevice::process_incoming_tun_pkt";
  if (block == nullptr || block->data == nullptr) {
    FDEV_LOG(4, kTag, "cannot process qmsgblock as the associated qblock is released");
    return;
  }
  if (block->enqueue_tick != 0) {
    uint64_t now = GetTickCount64();
    if (now > block->enqueue_tick && now - block->enqueue_tick > 100) {
      FDEV_LOG_LIMITED(7, kTag, "consumer: queueing delay %llu ms\n",
                       static_cast<unsigned long long>(now - block->enqueue_tick));
    }
  }
  const uint8_t* payload = block->data;
  uint32_t length = block->data_length;
  if (length > block->data_capacity) length = block->data_capacity;
  if (block->msgtype == QMSG_PKT_OVERLAY) {
    if (length < 4) {
      FDEV_LOG_LIMITED(4, kTag, "overlay block of %u bytes has no packet, dropped", length);
      return;
    }
    payload += 4;
    length -= 4;
  }
  Packet* p = Packet::make(headroom_, payload, length);
  if (p == nullptr) return;
  p->set_network_header(p->data(), 0);
  p->set_control_kind_anno(control_channel_kind(qmsgblock_tag(block)));
  p->set_msgtype(static_cast<uint8_t>(block->msgtype));
  p->set_timestamp(Timestamp::now());
  if (block->msgtype == QMSG_PKT_OVERLAY)
    std::memcpy(p->anno() + kOverlayPathAnnoOffset, block->data, 4);
  if (!has_output_) {
    p->release();
    return;
  }
  output(0).push(p);
}

void FromDevice::process_captured_batch(_QMSGBLOCK* block) {
  uint8_t* cursor = block->capture_buffer;
  uint32_t remaining = block->capture_length;
  if (remaining > block->capture_capacity) remaining = block->capture_capacity;
  uint32_t nrecords = block->addr_length / kRecordBytes;
  if (nrecords > kBatchPackets) nrecords = kBatchPackets;
  const Timestamp now = Timestamp::now();

  uint32_t i = 0;
  for (; i < nrecords && cursor != nullptr && remaining > 0; ++i) {
    WINDIVERT_IPHDR* ip = nullptr;
    void* next = nullptr;
    uint32_t nextLength = 0;
    bool parsed = WinDivertHelperParsePacket(cursor, remaining, &ip, nullptr, nullptr, nullptr,
                                             nullptr, nullptr, nullptr, &next, &nextLength);
    if (!parsed && next == nullptr) {
      // Not even the IPv4 framing holds: nothing after it can be found.
      uint16_t total = remaining >= 4 ? static_cast<uint16_t>(cursor[2] << 8 | cursor[3]) : 0;
      if (remaining < 20 || (cursor[0] >> 4) != 4 || total < 20 || total > remaining) break;
    }
    uint32_t length = remaining - nextLength;
    WINDIVERT_ADDRESS* record = &block->addr[i];
    uint8_t* packet = cursor;
    cursor = static_cast<uint8_t*>(next);
    remaining = nextLength;
    if (!parsed) {
      // A transport header that does not hold: no element could examine the
      // packet, and sending it on unexamined would pass it around them all.
      refused_.fetch_add(1, std::memory_order_relaxed);
      FDEV_LOG_LIMITED(4, "FromDevice::process_captured_batch",
                       "malformed packet of %u bytes dropped", length);
      continue;
    }

    if (!WinDivertHelperCalcChecksums(
            ip, length, record,
            WINDIVERT_HELPER_NO_IP_CHECKSUM | WINDIVERT_HELPER_NO_ICMP_CHECKSUM) &&
        platform::last_error() != 0) {
      GRAPH_LOG_LERR_LIMITED("WinDivertHelperCalcChecksums");
    }
    if (ip != nullptr && (record->Flags & kLoopbackBit) == 0) {
      cache_windivert_ipv4addr2idx(ip, record);
      uint32_t dst = ntohl(ip->DstAddr);
      if ((dst & 0xF0000000u) != 0xE0000000u && dst != 0xFFFFFFFFu &&
          !is_broadcast_address(ip->DstAddr)) {
        Packet* p = Packet::make(headroom_, packet, length);
        if (p == nullptr) continue;
        // The block is refilled once released: the packet keeps its own copy.
        set_capture_record(p, *record);
        uint32_t ihl = WinDivertIpHdrLength(ip);
        p->set_network_header(p->data(), ihl);
        p->set_timestamp(now);
        // The header checksum of the copy: standard sum with the field as 0.
        unsigned char* h = p->data();
        h[10] = 0;
        h[11] = 0;
        uint32_t sum = 0;
        for (uint32_t k = 0; k + 1 < ihl; k += 2)
          sum += static_cast<uint32_t>(h[k] << 8 | h[k + 1]);
        while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
        uint16_t check = static_cast<uint16_t>(~sum);
        h[10] = static_cast<unsigned char>(check >> 8);
        h[11] = static_cast<unsigned char>(check);
        p->set_msgtype(QMSG_PKT_CAPTURED);
        dumpPacket(p->data(), p->length());
        if (!has_output_) {
          // Outside a graph the element only passes traffic through.
          pending_send_.push_back(p);
          continue;
        }
        output(0).push(p);
        continue;
      }
    }
    if (destination_internet_.load(std::memory_order_relaxed) != 0) continue;
    batchAdd(reinject_, packet, length, *record);
  }
  // Packets behind a break in the framing cannot be found: dropped too.
  if (i < nrecords && remaining > 0) refused_.fetch_add(nrecords - i, std::memory_order_relaxed);
  batchFlush(reinject_);
}

void FromDevice::cache_windivert_ipv4addr2idx(const WINDIVERT_IPHDR* header,
                                              const WINDIVERT_ADDRESS* record) {
  if ((record->Flags & kOutboundBit) == 0 || header->SrcAddr == 0) return;
  if (!addr2ifidx_) addr2ifidx_ = std::make_unique<HashMap<uint32_t, int>>(&map_arenas_);
  int index = static_cast<int>(record->IfIdx);
  if (int* known = addr2ifidx_->find(header->SrcAddr)) {
    *known = index;
    return;
  }
  FDEV_LOG(6, "FromDevice::cache_windivert_ipv4addr2idx", "IF_ADDR_ADD_EVENT: src=%s , dst=%s",
           IPAddress(header->SrcAddr).to_string().c_str(),
           IPAddress(header->DstAddr).to_string().c_str());
  addr2ifidx_->insert(header->SrcAddr, index);
  rebuildBroadcastMap();
}

void FromDevice::rebuildBroadcastMap() {
  broadcast_map_ = std::make_unique<HashMap<uint32_t, int>>(&map_arenas_);
  std::vector<platform::Adapter> adapters;
  uint32_t error =
      address_source_ ? address_source_(&adapters) : platform::list_adapters(AF_INET, &adapters);
  if (error != 0) {
    platform::set_last_error(error);
    GRAPH_LOG_LERR("GetIpAddrTable");
    return;
  }
  for (const platform::Adapter& adapter : adapters) {
    for (const platform::AdapterAddress& a : adapter.addresses) {
      // A /31 or /32 has no broadcast address: the key would be the host's
      // own address.
      if (a.family != AF_INET || a.prefix_len >= 31) continue;
      uint32_t address;
      std::memcpy(&address, a.addr, 4);
      uint32_t key = address | ~IPAddress::make_prefix(a.prefix_len).addr();
      broadcast_map_->insert(key, static_cast<int>(adapter.index));
      FDEV_LOG(6, "FromDevice::cache_windivert_ipv4addr2idx", "caching bcastaddr %d:%s",
               static_cast<int>(adapter.index), IPAddress(key).to_string().c_str());
    }
  }
}

int FromDevice::ipv4_addr2ifidx(uint32_t address) const {
  if (!addr2ifidx_) return -1;
  const int* index = addr2ifidx_->find(address);
  return index != nullptr ? *index : -1;
}

bool FromDevice::is_broadcast_address(uint32_t address) const {
  return broadcast_map_ && broadcast_map_->find(address) != nullptr;
}

void FromDevice::reportFlow(Packet* p) {
  AggregateNotifier* flows = AggregateIPFlows::registered_notifier();
  if (flows == nullptr || p->aggregate_anno() == 0) return;
  uint32_t index = p->flow_index_anno();
  if (index < 1 || index > AggregateIPFlows::kIndexSlots ||
      index > AggregateIPFlows::registered_record_count()) {
    return;
  }
  AggregateIPFlows::StatFlowInfo* record = AggregateIPFlows::registered_record(index);
  if (record == nullptr || record->new_announced) return;
  if (record->tx_if[0] == '\0') std::memcpy(record->tx_if, "WAN", 4);
  flows->notify(record->aggregate, NEW_AGG, record, p);
  record->new_announced = 1;
}

void FromDevice::drain_pending_send() {
  constexpr char kTag[] = "FromDevice::selected";
  int taken = 0;
  for (; taken < pending_send_.size(); ++taken) {
    Packet* p = pending_send_[taken];
    reportFlow(p);
    if (!p->peer_wan_ip_anno().empty()) {
      FDEV_LOG(7, kTag, "selected: Writing pending dequeue packet to SSL Socket");
      if (TunnelPacketWriter* writer = tunnel_packet_writer()) {
        writer->write_packet(p->peer_wan_ip_anno(), p->peer_local_ip_anno(), p->data(),
                             p->length());
      }
    } else {
      WINDIVERT_ADDRESS record;
      bool haveRecord = false;
      if (p->decap_mark_anno() == kDecapMark) {
        uint32_t dst = 0;
        if (p->length() >= 20) std::memcpy(&dst, p->data() + 16, 4);
        int index = ipv4_addr2ifidx(dst);
        if (index >= 0) {
          std::memset(&record, 0, sizeof record);
          record.IfIdx = static_cast<uint32_t>(index);
          haveRecord = true;
        } else {
          FDEV_LOG_LIMITED(3, "FromDevice::ipv4_addr2ifidx",
                           "ipv4_addr2ifidx: failed to resolve for %s",
                           IPAddress(dst).to_string().c_str());
        }
      } else {
        haveRecord = capture_record_of(p, &record);
      }
      if (haveRecord) {
        // Only the bytes the IPv4 header frames go out: a batch that does
        // not split exactly is refused whole.
        const unsigned char* d = p->data();
        uint32_t total = p->length() >= 20 ? static_cast<uint32_t>(d[2] << 8 | d[3]) : 0;
        if ((d[0] >> 4) != 4 || total < 20 || total > p->length()) {
          FDEV_LOG_LIMITED(3, kTag, "drain: packet of %u bytes is not IPv4, not sent", p->length());
        } else {
          if (!WinDivertHelperCalcChecksums(p->data(), total, &record, 0) &&
              platform::last_error() != 0) {
            GRAPH_LOG_LERR_LIMITED("WinDivertHelperCalcChecksums");
          }
          dumpPacket(p->data(), total);
          batchAdd(drain_, p->data(), total, record);
        }
      }
    }
    p->release();
    if (consumerMustExit()) {
      ++taken;
      break;
    }
  }
  // What was taken is sent, also when the cycle is ending; the rest stays.
  batchFlush(drain_);
  if (taken == pending_send_.size()) {
    pending_send_.clear();
    return;
  }
  Vector<Packet*> rest;
  for (int i = taken; i < pending_send_.size(); ++i) rest.push_back(pending_send_[i]);
  pending_send_ = std::move(rest);
}

void FromDevice::makeBatches() {
  // The consumer's areas, made once per element.
  for (SendBatch* batch : {&reinject_, &drain_}) {
    if (batch->bytes) continue;
    batch->bytes = std::make_unique<uint8_t[]>(kBatchBytes);
    batch->records = std::make_unique<WINDIVERT_ADDRESS[]>(kBatchPackets);
  }
}

void FromDevice::batchAdd(SendBatch& batch, const uint8_t* data, uint32_t length,
                          const WINDIVERT_ADDRESS& record) {
  if (length > kBatchBytes) return;
  if (batch.length + length > kBatchBytes) batchFlush(batch);
  std::memcpy(batch.bytes.get() + batch.length, data, length);
  batch.records[batch.count] = record;
  batch.length += length;
  ++batch.count;
  if (batch.count == kBatchPackets) batchFlush(batch);
}

void FromDevice::batchFlush(SendBatch& batch) {
  if (batch.count == 0) return;
  // Failures are not looked at: a closed handle ends the cycle anyway.
  WinDivertSendEx(handle_.load(std::memory_order_relaxed), batch.bytes.get(), batch.length, nullptr,
                  0, batch.records.get(), batch.count * kRecordBytes, nullptr);
  batch.count = 0;
  batch.length = 0;
  send_calls_.fetch_add(1, std::memory_order_relaxed);
}

void FromDevice::dumpPacket(const uint8_t* data, uint32_t length) {
  uint16_t n = static_cast<uint16_t>(length > 0xFFFF ? 0xFFFF : length);
  if (cx_pktdump_queued.load(std::memory_order_relaxed)) {
    cx_pktdump_writer().pushData(data, n);
    return;
  }
  cx_pktdump_write(data, n);
}

void graph_log_last_error(const char* name, const char* function, const char* file, int line,
                          cxLogLimiter* limiter) {
  uint32_t error = platform::last_error();
  if (limiter != nullptr) {
    log_syslog_level_limited(limiter, 3, function, file, line, "%s failed, error:%s(%d)\n", name,
                             ErrorText(error), static_cast<int>(error));
    return;
  }
  log_syslog_level(3, function, file, line, "%s failed, error:%s(%d)\n", name, ErrorText(error),
                   static_cast<int>(error));
}
