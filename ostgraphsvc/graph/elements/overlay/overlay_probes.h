// Path probes: latency, jitter and keepalive of one overlay path.
//
// A probe decides when it is due, builds its request (an
// OstrelOverlayStateMsg of its kind carrying a ProbeMsg), is told when the
// request went out and consumes the answer, writing what it measured into its
// path (OverlayDescriptor): one-way latency, jitter and the remote side's
// up/down state. It also answers the peer's requests of its kind. Probes own
// no thread or timer: the message element (OstrelOverlayMsg) drives them from
// its tick through the process-wide probe list, `overlay_probes()`.
//
// Every time here is a millisecond of the monotonic tick (GetTickCount64,
// platform/clock), the clock the data plane stamps a path's receive and
// transmit times with, so that tests can set it.
//
// Ownership: a path owns its probes (its destructor takes them out of the
// list and deletes them); the list does not own them. A probe keeps a raw
// pointer to its path.
//
// Threads: probe operations run on the packet thread under the overlay lock
// of the message element's overlay. The list is changed by transport threads
// as paths come and go: `insert_overlay_probe` and `remove_overlay_probe`
// take the registered overlay's lock and then `overlay_probe_lock()`, the
// order the message element's walk uses. The keepalive time-out and the
// path's remote-up flag and receive time are atomics, written by transport
// threads.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_PROBES_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_PROBES_H_

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>

#include "graph/ipaddress.h"
#include "graph/packet.h"
#include "graph/string.h"
#include "graph/vector.h"
#include "ostgraphsvc/overlaymsg/overlay_msg_type.h"

class OstrelOverlay;
class OstrelOverlayStateMsg;
class OverlayDescriptor;

enum ProbeType : uint32_t {
  PROBE_TYPE_NONE = 0,
  PROBE_TYPE_SILENCE = 1,
  PROBE_TYPE_LATENCY = 2,
  PROBE_TYPE_JITTER = 4,
  PROBE_TYPE_KEEPALIVE = 16,
};

// "PROBE_TYPE_NONE" ... "PROBE_TYPE_KEEPALIVE"; "" for any other value.
const char* probe_type_name(uint32_t type);

class OstrelOverlayProbeInterface {
 public:
  virtual ~OstrelOverlayProbeInterface() = default;
  virtual bool should_send_probe(OverlayDescriptor* od) = 0;
  // The request, or null.
  virtual Packet* build_probe_packet(OverlayDescriptor* od) = 0;
  virtual void probe_sent(OverlayDescriptor* od) = 0;
  virtual void consume_probe(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                             OverlayDescriptor* od) = 0;
  virtual String probe_name() = 0;
  virtual bool fast_probe_required() { return false; }

  uint32_t probe_type() const { return type_; }
  OverlayDescriptor* path() const { return path_; }
  IPAddress local_address() const { return local_; }
  IPAddress peer_address() const { return peer_; }

 protected:
  OstrelOverlayProbeInterface(uint32_t type, IPAddress local, IPAddress peer,
                              OverlayDescriptor* path);
  // A new id from 0 to 32767.
  uint32_t draw_id() { return static_cast<uint32_t>(rng_() % 32768u); }

  uint32_t type_;
  OverlayDescriptor* path_;  // not owned; owns this probe
  IPAddress local_;
  IPAddress peer_;
  std::minstd_rand rng_;
};

class OverlayLatencyProbe : public OstrelOverlayProbeInterface {
 public:
  static constexpr uint64_t kIntervalMs = 30000;
  static constexpr uint64_t kLateMs = 3000;

  OverlayLatencyProbe(IPAddress local, IPAddress peer, OverlayDescriptor* path);
  bool should_send_probe(OverlayDescriptor* od) override;
  Packet* build_probe_packet(OverlayDescriptor* od) override;
  void probe_sent(OverlayDescriptor* od) override;
  void consume_probe(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                     OverlayDescriptor* od) override;
  String probe_name() override { return String("Latency Prober"); }
  static Packet* build_probe_response(const OstrelOverlayStateMsg& request, OverlayDescriptor* od);

