#include "platform/divert/divert.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <thread>
#include <vector>

#include "platform/divert/simulated.h"
#include "platform/divert/testing_packets.h"
#include "platform/error/win_error.h"

// Counts allocations made through operator new on threads that ask for it.
namespace {
thread_local bool t_counting = false;
thread_local long t_allocations = 0;
}  // namespace

// Out of line, so that the compiler does not pair an inlined malloc() or
// free() with a new or delete.
[[gnu::noinline]] void* operator new(std::size_t n) {
  if (t_counting) ++t_allocations;
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
[[gnu::noinline]] void operator delete(void* p) noexcept { std::free(p); }
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace platform::divert {
namespace {

using testing::make_tcp;
using testing::make_udp;
using testing::where;

constexpr uint32_t kPacketArea = 382500;
constexpr uint32_t kRecordArea = 20400;

class DivertTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_simulated_backend(true);
    sim::reset();
    packets_.resize(kPacketArea);
    records_.resize(kRecordArea / sizeof(WINDIVERT_ADDRESS));
  }
  void TearDown() override {
    EXPECT_EQ(sim::open_handles(), 0u);
    use_simulated_backend(false);
    sim::reset();
  }

  static WinDivertHandle open_all() {
    return WinDivertOpen("true", WINDIVERT_LAYER_NETWORK, WINDIVERT_PRIORITY_HIGHEST, 0);
  }

  static void inject(const std::vector<uint8_t>& p, const WINDIVERT_ADDRESS& w = where(true)) {
    ASSERT_TRUE(sim::inject(p.data(), static_cast<uint32_t>(p.size()), w));
  }

  // One receive; returns the number of packets (-1 on failure).
  int recv(WinDivertHandle h, uint32_t packet_len = kPacketArea, uint32_t addr_len = kRecordArea) {
    recv_len_ = 0;
    uint32_t addr = addr_len;
    if (!WinDivertRecvEx(h, packets_.data(), packet_len, &recv_len_, 0, records_.data(), &addr,
                         nullptr)) {
      return -1;
    }
    return static_cast<int>(addr / sizeof(WINDIVERT_ADDRESS));
  }

  std::vector<uint8_t> packets_;
  std::vector<WINDIVERT_ADDRESS> records_;
  uint32_t recv_len_ = 0;
};

TEST_F(DivertTest, ReceivesAtMost255PerCallWithRecords) {
  const WinDivertHandle h = open_all();
  ASSERT_NE(h, kWinDivertInvalidHandle);
  auto out = make_tcp("10.0.0.1", 1000, "10.0.0.2", 80, 10);
  auto in = make_udp("10.0.0.2", 53, "10.0.0.1", 1000, 10);
  for (int i = 0; i < 150; ++i) {
    inject(out, where(true, 4));
    inject(in, where(false, 9, true, true));
  }
  ASSERT_EQ(recv(h), 255);
  EXPECT_EQ(recv_len_, 128 * out.size() + 127 * in.size());
  // Order kept, bytes intact, records as seen.
  EXPECT_EQ(std::memcmp(packets_.data(), out.data(), out.size()), 0);
  EXPECT_EQ(std::memcmp(packets_.data() + out.size(), in.data(), in.size()), 0);
  EXPECT_EQ(records_[0].Flags, WINDIVERT_ADDRESS_OUTBOUND);
  EXPECT_EQ(records_[0].IfIdx, 4u);
  EXPECT_GT(records_[0].Timestamp, 0);
  EXPECT_EQ(records_[1].Flags, WINDIVERT_ADDRESS_LOOPBACK | WINDIVERT_ADDRESS_IMPOSTOR);
  EXPECT_EQ(records_[1].IfIdx, 9u);
  EXPECT_EQ(records_[1].SubIfIdx, 0u);
  ASSERT_EQ(recv(h), 45);

  DivertCounters c;
  ASSERT_TRUE(get_counters(h, &c));
  EXPECT_EQ(c.stolen, 300u);
  EXPECT_EQ(c.received, 300u);
  EXPECT_TRUE(WinDivertClose(h));
}

TEST_F(DivertTest, TakesOnlyWholePacketsThatFitBothAreas) {
  const WinDivertHandle h = open_all();
  auto p = make_udp("10.0.0.1", 1, "10.0.0.2", 2, 972);  // 1000 bytes
  for (int i = 0; i < 5; ++i) inject(p);
  EXPECT_EQ(recv(h, 2500), 2);  // a third would not fit whole
  EXPECT_EQ(recv_len_, 2000u);
  EXPECT_EQ(recv(h, kPacketArea, 2 * sizeof(WINDIVERT_ADDRESS)), 2);
  EXPECT_EQ(recv(h, 1000), 1);

  // A packet larger than the whole area is dropped, not left to stall the handle.
  inject(p);
  inject(p);
  set_last_error(0);
  EXPECT_EQ(recv(h, 999), -1);
  EXPECT_EQ(last_error(), kWinDivertErrorInsufficientBuffer);
  EXPECT_EQ(recv(h), 1);
  DivertCounters c;
  ASSERT_TRUE(get_counters(h, &c));
  EXPECT_EQ(c.oversize, 1u);
  EXPECT_TRUE(WinDivertClose(h));
}

TEST_F(DivertTest, SendPutsBatchBackAndRefusesBadBatchWhole) {
  const WinDivertHandle h = open_all();
  auto a = make_tcp("10.0.0.1", 1, "10.0.0.2", 2, 3);
  auto b = make_udp("10.0.0.2", 2, "10.0.0.1", 1, 5);
  std::vector<uint8_t> batch(a);
  batch.insert(batch.end(), b.begin(), b.end());
  const WINDIVERT_ADDRESS recs[2] = {where(true, 4), where(false, 5)};
  const auto n = static_cast<uint32_t>(batch.size());

  std::vector<uint8_t> trailing(batch);
  trailing.push_back(0);
  std::vector<uint8_t> not_ipv4(batch);
  not_ipv4[a.size()] = 0x60;
  std::vector<uint8_t> overlong(batch);
  testing::put16(overlong, a.size() + 2, static_cast<uint16_t>(b.size() + 1));
  std::vector<WINDIVERT_ADDRESS> many(256, where(true));
  const struct {
    const char* name;
    const std::vector<uint8_t>* bytes;
    const WINDIVERT_ADDRESS* recs;
    uint32_t addr_len;
  } bad[] = {
      {"trailing byte", &trailing, recs, 160},
      {"second not ipv4", &not_ipv4, recs, 160},
      {"total length past the batch", &overlong, recs, 160},
      {"fewer records than packets", &batch, recs, 80},
      {"more records than packets", &batch, many.data(), 240},
      {"record area not whole", &batch, recs, 159},
      {"256 records", &batch, many.data(), 256 * 80},
      {"no records", &batch, recs, 0},
  };
  for (const auto& c : bad) {
    set_last_error(0);
    EXPECT_FALSE(WinDivertSendEx(h, c.bytes->data(), static_cast<uint32_t>(c.bytes->size()),
                                 nullptr, 0, c.recs, c.addr_len, nullptr))
        << c.name;
    EXPECT_EQ(last_error(), kErrorInvalidParameter) << c.name;
  }
  EXPECT_TRUE(sim::take_delivered().empty()) << "nothing of a refused batch is sent";

  uint32_t sent = 0;
  ASSERT_TRUE(WinDivertSendEx(h, batch.data(), n, &sent, 0, recs, 160, nullptr));
  EXPECT_EQ(sent, n);
  const auto got = sim::take_delivered();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes, a);
  EXPECT_EQ(got[1].bytes, b);
  EXPECT_TRUE(got[0].reinjected);
  EXPECT_EQ(got[0].addr.Flags, WINDIVERT_ADDRESS_OUTBOUND);
  EXPECT_EQ(got[1].addr.Flags, 0u);
  EXPECT_EQ(got[1].addr.IfIdx, 5u);
  EXPECT_TRUE(WinDivertClose(h));
}

