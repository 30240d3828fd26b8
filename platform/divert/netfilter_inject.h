// Re-injection for the netfilter backend: one IPPROTO_RAW socket whose
// packets carry the re-injection mark, written with sendmmsg.
//
// An outbound packet goes to its destination by the routing table. An inbound
// one is sent to its own destination so that it loops back and arrives on
// `lo`: host firewall rules written for the real interface do not see it.
// Since `lo` also skips the kernel's input checks, an inbound packet goes out
// only when those checks (netfilter_delivery.h) would have let it in on its
// arrival interface; otherwise it is dropped and counted. A raw socket does not fragment, so a
// packet above the route's MTU is fragmented here when its DF bit is clear and dropped (counted)
// when it is set.
//
// Threads: one sender at a time (the backend's send lock); `fragment_ipv4` is
// pure and thread-safe.
#ifndef PLATFORM_DIVERT_NETFILTER_INJECT_H_
#define PLATFORM_DIVERT_NETFILTER_INJECT_H_

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/divert/backend.h"
#include "platform/divert/netfilter_delivery.h"

namespace platform::divert::nf {

// Splits the IPv4 packet `pkt` (exactly its total length `len`) into fragments
// of at most `mtu` bytes and calls `emit` on each in order; `scratch` holds
// 65,535 bytes. Later fragments keep the header length, with the options not
// marked for copying overwritten by NOPs. A packet that already fits is
// emitted as it is. False, with nothing emitted, when the DF bit is set, the
// MTU leaves no room for 8 data bytes, or the header or its options are
// malformed; false also when `emit` returns false (it stops there). `new_id`
// replaces an identification of 0, which the kernel would otherwise replace
// differently in every fragment.
bool fragment_ipv4(const uint8_t* pkt, uint32_t len, uint32_t mtu, uint16_t new_id,
                   uint8_t* scratch,
                   const std::function<bool(const uint8_t* frag, uint32_t frag_len)>& emit);

class Injector {
 public:
  Injector() = default;
  Injector(const Injector&) = delete;
  Injector& operator=(const Injector&) = delete;
  ~Injector();

  // Opens the marked raw socket; 0 or an errno (EPERM without CAP_NET_RAW).
  int open(uint32_t mark);

  // Sends `count` (1..255) packets; `*sent_bytes` receives the bytes handed
  // to the kernel and `*dropped` the packets that were not. Returns 0, or the
  // errno of the last failure when nothing at all was sent.
  int send(const OutPacket* packets, uint32_t count, uint64_t* sent_bytes, uint32_t* dropped);

 private:
  // Sends one packet the kernel refused as too big; true when it went out.
  bool send_fragmented(const uint8_t* pkt, uint32_t len, const sockaddr_in& to, int* err);

  int fd_ = -1;
  int probe_fd_ = -1;  // UDP socket connected per oversized packet to learn the route MTU
  uint16_t next_id_ = 1;
  InboundCheck inbound_;
  std::array<mmsghdr, 255> msgs_{};
  std::array<iovec, 255> iovs_{};
  std::array<sockaddr_in, 255> addrs_{};
  std::array<uint32_t, 255> index_{};  // message -> packet
  std::vector<uint8_t> scratch_;
};

}  // namespace platform::divert::nf

#endif  // PLATFORM_DIVERT_NETFILTER_INJECT_H_
