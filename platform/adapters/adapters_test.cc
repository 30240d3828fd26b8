#include "platform/adapters/adapters.h"

// Before <linux/if.h>, which then leaves out what libc declares already.
#include <net/if.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "platform/error/win_error.h"
#include "tests/support/netns.h"

namespace platform {

void PrintTo(const ForwardRow& r, std::ostream* os) {
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &r.destination, text, sizeof text);
  *os << text << "/" << int{r.prefix_len} << " if " << r.if_index << " metric " << r.metric;
}

namespace {

using Bytes = std::vector<uint8_t>;

// Builds one netlink message: header, fixed part, attributes.
class Message {
 public:
  Message(uint16_t type, const void* fixed, size_t fixed_len, uint16_t flags = 0) {
    nlmsghdr hdr{};
    hdr.nlmsg_type = type;
    hdr.nlmsg_flags = flags;
    append(&hdr, sizeof hdr);
    append(fixed, fixed_len);
  }
  Message& attr(uint16_t type, const void* data, size_t len) {
    nlattr a{static_cast<uint16_t>(NLA_HDRLEN + len), type};
    append(&a, sizeof a);
    append(data, len);
    return *this;
  }
  Message& text(uint16_t type, const std::string& s) { return attr(type, s.c_str(), s.size() + 1); }
  Message& u32(uint16_t type, uint32_t v) { return attr(type, &v, sizeof v); }
  Bytes bytes() const {
    Bytes out = bytes_;
    uint32_t len = static_cast<uint32_t>(out.size());
    std::memcpy(out.data(), &len, sizeof len);
    return out;
  }

 private:
  void append(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    bytes_.insert(bytes_.end(), p, p + len);
    bytes_.resize((bytes_.size() + 3) & ~size_t{3});
  }
  Bytes bytes_;
};

Message link(int index, const std::string& name, uint16_t flags = 0,
             uint16_t hardware = ARPHRD_ETHER) {
  ifinfomsg ifi{};
  ifi.ifi_index = index;
  ifi.ifi_type = hardware;
  Message m(RTM_NEWLINK, &ifi, sizeof ifi, flags);
  if (!name.empty()) m.text(IFLA_IFNAME, name);
  return m;
}

Bytes good_link() {
  uint8_t state = IF_OPER_UP;
  return link(7, "wg0")
      .u32(IFLA_MTU, 1420)
      .text(IFLA_IFALIAS, "WinTun Tunnel")
      .attr(IFLA_OPERSTATE, &state, 1)
      .bytes();
}

Message addr(int family, uint32_t index, uint8_t prefix) {
  ifaddrmsg ifa{};
  ifa.ifa_family = static_cast<uint8_t>(family);
  ifa.ifa_prefixlen = prefix;
  ifa.ifa_index = index;
  return Message(RTM_NEWADDR, &ifa, sizeof ifa);
}

Bytes ip(int family, const char* text) {
  Bytes out(family == AF_INET ? 4 : 16);
  EXPECT_EQ(::inet_pton(family, text, out.data()), 1) << text;
  return out;
}

Message addr_with(int family, uint32_t index, uint8_t prefix, const char* text) {
  Bytes a = ip(family, text);
  return addr(family, index, prefix).attr(IFA_ADDRESS, a.data(), a.size());
}

Bytes control(uint16_t type, int32_t code, uint16_t flags = 0) {
  return Message(type, &code, sizeof code, flags).bytes();
}

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Offset of the first attribute of a link message.
constexpr size_t kLinkAttrs = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg));

void set_u16(Bytes* b, size_t offset, uint16_t v) { std::memcpy(b->data() + offset, &v, sizeof v); }

TEST(AdapterParseTest, LinkMessageGivesNameAliasMtuAndStatus) {
  Bytes msg = good_link();
  // Parsed from an odd address too: the parser must not depend on alignment.
  Bytes shifted(1);
  shifted.insert(shifted.end(), msg.begin(), msg.end());
  for (const uint8_t* p : {msg.data(), shifted.data() + 1}) {
    Adapter a;
    ASSERT_EQ(parse_link_message(p, msg.size(), &a), ParseResult::kOk);
    EXPECT_EQ(a.index, 7u);
    EXPECT_EQ(a.name, "wg0");
    EXPECT_EQ(a.description, "WinTun Tunnel");
    EXPECT_EQ(a.mtu, 1420u);
    EXPECT_EQ(a.oper_status, OperStatus::kUp);
    EXPECT_EQ(a.type, kIfTypeEthernet);
  }

  // No alias, and an empty one, give no description.
  const Bytes no_alias = link(2, "eth0").u32(IFLA_MTU, 1500).bytes();
  const Bytes empty_alias = link(2, "eth0").u32(IFLA_MTU, 1500).attr(IFLA_IFALIAS, "", 0).bytes();
  for (const Bytes& b : {no_alias, empty_alias}) {
    Adapter plain;
    ASSERT_EQ(parse_link_message(b.data(), b.size(), &plain), ParseResult::kOk);
    EXPECT_EQ(plain.description, "");
    EXPECT_EQ(plain.oper_status, OperStatus::kUnknown);
  }
}

