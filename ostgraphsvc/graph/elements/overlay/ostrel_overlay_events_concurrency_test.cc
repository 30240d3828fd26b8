// The transport's events against the packet thread: a connect thread adds
// and times out paths, a wait thread reads, reports sockets closed by the
// peer and closes paths, while the packet thread, holding the overlay lock
// as its push does, asks for route updates and hub-group failover. Every
// operation must finish (no lock-order cycle) and the tables must end empty.
// Under ThreadSanitizer (the tsan preset) a lock-order inversion between the
// overlay lock and the transport's table mutex fails the run.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "ostgraphsvc/ostssl/ostssl.h"

namespace {

using overlay_test::Ip;

constexpr char kGroup[] = R"({
  "local": {
    "overlayIP": "10.10.0.1", "tenantID": "t1", "roles": [{"type": "SPOKE"}],
    "nexthop": [
      {"ipv4": "10.20.0.1", "wanip": "192.0.2.1", "port": 443, "groupid": "g1", "groupname": "n1"},
      {"ipv4": "10.20.0.2", "wanip": "192.0.2.2", "port": 443, "groupid": "g1", "groupname": "n1"}
    ]
  },
  "remote": [
    {"overlayIP": "10.20.0.1", "roles": [{"type": "DC"}], "groupid": "g1", "groupname": "n1"},
    {"overlayIP": "10.20.0.2", "roles": [{"type": "DC"}], "groupid": "g1", "groupname": "n1"}
  ]
})";

class OverlayEventsConcurrencyTest : public overlay_test::OverlayFixture {};

TEST_F(OverlayEventsConcurrencyTest, EventsAgainstThePacketThread) {
  ASSERT_TRUE(Load(kGroup)) << h_.messages();
  cxLogThreshold = CXLOG_WARN;
  transport_.established = true;
  constexpr int kRounds = 2000;
  std::atomic<int> connected{0};
  std::atomic<bool> stop{false};

  std::thread connect_thread([&] {
    for (int i = 0; i < kRounds; ++i) {
      ostssl_conn_info info =
          overlay_test::TlsPathInfo(i % 2 == 0 ? "10.20.0.1" : "10.20.0.2", 0x100 + (i % 8));
      ov_->on_ostssl_connect(&info);
      connected.fetch_add(1, std::memory_order_release);
      ov_->on_ostssl_timeout(&info);
    }
  });
  std::thread wait_thread([&] {
    int closed = 0;
    while (closed < kRounds) {
      if (connected.load(std::memory_order_acquire) <= closed) {
        std::this_thread::yield();
        continue;
      }
      ostssl_conn_info info = overlay_test::TlsPathInfo(closed % 2 == 0 ? "10.20.0.1" : "10.20.0.2",
                                                        0x100 + (closed % 8));
      ov_->on_ostssl_read(&info);
      ov_->on_ostssl_sock_closed(&info);
      ov_->on_ostssl_closed(&info);
      ++closed;
    }
  });
  std::thread packet_thread([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
      ov_->trigger_route_update_to_all_peers();
      ov_->try_next_peer_if_available(ov_->get_opd(Ip("10.20.0.1")));
    }
  });
  connect_thread.join();
  wait_thread.join();
  stop = true;
  packet_thread.join();
  std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
  EXPECT_EQ(ov_->path_count(), 0u);
  EXPECT_TRUE(ov_->connected_paths().empty());
  EXPECT_TRUE(ov_->get_opd(Ip("10.20.0.1"))->paths.empty());
  EXPECT_TRUE(ov_->get_opd(Ip("10.20.0.2"))->paths.empty());
}

// The recording transport, but asking the real transport's tables whether a
// tunnel is established, as the service does.
class TableAskingTransport : public RecordingOverlayTransport {
 public:
  bool is_tunnel_established(uint32_t remote_wan_ip, uint32_t local_ip) override {
    return ostssl::is_tunnel_established(remote_wan_ip, local_ip);
  }
};

// The wait thread reports closes while it holds the established table's
// mutex; the packet thread asks for route updates under the overlay lock.
// The establishment check must not take the table's mutex, or the two
// threads take the same two locks in opposite orders (ThreadSanitizer
// reports the inversion even when the timing spares a deadlock).
TEST_F(OverlayEventsConcurrencyTest, ClosesUnderTheTableLockAgainstRouteUpdates) {
  ASSERT_TRUE(Load(kGroup)) << h_.messages();
  TableAskingTransport asking;
  set_overlay_transport(&asking);
  cxLogThreshold = CXLOG_WARN;
  constexpr int kRounds = 500;
  std::atomic<int> connected{0};
  std::atomic<bool> stop{false};

  std::thread connect_thread([&] {
    for (int i = 0; i < kRounds; ++i) {
      ostssl_conn_info info =
          overlay_test::TlsPathInfo(i % 2 == 0 ? "10.20.0.1" : "10.20.0.2", 0x100 + (i % 8));
      ov_->on_ostssl_connect(&info);
      connected.fetch_add(1, std::memory_order_release);
    }
  });
  std::thread wait_thread([&] {
    int closed = 0;
    while (closed < kRounds) {
      if (connected.load(std::memory_order_acquire) <= closed) {
        std::this_thread::yield();
        continue;
      }
      ostssl_conn_info info = overlay_test::TlsPathInfo(closed % 2 == 0 ? "10.20.0.1" : "10.20.0.2",
                                                        0x100 + (closed % 8));
      std::lock_guard<std::recursive_mutex> table(ostssl::sslCons().mutex);
      ov_->on_ostssl_sock_closed(&info);
      ov_->on_ostssl_closed(&info);
      ++closed;
    }
  });
  std::thread packet_thread([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
      ov_->trigger_route_update_to_all_peers();
    }
  });
  connect_thread.join();
  wait_thread.join();
  stop = true;
  packet_thread.join();
  set_overlay_transport(&transport_);
  std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
  EXPECT_EQ(ov_->path_count(), 0u);
}

}  // namespace
