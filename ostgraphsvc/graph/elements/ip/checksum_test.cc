#include "ostgraphsvc/graph/elements/ip/checksum.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

std::vector<unsigned char> TcpPacket(std::mt19937& random, size_t payload) {
  std::vector<unsigned char> b(40 + payload);
  b[0] = 0x45;
  b[2] = static_cast<unsigned char>(b.size() >> 8);
  b[3] = static_cast<unsigned char>(b.size());
  b[8] = 64;
  b[9] = 6;
  for (size_t i = 12; i < b.size(); ++i) b[i] = static_cast<unsigned char>(random());
  b[32] = 0x50;
  return b;
}

// Changing addresses and ports and applying one delta to the IPv4 and TCP
// sums gives what a full recomputation gives.
TEST(ChecksumTest, IncrementalUpdateMatchesFullSum) {
  std::mt19937 random(7);
  for (int i = 0; i < 2000; ++i) {
    std::vector<unsigned char> b = TcpPacket(random, random() % 64);
    ASSERT_TRUE(recompute_checksums(b.data(), static_cast<uint32_t>(b.size())));
    unsigned char old_words[12], new_words[12];
    std::memcpy(old_words, &b[12], 8);
    std::memcpy(old_words + 8, &b[20], 4);
    for (unsigned char& c : new_words) c = static_cast<unsigned char>(random());
    std::memcpy(&b[12], new_words, 8);
    std::memcpy(&b[20], new_words + 8, 4);
    checksum_update(&b[10], checksum_delta(old_words, new_words, 8));
    checksum_update(&b[36], checksum_delta(old_words, new_words, 12));
    std::vector<unsigned char> full = b;
    ASSERT_TRUE(recompute_checksums(full.data(), static_cast<uint32_t>(full.size())));
    ASSERT_EQ(b, full) << i;
  }
}

TEST(ChecksumTest, DeltaAlgebra) {
  const unsigned char a[4] = {0x12, 0x34, 0xAB, 0xCD};
  const unsigned char b[4] = {0xFF, 0x00, 0x00, 0x01};
  const uint16_t forward = checksum_delta(a, b, 4);
  const uint16_t back = checksum_delta(b, a, 4);
  // Going there and back is no change (either zero of one's complement).
  const uint16_t sum = checksum_add(forward, back);
  EXPECT_TRUE(sum == 0 || sum == 0xFFFF);
  EXPECT_EQ(static_cast<uint16_t>(~forward), back);
  unsigned char field[2] = {0x5A, 0xA5};
  checksum_update(field, checksum_delta(a, a, 4));
  EXPECT_EQ(field[0], 0x5A);
  EXPECT_EQ(field[1], 0xA5);
  EXPECT_FALSE(recompute_checksums(field, 2));
}

}  // namespace