TEST(AdapterParseTest, BrokenLinkMessagesAreRefused) {
  const Bytes good = good_link();
  auto with = [&](auto change) {
    Bytes b = good;
    change(&b);
    return b;
  };
  struct Case {
    const char* what;
    Bytes bytes;
  } cases[] = {
      {"shorter than a netlink header", Bytes(good.begin(), good.begin() + 10)},
      {"message longer than the buffer", Bytes(good.begin(), good.end() - 4)},
      {"no room for the interface header", with([](Bytes* b) {
         b->resize(NLMSG_HDRLEN + 8);
         uint32_t len = static_cast<uint32_t>(b->size());
         std::memcpy(b->data(), &len, sizeof len);
       })},
      {"attribute length beyond the message",
       with([](Bytes* b) { set_u16(b, kLinkAttrs, 0x400); })},
      {"attribute length below its header (no progress)",
       with([](Bytes* b) { set_u16(b, kLinkAttrs, 2); })},
      {"trailing bytes that are no attribute", with([](Bytes* b) {
         b->insert(b->end(), {1, 0});
         uint32_t len = static_cast<uint32_t>(b->size());
         std::memcpy(b->data(), &len, sizeof len);
       })},
      {"zero-length MTU", link(2, "eth0").attr(IFLA_MTU, nullptr, 0).bytes()},
      {"two-byte MTU", link(2, "eth0").attr(IFLA_MTU, "\x01\x02", 2).bytes()},
      {"four-byte operational state",
       link(2, "eth0").u32(IFLA_MTU, 1500).u32(IFLA_OPERSTATE, 6).bytes()},
      {"no name", link(2, "").u32(IFLA_MTU, 1500).bytes()},
      {"empty name", link(2, "").text(IFLA_IFNAME, "").u32(IFLA_MTU, 1500).bytes()},
      {"no MTU", link(2, "eth0").bytes()},
      {"index 0", link(0, "eth0").u32(IFLA_MTU, 1500).bytes()},
      {"negative index", link(-3, "eth0").u32(IFLA_MTU, 1500).bytes()},
      {"an address message", addr_with(AF_INET, 2, 24, "10.0.0.1").bytes()},
  };
  for (const Case& c : cases) {
    Adapter a;
    a.name = "untouched";
    EXPECT_EQ(parse_link_message(c.bytes.data(), c.bytes.size(), &a), ParseResult::kMalformed)
        << c.what;
    EXPECT_EQ(a.name, "untouched") << c.what;
  }
}

TEST(AdapterParseTest, AddressMessages) {
  Bytes local = ip(AF_INET, "10.0.0.1");
  struct Case {
    const char* what;
    Bytes bytes;
    ParseResult result;
    int family;
    const char* address;
    uint8_t prefix;
    uint32_t scope_id;
  } cases[] = {
      {"IPv4", addr_with(AF_INET, 3, 24, "192.0.2.5").bytes(), ParseResult::kOk, AF_INET,
       "192.0.2.5", 24, 0},
      {"IPv4 point-to-point: the local end, not the peer",
       addr_with(AF_INET, 3, 32, "10.0.0.2").attr(IFA_LOCAL, local.data(), 4).bytes(),
       ParseResult::kOk, AF_INET, "10.0.0.1", 32, 0},
      {"IPv6 link-local carries the index as scope",
       addr_with(AF_INET6, 3, 64, "fe80::1234").bytes(), ParseResult::kOk, AF_INET6, "fe80::1234",
       64, 3},
      {"IPv6 global has no scope", addr_with(AF_INET6, 3, 48, "2001:db8::9").bytes(),
       ParseResult::kOk, AF_INET6, "2001:db8::9", 48, 0},
      {"another family is ignored", addr(AF_PACKET, 3, 0).bytes(), ParseResult::kIgnored, 0, "", 0,
       0},
      {"IPv4 with a 16-byte address",
       addr(AF_INET, 3, 24).attr(IFA_ADDRESS, ip(AF_INET6, "::1").data(), 16).bytes(),
       ParseResult::kMalformed, 0, "", 0, 0},
      {"zero-length address", addr(AF_INET6, 3, 64).attr(IFA_ADDRESS, nullptr, 0).bytes(),
       ParseResult::kMalformed, 0, "", 0, 0},
      {"IPv4 prefix 33", addr_with(AF_INET, 3, 33, "10.0.0.1").bytes(), ParseResult::kMalformed, 0,
       "", 0, 0},
      {"IPv6 prefix 129", addr_with(AF_INET6, 3, 129, "2001:db8::1").bytes(),
       ParseResult::kMalformed, 0, "", 0, 0},
      {"no address", addr(AF_INET, 3, 24).u32(IFA_FLAGS, 0).bytes(), ParseResult::kMalformed, 0, "",
       0, 0},
      {"index 0", addr_with(AF_INET, 0, 24, "10.0.0.1").bytes(), ParseResult::kMalformed, 0, "", 0,
       0},
      {"a link message", good_link(), ParseResult::kMalformed, 0, "", 0, 0},
  };
  for (const Case& c : cases) {
    uint32_t index = 0;
    AdapterAddress a;
    ASSERT_EQ(parse_addr_message(c.bytes.data(), c.bytes.size(), &index, &a), c.result) << c.what;
    if (c.result != ParseResult::kOk) continue;
    EXPECT_EQ(index, 3u) << c.what;
    EXPECT_EQ(a.family, c.family) << c.what;
    Bytes want = ip(c.family, c.address);
    EXPECT_EQ(Bytes(a.addr, a.addr + want.size()), want) << c.what;
    EXPECT_EQ(a.prefix_len, c.prefix) << c.what;
    EXPECT_EQ(a.scope_id, c.scope_id) << c.what;
  }
}

