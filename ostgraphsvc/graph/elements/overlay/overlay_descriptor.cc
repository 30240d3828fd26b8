#include "ostgraphsvc/graph/elements/overlay/overlay_descriptor.h"

#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"

#include "graph/router_log.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/policy_slot/qoe_thresholds.h"
#include "platform/clock/clock.h"

#define OVL_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

constexpr uint32_t kNoSequence = 0xffffffff;

}  // namespace

String overlay_peer_id(IPAddress address) {
  return String("UFQDN/") + address.to_string() + "@" + kOstsslDomainSuffix;
}

// ---- OverlayWANLink

bool OverlayWANLink::has_path(uint32_t id) const {
  for (uint32_t p : path_ids) {
    if (p == id) return true;
  }
  return false;
}

void OverlayWANLink::owl_addpath(uint32_t id) {
  if (has_path(id)) return;
  OVL_LOG(6, "OverlayWANLink::owl_addpath", "OWL: adding path %d from link %s",
          static_cast<int>(id), address.to_string().c_str());
  path_ids.insert(path_ids.begin(), id);
}

void OverlayWANLink::owl_removepath(uint32_t id) {
  for (int i = 0; i < path_ids.size(); ++i) {
    if (path_ids[i] != id) continue;
    OVL_LOG(6, "OverlayWANLink::owl_removepath", "OWL: removing path %d from link %s",
            static_cast<int>(id), address.to_string().c_str());
    vector_erase_at(path_ids, i);
    return;
  }
}

// ---- LossHistory

void LossHistory::push(double value) {
  if (count_ == capacity_) {
    sum_ -= values_[tail_];
    tail_ = (tail_ + 1) % capacity_;
    --count_;
  }
  values_[head_] = value;
  head_ = (head_ + 1) % capacity_;
  sum_ += value;
  ++count_;
}

double LossHistory::average() const {
  if (count_ == 0) return 0;
  const double avg = sum_ / count_;
  return avg < 0.01 ? 0 : avg;
}

// ---- SequenceWindow

bool SequenceWindow::check(uint32_t s) const {
  if (size == 0) return true;
  if (s == 0) return false;
  if (s > highest) return true;
  if (highest - s > size) return false;
  const uint32_t word = (s / 32) % kWords;
  return (bits[word] & (1u << (s % 32))) == 0;
}

void SequenceWindow::mark(uint32_t s) {
  if (size == 0 || s == 0) return;
  if (s <= highest && highest - s > size) return;
  if (s > highest) {
    const uint32_t distance = s / 32 - highest / 32;
    const uint32_t clear = distance < kWords ? distance : kWords;
    const uint32_t from = (highest / 32) % kWords;
    for (uint32_t i = 1; i <= clear; ++i) bits[(from + i) % kWords] = 0;
    highest = s;
  }
  bits[(s / 32) % kWords] |= 1u << (s % 32);
}

void SequenceWindow::reset_if_exhausted() {
  if (highest != 0xffffffff) return;
  highest = 0;
  for (uint32_t& w : bits) w = 0;
}

// ---- OverlayDescriptor

OverlayDescriptor::OverlayDescriptor(const OverlayPathSetup& s)
    : local_path_id(s.local_path_id),
      if_index(s.if_index),
      wan_link_entry(s.wan_link_entry),
      mtu(s.mtu),
      peer_mtu(s.mtu),
      peer_overlay(s.peer_overlay),
      local_overlay(s.local_overlay),
      remote_wan(s.remote_wan),
      local_wan(s.local_wan),
      hub_role(s.hub_role),
      protocol_code(s.protocol_code),
      remote_port(s.remote_port),
      protocol(s.protocol),
      protocol_text(s.protocol_text),
      delayed_window(kDelayedWindowMs, 100, 50, GetTickCount64()),
      instant_window(kInstantWindowMs, 0, 20, GetTickCount64()),
      last_rx_time(GetTickCount64()),
      last_tx_time(GetTickCount64()),
      own_version(s.own_version),
      initiator(s.initiator),
      if_metric(s.if_metric) {
  OVL_LOG(6, "OverlayDescriptor::OverlayDescriptor",
          "OD create ip local:%s remote :%s od : %x ohver:%d ohv initiator %d",
          local_wan.to_string().c_str(), remote_wan.to_string().c_str(), local_path_id, own_version,
          initiator ? 1 : 0);
}

