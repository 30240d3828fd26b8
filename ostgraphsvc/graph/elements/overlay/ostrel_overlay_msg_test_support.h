// Shared pieces of the message element's tests: the overlay and message
// elements in one graph under their service names, a settable tick, control
// packets as a peer sends them, and probes attached to a path the way the
// path start-up attaches them.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_MSG_TEST_SUPPORT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_MSG_TEST_SUPPORT_H_

#include <atomic>
#include <memory>
#include <string>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_msg_handlers.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "overlaystatemsg.pb.h"
#include "platform/clock/clock.h"

namespace overlay_test {

inline std::atomic<uint64_t> g_tick{1000000};
inline uint64_t TestTick() { return g_tick.load(); }

// A control packet from `src` to `dst` on path `path_id`, as decapsulation
// hands it over.
inline Packet* ControlFrom(const OstrelOverlayStateMsg& msg, const char* src, const char* dst,
                           uint32_t path_id) {
  Packet* p = make_control_packet(msg, path_id, static_cast<OverlayMsgType>(msg.osm_type()));
  uint16_t id = 0;
  p = prepend_control_headers(p, &id, Ip(src), Ip(dst));
  p->set_overlay_packet_flags_anno(0);
  p->set_overlay_path_anno(path_id);
  return p;
}

inline Packet* ProbeFrom(uint32_t kind, uint32_t seqnum, const char* src, uint32_t path_id,
                         const char* dst = "10.10.0.1") {
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(kind);
  msg.mutable_osm_probemsg()->set_seqnum(seqnum);
  return ControlFrom(msg, src, dst, path_id);
}

// The message of a control packet that left the element (headers included).
inline OstrelOverlayStateMsg MessageOf(const Packet* p) {
  OstrelOverlayStateMsg msg;
  read_control_message(p, &msg);
  return msg;
}

inline IPAddress DestinationOf(const Packet* p) {
  const unsigned char* ip = p->data();
  return IPAddress(ip[16], ip[17], ip[18], ip[19]);
}

class MsgFixture : public OverlayFixture {
 protected:
  MsgFixture() {
    g_tick = 1000000;
    set_tick_source(TestTick);
    statemsg_fast_timer().store(false);
    reset_first_state_sync_pending();
    reset_keepalive_page_refresh();
  }
  ~MsgFixture() override { set_tick_source(nullptr); }

  // The overlay as "ostOverlay" and the message element as "ostOverlayMsg":
  // "src" feeds its input 0, "tick" its input 1, output 0 goes to
  // "sink" input 0.
  bool LoadMsg(const std::string& conf_text = kTwoHubs) {
    const std::string graph =
        "src :: TestSource; tick :: TestSource; data :: TestSource; sink :: TestSink; "
        "ostOverlay :: OstrelOverlay(CONF " +
        WriteConf(conf_text) +
        "); ostOverlayMsg :: OstrelOverlayMsg; src -> [0]ostOverlayMsg; "
        "tick -> [1]ostOverlayMsg; ostOverlayMsg[0] -> [0]sink; data -> [0]ostOverlay; "
        "ostOverlay[0] -> [1]sink; ostOverlay[1] -> [2]sink; ostOverlay[2] -> [3]sink; "
        "ostOverlay[3] -> [4]sink;";
    if (!h_.Load(graph)) return false;
    ov_ = static_cast<OstrelOverlay*>(h_.Find("ostOverlay"));
    msg_ = static_cast<OstrelOverlayMsg*>(h_.Find("ostOverlayMsg"));
    return ov_ != nullptr && msg_ != nullptr;
  }

  // Latency and jitter probes, and a keepalive unless `keepalive` is false.
  void AttachProbes(OverlayDescriptor* od, bool keepalive = true, bool responder = false) {
    od->latency_probe = new OverlayLatencyProbe(od->local_overlay, od->peer_overlay, od);
    insert_overlay_probe(od->latency_probe);
    od->jitter_probe = new OverlayJitterProbe(od->local_overlay, od->peer_overlay, od);
    insert_overlay_probe(od->jitter_probe);
    if (!keepalive) return;
    od->keepalive_probe =
        new OverlayKeepaliveProbe(od->local_overlay, od->peer_overlay, od, responder);
    insert_overlay_probe(od->keepalive_probe);
  }

  void Tick() { h_.Push("tick", Packet::make(0, "iom", 4)); }

  OstrelOverlayMsg* msg_ = nullptr;
};

}  // namespace overlay_test

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_MSG_TEST_SUPPORT_H_
