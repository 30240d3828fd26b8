#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "graph/error_handler.h"
#include "graph/router.h"
#include "graph/router_file.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg_test_support.h"
#include "ostgraphsvc/qmsg/qmsg.h"

namespace {

using namespace overlay_test;

class MsgTest : public MsgFixture {
 protected:
  // Pushes `p` on input 0 and returns what left on output 0.
  std::vector<Packet*> Receive(Packet* p) {
    h_.Push("src", p);
    std::vector<Packet*> out;
    while (Packet* q = h_.Take("sink", 0)) out.push_back(q);
    return out;
  }
};

TEST_F(MsgTest, DispatchTable) {
  ASSERT_TRUE(LoadMsg());
  auto od = AddPath("10.20.0.1", 5, OHV_COMPLETED);
  od->negotiated = true;
  AttachProbes(od.get());
  auto bare = AddPath("10.20.0.1", 6, OHV_COMPLETED);
  OverlayPeerDescriptor* opd = ov_->get_opd(Ip("10.20.0.1"));
  ASSERT_NE(opd, nullptr);
  log_.fresh();

  // Kinds with no receiver: released, no handler or probe runs.
  for (uint32_t kind : {1u, 2u, 6u, 11u, 15u, 16u, 18u}) {
    OstrelOverlayStateMsg m;
    m.set_osm_type(kind);
    EXPECT_TRUE(Receive(ControlFrom(m, "10.20.0.1", "10.10.0.1", 5)).empty()) << kind;
  }
  std::string log = log_.fresh();
  EXPECT_EQ(Count(log, "Procesing "), 7);

  // 3, 4, 5: printed, then the peer's handler.
  OstrelOverlayStateMsg wls;
  wls.set_osm_type(3);
  EXPECT_TRUE(Receive(ControlFrom(wls, "10.20.0.1", "10.10.0.1", 5)).empty());
  OstrelOverlayStateMsg endpt;
  endpt.set_osm_type(4);
  EXPECT_TRUE(Receive(ControlFrom(endpt, "10.20.0.1", "10.10.0.1", 5)).empty());
  OstrelOverlayStateMsg sync;
  sync.set_osm_type(5);
  sync.mutable_osm_syncstatemsg()->set_wep_version(9);
  sync.mutable_osm_syncstatemsg()->set_wls_version(0);
  EXPECT_TRUE(Receive(ControlFrom(sync, "10.20.0.1", "10.10.0.1", 5)).empty());
  log = log_.fresh();
  EXPECT_EQ(Count(log, "OVERLAY_WANLINK_STATE_MSG_10.20.0.1 OSM_Type:3"), 1);
  EXPECT_EQ(opd->wan_state_handler->consumed_version, 0u);
  EXPECT_EQ(Count(log, "OVERLAY_PATHID_STATE_MSG_10.20.0.1"), 1);
  EXPECT_EQ(Count(log, "EndPt Msg:Setting Consuming msg from pathid 5"), 1);
  EXPECT_EQ(Count(log, "OVERLAY_SYNC_STATE_MSG_10.20.0.1"), 1);
  EXPECT_EQ(opd->endpoint_handler->peer_version, 9u);
  EXPECT_FALSE(first_state_sync_pending());

  // 14 and 17 (its own line, an empty kind name).
  OstrelOverlayStateMsg ua;
  ua.set_osm_type(14);
  EXPECT_TRUE(Receive(ControlFrom(ua, "10.20.0.1", "10.10.0.1", 5)).empty());
  OstrelOverlayStateMsg am;
  am.set_osm_type(17);
  EXPECT_TRUE(Receive(ControlFrom(am, "10.20.0.1", "10.10.0.1", 5)).empty());
  log = log_.fresh();
  EXPECT_EQ(Count(log,
                  "OverlayUserAuthMsg: received message from 10.20.0.1 version 0 ack 0 "
                  "state:0"),
            1);
  EXPECT_EQ(Count(log, "Procesing (17) message received from 10.20.0.1. "), 1);
  EXPECT_EQ(Count(log, "OverlayAddrMgmtMsg: received message"), 2);  // the element's, the handler's
  EXPECT_EQ(Count(log, "OverlayAddrMgmtMsg: received message from 10.20.0.1 type 0 version 0"), 1);
  EXPECT_EQ(Count(log, "OverlayAddrMgmtMsg: Already processed message from 10.20.0.1"), 1);

  // Requests are answered on the same peer and path, echoing the id.
  const std::pair<uint32_t, uint32_t> asks[] = {{7, 8}, {9, 10}, {12, 13}};
  for (auto [request, response] : asks) {
    std::vector<Packet*> out = Receive(ProbeFrom(request, 4242, "10.20.0.1", 5));
    ASSERT_EQ(out.size(), 1u) << request;
    const OstrelOverlayStateMsg m = MessageOf(out[0]);
    EXPECT_EQ(m.osm_type(), response);
    EXPECT_EQ(m.osm_probemsg().seqnum(), 4242u);
    EXPECT_TRUE(DestinationOf(out[0]) == Ip("10.20.0.1"));
    EXPECT_EQ(out[0]->overlay_path_anno(), 5u);
    EXPECT_TRUE(out[0]->overlay_packet_flags_anno() & kOverlayPacketControl);
    EXPECT_TRUE(out[0]->dst_ip_anno() == Ip("10.20.0.1"));
    out[0]->release();
  }

  // Responses are consumed: a matching latency answer sets the latency.
  auto* latency = static_cast<OverlayLatencyProbe*>(od->latency_probe);
  latency->last_send_ms = g_tick - 40;
  EXPECT_TRUE(Receive(ProbeFrom(8, latency->current_id, "10.20.0.1", 5)).empty());
  EXPECT_EQ(od->latency, 20u);
  auto* jitter = static_cast<OverlayJitterProbe*>(od->jitter_probe);
  jitter->burst_start_ms = g_tick;
  EXPECT_TRUE(Receive(ProbeFrom(10, jitter->burst_start_id, "10.20.0.1", 5)).empty());
  EXPECT_EQ(jitter->received_count, 1u);
  auto* keepalive = static_cast<OverlayKeepaliveProbe*>(od->keepalive_probe);
  keepalive->last_send_ms = g_tick;
  od->remote_up = false;
  EXPECT_TRUE(Receive(ProbeFrom(13, keepalive->current_id, "10.20.0.1", 5)).empty());
  EXPECT_TRUE(od->remote_up);

  // While the initiator's negotiation is open a latency answer brings a
  // quick request.
  od->negotiated = false;
  od->version_state = OHV_INITIATED;
  log_.fresh();
  std::vector<Packet*> quick = Receive(ProbeFrom(8, 1, "10.20.0.1", 5));
  ASSERT_EQ(quick.size(), 1u);
  EXPECT_EQ(MessageOf(quick[0]).osm_type(), 7u);
  EXPECT_EQ(MessageOf(quick[0]).osm_probemsg().seqnum(), latency->current_id);
  quick[0]->release();
  log = log_.fresh();
  EXPECT_EQ(Count(log, "ohv: Consume Probe Received for Peer 10.20.0.1"), 1);
  EXPECT_EQ(Count(log, "ohv: quick probe req to peer 10.20.0.1"), 1);

  // Unknown sender, missing path, missing probe.
  EXPECT_TRUE(Receive(ProbeFrom(7, 1, "10.99.0.1", 5)).empty());
  EXPECT_TRUE(Receive(ProbeFrom(7, 1, "10.20.0.1", 99)).empty());
  EXPECT_TRUE(Receive(ProbeFrom(9, 1, "10.20.0.1", 6)).empty());
  EXPECT_TRUE(Receive(ProbeFrom(13, 1, "10.20.0.1", 6)).empty());
  EXPECT_TRUE(Receive(ProbeFrom(8, 1, "10.20.0.1", 6)).empty());
  log = log_.fresh();
  EXPECT_EQ(Count(log, "Received STATE message from 10.99.0.1 but OPD is DOWN"), 1);
  EXPECT_EQ(Count(log, "ERROR: unable to get the od for pathid 99"), 1);
  EXPECT_EQ(Count(log, "ERROR: unable to get the jitter prober for pathid 6"), 1);
  EXPECT_EQ(Count(log, "ERROR: unable to get the keepalive prober for pathid 6"), 1);
  EXPECT_EQ(Count(log, "ERROR: unable to get the latency prober for pathid 6"), 1);

  // A UDP length of 7 carries no message (kind 0); 27 bytes carry no header.
  Packet* short_udp = ProbeFrom(7, 1, "10.20.0.1", 5);
  short_udp->data()[24] = 0;
  short_udp->data()[25] = 7;
  EXPECT_TRUE(Receive(short_udp).empty());
  Packet* cut = ProbeFrom(7, 1, "10.20.0.1", 5);
  cut->take(cut->length() - 27);
  EXPECT_TRUE(Receive(cut).empty());
  log = log_.fresh();
  EXPECT_EQ(Count(log, "Procesing (0) message received from 10.20.0.1. "), 1);
  EXPECT_EQ(Count(log, "Procesing "), 1);
}

TEST_F(MsgTest, SendOverlayPacketsReleasesWhatItCannotSend) {
  ASSERT_TRUE(LoadMsg());
  auto od = AddPath("10.20.0.1", 5, OHV_COMPLETED);
  OverlayPeerDescriptor* opd = ov_->get_opd(Ip("10.20.0.1"));
  Vector<Packet*> packets;
  packets.push_back(make_probe_packet(OVERLAY_LATENCY_PROBE_REQ, 1, 5));
  Packet* other = make_probe_packet(OVERLAY_LATENCY_PROBE_REQ, 1, 5);
  other->set_overlay_packet_flags_anno(kControlCategoryAllPeers << kControlCategoryShift);
  packets.push_back(other);
  Packet* none = make_probe_packet(OVERLAY_LATENCY_PROBE_REQ, 1, 5);
  none->set_overlay_packet_flags_anno(0);
  packets.push_back(none);
  EXPECT_TRUE(msg_->send_overlay_pkts(opd, Ip("10.10.0.1"), packets));
  EXPECT_TRUE(packets.empty());
  Packet* out = h_.Take("sink", 0);
  ASSERT_NE(out, nullptr);
  out->release();
  EXPECT_EQ(h_.Take("sink", 0), nullptr);
  const std::string log = log_.text();
  EXPECT_EQ(Count(log, "Not processing OVERLAY_STATE_MSG_PCY_ALL message, possible memory leak"),
            1);
  EXPECT_EQ(Count(log, "Unknown packet received, possible memory leak"), 1);

  // An unknown path: false, released, logged once in 120.
  for (int i = 0; i < 240; ++i) {
    packets.push_back(make_probe_packet(OVERLAY_LATENCY_PROBE_REQ, 1, 77));
    EXPECT_FALSE(msg_->send_overlay_pkts(opd, Ip("10.10.0.1"), packets));
  }
  EXPECT_EQ(Count(log_.text(), "Overlay MSG: pathid 77 not found opd="), 2);
  EXPECT_EQ(h_.Take("sink", 0), nullptr);
}

// Waits (real time) until `pred` holds or a second passes.
template <typename F>
bool Eventually(F pred) {
  for (int i = 0; i < 200; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return pred();
}

class FastProbe : public OstrelOverlayProbeInterface {
 public:
  FastProbe()
      : OstrelOverlayProbeInterface(PROBE_TYPE_NONE, Ip("10.99.9.9"), Ip("10.99.9.8"), nullptr) {}
  bool should_send_probe(OverlayDescriptor*) override { return false; }
  Packet* build_probe_packet(OverlayDescriptor*) override { return nullptr; }
  void probe_sent(OverlayDescriptor*) override {}
  void consume_probe(Packet*, const OstrelOverlayStateMsg&, OstrelOverlay*,
                     OverlayDescriptor*) override {}
  String probe_name() override { return String("Fast"); }
  bool fast_probe_required() override { return true; }
};

class CadenceTest : public MsgTest {
 protected:
  // Steps the tick by `ms` and returns the tick block the thread posted, or
  // null when none came.
  _QMSGBLOCK* Step(uint64_t ms) {
    g_tick += ms;
    msg_->wake_statemsg_timer();
    return g_qmsg_queue.wait_for(ms == 0 ? 50000 : 1000000);
  }
  _QMSGBLOCK* Nothing(uint64_t ms) {
    g_tick += ms;
    msg_->wake_statemsg_timer();
    return g_qmsg_queue.wait_for(100000);
  }
};

TEST_F(CadenceTest, SlowTicksThenFastForGood) {
  ASSERT_TRUE(LoadMsg());
  ASSERT_TRUE(msg_->timer_running());
  EXPECT_EQ(Nothing(4999), nullptr);
  _QMSGBLOCK* b = Step(1);
  ASSERT_NE(b, nullptr);
  EXPECT_STREQ(qmsgblock_tag(b), "iomsg");
  EXPECT_EQ(b->msgtype, QMSG_IOMSG);
  qmsgblock_release(b);

  // A slow run: state messages due, next time counted from 0.
  Tick();
  EXPECT_EQ(msg_->next_statemsg_ms(), OstrelOverlayMsg::kStateMsgIntervalMs);

  auto* fast = new FastProbe;
  insert_overlay_probe(fast);
  Tick();  // sees the probe; this run still counts as slow
  EXPECT_TRUE(statemsg_fast_timer().load());
  EXPECT_EQ(msg_->next_statemsg_ms(), OstrelOverlayMsg::kStateMsgIntervalMs);
  remove_overlay_probe(fast);
  delete fast;

  // The slow wait already running ends one fast period after it began: a
  // keepalive time-out under 5 s must not expire in it.
  EXPECT_EQ(Nothing(499), nullptr);
  b = Step(1);
  ASSERT_NE(b, nullptr);
  qmsgblock_release(b);
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(Nothing(499), nullptr);
    b = Step(1);
    ASSERT_NE(b, nullptr) << i;
    qmsgblock_release(b);
  }
  // The first fast run sends state messages at once, then only every 5 s.
  Tick();
  const uint64_t next = msg_->next_statemsg_ms();
  EXPECT_EQ(next, g_tick + 5000);
  g_tick += 4999;
  Tick();
  EXPECT_EQ(msg_->next_statemsg_ms(), next);
  g_tick = next;
  Tick();
  EXPECT_EQ(msg_->next_statemsg_ms(), next + 5000);
  Tick();  // still fast with the probe gone
  EXPECT_TRUE(statemsg_fast_timer().load());
}

TEST_F(CadenceTest, FullRingLogsOncePerTickAndResumesAtTheSameSlot) {
  ASSERT_TRUE(LoadMsg());
  QMsgBlockPool* ring = msg_->tick_ring();
  ASSERT_NE(ring, nullptr);
  std::vector<_QMSGBLOCK*> held;
  for (int i = 0; i < kStateMsgTickRingBlocks; ++i) {
    _QMSGBLOCK* b = Step(5000);
    ASSERT_NE(b, nullptr) << i;
    held.push_back(b);
  }
  log_.fresh();
  EXPECT_EQ(Nothing(5000), nullptr);
  EXPECT_TRUE(Eventually([&] {
    return Count(log_.text(), "OstrelOverlayMsg: no message blocks available for the queue") == 1;
  }));
  EXPECT_EQ(Nothing(5000), nullptr);
  EXPECT_TRUE(Eventually([&] {
    return Count(log_.text(), "OstrelOverlayMsg: no message blocks available for the queue") == 2;
  }));
  qmsgblock_release(held[0]);
  _QMSGBLOCK* again = Step(5000);
  EXPECT_EQ(again, ring->block(0));
  held[0] = again;
  for (_QMSGBLOCK* b : held) qmsgblock_release(b);
}

TEST_F(CadenceTest, RingOfAStoppedElementOutlivesItsQueuedBlock) {
  ASSERT_TRUE(LoadMsg());
  _QMSGBLOCK* b = Step(5000);
  ASSERT_NE(b, nullptr);
  // The element goes while its block is still with the consumer.
  ASSERT_TRUE(h_.Load("src :: TestSource; sink :: TestSink; src -> sink;"));
  msg_ = nullptr;
  EXPECT_STREQ(qmsgblock_tag(b), "iomsg");  // still a live block
  qmsgblock_release(b);
  // The next element's stop frees the kept ring (AddressSanitizer reports a
  // ring or tag left behind).
  ASSERT_TRUE(LoadMsg());
  ASSERT_TRUE(h_.Load("src :: TestSource; sink :: TestSink; src -> sink;"));
  msg_ = nullptr;
}

TEST(MsgThreadsTest, HundredRoutersLeaveNoThread) {
  testing_support::StartedLog log(0);
  auto threads = [] {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
      (void)e;
      ++n;
    }
    return n;
  };
  const int before = threads();
  for (int i = 0; i < 100; ++i) {
    testing_support::GraphHarness h;
    ASSERT_TRUE(
        h.Load("src :: TestSource; tick :: TestSource; sink :: TestSink; "
               "ostOverlayMsg :: OstrelOverlayMsg; src -> [0]ostOverlayMsg; "
               "tick -> [1]ostOverlayMsg; ostOverlayMsg[0] -> [0]sink;"));
    auto* m = static_cast<OstrelOverlayMsg*>(h.Find("ostOverlayMsg"));
    ASSERT_NE(m, nullptr);
    EXPECT_TRUE(m->timer_running());
  }
  EXPECT_EQ(threads(), before);
}

}  // namespace