OverlayDescriptor::~OverlayDescriptor() {
  OstrelOverlayProbeInterface* probes[] = {latency_probe, jitter_probe, keepalive_probe};
  remove_overlay_probes(probes, 3);
  for (OstrelOverlayProbeInterface* probe : probes) delete probe;
}

void OverlayDescriptor::update_ohv_on_build_probe_req() {
  if (!initiator) return;
  const String peer = peer_overlay.to_string();
  if (version_state == OHV_COMPLETED) return;
  if (version_state == OHV_VERSIONS_EXCHANGED) {
    OVL_LOG(6, "OverlayDescriptor::update_ohv_on_build_probe_req",
            "ohv: version negotiation completed, peer %s with version %d ", peer.c_str(),
            own_version);
    version_state = OHV_COMPLETED;
    negotiated = true;
    return;
  }
  if (version_state == OHV_INIT) {
    OVL_LOG(6, "OverlayDescriptor::update_ohv_on_build_probe_req",
            "ohv: version negotiation initated peer %s with version %d ", peer.c_str(),
            own_version);
    version_state = OHV_INITIATED;
  }
  OVL_LOG(7, "OverlayDescriptor::update_ohv_on_build_probe_req",
          "ohv: probereq  state %d peer %s own:(%d) peer:(%d) ", version_state, peer.c_str(),
          own_version, peer_version);
}

void OverlayDescriptor::update_ohv_on_consume_probe() {
  const String peer = peer_overlay.to_string();
  if (!negotiated) {
    OVL_LOG(7, "OverlayDescriptor::update_ohv_on_consume_probe", " initiator %d peer %s",
            initiator ? 1 : 0, peer.c_str());
  }
  if (!initiator || version_state != OHV_INITIATED) return;
  OVL_LOG(6, "OverlayDescriptor::update_ohv_on_consume_probe",
          "ohv: updating the version, peer %s from %d to %d", peer.c_str(), own_version,
          peer_version);
  if (peer_version < own_version) own_version = peer_version;
  version_state = OHV_VERSIONS_EXCHANGED;
}

void OverlayDescriptor::update_ohv_on_build_probe_res() {
  if (initiator) return;
  // The common case, every answer on a settled path: nothing to log.
  if (version_state == OHV_COMPLETED && own_version == peer_version) return;
  const String peer = peer_overlay.to_string();
  if (version_state == OHV_INIT) {
    if (peer_version < own_version) own_version = peer_version;
    OVL_LOG(6, "OverlayDescriptor::update_ohv_on_build_probe_res",
            "ohv:  on init version, peer %s from(%d): to(%d)", peer.c_str(), peer_version,
            own_version);
    version_state = OHV_VERSIONS_EXCHANGED;
  } else if (version_state == OHV_VERSIONS_EXCHANGED) {
    version_state = OHV_COMPLETED;
    negotiated = true;
    OVL_LOG(6, "OverlayDescriptor::update_ohv_on_build_probe_res",
            "ohv: version negotiation completed, peer %s from(%d):to(%d)", peer.c_str(),
            peer_version, own_version);
  }
  if (version_state == OHV_COMPLETED) {
    if (own_version != peer_version) {
      OVL_LOG(4, "OverlayDescriptor::update_ohv_on_build_probe_res",
              "ohv: Warning!!! Version Mismatch, peer %s own:(%d) peer:(%d) ", peer.c_str(),
              own_version, peer_version);
    }
    return;
  }
  OVL_LOG(7, "OverlayDescriptor::update_ohv_on_build_probe_res",
          "ohv: res state %d peer %s own:(%d) peer:(%d) ", version_state, peer.c_str(), own_version,
          peer_version);
}

bool OverlayDescriptor::feed_window(LossWindow& w, LossHistory& h, uint32_t s, uint64_t now) {
  if (s != kNoSequence) {
    if (w.next_expected == 0) w.next_expected = s;
    if (w.last_sequence == 0) w.last_sequence = s == 0 ? 0 : s - 1;
    if (s >= w.next_expected) {
      w.expected_count += s - w.last_sequence;
      if (s > w.next_expected) w.lost_count += s - w.next_expected;
    }
  }
  const bool timed_out = w.end_time != 0 && now >= w.end_time;
  const bool full = w.packet_limit != 0 && w.expected_count >= w.packet_limit;
  if (timed_out || full) {
    const double result = w.expected_count < w.minimum_sample || w.expected_count == 0
                              ? 0.0
                              : static_cast<double>(w.lost_count) / w.expected_count * 100.0;
    h.push(result);
    w.end_time = now + w.duration_ms;
    w.last_sequence = 0;
    w.next_expected = 0;
    w.expected_count = 0;
    w.lost_count = 0;
    return true;
  }
  if (s == kNoSequence) return false;
  w.last_sequence = s;
  w.next_expected = s + 1;
  return false;
}

