#include "ostgraphsvc/graph/elements/overlay/overlay_probes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg_test_support.h"
#include "tests/support/registry_values.h"

namespace {

using namespace overlay_test;

constexpr char kTarn[] = "SOFTWARE\\Corvex\\tarn";

class ProbeTest : public MsgFixture {
 protected:
  // A path of peer 10.20.0.1 with id `id`, not in any table.
  static std::shared_ptr<OverlayDescriptor> Path(uint32_t id = 5) {
    OverlayPathSetup s;
    s.local_path_id = id;
    s.peer_overlay = Ip("10.20.0.1");
    s.local_overlay = Ip("10.10.0.1");
    s.remote_wan = Ip("192.0.2.1");
    s.local_wan = Ip("198.51.100.10");
    s.mtu = 1400;
    s.protocol = 1;
    s.initiator = true;
    return std::make_shared<OverlayDescriptor>(s);
  }

  std::unique_ptr<OverlayKeepaliveProbe> Keepalive(OverlayDescriptor* od, bool responder = false) {
    return std::make_unique<OverlayKeepaliveProbe>(Ip("10.10.0.1"), Ip("10.20.0.1"), od, responder);
  }

  static OstrelOverlayStateMsg Answer(uint32_t kind, uint32_t id) {
    OstrelOverlayStateMsg m;
    m.set_osm_type(kind);
    m.mutable_osm_probemsg()->set_seqnum(id);
    return m;
  }
};

TEST_F(ProbeTest, KeepaliveTimeoutConfiguration) {
  auto od = Path();
  const struct {
    const char* text;  // null: absent
    uint32_t timeout, interval;
    bool fast;
    const char* line;
  } cases[] = {
      {nullptr, 15000, 5000, false, nullptr},
      {"6000", 6000, 2000, true, "found timeout config in tenant label: 6000"},
      {"100", 1500, 500, true, "found timeout config in tenant label: 1500"},
      {"15000", 15000, 5000, false, "found timeout config in tenant label: 15000"},
      {"20000", 15000, 5000, false, "found timeout config in tenant label: 20000"},
      {"-1", 15000, 5000, false, nullptr},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text != nullptr ? c.text : "(absent)");
    if (c.text != nullptr) testing_support::SetRegText(kTarn, "tarnkatimeoutmsecs", c.text);
    log_.fresh();
    auto ka = Keepalive(od.get());
    EXPECT_EQ(ka->timeout_ms.load(), c.timeout);
    EXPECT_EQ(ka->interval_ms, c.interval);
    EXPECT_EQ(ka->fast_probe_required(), c.fast);
    if (c.line != nullptr) {
      EXPECT_EQ(Count(log_.fresh(), c.line), 1);
    }
  }
}

TEST_F(ProbeTest, KeepaliveSilenceWhileNegotiationIsOpen) {
  auto od = Path();
  auto ka = Keepalive(od.get());
  od->last_rx_time = g_tick - 20000;
  EXPECT_FALSE(ka->should_send_probe(od.get()));
  EXPECT_FALSE(od->remote_up);
  EXPECT_EQ(Count(log_.text(),
                  "INFO: No rx for 20000 msecs. mark remote (192.0.2.1) down for "
                  "path 5. timeout value: 15000 msec"),
            1);

  testing_support::SetRegText(kTarn, "tarnkatimeoutmsecs", "6000");
  auto od2 = Path(6);
  auto ka2 = Keepalive(od2.get());
  od2->last_rx_time = g_tick - 10000;
  EXPECT_TRUE(ka2->should_send_probe(od2.get()));
  EXPECT_TRUE(od2->remote_up);
  EXPECT_EQ(Count(log_.text(),
                  "not marking tunnel down as version negotiation not completed for "
                  "192.0.2.1. No rx since: 10000 msecs"),
            1);
  Packet* p = ka2->build_probe_packet(od2.get());
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->overlay_msg_type_anno(), OVERLAY_KEEPALIVE_PROBE_REQ);
  p->release();
}