namespace {

using namespace overlay_test;

// The hub end of kTwoHubs' first hub: 10.20.0.1 with the spoke 10.10.0.1.
constexpr char kHub[] = R"({
  "local": {
    "overlayIP": "10.20.0.1", "tenantID": "t1",
    "roles": [{"type": "DC"}],
    "nexthop": [{"ipv4": "10.10.0.1", "wanip": "198.51.100.10", "port": 443}]
  },
  "remote": [{"overlayIP": "10.10.0.1", "roles": [{"type": "SPOKE"}]}]
})";

constexpr char kNodeGraph[] =
    "wire :: TestSource; tick :: TestSource; sink :: TestSink; "
    "ostOverlay :: OstrelOverlay(CONF %s); ostOverlayMsg :: OstrelOverlayMsg; "
    "ostOverlayMsg[0] -> [0]ostOverlay; wire -> [1]ostOverlay; tick -> [1]ostOverlayMsg; "
    "ostOverlay[0] -> out :: TestQueue -> TestPuller; ostOverlay[1] -> [0]ostOverlayMsg; "
    "ostOverlay[2] -> [0]sink; ostOverlay[3] -> [1]sink;";

class TwoNodesTest : public MsgFixture {
 protected:
  ~TwoNodesTest() override { delete hub_; }

