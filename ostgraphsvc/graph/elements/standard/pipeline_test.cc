// The standard elements together, read from a graph file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/standard/discard.h"
#include "ostgraphsvc/graph/elements/user/ostuser.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::FakeClock;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

TEST(StandardPipelineTest, PacketsCountedBadOnesDivertedLinesLoggedTokenHeld) {
  testing_support::StartedLog log(0);
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.LoadFile(std::string(DOVADOD_TEST_DATA) + "/graphs/elements/standard.graph"))
      << h.messages();
  PacketSpec shape;
  shape.payload = 1460;
  for (int i = 0; i < 4; ++i) {
    Packet* p = MakePacket(BuildIPv4(shape));
    p->set_msgtype(1);
    h.Push("src", p);
  }
  Packet* bad = MakePacket(std::vector<uint8_t>(10, 0x45));
  bad->set_msgtype(2);
  h.Push("src", bad);
  Packet* token = MakePacket(std::vector<uint8_t>{'a', 'b', 'c'}, false);
  h.Push("tok", token);

  EXPECT_EQ(static_cast<Discard*>(h.Find("count"))->count(), 2u);
  EXPECT_EQ(h.Received("sink", 0).size(), 1u);  // the bad header
  EXPECT_EQ(h.Received("sink", 1).size(), 0u);  // all painted 7
  EXPECT_EQ(h.Received("sink", 2).size(), 2u);  // beyond the burst
  EXPECT_EQ(h.Read("ck", "drops"), "1");
  const std::string text = log.text();
  EXPECT_NE(
      text.find(
          "pipe: 10.0.0.2.1234 > 192.0.2.1.80: S 268435456:268436917(1461,1500,1500) win 8192"),
      std::string::npos)
      << text;
  EXPECT_NE(text.find("raw: 1500 | 450005dc"), std::string::npos);
  EXPECT_NE(text.find("ck: IP header check failed: tiny packet"), std::string::npos);
  ASSERT_NE(registered_token_holder(), nullptr);
  EXPECT_EQ(std::string(registered_token_holder()->token.c_str()), "abc");
}

}  // namespace