TEST_F(ProbeTest, KeepaliveTrafficResponderAndPathIdZero) {
  auto od = Path();
  od->negotiated = true;
  auto ka = Keepalive(od.get());
  // Traffic both ways within the interval: no keepalive, due one interval later.
  od->last_rx_time = g_tick - 100;
  od->last_tx_time = g_tick - 100;
  EXPECT_FALSE(ka->should_send_probe(od.get()));
  EXPECT_EQ(ka->last_send_ms, g_tick.load());
  g_tick += 4999;
  EXPECT_FALSE(ka->should_send_probe(od.get()));
  g_tick += 1;
  EXPECT_TRUE(ka->should_send_probe(od.get()));

  // A responder sends nothing, but still marks the remote down and up again.
  auto rod = Path(7);
  rod->negotiated = true;
  auto responder = Keepalive(rod.get(), true);
  rod->last_rx_time = g_tick - 16000;
  EXPECT_FALSE(responder->should_send_probe(rod.get()));
  EXPECT_FALSE(rod->remote_up);
  rod->last_rx_time = g_tick.load();
  g_tick += 5000;
  EXPECT_FALSE(responder->should_send_probe(rod.get()));
  EXPECT_TRUE(rod->remote_up);
  EXPECT_EQ(Count(log_.text(), "INFO: rx in 5000 msecs. mark remote (192.0.2.1) up for path 7"), 1);
  rod->remote_up = false;
  Packet* answer = responder->build_probe_response(Answer(12, 99), rod.get());
  ASSERT_NE(answer, nullptr);
  EXPECT_TRUE(rod->remote_up);
  EXPECT_EQ(Count(log_.text(), "INFO: received keepalive request. mark remote up for path 7"), 1);
  answer->release();

  // No path id: nothing built, the check says no after the page refresh.
  auto zero = Path(0);
  auto kz = Keepalive(zero.get());
  EXPECT_FALSE(kz->should_send_probe(zero.get()));
  EXPECT_EQ(kz->build_probe_packet(zero.get()), nullptr);
  // Answers: a wrong id is logged, a late one changes nothing.
  od->remote_up = false;
  ka->probe_sent(od.get());
  ka->consume_probe(nullptr, Answer(13, ka->current_id + 1), nullptr, od.get());
  EXPECT_FALSE(od->remote_up);
  g_tick += 5001;
  ka->consume_probe(nullptr, Answer(13, ka->current_id), nullptr, od.get());
  EXPECT_FALSE(od->remote_up);
}

TEST_F(ProbeTest, LatencyWindowLateAndWrongAnswers) {
  auto od = Path();
  od->negotiated = true;
  OverlayLatencyProbe probe(Ip("10.10.0.1"), Ip("10.20.0.1"), od.get());
  auto round = [&](uint64_t rtt) {
    g_tick += 30000;
    ASSERT_TRUE(probe.should_send_probe(od.get()));
    Packet* p = probe.build_probe_packet(od.get());
    ASSERT_NE(p, nullptr);
    p->release();
    probe.probe_sent(od.get());
    g_tick += rtt;
    probe.consume_probe(nullptr, Answer(8, probe.current_id), nullptr, od.get());
  };
  round(20);
  round(40);
  round(120);
  EXPECT_EQ(od->latency, 30u);
  round(60);
  EXPECT_EQ(od->latency, 36u);
  round(7000);  // 3.5 s one way: ignored
  EXPECT_EQ(od->latency, 36u);

  // A wrong id still runs the header-version step.
  od->negotiated = false;
  od->version_state = OHV_INITIATED;
  probe.consume_probe(nullptr, Answer(8, probe.current_id + 1), nullptr, od.get());
  EXPECT_EQ(od->version_state, OHV_VERSIONS_EXCHANGED);
  EXPECT_EQ(od->latency, 36u);
  EXPECT_EQ(Count(log_.text(), "WARN: mismatch, received latency probe id"), 1);
}

// One burst at `tick_ms` per send; answers after `delay(i)` ms (0: lost).
struct Burst {
  std::vector<uint64_t> sent;  // tick of each send, by index
  uint32_t start_id = 0;
};

Burst RunBurst(OverlayJitterProbe& probe, OverlayDescriptor* od, uint64_t tick_ms) {
  Burst b;
  for (int i = 0; i < 40 && (b.sent.empty() || probe.burst_running); ++i) {
    if (!probe.should_send_probe(od)) break;
    if (b.sent.empty()) b.start_id = probe.burst_start_id;
    Packet* p = probe.build_probe_packet(od);
    EXPECT_EQ(p->overlay_msg_type_anno(), OVERLAY_JITTER_PROBE_REQ);
    p->release();
    probe.probe_sent(od);
    b.sent.push_back(g_tick);
    g_tick += tick_ms;
  }
  return b;
}

