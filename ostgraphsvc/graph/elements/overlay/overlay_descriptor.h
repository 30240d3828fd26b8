// Overlay peers, their paths and their WAN links.
//
// OverlayPeerDescriptor (OPD): one per overlay peer the overlay element
// tunnels to, keyed by the peer's overlay address and by its peer id
// ("UFQDN/<address>@tarn.local", the id under which the transport reports
// the peer's connections). It holds the peer's paths (shared
// OverlayDescriptors, oldest first; the tunnel is up while there is one),
// its local and remote WAN links as the overlay sees them, and the slots of
// the six per-peer control-message handlers, which it creates and deletes.
//
// OverlayDescriptor (OD): one per path, one transport connection between a
// local and a remote WAN address. It carries what the data plane needs per
// path: ids and addresses, the transmit sequence, the receive sequence window
// (SequenceWindow), the header-version negotiation, byte counters, the
// receive-loss windows with their histories and the path's QoE states.
//
// Clocks: receive and transmit times and loss-window end times are
// milliseconds of the monotonic tick (platform/clock GetTickCount64), never
// a packet's wall-clock timestamp.
//
// Ownership: the overlay element owns its OPDs; an OPD shares its ODs with
// the element's path table. An OPD owns its handlers; an OD owns its probes.
//
// Threads: every field is guarded by the overlay element's lock (see
// ostrel_overlay.h) except the OD's last receive and transmit times and its
// remote-up flag, which are atomics so that the transport's read callback may
// stamp them without the lock.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_DESCRIPTOR_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_DESCRIPTOR_H_

#include <atomic>
#include <cstdint>
#include <memory>

#include "graph/ipaddress.h"
#include "graph/string.h"
#include "graph/vector.h"

// Removes the element at `index`, keeping the order of the others.
template <typename T>
void vector_erase_at(Vector<T>& v, int index) {
  for (int i = index; i + 1 < v.size(); ++i) v[i] = std::move(v[i + 1]);
  v.pop_back();
}

// One WAN address of one side of a peer, with the paths that use it.
class OverlayWANLink {
 public:
  OverlayWANLink() = default;
  OverlayWANLink(IPAddress link_address, uint16_t link_port)
      : address(link_address), port(link_port) {}

  // Puts `id` at the front unless it is already there.
  void owl_addpath(uint32_t id);
  void owl_removepath(uint32_t id);
  bool has_path(uint32_t id) const;

  Vector<uint32_t> path_ids;  // newest first, no duplicates
  IPAddress address;
  uint16_t port = 0;
};

// One receive-loss measuring window. Times in tick milliseconds.
struct LossWindow {
  LossWindow(uint64_t duration, uint32_t limit, uint32_t min_sample, uint64_t now)
      : duration_ms(duration),
        packet_limit(limit),
        minimum_sample(min_sample),
        end_time(now + duration) {}

  uint64_t duration_ms;
  uint32_t packet_limit;  // 0: none
  uint32_t minimum_sample;
  uint64_t end_time;
  uint32_t last_sequence = 0;
  uint32_t next_expected = 0;
  uint32_t expected_count = 0;
  uint32_t lost_count = 0;
  double last_loss = 0;
};

// A ring of the last N window results with their running sum.
class LossHistory {
 public:
  static constexpr int kMaxEntries = 30;

  explicit LossHistory(int entries) : capacity_(entries < kMaxEntries ? entries : kMaxEntries) {}

  void push(double value);
  // Sum over the values held; 0 for an empty ring or an average below 0.01.
  double average() const;
  int count() const { return count_; }

 private:
  double values_[kMaxEntries] = {};
  int capacity_;
  int head_ = 0;  // next slot written
  int tail_ = 0;  // oldest value
  int count_ = 0;
  double sum_ = 0;
};

enum OhvState : uint32_t {
  OHV_INIT = 0,
  OHV_INITIATED = 1,
  OHV_VERSIONS_EXCHANGED = 2,
  OHV_COMPLETED = 3,
};

// The receive sequence window of a path: size W (1024; 0 switches the
// check off), highest sequence H and one bit per sequence modulo 1024.
// Unsigned 32-bit arithmetic throughout; "too old" is H - s > W for s <= H,
// which does not wrap near 2^32.
struct SequenceWindow {
  static constexpr uint32_t kSize = 1024;
  static constexpr int kWords = kSize / 32;

  // True when `s` is new: not 0, above H, or within the window with its bit
  // clear.
  bool check(uint32_t s) const;
  // Records `s`; moving H forward clears the bits it passes.
  void mark(uint32_t s);
  // After H reached 0xffffffff the sender starts again at 1.
  void reset_if_exhausted();

  uint32_t size = kSize;
  uint32_t highest = 0;
  uint32_t bits[kWords] = {};
};

