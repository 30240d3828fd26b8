#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"

#include <chrono>

#include "graph/router_log.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_descriptor.h"
#include "ostgraphsvc/graph/elements/route/ostrel_route_table.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "overlaystatemsg.pb.h"
#include "platform/clock/clock.h"

#define PROBE_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

// A path's remote side changed: the overlay view's counts follow.
void refresh_overlay_usable_paths() {
  if (OstrelOverlay* ov = registered_overlay()) ov->refresh_usable_paths();
}

constexpr char kNoPath[] = "ERROR: unable to get the overlay descriptor";

uint32_t sub_second_ns() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
                      std::chrono::system_clock::now().time_since_epoch())
                      .count();
  return static_cast<uint32_t>(ns % 1000000000);
}

uint64_t since(uint64_t now, uint64_t then) { return now > then ? now - then : 0; }

uint32_t seqnum_of(const OstrelOverlayStateMsg& msg) { return msg.osm_probemsg().seqnum(); }

// When the keepalives last refreshed the two status pages; consumer thread
// only, shared by every keepalive probe.
struct PageRefresh {
  bool path_page_started = false;
  uint64_t path_page_ms = 0;
  bool route_page_started = false;
  uint64_t route_page_ms = 0;
};
PageRefresh g_page_refresh;

}  // namespace

const char* probe_type_name(uint32_t type) {
  switch (type) {
    case PROBE_TYPE_NONE:
      return "PROBE_TYPE_NONE";
    case PROBE_TYPE_SILENCE:
      return "PROBE_TYPE_SILENCE";
    case PROBE_TYPE_LATENCY:
      return "PROBE_TYPE_LATENCY";
    case PROBE_TYPE_JITTER:
      return "PROBE_TYPE_JITTER";
    case PROBE_TYPE_KEEPALIVE:
      return "PROBE_TYPE_KEEPALIVE";
    default:
      return "";
  }
}

Packet* make_probe_packet(OverlayMsgType kind, uint32_t seqnum, uint32_t path_id) {
  // Reused, so that a probe packet costs no allocation once warm.
  thread_local OstrelOverlayStateMsg msg;
  msg.set_osm_type(kind);
  msg.mutable_osm_probemsg()->set_seqnum(seqnum);
  return make_control_packet(msg, path_id, kind);
}

// ---- The list

Vector<OstrelOverlayProbeInterface*>& overlay_probes() {
  static Vector<OstrelOverlayProbeInterface*> list;
  return list;
}

std::recursive_mutex& overlay_probe_lock() {
  static std::recursive_mutex lock;
  return lock;
}

void insert_overlay_probe(OstrelOverlayProbeInterface* probe) {
  OstrelOverlay* ov = registered_overlay();
  std::unique_lock<std::recursive_mutex> overlay;
  if (ov != nullptr) overlay = std::unique_lock<std::recursive_mutex>(ov->overlay_lock());
  std::lock_guard<std::recursive_mutex> hold(overlay_probe_lock());
  Vector<OstrelOverlayProbeInterface*>& list = overlay_probes();
  list.push_back(nullptr);
  for (int i = list.size() - 1; i > 0; --i) list[i] = list[i - 1];
  list[0] = probe;
}

void remove_overlay_probe(OstrelOverlayProbeInterface* probe) { remove_overlay_probes(&probe, 1); }

void remove_overlay_probes(OstrelOverlayProbeInterface* const* probes, int count) {
  OstrelOverlay* ov = registered_overlay();
  std::unique_lock<std::recursive_mutex> overlay;
  if (ov != nullptr) overlay = std::unique_lock<std::recursive_mutex>(ov->overlay_lock());
  std::lock_guard<std::recursive_mutex> hold(overlay_probe_lock());
  Vector<OstrelOverlayProbeInterface*>& list = overlay_probes();
  for (int k = 0; k < count; ++k) {
    if (probes[k] == nullptr) continue;
    for (int i = 0; i < list.size(); ++i) {
      if (list[i] != probes[k]) continue;
      vector_erase_at(list, i);
      break;
    }
  }
}

OstrelOverlayProbeInterface::OstrelOverlayProbeInterface(uint32_t type, IPAddress local,
                                                         IPAddress peer, OverlayDescriptor* path)
    : type_(type), path_(path), local_(local), peer_(peer), rng_(sub_second_ns()) {}

// ---- Latency

