// The interface a packet-diversion backend implements, behind the handle
// table of divert.cc. Not for use above the platform layer.
//
// One backend object carries one open handle. The front end (divert.cc)
// checks every parameter, compiles the filter, splits send batches and keeps
// the object alive while calls are inside it, so a backend sees only sound
// requests. What each call must do:
//
// open(filter)  Start stealing the host IPv4 packets `filter` matches
//               (`filter` outlives the backend). Returns 0, or a Windows
//               error with nothing left installed: 5 without CAP_NET_ADMIN /
//               CAP_NET_RAW, 50 when the kernel has no queue target, 87 for
//               a request it cannot carry, else the mapping of errno.
//               Called once, before any other call.
// recv(area)    Block until one packet has been stolen, then take without
//               blocking further stolen packets while both the next whole
//               packet fits `area.packet_capacity` and a record is left in
//               `area.record_capacity` (at most 255). Packets go back to back,
//               each exactly its IPv4 total length; record i gets Timestamp
//               (CLOCK_MONOTONIC ns at steal time, `timestamp_now`), Flags
//               (layer 0 | OUTBOUND | LOOPBACK | IMPOSTOR as seen), IfIdx (in
//               or out device), SubIfIdx 0; the reserved bytes are the
//               backend's own (zero, or what it needs to know the packet again
//               when it comes back to send). Returns 0
//               with `count` >= 1; 6 once close() has run (also when it runs
//               while recv blocks: close must wake it); 122 when the first
//               packet is larger than the whole packet area (that packet is
//               dropped and counted as oversize); another error for a failed
//               system call. Several threads may call recv at once.
// send(pkts,n)  Put back n (1..255) IPv4 packets, each with its record:
//               OUTBOUND set -> towards the network by the routing table,
//               clear -> delivered to the local stack, as the kernel would
//               deliver it. Re-injected packets are never stolen again by this
//               layer. A backend may let a packet it handed out go on in place
//               of the original when it comes back; every other packet is new. Must not block for long.
//               Returns 0 with `*sent_bytes` the bytes handed on (packets it
//               had to drop are counted in send_dropped), 6 after close(), or
//               an error when nothing could be sent.
// release(recs,n)  The caller is done with the packets of these records:
//               those handed out and not sent back are consumed. Skips what
//               it does not know.
// shutdown_recv()  From any thread, any number of times: stop stealing at
//               once (the capture rules go) and wake every blocked recv.
//               recv then returns, without blocking, what was stolen before
//               and not yet handed out, and 232 once nothing is left. send
//               keeps working until close().
// close()       From any thread, any number of times, also while recv or
//               send run on other threads: stop stealing at once (the capture
//               rules go), wake every blocked recv (which returns 6). What
//               remains is freed by the destructor, which the front end runs
//               when the last call has left.
// counters()    The handle's counters, readable at any time (atomics inside).
#ifndef PLATFORM_DIVERT_BACKEND_H_
#define PLATFORM_DIVERT_BACKEND_H_

#include <cstdint>
#include <memory>

#include "platform/divert/divert.h"
#include "platform/divert/filter.h"

namespace platform::divert {

struct RecvArea {
  uint8_t* packets = nullptr;
  uint32_t packet_capacity = 0;
  WINDIVERT_ADDRESS* records = nullptr;
  uint32_t record_capacity = 0;  // 1..255
  // Filled by recv.
  uint32_t packet_bytes = 0;
  uint32_t count = 0;
};

struct OutPacket {
  const uint8_t* data = nullptr;  // IPv4 packet, `len` == its total length
  uint32_t len = 0;
  const WINDIVERT_ADDRESS* addr = nullptr;
};

class DivertBackend {
 public:
  virtual ~DivertBackend() = default;

  virtual uint32_t open(const FilterProgram& filter) = 0;
  virtual uint32_t recv(RecvArea* area) = 0;
  virtual uint32_t send(const OutPacket* packets, uint32_t count, uint32_t* sent_bytes) = 0;
  virtual void release(const WINDIVERT_ADDRESS* records, uint32_t count) = 0;
  virtual void shutdown_recv() = 0;
  virtual void close() = 0;
  virtual DivertCounters counters() const = 0;
};

// The netfilter-queue backend (netfilter_backend.cc).
std::unique_ptr<DivertBackend> make_netfilter_backend();

// The simulated backend (simulated.cc).
std::unique_ptr<DivertBackend> make_simulated_backend();

// CLOCK_MONOTONIC in nanoseconds, the record timestamp of both backends.
int64_t timestamp_now();

// The record flag word for a packet seen in the given direction.
inline uint32_t record_flags(bool outbound, bool loopback, bool impostor) {
  return (outbound ? WINDIVERT_ADDRESS_OUTBOUND : 0) | (loopback ? WINDIVERT_ADDRESS_LOOPBACK : 0) |
         (impostor ? WINDIVERT_ADDRESS_IMPOSTOR : 0);
}

}  // namespace platform::divert

#endif  // PLATFORM_DIVERT_BACKEND_H_