// The last 3 samples of a path measure with their running sum; the mean is
// truncated, 0 when empty. No allocation.
class SampleWindow {
 public:
  static constexpr int kSize = 3;
  void add(uint32_t sample) {
    if (count_ == kSize)
      sum_ -= samples_[next_];
    else
      ++count_;
    samples_[next_] = sample;
    sum_ += sample;
    next_ = (next_ + 1) % kSize;
  }
  uint32_t mean() const { return count_ == 0 ? 0 : static_cast<uint32_t>(sum_ / count_); }
  int count() const { return count_; }

 private:
  uint32_t samples_[kSize] = {};
  uint64_t sum_ = 0;
  int count_ = 0;
  int next_ = 0;
};

// What the connection that made a path tells about it.
struct OverlayPathSetup {
  uint32_t local_path_id = 0;
  uint32_t if_index = 0;
  uint32_t wan_link_entry = 0;
  IPAddress peer_overlay;
  uint32_t mtu = 0;
  IPAddress remote_wan;
  IPAddress local_wan;
  String hub_role;
  uint16_t remote_port = 4500;
  uint16_t protocol = 0;  // 1 DTLS, 2 TLS, 0 IPsec
  String protocol_text;
  int32_t protocol_code = 0;
  uint8_t own_version = 1;
  IPAddress local_overlay;
  bool initiator = false;
  uint32_t if_metric = 0;
};

class OstrelOverlayProbeInterface;

class OverlayDescriptor {
 public:
  static constexpr int kQoeClasses = 4;
  static constexpr uint64_t kDelayedWindowMs = 10000;
  static constexpr uint64_t kInstantWindowMs = 300;

  // Logs "OD create ip local:%s remote :%s od : %x ohver:%d ohv initiator %d".
  explicit OverlayDescriptor(const OverlayPathSetup& setup);
  OverlayDescriptor(const OverlayDescriptor&) = delete;
  OverlayDescriptor& operator=(const OverlayDescriptor&) = delete;
  ~OverlayDescriptor();

  // Header-version negotiation steps, called by the latency probe; they only
  // ever lower the own version.
  void update_ohv_on_build_probe_req();
  void update_ohv_on_build_probe_res();
  void update_ohv_on_consume_probe();
  // Feeds both loss windows with a received sequence, or 0xffffffff to let
  // time pass; true when one QoE state changed (one class per call).
  bool update_rx_loss(uint32_t sequence);
  // The same at tick `now`, so a caller updating many paths reads the clock
  // once.
  bool update_rx_loss(uint32_t sequence, uint64_t now);
  // True when letting time pass (no sequence) would change nothing at `now`:
  // no window closes and the QoE states match the loss. The per-packet walk
  // over all paths skips such paths without a call.
  bool rx_loss_idle(uint64_t now) const {
    return qoe_settled_ && (delayed_window.end_time == 0 || now < delayed_window.end_time) &&
           (instant_window.end_time == 0 || now < instant_window.end_time);
  }
  // Classifies `loss` (percent) against the QoE thresholds, class by class
  // in order (voice, video, transactional, bulk): stores and reports only the
  // first class whose state differs.
  bool update_qoe_states(double loss);

  uint64_t tx_packets = 0, tx_bytes = 0;
  uint64_t tx_class_bytes[3] = {0, 0, 0};  // classes 1, 2, 3
  uint64_t tx_control_bytes = 0;
  uint64_t rx_packets = 0, rx_bytes = 0;
  uint64_t rx_class_bytes[3] = {0, 0, 0};
  uint64_t rx_control_bytes = 0;
  uint32_t local_path_id;
  uint32_t remote_path_id = 0;
  int32_t connection_count = 1;
  uint32_t if_index;
  uint32_t wan_link_entry;
  uint32_t mtu;
  uint32_t peer_mtu;
  IPAddress peer_overlay;
  IPAddress local_overlay;
  IPAddress remote_wan;
  IPAddress local_wan;
  String hub_role;
  int32_t protocol_code;
  uint16_t remote_port;
  bool local_up = true;
  std::atomic<bool> remote_up{true};
  uint16_t protocol;
  String protocol_text;
  double delayed_tx_loss = 0, delayed_rx_loss = 0, instant_tx_loss = 0, instant_rx_loss = 0;
  uint32_t tx_sequence = 1;
  uint32_t qoe_states[kQoeClasses] = {0, 0, 0, 0};
  LossWindow delayed_window;
  LossHistory delayed_history{30};
  LossWindow instant_window;
  LossHistory instant_history{3};
  uint32_t socket = 0;
  std::atomic<uint64_t> last_rx_time;
  std::atomic<uint64_t> last_tx_time;
  SequenceWindow rx_window;
  uint8_t own_version;
  uint8_t peer_version = 0;
  uint32_t version_state = OHV_INIT;
  bool initiator;
  bool negotiated = false;
  SampleWindow latency_window;
  uint32_t latency = 0;  // ms, mean of latency_window
  SampleWindow jitter_window;
  uint16_t jitter = 0;  // ms, mean of jitter_window
  // Owned; made by the path start-up, null until then. The destructor takes
  // them out of the process-wide probe list and deletes them.
  OstrelOverlayProbeInterface* latency_probe = nullptr;
  OstrelOverlayProbeInterface* jitter_probe = nullptr;
  OstrelOverlayProbeInterface* keepalive_probe = nullptr;
  uint32_t if_metric;
  // What the peer's endpoint messages tell of its end: its NAT address for
  // this path (the path's public address), its WAN property and usable flag,
  // and, on a hub, the spoke's WAN type (wan_type_names, 1-5 only). The
  // peer's receive loss is this side's transmit loss (delayed_tx_loss,
  // instant_tx_loss).
  IPAddress public_address;
  uint32_t remote_wan_prop = 0;
  bool remote_wan_usable = false;
  int32_t wan_type = 5;

