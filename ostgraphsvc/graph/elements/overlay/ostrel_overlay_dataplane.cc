// The overlay data plane: encapsulation, decapsulation and the per-path
// checks they make. Every function here runs on the packet thread with the
// overlay lock held by push.
#include <cstring>
#include <mutex>

#include "graph/packet.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "ostgraphsvc/overlaymsg/overlay_msg_type.h"
#include "platform/clock/clock.h"

#define OVL_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

namespace {

constexpr uint8_t kControlMsgType = 3;  // the packet's message type for control messages
constexpr uint8_t kFlagsCleared = 0x3;
constexpr uint32_t kMinInnerLength = 20;
constexpr uint32_t kNoSequence = 0xffffffff;
constexpr uint16_t kEncapMTU = 1500;
constexpr uint32_t kMTUOverheadTunnel = 52;  // DTLS or TLS
constexpr uint32_t kMTUOverheadOther = 36;

uint16_t get16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }

void put16(unsigned char* p, uint32_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

// The outer TOS byte: the DSCP in its six high bits; none for 0 and 255.
uint8_t outer_tos(uint8_t dscp) {
  if (dscp == 0 || dscp == 255) return 0;
  return static_cast<uint8_t>((dscp & 63) << 2);
}

}  // namespace

void OstrelOverlay::push(int port, Packet* p) {
  std::lock_guard<std::recursive_mutex> hold(overlay_lock_);
  switch (port) {
    case 0:
      encapsulate_and_push(p);
      return;
    case 1:
      decapsulate_and_push(p);
      return;
    case 2:
      mark_only(p);
      return;
    default:
      if (noutputs() > 3) {
        output(3).push(p);
        return;
      }
      p->release();
  }
}

void OstrelOverlay::drop(Packet* p, const char* function, const char* reason) {
  OVL_LOG(7, function, "PKTLOG:%s", reason);
  p->release();
}

bool OstrelOverlay::address_higher(IPAddress a, IPAddress b) {
  const unsigned char* x = a.data();
  const unsigned char* y = b.data();
  const uint32_t va = uint32_t{x[3]} << 24 | uint32_t{x[2]} << 16 | uint32_t{x[1]} << 8 | x[0];
  const uint32_t vb = uint32_t{y[3]} << 24 | uint32_t{y[2]} << 16 | uint32_t{y[1]} << 8 | y[0];
  return va > vb;
}

bool OstrelOverlay::is_local_ohv_initator(IPAddress local, IPAddress peer) {
  const String text = peer.to_string();
  const OstrelDIB* own = dib_.find(local);
  if (own != nullptr && own->spoke_only) {
    OVL_LOG(6, "OstrelOverlay::is_local_ohv_initator",
            "local is ike initiator, so i'm ohv initiator for peer %s", text.c_str());
    return true;
  }
  const OstrelDIB* remote = dib_.find(peer);
  if (remote != nullptr && !remote->has_role(OSTREL_DC | OSTREL_WAYPOINT | OSTREL_CONTROLLER)) {
    OVL_LOG(6, "OstrelOverlay::is_local_ohv_initator",
            "peer is spoke , so i'm ohv responder for peer %s", text.c_str());
    return false;
  }
  if (address_higher(local, peer)) {
    OVL_LOG(6, "OstrelOverlay::is_local_ohv_initator",
            " ipaddr higher, so i'm ohv initiator for peer %s", text.c_str());
    return true;
  }
  OVL_LOG(6, "OstrelOverlay::is_local_ohv_initator", "i'm responder for peer %s", text.c_str());
  return false;
}

bool OstrelOverlay::ohv_initiator_flag(IPAddress local, IPAddress peer) {
  return is_local_ohv_initator(local, peer) || address_higher(local, peer);
}

bool OstrelOverlay::is_od_encap_ready(const OverlayDescriptor& od, uint8_t msg_type) const {
  if (od.version_state == OHV_COMPLETED) return true;
  if (msg_type == OVERLAY_LATENCY_PROBE_REQ && od.initiator) return true;
  return msg_type == OVERLAY_LATENCY_PROBE_RES;
}

