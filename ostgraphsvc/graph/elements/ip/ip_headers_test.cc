#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

#include <gtest/gtest.h>

#include <vector>

#include "graph/packet.h"

namespace {

// A packet whose buffer ends where its data ends, so that ASan sees any
// read past it.
Packet* Exact(const std::vector<unsigned char>& bytes) {
  Packet* p = Packet::make(64, bytes.data(), static_cast<uint32_t>(bytes.size()));
  p = p->make_unshared(0, -static_cast<int>(p->tailroom()));
  p->set_network_header(p->data(), 20);
  return p;
}

std::vector<unsigned char> Header(unsigned char version_ihl, uint8_t protocol, size_t length) {
  std::vector<unsigned char> b(length);
  b[0] = version_ihl;
  b[2] = static_cast<unsigned char>(length >> 8);
  b[3] = static_cast<unsigned char>(length);
  b[9] = protocol;
  return b;
}

TEST(IPHeaderViewTest, LocatesOnlyWhatFits) {
  struct Case {
    const char* name;
    std::vector<unsigned char> bytes;
    bool ip;
    uint32_t transport_length;
  };
  const Case cases[] = {
      {"plain", Header(0x45, 6, 40), true, 20},
      {"options", Header(0x47, 6, 40), true, 12},
      {"header only", Header(0x45, 6, 20), true, 0},
      {"ihl beyond the end", Header(0x4F, 6, 40), false, 0},
      {"ihl below 5", Header(0x44, 6, 40), false, 0},
      {"version 6", Header(0x65, 6, 40), false, 0},
      {"short", Header(0x45, 6, 19), false, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Packet* p = Exact(c.bytes);
    IPHeaderView ip;
    ASSERT_EQ(IPHeaderView::locate(p, &ip), c.ip);
    if (c.ip) {
      EXPECT_EQ(ip.transport_length(), c.transport_length);
      EXPECT_EQ(ip.transport(), p->data() + (c.bytes[0] & 0x0F) * 4);
    }
    p->release();
  }
}

// The transport header comes from the IPv4 header's own length, never from
// the packet's transport position; no network position means no header.
TEST(IPHeaderViewTest, IgnoresTheTransportPositionAndChecksTransportSizes) {
  Packet* p = Exact(Header(0x46, 6, 24 + 18));
  p->set_network_header(p->data(), 0);
  IPHeaderView ip;
  ASSERT_TRUE(IPHeaderView::locate(p, &ip));
  EXPECT_EQ(ip.transport(), p->data() + 24);
  TCPHeaderView tcp;
  EXPECT_TRUE(TCPHeaderView::locate(ip, 18, &tcp));
  EXPECT_FALSE(TCPHeaderView::locate(ip, 20, &tcp));
  UDPHeaderView udp;
  EXPECT_FALSE(UDPHeaderView::locate(ip, &udp)) << "protocol 6";
  // A later fragment has no transport header.
  p->data()[6] = 0x00;
  p->data()[7] = 0x10;
  EXPECT_FALSE(TCPHeaderView::locate(ip, 8, &tcp));
  p->set_network_header(nullptr, 0);
  EXPECT_FALSE(IPHeaderView::locate(p, &ip));
  p->set_network_header(p->end_data(), 0);
  EXPECT_FALSE(IPHeaderView::locate(p, &ip));
  p->release();
}

}  // namespace
