#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <mutex>
#include <vector>

#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/schedule_info.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_descriptor.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "ostgraphsvc/overlaymsg/print_messages.h"
#include "ostgraphsvc/qmsg/qmsg.h"
#include "overlaystatemsg.pb.h"
#include "platform/clock/clock.h"

#define OMSG_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

bool asks_fast_rate(OstrelOverlayProbeInterface* probe) {
  return probe->probe_type() == PROBE_TYPE_SILENCE || probe->fast_probe_required();
}

// The parsed message of the packet being handled, reused so that a received
// message costs no allocation once warm. Packet thread only; a packet handled
// inside the handling of another (an answer looping back through the graph)
// gets a message of its own.
struct ScratchMessage {
  ScratchMessage() {
    if (depth++ == 0) {
      msg = &shared;
      msg->Clear();
    } else {
      own = std::make_unique<OstrelOverlayStateMsg>();
      msg = own.get();
    }
  }
  ~ScratchMessage() { --depth; }
  ScratchMessage(const ScratchMessage&) = delete;
  ScratchMessage& operator=(const ScratchMessage&) = delete;

  static inline thread_local OstrelOverlayStateMsg shared;
  static inline thread_local int depth = 0;
  std::unique_ptr<OstrelOverlayStateMsg> own;
  OstrelOverlayStateMsg* msg;
};

bool ring_in_use(const QMsgBlockPool& ring) {
  for (int32_t i = 0; i < ring.count(); ++i) {
    if (qmsgblock_in_use(ring.block(i))) return true;
  }
  return false;
}

// Tick rings whose blocks were still queued when their element stopped. A
// queued block points into its ring, so the ring lives until the consumer has
// released them all; each stop frees the rings that are done.
void retire_ring(std::unique_ptr<QMsgBlockPool> ring) {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<QMsgBlockPool>> retired;
  std::lock_guard<std::mutex> hold(mutex);
  std::erase_if(retired, [](const std::unique_ptr<QMsgBlockPool>& r) { return !ring_in_use(*r); });
  if (ring != nullptr && ring_in_use(*ring)) retired.push_back(std::move(ring));
}

}  // namespace

std::atomic<bool>& statemsg_fast_timer() {
  static std::atomic<bool> fast{false};
  return fast;
}

OstrelOverlayMsg::OstrelOverlayMsg() : task_(this), next_statemsg_ms_(GetTickCount64()) {}

OstrelOverlayMsg::~OstrelOverlayMsg() { stop_statemsg_timer(); }

int OstrelOverlayMsg::configure(Vector<String>&, ErrorHandler* errh) {
  const int tickets = ScheduleInfo::query(this, errh);
  if (tickets > 0) {
    task_.initialize(this, true);
    task_.set_tickets(tickets > ScheduleInfo::kMaxTickets ? ScheduleInfo::kMaxTickets : tickets);
  }
  return 0;
}

int OstrelOverlayMsg::initialize(ErrorHandler*) {
  start_statemsg_timer();
  OMSG_LOG(6, "OstrelOverlayMsg::initialize", "OverlayMsg: Initializing element");
  return 0;
}

void OstrelOverlayMsg::cleanup(CleanupStage) { stop_statemsg_timer(); }

void OstrelOverlayMsg::push(int port, Packet* p) {
  if (port == 0) return consume_state_packet(p);
  run_task(&task_);
  p->release();
}

OstrelOverlay* OstrelOverlayMsg::find_overlay() {
  if (overlay_ != nullptr) return overlay_;
  if (router() == nullptr) return nullptr;
  Element* e = router()->find_element_in_context(String("ostOverlay"), String());
  if (e == nullptr) return nullptr;
  overlay_ = static_cast<OstrelOverlay*>(e->cast("OstrelOverlay"));
  return overlay_;
}

// ---- Received control packets