TEST_F(DivertTest, UnmatchedPacketsPassAndReinjectedAreNotStolenAgain) {
  const WinDivertHandle h =
      WinDivertOpen("remotePort == 80", WINDIVERT_LAYER_NETWORK, WINDIVERT_PRIORITY_HIGHEST, 0);
  auto web = make_tcp("10.0.0.1", 1000, "10.0.0.2", 80);
  auto dns = make_udp("10.0.0.1", 1000, "10.0.0.2", 53);
  EXPECT_FALSE(sim::inject(dns.data(), static_cast<uint32_t>(dns.size()), where(true)));
  inject(web);
  ASSERT_EQ(recv(h), 1);
  ASSERT_TRUE(
      WinDivertSendEx(h, packets_.data(), recv_len_, nullptr, 0, records_.data(), 80, nullptr));
  const auto got = sim::take_delivered();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].bytes, dns);
  EXPECT_FALSE(got[0].reinjected);
  EXPECT_EQ(got[1].bytes, web);
  EXPECT_TRUE(got[1].reinjected);
  DivertCounters c;
  ASSERT_TRUE(get_counters(h, &c));
  EXPECT_EQ(c.seen, 2u);
  EXPECT_EQ(c.stolen, 1u);
  EXPECT_EQ(c.reinjected, 1u);
  EXPECT_TRUE(WinDivertClose(h));
}

