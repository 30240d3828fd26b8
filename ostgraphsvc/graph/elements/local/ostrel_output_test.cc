#include "ostgraphsvc/graph/elements/local/ostrel_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/element_registry.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"
#include "tests/support/unix_datagram.h"

using testing_support::CountOf;

namespace {

using testing_support::BuildIPv4;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

// The four classes of the capture path answer the registry's rows.
TEST(OstrelOutputTest, ClassesAnswerTheirRegistryRows) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("fd :: FromDevice; fd -> cls :: OstrelL3Classifier;\n"
             "cls[0] -> mux :: OstDirMux; mux[0] -> td :: OstrelToDevice;\n"
             "mux[1] -> th :: OstrelToHost;\n"))
      << h.messages();
  for (const char* name : {"cls", "mux", "td", "th"}) {
    SCOPED_TRACE(name);
    Element* e = h.Find(name);
    ASSERT_NE(e, nullptr);
    const ElementClassInfo* row =
        element_class_info(static_cast<uint64_t>(element_class_index(e->class_name())));
    ASSERT_NE(row, nullptr);
    EXPECT_STREQ(e->port_count(), row->port_count);
    EXPECT_STREQ(e->processing(), row->processing);
    EXPECT_STREQ(e->flags(), row->flags);
    EXPECT_EQ(e->configure_phase(), row->configure_phase);
  }
  EXPECT_TRUE(h.Find("cls")->can_live_reconfigure());
  EXPECT_FALSE(h.Find("mux")->can_live_reconfigure());
}

// Both exits find the first capture element, in index order, and ignore
// their arguments.
TEST(OstrelOutputTest, FindTheFirstCaptureElement) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("a :: FromDevice; b :: FromDevice; k :: TestSink; a -> [0]k; b -> [1]k;\n"
             "s1 :: TestSource; s1 -> td :: OstrelToDevice(any, thing);\n"
             "s2 :: TestSource; s2 -> th :: OstrelToHost(KEY 1);\n"))
      << h.messages();
  auto* first = static_cast<FromDevice*>(h.Find("a"));
  for (const char* name : {"td", "th"}) {
    SCOPED_TRACE(name);
    Element* e = h.Find(name);
    FromDevice* found = std::string(name) == "td" ? static_cast<OstrelToDevice*>(e)->from_device()
                                                  : static_cast<OstrelToHost*>(e)->from_device();
    EXPECT_EQ(found, first);
  }
  EXPECT_TRUE(static_cast<OstrelToDevice*>(h.Find("td"))->initialised());
}

// Packets pushed into either exit wait in the capture element's list, in
// push order, for the drain.
TEST(OstrelOutputTest, AppendToPendingSendInPushOrder) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("fd :: FromDevice; fd -> TestSink;\n"
             "s1 :: TestSource; s1 -> td :: OstrelToDevice;\n"
             "s2 :: TestSource; s2 -> th :: OstrelToHost;\n"))
      << h.messages();
  auto* fd = static_cast<FromDevice*>(h.Find("fd"));
  std::vector<Packet*> pushed;
  // More than the list's first capacity, so it has to grow.
  for (int i = 0; i < 40; ++i) {
    PacketSpec shape;
    shape.sport = static_cast<uint16_t>(1000 + i);
    Packet* p = MakePacket(BuildIPv4(shape));
    pushed.push_back(p);
    h.Push(i % 3 == 1 ? "s2" : "s1", p);
  }
  auto& pending = fd->pending_send();
  std::vector<Packet*> waiting(pending.begin(), pending.end());
  EXPECT_EQ(waiting, pushed);
  for (Packet* p : waiting) p->release();
  pending.clear();
}

TEST(OstrelOutputTest, WithoutCaptureElement) {
  // OstrelToDevice refuses to start without a capture element.
  {
    GraphHarness h;
    EXPECT_FALSE(h.Load("s :: TestSource; s -> td :: OstrelToDevice;"));
  }
  // OstrelToHost starts and frees what it gets, with its line.
  testing_support::StartedLog log(0);
  GraphHarness h;
  ASSERT_TRUE(h.Load("s :: TestSource; s -> th :: OstrelToHost;")) << h.messages();
  EXPECT_EQ(static_cast<OstrelToHost*>(h.Find("th"))->from_device(), nullptr);
  for (int i = 0; i < 3; ++i) h.Push("s", MakePacket(BuildIPv4(PacketSpec{})));
  EXPECT_EQ(CountOf(log.text(), "FromDevice Handle Null"), 3u);
}

}  // namespace