TEST_F(ProbeTest, JitterBurstAtTheFastRate) {
  auto od = Path();
  OverlayJitterProbe probe(Ip("10.10.0.1"), Ip("10.20.0.1"), od.get());
  g_tick += 300000;
  // The answers come in after the burst's sends, each within the 60 s.
  const uint64_t start = g_tick;
  Burst b = RunBurst(probe, od.get(), 500);
  ASSERT_EQ(b.sent.size(), 29u);
  EXPECT_FALSE(probe.burst_running);
  // Delays 10, 12, 11, 10, 12, 11 ... for ids start .. start + 25; the
  // answer to start + 26 is lost and start + 29 is answered (in the window).
  auto delay = [](int i) { return static_cast<uint64_t>(10 + (i % 3 == 1 ? 2 : i % 3)); };
  for (int i = 0; i < 26; ++i) {
    g_tick = b.sent[i] + delay(i);
    probe.consume_probe(nullptr, Answer(10, b.start_id + i), nullptr, od.get());
  }
  EXPECT_EQ(od->jitter, 0u);
  EXPECT_EQ(probe.received_count, 26u);
  g_tick = start + 20000;
  probe.consume_probe(nullptr, Answer(10, b.start_id + 29), nullptr, od.get());
  // 27 answers: computed over the slots answered in this burst. Slot 29 was
  // never sent in it and is left out, the lost slot 26 does not pull the
  // minimum to 0: min 10, deviations (0, 2, 1) repeated -> mean 1.
  EXPECT_EQ(probe.received_count, 0u);
  EXPECT_EQ(od->jitter, 1u);

  // An id outside start .. start + 29 is logged and dropped.
  probe.consume_probe(nullptr, Answer(10, b.start_id + 30), nullptr, od.get());
  EXPECT_EQ(Count(log_.text(), "WARN: mismatch, received jitter probe id"), 1);
}

TEST_F(ProbeTest, JitterAtTheSlowRateGivesNoValue) {
  auto od = Path();
  OverlayJitterProbe probe(Ip("10.10.0.1"), Ip("10.20.0.1"), od.get());
  g_tick += 300000;
  Burst b = RunBurst(probe, od.get(), 5000);
  ASSERT_EQ(b.sent.size(), 29u);
  for (int i = 0; i < 29; ++i) {
    g_tick = b.sent[i] + 10;
    probe.consume_probe(nullptr, Answer(10, b.start_id + i), nullptr, od.get());
  }
  EXPECT_EQ(od->jitter, 0u);
  EXPECT_EQ(od->jitter_window.count(), 0);
}

TEST_F(ProbeTest, OneFailedPathIsDeprovisionedOnce) {
  ASSERT_TRUE(LoadMsg());
  auto od = AddPath("10.20.0.1", 5, OHV_COMPLETED);
  od->negotiated = true;
  AttachProbes(od.get());
  static_cast<OverlayLatencyProbe*>(od->latency_probe)->last_send_ms = g_tick;
  static_cast<OverlayJitterProbe*>(od->jitter_probe)->burst_start_ms = g_tick;
  od->last_rx_time = g_tick - 20000;
  transport_.clear();
  log_.fresh();
  Tick();
  EXPECT_FALSE(od->remote_up);
  const std::string log = log_.fresh();
  EXPECT_EQ(Count(log, "keep alive failed for peer 192.0.2.1-198.51.100.10"), 1);
  EXPECT_EQ(Count(log, "reconnect 1 overlays whose overlay probe has failed"), 1);
  EXPECT_EQ(Count(log, "reinit overlays called with reset_all: false"), 1);
  const std::vector<std::string> calls = transport_.calls();
  int deprovisions = 0;
  for (const std::string& c : calls) deprovisions += c == "deprovision 192.0.2.1-198.51.100.10";
  EXPECT_EQ(deprovisions, 1);
  ASSERT_FALSE(calls.empty());
  EXPECT_EQ(calls[0], "deprovision 192.0.2.1-198.51.100.10");
  EXPECT_EQ(calls[1], "disconnect_all keep=0");
  while (Packet* p = h_.Take("sink", 0)) p->release();
}

TEST_F(ProbeTest, TickSendsDueProbesOnTheirPath) {
  ASSERT_TRUE(LoadMsg());
  auto od = AddPath("10.20.0.1", 5, OHV_INIT);
  AttachProbes(od.get());
  Tick();
  // Latency (negotiation open), jitter (first burst), keepalive (no traffic);
  // the state messages of the same tick aside.
  std::vector<uint32_t> kinds;
  while (Packet* p = h_.Take("sink", 0)) {
    const uint32_t kind = MessageOf(p).osm_type();
    if (kind >= OVERLAY_LATENCY_PROBE_REQ && kind <= OVERLAY_KEEPALIVE_PROBE_RES) {
      kinds.push_back(kind);
    }
    EXPECT_EQ(p->overlay_path_anno(), 5u);
    p->release();
  }
  std::sort(kinds.begin(), kinds.end());
  EXPECT_EQ(kinds, (std::vector<uint32_t>{7, 9}));
  EXPECT_TRUE(static_cast<OverlayJitterProbe*>(od->jitter_probe)->burst_running);
}

}  // namespace