TEST(AdapterParseTest, DumpBuffers) {
  const Bytes eth = link(2, "eth0").u32(IFLA_MTU, 1500).bytes();
  const Bytes v4 = addr_with(AF_INET, 2, 24, "10.0.0.1").bytes();
  Bytes zero_length = control(NLMSG_NOOP, 0);
  std::memset(zero_length.data(), 0, 4);
  struct Case {
    const char* what;
    Bytes bytes;
    DumpStatus status;
    uint32_t error;
    size_t links;
    size_t addresses;
  } cases[] = {
      {"link and address, more to come", concat({eth, v4, control(NLMSG_NOOP, 0)}),
       DumpStatus::kMore, 0, 1, 1},
      {"done; nothing after it is read", concat({eth, control(NLMSG_DONE, 0), Bytes{1, 2, 3}}),
       DumpStatus::kDone, 0, 1, 0},
      {"an acknowledgement is no failure", concat({control(NLMSG_ERROR, 0), eth}),
       DumpStatus::kMore, 0, 1, 0},
      {"an address of another family is skipped", concat({addr(AF_PACKET, 2, 0).bytes(), v4}),
       DumpStatus::kMore, 0, 0, 1},
      {"error reply", concat({eth, control(NLMSG_ERROR, -EPERM)}), DumpStatus::kFailed, 5, 1, 0},
      {"dump failed part-way", control(NLMSG_DONE, -ENOBUFS), DumpStatus::kFailed, kWsaEnobufs, 0,
       0},
      {"error reply with INT_MIN", control(NLMSG_ERROR, INT32_MIN), DumpStatus::kFailed,
       kErrorIoDevice, 0, 0},
      {"error reply without its code", Message(NLMSG_ERROR, nullptr, 0).bytes(),
       DumpStatus::kFailed, kAdapterErrorInvalidData, 0, 0},
      {"interrupted", concat({eth, link(3, "eth1", NLM_F_DUMP_INTR).u32(IFLA_MTU, 1).bytes()}),
       DumpStatus::kInterrupted, 0, 1, 0},
      {"malformed link", concat({link(2, "eth0").bytes()}), DumpStatus::kFailed,
       kAdapterErrorInvalidData, 0, 0},
      {"truncated last message", concat({eth, Bytes(v4.begin(), v4.end() - 1)}),
       DumpStatus::kFailed, kAdapterErrorInvalidData, 1, 0},
      {"zero message length (no progress)", concat({eth, zero_length}), DumpStatus::kFailed,
       kAdapterErrorInvalidData, 1, 0},
      {"stray bytes shorter than a header", concat({eth, Bytes(6)}), DumpStatus::kFailed,
       kAdapterErrorInvalidData, 1, 0},
  };
  for (const Case& c : cases) {
    AdapterDump dump;
    uint32_t error = 0;
    EXPECT_EQ(parse_dump_buffer(c.bytes.data(), c.bytes.size(), &dump, &error), c.status) << c.what;
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(dump.links.size(), c.links) << c.what;
    EXPECT_EQ(dump.addresses.size(), c.addresses) << c.what;
  }
}

