#include "platform/divert/filter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/divert/divert.h"
#include "platform/divert/simulated.h"
#include "platform/divert/testing_packets.h"
#include "platform/error/win_error.h"

namespace platform::divert {
namespace {

using testing::make_icmp;
using testing::make_tcp;
using testing::make_udp;
using testing::where;

// The capture element's four filter forms, byte for byte.
const std::string kFailClose =
    std::string("(remotePort != 67) && ((impostor && inbound)? false : true)") + " && " + " ( " +
    "(remoteAddr > 192.168.0.0 && remoteAddr < 192.168.255.255)" + " || " +
    "(remoteAddr > 172.16.0.0 && remoteAddr < 172.31.255.255)" + " || " +
    "(remoteAddr > 10.0.0.0 && remoteAddr < 10.255.255.255)" + " ) ";
const std::string kTunnelIf = "(ifIdx==7) && ((impostor && inbound)? false : true)";
const std::string kTunnelIp = "(ip.SrcAddr == 10.8.0.2) && ((impostor && inbound)? false : true)";
const std::string kExclusions =
    "(remotePort != 67) && ((impostor && inbound)? false : true)"
    " && ((remoteAddr > 10.1.0.0 && remoteAddr < 10.1.255.255)? false : true)"
    " && (remoteAddr != 203.0.113.9)";

class SimulatedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    use_simulated_backend(true);
    sim::reset();
  }
  void TearDown() override {
    EXPECT_EQ(sim::open_handles(), 0u);
    use_simulated_backend(false);
    sim::reset();
  }
};

struct Case {
  const char* name;
  std::vector<uint8_t> packet;
  WINDIVERT_ADDRESS where;
  bool fail_close, tunnel_if, tunnel_ip, exclusions;  // stolen under each filter
};

TEST_F(SimulatedTest, FilterFormsStealExactlyTheirPackets) {
  // Two blanks after the "&&" and a final blank are part of the text.
  ASSERT_NE(kFailClose.find("? false : true) &&  ( (remoteAddr > 192.168.0.0"), std::string::npos);
  ASSERT_EQ(kFailClose.substr(kFailClose.size() - 4), ") ) ");
  const std::vector<Case> cases = {
      {"out tcp to 192.168.1.5", make_tcp("192.168.1.10", 50000, "192.168.1.5", 443), where(true),
       true, false, false, true},
      {"out tcp to bound 192.168.0.0", make_tcp("192.168.1.10", 50000, "192.168.0.0", 443),
       where(true), false, false, false, true},
      {"out to 172.16.0.0 bound", make_tcp("172.20.0.2", 5, "172.16.0.0", 80), where(true), false,
       false, false, true},
      {"out to 172.20.1.1", make_tcp("172.20.0.2", 5, "172.20.1.1", 80), where(true), true, false,
       false, true},
      {"out to 10.255.255.255 bound", make_udp("10.0.0.2", 5, "10.255.255.255", 53), where(true),
       false, false, false, true},
      {"in udp from port 67", make_udp("192.168.1.1", 67, "192.168.1.10", 68), where(false), false,
       false, false, false},
      {"dhcp broadcast", make_udp("0.0.0.0", 68, "255.255.255.255", 67), where(true), false, false,
       false, false},
      {"impostor in", make_tcp("192.168.1.5", 443, "192.168.1.10", 50000), where(false, 7, true),
       false, false, false, false},
      {"impostor out", make_tcp("192.168.1.10", 50000, "192.168.1.5", 443), where(true, 7, true),
       true, true, false, true},
      {"in icmp echo", make_icmp("192.168.1.5", "192.168.1.10", 8), where(false), true, false,
       false, true},
      {"exclusion lower bound", make_tcp("10.0.0.2", 5, "10.1.0.0", 80), where(true), true, false,
       false, true},
      {"exclusion inner", make_tcp("10.0.0.2", 5, "10.1.2.3", 80), where(true), true, false, false,
       false},
      {"exclusion upper bound", make_tcp("10.0.0.2", 5, "10.1.255.255", 80), where(true), true,
       false, false, true},
      {"single exclusion", make_tcp("10.0.0.2", 5, "203.0.113.9", 80), where(true), false, false,
       false, false},
      {"public out", make_tcp("192.168.1.10", 5, "8.8.8.8", 443), where(true), false, false, false,
       true},
      {"tunnel out", make_tcp("10.8.0.2", 5, "8.8.8.8", 443), where(true, 7), false, true, true,
       true},
      {"tunnel in", make_tcp("8.8.8.8", 443, "10.8.0.2", 5), where(false, 7), false, true, false,
       true},
  };
  const std::string* filters[] = {&kFailClose, &kTunnelIf, &kTunnelIp, &kExclusions};
  for (int f = 0; f < 4; ++f) {
    const WinDivertHandle h =
        WinDivertOpen(filters[f]->c_str(), WINDIVERT_LAYER_NETWORK, WINDIVERT_PRIORITY_HIGHEST, 0);
    ASSERT_NE(h, kWinDivertInvalidHandle) << *filters[f];
    for (const Case& c : cases) {
      const bool want[] = {c.fail_close, c.tunnel_if, c.tunnel_ip, c.exclusions};
      EXPECT_EQ(sim::inject(c.packet.data(), static_cast<uint32_t>(c.packet.size()), c.where),
                want[f])
          << c.name << " under filter " << f;
    }
    EXPECT_TRUE(WinDivertClose(h));
  }
}

