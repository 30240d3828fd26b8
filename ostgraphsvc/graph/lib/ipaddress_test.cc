#include "graph/ipaddress.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/nameinfo.h"
#include "graph/parse_context.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Lines;
using graph_testing::Std;

const IPAddress kUntouched(9, 9, 9, 9);

TEST(IPAddressTest, DottedQuadText) {
  struct Case {
    const char* text;
    bool ok;
    IPAddress address;
  } cases[] = {
      {"1.2.3.4", true, IPAddress(1, 2, 3, 4)},
      {"001.002.003.004", true, IPAddress(1, 2, 3, 4)},
      {"010.0.0.255", true, IPAddress(10, 0, 0, 255)},
      {"0.0.0.0", true, IPAddress()},
      {"255.255.255.255", true, IPAddress(0xFFFFFFFFu)},
      {"1.2.3", false, {}},
      {"1.2.3.4.5", false, {}},
      {"1.2.3.256", false, {}},
      {"1.2.3.99999999999999999999999", false, {}},
      {"1.2.3.4 ", false, {}},
      {" 1.2.3.4", false, {}},
      {"1..2.3", false, {}},
      {"1.2.3.4.", false, {}},
      {"-1.2.3.4", false, {}},
      {"+1.2.3.4", false, {}},
      {"1.2.3.0x4", false, {}},
      {"", false, {}},
  };
  for (const Case& c : cases) {
    IPAddress address = kUntouched;
    EXPECT_EQ(cp_parse_ip_address(c.text, &address), c.ok) << c.text;
    EXPECT_EQ(address, c.ok ? c.address : kUntouched) << c.text;
  }
  // The first dotted number is the first byte in memory.
  IPAddress address;
  ASSERT_TRUE(cp_parse_ip_address("192.168.0.1", &address));
  EXPECT_EQ(address.data()[0], 192);
  EXPECT_EQ(address.data()[3], 1);
  EXPECT_EQ(address.host_order(), 0xC0A80001u);
  EXPECT_EQ(Std(address.to_string()), "192.168.0.1");
}