OverlayLatencyProbe::OverlayLatencyProbe(IPAddress local, IPAddress peer, OverlayDescriptor* path)
    : OstrelOverlayProbeInterface(PROBE_TYPE_LATENCY, local, peer, path), current_id(draw_id()) {
  PROBE_LOG(6, "OverlayLatencyProbe::OverlayLatencyProbe",
            "DEBUG: creating a latency prober src_ip: %s, dst_ip %s and userctx %p",
            local.to_string().c_str(), peer.to_string().c_str(), static_cast<void*>(path));
}

bool OverlayLatencyProbe::should_send_probe(OverlayDescriptor* od) {
  if (od != nullptr && !od->negotiated) return true;
  return GetTickCount64() >= last_send_ms + kIntervalMs;
}

Packet* OverlayLatencyProbe::build_probe_packet(OverlayDescriptor* od) {
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayLatencyProbe::build_probe_packet", kNoPath);
    return nullptr;
  }
  current_id = draw_id();
  Packet* p = make_probe_packet(OVERLAY_LATENCY_PROBE_REQ, current_id, od->local_path_id);
  od->update_ohv_on_build_probe_req();
  return p;
}

void OverlayLatencyProbe::probe_sent(OverlayDescriptor*) { last_send_ms = GetTickCount64(); }

void OverlayLatencyProbe::consume_probe(Packet*, const OstrelOverlayStateMsg& msg, OstrelOverlay*,
                                        OverlayDescriptor* od) {
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayLatencyProbe::consume_probe", kNoPath);
    return;
  }
  od->update_ohv_on_consume_probe();
  const uint32_t id = seqnum_of(msg);
  if (id != current_id) {
    PROBE_LOG(6, "OverlayLatencyProbe::consume_probe",
              "WARN: mismatch, received latency probe id (%u) expected id (%u)", id, current_id);
    return;
  }
  const uint64_t elapsed = since(GetTickCount64(), last_send_ms);
  if (elapsed > kLateMs) return;
  od->latency_window.add(static_cast<uint32_t>(elapsed / 2));
  od->latency = od->latency_window.mean();
  if (!od->negotiated) {
    PROBE_LOG(6, "OverlayLatencyProbe::consume_probe", "ohv: Consume Probe Received for Peer %s",
              peer_.to_string().c_str());
  }
}

Packet* OverlayLatencyProbe::build_probe_response(const OstrelOverlayStateMsg& request,
                                                  OverlayDescriptor* od) {
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayLatencyProbe::build_probe_response", kNoPath);
    return nullptr;
  }
  Packet* p = make_probe_packet(OVERLAY_LATENCY_PROBE_RES, seqnum_of(request), od->local_path_id);
  od->update_ohv_on_build_probe_res();
  return p;
}

// ---- Jitter

OverlayJitterProbe::OverlayJitterProbe(IPAddress local, IPAddress peer, OverlayDescriptor* path)
    : OstrelOverlayProbeInterface(PROBE_TYPE_JITTER, local, peer, path) {
  burst_start_id = draw_id();
  PROBE_LOG(6, "OverlayJitterProbe::OverlayJitterProbe",
            "DEBUG: creating a jitter prober src_ip: %s, dst_ip %s and userctx %p",
            local.to_string().c_str(), peer.to_string().c_str(), static_cast<void*>(path));
}

bool OverlayJitterProbe::should_send_probe(OverlayDescriptor*) {
  if (burst_running) return true;
  if (GetTickCount64() < burst_start_ms + kIntervalMs) return false;
  burst_start_id = draw_id();
  return true;
}

Packet* OverlayJitterProbe::build_probe_packet(OverlayDescriptor* od) {
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayJitterProbe::build_probe_packet", kNoPath);
    return nullptr;
  }
  return make_probe_packet(OVERLAY_JITTER_PROBE_REQ,
                           burst_start_id + static_cast<uint32_t>(send_index), od->local_path_id);
}

void OverlayJitterProbe::probe_sent(OverlayDescriptor*) {
  const uint64_t now = GetTickCount64();
  send_ms[send_index] = now;
  send_index = (send_index + 1) % kSlots;
  if (!burst_running) {
    burst_start_ms = now;
    burst_running = true;
    return;
  }
  if (send_index < kBurstSends) return;
  burst_running = false;
  send_index = 0;
  received_count = 0;
}

