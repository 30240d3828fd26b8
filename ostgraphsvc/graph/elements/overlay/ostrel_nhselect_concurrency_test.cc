// Path choice on the packet thread, behind the flow element that makes the
// flows, while a transport thread adds and removes the same peer's paths and
// another flips their far-end state. A choice must only ever see a
// consistent path list and hand out a live path (AddressSanitizer and
// ThreadSanitizer check the rest).
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "graph/packet.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_nhselect_test_support.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"

namespace {

using overlay_test::Captured;
using overlay_test::Ip;
using testing_support::PacketSpec;

constexpr char kPeer[] = "10.20.0.1";
constexpr uint32_t kFirstPath = 0x100;
constexpr uint32_t kPaths = 4;

ostssl_conn_info Info(uint32_t path_id, uint8_t mode) {
  ostssl_conn_info info;
  info.path_id = path_id;
  info.peer_id = overlay_peer_id(Ip(kPeer));
  info.hubgrp_id = "g1";
  info.hub_role = "Primary";
  info.peer_overlay_ip = Ip(kPeer).addr();
  info.protocol = 1;
  info.protocol_name = "DTLS";
  info.local_ip = Ip(path_id % 2 == 0 ? "198.51.100.10" : "203.0.113.10").addr();
  info.remote_ip = Ip("192.0.2.1").addr();
  info.remote_port = htons(443);
  info.path_mtu = 1400;
  info.if_index = static_cast<int>(path_id & 0xF);
  info.if_metric = static_cast<int>(path_id % 3);
  info.multilink_mode = mode;
  return info;
}

class NHSelectConcurrencyTest : public overlay_test::FlowLegFixture {};

TEST_F(NHSelectConcurrencyTest, ChoicesWhilePathsComeAndGo) {
  ASSERT_TRUE(LoadFlowLeg(overlay_test::kTwoHubs)) << h_.messages();
  cxLogThreshold = CXLOG_WARN;
  const String peer_id = overlay_peer_id(Ip(kPeer));
  std::atomic<bool> stop{false};

  std::thread transport([&] {
    for (uint32_t round = 0; !stop.load(std::memory_order_relaxed); ++round) {
      const uint32_t id = kFirstPath + round % kPaths;
      const uint8_t mode = (round / 64) % 2 == 0 ? 1 : 2;
      ostssl_conn_info info = Info(id, mode);
      if (ov_->get_od(id) == nullptr) {
        ov_->add_path(peer_id, id, info);
      } else {
        ov_->remove_path(peer_id, id);
      }
    }
  });
  std::thread keepalive([&] {
    for (uint32_t round = 0; !stop.load(std::memory_order_relaxed); ++round) {
      std::shared_ptr<OverlayDescriptor> od = ov_->find_path(kFirstPath + round % kPaths);
      if (od != nullptr) od->remote_up = round % 3 != 0;
      std::this_thread::yield();
    }
  });

  // The packet thread: clones of one packet per flow (64 flows) through
  // agg and the selector, each choice checked against the ids that exist
  // at all.
  std::vector<Packet*> packets;
  for (uint16_t f = 0; f < 64; ++f) {
    PacketSpec shape;
    shape.sport = static_cast<uint16_t>(1000 + f);
    shape.dst = "100.64.8.1";
    Packet* p = Captured(shape, Timestamp::now().msec());
    p->set_next_hop_anno(Ip(kPeer));
    packets.push_back(p);
  }
  uint64_t chosen = 0, bad = 0, lost = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    for (Packet* p : packets) {
      Packet* c = p->clone();
      if (c == nullptr) continue;
      h_.Push("src", c);
      Packet* out = h_.Take("sink", 0);
      if (out == nullptr) {
        ++lost;
        continue;
      }
      const uint32_t id = out->overlay_path_anno();
      out->release();
      if (id == 0) continue;
      ++chosen;
      if (id < kFirstPath || id >= kFirstPath + kPaths) ++bad;
    }
  }
  stop = true;
  transport.join();
  keepalive.join();
  for (Packet* p : packets) p->release();
  EXPECT_EQ(agg_->flow_count(), 64u);
  EXPECT_EQ(lost, 0u);
  EXPECT_EQ(bad, 0u);
  EXPECT_GT(chosen, 0u);
  RecordProperty("choices", std::to_string(chosen));
}

}  // namespace