TEST(IPAddressTest, MasksAndPrefixText) {
  struct Case {
    IPAddress mask;
    int prefix_len;
    const char* text;  // of 10.0.0.0 with the mask
  } cases[] = {
      {IPAddress(), 0, "10.0.0.0/0"},
      {IPAddress(255, 0, 0, 0), 8, "10.0.0.0/8"},
      {IPAddress(255, 255, 255, 128), 25, "10.0.0.0/25"},
      {IPAddress(255, 255, 255, 255), 32, "10.0.0.0/32"},
      {IPAddress(255, 0, 255, 0), -1, "10.0.0.0/255.0.255.0"},
      {IPAddress(0, 0, 0, 255), -1, "10.0.0.0/0.0.0.255"},
      {IPAddress(254, 255, 255, 255), -1, "10.0.0.0/254.255.255.255"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(IPAddress::mask_to_prefix_len(c.mask), c.prefix_len) << c.text;
    EXPECT_EQ(Std(IPAddress::prefix_to_string(IPAddress(10, 0, 0, 0), c.mask)), c.text);
    if (c.prefix_len >= 0) {
      EXPECT_EQ(IPAddress::make_prefix(c.prefix_len), c.mask) << c.text;
    }
  }
}

TEST(IPAddressTest, PrefixText) {
  struct Case {
    const char* text;
    bool allow_bare;
    bool ok;
    IPAddress address, mask;
  } cases[] = {
      {"10.1.2.3/24", false, true, IPAddress(10, 1, 2, 3), IPAddress(255, 255, 255, 0)},
      {"10/8", false, true, IPAddress(10, 0, 0, 0), IPAddress(255, 0, 0, 0)},
      {"10.1/255.255.0.0", false, true, IPAddress(10, 1, 0, 0), IPAddress(255, 255, 0, 0)},
      {"10/255.0.0.0", false, true, IPAddress(10, 0, 0, 0), IPAddress(255, 0, 0, 0)},
      {"1.2.3.4/255.0.255.0", false, true, IPAddress(1, 2, 3, 4), IPAddress(255, 0, 255, 0)},
      {"1.2.3.4/0", false, true, IPAddress(1, 2, 3, 4), IPAddress()},
      {"1.2.3.4/32", false, true, IPAddress(1, 2, 3, 4), IPAddress(0xFFFFFFFFu)},
      {"1.2.3.4/032", false, true, IPAddress(1, 2, 3, 4), IPAddress(0xFFFFFFFFu)},
      {"1.2.3.4", true, true, IPAddress(1, 2, 3, 4), IPAddress(0xFFFFFFFFu)},
      {"1.2.3.4", false, false, {}, {}},
      {"10/16", false, false, {}, {}},
      {"10/255.255.0.0", false, false, {}, {}},
      {"1.2.3.4/33", true, false, {}, {}},
      {"1.2.3.4/-1", false, false, {}, {}},
      {"1.2.3.4/", true, false, {}, {}},
      {"/24", true, false, {}, {}},
      {"1.2.3.4/24/8", true, false, {}, {}},
      {"10./8", false, false, {}, {}},
      {"1.2.3.4/255.255.255", false, false, {}, {}},
      {"1.2.3.4/24 ", false, false, {}, {}},
      {"", true, false, {}, {}},
  };
  for (const Case& c : cases) {
    IPAddress address = kUntouched;
    IPAddress mask = kUntouched;
    EXPECT_EQ(cp_parse_ip_prefix(c.text, c.allow_bare, &address, &mask), c.ok) << c.text;
    EXPECT_EQ(address, c.ok ? c.address : kUntouched) << c.text;
    EXPECT_EQ(mask, c.ok ? c.mask : kUntouched) << c.text;
  }
}

TEST(IPAddressTest, AddressList) {
  Vector<IPAddress> list;
  list.push_back(kUntouched);
  ASSERT_TRUE(cp_parse_ip_address_list("1.2.3.4 /* old */ 5.6.7.8\n\t10.0.0.1 // end", &list));
  ASSERT_EQ(list.size(), 3);
  EXPECT_EQ(list[0], IPAddress(1, 2, 3, 4));
  EXPECT_EQ(list[1], IPAddress(5, 6, 7, 8));
  EXPECT_EQ(list[2], IPAddress(10, 0, 0, 1));

  // A bad word keeps the old list whole.
  EXPECT_FALSE(cp_parse_ip_address_list("1.2.3.4 x", &list));
  EXPECT_EQ(list.size(), 3);
  EXPECT_EQ(list[0], IPAddress(1, 2, 3, 4));

  ASSERT_TRUE(cp_parse_ip_address_list("  ", &list));
  EXPECT_TRUE(list.empty());
}

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    NameRegistry::static_initialize();
    const int www = 80;
    NameRegistry::global
        ->lookup_or_install(NameDB::kPortType + 6, 4, String(), NameRegistry::kMakeDynamic)
        ->define("www", &www, sizeof(www));
  }
  void TearDown() override { NameRegistry::static_cleanup(); }
};

TEST_F(PortTest, NumbersAndNames) {
  struct Case {
    int protocol;
    const char* text;
    bool ok;
    uint16_t port;
    bool overflow;  // reports "overflow, range 0-65535"
  } cases[] = {
      {6, "80", true, 80, false},
      {6, "0x50", true, 80, false},
      {6, "010", true, 8, false},
      {6, "0", true, 0, false},
      {6, "65535", true, 65535, false},
      {6, "www", true, 80, false},
      {17, "www", false, 0, false},  // names are per protocol
      {6, "WWW", false, 0, false},
      {6, "65536", false, 0, true},
      {17, "0x10000", false, 0, true},
      {6, "4294967296", false, 0, false},  // the integer's own range
      {6, "-1", false, 0, false},
      {6, "80 ", false, 0, false},
      {6, "", false, 0, false},
  };
  for (const Case& c : cases) {
    Lines errh;
    ParseContext context(nullptr, &errh);
    uint16_t port = 7;
    EXPECT_EQ(cp_parse_port(c.protocol, c.text, &port, context), c.ok) << c.text;
    EXPECT_EQ(port, c.ok ? c.port : 7) << c.text;
    EXPECT_EQ(errh.lines, c.overflow ? std::vector<std::string>{"<3>overflow, range 0-65535"}
                                     : std::vector<std::string>{})
        << c.text;
  }
}

TEST(PortWithoutNamesTest, NameFailsAsNumber) {
  // Without any port database a name is just an invalid number.
  NameRegistry::static_initialize();
  uint16_t port = 7;
  EXPECT_FALSE(cp_parse_port(6, "www", &port));
  EXPECT_EQ(port, 7);
  NameRegistry::static_cleanup();
}

}  // namespace
