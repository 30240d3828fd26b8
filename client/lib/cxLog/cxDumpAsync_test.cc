#include "client/lib/cxLog/cxDumpAsync.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <functional>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/started_log.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::vector<uint8_t> Packet(size_t length) {
  std::vector<uint8_t> p(length);
  std::iota(p.begin(), p.end(), uint8_t{1});
  return p;
}

struct Record {
  std::vector<uint8_t> data;
  cxPktDumpRecordHeader header;
};

// A "CX" writer whose callbacks record what they get. `onOpen` and `onPacket`
// run on the worker before the recording, so a test can hold the worker there.
class Recorder {
 public:
  Recorder()
      : writer_(
            "CX",
            [this](const std::string& path, int value, bool flag) {
              if (onOpen) onOpen();
              std::lock_guard<std::mutex> guard(mu_);
              opens_.push_back(path + ":" + std::to_string(value) + (flag ? ":true" : ":false"));
              return true;
            },
            [this] {
              std::lock_guard<std::mutex> guard(mu_);
              ++closes_;
              return true;
            },
            [this](const uint8_t* data, uint16_t length, const cxPktDumpRecordHeader* header) {
              if (onPacket) onPacket();
              std::lock_guard<std::mutex> guard(mu_);
              records_.push_back({{data, data + length}, *header});
              return true;
            }) {}

  cxDumpAsync& writer() { return writer_; }
  std::vector<Record> records() {
    std::lock_guard<std::mutex> guard(mu_);
    return records_;
  }
  size_t recordCount() { return records().size(); }
  std::vector<std::string> opens() {
    std::lock_guard<std::mutex> guard(mu_);
    return opens_;
  }
  int closes() {
    std::lock_guard<std::mutex> guard(mu_);
    return closes_;
  }

  std::function<void()> onOpen;
  std::function<void()> onPacket;

 private:
  std::mutex mu_;
  std::vector<Record> records_;
  std::vector<std::string> opens_;
  int closes_ = 0;
  cxDumpAsync writer_;  // last: its worker is stopped before the rest goes
};

TEST(CxDumpAsyncTest, CopiesCutToTheSnapLengthAndStamped) {
  testing_support::StartedLog log(0);
  struct Case {
    int snap;
    uint16_t length;
    uint32_t captured;
  } cases[] = {{0, 1500, 1500}, {96, 1500, 96}, {96, 60, 60}, {96, 96, 96}, {0, 0, 0}};
  for (const Case& c : cases) {
    Recorder r;
    ASSERT_TRUE(r.writer().startDump("cap.pcap", c.snap));
    std::vector<uint8_t> packet = Packet(c.length);
    time_t before = std::time(nullptr);
    ASSERT_TRUE(r.writer().pushData(packet.data(), c.length));
    ASSERT_TRUE(WaitUntil([&] { return r.recordCount() == 1; }));
    r.writer().stopDump();
    EXPECT_EQ(r.opens(), std::vector<std::string>{"cap.pcap:" + std::to_string(c.snap) + ":false"});
    EXPECT_EQ(r.closes(), 1);
    Record got = r.records()[0];
    EXPECT_EQ(got.header.capturedLength, c.captured) << c.snap << "/" << c.length;
    EXPECT_EQ(got.header.wireLength, c.length);
    EXPECT_EQ(got.data, std::vector<uint8_t>(packet.begin(), packet.begin() + c.captured));
    EXPECT_GE(got.header.seconds, static_cast<uint32_t>(before));
    EXPECT_LE(got.header.seconds, static_cast<uint32_t>(std::time(nullptr)));
    EXPECT_EQ(got.header.microseconds % 1000, 0u);
    EXPECT_LT(got.header.microseconds, 1000000u);
    EXPECT_EQ(r.writer().pendingBytes(), 0);
  }
  EXPECT_THAT(log.text(), HasSubstr(" vedororore cxLogAsync [CX]: <== "
                                    "cxDumpAsync::cxDumpAsyncThreadFunc, total dropped pkt 0\n"));
}

TEST(CxDumpAsyncTest, PushesBeforeTheOpenAreCutToTheNewSnapLength) {
  testing_support::StartedLog log(0);
  Recorder r;
  ASSERT_TRUE(r.writer().startDump("first.pcap", 0));
  r.writer().stopDump();

  std::atomic<bool> openMayFinish{false};
  r.onOpen = [&] { WaitUntil([&] { return openMayFinish.load(); }); };
  ASSERT_TRUE(r.writer().startDump("second.pcap", 96));
  std::vector<uint8_t> packet = Packet(1500);
  ASSERT_TRUE(r.writer().pushData(packet.data(), 1500));  // the worker is still opening
  openMayFinish = true;
  ASSERT_TRUE(WaitUntil([&] { return r.recordCount() == 1; }));
  EXPECT_EQ(r.records()[0].header.capturedLength, 96u);
  EXPECT_EQ(r.records()[0].data.size(), 96u);
}

TEST(CxDumpAsyncTest, PushWithoutAWorkerIsRefusedAndNotCounted) {
  testing_support::StartedLog log(0);
  Recorder r;
  std::vector<uint8_t> packet = Packet(60);
  EXPECT_FALSE(r.writer().pushData(packet.data(), 60));  // never started
  ASSERT_TRUE(r.writer().startDump("cap.pcap", 0));
  EXPECT_TRUE(r.writer().stopDump());
  EXPECT_TRUE(r.writer().stopDump());  // again: already stopped
  EXPECT_FALSE(r.writer().pushData(packet.data(), 60));
  EXPECT_EQ(r.writer().dropped(), 0);
  EXPECT_EQ(r.recordCount(), 0u);
  EXPECT_THAT(log.text(), HasSubstr("[CX]: <== cxDumpAsync::stopDump, already stopped\n"));
}