void OstrelOverlayMsg::consume_state_packet(Packet* p) {
  static constexpr char kTag[] = "OstrelOverlayMsg::consume_state_packet";
  if (p->length() < kControlHeaderLength) {
    OMSG_LOG(7, kTag, "control packet of %u bytes has no message", p->length());
    p->release();
    return;
  }
  const unsigned char* ip = p->data();
  const IPAddress source(ip[12], ip[13], ip[14], ip[15]);
  // The sender in dotted form, written only when a line needs it.
  char from_text[16] = {};
  auto from = [&]() -> const char* {
    if (from_text[0] == 0) {
      std::snprintf(from_text, sizeof(from_text), "%u.%u.%u.%u", ip[12], ip[13], ip[14], ip[15]);
    }
    return from_text;
  };
  OstrelOverlay* ov = find_overlay();
  if (ov == nullptr) {
    ROUTER_LOG_LIMITED(6, kTag, "Received STATE message from %s but OPD is DOWN", from());
    p->release();
    return;
  }
  std::lock_guard<std::recursive_mutex> hold(ov->overlay_lock());
  OverlayPeerDescriptor* opd = ov->get_opd(source);
  if (opd == nullptr) {
    ROUTER_LOG_LIMITED(6, kTag, "Received STATE message from %s but OPD is DOWN", from());
    p->release();
    return;
  }
  ScratchMessage scratch;
  OstrelOverlayStateMsg& msg = *scratch.msg;
  read_control_message(p, &msg);
  const uint32_t kind = msg.osm_type();
  if (cxLogThreshold.load(std::memory_order_relaxed) >= router_log_service_level(7)) {
    OMSG_LOG(7, kTag, "Procesing %s(%d) message received from %s. ", overlay_msg_type_name(kind),
             static_cast<int>(kind), from());
  }

  switch (kind) {
    case OVERLAY_WANLINK_STATE_MSG:
      print_overlay_state_msg(msg, from());
      opd->wan_state_handler->consume_msg(p, msg, ov, opd);
      break;
    case OVERLAY_PATHID_STATE_MSG:
      print_pathid_msg(msg, from());
      opd->endpoint_handler->consume_msg(p, msg, ov, opd);
      break;
    case OVERLAY_SYNC_STATE_MSG:
      print_state_sync_msg(msg, from());
      opd->state_sync_handler->consume_msg(p, msg, ov, opd);
      break;
    case OVERLAY_USERAUTH_MSG:
      opd->user_auth_handler->consume_msg(p, msg, ov, opd);
      break;
    case OVERLAY_ADDRMGMT_MSG:
      OMSG_LOG(6, kTag, "OverlayAddrMgmtMsg: received message");
      opd->addr_mgmt_handler->consume_msg(p, msg, ov, opd);
      break;
    case OVERLAY_LATENCY_PROBE_REQ:
    case OVERLAY_LATENCY_PROBE_RES:
    case OVERLAY_JITTER_PROBE_REQ:
    case OVERLAY_JITTER_PROBE_RES:
    case OVERLAY_KEEPALIVE_PROBE_REQ:
    case OVERLAY_KEEPALIVE_PROBE_RES: {
      const uint32_t path_id = p->overlay_path_anno();
      std::shared_ptr<OverlayDescriptor> od = ov->get_od(path_id);
      if (od == nullptr) {
        ROUTER_LOG_LIMITED(6, kTag, "ERROR: unable to get the od for pathid %u", path_id);
        break;
      }
      OstrelOverlayProbeInterface* probe = nullptr;
      const char* missing = nullptr;
      if (kind == OVERLAY_LATENCY_PROBE_REQ || kind == OVERLAY_LATENCY_PROBE_RES) {
        probe = od->latency_probe;
        missing = "ERROR: unable to get the latency prober for pathid %u";
      } else if (kind == OVERLAY_JITTER_PROBE_REQ || kind == OVERLAY_JITTER_PROBE_RES) {
        probe = od->jitter_probe;
        missing = "ERROR: unable to get the jitter prober for pathid %u";
      } else {
        probe = od->keepalive_probe;
        missing = "ERROR: unable to get the keepalive prober for pathid %u";
      }
      if (probe == nullptr) {
        ROUTER_LOG_LIMITED(6, kTag, missing, path_id);
        break;
      }
      Packet* answer = nullptr;
      switch (kind) {
        case OVERLAY_LATENCY_PROBE_REQ:
          answer = OverlayLatencyProbe::build_probe_response(msg, od.get());
          break;
        case OVERLAY_JITTER_PROBE_REQ:
          answer = OverlayJitterProbe::build_probe_response(msg, od.get());
          break;
        case OVERLAY_KEEPALIVE_PROBE_REQ:
          answer = static_cast<OverlayKeepaliveProbe*>(probe)->build_probe_response(msg, od.get());
          break;
        default:
          probe->consume_probe(p, msg, ov, od.get());
          break;
      }
      if (answer != nullptr) {
        packets_.clear();
        packets_.push_back(answer);
        send_overlay_pkts(opd, probe->local_address(), packets_);
      }
      if (kind == OVERLAY_LATENCY_PROBE_RES && od->initiator && !od->negotiated) {
        OMSG_LOG(6, kTag, "ohv: Consume Probe Received for Peer %s",
                 od->peer_overlay.to_string().c_str());
        send_quick_probe(od.get());
      }
      break;
    }
    default:
      break;
  }
  p->release();
}