TEST_F(DivertTest, QueueHolds4096AndCountsOverflow) {
  const WinDivertHandle h = open_all();
  auto p = make_tcp("10.0.0.1", 1, "10.0.0.2", 2);
  for (uint32_t i = 0; i < kSimQueuePackets + 3; ++i) inject(p);
  int total = 0;
  while (total < static_cast<int>(kSimQueuePackets)) {
    const int n = recv(h);
    ASSERT_GT(n, 0);
    total += n;
  }
  EXPECT_EQ(total, static_cast<int>(kSimQueuePackets));
  DivertCounters c;
  ASSERT_TRUE(get_counters(h, &c));
  EXPECT_EQ(c.overflow, 3u);
  EXPECT_EQ(c.stolen, kSimQueuePackets + 3);
  EXPECT_TRUE(WinDivertClose(h));
}

TEST_F(DivertTest, CloseWithCountersGivesTheLastCountersOnce) {
  const WinDivertHandle h = open_all();
  auto p = make_udp("10.0.0.1", 1000, "10.0.0.2", 53);
  for (int i = 0; i < 3; ++i) inject(p);
  ASSERT_EQ(recv(h), 3);
  ASSERT_TRUE(WinDivertSendEx(h, packets_.data(), static_cast<uint32_t>(2 * p.size()), nullptr, 0,
                              records_.data(), 160, nullptr));
  DivertCounters c;
  set_last_error(0);
  EXPECT_FALSE(close_with_counters(h, nullptr));
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
  ASSERT_TRUE(get_counters(h, &c)) << "a refused call leaves the handle open";

  ASSERT_TRUE(close_with_counters(h, &c));
  EXPECT_EQ(c.received, 3u);
  EXPECT_EQ(c.reinjected, 2u);
  EXPECT_FALSE(get_counters(h, &c));
  EXPECT_FALSE(close_with_counters(h, &c));
  EXPECT_EQ(last_error(), kErrorInvalidHandle);
  EXPECT_FALSE(WinDivertClose(h));
}