TEST(CxDumpAsyncTest, FullQueueDropsAndCountsUntilARestartResetsTheCounters) {
  testing_support::StartedLog log(0);
  Recorder r;
  std::atomic<bool> release{false};
  r.onPacket = [&] { WaitUntil([&] { return release.load(); }, 60s); };
  ASSERT_TRUE(r.writer().startDump("cap.pcap", 0));
  std::vector<uint8_t> packet = Packet(65535);

  // 800 packets stay below the limit; the 801st is still taken and carries
  // the pending bytes above it.
  for (int i = 0; i < 801; ++i) ASSERT_TRUE(r.writer().pushData(packet.data(), 65535));
  EXPECT_EQ(r.writer().pendingBytes(), 801 * 65535);
  EXPECT_GT(r.writer().pendingBytes(), cxDumpAsync::kPendingLimit);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(r.writer().pushData(packet.data(), 65535));
  EXPECT_EQ(r.writer().dropped(), 3);

  release = true;
  ASSERT_TRUE(WaitUntil([&] { return r.writer().pendingBytes() == 0; }, 60s));
  EXPECT_EQ(r.recordCount(), 801u);
  r.writer().stopDump();
  EXPECT_THAT(log.text(), HasSubstr("[CX]: <== cxDumpAsync::cxDumpAsyncThreadFunc, total "
                                    "dropped pkt 3\n"));

  ASSERT_TRUE(r.writer().startDump("again.pcap", 0));
  EXPECT_EQ(r.writer().dropped(), 0);
  EXPECT_EQ(r.writer().pendingBytes(), 0);
  ASSERT_TRUE(r.writer().pushData(packet.data(), 60));
  ASSERT_TRUE(WaitUntil([&] { return r.recordCount() == 802; }));
  r.writer().stopDump();
  EXPECT_EQ(r.opens(), (std::vector<std::string>{"cap.pcap:0:false", "again.pcap:0:false"}));
  EXPECT_EQ(r.closes(), 2);
}

TEST(CxDumpAsyncTest, SecondStartIsRefusedAndTheFirstCaptureGoesOn) {
  testing_support::StartedLog log(0);
  Recorder r;
  ASSERT_TRUE(r.writer().startDump("first.pcap", 0));
  EXPECT_FALSE(r.writer().startDump("second.pcap", 96));
  std::vector<uint8_t> packet = Packet(1500);
  ASSERT_TRUE(r.writer().pushData(packet.data(), 1500));
  ASSERT_TRUE(WaitUntil([&] { return r.recordCount() == 1; }));
  r.writer().stopDump();
  EXPECT_EQ(r.opens(), std::vector<std::string>{"first.pcap:0:false"});
  EXPECT_EQ(r.records()[0].header.capturedLength, 1500u);  // the first start's snap length
  EXPECT_THAT(log.text(), HasSubstr(" vedororore cxLogAsync [CX]: Oops!!!!!!!!!!!Packet capture "
                                    "async is running. Stop it first\n"));
}

TEST(CxDumpAsyncTest, StopDiscardsQueuedItemsAndReportsThemLost) {
  testing_support::StartedLog log(0);
  Recorder r;
  std::atomic<bool> inCallback{false};
  // The first item holds the worker until the stop has begun.
  r.onPacket = [&] {
    inCallback = true;
    WaitUntil([&] { return r.writer().stopped(); });
  };
  ASSERT_TRUE(r.writer().startDump("cap.pcap", 0));
  std::vector<uint8_t> packet = Packet(100);
  ASSERT_TRUE(r.writer().pushData(packet.data(), 100));
  ASSERT_TRUE(WaitUntil([&] { return inCallback.load(); }));
  for (int i = 0; i < 10; ++i) ASSERT_TRUE(r.writer().pushData(packet.data(), 100));
  r.writer().stopDump();

  EXPECT_EQ(r.recordCount(), 1u);
  EXPECT_EQ(r.closes(), 1);
  EXPECT_EQ(r.writer().pendingBytes(), 0);
  EXPECT_THAT(log.text(), HasSubstr(" vedororore cxLogAsync [CX]: Oops!!!!lost 10 pkts in data "
                                    "dump.\n"));
}

TEST(CxDumpAsyncTest, SlowCallbackDoesNotSlowThePushes) {
  testing_support::StartedLog log(0);
  Recorder r;
  r.onPacket = [] { std::this_thread::sleep_for(10ms); };
  ASSERT_TRUE(r.writer().startDump("cap.pcap", 0));
  std::vector<uint8_t> packet = Packet(1500);
  auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) ASSERT_TRUE(r.writer().pushData(packet.data(), 1500));
  auto pushing = std::chrono::steady_clock::now() - start;
  // Writing them takes at least a second; pushing them must not wait for it.
  EXPECT_LT(pushing, 100ms);
  EXPECT_LT(r.recordCount(), 100u);
  r.writer().stopDump();
}

TEST(CxDumpAsyncTest, PacketCallbackIsRequired) {
  testing_support::StartedLog log(0);
  EXPECT_THROW(cxDumpAsync("CX", nullptr, nullptr, nullptr), int);
  EXPECT_THAT(log.text(), HasSubstr(" vedororore cxLogAsync cxDumpAsync construct, invalid "
                                    "parameter\n"));
}

}  // namespace
