// FromDevice: the element through which the host's IPv4 traffic enters the
// graph and through which what leaves the graph goes back to the host.
//
// It owns the divert capture handle, the capture worker thread and the list
// of packets waiting to be sent. Each capture cycle of the worker builds the
// filter text from the fail-close state and the work directory's
// "ostrel-exclusions.json", opens the handle, moves packets until the handle
// is closed or a stop is asked for, and closes the handle again. A fail-close
// change while the worker runs closes the handle, so the next cycle reopens it
// with the other filter.
//
// Until the producer and consumer threads take over, a cycle receives each
// batch and sends it straight back unchanged, so nothing captured is lost.
//
// Registration: the constructor registers the element as the fail-close
// listener of `FailCloseMgr::GetInstance()` (the last constructed wins) and
// the destructor unregisters it; `initialize` puts it in entry 0 of its home
// scheduler thread's select table.
//
// Threads: `configure`, `initialize` and the destructor run on the thread
// that builds the router. `UpdateFailClose` runs on whichever thread changes
// the fail-close verdict. The filter text and the exclusion list belong to the
// worker thread once it runs. The flags and the handle are atomic.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_FROMDEVICE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_FROMDEVICE_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "graph/element.h"
#include "graph/string.h"
#include "graph/string_builder.h"
#include "graph/vector.h"
#include "ostgraphsvc/failclose/fail_close_update.h"
#include "platform/divert/divert.h"

class Packet;

// 1 while the filter captures only the virtual interface; read by the policy
// lookup, cleared by `FromDevice::exit`.
extern std::atomic<uint8_t> destination_internet_flag;

class FromDevice : public Element, public IFailCloseUpdate {
 public:
  static constexpr uint32_t kHeadroom = 206;
  // Wait after a failed open before the next cycle tries again.
  static constexpr int kOpenRetryMs = 1000;

  FromDevice();
  ~FromDevice() override;

  const char* class_name() const override { return "FromDevice"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kPush; }
  int configure_phase() const override { return 0; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;

  bool UpdateFailClose(bool effective) override;

  void StartWindivertWorkerThread();
  void readAppExclusions();
  void PrepareWinDivertFilter(bool failClose);
  // One capture cycle of the worker.
  void startPacketProcessing(bool failClose);
  // The stop path: the worker ends after its current cycle.
  void exit();

  // Packets handed over by the output elements; owned by this element.
  Vector<Packet*>& pending_send() { return pending_send_; }

  // For tests and diagnostics.
  String filter_text() const { return String(filter_.data(), filter_.length()); }
  const Vector<String>& excluded_processes() const { return excluded_processes_; }
  uint16_t dtls_port() const { return dtls_port_; }
  uint32_t headroom() const { return headroom_; }
  bool thread_running() const { return threadRunning.load() != 0; }
  bool fail_close_state() const { return failClose_.load() != 0; }
  uint8_t destination_internet() const { return destination_internet_.load(); }
  WinDivertHandle handle() const { return handle_.load(); }

 private:
  void workerLoop();
  // The interim step between open and close: every batch goes straight back.
  void relayBatches(WinDivertHandle handle);
  void closeHandle();
  void setDestinationInternet(uint8_t value, const char* bypassStatus);
  // Sleeps up to `ms`, cut short by the stop flag or a fail-close change.
  void waitBeforeRetry(int ms);

  std::atomic<uint8_t> threadRunning{0};
  std::atomic<uint8_t> failClose_{0};
  std::atomic<uint8_t> producerExit{0};
  std::atomic<uint8_t> stop_{0};
  std::atomic<uint8_t> consumerExit{0};
  std::mutex stop_mu_;
  std::condition_variable stop_cond_;
  // Bumped by every fail-close change, so a retry wait sees it.
  uint64_t change_count_ = 0;  // guarded by stop_mu_

  uint16_t dtls_port_ = 0;  // network order
  uint32_t headroom_ = 0;
  Vector<Packet*> pending_send_;
  StringBuilder filter_;
  Vector<String> excluded_processes_;
  std::atomic<uint8_t> destination_internet_{0};
  std::atomic<WinDivertHandle> handle_{kWinDivertInvalidHandle};
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_FROMDEVICE_H_