TEST(AdapterParseTest, AssembleOrdersByIndexAndAttachesAddresses) {
  AdapterDump dump;
  const Bytes buf = concat(
      {link(5, "b").u32(IFLA_MTU, 1400).bytes(), link(2, "a").u32(IFLA_MTU, 1500).bytes(),
       link(5, "b2").u32(IFLA_MTU, 1300).bytes(), addr_with(AF_INET, 5, 24, "10.0.0.5").bytes(),
       addr_with(AF_INET6, 5, 64, "fe80::5").bytes(), addr_with(AF_INET, 9, 24, "10.0.0.9").bytes(),
       addr_with(AF_INET, 2, 8, "10.1.1.1").bytes()});
  uint32_t error = 0;
  ASSERT_EQ(parse_dump_buffer(buf.data(), buf.size(), &dump, &error), DumpStatus::kMore);

  std::vector<Adapter> all = assemble_adapters(dump, AF_UNSPEC);
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].index, 2u);
  EXPECT_EQ(all[0].addresses.size(), 1u);
  EXPECT_EQ(all[1].name, "b2");
  EXPECT_EQ(all[1].mtu, 1300u);
  ASSERT_EQ(all[1].addresses.size(), 2u);
  EXPECT_EQ(all[1].addresses[0].family, AF_INET);
  EXPECT_EQ(all[1].addresses[1].scope_id, 5u);

  std::vector<Adapter> v6 = assemble_adapters(dump, AF_INET6);
  ASSERT_EQ(v6.size(), 2u);
  EXPECT_TRUE(v6[0].addresses.empty());
  ASSERT_EQ(v6[1].addresses.size(), 1u);
  EXPECT_EQ(v6[1].addresses[0].family, AF_INET6);
}

TEST(AdapterParseTest, AdapterTypeFollowsTheHardwareType) {
  const struct {
    uint16_t hardware;
    uint32_t type;
  } cases[] = {
      {ARPHRD_ETHER, kIfTypeEthernet},  {ARPHRD_PPP, kIfTypePpp},
      {ARPHRD_LOOPBACK, kIfTypeOther},  {ARPHRD_NONE, kIfTypeOther},  // a TUN device
      {ARPHRD_IEEE80211, kIfTypeOther},                               // a monitor-mode radio
  };
  for (const auto& c : cases) {
    const Bytes b = link(2, "x", 0, c.hardware).u32(IFLA_MTU, 1500).bytes();
    Adapter a;
    ASSERT_EQ(parse_link_message(b.data(), b.size(), &a), ParseResult::kOk) << c.hardware;
    EXPECT_EQ(a.type, c.type) << c.hardware;
  }
}

