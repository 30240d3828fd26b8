#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "platform/divert/divert.h"
#include "platform/divert/packet.h"
#include "platform/divert/testing_packets.h"
#include "platform/error/win_error.h"

namespace platform::divert {
namespace {

using testing::get16;
using testing::make_icmp;
using testing::make_ipv4;
using testing::make_tcp;
using testing::make_udp;
using testing::put16;

// An exact-size heap copy, so that AddressSanitizer sees any read past the end.
struct Exact {
  explicit Exact(const std::vector<uint8_t>& b)
      : len(static_cast<uint32_t>(b.size())), data(new uint8_t[b.empty() ? 1 : b.size()]) {
    if (!b.empty()) std::memcpy(data.get(), b.data(), b.size());
  }
  uint8_t* get() { return data.get(); }
  uint32_t len;
  std::unique_ptr<uint8_t[]> data;
};

struct Parsed {
  bool ok;
  WINDIVERT_IPHDR* ip;
  uint8_t proto;
  WINDIVERT_ICMPHDR* icmp;
  WINDIVERT_TCPHDR* tcp;
  WINDIVERT_UDPHDR* udp;
  void* data;
  uint32_t data_len;
  void* next;
  uint32_t next_len;
};

Parsed parse(uint8_t* p, uint32_t len) {
  Parsed r{};
  r.ok = WinDivertHelperParsePacket(p, len, &r.ip, &r.proto, &r.icmp, &r.tcp, &r.udp, &r.data,
                                    &r.data_len, &r.next, &r.next_len);
  return r;
}

TEST(ParsePacketTest, RefusesAllButWellFormedIpv4) {
  auto tcp = make_tcp("1.1.1.1", 1, "2.2.2.2", 2, 4);
  auto set = [](std::vector<uint8_t> b, size_t at, uint8_t v) {
    b[at] = v;
    return b;
  };
  auto set16 = [](std::vector<uint8_t> b, size_t at, uint16_t v) {
    put16(b, at, v);
    return b;
  };
  auto cut = [](std::vector<uint8_t> b, size_t n) {
    b.resize(n);
    return b;
  };
  const struct {
    const char* name;
    std::vector<uint8_t> bytes;
    bool framed;  // the next-packet pair still lets a walker step over it
  } cases[] = {
      {"empty", {}, false},
      {"19 bytes", cut(tcp, 19), false},
      {"version 6", set(tcp, 0, 0x65), false},
      {"header length 4 words", set(tcp, 0, 0x44), false},
      {"header longer than total", set16(set(tcp, 0, 0x4F), 2, 40), false},
      {"total beyond buffer", cut(tcp, tcp.size() - 1), false},
      {"total under 20", set16(tcp, 2, 19), false},
      {"tcp header cut", make_ipv4(6, "1.1.1.1", "2.2.2.2", 19), true},
      {"tcp offset 4 words", set(tcp, 32, 0x40), true},
      {"tcp offset past packet", set(tcp, 32, 0x70), true},
      {"udp header cut", make_ipv4(17, "1.1.1.1", "2.2.2.2", 7), true},
      {"udp length 7", set16(make_udp("1.1.1.1", 1, "2.2.2.2", 2, 4), 24, 7), true},
      {"udp length past packet", set16(make_udp("1.1.1.1", 1, "2.2.2.2", 2, 4), 24, 13), true},
      {"icmp header cut", make_ipv4(1, "1.1.1.1", "2.2.2.2", 7), true},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> bytes = c.bytes;
    if (c.framed) bytes.push_back(0xEE);  // one byte after the packet
    Exact e(bytes);
    const Parsed r = parse(e.get(), e.len);
    EXPECT_FALSE(r.ok) << c.name;
    EXPECT_EQ(r.ip, nullptr) << c.name;
    EXPECT_EQ(r.tcp, nullptr) << c.name;
    EXPECT_EQ(r.data, nullptr) << c.name;
    EXPECT_EQ(r.next, c.framed ? e.get() + e.len - 1 : nullptr) << c.name;
    EXPECT_EQ(r.next_len, c.framed ? 1u : 0u) << c.name;
    EXPECT_FALSE(WinDivertHelperCalcChecksums(e.get(), e.len, nullptr, 0)) << c.name;
  }
  EXPECT_FALSE(parse(nullptr, 40).ok);
}

TEST(ParsePacketTest, WalksABatchAndPointsIntoIt) {
  auto tcp = make_tcp("1.1.1.1", 1, "2.2.2.2", 2, 5);
  auto udp = make_udp("1.1.1.1", 1, "2.2.2.2", 2, 3);
  udp.push_back(0);  // IPv4 padding after the UDP datagram
  put16(udp, 2, static_cast<uint16_t>(udp.size()));
  auto icmp = make_icmp("1.1.1.1", "2.2.2.2", 8);
  auto gre = make_ipv4(47, "1.1.1.1", "2.2.2.2", 6);
  auto later = make_tcp("1.1.1.1", 1, "2.2.2.2", 2, 5);
  put16(later, 6, 0x0010);  // fragment offset 16: no transport header
  std::vector<uint8_t> batch;
  for (const auto* p : {&tcp, &udp, &icmp, &gre, &later})
    batch.insert(batch.end(), p->begin(), p->end());
  Exact e(batch);

  const struct {
    uint8_t proto;
    int header;  // 0 none, 1 icmp, 2 tcp, 3 udp
    uint32_t data_off, data_len;
    uint32_t size;
  } want[] = {
      {6, 2, 40, 5, static_cast<uint32_t>(tcp.size())},
      {17, 3, 28, 3, static_cast<uint32_t>(udp.size())},
      {1, 1, 28, 0, static_cast<uint32_t>(icmp.size())},
      {47, 0, 20, 6, static_cast<uint32_t>(gre.size())},
      {6, 0, 20, 25, static_cast<uint32_t>(later.size())},
  };
  uint8_t* p = e.get();
  uint32_t left = e.len;
  for (const auto& w : want) {
    const Parsed r = parse(p, left);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(r.ip), p);
    EXPECT_EQ(r.proto, w.proto);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(r.icmp), w.header == 1 ? p + 20 : nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(r.tcp), w.header == 2 ? p + 20 : nullptr);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(r.udp), w.header == 3 ? p + 20 : nullptr);
    EXPECT_EQ(r.data, w.data_len ? p + w.data_off : nullptr);
    EXPECT_EQ(r.data_len, w.data_len);
    EXPECT_EQ(left - r.next_len, w.size);
    p = static_cast<uint8_t*>(r.next);
    left = r.next_len;
  }
  EXPECT_EQ(p, nullptr);
  EXPECT_EQ(left, 0u);
}

