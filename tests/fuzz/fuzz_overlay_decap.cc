// Overlay decapsulation: the input's first byte picks the connection the
// packet came from (its path id), the rest is the packet as the connection
// delivered it, in a buffer that ends where its data ends, so any read past
// a header is an AddressSanitizer error. Two peers and three paths with
// header versions, negotiation states and sequence windows in different
// states; every packet goes through input 1.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "graph/confparse.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "tests/fuzz/element_fuzz.h"

namespace {

IPAddress ip(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a;
}

std::shared_ptr<OverlayDescriptor> add_path(OstrelOverlay& ov, OverlayPeerDescriptor* opd,
                                            uint32_t id, uint16_t protocol, uint32_t state,
                                            uint8_t version) {
  OverlayPathSetup s;
  s.local_path_id = id;
  s.peer_overlay = opd->overlay_address;
  s.mtu = 1400;
  s.remote_wan = ip("192.0.2.1");
  s.local_wan = ip("198.51.100.10");
  s.protocol = protocol;
  s.own_version = version;
  s.local_overlay = ov.own_address();
  auto od = ov.insert_path(std::make_shared<OverlayDescriptor>(s));
  od->version_state = state;
  opd->paths.push_back(od);
  opd->encap_protocol = protocol;
  return od;
}

OverlayPeerDescriptor* add_peer(OstrelOverlay& ov, const char* address, uint16_t mtu) {
  OverlayPeerRecord record;
  record.address = ip(address);
  auto* opd = new OverlayPeerDescriptor(record);
  opd->mtu = mtu;
  if (ov.insert_opd(record.address, opd) != 0) __builtin_trap();
  return opd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  if (size < 1 || size > 70000) return 0;

  OstrelOverlay ov;
  std::lock_guard<std::recursive_mutex> hold(ov.overlay_lock());
  ov.set_own_address(ip("10.10.0.1"));
  OverlayPeerDescriptor* a = add_peer(ov, "10.20.0.1", 1400);
  OverlayPeerDescriptor* b = add_peer(ov, "10.20.0.2", 0);
  add_path(ov, a, 1, 1, OHV_COMPLETED, 1);
  add_path(ov, a, 2, 2, OHV_VERSIONS_EXCHANGED, 0)->rx_window.highest = 0xfffffff0;
  add_path(ov, b, 3, 0, OHV_INIT, 1)->rx_window.size = 0;

  Packet* p = element_fuzz::exact_packet(data + 1, static_cast<uint32_t>(size - 1));
  if (p == nullptr) return 0;
  p->set_overlay_path_anno(data[0] % 4);
  ov.push(1, p);
  return 0;
}
