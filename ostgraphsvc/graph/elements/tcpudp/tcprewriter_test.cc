#include "ostgraphsvc/graph/elements/tcpudp/tcprewriter.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "graph/packet.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::FakeClock;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;
using testing_support::PacketTuple;
using testing_support::TupleOf;

Element* MakeTCPRewriter(uintptr_t) { return new TCPRewriter; }

// TCPRewriter has no registry slot; graphs reach it only when a test enters
// it. Its push, tables and lookup are IPRewriter's TCP half; UDP is not its.
TEST(TCPRewriterTest, TcpOnlyPushTablesAndFlush) {
  FakeClock clock;
  testing_support::StartedLog log(0);
  GraphHarness h;
  global_lexer()->add_class(String("TCPRewriter"), MakeTCPRewriter, 0, false);
  ASSERT_TRUE(
      h.Load("a :: TestSource; b :: TestSource; sink :: TestSink;\n"
             "rw :: TCPRewriter(pattern 10.0.0.1 - 0 1, drop, GUARANTEE 0);\n"
             "a -> [0]rw; b -> [1]rw; rw[0] -> [0]sink; rw[1] -> [1]sink;\n"))
      << h.messages();
  Element* rw = h.Find("rw");
  EXPECT_NE(rw->cast("TCPRewriter"), nullptr);
  EXPECT_NE(rw->cast("IPRewriterBase"), nullptr);
  EXPECT_EQ(rw->cast("IPRewriter"), nullptr);

  PacketSpec udp;
  udp.protocol = 17;
  h.Push("a", MakePacket(BuildIPv4(udp)));
  EXPECT_EQ(h.Count("sink"), 0u);

  h.Push("a", MakePacket(BuildIPv4(PacketSpec{})));
  Packet* p = h.Take("sink", 0);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(TupleOf(p), (PacketTuple{"10.0.0.1", 1234, "192.0.2.1", 80}));
  EXPECT_TRUE(ChecksumsValid(p));
  p->release();
  const std::string table = h.Read("rw", "table");
  EXPECT_NE(table.find("(10.0.0.2, 1234, 192.0.2.1, 80) => (10.0.0.1, 1234, 192.0.2.1, 80) "
                       "[*0 1] i0 exp 300\n"),
            std::string::npos)
      << table;
  EXPECT_EQ(h.Read("rw", "mappings"), table);
  EXPECT_EQ(h.Read("rw", "lookup", "10.0.0.2, 1234, 192.0.2.1, 80"), "10.0.0.1 1234 192.0.2.1 80");
  EXPECT_EQ(h.Read("rw", "lookup", "10.0.0.2, 1, 192.0.2.1, 80"), "");

  p = MakePacket(BuildIPv4(PacketSpec{}));
  p->set_nat_flush_anno(1);
  char flush[64];
  std::snprintf(flush, sizeof flush, "TCPRW: NAT flush set for packet p=%p", static_cast<void*>(p));
  h.Push("a", p);
  EXPECT_EQ(h.Count("sink"), 1u);
  EXPECT_EQ(h.Read("rw", "size"), "1");
  const std::string text = log.text();
  EXPECT_NE(text.find(flush), std::string::npos) << text;
  EXPECT_EQ(text.find("FLOW_NAT_"), std::string::npos) << text;
}

}  // namespace