TEST_F(DivertTest, CloseWakesBlockedRecvWith6AndHandleGoesStale) {
  const WinDivertHandle h = open_all();
  ASSERT_NE(h, kWinDivertInvalidHandle);
  std::atomic<int> result{0};
  std::atomic<uint32_t> error{0};
  std::thread receiver([&] {
    std::vector<uint8_t> area(kPacketArea);
    std::vector<WINDIVERT_ADDRESS> recs(255);
    uint32_t len = 0;
    uint32_t addr_len = kRecordArea;
    result = WinDivertRecvEx(h, area.data(), kPacketArea, &len, 0, recs.data(), &addr_len, nullptr)
                 ? 1
                 : -1;
    error = last_error();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(result.load(), 0) << "recv must block while nothing is queued";
  EXPECT_TRUE(WinDivertClose(h));
  receiver.join();
  EXPECT_EQ(result.load(), -1);
  EXPECT_EQ(error.load(), kErrorInvalidHandle);

  // The closed id stays refused, also after its slot is reused.
  const WinDivertHandle again = open_all();
  ASSERT_NE(again, kWinDivertInvalidHandle);
  EXPECT_NE(again, h);
  auto p = make_tcp("10.0.0.1", 1, "10.0.0.2", 2);
  set_last_error(0);
  EXPECT_EQ(recv(h), -1);
  EXPECT_EQ(last_error(), kErrorInvalidHandle);
  EXPECT_FALSE(WinDivertSendEx(h, p.data(), static_cast<uint32_t>(p.size()), nullptr, 0,
                               records_.data(), 80, nullptr));
  EXPECT_EQ(last_error(), kErrorInvalidHandle);
  EXPECT_FALSE(WinDivertClose(h));
  EXPECT_EQ(last_error(), kErrorInvalidHandle);
  for (WinDivertHandle bogus :
       {WinDivertHandle{0}, kWinDivertInvalidHandle, WinDivertHandle{12345}}) {
    EXPECT_FALSE(WinDivertClose(bogus));
  }
  EXPECT_TRUE(WinDivertClose(again));
}

TEST_F(DivertTest, ConcurrentReceiversAllWakeOnClose) {
  const WinDivertHandle h = open_all();
  std::atomic<int> woken{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      std::vector<uint8_t> area(2000);
      WINDIVERT_ADDRESS rec[1];
      uint32_t addr_len = sizeof(rec);
      if (!WinDivertRecvEx(h, area.data(), 2000, nullptr, 0, rec, &addr_len, nullptr) &&
          last_error() == kErrorInvalidHandle) {
        ++woken;
      }
    });
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_TRUE(WinDivertClose(h));
  for (auto& t : threads) t.join();
  EXPECT_EQ(woken.load(), 4);
}

TEST_F(DivertTest, RecvAndSendDoNotAllocate) {
  const WinDivertHandle h = open_all();
  auto p = make_tcp("10.0.0.1", 1, "10.0.0.2", 2, 100);
  for (int i = 0; i < 300; ++i) inject(p);
  uint32_t len = 0;
  uint32_t addr_len = kRecordArea;
  t_allocations = 0;
  t_counting = true;
  const bool got = WinDivertRecvEx(h, packets_.data(), kPacketArea, &len, 0, records_.data(),
                                   &addr_len, nullptr);
  const bool sent =
      WinDivertSendEx(h, packets_.data(), len, nullptr, 0, records_.data(), addr_len, nullptr);
  const bool summed = WinDivertHelperCalcChecksums(packets_.data(), len, records_.data(), 0);
  t_counting = false;
  EXPECT_TRUE(got && sent && summed);
  EXPECT_EQ(addr_len, 255 * sizeof(WINDIVERT_ADDRESS));
  EXPECT_EQ(t_allocations, 0);
  // The counter itself works.
  t_counting = true;
  delete new int(1);
  t_counting = false;
  EXPECT_EQ(t_allocations, 1);
  EXPECT_TRUE(WinDivertClose(h));
}

TEST_F(DivertTest, OpenChecksParametersAndBackendChoice) {
  const struct {
    const char* name;
    WINDIVERT_LAYER layer;
    int16_t priority;
    uint64_t flags;
  } bad[] = {
      {"layer 1", static_cast<WINDIVERT_LAYER>(1), 0, 0},
      {"flags 1", WINDIVERT_LAYER_NETWORK, 0, 1},
      {"priority 30001", WINDIVERT_LAYER_NETWORK, 30001, 0},
      {"priority -30001", WINDIVERT_LAYER_NETWORK, -30001, 0},
  };
  for (const auto& c : bad) {
    set_last_error(0);
    EXPECT_EQ(WinDivertOpen("true", c.layer, c.priority, c.flags), kWinDivertInvalidHandle)
        << c.name;
    EXPECT_EQ(last_error(), kErrorInvalidParameter) << c.name;
  }
  EXPECT_EQ(WinDivertOpen(nullptr, WINDIVERT_LAYER_NETWORK, 0, 0), kWinDivertInvalidHandle);

  sim::fail_next_open(kErrorNotSupported);
  EXPECT_EQ(open_all(), kWinDivertInvalidHandle);
  EXPECT_EQ(last_error(), kErrorNotSupported);
  EXPECT_EQ(sim::open_handles(), 0u);
  const WinDivertHandle h = open_all();
  ASSERT_NE(h, kWinDivertInvalidHandle) << "the failure is for one open only";
  EXPECT_TRUE(WinDivertClose(h));

  // Without the testing switch the environment chooses; an unknown choice is
  // refused rather than falling through to real capture.
  use_simulated_backend(false);
  setenv("DOVADOD_DIVERT", "simulated", 1);
  const WinDivertHandle e = open_all();
  EXPECT_NE(e, kWinDivertInvalidHandle);
  EXPECT_EQ(sim::open_handles(), 1u);
  EXPECT_TRUE(WinDivertClose(e));
  setenv("DOVADOD_DIVERT", "simulate", 1);
  set_last_error(0);
  EXPECT_EQ(open_all(), kWinDivertInvalidHandle);
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
  unsetenv("DOVADOD_DIVERT");
}

TEST_F(DivertTest, RecvChecksItsAreas) {
  const WinDivertHandle h = open_all();
  uint32_t addr_len = 79;
  EXPECT_FALSE(WinDivertRecvEx(h, packets_.data(), kPacketArea, nullptr, 0, records_.data(),
                               &addr_len, nullptr));
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
  addr_len = kRecordArea;
  EXPECT_FALSE(
      WinDivertRecvEx(h, nullptr, kPacketArea, nullptr, 0, records_.data(), &addr_len, nullptr));
  EXPECT_FALSE(WinDivertRecvEx(h, packets_.data(), kPacketArea, nullptr, 1, records_.data(),
                               &addr_len, nullptr));
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
  EXPECT_TRUE(WinDivertClose(h));
}

}  // namespace
}  // namespace platform::divert
