#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

bool IPHeaderView::locate(const Packet* p, IPHeaderView* view) {
  unsigned char* ip = p->network_header();
  if (ip == nullptr || ip < p->data() || ip >= p->end_data()) return false;
  const uint32_t available = static_cast<uint32_t>(p->end_data() - ip);
  if (available < kMinHeaderLength || (ip[0] >> 4) != 4) return false;
  const uint32_t header_length = (ip[0] & 0x0Fu) * 4u;
  if (header_length < kMinHeaderLength || header_length > available) return false;
  view->ip_ = ip;
  view->header_length_ = header_length;
  view->transport_length_ = available - header_length;
  return true;
}

bool TCPHeaderView::locate(const IPHeaderView& ip, uint32_t need, TCPHeaderView* view) {
  if (ip.protocol() != kIPProtoTCP || !ip.first_fragment() || ip.transport_length() < need)
    return false;
  view->tcp_ = ip.transport();
  view->available_ = ip.transport_length();
  return true;
}

bool UDPHeaderView::locate(const IPHeaderView& ip, UDPHeaderView* view) {
  if (ip.protocol() != kIPProtoUDP || !ip.first_fragment() || ip.transport_length() < kHeaderLength)
    return false;
  view->udp_ = ip.transport();
  return true;
}

bool ICMPHeaderView::locate(const IPHeaderView& ip, ICMPHeaderView* view) {
  if (ip.protocol() != kIPProtoICMP || !ip.first_fragment() ||
      ip.transport_length() < kHeaderLength)
    return false;
  view->icmp_ = ip.transport();
  view->available_ = ip.transport_length();
  return true;
}
