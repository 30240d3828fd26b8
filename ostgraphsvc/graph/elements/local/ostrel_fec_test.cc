// Replication to the extra outputs.
#include "ostgraphsvc/graph/elements/local/ostrel_fec.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "graph/packet.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::MakePacket;
using testing_support::PacketSpec;

// Keeps every packet it gets with its input port, in arrival order.
class OrderSink : public Element {
 public:
  ~OrderSink() override {
    for (auto& [port, p] : got) p->release();
  }
  const char* class_name() const override { return "OrderSink"; }
  const char* port_count() const override { return "-/0"; }
  const char* processing() const override { return kPush; }
  void push(int port, Packet* p) override { got.emplace_back(port, p); }
  std::vector<std::pair<int, Packet*>> got;
};

class FecTest : public ::testing::Test {
 protected:
  FecTest() {
    global_lexer()->add_class(
        String("OrderSink"), [](uintptr_t) -> Element* { return new OrderSink; }, 0, false);
  }
  OrderSink* Load(int outputs, const char* args = "") {
    std::string graph = std::string("src :: TestSource; out :: OrderSink; fec :: OstrelFec(") +
                        args + "); src -> fec;";
    for (int i = 0; i < outputs; ++i)
      graph += " fec[" + std::to_string(i) + "] -> [" + std::to_string(i) + "]out;";
    if (!h_.Load(graph)) return nullptr;
    return static_cast<OrderSink*>(h_.Find("out"));
  }

  testing_support::StartedLog log_{0};
  testing_support::GraphHarness h_;
};

TEST_F(FecTest, ReplicatedPacketsAreClonedToTheExtraOutputsInOrderThenSent) {
  OrderSink* out = Load(3);
  ASSERT_NE(out, nullptr) << h_.messages();
  EXPECT_NE(log_.text().find("OstFec: initialize"), std::string::npos);
  Packet* p = MakePacket(BuildIPv4(PacketSpec{}));
  p->set_replicate_anno(1);
  const unsigned char* data = p->data();
  h_.Push("src", p);
  ASSERT_EQ(out->got.size(), 3u);
  EXPECT_EQ(out->got[0].first, 1);
  EXPECT_EQ(out->got[1].first, 2);
  EXPECT_EQ(out->got[2].first, 0);
  EXPECT_EQ(out->got[2].second, p);
  for (auto& [port, q] : out->got) EXPECT_EQ(q->data(), data) << port;  // shared, not copied

  // Without the annotation only output 0.
  for (auto& [port, q] : out->got) q->release();
  out->got.clear();
  Packet* plain = MakePacket(BuildIPv4(PacketSpec{}));
  h_.Push("src", plain);
  ASSERT_EQ(out->got.size(), 1u);
  EXPECT_EQ(out->got[0].first, 0);
}

TEST_F(FecTest, OneOutputSendsOnlyThePacketAndArgumentsAreRefused) {
  OrderSink* out = Load(1);
  ASSERT_NE(out, nullptr) << h_.messages();
  Packet* p = MakePacket(BuildIPv4(PacketSpec{}));
  p->set_replicate_anno(1);
  h_.Push("src", p);
  ASSERT_EQ(out->got.size(), 1u);
  EXPECT_EQ(out->got[0].first, 0);

  EXPECT_EQ(Load(2, "COPIES 2"), nullptr);
  EXPECT_NE(h_.messages().find("COPIES"), std::string::npos) << h_.messages();
}

}  // namespace
