// Path choice on the packet thread while a transport thread adds and
// removes the same peer's paths and another flips their far-end state. A
// choice must only ever see a consistent path list and hand out a live path
// (AddressSanitizer and ThreadSanitizer check the rest).
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_nhselect.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"

namespace {

using overlay_test::Ip;
using testing_support::BuildIPv4;
using testing_support::MakePacket;
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

class NHSelectConcurrencyTest : public overlay_test::OverlayFixture {};

TEST_F(NHSelectConcurrencyTest, ChoicesWhilePathsComeAndGo) {
  const std::string graph =
      "src :: TestSource; sink :: TestSink; agg :: TestFlows; "
      "ostOverlay :: OstrelOverlay(CONF " +
      WriteConf(overlay_test::kTwoHubs) +
      "); nhs :: OstrelNHSelect; src -> agg -> nhs -> sink; "
      "ovsrc :: TestSource; ovsrc -> ostOverlay; "
      "ostOverlay[0] -> [1]sink; ostOverlay[1] -> [2]sink; "
      "ostOverlay[2] -> [3]sink; ostOverlay[3] -> [4]sink;";
  ASSERT_TRUE(h_.Load(graph)) << h_.messages();
  auto* ov = static_cast<OstrelOverlay*>(h_.Find("ostOverlay"));
  auto* nhs = static_cast<OstrelNHSelect*>(h_.Find("nhs"));
  ASSERT_NE(ov, nullptr);
  cxLogThreshold = CXLOG_WARN;
  const String peer_id = overlay_peer_id(Ip(kPeer));
  std::atomic<bool> stop{false};

  std::thread transport([&] {
    for (uint32_t round = 0; !stop.load(std::memory_order_relaxed); ++round) {
      const uint32_t id = kFirstPath + round % kPaths;
      const uint8_t mode = (round / 64) % 2 == 0 ? 1 : 2;
      ostssl_conn_info info = Info(id, mode);
      if (ov->get_od(id) == nullptr) {
        ov->add_path(peer_id, id, info);
      } else {
        ov->remove_path(peer_id, id);
      }
    }
  });
  std::thread keepalive([&] {
    for (uint32_t round = 0; !stop.load(std::memory_order_relaxed); ++round) {
      std::shared_ptr<OverlayDescriptor> od = ov->find_path(kFirstPath + round % kPaths);
      if (od != nullptr) od->remote_up = round % 3 != 0;
      std::this_thread::yield();
    }
  });

  // The packet thread: packets of 64 flows, each checked against the ids
  // that exist at all.
  std::vector<Packet*> packets;
  for (uint16_t f = 0; f < 64; ++f) {
    PacketSpec shape;
    shape.sport = static_cast<uint16_t>(1000 + f);
    shape.dst = "100.64.8.1";
    Packet* p = MakePacket(BuildIPv4(shape));
    p->set_next_hop_anno(Ip(kPeer));
    packets.push_back(p);
  }
  uint64_t chosen = 0, bad = 0;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    for (Packet* p : packets) {
      p->set_overlay_path_anno(0);
      nhs->select(p);
      const uint32_t id = p->overlay_path_anno();
      if (id == 0) continue;
      ++chosen;
      if (id < kFirstPath || id >= kFirstPath + kPaths) ++bad;
    }
  }
  stop = true;
  transport.join();
  keepalive.join();
  for (Packet* p : packets) p->release();
  EXPECT_EQ(bad, 0u);
  EXPECT_GT(chosen, 0u);
}

}  // namespace