bool OstrelOverlay::is_od_decap_ready(OverlayDescriptor& od, uint8_t version) {
  od.peer_version = version;
  if (od.version_state < OHV_VERSIONS_EXCHANGED || version == od.own_version) return true;
  OVL_LOG(4, "OstrelOverlay::is_od_decap_ready",
          "ohv: Warning!!! peer %s overlay header version mismatch %d:%d",
          od.peer_overlay.to_string().c_str(), version, od.own_version);
  return false;
}

OverlayPeerDescriptor* OstrelOverlay::get_nh_opd(IPAddress destination, Packet* p, bool keep_path) {
  OverlayPeerDescriptor* opd = find_opd(destination);
  if (opd == nullptr || opd->paths.empty()) {
    IPAddress nh;
    if (nht_.get_nexthop(own_address_, destination, &nh, this) != 0) {
      if (++nh_failures_ % nh_log_period_ == 0) {
        OVL_LOG(6, "OstrelOverlay::get_nh_opd", "error looking up overlay %s",
                destination.to_string().c_str());
      }
      return nullptr;
    }
    opd = find_opd(nh);
    if (opd == nullptr) {
      OVL_LOG(6, "OstrelOverlay::get_nh_opd", "no overlay to nhop=%s", nh.to_string().c_str());
      return nullptr;
    }
  }
  if (opd->paths.empty()) {
    if (opd->tunnel_state != OverlayPeerDescriptor::kTunnelDown) {
      OVL_LOG(6, "OstrelOverlay::get_nh_opd", "Tunnel DOWN with peer %s", opd->peer_id.c_str());
      opd->tunnel_state = OverlayPeerDescriptor::kTunnelDown;
    }
    return nullptr;
  }
  if (opd->tunnel_state != OverlayPeerDescriptor::kTunnelUp) {
    OVL_LOG(6, "OstrelOverlay::get_nh_opd", "Tunnel UP with peer %s", opd->peer_id.c_str());
    opd->tunnel_state = OverlayPeerDescriptor::kTunnelUp;
  }
  if (!keep_path && p != nullptr) p->set_overlay_path_anno(opd->paths[0]->local_path_id);
  return opd;
}

void OstrelOverlay::set_mtu_annotation(Packet* p, IPAddress destination) {
  const OverlayPeerDescriptor* opd = get_nh_opd(destination, p, true);
  if (opd == nullptr || opd->mtu == 0) {
    p->set_mtu_anno(kDefaultMTU);
    return;
  }
  const uint32_t overhead =
      opd->encap_protocol == 1 || opd->encap_protocol == 2 ? kMTUOverheadTunnel : kMTUOverheadOther;
  p->set_mtu_anno(static_cast<uint16_t>(opd->mtu > overhead ? opd->mtu - overhead : 0));
}

void OstrelOverlay::compute_packet_loss(Packet* p) { compute_packet_loss(p, GetTickCount64()); }

void OstrelOverlay::compute_packet_loss(Packet* p, uint64_t now) {
  const uint32_t path_id = p->overlay_path_anno();
  const uint32_t sequence = p->overlay_seq_anno();
  for (OverlayDescriptor* path : path_list_) {
    OverlayDescriptor& od = *path;
    if (od.local_path_id != path_id && od.rx_loss_idle(now)) continue;
    if (!od.update_rx_loss(od.local_path_id == path_id ? sequence : kNoSequence, now)) continue;
    OverlayPeerDescriptor* opd = find_opd(od.peer_overlay);
    if (opd == nullptr || opd->peer_is_controller) continue;
    if ((local_roles() & OSTREL_CONTROLLER) != 0) continue;
    OVL_LOG(6, "OstrelOverlay::compute_packet_loss",
            "QoE State Changed, Trigger Path Stats Message to %s",
            od.peer_overlay.to_string().c_str());
    if (opd->endpoint_handler != nullptr) opd->endpoint_handler->new_msg_trigger(kTriggerQoe);
  }
}