uint32_t ipv4(const char* text) {
  uint32_t a = 0;
  EXPECT_EQ(::inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}

Message route(uint8_t dst_len, uint8_t table = RT_TABLE_MAIN, uint8_t type = RTN_UNICAST,
              uint32_t flags = 0, uint8_t family = AF_INET) {
  rtmsg rtm{};
  rtm.rtm_family = family;
  rtm.rtm_dst_len = dst_len;
  rtm.rtm_table = table;
  rtm.rtm_type = type;
  rtm.rtm_flags = flags;
  return Message(RTM_NEWROUTE, &rtm, sizeof rtm);
}

// A route to `dst` through interface `oif` with priority `metric`.
Message route_via(const char* dst, uint8_t dst_len, uint32_t oif, uint32_t metric) {
  Message m = route(dst_len);
  if (dst_len != 0) m.u32(RTA_DST, ipv4(dst));
  return m.u32(RTA_OIF, oif).u32(RTA_PRIORITY, metric);
}

// RTA_MULTIPATH payload: one rtnexthop (with a gateway attribute) per path.
Bytes nexthops(std::initializer_list<std::pair<int, uint8_t>> paths) {
  Bytes out;
  for (const auto& [index, flags] : paths) {
    rtnexthop nh{};
    nh.rtnh_len = sizeof nh + NLA_HDRLEN + 4;
    nh.rtnh_flags = flags;
    nh.rtnh_ifindex = index;
    const auto* p = reinterpret_cast<const uint8_t*>(&nh);
    out.insert(out.end(), p, p + sizeof nh);
    nlattr gw{NLA_HDRLEN + 4, RTA_GATEWAY};
    p = reinterpret_cast<const uint8_t*>(&gw);
    out.insert(out.end(), p, p + sizeof gw);
    uint32_t addr = ipv4("10.0.0.254");
    p = reinterpret_cast<const uint8_t*>(&addr);
    out.insert(out.end(), p, p + 4);
  }
  return out;
}

Message multipath_route(const Bytes& paths) {
  return route(0).u32(RTA_PRIORITY, 7).attr(RTA_MULTIPATH, paths.data(), paths.size());
}

TEST(RouteParseTest, RouteMessages) {
  const ForwardRow kDefault3{0, 0, 3, 20};
  // A multipath payload whose second path claims more than the attribute holds.
  Bytes overlong = nexthops({{3, 0}, {4, 0}});
  set_u16(&overlong, overlong.size() / 2, static_cast<uint16_t>(overlong.size()));
  Bytes short_nexthop = nexthops({{3, 0}});
  set_u16(&short_nexthop, 0, 4);
  Bytes trailing = nexthops({{3, 0}});
  trailing.insert(trailing.end(), 4, 0);
  struct Case {
    const char* what;
    Bytes bytes;
    ParseResult result;
    std::vector<ForwardRow> rows;
  } cases[] = {
      {"default route",
       route(0).u32(RTA_OIF, 3).u32(RTA_PRIORITY, 20).bytes(),
       ParseResult::kOk,
       {kDefault3}},
      {"no priority is metric 0",
       route(0).u32(RTA_OIF, 3).bytes(),
       ParseResult::kOk,
       {{0, 0, 3, 0}}},
      {"0.0.0.0/1", route_via("0.0.0.0", 1, 3, 30).bytes(), ParseResult::kOk, {{0, 1, 3, 30}}},
      {"a network",
       route_via("10.1.0.0", 16, 4, 5).bytes(),
       ParseResult::kOk,
       {{ipv4("10.1.0.0"), 16, 4, 5}}},
      {"main table named by RTA_TABLE",
       route(0, RT_TABLE_COMPAT)
           .u32(RTA_TABLE, RT_TABLE_MAIN)
           .u32(RTA_OIF, 3)
           .u32(RTA_PRIORITY, 20)
           .bytes(),
       ParseResult::kOk,
       {kDefault3}},
      {"multipath: a row per path, dead paths left out",
       multipath_route(nexthops({{3, 0}, {5, RTNH_F_DEAD}, {4, RTNH_F_LINKDOWN}})).bytes(),
       ParseResult::kOk,
       {{0, 0, 3, 7}, {0, 0, 4, 7}}},
      {"another table", route(0, 100).u32(RTA_OIF, 3).bytes(), ParseResult::kIgnored, {}},
      {"a table above 255",
       route(0, RT_TABLE_COMPAT).u32(RTA_TABLE, 1000).u32(RTA_OIF, 3).bytes(),
       ParseResult::kIgnored,
       {}},
      {"a host route",
       route_via("10.0.0.1", 32, 3, 0).bytes(),
       ParseResult::kOk,
       {{ipv4("10.0.0.1"), 32, 3, 0}}},
      {"local route",
       route(32, RT_TABLE_LOCAL, RTN_LOCAL).u32(RTA_DST, ipv4("10.0.0.1")).u32(RTA_OIF, 3).bytes(),
       ParseResult::kIgnored,
       {}},
      {"blackhole in main",
       route(8, RT_TABLE_MAIN, RTN_BLACKHOLE).u32(RTA_DST, ipv4("10.0.0.0")).bytes(),
       ParseResult::kIgnored,
       {}},
      {"unreachable default with an interface",
       route(0, RT_TABLE_MAIN, RTN_UNREACHABLE).u32(RTA_OIF, 1).bytes(),
       ParseResult::kIgnored,
       {}},
      {"cached clone",
       route(0, RT_TABLE_MAIN, RTN_UNICAST, RTM_F_CLONED).u32(RTA_OIF, 3).bytes(),
       ParseResult::kIgnored,
       {}},
      {"dead single path",
       route(0, RT_TABLE_MAIN, RTN_UNICAST, RTNH_F_DEAD).u32(RTA_OIF, 3).bytes(),
       ParseResult::kIgnored,
       {}},
      {"every path dead",
       multipath_route(nexthops({{3, RTNH_F_DEAD}})).bytes(),
       ParseResult::kIgnored,
       {}},
      {"IPv6",
       route(0, RT_TABLE_MAIN, RTN_UNICAST, 0, AF_INET6).u32(RTA_OIF, 3).bytes(),
       ParseResult::kIgnored,
       {}},
      {"nexthop object without its device",
       route(0).u32(RTA_NH_ID, 5).bytes(),
       ParseResult::kIgnored,
       {}},
      {"truncated",
       [] {
         Bytes b = route(0).u32(RTA_OIF, 3).bytes();
         b.pop_back();
         return b;
       }(),
       ParseResult::kMalformed,
       {}},
      {"no room for the route header",
       Message(RTM_NEWROUTE, "\x02\x00\x00\x00", 4).bytes(),
       ParseResult::kMalformed,
       {}},
      {"two-byte interface",
       route(0).attr(RTA_OIF, "\x03\x00", 2).bytes(),
       ParseResult::kMalformed,
       {}},
      {"eight-byte priority",
       route(0).u32(RTA_OIF, 3).attr(RTA_PRIORITY, "12345678", 8).bytes(),
       ParseResult::kMalformed,
       {}},
      {"16-byte destination",
       route(1).attr(RTA_DST, ip(AF_INET6, "::").data(), 16).bytes(),
       ParseResult::kMalformed,
       {}},
      {"empty table attribute",
       route(0).attr(RTA_TABLE, nullptr, 0).u32(RTA_OIF, 3).bytes(),
       ParseResult::kMalformed,
       {}},
      {"attribute beyond the message",
       [] {
         Bytes b = route(0).u32(RTA_OIF, 3).bytes();
         set_u16(&b, NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(rtmsg)), 0x100);
         return b;
       }(),
       ParseResult::kMalformed,
       {}},
      {"broken in another table",
       route(0, 100).attr(RTA_OIF, "\x03", 1).bytes(),
       ParseResult::kMalformed,
       {}},
      {"prefix 33", route_via("10.0.0.0", 33, 3, 0).bytes(), ParseResult::kMalformed, {}},
      {"prefix without destination",
       route(24).u32(RTA_OIF, 3).bytes(),
       ParseResult::kMalformed,
       {}},
      {"bits beyond the prefix",
       route_via("10.1.2.3", 16, 3, 0).bytes(),
       ParseResult::kMalformed,
       {}},
      {"interface 0", route(0).u32(RTA_OIF, 0).bytes(), ParseResult::kMalformed, {}},
      {"path interface 0",
       multipath_route(nexthops({{3, 0}, {0, 0}})).bytes(),
       ParseResult::kMalformed,
       {}},
      {"path longer than the attribute",
       multipath_route(overlong).bytes(),
       ParseResult::kMalformed,
       {}},
      {"path shorter than its header",
       multipath_route(short_nexthop).bytes(),
       ParseResult::kMalformed,
       {}},
      {"bytes after the last path", multipath_route(trailing).bytes(), ParseResult::kMalformed, {}},
      {"a link message", good_link(), ParseResult::kMalformed, {}},
  };
  const ForwardRow kEarlier{ipv4("192.0.2.0"), 24, 9, 9};
  for (const Case& c : cases) {
    std::vector<ForwardRow> rows = {kEarlier};
    EXPECT_EQ(parse_route_message(c.bytes.data(), c.bytes.size(), &rows), c.result) << c.what;
    std::vector<ForwardRow> want = {kEarlier};
    want.insert(want.end(), c.rows.begin(), c.rows.end());
    EXPECT_EQ(rows, want) << c.what;
  }
}