void OverlayJitterProbe::consume_probe(Packet*, const OstrelOverlayStateMsg& msg, OstrelOverlay*,
                                       OverlayDescriptor* od) {
  const uint32_t s = burst_start_id;
  const uint32_t r = seqnum_of(msg);
  if (r < s || r > s + kBurstSends) {
    PROBE_LOG(6, "OverlayJitterProbe::consume_probe",
              "WARN: mismatch, received jitter probe id (%u) expected (%u-%u)", r, s,
              s + kBurstSends);
    return;
  }
  const uint64_t now = GetTickCount64();
  if (since(now, burst_start_ms) > kAnswerWindowMs) return;
  receive_ms[(r - s) % kSlots] = now;
  if (++received_count < kComputeAt) return;
  received_count = 0;

  // Only slots sent and answered in this burst count: a lost answer leaves
  // its slot out instead of pulling the minimum to 0, and a slot left over
  // from an earlier burst is not a delay at all.
  uint32_t delays[kSlots];
  int n = 0;
  for (int i = 0; i < kSlots; ++i) {
    if (receive_ms[i] == 0 || receive_ms[i] < burst_start_ms || send_ms[i] < burst_start_ms) {
      continue;
    }
    delays[n++] = static_cast<uint32_t>(static_cast<int32_t>(receive_ms[i] - send_ms[i]));
  }
  uint32_t minimum = 0;
  for (int i = 0; i < n; ++i) {
    if (i == 0 || delays[i] < minimum) minimum = delays[i];
  }
  uint32_t sum = 0;
  uint32_t accepted = 0;
  for (int i = 0; i < n; ++i) {
    const int32_t d = static_cast<int32_t>(delays[i]);
    if (d < 1 || d > 999) continue;
    sum += delays[i] - minimum;
    ++accepted;
  }
  const uint32_t sample = accepted == 0 ? 0 : sum / accepted;
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayJitterProbe::consume_probe", kNoPath);
    return;
  }
  od->jitter_window.add(sample);
  od->jitter = static_cast<uint16_t>(od->jitter_window.mean());
}

Packet* OverlayJitterProbe::build_probe_response(const OstrelOverlayStateMsg& request,
                                                 OverlayDescriptor* od) {
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayJitterProbe::build_probe_response", kNoPath);
    return nullptr;
  }
  return make_probe_packet(OVERLAY_JITTER_PROBE_RES, seqnum_of(request), od->local_path_id);
}

// ---- Keepalive

OverlayKeepaliveProbe::OverlayKeepaliveProbe(IPAddress local, IPAddress peer,
                                             OverlayDescriptor* path, bool responder_mode)
    : OstrelOverlayProbeInterface(PROBE_TYPE_KEEPALIVE, local, peer, path),
      current_id(draw_id()),
      responder(responder_mode) {
  get_timeout_config();
  PROBE_LOG(6, "OverlayKeepaliveProbe::OverlayKeepaliveProbe",
            "DEBUG: creating a keepalive prober src_ip: %s, dst_ip %s and userctx %p resp %d",
            local.to_string().c_str(), peer.to_string().c_str(), static_cast<void*>(path),
            responder ? 1 : 0);
}

void OverlayKeepaliveProbe::get_timeout_config() {
  unsigned int value = 0;
  if (!tarnutil::getKAConfig(&value)) {
    timeout_ms.store(kDefaultTimeoutMs, std::memory_order_relaxed);
    interval_ms = kDefaultIntervalMs;
    return;
  }
  uint32_t t = value < kMinTimeoutMs ? kMinTimeoutMs : value;
  PROBE_LOG(6, "OverlayKeepaliveProbe::get_timeout_config",
            "found timeout config in tenant label: %d", static_cast<int>(t));
  if (t >= kDefaultTimeoutMs) {
    timeout_ms.store(kDefaultTimeoutMs, std::memory_order_relaxed);
    interval_ms = kDefaultIntervalMs;
    return;
  }
  timeout_ms.store(t, std::memory_order_relaxed);
  interval_ms = t / 3;
}

void reset_keepalive_page_refresh() { g_page_refresh = PageRefresh(); }

