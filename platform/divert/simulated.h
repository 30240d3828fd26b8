// The simulated network: an in-process stand-in for the host's IPv4 traffic
// in which the simulated backend steals packets.
//
// Tests play the host: `inject` offers a packet as sent (record flag
// OUTBOUND) or received by the host, with the loopback and impostor bits and
// the interface index of its record. The first open simulated handle whose
// filter matches steals it into that handle's receive queue (4096 packets,
// 8 MiB; a full queue drops the packet and counts it as overflow). A packet
// nobody steals goes on at once, and so does every packet the service puts
// back with WinDivertSendEx: both land in the delivered list that
// `take_delivered` empties. Re-injected packets are not offered again.
//
// Queues and the delivered list are preallocated, so receive and send on a
// simulated handle never allocate. Thread-safe: one lock guards the network.
#ifndef PLATFORM_DIVERT_SIMULATED_H_
#define PLATFORM_DIVERT_SIMULATED_H_

#include <cstddef>
#include <cstdint>
#include <vector>

#include "platform/divert/divert.h"

namespace platform::divert {

inline constexpr uint32_t kSimQueuePackets = 4096;
inline constexpr uint32_t kSimQueueBytes = 8u << 20;

struct SimPacket {
  std::vector<uint8_t> bytes;
  WINDIVERT_ADDRESS addr{};
  bool reinjected = false;  // put back by the service, not passed uncaptured
};

namespace sim {

// Offers a packet to the open simulated handles; true when one stole it.
// `where` gives direction, loopback, impostor and interface index; its
// timestamp is replaced. A packet longer than 65535 bytes is refused (false,
// 87) and delivered nowhere.
bool inject(const void* packet, uint32_t len, const WINDIVERT_ADDRESS& where);

// Everything delivered since the last call, in delivery order.
std::vector<SimPacket> take_delivered();

// Deliveries lost because the delivered list was full (4096 packets, 8 MiB).
uint64_t delivered_overflow();

// Makes the next simulated open fail with `code` (once).
void fail_next_open(uint32_t code);

// Simulated handles currently capturing (open and not shut down).
size_t open_handles();

// Empties the delivered list, clears its overflow count and a pending
// fail_next_open; open handles stay.
void reset();

}  // namespace sim
}  // namespace platform::divert

#endif  // PLATFORM_DIVERT_SIMULATED_H_
