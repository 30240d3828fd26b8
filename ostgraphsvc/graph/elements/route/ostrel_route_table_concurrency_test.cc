#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>

#include "graph/ipaddress.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/route/ostrel_route_table.h"
#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"
#include "tests/support/graph_harness.h"

namespace {

using testing_support::GraphHarness;

RouteEntry Prefix(unsigned char a, unsigned char b, unsigned char c, int len, int port) {
  RouteEntry r;
  r.addr = IPAddress(a, b, c, 0);
  r.mask = IPAddress::make_prefix(len);
  r.port = port;
  r.type = kRouteTypeStatic;
  return r;
}

// Route messages change table 0 on another thread while the packet thread
// routes through it: every change and lookup holds the section, so a
// packet sees a route before or after a change, never half of one.
TEST(RouteTableConcurrencyTest, ChangesUnderTheSectionWhilePacketsFlow) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; src -> rt :: OstrelRouteTable;"
             "rt[0] -> d0 :: Discard; rt[1] -> d1 :: Discard;"
             "rt[2] -> d2 :: Discard; rt[3] -> d3 :: Discard;"))
      << h.messages();
  auto* rt = static_cast<OstrelRouteTable*>(h.Find("rt"));
  OstrelRadixIPLookup* table0 = rt->table(0);
  ASSERT_NE(table0, nullptr);
  {
    std::lock_guard<std::recursive_mutex> hold(rt->critical_section());
    ASSERT_EQ(table0->add_route(Prefix(192, 168, 0, 16, 3), false, nullptr, nullptr), 0);
  }
  FakeOverlayConfigQuerier overlay(IPAddress(100, 64, 0, 1));
  init_pkt_pool_size(64);

  std::atomic<bool> done{false};
  std::atomic<int> changes{0};
  std::thread messages([&] {
    for (int round = 0; !done.load(std::memory_order_relaxed); ++round) {
      // Route messages come a few thousand a second at most; a thread that
      // retook the section at once would starve the packet thread on a
      // machine with two cores, as nothing real does.
      std::this_thread::sleep_for(std::chrono::microseconds(50));
      std::lock_guard<std::recursive_mutex> hold(rt->critical_section());
      const unsigned char third = static_cast<unsigned char>(round % 200);
      if (round % 2 == 0) {
        table0->add_route(Prefix(10, 0, 0, 8, 1 + round / 2 % 2), true, nullptr, nullptr);
        table0->add_route(Prefix(10, 1, third, 24, 2), false, nullptr, nullptr);
      } else {
        table0->remove_route(Prefix(10, 0, 0, 8, -1), nullptr, nullptr);
        table0->remove_route(Prefix(10, 1, third, 24, -1), nullptr, nullptr);
      }
      rt->bump_route_version();
      changes.fetch_add(1, std::memory_order_relaxed);
    }
  });

  // The source's output is rt's input: push there as the packet thread does.
  const Element::Port& into_rt = h.Find("src")->output(0);
  constexpr int kPackets = 1000000;
  for (int i = 0; i < kPackets; ++i) {
    Packet* p = Packet::make(0, nullptr, 20);
    ASSERT_NE(p, nullptr);
    const bool stable = i % 2 == 0;
    p->set_dst_ip_anno(stable ? IPAddress(192, 168, static_cast<unsigned char>(i >> 8), 1)
                              : IPAddress(10, 1, static_cast<unsigned char>(i % 200), 9));
    p->set_route_flags_anno(kRouteFlagWalk);
    into_rt.push(p);
  }
  done = true;
  messages.join();

  EXPECT_GT(changes.load(), 0);
  EXPECT_EQ(rt->route_version(), static_cast<uint32_t>(changes.load()));
  EXPECT_EQ(h.Read("d3", "count"), std::to_string(kPackets / 2));
  uint64_t total = 0;
  for (const char* d : {"d0", "d1", "d2", "d3"}) total += std::stoull(h.Read(d, "count"));
  EXPECT_EQ(total, static_cast<uint64_t>(kPackets));
}

}  // namespace
