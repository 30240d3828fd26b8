// The overlay lock against a transport-like thread: paths come and go under
// the lock, and the lock-free path lookup stamps receive times, while the
// packet thread pushes packets through encapsulation and decapsulation.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "platform/clock/clock.h"

namespace {

using overlay_test::Ip;

constexpr uint32_t kPath = 0x51;
constexpr int kPackets = 1000000;

class OverlayConcurrencyTest : public overlay_test::OverlayFixture {};

TEST_F(OverlayConcurrencyTest, PathsChangeWhilePacketsFlow) {
  ASSERT_TRUE(Load(overlay_test::kTwoHubs)) << h_.messages();
  cxLogThreshold = CXLOG_WARN;
  init_pkt_pool_size(64);
  auto traffic = AddPath("10.20.0.1", kPath, OHV_COMPLETED);

  std::atomic<bool> stop{false};
  std::atomic<long> changes{0};
  std::thread transport([&] {
    uint32_t n = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      const uint32_t id = 0x1000 + (n++ % 16);
      OverlayPathSetup s;
      s.local_path_id = id;
      s.peer_overlay = Ip("10.20.0.1");
      s.remote_wan = Ip("192.0.2.1");
      s.local_wan = Ip("198.51.100.11");
      s.mtu = 1400;
      auto od = ov_->insert_path(std::make_shared<OverlayDescriptor>(s));
      {
        std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
        OverlayPeerDescriptor* opd = ov_->get_opd(Ip("10.20.0.1"));
        opd->paths.push_back(od);
        opd->handle_wanlinks_state_change(*od, true);
      }
      // What the read callback does, without the overlay lock.
      if (auto seen = ov_->find_path(kPath)) {
        seen->last_rx_time.store(GetTickCount64(), std::memory_order_relaxed);
        (void)seen->remote_up.load();
      }
      if (auto gone = ov_->erase_path(id)) {
        std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
        OverlayPeerDescriptor* opd = ov_->get_opd(Ip("10.20.0.1"));
        opd->handle_wanlinks_state_change(*gone, false);
        opd->remove_od(id);
      }
      changes.fetch_add(1, std::memory_order_relaxed);
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  });

  testing_support::PacketSpec shape;
  shape.protocol = 17;
  shape.src = "10.10.0.1";
  shape.dst = "10.20.0.1";
  shape.payload = 16;
  const std::vector<uint8_t> inner = testing_support::BuildIPv4(shape);
  int delivered = 0;
  for (int i = 0; i < kPackets; ++i) {
    Packet* p = Packet::make(64, inner.data(), static_cast<uint32_t>(inner.size()));
    ASSERT_NE(p, nullptr);
    p->set_dst_ip_anno(Ip("10.20.0.1"));
    p->set_overlay_path_anno(kPath);
    ov_->push(0, p);
    Packet* wrapped = h_.Take("sink", 0);
    ASSERT_NE(wrapped, nullptr) << i;
    // Back in as the peer would have sent it.
    wrapped->set_overlay_flags_anno(0);
    wrapped->set_overlay_path_anno(kPath);
    wrapped->set_mtu_anno(0);
    ov_->push(1, wrapped);
    Packet* out = h_.Take("sink", 3);
    if (out != nullptr) {
      ++delivered;
      out->release();
    }
  }
  stop.store(true);
  transport.join();
  EXPECT_EQ(delivered, kPackets);
  EXPECT_EQ(traffic->tx_packets, static_cast<uint64_t>(kPackets));
  EXPECT_EQ(traffic->rx_packets, static_cast<uint64_t>(kPackets));
  EXPECT_GT(changes.load(), 0);
  EXPECT_EQ(ov_->path_count(), 1u);
  init_pkt_pool_size(0);
}

}  // namespace
