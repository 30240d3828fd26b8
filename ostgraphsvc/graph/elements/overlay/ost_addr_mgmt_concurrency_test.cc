// Address refreshes from the connect thread against the packet thread: the
// transport's connect callback adds and removes paths to the hub (each add
// triggers an address refresh on the hub's handler), while the packet thread
// runs state-message passes, takes address assignments (which announce the
// address to the other hubs) and refreshes the path-statistics page. Every
// operation must finish and the handler versions only grow.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "ostgraphsvc/graph/elements/overlay/ost_addr_mgmt.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg_test_support.h"

namespace {

using overlay_test::Ip;

class AddrMgmtConcurrencyTest : public overlay_test::MsgFixture {};

TEST_F(AddrMgmtConcurrencyTest, ConnectRefreshesAgainstStatePassesAndPageRefreshes) {
  const std::string graph =
      "src :: TestSource; tick :: TestSource; data :: TestSource; sink :: TestSink; "
      "ostOverlay :: OstrelOverlay(CONF " +
      WriteConf(overlay_test::kTwoHubs) +
      "); ostOverlayMsg :: OstrelOverlayMsg; am :: OstAddrMgmt; "
      "src -> [0]ostOverlayMsg; tick -> [1]ostOverlayMsg; ostOverlayMsg[0] -> [0]sink; "
      "data -> [0]ostOverlay; ostOverlay[0] -> [1]sink; ostOverlay[1] -> [2]sink; "
      "ostOverlay[2] -> [3]sink; ostOverlay[3] -> [4]sink;";
  ASSERT_TRUE(h_.Load(graph)) << h_.messages();
  ov_ = static_cast<OstrelOverlay*>(h_.Find("ostOverlay"));
  auto* am = static_cast<OstAddrMgmt*>(h_.Find("am"));
  ASSERT_NE(am, nullptr);
  cxLogThreshold = CXLOG_WARN;
  transport_.established = true;
  OverlayPeerDescriptor* hub = ov_->get_opd(Ip("10.20.0.1"));
  ASSERT_NE(hub, nullptr);

  // The other hub keeps a path, so address changes are announced to it.
  ostssl_conn_info other = overlay_test::TlsPathInfo("10.20.0.2", 0x900, "192.0.2.2", "");
  ov_->on_ostssl_connect(&other);

  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  std::atomic<bool> stop{false};
  std::atomic<int> connects{0};
  std::thread connect_thread([&] {
    uint32_t i = 0;
    while (std::chrono::steady_clock::now() < until) {
      ostssl_conn_info info =
          overlay_test::TlsPathInfo("10.20.0.1", 0x100 + (i % 4), "192.0.2.1", "");
      ov_->on_ostssl_connect(&info);
      connects.fetch_add(1, std::memory_order_relaxed);
      ov_->on_ostssl_closed(&info);
      ++i;
    }
    stop.store(true);
  });

  uint32_t answers = 0;
  uint32_t last_version = 0;
  bool versions_grow = true;
  while (!stop.load()) {
    Tick();
    OstrelOverlayStateMsg m;
    m.set_osm_type(17);
    AddrMgmtMsg* a = m.mutable_osm_addrmgmtmsg();
    a->set_amm_version(++answers);
    a->set_amm_msg_type(1);
    a->set_amm_site_id("hub");
    a->set_amm_ret_code(answers % 5 == 0 ? 3 : 1);
    a->set_amm_ipv4_addr(Ip(answers % 2 == 0 ? "100.64.1.20" : "100.64.1.21").addr());
    a->set_amm_lifetime(60);
    h_.Push("src", overlay_test::ControlFrom(m, "10.20.0.1", "10.10.0.1", 0x900));
    ov_->update_shm_path_stats();
    while (Packet* p = h_.Take("sink", 0)) p->release();
    std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
    const uint32_t v = hub->addr_mgmt_handler->current_version;
    versions_grow = versions_grow && v >= last_version;
    last_version = v;
  }
  connect_thread.join();
  ov_->on_ostssl_closed(&other);

  EXPECT_TRUE(versions_grow);
  EXPECT_GT(connects.load(), 0);
  EXPECT_GT(answers, 0u);
  EXPECT_NE(am->current_address().addr(), 0u);
  std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
  EXPECT_EQ(ov_->path_count(), 0u);
  EXPECT_GE(hub->addr_mgmt_handler->current_version, 1u);
}

}  // namespace
