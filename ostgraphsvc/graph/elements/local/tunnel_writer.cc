#include "ostgraphsvc/graph/elements/local/tunnel_writer.h"

#include <atomic>

namespace {

std::atomic<TunnelPacketWriter*> g_writer{nullptr};

}  // namespace

TunnelPacketWriter* set_tunnel_packet_writer(TunnelPacketWriter* writer) {
  return g_writer.exchange(writer, std::memory_order_acq_rel);
}

TunnelPacketWriter* tunnel_packet_writer() { return g_writer.load(std::memory_order_acquire); }
