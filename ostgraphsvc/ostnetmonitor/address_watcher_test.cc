#include "ostgraphsvc/ostnetmonitor/address_watcher.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// One address message at the end of `datagram`, aligned as the kernel sends
// them.
void AddMessage(std::vector<uint8_t>* datagram, uint16_t type, uint8_t family, uint32_t index,
                const void* addr, uint16_t addr_len) {
  alignas(nlmsghdr) uint8_t buf[256] = {};
  nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = type;
  auto* ifa = static_cast<ifaddrmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
  ifa->ifa_family = family;
  ifa->ifa_prefixlen = 24;
  ifa->ifa_index = index;
  mnl_attr_put(nlh, IFA_LOCAL, addr_len, addr);
  datagram->insert(datagram->end(), buf, buf + NLMSG_ALIGN(nlh->nlmsg_len));
}

uint32_t Ip(const char* text) {
  uint32_t ip = 0;
  inet_pton(AF_INET, text, &ip);
  return ip;
}

std::vector<std::string> Handle(std::vector<uint8_t> datagram, size_t len) {
  std::vector<std::string> seen;
  AddressWatcher::HandleDatagram(datagram.data(), len, [&](int type, uint32_t ip, uint32_t index) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &ip, text, sizeof text);
    seen.push_back(std::to_string(type) + " " + text + " " + std::to_string(index));
  });
  return seen;
}

TEST(AddressWatcherTest, ReportsAdditionsAndDeletionsOnly) {
  const uint32_t a = Ip("198.51.100.10");
  const uint32_t b = Ip("198.51.100.11");
  const uint8_t v6[16] = {0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  std::vector<uint8_t> d;
  AddMessage(&d, RTM_NEWADDR, AF_INET, 4, &a, 4);
  AddMessage(&d, RTM_NEWADDR, AF_INET6, 4, v6, 16);  // not watched
  AddMessage(&d, RTM_NEWLINK, AF_INET, 4, &a, 4);    // another kind
  AddMessage(&d, RTM_NEWADDR, AF_INET, 4, &a, 3);    // garbled address attribute
  AddMessage(&d, RTM_DELADDR, AF_INET, 5, &b, 4);
  EXPECT_EQ(Handle(d, d.size()),
            (std::vector<std::string>{"1 198.51.100.10 4", "2 198.51.100.11 5"}));
}

TEST(AddressWatcherTest, TruncatedAndGarbledDatagramsReadNothingBeyond) {
  const uint32_t a = Ip("198.51.100.10");
  std::vector<uint8_t> one;
  AddMessage(&one, RTM_NEWADDR, AF_INET, 4, &a, 4);
  const size_t whole = one.size();
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;
    size_t len;
    size_t reports;
  };
  std::vector<uint8_t> two = one;
  two.insert(two.end(), one.begin(), one.end());
  std::vector<uint8_t> short_len = one;
  const uint32_t tiny = 8;
  std::memcpy(short_len.data(), &tiny, sizeof tiny);
  std::vector<uint8_t> attr_past_end = one;
  // The address attribute claims more than the message holds.
  const uint16_t big = 200;
  std::memcpy(attr_past_end.data() + NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg)), &big,
              sizeof big);
  const Case cases[] = {
      {"whole", one, whole, 1},
      {"two in one datagram", two, two.size(), 2},
      {"second one cut short", two, two.size() - 4, 1},
      {"header only", one, sizeof(nlmsghdr), 0},
      {"shorter than a header", one, sizeof(nlmsghdr) - 1, 0},
      {"length below a header", short_len, whole, 0},
      {"attribute past the message", attr_past_end, whole, 0},
      {"empty", one, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    // Exactly `len` bytes, so that AddressSanitizer sees any read past them.
    std::vector<uint8_t> exact(c.bytes.begin(), c.bytes.begin() + c.len);
    EXPECT_EQ(Handle(exact, exact.size()).size(), c.reports);
  }
}

}  // namespace
