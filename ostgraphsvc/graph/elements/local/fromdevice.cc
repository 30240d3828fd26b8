#include "ostgraphsvc/graph/elements/local/fromdevice.h"

#include <arpa/inet.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/ipaddress.h"
#include "graph/json.h"
#include "graph/master.h"
#include "graph/packet.h"
#include "graph/router_log.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "platform/error/win_error.h"

std::atomic<uint8_t> destination_internet_flag{0};

namespace {

constexpr char kExclusionsFile[] = "ostrel-exclusions.json";
constexpr int kClauseLimit = 2048;
constexpr uint32_t kReceiveBytes = 382500;
constexpr char kBaseClause[] = "(remotePort != 67) && ((impostor && inbound)? false : true)";

#define FDEV_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

// The system's text for the few codes the receive loop meets.
const char* ErrorText(uint32_t error) {
  switch (error) {
    case 6:
      return "The handle is invalid.";
    case 87:
      return "The parameter is incorrect.";
    case 122:
      return "The data area passed to a system call is too small.";
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
  if (threadRunning.load() != 0) {
    exit();
    closeHandle();
    while (threadRunning.load() != 0) {
      closeHandle();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  // The list owns its packets.
  for (Packet* p : pending_send_) p->release();
  pending_send_.clear();
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
  }
  stop_cond_.notify_all();
  if (threadRunning.load() == 0) {
    StartWindivertWorkerThread();
    return false;
  }
  producerExit.exchange(1);
  closeHandle();
  return true;
}

void FromDevice::closeHandle() {
  WinDivertHandle handle = handle_.exchange(kWinDivertInvalidHandle);
  if (handle == kWinDivertInvalidHandle) return;
  if (!WinDivertClose(handle)) {
    FDEV_LOG(3, "FromDevice::closeHandle", "Unable to close Windivert handle. Error: %d\n",
             static_cast<int>(platform::last_error()));
  }
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

void FromDevice::exit() {
  {
    std::lock_guard<std::mutex> guard(stop_mu_);
    stop_.exchange(1);
  }
  producerExit.exchange(1);
  destination_internet_flag.store(0);
  stop_cond_.notify_all();
}

void FromDevice::workerLoop() {
  constexpr char kTag[] = "FromDevice::StartWindivertWorkerThread";
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
  } while (stop_.load() == 0);
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

  // A change that arrives from here on closes the handle we are about to
  // open, or is seen by the retry wait.
  uint64_t changesBefore;
  {
    std::lock_guard<std::mutex> guard(stop_mu_);
    changesBefore = change_count_;
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
    producerExit.exchange(0);
    return;
  }
  handle_.store(handle);
  // A change or stop between the filter and the store above found no handle
  // to close; close it now so the cycle does not wait for the next packet.
  {
    std::lock_guard<std::mutex> guard(stop_mu_);
    if (change_count_ != changesBefore || stop_.load() != 0) producerExit.exchange(1);
  }

  relayBatches(handle);

  closeHandle();
  producerExit.exchange(0);
  consumerExit.exchange(0);
  FDEV_LOG(6, kTag, "Exiting packet processing thread");
}

void FromDevice::relayBatches(WinDivertHandle handle) {
  constexpr char kTag[] = "FromDevice::startPacketProcessing::producer";
  auto packets = std::make_unique<uint8_t[]>(kReceiveBytes);
  auto records = std::make_unique<WINDIVERT_ADDRESS[]>(WINDIVERT_BATCH_MAX);
  while (producerExit.load() == 0) {
    uint32_t received = 0;
    uint32_t addrLength = WINDIVERT_BATCH_MAX * sizeof(WINDIVERT_ADDRESS);
    if (!WinDivertRecvEx(handle, packets.get(), kReceiveBytes, &received, 0, records.get(),
                         &addrLength, nullptr)) {
      uint32_t error = platform::last_error();
      FDEV_LOG(3, kTag, "%s failed, error:%s(%d)\n", "WinDivertRecvEx", ErrorText(error),
               static_cast<int>(error));
      if (error == 6) {
        producerExit.exchange(1);
        FDEV_LOG(6, kTag, "Windivert Driver handle closed, exiting");
        continue;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    // Sent back even when an exit came meanwhile: what was stolen is not lost.
    WinDivertSendEx(handle, packets.get(), received, nullptr, 0, records.get(), addrLength,
                    nullptr);
  }
}