  uint64_t last_send_ms = 0;
  uint32_t current_id;
};

class OverlayJitterProbe : public OstrelOverlayProbeInterface {
 public:
  static constexpr int kSlots = 30;
  static constexpr int kBurstSends = 29;
  static constexpr uint32_t kComputeAt = 27;
  static constexpr uint64_t kIntervalMs = 300000;
  static constexpr uint64_t kAnswerWindowMs = 60000;

  OverlayJitterProbe(IPAddress local, IPAddress peer, OverlayDescriptor* path);
  bool should_send_probe(OverlayDescriptor* od) override;
  Packet* build_probe_packet(OverlayDescriptor* od) override;
  void probe_sent(OverlayDescriptor* od) override;
  void consume_probe(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                     OverlayDescriptor* od) override;
  String probe_name() override { return String("Jitter Prober"); }
  static Packet* build_probe_response(const OstrelOverlayStateMsg& request, OverlayDescriptor* od);

  uint64_t burst_start_ms = 0;
  uint64_t send_ms[kSlots] = {};
  uint64_t receive_ms[kSlots] = {};
  uint32_t received_count = 0;
  uint32_t burst_start_id = 0;
  int send_index = 0;
  bool burst_running = false;
};

class OverlayKeepaliveProbe : public OstrelOverlayProbeInterface {
 public:
  static constexpr uint32_t kDefaultTimeoutMs = 15000;
  static constexpr uint32_t kDefaultIntervalMs = 5000;
  static constexpr uint32_t kMinTimeoutMs = 1500;
  static constexpr uint64_t kNegotiationGraceMs = 15000;
  static constexpr uint64_t kAnswerWindowMs = 5000;
  static constexpr uint64_t kPageRefreshSeconds = 5;

  OverlayKeepaliveProbe(IPAddress local, IPAddress peer, OverlayDescriptor* path, bool responder);
  bool should_send_probe(OverlayDescriptor* od) override;
  Packet* build_probe_packet(OverlayDescriptor* od) override;
  void probe_sent(OverlayDescriptor* od) override;
  void consume_probe(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                     OverlayDescriptor* od) override;
  String probe_name() override { return String("Keepalive Prober"); }
  bool fast_probe_required() override {
    const uint32_t t = timeout_ms.load(std::memory_order_relaxed);
    return t >= 1 && t <= 14999;
  }
  Packet* build_probe_response(const OstrelOverlayStateMsg& request, OverlayDescriptor* od);
  // Reads "tarnkatimeoutmsecs" into the time-out and interval.
  void get_timeout_config();

  uint64_t last_send_ms = 0;
  uint32_t current_id;
  uint32_t interval_ms = kDefaultIntervalMs;
  std::atomic<uint32_t> timeout_ms{kDefaultTimeoutMs};
  bool responder;
  bool first_check = true;
};

// Forgets when the keepalives last refreshed the status pages (tests).
void reset_keepalive_page_refresh();

// Every probe of every path, newest first. Walk it holding
// overlay_probe_lock().
Vector<OstrelOverlayProbeInterface*>& overlay_probes();
std::recursive_mutex& overlay_probe_lock();
void insert_overlay_probe(OstrelOverlayProbeInterface* probe);
void remove_overlay_probe(OstrelOverlayProbeInterface* probe);
// Takes all of `probes` (null entries skipped) out under one hold of the
// locks, so that a walk never sees some of a path's probes gone.
void remove_overlay_probes(OstrelOverlayProbeInterface* const* probes, int count);

// A probe packet of `kind` carrying `seqnum`, for path `path_id`: the
// control packet (kind and path annotations, category one peer).
Packet* make_probe_packet(OverlayMsgType kind, uint32_t seqnum, uint32_t path_id);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_PROBES_H_
