// The overlay message element's input 0: the input's first byte picks the
// local node's role (spoke, hub or controller, by its value modulo 3); the
// rest is one control packet as decapsulation hands it over (data at the
// inner IPv4 header), in a buffer that ends where its data ends, from the one
// peer 10.20.0.1 on its one path (id 5) with latency, jitter and keepalive
// probes. The overlay is configured from a file with a local DIB entry of
// that role, so the handlers of every kind take their role's branches.
// Answers leave on an unconnected output and are released. The process has
// an address manager, so address answers (kind 17) reach a lease, which lives
// across inputs.
#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"
#include "tests/fuzz/element_fuzz.h"

namespace {

IPAddress ip(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a;
}

char g_conf_dir[] = "/tmp/fuzz_overlay_msg.XXXXXX";
std::string* g_conf_files = nullptr;

void remove_conf_files() {
  for (int i = 0; i < 3; ++i) unlink(g_conf_files[i].c_str());
  rmdir(g_conf_dir);
}

// Overlay files of a local spoke, hub and controller, written once and
// removed at exit.
const std::string& conf_file(int role) {
  static const std::string* const files = [] {
    static const char* const kRoles[] = {"SPOKE", "DC", "CONTROLLER"};
    char* dir = g_conf_dir;
    if (mkdtemp(dir) == nullptr) __builtin_trap();
    auto* names = new std::string[3];
    g_conf_files = names;
    for (int i = 0; i < 3; ++i) {
      names[i] = std::string(dir) + "/overlay" + std::to_string(i) + ".json";
      std::ofstream(names[i])
          << "{\"local\": {\"overlayIP\": \"10.10.0.1\", \"tenantID\": \"t1\", "
             "\"roles\": [{\"type\": \""
          << kRoles[i]
          << "\"}], \"nexthop\": [{\"ipv4\": \"10.20.0.1\", \"wanip\": \"192.0.2.1\", "
             "\"port\": 443, \"groupid\": \"g1\", \"groupname\": \"n1\"}]}, "
             "\"remote\": [{\"overlayIP\": \"10.20.0.1\", \"roles\": [{\"type\": "
             "\"DC\"}], \"groupid\": \"g1\"}]}";
    }
    std::atexit(remove_conf_files);
    return names;
  }();
  return files[role];
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
  if (size < 1) return 0;
  const std::string& conf_path = conf_file(data[0] % 3);
  ++data;
  --size;

  RecordingOverlayTransport transport;
  set_overlay_transport(&transport);
  struct Restore {
    ~Restore() { set_overlay_transport(nullptr); }
  } restore;
  OstrelOverlay ov;
  Vector<String> conf;
  conf.push_back(String(conf_path.c_str()));
  SilentErrorHandler errh;
  if (ov.configure(conf, &errh) != 0 || registered_overlay() != &ov) __builtin_trap();
  if (ov.get_dib(ov.own_address()) == nullptr) __builtin_trap();
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