bool OverlayDescriptor::update_rx_loss(uint32_t sequence) {
  return update_rx_loss(sequence, GetTickCount64());
}

bool OverlayDescriptor::update_rx_loss(uint32_t sequence, uint64_t now) {
  const bool delayed_closed = feed_window(delayed_window, delayed_history, sequence, now);
  const bool instant_closed = feed_window(instant_window, instant_history, sequence, now);
  // Runs for every path on every sequenced packet: skip the averages while
  // no result was pushed and the states already match the loss.
  if (!delayed_closed && !instant_closed && qoe_settled_) return false;
  delayed_rx_loss = delayed_history.average();
  instant_rx_loss = instant_history.average();
  const bool changed =
      update_qoe_states(delayed_rx_loss > instant_rx_loss ? delayed_rx_loss : instant_rx_loss);
  qoe_settled_ = !changed;
  return changed;
}

bool OverlayDescriptor::update_qoe_states(double loss) {
  for (int c = 0; c < kQoeClasses; ++c) {
    const qoe_class_threshold& t = qoe_class_thresholds[c + 1];
    const uint32_t state = loss < t.loss_caution ? 0 : loss < t.loss_unusable ? 1 : 2;
    if (state == qoe_states[c]) continue;
    qoe_states[c] = state;
    return true;
  }
  return false;
}

// ---- OverlayPeerDescriptor

OverlayPeerDescriptor::OverlayPeerDescriptor(const OverlayPeerRecord& record)
    : overlay_address(record.address),
      peer_port(record.port),
      domain(kOstsslDomainSuffix),
      peer_id(overlay_peer_id(record.address)) {
  create_overlay_msg_handlers(this);
}

OverlayPeerDescriptor::~OverlayPeerDescriptor() { destroy_overlay_msg_handlers(this); }

void OverlayPeerDescriptor::find_and_add_wanlink(Vector<OverlayWANLink>& links, IPAddress address,
                                                 uint16_t port, uint32_t path_id,
                                                 const char* side) {
  const String peer = overlay_address.to_string();
  const String link = address.to_string();
  for (OverlayWANLink& l : links) {
    if (!(l.address == address) || l.port != port) continue;
    OVL_LOG(6, "OverlayPeerDescriptor::find_and_add_wanlink",
            "OPD(%s): adding %s path to WAN Link IPv4=%s port=%hu", peer.c_str(), side,
            link.c_str(), port);
    l.owl_addpath(path_id);
    return;
  }
  OVL_LOG(6, "OverlayPeerDescriptor::find_and_add_wanlink",
          "OPD(%s): adding %s WAN Link IPv4=%s port=%hu", peer.c_str(), side, link.c_str(), port);
  OverlayWANLink fresh(address, port);
  fresh.owl_addpath(path_id);
  links.insert(links.begin(), fresh);
}

void OverlayPeerDescriptor::find_and_del_wanlink(Vector<OverlayWANLink>& links, IPAddress address,
                                                 uint16_t port, uint32_t path_id,
                                                 const char* side) {
  const String peer = overlay_address.to_string();
  const String link = address.to_string();
  OVL_LOG(6, "OverlayPeerDescriptor::find_and_del_wanlink",
          "OPD(%s): Attempting to delete %s WAN Link IPv4=%s port=%hu", peer.c_str(), side,
          link.c_str(), port);
  for (int i = 0; i < links.size(); ++i) {
    OverlayWANLink& l = links[i];
    if (!(l.address == address) || l.port != port) continue;
    if (l.path_ids.size() == 1) {
      OVL_LOG(6, "OverlayPeerDescriptor::find_and_del_wanlink",
              "OPD(%s): deleting %s WAN Link IPv4=%s port=%hu", peer.c_str(), side, link.c_str(),
              port);
      l.owl_removepath(path_id);
      vector_erase_at(links, i);
      return;
    }
    OVL_LOG(6, "OverlayPeerDescriptor::find_and_del_wanlink",
            "OPD(%s): deleting %s path to WAN Link IPv4=%s port=%hu", peer.c_str(), side,
            link.c_str(), port);
    l.owl_removepath(path_id);
  }
}

