// Bounds-checked views of the IPv4 header and the TCP, UDP or ICMP header
// behind it, inside one Packet.
//
// The IPv4 header is the one at the packet's network-header position; the
// transport header starts at the IPv4 header's own length (IHL), never at the
// packet's transport-header position, since upstream may have set a
// zero-length network header. Every length is checked against the end of the
// packet's data: a view that does not fit is not made, and the caller treats
// the packet as another protocol. Views read and write bytes in place through
// explicit offsets (headers need not be aligned); they never own the packet
// and stay valid until the packet's data moves.
//
// Threads: plain values over one packet; the packet's thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IP_HEADERS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IP_HEADERS_H_

#include <cstdint>
#include <cstring>

#include "graph/ipaddress.h"
#include "graph/packet.h"

inline constexpr uint8_t kIPProtoICMP = 1;
inline constexpr uint8_t kIPProtoTCP = 6;
inline constexpr uint8_t kIPProtoUDP = 17;

inline constexpr uint8_t kTCPFin = 0x01;
inline constexpr uint8_t kTCPSyn = 0x02;
inline constexpr uint8_t kTCPRst = 0x04;

inline uint16_t load_be16(const unsigned char* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}
inline void store_be16(unsigned char* p, uint16_t v) {
  p[0] = static_cast<unsigned char>(v >> 8);
  p[1] = static_cast<unsigned char>(v);
}

class IPHeaderView {
 public:
  static constexpr uint32_t kMinHeaderLength = 20;

  // A view of `p`'s IPv4 header: false when the packet has no network-header
  // position inside its data, the version is not 4, or the header (IHL, at
  // least 20 bytes) does not fit before the end of the data.
  static bool locate(const Packet* p, IPHeaderView* view);

  unsigned char* header() const { return ip_; }
  uint32_t header_length() const { return header_length_; }
  uint8_t protocol() const { return ip_[9]; }
  // The header's total-length field; not trusted for bounds.
  uint16_t total_length() const { return load_be16(ip_ + 2); }
  // In 8-byte units; 0 for a first (or unfragmented) packet.
  uint16_t fragment_offset() const { return load_be16(ip_ + 6) & 0x1FFF; }
  bool first_fragment() const { return fragment_offset() == 0; }

  IPAddress src() const { return load_address(12); }
  IPAddress dst() const { return load_address(16); }
  void set_src(IPAddress a) { store_address(12, a); }
  void set_dst(IPAddress a) { store_address(16, a); }
  unsigned char* checksum_field() const { return ip_ + 10; }

  // The transport header and the bytes from it to the end of the data.
  unsigned char* transport() const { return ip_ + header_length_; }
  uint32_t transport_length() const { return transport_length_; }

 private:
  IPAddress load_address(int offset) const {
    uint32_t a;
    std::memcpy(&a, ip_ + offset, 4);
    return IPAddress(a);
  }
  void store_address(int offset, IPAddress a) {
    const uint32_t v = a.addr();
    std::memcpy(ip_ + offset, &v, 4);
  }

  unsigned char* ip_ = nullptr;
  uint32_t header_length_ = 0;
  uint32_t transport_length_ = 0;
};

// Ports in network order as stored; checksum fields as byte pointers.
class TCPHeaderView {
 public:
  static constexpr uint32_t kMinHeaderLength = 20;
  // At least `need` bytes (8 for the ports and sequence number, 18 up to the
  // checksum, 20 for a whole fixed header) after the IPv4 header of a first
  // fragment.
  static bool locate(const IPHeaderView& ip, uint32_t need, TCPHeaderView* view);

  unsigned char* header() const { return tcp_; }
  uint32_t available() const { return available_; }
  uint16_t sport() const { return load_port(0); }
  uint16_t dport() const { return load_port(2); }
  void set_sport(uint16_t port) { store_port(0, port); }
  void set_dport(uint16_t port) { store_port(2, port); }
  // Needs 14 bytes.
  uint32_t header_length() const { return (tcp_[12] >> 4) * 4u; }
  uint8_t flags() const { return tcp_[13]; }
  // Needs 18 bytes.
  unsigned char* checksum_field() const { return tcp_ + 16; }

 private:
  uint16_t load_port(int offset) const {
    uint16_t v;
    std::memcpy(&v, tcp_ + offset, 2);
    return v;
  }
  void store_port(int offset, uint16_t v) { std::memcpy(tcp_ + offset, &v, 2); }

  unsigned char* tcp_ = nullptr;
  uint32_t available_ = 0;
};

class UDPHeaderView {
 public:
  static constexpr uint32_t kHeaderLength = 8;
  // The 8-byte header after the IPv4 header of a first fragment.
  static bool locate(const IPHeaderView& ip, UDPHeaderView* view);

  unsigned char* header() const { return udp_; }
  uint16_t sport() const { return load_port(0); }
  uint16_t dport() const { return load_port(2); }
  void set_sport(uint16_t port) { store_port(0, port); }
  void set_dport(uint16_t port) { store_port(2, port); }
  uint16_t length() const { return load_be16(udp_ + 4); }
  unsigned char* checksum_field() const { return udp_ + 6; }

 private:
  uint16_t load_port(int offset) const {
    uint16_t v;
    std::memcpy(&v, udp_ + offset, 2);
    return v;
  }
  void store_port(int offset, uint16_t v) { std::memcpy(udp_ + offset, &v, 2); }

  unsigned char* udp_ = nullptr;
};

class ICMPHeaderView {
 public:
  static constexpr uint32_t kHeaderLength = 8;
  // The 8-byte header (type, code, checksum, identifier, sequence) after the
  // IPv4 header of a first fragment.
  static bool locate(const IPHeaderView& ip, ICMPHeaderView* view);

  unsigned char* header() const { return icmp_; }
  uint32_t available() const { return available_; }
  uint8_t type() const { return icmp_[0]; }
  uint8_t code() const { return icmp_[1]; }
  unsigned char* checksum_field() const { return icmp_ + 2; }
  // Echo identifier, network order as stored.
  uint16_t identifier() const {
    uint16_t v;
    std::memcpy(&v, icmp_ + 4, 2);
    return v;
  }
  void set_identifier(uint16_t v) { std::memcpy(icmp_ + 4, &v, 2); }

 private:
  unsigned char* icmp_ = nullptr;
  uint32_t available_ = 0;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IP_HEADERS_H_
