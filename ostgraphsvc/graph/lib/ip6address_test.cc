#include "graph/ip6address.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <string>

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Std;

IPv6Address Groups(std::initializer_list<uint16_t> groups) {
  unsigned char bytes[16] = {};
  int i = 0;
  for (uint16_t g : groups) {
    bytes[i++] = static_cast<unsigned char>(g >> 8);
    bytes[i++] = static_cast<unsigned char>(g);
  }
  return IPv6Address(bytes);
}

const IPv6Address kUntouched = Groups({9, 9, 9, 9, 9, 9, 9, 9});

TEST(IPv6AddressTest, AddressText) {
  struct Case {
    const char* text;
    bool ok;
    IPv6Address address;
  } cases[] = {
      {"::", true, Groups({})},
      {"::1", true, Groups({0, 0, 0, 0, 0, 0, 0, 1})},
      {"1::", true, Groups({1})},
      {"1:2:3:4:5:6:7:8", true, Groups({1, 2, 3, 4, 5, 6, 7, 8})},
      {"2001:0DB8:aBcD:0:0:0:0:ffff", true, Groups({0x2001, 0xdb8, 0xabcd, 0, 0, 0, 0, 0xffff})},
      {"1:2:3:4:5:6:7::", true, Groups({1, 2, 3, 4, 5, 6, 7, 0})},
      {"1:2:3:4:5:6::7", true, Groups({1, 2, 3, 4, 5, 6, 0, 7})},
      {"::2:3:4:5:6:7:8", true, Groups({0, 2, 3, 4, 5, 6, 7, 8})},
      {"fe80::1:2", true, Groups({0xfe80, 0, 0, 0, 0, 0, 1, 2})},
      {"::ffff:1.2.3.4", true, Groups({0, 0, 0, 0, 0, 0xffff, 0x0102, 0x0304})},
      {"::1.2.3.4", true, Groups({0, 0, 0, 0, 0, 0, 0x0102, 0x0304})},
      {"1:2:3:4:5:6:1.2.3.4", true, Groups({1, 2, 3, 4, 5, 6, 0x0102, 0x0304})},
      {"1::3:4:5:6:1.2.3.4", true, Groups({1, 0, 3, 4, 5, 6, 0x0102, 0x0304})},
      {"", false, {}},
      {":", false, {}},
      {":::", false, {}},
      {"1:2:3", false, {}},
      {"1:::2", false, {}},
      {"1::2::3", false, {}},
      {":1:2:3:4:5:6:7", false, {}},
      {"1:2:3:4:5:6:7:", false, {}},
      {"1:", false, {}},
      {"1:2:3:4:5:6:7:8:9", false, {}},
      {"1:2:3:4:5:6:7:8::", false, {}},
      {"1:2:3:4::5:6:7:8", false, {}},
      {"12345::", false, {}},
      {"g::", false, {}},
      {"::1 ", false, {}},
      {"::1%eth0", false, {}},
      {"1:2:3:4:5:6:7:1.2.3.4", false, {}},
      {"1:2:3:4:5:6::1.2.3.4", false, {}},
      {"1:2:3:4:5:1.2.3.4", false, {}},
      {"::1.2.3", false, {}},
      {"::1.2.3.256", false, {}},
      {"1.2.3.4", false, {}},
      {"::1.2.3.4:5", false, {}},
  };
  for (const Case& c : cases) {
    IPv6Address address = kUntouched;
    EXPECT_EQ(cp_parse_ip6_address(c.text, &address), c.ok) << c.text;
    EXPECT_EQ(address, c.ok ? c.address : kUntouched) << c.text;
  }
}

TEST(IPv6AddressTest, TextFormCompressesTheFirstLongestZeroRun) {
  struct Case {
    IPv6Address address;
    const char* text;
  } cases[] = {
      {Groups({}), "::"},
      {Groups({0, 0, 0, 0, 0, 0, 0, 1}), "::1"},
      {Groups({1}), "1::"},
      {Groups({0x2001, 0xdb8, 0, 0, 1, 0, 0, 0}), "2001:db8:0:0:1::"},
      {Groups({1, 0, 0, 2, 0, 0, 3, 4}), "1::2:0:0:3:4"},
      {Groups({1, 0, 2, 3, 4, 5, 6, 7}), "1:0:2:3:4:5:6:7"},
      {Groups({0xABCD, 0x0f, 1, 2, 3, 4, 5, 6}), "abcd:f:1:2:3:4:5:6"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Std(c.address.to_string()), c.text);
    IPv6Address back;
    ASSERT_TRUE(cp_parse_ip6_address(c.text, &back)) << c.text;
    EXPECT_EQ(back, c.address) << c.text;
  }
}

TEST(IPv6AddressTest, PrefixText) {
  const IPv6Address db8 = Groups({0x2001, 0xdb8});
  struct Case {
    const char* text;
    bool allow_bare;
    bool ok;
    IPv6Address address;
    int prefix_len;
  } cases[] = {
      {"2001:db8::/32", false, true, db8, 32},
      {"2001:db8::/0", false, true, db8, 0},
      {"2001:db8::/128", false, true, db8, 128},
      {"2001:db8::/ffff:ffff:ffff:ff00::", false, true, db8, 56},
      {"2001:db8::/ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff", false, true, db8, 128},
      {"2001:db8::/ffff:ffff::", false, true, db8, 32},
      {"2001:db8::/::", false, true, db8, 0},
      {"2001:db8::", true, true, db8, 128},
      {"2001:db8::", false, false, {}, 0},
      {"2001:db8::/129", true, false, {}, 0},
      {"2001:db8::/-1", true, false, {}, 0},
      {"2001:db8::/ffff::ffff", false, false, {}, 0},
      {"2001:db8::/ffff:fff0:ff00::", false, false, {}, 0},
      {"2001:db8::/", true, false, {}, 0},
      {"/32", true, false, {}, 0},
      {"2001:db8:::/32", true, false, {}, 0},
      {"2001:db8::/32/8", true, false, {}, 0},
  };
  for (const Case& c : cases) {
    IPv6Address address = kUntouched;
    int prefix_len = -7;
    EXPECT_EQ(cp_parse_ip6_prefix(c.text, c.allow_bare, &address, &prefix_len), c.ok) << c.text;
    EXPECT_EQ(address, c.ok ? c.address : kUntouched) << c.text;
    EXPECT_EQ(prefix_len, c.ok ? c.prefix_len : -7) << c.text;
  }
}

}  // namespace