 private:
  // True when the window closed and pushed a result.
  bool feed_window(LossWindow& w, LossHistory& h, uint32_t s, uint64_t now);

  // The QoE states match the current loss: until a window closes there is
  // nothing to recompute.
  bool qoe_settled_ = false;
};

// The per-peer control-message handlers; their classes come with the
// message element.
class OverlayEndptMsg;
class OverlayWanStateMsg;
class OverlayStateSyncMsg;
class OverlayRouteMsg;
class OverlayUserAuthMsg;
class OverlayAddrMgmtMsg;
class OstrelOverlayMsgInterface;

// What the DIB entry of a peer gives its descriptor.
struct OverlayPeerRecord {
  IPAddress address;
  uint32_t port = 4500;
  uint16_t roles = 0;
  String group_id;
};

class OverlayPeerDescriptor {
 public:
  static constexpr uint32_t kTunnelUnknown = 0;
  static constexpr uint32_t kTunnelUp = 1;
  static constexpr uint32_t kTunnelDown = 2;
  static constexpr uint16_t kLocalLinkPort = 4500;
  static constexpr uint32_t kNoPath = 0xFFFFFFFF;

  explicit OverlayPeerDescriptor(const OverlayPeerRecord& record);
  OverlayPeerDescriptor(const OverlayPeerDescriptor&) = delete;
  OverlayPeerDescriptor& operator=(const OverlayPeerDescriptor&) = delete;
  // Creates the six message handlers (overlay_msg_handlers.h) and deletes
  // them again.
  ~OverlayPeerDescriptor();

  // `side` is "local" or "remote".
  void find_and_add_wanlink(Vector<OverlayWANLink>& links, IPAddress address, uint16_t port,
                            uint32_t path_id, const char* side);
  void find_and_del_wanlink(Vector<OverlayWANLink>& links, IPAddress address, uint16_t port,
                            uint32_t path_id, const char* side);
  void handle_wanlinks_state_change(const OverlayDescriptor& path, bool up);
  // True when every path has a remote path id and a peer MTU.
  bool is_endpt_in_sync() const;
  // 0, or -1 when no path has `path_id`.
  int remove_od(uint32_t path_id);

  // The path a flow on `current_path_id` (kNoPath: none yet) takes in a
  // multi-link mode, or null when the peer has no paths; `*is_new` tells
  // whether that differs from keeping the current path. A flow keeps its
  // path while it is up at both ends. Otherwise active-active takes the path
  // under the round-robin counter (and advances it), active-standby the one
  // with the lowest interface metric (the earlier on a tie); neither checks
  // that the path taken is up. Overlay lock held: the reference keeps the
  // path alive after the lock is let go.
  std::shared_ptr<OverlayDescriptor> get_active_active_od(uint32_t current_path_id, bool* is_new);
  std::shared_ptr<OverlayDescriptor> get_active_standby_od(uint32_t current_path_id, bool* is_new);

  uint32_t tunnel_state = kTunnelUnknown;
  bool peer_is_controller = false;
  // Set on a controller by the peer's first endpoint message; never cleared.
  bool first_endpt_received = false;
  bool provisioned = false;
  bool in_hub_group = false;
  uint16_t encap_protocol = 0;
  String hub_group_id;
  OverlayEndptMsg* endpoint_handler = nullptr;
  OverlayWanStateMsg* wan_state_handler = nullptr;
  OverlayStateSyncMsg* state_sync_handler = nullptr;
  OverlayRouteMsg* route_handler = nullptr;
  OverlayUserAuthMsg* user_auth_handler = nullptr;
  OverlayAddrMgmtMsg* addr_mgmt_handler = nullptr;
  // Route, WAN state, endpoint, user authentication, address management.
  Vector<OstrelOverlayMsgInterface*> handler_list;
  int32_t handle = -1;
  uint16_t mtu = 0;
  uint8_t multilink_mode = 0;
  IPAddress overlay_address;
  uint32_t peer_port;
  Vector<std::shared_ptr<OverlayDescriptor>> paths;
  Vector<OverlayWANLink> local_links;   // newest first
  Vector<OverlayWANLink> remote_links;  // newest first
  String domain;
  String peer_id;
  uint32_t rr_counter = 0;
  int32_t user_auth_state = 0;
  IPAddress client_vip;
  IPAddress client_mask;
};

// "UFQDN/<dotted address>@tarn.local".
String overlay_peer_id(IPAddress address);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_DESCRIPTOR_H_
