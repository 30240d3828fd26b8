// The way out of the graph into an overlay connection.
//
// A packet whose `peer_wan_ip_anno` is set leaves through the writer that the
// transport registers here (it writes the bytes to the connection named by
// the remote WAN and local address). With no writer registered the capture
// element's drain frees such packets after its debug line.
//
// Ownership: the writer is not owned; whoever registers it clears the
// registration (set null) before it goes.
//
// Threads: `write_packet` runs on the packet thread (the capture consumer).
// Registration may happen on any thread; the pointer is atomic.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_TUNNEL_WRITER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_TUNNEL_WRITER_H_

#include <cstdint>

#include "graph/ipaddress.h"

class TunnelPacketWriter {
 public:
  virtual ~TunnelPacketWriter() = default;
  // Writes one IPv4 packet to the connection (wan, local); the bytes are only
  // borrowed for the call. 0 on success, -1 on failure.
  virtual int write_packet(IPAddress wan, IPAddress local, const unsigned char* data,
                           uint32_t length) = 0;
};

// Installs `writer` (null: none) and returns the one it replaces.
TunnelPacketWriter* set_tunnel_packet_writer(TunnelPacketWriter* writer);
TunnelPacketWriter* tunnel_packet_writer();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_TUNNEL_WRITER_H_