TEST(RouteParseTest, RouteDumpBuffers) {
  const Bytes def = route_via("0.0.0.0", 0, 3, 20).bytes();
  const Bytes net = route_via("10.1.0.0", 16, 4, 0).bytes();
  const Bytes v6 = route(0, RT_TABLE_MAIN, RTN_UNICAST, 0, AF_INET6).u32(RTA_OIF, 3).bytes();
  struct Case {
    const char* what;
    Bytes bytes;
    DumpStatus status;
    uint32_t error;
    size_t rows;
  } cases[] = {
      {"routes, more to come", concat({def, v6, net}), DumpStatus::kMore, 0, 2},
      {"done", concat({def, control(NLMSG_DONE, 0), net}), DumpStatus::kDone, 0, 1},
      {"a link message is passed over", concat({good_link(), def}), DumpStatus::kMore, 0, 1},
      {"refused request", control(NLMSG_ERROR, -EPERM), DumpStatus::kFailed, 5, 0},
      {"interrupted", concat({def, control(NLMSG_DONE, 0, NLM_F_DUMP_INTR)}),
       DumpStatus::kInterrupted, 0, 1},
      {"malformed route", concat({def, route(24).u32(RTA_OIF, 3).bytes()}), DumpStatus::kFailed,
       kAdapterErrorInvalidData, 1},
      {"truncated route", concat({def, Bytes(net.begin(), net.end() - 2)}), DumpStatus::kFailed,
       kAdapterErrorInvalidData, 1},
  };
  for (const Case& c : cases) {
    std::vector<ForwardRow> rows;
    uint32_t error = 0;
    EXPECT_EQ(parse_route_dump_buffer(c.bytes.data(), c.bytes.size(), &rows, &error), c.status)
        << c.what;
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(rows.size(), c.rows) << c.what;
  }
}

TEST(RouteChoiceTest, LongestPrefixThenLowestMetricThenTableOrder) {
  const std::vector<ForwardRow> defaults = {
      {0, 0, 1, 20}, {0, 0, 2, 10}, {0, 0, 5, 10}, {ipv4("10.0.0.0"), 8, 4, 0}};
  std::vector<ForwardRow> with_half = defaults;
  with_half.push_back({0, 1, 3, 30});
  std::vector<ForwardRow> with_host = with_half;
  with_host.push_back({0, 32, 6, 50});
  const struct {
    const char* what;
    const std::vector<ForwardRow>& rows;
    const char* destination;
    uint32_t if_index;  // 0: none
  } cases[] = {
      {"lowest metric, the first of equals", defaults, "0.0.0.0", 2},
      {"a network route beats the default", defaults, "10.200.1.1", 4},
      {"0.0.0.0/1 is longer than a default", with_half, "0.0.0.0", 3},
      {"0.0.0.0/1 does not cover 200.0.0.1", with_half, "200.0.0.1", 2},
      {"a host route is the longest", with_host, "0.0.0.0", 6},
      {"nothing covers", {{ipv4("10.0.0.0"), 8, 4, 0}}, "0.0.0.0", 0},
      {"empty table", {}, "0.0.0.0", 0},
  };
  for (const auto& c : cases) {
    const ForwardRow* best = choose_best_route(c.rows, ipv4(c.destination));
    EXPECT_EQ(best == nullptr ? 0 : best->if_index, c.if_index) << c.what;
  }
}