// A plain checksum over a byte list: 16-bit words, odd byte padded with 0.
uint16_t plain_sum(const std::vector<uint8_t>& b) {
  uint32_t sum = 0;
  for (size_t i = 0; i < b.size(); i += 2) {
    sum += static_cast<uint32_t>(b[i]) << 8 | (i + 1 < b.size() ? b[i + 1] : 0);
  }
  while (sum > 0xFFFF) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

uint16_t expected_ip(std::vector<uint8_t> p) {
  p.resize(20);
  put16(p, 10, 0);
  return plain_sum(p);
}

// TCP/UDP over the pseudo header, ICMP over its message; checksum field 0.
uint16_t expected_l4(std::vector<uint8_t> p) {
  const uint8_t proto = p[9];
  std::vector<uint8_t> seg(p.begin() + 20, p.end());
  const size_t field = proto == 6 ? 16 : proto == 17 ? 6 : 2;
  put16(seg, field, 0);
  if (proto == 1) return plain_sum(seg);
  std::vector<uint8_t> pseudo(p.begin() + 12, p.begin() + 20);
  pseudo.push_back(0);
  pseudo.push_back(proto);
  pseudo.push_back(static_cast<uint8_t>(seg.size() >> 8));
  pseudo.push_back(static_cast<uint8_t>(seg.size()));
  pseudo.insert(pseudo.end(), seg.begin(), seg.end());
  return plain_sum(pseudo);
}

TEST(CalcChecksumsTest, EqualsPlainRecomputationAndHonoursFlags) {
  const struct {
    const char* name;
    std::vector<uint8_t> packet;
    size_t l4_field;
    uint64_t skip_l4_flag;
  } cases[] = {
      {"tcp", make_tcp("10.0.0.1", 1234, "10.0.0.2", 80, 33), 36, WINDIVERT_HELPER_NO_TCP_CHECKSUM},
      {"udp", make_udp("10.0.0.1", 53, "10.0.0.2", 5353, 17), 26, WINDIVERT_HELPER_NO_UDP_CHECKSUM},
      {"icmp", make_icmp("10.0.0.1", "10.0.0.2", 8, 31), 22, WINDIVERT_HELPER_NO_ICMP_CHECKSUM},
  };
  for (const auto& c : cases) {
    std::vector<uint8_t> garbled = c.packet;
    put16(garbled, 10, 0xBEEF);
    put16(garbled, c.l4_field, 0xBEEF);
    const uint16_t want_ip = expected_ip(garbled);
    const uint16_t want_l4 = expected_l4(garbled);

    for (uint64_t flags : {uint64_t{0}, WINDIVERT_HELPER_NO_IP_CHECKSUM, c.skip_l4_flag,
                           WINDIVERT_HELPER_NO_IP_CHECKSUM | WINDIVERT_HELPER_NO_ICMP_CHECKSUM}) {
      Exact e(garbled);
      ASSERT_TRUE(WinDivertHelperCalcChecksums(e.get(), e.len, nullptr, flags)) << c.name;
      const std::vector<uint8_t> out(e.get(), e.get() + e.len);
      EXPECT_EQ(get16(out, 10), (flags & WINDIVERT_HELPER_NO_IP_CHECKSUM) ? 0xBEEF : want_ip)
          << c.name << " flags " << flags;
      EXPECT_EQ(get16(out, c.l4_field), (flags & c.skip_l4_flag) ? 0xBEEF : want_l4)
          << c.name << " flags " << flags;
    }
  }
}

// The sum runs eight bytes at a time: every tail length, and bytes that make
// the wide sum carry, must give what the plain 16-bit sum gives.
TEST(CalcChecksumsTest, WideSumMatchesPlainSumForEveryTailAndCarry) {
  for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0x5A}}) {
    for (size_t payload : {0, 1, 2, 3, 5, 6, 7, 8, 9, 15, 16, 17, 1372, 1472}) {
      auto p = make_udp("10.0.0.1", 53, "10.0.0.2", 5353, payload);
      for (size_t i = 28; i < p.size(); ++i) p[i] = fill == 0x5A ? static_cast<uint8_t>(i * 7) : fill;
      Exact e(p);
      ASSERT_TRUE(WinDivertHelperCalcChecksums(e.get(), e.len, nullptr, 0));
      const std::vector<uint8_t> out(e.get(), e.get() + e.len);
      const uint16_t want = expected_l4(p);
      EXPECT_EQ(get16(out, 26), want == 0 ? 0xFFFF : want) << int{fill} << " " << payload;
      EXPECT_EQ(get16(out, 10), expected_ip(p)) << int{fill} << " " << payload;
    }
  }
}