  std::string Graph(const std::string& conf_path) {
    char text[1024];
    std::snprintf(text, sizeof(text), kNodeGraph, conf_path.c_str());
    return text;
  }

  // The hub's router on the harness's master, beside the spoke's.
  bool LoadHub() {
    const std::string path = log_.root().path() + "/hub.graph";
    std::ofstream(path) << Graph(WriteConf(kHub, "hub.json"));
    ErrorHandler* errh = ErrorHandler::silent_handler();
    hub_ = read_router_file(String(path.c_str()), errh, h_.router()->master());
    return hub_ != nullptr && hub_->initialize(errh) >= 0;
  }

  Element* Hub(const char* name) { return hub_->find_element(String(name), nullptr); }

  // Carries what each overlay encapsulated to the other's decapsulation, as
  // the transport would, until nothing moves. Returns the packets carried.
  int Carry() {
    int carried = 0;
    for (bool moved = true; moved;) {
      moved = false;
      while (Packet* p = h_.router()->find_element(String("out"), nullptr)->pull(0)) {
        p->set_overlay_path_anno(6);
        Hub("ostOverlay")->push(1, p);
        moved = true;
        ++carried;
      }
      while (Packet* p = Hub("out")->pull(0)) {
        p->set_overlay_path_anno(5);
        h_.Push("wire", p);
        moved = true;
        ++carried;
      }
    }
    return carried;
  }