bool OverlayKeepaliveProbe::should_send_probe(OverlayDescriptor* od) {
  const uint64_t now = GetTickCount64();
  if (since(now, last_send_ms) < interval_ms) return false;

  PageRefresh& pages = g_page_refresh;
  const bool path_page_due = !pages.path_page_started || first_check ||
                             since(now, pages.path_page_ms) / 1000 > kPageRefreshSeconds;
  first_check = false;
  if (path_page_due) {
    pages.path_page_started = true;
    pages.path_page_ms = now;
    OstrelOverlay* ov = registered_overlay();
    if (ov != nullptr) ov->update_shm_path_stats();
  }
  if (od == nullptr || od->local_path_id == 0) return false;

  if (!pages.route_page_started) {
    pages.route_page_started = true;
    pages.route_page_ms = now;
  } else if (since(now, pages.route_page_ms) / 1000 > kPageRefreshSeconds) {
    pages.route_page_ms = now;
    OstrelRouteTable* routes = registered_route_table();
    if (routes != nullptr) routes->rt_update_shm_stats();
  }

  const uint64_t last_rx = od->last_rx_time.load(std::memory_order_acquire);
  const uint32_t silence = static_cast<uint32_t>(since(now, last_rx));
  const uint32_t timeout = timeout_ms.load(std::memory_order_relaxed);
  const String remote = od->remote_wan.to_string();
  if (od->remote_up.load(std::memory_order_acquire) && silence > timeout) {
    if (!od->negotiated && silence <= kNegotiationGraceMs) {
      PROBE_LOG(6, "OverlayKeepaliveProbe::should_send_probe",
                "not marking tunnel down as version negotiation not completed for %s. No rx "
                "since: %u msecs",
                remote.c_str(), silence);
      return true;
    }
    od->remote_up.store(false, std::memory_order_release);
    refresh_overlay_usable_paths();
    PROBE_LOG(6, "OverlayKeepaliveProbe::should_send_probe",
              "INFO: No rx for %u msecs. mark remote (%s) down for path %u. timeout value: %u "
              "msec",
              silence, remote.c_str(), od->local_path_id, timeout);
    return false;
  }
  if (!od->remote_up.load(std::memory_order_acquire) && silence < timeout) {
    od->remote_up.store(true, std::memory_order_release);
    refresh_overlay_usable_paths();
    PROBE_LOG(6, "OverlayKeepaliveProbe::should_send_probe",
              "INFO: rx in %u msecs. mark remote (%s) up for path %u", silence, remote.c_str(),
              od->local_path_id);
  }
  if (responder) return false;
  const uint64_t tx_idle = since(now, od->last_tx_time.load(std::memory_order_acquire));
  if (tx_idle > interval_ms || silence > interval_ms) return true;
  last_send_ms = now;
  return false;
}

Packet* OverlayKeepaliveProbe::build_probe_packet(OverlayDescriptor* od) {
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayKeepaliveProbe::build_probe_packet", kNoPath);
    return nullptr;
  }
  if (od->local_path_id == 0) return nullptr;
  current_id = draw_id();
  return make_probe_packet(OVERLAY_KEEPALIVE_PROBE_REQ, current_id, od->local_path_id);
}

void OverlayKeepaliveProbe::probe_sent(OverlayDescriptor*) { last_send_ms = GetTickCount64(); }

void OverlayKeepaliveProbe::consume_probe(Packet*, const OstrelOverlayStateMsg& msg, OstrelOverlay*,
                                          OverlayDescriptor* od) {
  const uint32_t id = seqnum_of(msg);
  if (id != current_id) {
    PROBE_LOG(6, "OverlayKeepaliveProbe::consume_probe",
              "WARN: mismatch, received keepalive probe id (%u) expected id (%u)", id, current_id);
    return;
  }
  if (since(GetTickCount64(), last_send_ms) > kAnswerWindowMs) return;
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayKeepaliveProbe::consume_probe", kNoPath);
    return;
  }
  if (!od->remote_up.exchange(true, std::memory_order_acq_rel)) refresh_overlay_usable_paths();
}

Packet* OverlayKeepaliveProbe::build_probe_response(const OstrelOverlayStateMsg& request,
                                                    OverlayDescriptor* od) {
  if (od == nullptr) {
    PROBE_LOG(6, "OverlayKeepaliveProbe::build_probe_response", kNoPath);
    return nullptr;
  }
  if (!od->remote_up.load(std::memory_order_acquire)) {
    od->remote_up.store(true, std::memory_order_release);
    refresh_overlay_usable_paths();
    PROBE_LOG(6, "OverlayKeepaliveProbe::build_probe_response",
              "INFO: received keepalive request. mark remote up for path %u", od->local_path_id);
  }
  return make_probe_packet(OVERLAY_KEEPALIVE_PROBE_RES, seqnum_of(request), od->local_path_id);
}