TEST_F(SimulatedTest, RefusedFiltersFailWith87AndInstallNothing) {
  const struct {
    std::string text;
    const char* reason;
  } cases[] = {
      {"", "Filter expression is empty"},
      {" \t ", "Filter expression is empty"},
      {"remotePrt != 67", "Unknown field"},
      {"ip.srcaddr == 1.2.3.4", "Unknown field"},
      {"(ifIdx==7", "Unbalanced parentheses"},
      {"ifIdx==7)", "Unbalanced parentheses"},
      {"((true) && (false)", "Unbalanced parentheses"},
      {"ifIdx==7 ifIdx", "Unexpected trailing text"},
      {"true false", "Unexpected trailing text"},
      {"remotePort == 4294967296", "Number over 32 bits"},
      {"remotePort == 99999999999999999999999", "Number over 32 bits"},
      {"remoteAddr == 10.0.0", "Bad IPv4 address"},
      {"remoteAddr == 10.0.0.256", "Bad IPv4 address"},
      {"remoteAddr == 1.2.3.4.5", "Bad IPv4 address"},
      {"remoteAddr == 1..2.3", "Bad IPv4 address"},
      {"ifIdx = 7", "Unexpected trailing text"},
      {"ifIdx == 7 &&", "Expected a value"},
      {"ifIdx == 7 & true", "Unexpected trailing text"},
      {"()", "Expected a value"},
      {"true ? false", "Expected ':'"},
      {"ifIdx == 1 == 1", "Chained comparison"},
      {std::string(100, '!') + "true", "Nesting too deep"},
      {std::string(100, '(') + "true" + std::string(100, ')'), "Nesting too deep"},
  };
  for (const auto& c : cases) {
    const char* reason = nullptr;
    uint32_t pos = 0;
    EXPECT_FALSE(WinDivertHelperCheckFilter(c.text.c_str(), &reason, &pos)) << c.text;
    EXPECT_STREQ(reason, c.reason) << c.text;
    EXPECT_LE(pos, c.text.size());

    set_last_error(0);
    EXPECT_EQ(WinDivertOpen(c.text.c_str(), WINDIVERT_LAYER_NETWORK, 0, 0), kWinDivertInvalidHandle)
        << c.text;
    EXPECT_EQ(last_error(), kErrorInvalidParameter) << c.text;
    EXPECT_EQ(sim::open_handles(), 0u) << c.text;
  }
}

TEST(FilterTest, RefusalPointsAtTheFault) {
  const struct {
    const char* text;
    uint32_t pos;
  } cases[] = {
      {"(ifIdx==7", 0},
      {"ifIdx==7 && bogus", 12},
      {"remoteAddr > 10.0.0 ", 13},
      {"true )", 5},
  };
  for (const auto& c : cases) {
    FilterError error;
    FilterProgram p;
    EXPECT_FALSE(p.compile(c.text, &error)) << c.text;
    EXPECT_EQ(error.pos, c.pos) << c.text;
    EXPECT_FALSE(p.matches(PacketFields{})) << "a refused program matches nothing";
  }
}

