// Adapter MTU lookup against veth interfaces of a network namespace made for
// the test; the lookups run on a thread that has entered it.
#include <arpa/inet.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "client/lib/cxWinUtils/cxtcpip.h"
#include "tests/support/netns.h"
#include "tests/support/started_log.h"

namespace {

using testing::HasSubstr;

sockaddr_storage Addr(const char* text, uint32_t scope_id = 0) {
  sockaddr_storage storage{};
  auto* in = reinterpret_cast<sockaddr_in*>(&storage);
  if (inet_pton(AF_INET, text, &in->sin_addr) == 1) {
    in->sin_family = AF_INET;
    in->sin_port = htons(4444);
    return storage;
  }
  auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
  EXPECT_EQ(inet_pton(AF_INET6, text, &in6->sin6_addr), 1) << text;
  in6->sin6_family = AF_INET6;
  in6->sin6_port = htons(4444);
  in6->sin6_scope_id = scope_id;
  return storage;
}

TEST(AdapterMtuTest, LastAdapterInListOrderCarryingTheAddressWins) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make a network namespace";
  testing_support::StartedLog log(0);
  testing_support::TestNetns ns("mtu");
  ASSERT_TRUE(ns.created());
  // Fixed indexes make the list order known: v0, v1, v2, v3.
  ASSERT_TRUE(ns.Ip({"link", "add", "v0", "index", "10", "mtu", "1300", "type", "veth", "peer",
                     "name", "v1", "index", "11", "mtu", "1400"}));
  ASSERT_TRUE(ns.Ip({"link", "add", "v2", "index", "12", "mtu", "1500", "type", "veth", "peer",
                     "name", "v3", "index", "13", "mtu", "1280"}));
  for (const char* dev : {"v0", "v1"}) {
    ASSERT_TRUE(ns.Ip({"addr", "add", "10.200.0.1/24", "dev", dev}));
  }
  for (const char* dev : {"v2", "v3"}) {
    ASSERT_TRUE(ns.Ip({"addr", "add", "10.201.0.1/24", "dev", dev}));
  }
  ASSERT_TRUE(ns.Ip({"addr", "add", "fe80::1234/64", "dev", "v1", "nodad"}));
  ASSERT_TRUE(ns.Ip({"addr", "add", "2001:db8::5/64", "dev", "v2", "nodad"}));

  struct Case {
    sockaddr_storage addr;
    bool found;
    uint32_t mtu;
  };
  const Case cases[] = {
      {Addr("10.200.0.1"), true, 1400},
      {Addr("10.201.0.1"), true, 1280},  // the last, not the largest
      {Addr("fe80::1234", 99), true, 1400},
      {Addr("2001:db8::5", 7), true, 1500},
      {Addr("10.200.0.2"), false, 0},
      {Addr("2001:db8::6"), false, 0},
      {sockaddr_storage{}, false, 0},
  };
  std::vector<std::pair<bool, uint32_t>> results;
  bool entered = ns.RunInside([&] {
    for (const Case& c : cases) {
      uint32_t mtu = 0;
      bool found = cxGetAdapterMtuForAddress(reinterpret_cast<const sockaddr*>(&c.addr), &mtu);
      results.emplace_back(found, mtu);
    }
  });
  ASSERT_TRUE(entered);
  ASSERT_EQ(results.size(), std::size(cases));
  for (size_t i = 0; i < results.size(); ++i) {
    EXPECT_EQ(results[i].first, cases[i].found) << i;
    EXPECT_EQ(results[i].second, cases[i].mtu) << i;
  }
  const std::string text = log.text();
  EXPECT_THAT(text, HasSubstr("cxtcpiputils Adapter name v0 mtu 1300\n"));
  EXPECT_THAT(text, HasSubstr("cxtcpiputils Adapter name v1 mtu 1400\n"));
  EXPECT_THAT(text, HasSubstr("cxtcpiputils address family: 0 not supported\n"));
}

}  // namespace