TEST(CalcChecksumsTest, FragmentsKeepTransportSumAndUdpZeroIsAllOnes) {
  for (uint16_t frag : {uint16_t{0x2000}, uint16_t{0x0004}}) {  // MF set; offset 4
    auto p = make_tcp("10.0.0.1", 1, "10.0.0.2", 2, 8);
    put16(p, 6, frag);
    put16(p, 36, 0xBEEF);
    Exact e(p);
    ASSERT_TRUE(WinDivertHelperCalcChecksums(e.get(), e.len, nullptr, 0));
    const std::vector<uint8_t> out(e.get(), e.get() + e.len);
    EXPECT_EQ(get16(out, 36), 0xBEEF);
    EXPECT_EQ(get16(out, 10), expected_ip(p));
  }

  // Choose the two payload bytes so that the UDP sum comes to 0.
  auto udp = make_udp("10.0.0.1", 1, "10.0.0.2", 2, 2);
  put16(udp, 28, 0);
  put16(udp, 28, expected_l4(udp));
  ASSERT_EQ(expected_l4(udp), 0);
  Exact e(udp);
  ASSERT_TRUE(WinDivertHelperCalcChecksums(e.get(), e.len, nullptr, 0));
  EXPECT_EQ(get16(std::vector<uint8_t>(e.get(), e.get() + e.len), 26), 0xFFFF);
}

TEST(CalcChecksumsTest, TransportChecksumCheckAsTheKernelDoes) {
  auto tcp = make_tcp("10.0.0.1", 1, "10.0.0.2", 2, 9);
  auto udp = make_udp("10.0.0.1", 1, "10.0.0.2", 2, 9);
  // UDP shorter than its IPv4 payload: summed over its own length.
  auto short_udp = make_udp("10.0.0.1", 1, "10.0.0.2", 2, 9);
  put16(short_udp, 24, 8 + 5);
  for (auto* p : {&tcp, &udp, &short_udp})
    WinDivertHelperCalcChecksums(p->data(), static_cast<uint32_t>(p->size()), nullptr, 0);
  auto check = [](const std::vector<uint8_t>& p) {
    return transport_checksum_ok(p.data(), parse_ipv4(p.data(), static_cast<uint32_t>(p.size())));
  };
  EXPECT_TRUE(check(tcp));
  EXPECT_TRUE(check(udp));
  EXPECT_TRUE(check(short_udp));
  short_udp.back() ^= 1;  // past the UDP length: not covered
  EXPECT_TRUE(check(short_udp));
  tcp.back() ^= 1;
  EXPECT_FALSE(check(tcp));
  put16(udp, 26, 0x1234);
  EXPECT_FALSE(check(udp));
  put16(udp, 26, 0);  // no checksum
  EXPECT_TRUE(check(udp));
  // A fragment cannot be checked.
  put16(tcp, 6, 0x2000);
  EXPECT_TRUE(check(tcp));
}

TEST(CalcChecksumsTest, RefusesUnknownFlagsAndNull) {
  auto p = make_tcp("10.0.0.1", 1, "10.0.0.2", 2);
  set_last_error(0);
  EXPECT_FALSE(WinDivertHelperCalcChecksums(p.data(), static_cast<uint32_t>(p.size()), nullptr, 4));
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
  EXPECT_FALSE(WinDivertHelperCalcChecksums(nullptr, 40, nullptr, 0));
}

}  // namespace
}  // namespace platform::divert