// ---- Sending

bool OstrelOverlayMsg::send_overlay_pkts(OverlayPeerDescriptor* opd, IPAddress src,
                                         Vector<Packet*>& packets) {
  static constexpr char kTag[] = "OstrelOverlayMsg::send_overlay_pkts";
  bool all_sent = true;
  for (int i = 0; i < packets.size(); ++i) {
    Packet* p = packets[i];
    packets[i] = nullptr;
    if (p == nullptr) continue;
    const uint8_t category = control_packet_category(p);
    if (category == kControlCategoryOnePeer) {
      const uint32_t path_id = p->overlay_path_anno();
      OstrelOverlay* ov = find_overlay();
      std::shared_ptr<OverlayDescriptor> od = ov != nullptr ? ov->get_od(path_id) : nullptr;
      if (od != nullptr && is_opd_up(opd)) {
        p = prepend_udp_ip_headers(p, od->local_path_id, src, opd->overlay_address);
        if (p == nullptr) {
          all_sent = false;
          continue;
        }
        if (noutputs() > 0 && output(0).active()) {
          output(0).push(p);
        } else {
          p->release();
        }
        continue;
      }
      char text[256];
      int n = std::snprintf(text, sizeof(text), "Overlay MSG: pathid %u not found", path_id);
      if (opd != nullptr && n >= 0 && n < static_cast<int>(sizeof(text))) {
        n += std::snprintf(text + n, sizeof(text) - n, " opd=%p", static_cast<void*>(opd));
      }
      if (od != nullptr && n >= 0 && n < static_cast<int>(sizeof(text))) {
        std::snprintf(text + n, sizeof(text) - n, " od=%p tdb %d", static_cast<void*>(od.get()),
                      static_cast<int>(od->socket));
      }
      if (++not_found_count_ % not_found_log_period_ == 0) OMSG_LOG(6, kTag, "%s", text);
      p->release();
      all_sent = false;
      continue;
    }
    // No builder makes these; they are dropped, not kept.
    if (category == kControlCategoryAllPeers) {
      OMSG_LOG(4, kTag, "Not processing OVERLAY_STATE_MSG_PCY_ALL message, possible memory leak");
    } else {
      OMSG_LOG(4, kTag, "Unknown packet received, possible memory leak");
    }
    p->release();
  }
  packets.clear();
  return all_sent;
}

Packet* OstrelOverlayMsg::prepend_udp_ip_headers(Packet* p, uint32_t path_id, IPAddress src,
                                                 IPAddress dst) {
  p = prepend_control_headers(p, &identification_, src, dst);
  if (p == nullptr) return nullptr;
  p->set_overlay_packet_flags_anno(p->overlay_packet_flags_anno() | kOverlayPacketControl);
  p->set_dst_ip_anno(dst);
  p->set_overlay_path_anno(path_id);
  return p;
}

// ---- Ticks

bool OstrelOverlayMsg::check_fast_rate() {
  std::atomic<bool>& fast = statemsg_fast_timer();
  if (fast.load(std::memory_order_relaxed)) return true;  // never cleared
  bool found = false;
  {
    std::lock_guard<std::recursive_mutex> hold(overlay_probe_lock());
    for (OstrelOverlayProbeInterface* probe : overlay_probes()) {
      if (!asks_fast_rate(probe)) continue;
      fast.store(true, std::memory_order_relaxed);
      found = true;
      break;
    }
  }
  if (found) wake_statemsg_timer();
  return found;
}

