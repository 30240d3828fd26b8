#include "platform/adapters/adapters.h"

// Before <linux/if.h>, which then leaves out what libc declares already.
#include <net/if.h>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error/win_error.h"
#include "tests/support/netns.h"

namespace platform {
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

Message link(int index, const std::string& name, uint16_t flags = 0) {
  ifinfomsg ifi{};
  ifi.ifi_index = index;
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

}  // namespace
}  // namespace platform