TEST(FilterTest, PrecedenceAndBlanks) {
  PacketFields in_impostor;
  in_impostor.impostor = true;
  in_impostor.if_idx = 7;
  in_impostor.src_addr = testing::addr("10.1.0.0");
  const struct {
    const char* text;
    bool want;
  } cases[] = {
      {"(ifIdx==7)", true},
      {"  (  ifIdx  ==  7  )  ", true},
      {"ifIdx!=7", false},
      {"!impostor && inbound", false},
      {"!(impostor && outbound)", true},
      {"true || false && false", true},              // && binds tighter than ||
      {"false && true ? false : true", true},        // ?: binds loosest
      {"true ? false : true ? true : true", false},  // right associative
      {"!false == 1", true},                         // ! binds tighter than ==
      {"!ifIdx", false},
      {"remoteAddr>=10.1.0.0&&remoteAddr<=10.1.0.0", true},
      {"remoteAddr > 10.0.255.255 && remoteAddr < 10.1.0.1", true},
      {"ip.DstAddr == 0.0.0.0 && loopback == 0", true},
      {"4294967295 == 4294967295", true},
      {"remotePort <= 0 && remotePort >= 0", true},
      {"(impostor && inbound)? false : true", false},
  };
  for (const auto& c : cases) {
    FilterProgram p;
    FilterError error;
    ASSERT_TRUE(p.compile(c.text, &error)) << c.text << ": " << error.reason;
    EXPECT_EQ(p.matches(in_impostor), c.want) << c.text;
  }
}

TEST(FilterTest, FieldsFromPackets) {
  const struct {
    const char* name;
    std::vector<uint8_t> packet;
    WINDIVERT_ADDRESS where;
    uint32_t remote_addr, remote_port;
  } cases[] = {
      {"tcp out", make_tcp("1.1.1.1", 1000, "2.2.2.2", 443), where(true), testing::addr("2.2.2.2"),
       443},
      {"tcp in", make_tcp("2.2.2.2", 443, "1.1.1.1", 1000), where(false), testing::addr("2.2.2.2"),
       443},
      {"udp in", make_udp("2.2.2.2", 67, "1.1.1.1", 68), where(false), testing::addr("2.2.2.2"),
       67},
      {"icmp in", make_icmp("2.2.2.2", "1.1.1.1", 8), where(false), testing::addr("2.2.2.2"), 8},
      {"icmp out", make_icmp("1.1.1.1", "2.2.2.2", 8), where(true), testing::addr("2.2.2.2"), 0},
      {"gre", testing::make_ipv4(47, "1.1.1.1", "2.2.2.2", 8), where(true),
       testing::addr("2.2.2.2"), 0},
      {"tcp header cut", testing::make_ipv4(6, "2.2.2.2", "1.1.1.1", 10), where(false),
       testing::addr("2.2.2.2"), 0},
  };
  FilterProgram port_of;
  for (const auto& c : cases) {
    PacketFields f;
    ASSERT_TRUE(packet_fields(c.packet.data(), static_cast<uint32_t>(c.packet.size()), c.where, &f))
        << c.name;
    EXPECT_EQ(f.outbound ? f.dst_addr : f.src_addr, c.remote_addr) << c.name;
    EXPECT_EQ(f.remote_port, c.remote_port) << c.name;
    const std::string port_text = "remotePort == " + std::to_string(c.remote_port);
    ASSERT_TRUE(port_of.compile(port_text, nullptr));
    EXPECT_TRUE(port_of.matches(f)) << c.name;
  }

  // A later fragment has no ports.
  auto frag = make_tcp("2.2.2.2", 443, "1.1.1.1", 1000);
  testing::put16(frag, 6, 0x0003);
  PacketFields f;
  ASSERT_TRUE(packet_fields(frag.data(), static_cast<uint32_t>(frag.size()), where(false), &f));
  EXPECT_EQ(f.remote_port, 0u);

  const std::vector<uint8_t> ipv6(40, 0x60);
  EXPECT_FALSE(packet_fields(ipv6.data(), 40, where(false), &f));
}

}  // namespace
}  // namespace platform::divert