bool OstrelOverlayMsg::run_task(Task*) {
  std::atomic<bool>& fast = statemsg_fast_timer();
  bool due = true;
  uint64_t now = 0;
  if (previous_fast_) {
    now = GetTickCount64();
    due = now >= next_statemsg_ms_;
  }
  if (find_overlay() == nullptr) {
    check_fast_rate();
    OMSG_LOG(6, "OstrelOverlayMsg::run_task", "Ostrel overlay element not found!!!");
    previous_fast_ = fast.load(std::memory_order_relaxed);
    return false;
  }
  // The probe walk looks for a probe asking for the fast rate as it goes,
  // before any probe runs on this tick.
  send_probes();
  if (due) {
    send_state_msgs();
    next_statemsg_ms_ = now + kStateMsgIntervalMs;
  }
  previous_fast_ = fast.load(std::memory_order_relaxed);
  return false;
}

void OstrelOverlayMsg::send_state_msgs() {
  OstrelOverlay* ov = overlay_;
  if (ov == nullptr) return;
  std::lock_guard<std::recursive_mutex> hold(ov->overlay_lock());
  OstrelDIB* local = ov->get_dib(ov->own_address());
  if (local == nullptr) {
    OMSG_LOG(6, "OstrelOverlayMsg::send_state_msgs", "Local DIB entry for not found");
    return;
  }
  const IPAddress src = local->overlay_address;
  ov->for_each_opd([&](OverlayPeerDescriptor* opd) {
    if (opd->paths.empty()) return;
    // A peer's handlers stand in overlay_msg_handlers in this order (newest
    // first); asking them directly spares a walk over every peer's handlers.
    OstrelOverlayMsgInterface* handlers[] = {opd->addr_mgmt_handler, opd->user_auth_handler,
                                             opd->route_handler,     opd->state_sync_handler,
                                             opd->wan_state_handler, opd->endpoint_handler};
    for (OstrelOverlayMsgInterface* h : handlers) {
      if (h == nullptr || !h->is_msg_available()) continue;
      packets_.clear();
      h->build_msg_per_peer_into_packet(packets_, ov, opd);
      if (packets_.empty()) continue;
      if (send_overlay_pkts(opd, src, packets_)) h->msg_sent();
    }
  });
}

void OstrelOverlayMsg::send_probes() {
  static constexpr char kTag[] = "OstrelOverlayMsg::send_probes";
  if (overlay_ == nullptr) overlay_ = registered_overlay();
  OstrelOverlay* ov = overlay_;
  if (ov == nullptr) {
    check_fast_rate();
    OMSG_LOG(6, kTag, "OstOverlayMsg: unable to find ostreloverlay element");
    start_statemsg_timer();
    return;
  }
  failed_.clear();
  {
    std::lock_guard<std::recursive_mutex> hold(ov->overlay_lock());
    std::lock_guard<std::recursive_mutex> probes_hold(overlay_probe_lock());
    Vector<OstrelOverlayProbeInterface*>& probes = overlay_probes();
    const IPAddress own = ov->own_address();
    std::atomic<bool>& fast = statemsg_fast_timer();
    bool fast_seen = fast.load(std::memory_order_relaxed);
    // The fast-rate question covers the whole list before any probe runs;
    // asking it as the walk reaches each probe gives the same answer, since
    // running a probe never changes another's.
    for (int i = 0; i < probes.size(); ++i) {
      OstrelOverlayProbeInterface* probe = probes[i];
      if (!fast_seen && asks_fast_rate(probe)) {
        fast_seen = true;
        fast.store(true, std::memory_order_relaxed);
        // The tick thread is already waiting out a slow period; a keepalive
        // time-out shorter than that would expire in the gap.
        wake_statemsg_timer();
      }
      // The list is process-wide; another overlay's probes are its own.
      if (!(probe->local_address() == own)) continue;
      OverlayDescriptor* od = probe->path();
      if (probe->should_send_probe(od)) {
        Packet* p = probe->build_probe_packet(od);
        if (p == nullptr) continue;
        const String peer = probe->peer_address().to_string();
        OverlayPeerDescriptor* opd = ov->get_opd(probe->peer_address());
        OMSG_LOG(7, kTag, "Sending probe (%s) message to: %s", probe_type_name(probe->probe_type()),
                 peer.c_str());
        packets_.clear();
        packets_.push_back(p);
        if (send_overlay_pkts(opd, probe->local_address(), packets_)) probe->probe_sent(od);
        continue;
      }
      if (od == nullptr || od->remote_up.load(std::memory_order_acquire) || od->protocol == 0) {
        continue;
      }
      const OstRemoteWANIPLocalIPPair key{od->remote_wan, od->local_wan};
      bool known = false;
      for (const OstRemoteWANIPLocalIPPair& k : failed_) known = known || k == key;
      if (!known) failed_.push_back(key);
    }
  }
  // The transport's mutexes come before the overlay lock: act only now.
  for (const OstRemoteWANIPLocalIPPair& key : failed_) {
    OMSG_LOG(3, kTag, "keep alive failed for peer %s", key.to_string().c_str());
    overlay_transport().deprovision_tunnel_to_peer(key);
  }
  if (!failed_.empty()) {
    OMSG_LOG(6, kTag, "reconnect %d overlays whose overlay probe has failed",
             static_cast<int>(failed_.size()));
    ov->reinit_overlays(false);
  }
  start_statemsg_timer();
}

