// The endpoint, WAN link state and user-authentication handlers against the
// transport's threads: connect and close callbacks come and go with their
// WAN-state and endpoint triggers while the packet thread runs state passes
// and consumes the peer's messages of kinds 3, 4 and 14. Everything the
// handlers touch is under the overlay lock; ThreadSanitizer (the tsan
// preset) fails the run on any unguarded access.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg_test_support.h"

namespace {

using namespace overlay_test;

constexpr char kHub[] = "10.20.0.1";

class PeerStateConcurrencyTest : public MsgFixture {};

OstrelOverlayStateMsg PeerMessage(uint32_t n, uint32_t path_id) {
  OstrelOverlayStateMsg m;
  switch (n % 3) {
    case 0: {
      m.set_osm_type(3);
      WanLinkStateDescMsg* e = m.mutable_osm_wlsmsg()->add_wls_list();
      m.mutable_osm_wlsmsg()->set_wls_version(n);
      e->set_wls_ipv4(Ip("192.0.2.1").addr());
      e->set_wls_state(n % 2);
      e->add_wls_pathid(0x900 + path_id % 8);
      break;
    }
    case 1: {
      m.set_osm_type(4);
      m.mutable_osm_endptmsg()->set_wep_version(n);
      WanEndPtDescMsg* d = m.mutable_osm_endptmsg()->add_wep_list();
      d->set_wep_my_pathid(0x900 + path_id % 8);
      d->set_wep_my_mtu(1300 + n % 100);
      break;
    }
    default:
      m.set_osm_type(14);
      m.mutable_osm_userauthmsg()->set_uam_version(n);
      m.mutable_osm_userauthmsg()->set_uam_auth_state(1 + n % 3);
      break;
  }
  return m;
}

TEST_F(PeerStateConcurrencyTest, CallbacksTriggerWhileThePacketThreadSendsAndConsumes) {
  ASSERT_TRUE(LoadMsg()) << h_.messages();
  cxLogThreshold = CXLOG_WARN;
  transport_.established = true;
  OverlayPeerDescriptor* hub = ov_->get_opd(Ip(kHub));
  ASSERT_NE(hub, nullptr);
  std::atomic<bool> stop{false};
  std::atomic<long> rounds{0};

  std::thread transport([&] {
    uint32_t n = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      ostssl_conn_info info = TlsPathInfo(kHub, 0x100 + (n++ % 8));
      ov_->on_ostssl_connect(&info);
      {
        // A path's quality changed, as the loss update reports it.
        std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
        hub->endpoint_handler->new_msg_trigger(kTriggerQoe);
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300));
      ov_->on_ostssl_sock_closed(&info);
      ov_->on_ostssl_closed(&info);
      ov_->trigger_wan_state_msg();
      rounds.fetch_add(1, std::memory_order_relaxed);
    }
  });

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  long sent = 0;
  uint32_t n = 0;
  while (std::chrono::steady_clock::now() < end) {
    Tick();
    const String own = ov_->own_address().to_string();
    h_.Push("src", ControlFrom(PeerMessage(n, 0x100 + n % 8), kHub, own.c_str(), 0x100 + n % 8));
    ++n;
    while (Packet* p = h_.Take("sink", 0)) {
      const uint32_t kind = p->overlay_msg_type_anno();
      sent += kind == 3 || kind == 4 || kind == 14;
      p->release();
    }
  }
  stop = true;
  transport.join();

  EXPECT_GT(rounds.load(), 0);
  EXPECT_GT(sent, 0);
  std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
  EXPECT_EQ(ov_->path_count(), 0u);
  EXPECT_TRUE(ov_->connected_paths().empty());
  EXPECT_TRUE(hub->paths.empty());
}

}  // namespace
