// Shared pieces of the overlay element's tests: a CONF file, a loaded graph
// with the element wired to a sink on every output, the recording transport,
// and paths added the way the path start-up will add them.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_TEST_SUPPORT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_TEST_SUPPORT_H_

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "graph/confparse.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_transport.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace overlay_test {

inline IPAddress Ip(const char* text) {
  IPAddress a;
  cp_parse_ip_address(String(text), &a);
  return a;
}

// Own address 10.10.0.1 (a spoke); its hub 10.20.0.1 (group "g1", one
// link 192.0.2.1 port 443) and a second hub 10.20.0.2 it names as next hop.
inline constexpr char kTwoHubs[] = R"({
  "local": {
    "overlayIP": "10.10.0.1", "tenantID": "t1",
    "roles": [{"type": "SPOKE"}],
    "nexthop": [
      {"ipv4": "10.20.0.1", "wanip": "192.0.2.1", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.2", "wanip": "192.0.2.2", "port": 443, "groupid": "g2", "groupname": "n2"}
    ]
  },
  "remote": [
    {"overlayIP": "10.20.0.1", "roles": [{"type": "DC"}], "groupid": "g1"},
    {"overlayIP": "10.20.0.2", "roles": [{"type": "WAYPOINT"}]}
  ]
})";

class OverlayFixture : public ::testing::Test {
 protected:
  OverlayFixture() {
    cxLogThreshold = CXLOG_DEBUG;
    set_overlay_transport(&transport_);
  }
  ~OverlayFixture() override { set_overlay_transport(nullptr); }

  std::string WriteConf(const std::string& text, const char* name = "overlay.json") {
    const std::string path = log_.root().path() + "/" + name;
    std::ofstream(path) << text;
    return path;
  }

  // Loads the element with `conf` and a sink on outputs 0-3.
  bool Load(const std::string& conf_text) {
    const std::string graph = "src :: TestSource; sink :: TestSink; ov :: OstrelOverlay(CONF " +
                              WriteConf(conf_text) +
                              "); src -> [0]ov; ov[0] -> [0]sink; ov[1] -> [1]sink; "
                              "ov[2] -> [2]sink; ov[3] -> [3]sink;";
    if (!h_.Load(graph)) return false;
    ov_ = static_cast<OstrelOverlay*>(h_.Find("ov"));
    return ov_ != nullptr;
  }

  // A path of `peer` with `id`, its negotiation in `state`.
  std::shared_ptr<OverlayDescriptor> AddPath(const char* peer, uint32_t id, uint32_t state,
                                             uint8_t own_version = 1, uint16_t protocol = 1) {
    OverlayPathSetup s;
    s.local_path_id = id;
    s.peer_overlay = Ip(peer);
    s.mtu = 1400;
    s.remote_wan = Ip("192.0.2.1");
    s.local_wan = Ip("198.51.100.10");
    s.remote_port = 443;
    s.protocol = protocol;
    s.local_overlay = ov_->own_address();
    s.own_version = own_version;
    s.initiator = true;
    auto od = ov_->insert_path(std::make_shared<OverlayDescriptor>(s));
    od->version_state = state;
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    OverlayPeerDescriptor* opd = ov_->get_opd(Ip(peer));
    if (opd != nullptr) {
      opd->paths.push_back(od);
      opd->encap_protocol = protocol;
    }
    return od;
  }

  testing_support::StartedLog log_{0};
  testing_support::GraphHarness h_;
  RecordingOverlayTransport transport_;
  OstrelOverlay* ov_ = nullptr;
};

inline int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A TLS path to `peer` from 198.51.100.10 to `remote`:443 as the transport
// reports it when the path is up.
inline ostssl_conn_info TlsPathInfo(const char* peer, uint32_t path_id,
                                    const char* remote = "192.0.2.1", const char* group = "g1") {
  ostssl_conn_info info;
  info.path_id = path_id;
  info.peer_id = overlay_peer_id(Ip(peer));
  info.hubgrp_id = group;
  info.hub_role = "Primary";
  info.peer_overlay_ip = Ip(peer).addr();
  info.protocol = 2;
  info.protocol_name = "TLS";
  info.local_ip = Ip("198.51.100.10").addr();
  info.remote_ip = Ip(remote).addr();
  info.remote_port = htons(443);
  info.path_mtu = 1400;
  return info;
}

}  // namespace overlay_test

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_TEST_SUPPORT_H_
