// The overlay message element's input 0: the input is one control packet as
// decapsulation hands it over (data at the inner IPv4 header), in a buffer
// that ends where its data ends, from the one peer 10.20.0.1 on its one path
// (id 5) with latency, jitter and keepalive probes. Answers leave on an
// unconnected output and are released. The process has an address manager,
// so address answers (kind 17) reach a lease, which lives across inputs.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "graph/confparse.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"
#include "tests/fuzz/element_fuzz.h"

namespace {

IPAddress ip(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  if (size > 70000) return 0;
  static OstAddrMgmt* const addr_mgmt = [] {
    auto* am = new OstAddrMgmt;
    Vector<String> conf;
    am->configure(conf, nullptr);
    return am;
  }();
  if (registered_addr_mgmt() != addr_mgmt) __builtin_trap();

  OstrelOverlay ov;
  ov.set_own_address(ip("10.10.0.1"));
  OverlayPeerRecord record;
  record.address = ip("10.20.0.1");
  auto* opd = new OverlayPeerDescriptor(record);
  if (ov.insert_opd(record.address, opd) != 0) __builtin_trap();
  OverlayPathSetup s;
  s.local_path_id = 5;
  s.peer_overlay = record.address;
  s.local_overlay = ov.own_address();
  s.mtu = 1400;
  s.remote_wan = ip("192.0.2.1");
  s.local_wan = ip("198.51.100.10");
  s.protocol = 1;
  s.initiator = true;
  std::shared_ptr<OverlayDescriptor> od = ov.insert_path(std::make_shared<OverlayDescriptor>(s));
  opd->paths.push_back(od);
  od->latency_probe = new OverlayLatencyProbe(s.local_overlay, s.peer_overlay, od.get());
  insert_overlay_probe(od->latency_probe);
  od->jitter_probe = new OverlayJitterProbe(s.local_overlay, s.peer_overlay, od.get());
  insert_overlay_probe(od->jitter_probe);
  od->keepalive_probe = new OverlayKeepaliveProbe(s.local_overlay, s.peer_overlay, od.get(), false);
  insert_overlay_probe(od->keepalive_probe);

  OstrelOverlayMsg msg;
  msg.set_overlay(&ov);
  Packet* p = element_fuzz::exact_packet(data, static_cast<uint32_t>(size));
  if (p == nullptr) return 0;
  p->set_overlay_path_anno(5);
  msg.push(0, p);
  return 0;
}