void OstrelOverlay::encapsulate_and_push(Packet* p) {
  static constexpr char kTag[] = "OstrelOverlay::encapsulate_and_push";
  const IPAddress destination = p->dst_ip_anno();
  if (p->overlay_path_anno() == 0) {
    if (get_nh_opd(destination, p, false) == nullptr) return drop(p, kTag, "OPD is NULL");
    if (p->overlay_path_anno() == 0) return drop(p, kTag, "NULL_PATHID");
  }
  auto it = path_table_.find(p->overlay_path_anno());
  if (!it.live()) return drop(p, kTag, "NULL_OD");
  OverlayDescriptor& od = *it->value;
  if (!is_od_encap_ready(od, p->overlay_msg_type_anno())) {
    return drop(p, kTag, "version negotiation not completed");
  }
  const uint8_t flags = p->overlay_flags_anno() & ~kFlagsCleared;
  p->set_overlay_flags_anno(flags);
  if ((flags & kOverlayFlagEncapsulated) != 0) return drop(p, kTag, "encap loop");

  const uint8_t version = od.version_state >= OHV_VERSIONS_EXCHANGED ? od.own_version : uint8_t{0};
  const uint32_t inner = p->length();
  const uint32_t overhead = version != 0
                                ? kOuterHeaderLength + kFullHeaderLength
                                : kOuterHeaderLength + kUDPHeaderLength + kLegacyHeaderLength;
  // The outer total length is 16 bits: a bigger packet would wrap it.
  if (inner > kMaxIPv4Length - overhead) return drop(p, kTag, "packet too big");

  const bool control = (p->overlay_packet_flags_anno() & kOverlayPacketControl) != 0;
  if (control) {
    p->set_msgtype(kControlMsgType);
    p->set_inner_length_anno(inner >= 4 ? get16(p->data() + 2) : static_cast<uint16_t>(inner));
  }
  if (od.protocol == 2) p->set_replicate_anno(0);

  od.last_tx_time.store(GetTickCount64(), std::memory_order_relaxed);
  od.tx_bytes += inner;
  ++od.tx_packets;
  const uint8_t klass = p->sched_class_anno();
  if (control) {
    od.tx_control_bytes += inner;
  } else if (klass >= 1 && klass <= 3) {
    od.tx_class_bytes[klass - 1] += inner;
  }

  const uint8_t hop = p->hop_count_anno();
  const uint8_t overlay_class = static_cast<uint8_t>(p->overlay_class_anno());
  uint8_t protocol;
  if (version != 0) {
    const uint32_t sequence = od.tx_sequence;
    od.tx_sequence = sequence == 0xffffffff ? 1 : sequence + 1;
    p = p->push(kFullHeaderLength);
    if (p == nullptr) return;
    unsigned char* h = p->data();
    std::memset(h, 0, kFullHeaderLength);
    h[0] = static_cast<unsigned char>((version & 0x0f) | ((hop + 1) & 0x0f) << 4);
    h[1] = static_cast<unsigned char>((overlay_class & 0x7f) | (control ? 0x80 : 0));
    h[2] = 1;
    h[4] = static_cast<unsigned char>(sequence);
    h[5] = static_cast<unsigned char>(sequence >> 8);
    h[6] = static_cast<unsigned char>(sequence >> 16);
    h[7] = static_cast<unsigned char>(sequence >> 24);
    protocol = kProtocolOverlay;
  } else {
    p = p->push(kUDPHeaderLength + kLegacyHeaderLength);
    if (p == nullptr) return;
    unsigned char* u = p->data();
    put16(u, kLegacyPort);
    put16(u + 2, kLegacyPort);
    put16(u + 4, p->length());
    put16(u + 6, 0);
    unsigned char* h = u + kUDPHeaderLength;
    h[0] = 0;
    h[1] = static_cast<unsigned char>(hop + 1);
    h[2] = 1;
    h[3] = 0;
    h[4] = overlay_class;
    h[5] = control ? 2 : 1;
    protocol = kProtocolUDP;
  }
  p = p->push(kOuterHeaderLength);
  if (p == nullptr) return;
  uint16_t id = static_cast<uint16_t>(identification_++);
  fill_outer_ip_header(p, &id, own_address_, destination, outer_tos(p->dscp_anno()), protocol);

  p->set_dst_ip_anno(od.remote_wan);
  p->set_peer_wan_ip_anno(od.remote_wan);
  p->set_peer_local_ip_anno(od.local_wan);
  p->set_overlay_flags_anno(p->overlay_flags_anno() | kOverlayFlagEncapsulated);
  p->set_mtu_anno(kEncapMTU);
  if (noutputs() < 1) return p->release();
  output(0).push(p);
}

