#include "platform/adapters/best_route.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "platform/error/win_error.h"
#include "tests/support/netns.h"

namespace platform {
namespace {

using Bytes = std::vector<uint8_t>;

uint32_t Ip(const char* text) {
  uint32_t a = 0;
  EXPECT_EQ(::inet_pton(AF_INET, text, &a), 1) << text;
  return a;
}

// One netlink message: header, fixed part, attributes (4-byte aligned).
class Msg {
 public:
  Msg(uint16_t type, const void* fixed, size_t len) {
    nlmsghdr hdr{};
    hdr.nlmsg_type = type;
    put(&hdr, sizeof hdr);
    put(fixed, len);
  }
  Msg& attr(uint16_t type, const void* data, size_t len) {
    nlattr a{static_cast<uint16_t>(NLA_HDRLEN + len), type};
    put(&a, sizeof a);
    put(data, len);
    return *this;
  }
  Msg& u32(uint16_t type, uint32_t v) { return attr(type, &v, sizeof v); }
  Bytes bytes() const {
    Bytes out = b_;
    const uint32_t len = static_cast<uint32_t>(out.size());
    std::memcpy(out.data(), &len, sizeof len);
    return out;
  }

 private:
  void put(const void* data, size_t len) {
    const auto* p = static_cast<const uint8_t*>(data);
    b_.insert(b_.end(), p, p + len);
    b_.resize((b_.size() + 3) & ~size_t{3});
  }
  Bytes b_;
};

Msg Route(uint8_t dst_len, uint8_t family = AF_INET) {
  rtmsg rtm{};
  rtm.rtm_family = family;
  rtm.rtm_dst_len = dst_len;
  rtm.rtm_table = RT_TABLE_MAIN;
  rtm.rtm_type = RTN_UNICAST;
  return Msg(RTM_NEWROUTE, &rtm, sizeof rtm);
}

Bytes Error(int32_t code) {
  return Msg(NLMSG_ERROR, &code, sizeof code).bytes();
}

Bytes Multipath(uint32_t gateway, int index) {
  Bytes out(sizeof(rtnexthop));
  rtnexthop nh{};
  nh.rtnh_len = sizeof nh + NLA_HDRLEN + 4;
  nh.rtnh_ifindex = index;
  std::memcpy(out.data(), &nh, sizeof nh);
  nlattr a{NLA_HDRLEN + 4, RTA_GATEWAY};
  const auto* ap = reinterpret_cast<const uint8_t*>(&a);
  out.insert(out.end(), ap, ap + sizeof a);
  const auto* gp = reinterpret_cast<const uint8_t*>(&gateway);
  out.insert(out.end(), gp, gp + 4);
  return out;
}

TEST(BestRouteParseTest, Replies) {
  Bytes cut = Route(0).u32(RTA_GATEWAY, Ip("10.0.0.1")).bytes();
  cut.resize(cut.size() - 2);
  Bytes overlong = Route(0).u32(RTA_OIF, 3).bytes();
  const uint32_t wrong_len = static_cast<uint32_t>(overlong.size() + 4);
  std::memcpy(overlong.data(), &wrong_len, 4);
  Bytes bad_attr = Route(0).u32(RTA_OIF, 3).bytes();
  bad_attr[bad_attr.size() - 8] = 40;  // the attribute claims more than the message holds
  const Bytes paths = Multipath(Ip("10.0.9.1"), 6);
  struct Case {
    const char* what;
    Bytes bytes;
    uint32_t error;
    BestRoute route;
  };
  const Case cases[] = {
      {"default route",
       Route(0).u32(RTA_GATEWAY, Ip("10.0.0.1")).u32(RTA_OIF, 3).bytes(),
       0,
       {0, 0, Ip("10.0.0.1"), 3}},
      {"on-link network",
       Route(24).u32(RTA_DST, Ip("10.62.1.0")).u32(RTA_OIF, 4).bytes(),
       0,
       {Ip("10.62.1.0"), 24, 0, 4}},
      {"bits past the prefix dropped",
       Route(16).u32(RTA_DST, Ip("10.62.1.7")).u32(RTA_OIF, 4).bytes(),
       0,
       {Ip("10.62.0.0"), 16, 0, 4}},
      {"multipath: the first path",
       Route(0).attr(RTA_MULTIPATH, paths.data(), paths.size()).bytes(),
       0,
       {0, 0, Ip("10.0.9.1"), 6}},
      {"no route", Error(-ENETUNREACH), kRouteErrorNotFound, {}},
      {"other error", Error(-EPERM), kErrorAccessDenied, {}},
      {"acknowledgement", Error(0), kAdapterErrorInvalidData, {}},
      {"cut", cut, kAdapterErrorInvalidData, {}},
      {"length past the buffer", overlong, kAdapterErrorInvalidData, {}},
      {"attribute past the message", bad_attr, kAdapterErrorInvalidData, {}},
      {"prefix above 32", Route(33).u32(RTA_OIF, 3).bytes(), kAdapterErrorInvalidData, {}},
      {"prefix without destination", Route(8).u32(RTA_OIF, 3).bytes(), kAdapterErrorInvalidData,
       {}},
      {"another family", Route(0, AF_INET6).bytes(), kAdapterErrorInvalidData, {}},
      {"nothing", Bytes(), kAdapterErrorInvalidData, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Copied into a buffer of exactly its size, so that a read past it is seen.
    std::vector<uint8_t> exact(c.bytes);
    BestRoute got{9, 9, 9, 9};
    EXPECT_EQ(parse_best_route_reply(exact.data(), exact.size(), &got), c.error);
    if (c.error != 0) continue;
    EXPECT_EQ(got.destination, c.route.destination);
    EXPECT_EQ(got.prefix_len, c.route.prefix_len);
    EXPECT_EQ(got.gateway, c.route.gateway);
    EXPECT_EQ(got.if_index, c.route.if_index);
  }
}

int g_asked = 0;
uint32_t CountingLookup(uint32_t destination, BestRoute* out) {
  ++g_asked;
  if (destination == Ip("192.0.2.99")) return kRouteErrorNotFound;
  out->destination = 0;
  out->gateway = destination;  // tells the answers apart
  return 0;
}

TEST(BestRouteCacheTest, AnswersFromTheCacheForTenSeconds) {
  g_asked = 0;
  BestRouteCache cache(CountingLookup);
  BestRoute r;
  bool miss = false;
  EXPECT_EQ(cache.get(Ip("198.51.100.1"), 1000, &r, &miss), 0u);
  EXPECT_TRUE(miss);
  EXPECT_EQ(r.gateway, Ip("198.51.100.1"));
  for (int64_t t : {1001, 5000, 10999}) {
    EXPECT_EQ(cache.get(Ip("198.51.100.1"), t, &r, &miss), 0u);
    EXPECT_FALSE(miss) << t;
  }
  EXPECT_EQ(g_asked, 1);
  cache.get(Ip("198.51.100.1"), 11000, &r, &miss);  // 10 s old
  EXPECT_TRUE(miss);
  cache.get(Ip("198.51.100.1"), 9000, &r, &miss);  // the clock went back
  EXPECT_TRUE(miss);
  // Failures are kept too, and read as failures with the last error set.
  set_last_error(0);
  EXPECT_EQ(cache.get(Ip("192.0.2.99"), 20000, &r), kRouteErrorNotFound);
  set_last_error(0);
  EXPECT_EQ(cache.get(Ip("192.0.2.99"), 20001, &r, &miss), kRouteErrorNotFound);
  EXPECT_FALSE(miss);
  EXPECT_EQ(last_error(), kRouteErrorNotFound);
  // A network change empties it.
  const int before = g_asked;
  invalidate_best_route_caches();
  cache.get(Ip("192.0.2.99"), 20002, &r, &miss);
  EXPECT_TRUE(miss);
  EXPECT_EQ(g_asked, before + 1);
}

TEST(BestRouteCacheTest, HoldsAtMostItsSlots) {
  g_asked = 0;
  BestRouteCache cache(CountingLookup);
  BestRoute r;
  // Twice as many destinations as slots: each one answered, none lost to a
  // wrong answer, and the second round misses where a later one took the slot.
  for (uint32_t i = 0; i < 2 * BestRouteCache::kSlots; ++i) {
    const uint32_t d = htonl(0x0A000000u + i);
    ASSERT_EQ(cache.get(d, 0, &r), 0u);
    ASSERT_EQ(r.gateway, d);
  }
  EXPECT_EQ(g_asked, static_cast<int>(2 * BestRouteCache::kSlots));
}

TEST(BestRouteTest, KernelAnswersInTheCallersNamespace) {
  if (::geteuid() != 0) GTEST_SKIP() << "making a network namespace needs root";
  testing_support::TestNetns ns("bestroute");
  ASSERT_TRUE(ns.created()) << "ip netns add " << ns.name();
  ASSERT_TRUE(ns.Ip({"link", "add", "va", "type", "veth", "peer", "name", "vb"}));
  ASSERT_TRUE(ns.Ip({"addr", "add", "10.63.1.1/24", "dev", "va"}));
  for (const char* dev : {"lo", "va", "vb"}) ASSERT_TRUE(ns.Ip({"link", "set", "dev", dev, "up"}));
  ASSERT_TRUE(ns.Ip({"route", "add", "default", "via", "10.63.1.2", "dev", "va"}));
  uint32_t errors[2] = {1, 1};
  BestRoute internet, onlink;
  ASSERT_TRUE(ns.RunInside([&] {
    errors[0] = get_best_route(Ip("203.0.113.7"), &internet);
    errors[1] = get_best_route(Ip("10.63.1.9"), &onlink);
  }));
  ASSERT_EQ(errors[0], 0u);
  ASSERT_EQ(errors[1], 0u);
  EXPECT_EQ(internet.destination, 0u);
  EXPECT_EQ(internet.prefix_len, 0);
  EXPECT_EQ(internet.gateway, Ip("10.63.1.2"));
  EXPECT_EQ(onlink.destination, Ip("10.63.1.0"));
  EXPECT_EQ(onlink.prefix_len, 24);
  EXPECT_EQ(onlink.gateway, 0u);

  testing_support::TestNetns empty("nobestroute");
  ASSERT_TRUE(empty.created());
  uint32_t error = 0;
  BestRoute untouched{7, 7, 7, 7};
  ASSERT_TRUE(empty.RunInside([&] { error = get_best_route(Ip("203.0.113.7"), &untouched); }));
  EXPECT_EQ(error, kRouteErrorNotFound);
  EXPECT_EQ(untouched.destination, 7u);
}

}  // namespace
}  // namespace platform
