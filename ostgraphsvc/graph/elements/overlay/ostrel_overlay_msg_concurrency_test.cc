// The message element against a transport-like thread: paths and their
// probes come and go while the packet thread runs ticks (probe walk and
// state-message pass) and answers received probe requests.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_msg_test_support.h"

namespace {

using namespace overlay_test;

class MsgConcurrencyTest : public MsgFixture {};

TEST_F(MsgConcurrencyTest, ProbesComeAndGoWhileTicksRun) {
  ASSERT_TRUE(LoadMsg()) << h_.messages();
  cxLogThreshold = CXLOG_WARN;
  std::atomic<bool> stop{false};
  std::atomic<long> changes{0};
  std::thread transport([&] {
    uint32_t n = 0;
    while (!stop.load(std::memory_order_relaxed)) {
      const uint32_t id = 0x100 + (n++ % 8);
      OverlayPathSetup s;
      s.local_path_id = id;
      s.peer_overlay = Ip("10.20.0.1");
      s.local_overlay = Ip("10.10.0.1");
      s.remote_wan = Ip("192.0.2.1");
      s.local_wan = Ip("198.51.100.11");
      s.mtu = 1400;
      s.protocol = 1;
      s.initiator = true;
      auto od = ov_->insert_path(std::make_shared<OverlayDescriptor>(s));
      {
        std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
        ov_->get_opd(Ip("10.20.0.1"))->paths.push_back(od);
        if (od->latency_probe == nullptr) AttachProbes(od.get());
      }
      // Silence now and then, so that keepalives fail and paths are torn down.
      if (n % 5 == 0) od->last_rx_time.store(GetTickCount64() - 20000);
      std::this_thread::sleep_for(std::chrono::microseconds(200));
      {
        std::lock_guard<std::recursive_mutex> hold(ov_->overlay_lock());
        ov_->get_opd(Ip("10.20.0.1"))->remove_od(id);
        ov_->erase_path(id);
      }
      od.reset();  // the last reference may go here or on the packet thread
      changes.fetch_add(1, std::memory_order_relaxed);
    }
  });

  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  long ticks = 0;
  uint32_t seq = 0;
  // The tick stands still, so the tick thread posts nothing nobody takes;
  // latency requests (negotiation open) and keepalive verdicts run anyway.
  while (std::chrono::steady_clock::now() < end) {
    Tick();
    for (uint32_t kind : {7u, 9u, 12u, 8u, 13u}) {
      ++seq;
      h_.Push("src", ProbeFrom(kind, seq, "10.20.0.1", 0x100 + seq % 8));
    }
    while (Packet* p = h_.Take("sink", 0)) p->release();
    ++ticks;
  }
  stop = true;
  transport.join();
  while (Packet* p = h_.Take("sink", 0)) p->release();
  EXPECT_GT(ticks, 10);
  EXPECT_GT(changes.load(), 10);
}

}  // namespace
