// OstrelOverlayMsg: the end of the overlay control plane on this node.
//
// It receives the control packets the overlay element decapsulated (input 0,
// data at the inner IPv4 header), parses them and hands each, by kind, to the
// sending peer's handler (overlay_msg_handlers.h) or to the probe of the path
// it came in on (overlay_probes.h). On every tick (input 1) it runs the path
// probes and, at most every 5 s, asks every handler of every connected peer
// whether its message is due and sends what they build. Every control packet
// it sends gets its UDP and IPv4 headers here and leaves on output 0 towards
// the overlay element's encapsulation, marked as control.
//
// Ports "2/1", push. Class "OstrelOverlayMsg"; the overlay element finds it
// as "ostOverlayMsg", and it finds the overlay element as "ostOverlay".
//
// The tick thread, started at initialize, posts one "iomsg" block from a ring
// of its own every 5 s, or every 0.5 s once any probe asked for the fast rate
// (`statemsg_fast_timer`, never cleared; the wait running when it is set is
// cut to 0.5 s). It waits on a condition variable against the monotonic tick
// (GetTickCount64); `cleanup` wakes and joins it. Tests that step the tick
// call `wake_statemsg_timer` afterwards.
//
// Threads: push, run_task and everything they call run on the packet thread.
// The probe walk, the state-message pass and each received message run under
// the overlay element's lock, with the probe list's lock inside it. Failed
// connections are torn down and the overlays reconnected after both locks are
// released, since the transport's own mutexes come before the overlay lock.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_MSG_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_MSG_H_

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "graph/element.h"
#include "graph/ipaddress.h"
#include "graph/ost_connection_key.h"
#include "graph/task.h"
#include "graph/vector.h"

class OstrelOverlay;
class OverlayDescriptor;
class OverlayPeerDescriptor;
class QMsgBlockPool;

// Set by the first tick that finds a probe asking for the fast rate.
std::atomic<bool>& statemsg_fast_timer();

class OstrelOverlayMsg : public Element {
 public:
  static constexpr int kNotFoundLogPeriod = 120;
  static constexpr uint64_t kStateMsgIntervalMs = 5000;
  static constexpr uint64_t kSlowTickMs = 5000;
  static constexpr uint64_t kFastTickMs = 500;
  static constexpr uint32_t kMaxFailedKeys = 64;

  OstrelOverlayMsg();
  ~OstrelOverlayMsg() override;

  const char* class_name() const override { return "OstrelOverlayMsg"; }
  const char* port_count() const override { return "2/1"; }
  const char* processing() const override { return kPush; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void cleanup(CleanupStage stage) override;
  void push(int port, Packet* p) override;
  bool run_task(Task*) override;

  void consume_state_packet(Packet* p);
  // Takes every packet of `packets` (sent or released) and empties it. True
  // when every category-1 packet went out.
  bool send_overlay_pkts(OverlayPeerDescriptor* opd, IPAddress src, Vector<Packet*>& packets);
  // The packet with its UDP and IPv4 headers; null (released) on failure.
  Packet* prepend_udp_ip_headers(Packet* p, uint32_t path_id, IPAddress src, IPAddress dst);
  void send_state_msgs();
  void send_probes();
  void send_quick_probe(OverlayDescriptor* od);
  void start_statemsg_timer();
  // Makes the tick thread look at the clock again (tests stepping the tick).
  void wake_statemsg_timer();

  OstrelOverlay* overlay() const { return overlay_; }
  // Wires the overlay element without a graph (fuzzers, benchmarks).
  void set_overlay(OstrelOverlay* overlay) { overlay_ = overlay; }
  // The tick thread's ring while it runs (tests).
  QMsgBlockPool* tick_ring() const { return ring_.get(); }
  // When the next state-message pass is due in fast mode (tests).
  uint64_t next_statemsg_ms() const { return next_statemsg_ms_; }
  bool timer_running() const { return thread_started_; }

 private:
  // `start`: when the first wait began; a switch to the fast rate shortens
  // a wait to one fast period after it began.
  void statemsg_timer_callback(uint64_t start, uint64_t first_deadline);
  // Sets statemsg_fast_timer when some probe of the list asks for the fast
  // rate; true when it is set.
  bool check_fast_rate();
  void stop_statemsg_timer();
  OstrelOverlay* find_overlay();

  int not_found_count_ = 0;
  int not_found_log_period_ = kNotFoundLogPeriod;
  uint16_t identification_ = 0;
  Task task_;
  uint64_t next_statemsg_ms_;
  bool previous_fast_ = false;
  OstrelOverlay* overlay_ = nullptr;
  bool thread_started_ = false;

  std::thread thread_;
  std::mutex timer_mutex_;
  std::condition_variable timer_cv_;
  bool timer_stop_ = false;
  std::unique_ptr<QMsgBlockPool> ring_;
  // Reused by every pass so that a tick allocates nothing once warm.
  Vector<Packet*> packets_;
  Vector<OstRemoteWANIPLocalIPPair> failed_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_MSG_H_