  Router* hub_ = nullptr;
};

TEST_F(TwoNodesTest, NegotiateHeaderVersionsAndExchangeSyncMessages) {
  ASSERT_TRUE(h_.Load(Graph(WriteConf(kTwoHubs)))) << h_.messages();
  ov_ = static_cast<OstrelOverlay*>(h_.Find("ostOverlay"));
  ASSERT_TRUE(LoadHub());
  auto* hub = static_cast<OstrelOverlay*>(Hub("ostOverlay"));
  ASSERT_NE(hub, nullptr);
  if (hub->get_opd(Ip("10.10.0.1")) == nullptr) {
    OverlayPeerRecord r;
    r.address = Ip("10.10.0.1");
    ASSERT_EQ(hub->insert_opd(r.address, new OverlayPeerDescriptor(r)), 0);
  }

  auto spoke_path = AddPath("10.20.0.1", 5, OHV_INIT);
  spoke_path->remote_path_id = 6;
  AttachProbes(spoke_path.get(), false);
  OverlayPathSetup s;
  s.local_path_id = 6;
  s.peer_overlay = Ip("10.10.0.1");
  s.local_overlay = Ip("10.20.0.1");
  s.remote_wan = Ip("198.51.100.10");
  s.local_wan = Ip("192.0.2.1");
  s.mtu = 1400;
  s.protocol = 1;
  s.initiator = false;
  auto hub_path = hub->insert_path(std::make_shared<OverlayDescriptor>(s));
  hub_path->remote_path_id = 5;
  {
    std::lock_guard<std::recursive_mutex> hold(hub->overlay_lock());
    hub->get_opd(Ip("10.10.0.1"))->paths.push_back(hub_path);
  }
  AttachProbes(hub_path.get(), false);

  Tick();
  EXPECT_GT(Carry(), 0);
  EXPECT_EQ(spoke_path->version_state, OHV_COMPLETED);
  EXPECT_EQ(hub_path->version_state, OHV_COMPLETED);

  // Six seconds on, both sides' sync messages are due.
  log_.fresh();
  g_tick += 6000;
  Tick();
  Hub("ostOverlayMsg")->push(1, Packet::make(0, "iom", 4));
  Carry();
  const std::string log = log_.fresh();
  EXPECT_EQ(Count(log, "OVERLAY_SYNC_STATE_MSG_10.10.0.1"), 1);
  EXPECT_EQ(Count(log, "OVERLAY_SYNC_STATE_MSG_10.20.0.1"), 1);
  EXPECT_EQ(ov_->get_opd(Ip("10.20.0.1"))->state_sync_handler->sent_count, 1u);
  EXPECT_EQ(hub->get_opd(Ip("10.10.0.1"))->state_sync_handler->sent_count, 1u);
  EXPECT_FALSE(first_state_sync_pending());
}

}  // namespace
