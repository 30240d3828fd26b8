#include "ostgraphsvc/graph/elements/standard/rated.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/master.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/standard/discard.h"
#include "tests/support/graph_harness.h"

namespace {

using testing_support::FakeClock;
using testing_support::GraphHarness;
using testing_support::MakePacket;

Packet* Bytes(size_t n) { return MakePacket(std::vector<uint8_t>(n, 0x11)); }

class SplitterTest : public ::testing::Test {
 protected:
  void Load(const std::string& config, bool two_outputs = true) {
    std::string text = "src :: TestSource; sink :: TestSink; src -> s :: BandwidthRatedSplitter(" +
                       config + "); s[0] -> [0]sink;";
    if (two_outputs) text += "s[1] -> [1]sink;";
    ASSERT_TRUE(h.Load(text)) << h.messages();
    s = static_cast<BandwidthRatedSplitter*>(h.Find("s"));
  }
  // The outputs of `n` pushed packets of `size` bytes, as a string of digits.
  std::string Send(int n, size_t size = 1500) {
    std::string outputs;
    for (int i = 0; i < n; ++i) {
      const size_t before0 = h.Received("sink", 0).size();
      const size_t before1 = h.Received("sink", 1).size();
      h.Push("src", Bytes(size));
      if (h.Received("sink", 0).size() > before0) outputs += '0';
      if (h.Received("sink", 1).size() > before1) outputs += '1';
      if (h.Received("sink", 0).size() == before0 && h.Received("sink", 1).size() == before1)
        outputs += '-';
    }
    return outputs;
  }

  FakeClock clock{5000000};
  GraphHarness h;
  BandwidthRatedSplitter* s = nullptr;
};

TEST_F(SplitterTest, BurstPassesTwoThenSplitsUntilRefilled) {
  Load("1Mbps");
  EXPECT_EQ(s->burst(), 68036u);
  // The bucket's own rounding shows through.
  EXPECT_EQ(h.Read("s", "rate"), "1.000496Mbps");
  EXPECT_EQ(h.Read("s", "config"), "1.000496Mbps");
  EXPECT_EQ(Send(4), "0011");
  clock.advance_msec(12);  // 1500 bytes at 125,000 B/s
  EXPECT_EQ(Send(2), "01");
  clock.advance_msec(1000);
  EXPECT_EQ(Send(3), "001");
}

TEST_F(SplitterTest, BurstKeywordsAndErrors) {
  Load("RATE 8kbps, BURST_BYTES 0, INTERFACE eth0");
  EXPECT_EQ(s->burst(), 65536u);
  EXPECT_EQ(Send(1, 100), "0");
  GraphHarness& g = h;
  EXPECT_FALSE(
      g.Load("src :: TestSource; src -> BandwidthRatedSplitter(1Mbps, BURST_BYTES 1, "
             "BURST_DURATION 0.1) -> Discard;"));
  EXPECT_NE(g.messages().find("cannot specify both BURST_DURATION and BURST_SIZE"),
            std::string::npos)
      << g.messages();
  EXPECT_FALSE(g.Load("src :: TestSource; src -> BandwidthRatedSplitter(BOGUS 3) -> Discard;"));
}

TEST_F(SplitterTest, OneOutputFreesTheExcess) {
  Load("1Mbps", false);
  EXPECT_EQ(Send(4), "00--");
}

TEST_F(SplitterTest, RateWriteReconfiguresLive) {
  Load("1Mbps, BURST_BYTES 0");
  ASSERT_EQ(h.Write("s", "rate", "2Mbps"), 0) << h.messages();
  EXPECT_EQ(h.Read("s", "rate"), "2.001Mbps");
  // The rewrite starts from the "config" text, which is the rate alone: the
  // burst falls back to 20 ms at the new rate.
  EXPECT_EQ(s->burst(), 250000u * 20 / 1000 + 65536);
}

class RatedSourceTest : public ::testing::Test {
 protected:
  FakeClock clock{5000000};
  GraphHarness h;
};

TEST_F(RatedSourceTest, BandwidthGivesPacketRateAndBurst) {
  ASSERT_TRUE(h.Load("s :: RatedSource(BANDWIDTH 1000, LENGTH 100) -> pl :: TestPuller;"))
      << h.messages();
  auto* s = static_cast<RatedSource*>(h.Find("s"));
  EXPECT_EQ(s->burst(), 200u);
  EXPECT_EQ(h.Read("s", "rate"), "10");
  // Pull: one packet at start, then one per 100 ms.
  Packet* p = h.Pull("pl");
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->length(), 100u);
  p->release();
  EXPECT_EQ(h.Pull("pl"), nullptr);
  clock.advance_msec(101);
  p = h.Pull("pl");
  ASSERT_NE(p, nullptr);
  p->release();
  EXPECT_EQ(h.Read("s", "count"), "2");
}