void OverlayPeerDescriptor::handle_wanlinks_state_change(const OverlayDescriptor& path, bool up) {
  OVL_LOG(6, "OverlayPeerDescriptor::handle_wanlinks_state_change",
          "OPD: update wan link %s for path %u to peer %s", up ? "UP" : "DOWN", path.local_path_id,
          overlay_address.to_string().c_str());
  if (up) {
    find_and_add_wanlink(remote_links, path.remote_wan, path.remote_port, path.local_path_id,
                         "remote");
    find_and_add_wanlink(local_links, path.local_wan, kLocalLinkPort, path.local_path_id, "local");
    return;
  }
  find_and_del_wanlink(remote_links, path.remote_wan, path.remote_port, path.local_path_id,
                       "remote");
  find_and_del_wanlink(local_links, path.local_wan, kLocalLinkPort, path.local_path_id, "local");
}

bool OverlayPeerDescriptor::is_endpt_in_sync() const {
  for (const std::shared_ptr<OverlayDescriptor>& od : paths) {
    if (od->remote_path_id != 0 && od->peer_mtu != 0) continue;
    OVL_LOG(6, "OverlayPeerDescriptor::is_endpt_in_sync",
            "Overlay: remote pathid/mtu for path=%u with mtu=%d to %s not set", od->local_path_id,
            static_cast<int>(od->peer_mtu), overlay_address.to_string().c_str());
    return false;
  }
  return true;
}

int OverlayPeerDescriptor::remove_od(uint32_t path_id) {
  for (int i = 0; i < paths.size(); ++i) {
    if (paths[i]->local_path_id != path_id) continue;
    vector_erase_at(paths, i);
    return 0;
  }
  return -1;
}

namespace {

bool path_up(const OverlayDescriptor& od) {
  return od.local_up && od.remote_up.load(std::memory_order_relaxed);
}

// The index of the path with `path_id` when it is up, else -1.
int up_path_index(const Vector<std::shared_ptr<OverlayDescriptor>>& paths, uint32_t path_id) {
  for (int i = 0; i < paths.size(); ++i) {
    if (paths[i]->local_path_id != path_id) continue;
    return path_up(*paths[i]) ? i : -1;
  }
  return -1;
}

int lowest_metric_index(const Vector<std::shared_ptr<OverlayDescriptor>>& paths) {
  int best = 0;
  for (int i = 1; i < paths.size(); ++i) {
    if (paths[i]->if_metric < paths[best]->if_metric) best = i;
  }
  return best;
}

}  // namespace

std::shared_ptr<OverlayDescriptor> OverlayPeerDescriptor::get_active_active_od(
    uint32_t current_path_id, bool* is_new) {
  *is_new = false;
  const int n = paths.size();
  if (n == 0) return nullptr;
  if (current_path_id != kNoPath) {
    const int kept = up_path_index(paths, current_path_id);
    if (kept >= 0) return paths[kept];
  }
  const std::shared_ptr<OverlayDescriptor>& od = paths[static_cast<int>(rr_counter % n)];
  ++rr_counter;
  *is_new = true;
  if (current_path_id == kNoPath) {
    ROUTER_LOG_LIMITED(6, "OverlayPeerDescriptor::get_active_active_od",
                       "------------ New active path id:%x interface id:%d", od->local_path_id,
                       od->if_index);
  } else {
    ROUTER_LOG_LIMITED(6, "OverlayPeerDescriptor::get_active_active_od",
                       "------------ Next active path id:%x interface id:%d", od->local_path_id,
                       od->if_index);
  }
  return od;
}

std::shared_ptr<OverlayDescriptor> OverlayPeerDescriptor::get_active_standby_od(
    uint32_t current_path_id, bool* is_new) {
  *is_new = false;
  if (paths.empty()) return nullptr;
  if (current_path_id != kNoPath) {
    const int kept = up_path_index(paths, current_path_id);
    if (kept >= 0) return paths[kept];
  }
  const std::shared_ptr<OverlayDescriptor>& od = paths[lowest_metric_index(paths)];
  *is_new = true;
  if (current_path_id != kNoPath) {
    ROUTER_LOG_LIMITED(6, "OverlayPeerDescriptor::get_active_standby_od",
                       "------------ Next Standby path id %x metric %d interface index %d",
                       od->local_path_id, od->if_metric, od->if_index);
  }
  return od;
}