void OstrelOverlay::decapsulate_and_push(Packet* p) {
  static constexpr char kTag[] = "OstrelOverlay::decapsulate_and_push";
  if (p->length() < kOuterHeaderLength) return drop(p, kTag, "short packet");
  const uint8_t outer_protocol = p->data()[9];
  if (outer_protocol == kProtocolUDP) {
    if (p->length() < kOuterHeaderLength + kUDPHeaderLength) return drop(p, kTag, "short packet");
    p->pull(kOuterHeaderLength + kUDPHeaderLength);
  } else if (outer_protocol == kProtocolOverlay) {
    p->pull(kOuterHeaderLength);
  } else {
    return drop(p, kTag, "BAD_PEER");
  }

  auto it = path_table_.find(p->overlay_path_anno());
  if (!it.live()) return drop(p, kTag, "Overlay OverlayDescriptor not found for peer");
  OverlayDescriptor& od = *it->value;
  if (p->length() == 0) return drop(p, kTag, "Packet with empty data");
  const uint64_t now = GetTickCount64();
  od.last_rx_time.store(now, std::memory_order_relaxed);

  const unsigned char* h = p->data();
  uint8_t version;
  uint8_t hop;
  bool control;
  bool has_sequence = false;
  uint32_t sequence = 0;
  if (h[0] != 0) {
    if (p->length() < kFullHeaderLength) return drop(p, kTag, "short packet");
    version = h[0] & 0x0f;
    hop = h[0] >> 4;
    control = (h[1] & 0x80) != 0;
    if ((h[2] & 1) != 0) {
      has_sequence = true;
      sequence = uint32_t{h[4]} | uint32_t{h[5]} << 8 | uint32_t{h[6]} << 16 | uint32_t{h[7]} << 24;
    }
    p->pull(kFullHeaderLength);
  } else {
    if (p->length() < kLegacyHeaderLength) return drop(p, kTag, "short packet");
    version = h[2] & 0x0f;
    hop = version != 0 ? (h[1] & 0x0f) : h[1];
    control = h[5] == 2;
    p->pull(kLegacyHeaderLength);
  }
  // Both kinds carry an IPv4 packet, and data is read up to byte 19.
  if (p->length() < kMinInnerLength) return drop(p, kTag, "short packet");

  if (!is_od_decap_ready(od, version)) return drop(p, kTag, "oh version not completed or od null");
  p->set_hop_count_anno(hop);
  p->set_overlay_flags_anno(p->overlay_flags_anno() | kOverlayFlagDecapsulated);

  if (has_sequence && sequence != 0) {
    if (!od.rx_window.check(sequence)) return drop(p, kTag, "duplicate pkt");
    od.rx_window.mark(sequence);
    od.rx_window.reset_if_exhausted();
    p->set_overlay_seq_anno(sequence);
    compute_packet_loss(p, now);
  }

  od.last_rx_time.store(now, std::memory_order_relaxed);
  const uint32_t length = p->length();
  od.rx_bytes += length;
  ++od.rx_packets;
  if (control) {
    od.rx_control_bytes += length;
    if (noutputs() < 2) return p->release();
    output(1).push(p);
    return;
  }
  const uint8_t klass = p->sched_class_anno();
  if (klass >= 1 && klass <= 3) od.rx_class_bytes[klass - 1] += length;
  if (p->mtu_anno() == 0) set_mtu_annotation(p, od.peer_overlay);
  p->set_decap_value_anno(od.peer_overlay.addr());
  p->set_decap_mark_anno(kDecapMark);
  p->set_network_header(p->data(), kMinInnerLength);
  IPAddress inner_destination;
  std::memcpy(&inner_destination, p->data() + 16, 4);
  p->set_dst_ip_anno(inner_destination);
  if (noutputs() < 4) return p->release();
  output(3).push(p);
}

void OstrelOverlay::mark_only(Packet* p) {
  p->set_snat_pattern_anno(0);
  set_mtu_annotation(p, p->dst_ip_anno());
  if ((p->overlay_packet_flags_anno() & kOverlayPacketControl) != 0)
    p->set_msgtype(kControlMsgType);
  p->set_overlay_flags_anno(p->overlay_flags_anno() | kOverlayFlagDecapsulated);
  auto it = path_table_.find(p->overlay_path_anno());
  if (it.live()) p->set_peer_wan_ip_anno(it->value->peer_overlay);
  if (noutputs() < 3) return p->release();
  output(2).push(p);
}