TEST_F(RatedSourceTest, PacketSizesAndZeroSizeRefusal) {
  const std::string text = "Random bullshit in a packet, at least 64 bytes long. Well, now it is.";
  struct Case {
    const char* config;
    std::string data;
  } cases[] = {
      {"", text},
      {"LENGTH 10", text.substr(0, 10)},
      {"LENGTH 150", (text + text + text).substr(0, 150)},
      {"DATA abc, LENGTH 7, DATASIZE 5", "abcab"},
  };
  for (const Case& k : cases) {
    ASSERT_TRUE(h.Load(std::string("s :: RatedSource(") + k.config + ") -> TestPuller;"))
        << h.messages();
    const Packet* p = static_cast<RatedSource*>(h.Find("s"))->packet();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(p->data()), p->length()), k.data)
        << k.config;
  }
  EXPECT_FALSE(h.Load("s :: RatedSource(LENGTH 0, BANDWIDTH 1000) -> TestPuller;"));
  EXPECT_NE(h.messages().find("BANDWIDTH requires a packet size above 0"), std::string::npos)
      << h.messages();
}

TEST_F(RatedSourceTest, HandlersAndLimit) {
  ASSERT_TRUE(h.Load("s :: RatedSource(DATA xyz, RATE 1000, LIMIT 2) -> pl :: TestPuller;"))
      << h.messages();
  EXPECT_EQ(h.Read("s", "limit"), "2");
  for (int i = 0; i < 3; ++i) {
    clock.advance_msec(5);
    Packet* p = h.Pull("pl");
    EXPECT_EQ(p != nullptr, i < 2) << i;
    if (p != nullptr) p->release();
  }
  ASSERT_EQ(h.Write("s", "limit", "-1"), 0);
  EXPECT_EQ(h.Read("s", "limit"), "-1");
  ASSERT_EQ(h.Write("s", "data", "hello"), 0);
  const Packet* t = static_cast<RatedSource*>(h.Find("s"))->packet();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(t->data()), t->length()), "hello");
  EXPECT_EQ(t->headroom(), 204u);
  ASSERT_EQ(h.Write("s", "datasize", "8"), 0);
  EXPECT_EQ(h.Read("s", "length"), "8");
  ASSERT_EQ(h.Write("s", "active", "false"), 0);
  clock.advance_msec(5);
  EXPECT_EQ(h.Pull("pl"), nullptr);
  ASSERT_EQ(h.Write("s", "reset", ""), 0);
  EXPECT_EQ(h.Read("s", "count"), "0");
  std::string errors;
  for (const char* handler : {"rate", "limit", "active", "datasize"}) {
    EXPECT_LT(h.Write("s", handler, "zz", &errors), 0) << handler;
    EXPECT_NE(errors.find("syntax error"), std::string::npos) << handler;
  }
  ASSERT_EQ(h.Write("s", "rate", "500"), 0);
  EXPECT_EQ(h.Read("s", "rate"), "500");
}

// A push source run by the Master's own loop stops the loop at its limit.
TEST(RatedSourceLoopTest, LimitWithStopEndsTheLoop) {
  GraphHarness h;
  ASSERT_TRUE(h.LoadFile(std::string(DOVADOD_TEST_DATA) + "/graphs/elements/rated_stop.graph"))
      << h.messages();
  ::testing::internal::CaptureStdout();
  h.router()->activate();
  EXPECT_TRUE(h.router()->master()->thread(0)->run());
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("rescheduling after "), 0u) << out;
  EXPECT_EQ(h.Read("s", "count"), "5");
  EXPECT_EQ(static_cast<Discard*>(h.Find("d"))->count(), 5u);
}

TEST(DiscardTest, PullDrainsWithBurstZeroAndCountsPast32Bits) {
  GraphHarness h;
  ASSERT_TRUE(h.Load("src :: TestSource; src -> q :: TestQueue -> d :: Discard(BURST 0);"))
      << h.messages();
  auto* d = static_cast<Discard*>(h.Find("d"));
  for (int i = 0; i < 50; ++i) h.Push("src", Bytes(60));
  d->set_count(0xFFFFFFF0ull);
  d->run_task(nullptr);
  EXPECT_EQ(h.Read("d", "count"), "4294967330");
  EXPECT_EQ(h.Read("d", "active"), "true");
  ASSERT_EQ(h.Write("d", "reset_counts", ""), 0);
  EXPECT_EQ(d->count(), 0u);
  ASSERT_EQ(h.Write("d", "active", "false"), 0);
  h.Push("src", Bytes(60));
  d->run_task(nullptr);
  EXPECT_EQ(d->count(), 0u);  // inactive: pulls nothing
  std::string errors;
  EXPECT_LT(h.Write("d", "active", "perhaps", &errors), 0);
  EXPECT_NE(errors.find("syntax error"), std::string::npos);
}

TEST(DiscardTest, BurstOneAndPushContext) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("src :: TestSource; src -> q :: TestQueue -> d :: Discard; src2 :: "
             "TestSource; src2 -> d2 :: Discard;"))
      << h.messages();
  auto* d = static_cast<Discard*>(h.Find("d"));
  for (int i = 0; i < 3; ++i) h.Push("src", Bytes(60));
  d->run_task(nullptr);
  EXPECT_EQ(d->count(), 1u);
  h.Push("src2", Bytes(60));
  EXPECT_EQ(h.Read("d2", "count"), "1");
  EXPECT_EQ(Router::find_handler(h.Find("d2"), "active"), nullptr);
  EXPECT_FALSE(h.Load("src :: TestSource; src -> Discard(ACTIVE false);"));
  EXPECT_NE(h.messages().find("ACTIVE is meaningless in push context"), std::string::npos);
}

}  // namespace