TEST(AdapterListTest, UnknownFamilyIsRefused) {
  std::vector<Adapter> out(1);
  set_last_error(0);
  EXPECT_EQ(list_adapters(AF_PACKET, &out), kErrorInvalidParameter);
  EXPECT_EQ(last_error(), kErrorInvalidParameter);
  EXPECT_TRUE(out.empty());
}

const AdapterAddress* find_address(const Adapter& a, int family, const char* text) {
  Bytes want = ip(family, text);
  for (const AdapterAddress& x : a.addresses) {
    if (x.family == family && std::equal(want.begin(), want.end(), x.addr)) return &x;
  }
  return nullptr;
}

TEST(AdapterListTest, ListsTheAdaptersOfTheCallersNamespace) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root";
  testing_support::TestNetns ns("adapters");
  ASSERT_TRUE(ns.created()) << "ip netns add " << ns.name();
  ASSERT_TRUE(ns.Ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}));
  ASSERT_TRUE(ns.Ip({"link", "set", "dev", "va", "alias", "WinTun Tunnel"}));
  ASSERT_TRUE(ns.Ip({"link", "set", "dev", "va", "mtu", "1300"}));
  ASSERT_TRUE(ns.Ip({"addr", "add", "10.77.0.1/24", "dev", "va"}));
  ASSERT_TRUE(ns.Ip({"addr", "add", "fd00:77::1/64", "dev", "va", "nodad"}));
  ASSERT_TRUE(ns.Ip({"addr", "add", "fe80::77/64", "dev", "va", "nodad"}));

  uint32_t va_index = 0;
  uint32_t errors[3] = {1, 1, 1};
  std::vector<Adapter> all, v4, v6;
  bool entered = ns.RunInside([&] {
    va_index = ::if_nametoindex("va");
    errors[0] = list_adapters(AF_UNSPEC, &all);
    errors[1] = list_adapters(AF_INET, &v4);
    errors[2] = list_adapters(AF_INET6, &v6);
  });
  ASSERT_TRUE(entered);
  ASSERT_NE(va_index, 0u);
  ASSERT_EQ(errors[0], 0u);
  ASSERT_EQ(errors[1], 0u);
  ASSERT_EQ(errors[2], 0u);

  // lo, va and vb, and nothing of the machine's own interfaces.
  ASSERT_EQ(all.size(), 3u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end(),
                             [](const Adapter& a, const Adapter& b) { return a.index < b.index; }));
  EXPECT_EQ(all[0].name, "lo");
  auto va = std::find_if(all.begin(), all.end(), [](const Adapter& a) { return a.name == "va"; });
  auto vb = std::find_if(all.begin(), all.end(), [](const Adapter& a) { return a.name == "vb"; });
  ASSERT_NE(va, all.end());
  ASSERT_NE(vb, all.end());
  EXPECT_EQ(va->index, va_index);
  EXPECT_EQ(va->description, "WinTun Tunnel");
  EXPECT_EQ(va->mtu, 1300u);
  EXPECT_EQ(va->oper_status, OperStatus::kDown);
  EXPECT_EQ(vb->description, "");
  EXPECT_EQ(vb->mtu, 1500u);
  EXPECT_TRUE(vb->addresses.empty());

  ASSERT_EQ(va->addresses.size(), 3u);
  const AdapterAddress* a4 = find_address(*va, AF_INET, "10.77.0.1");
  const AdapterAddress* global = find_address(*va, AF_INET6, "fd00:77::1");
  const AdapterAddress* local = find_address(*va, AF_INET6, "fe80::77");
  ASSERT_TRUE(a4 && global && local);
  EXPECT_EQ(a4->prefix_len, 24);
  EXPECT_EQ(a4->scope_id, 0u);
  EXPECT_EQ(global->prefix_len, 64);
  EXPECT_EQ(global->scope_id, 0u);
  EXPECT_EQ(local->scope_id, va_index);

  auto va_of = [](const std::vector<Adapter>& list) {
    auto it =
        std::find_if(list.begin(), list.end(), [](const Adapter& a) { return a.name == "va"; });
    return it == list.end() ? Adapter{} : *it;
  };
  EXPECT_EQ(v4.size(), 3u);
  ASSERT_EQ(va_of(v4).addresses.size(), 1u);
  EXPECT_EQ(va_of(v4).addresses[0].family, AF_INET);
  EXPECT_EQ(v6.size(), 3u);
  ASSERT_EQ(va_of(v6).addresses.size(), 2u);
  EXPECT_EQ(va_of(v6).addresses[0].family, AF_INET6);
  EXPECT_EQ(va_of(v6).addresses[1].family, AF_INET6);
}