void OstrelOverlayMsg::send_quick_probe(OverlayDescriptor* od) {
  OstrelOverlay* ov = overlay_;
  if (ov == nullptr || od == nullptr || od->latency_probe == nullptr) return;
  OMSG_LOG(6, "OstrelOverlayMsg::send_quick_probe", "ohv: quick probe req to peer %s",
           od->peer_overlay.to_string().c_str());
  OstrelOverlayProbeInterface* probe = od->latency_probe;
  Packet* p = probe->build_probe_packet(od);
  if (p == nullptr) return;
  std::lock_guard<std::recursive_mutex> hold(ov->overlay_lock());
  OverlayPeerDescriptor* opd = ov->get_opd(probe->peer_address());
  packets_.clear();
  packets_.push_back(p);
  if (send_overlay_pkts(opd, probe->local_address(), packets_)) probe->probe_sent(od);
}

// ---- The tick thread

void OstrelOverlayMsg::start_statemsg_timer() {
  if (thread_started_) return;
  {
    std::lock_guard<std::mutex> hold(timer_mutex_);
    timer_stop_ = false;
  }
  ring_ = std::make_unique<QMsgBlockPool>(kStateMsgTickRingBlocks);
  // The first deadline is taken here, not when the thread gets to run.
  const uint64_t start = GetTickCount64();
  const uint64_t first =
      start + (statemsg_fast_timer().load(std::memory_order_relaxed) ? kFastTickMs : kSlowTickMs);
  thread_ = std::thread([this, start, first] { statemsg_timer_callback(start, first); });
  thread_started_ = true;
}

void OstrelOverlayMsg::wake_statemsg_timer() {
  std::lock_guard<std::mutex> hold(timer_mutex_);
  timer_cv_.notify_all();
}

void OstrelOverlayMsg::stop_statemsg_timer() {
  if (!thread_started_) return;
  {
    std::lock_guard<std::mutex> hold(timer_mutex_);
    timer_stop_ = true;
    timer_cv_.notify_all();
  }
  thread_.join();
  thread_started_ = false;
  // A block still queued points into the ring: the ring is kept until the
  // consumer has let go of it rather than leave it a freed block.
  if (ring_in_use(*ring_)) {
    OMSG_LOG(4, "OstrelOverlayMsg::cleanup", "tick blocks still queued; keeping their ring");
  }
  retire_ring(std::move(ring_));
}

void OstrelOverlayMsg::statemsg_timer_callback(uint64_t start, uint64_t first_deadline) {
  auto period = [] {
    return statemsg_fast_timer().load(std::memory_order_relaxed) ? kFastTickMs : kSlowTickMs;
  };
  std::unique_lock<std::mutex> lock(timer_mutex_);
  uint64_t deadline = first_deadline;
  // When the running wait began: the slot of the last block, or the start.
  uint64_t last = start;
  while (!timer_stop_) {
    const uint64_t now = GetTickCount64();
    if (last + period() < deadline) deadline = last + period();
    if (now < deadline) {
      timer_cv_.wait_for(lock, std::chrono::milliseconds(deadline - now));
      continue;
    }
    if (!post_iomsg_block(*ring_)) {
      OMSG_LOG(6, "OstrelOverlayMsg::statemsg_timer_callback",
               "OstrelOverlayMsg: no message blocks available for the queue");
    }
    // Keep the cadence of the deadlines; after a stall (suspend, a stepped
    // clock) start again from now instead of catching up.
    last = deadline;
    deadline += period();
    const uint64_t after = GetTickCount64();
    if (deadline < after) {
      last = after;
      deadline = after + period();
    }
  }
}