TEST(AdapterListTest, ForwardTableOfTheCallersNamespace) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root";
  testing_support::TestNetns ns("routes");
  ASSERT_TRUE(ns.created()) << "ip netns add " << ns.name();
  ASSERT_TRUE(ns.Ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}));
  ASSERT_TRUE(ns.Ip({"tuntap", "add", "dev", "tn0", "mode", "tun"}));
  ASSERT_TRUE(ns.Ip({"addr", "add", "10.62.1.1/24", "dev", "va"}));
  ASSERT_TRUE(ns.Ip({"addr", "add", "10.62.2.1/24", "dev", "vb"}));
  for (const char* dev : {"lo", "va", "vb", "tn0"}) {
    ASSERT_TRUE(ns.Ip({"link", "set", "dev", dev, "up"})) << dev;
  }
  ASSERT_TRUE(ns.Ip({"route", "add", "default", "via", "10.62.1.2", "dev", "va", "metric", "20"}));
  ASSERT_TRUE(ns.Ip({"route", "add", "0.0.0.0/1", "metric", "30", "nexthop", "via", "10.62.1.2",
                     "dev", "va", "nexthop", "via", "10.62.2.2", "dev", "vb"}));
  ASSERT_TRUE(ns.Ip({"route", "add", "10.70.0.0/16", "dev", "tn0", "metric", "5"}));
  // Neither of these is a row: another table, another route type.
  ASSERT_TRUE(ns.Ip({"route", "add", "default", "via", "10.62.2.2", "dev", "vb", "table", "100"}));
  ASSERT_TRUE(ns.Ip({"route", "add", "blackhole", "10.71.0.0/16"}));

  uint32_t va = 0, vb = 0, tn0 = 0;
  uint32_t errors[4] = {1, 1, 1, 1};
  uint32_t best_default = 0, best_vb = 0;
  std::vector<ForwardRow> rows;
  std::vector<Adapter> adapters;
  ASSERT_TRUE(ns.RunInside([&] {
    va = ::if_nametoindex("va");
    vb = ::if_nametoindex("vb");
    tn0 = ::if_nametoindex("tn0");
    errors[0] = get_ipv4_forward_table(&rows);
    errors[1] = get_best_interface(ipv4("200.0.0.1"), &best_default);
    errors[2] = get_best_interface(ipv4("10.62.2.9"), &best_vb);
    errors[3] = list_adapters(AF_INET, &adapters);
  }));
  ASSERT_EQ(errors[0], 0u);
  ASSERT_EQ(errors[1], 0u);
  ASSERT_EQ(errors[2], 0u);
  ASSERT_EQ(errors[3], 0u);

  std::vector<ForwardRow> want = {
      {0, 0, va, 20},
      {0, 1, va, 30},
      {0, 1, vb, 30},
      {ipv4("10.62.1.0"), 24, va, 0},
      {ipv4("10.62.2.0"), 24, vb, 0},
      {ipv4("10.70.0.0"), 16, tn0, 5},
  };
  auto order = [](const ForwardRow& a, const ForwardRow& b) {
    return std::tie(a.destination, a.prefix_len, a.if_index) <
           std::tie(b.destination, b.prefix_len, b.if_index);
  };
  std::sort(rows.begin(), rows.end(), order);
  std::sort(want.begin(), want.end(), order);
  EXPECT_EQ(rows, want);
  EXPECT_EQ(best_default, va);
  EXPECT_EQ(best_vb, vb);

  ASSERT_EQ(adapters.size(), 4u);
  for (const Adapter& a : adapters) {
    EXPECT_EQ(a.type, a.name[0] == 'v' ? kIfTypeEthernet : kIfTypeOther) << a.name;
  }

  // A namespace without routes has no best interface.
  testing_support::TestNetns empty("noroutes");
  ASSERT_TRUE(empty.created());
  uint32_t index = 77;
  uint32_t error = 0;
  ASSERT_TRUE(empty.RunInside([&] {
    error = get_best_interface(0, &index);
    errors[0] = get_ipv4_forward_table(&rows);
  }));
  EXPECT_EQ(error, kRouteErrorNotFound);
  EXPECT_EQ(index, 77u);
  EXPECT_EQ(errors[0], 0u);
  EXPECT_TRUE(rows.empty());
}

}  // namespace
}  // namespace platform
