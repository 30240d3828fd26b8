// The netlink side of the netfilter backend: one NETLINK_NETFILTER socket
// bound to one queue, the packet messages the kernel sends on it, and the
// verdicts we send back.
//
// Packets are copied whole up to 65,531 bytes (the most one netlink attribute
// holds); the kernel segments GSO packets and fills in pending checksums
// before queueing them, because we do not ask for GSO. The queue does not fail
// open: when it is full the kernel drops.
//
// The parser and the verdict builder are pure functions over byte buffers
// that never read or write outside the buffer they are given. The socket is
// used by one receiving thread at a time (the backend's receive lock).
#ifndef PLATFORM_DIVERT_NETFILTER_QUEUE_H_
#define PLATFORM_DIVERT_NETFILTER_QUEUE_H_

#include <cstddef>
#include <cstdint>

struct mnl_socket;

namespace platform::divert::nf {

// The copy cap: the largest payload one netlink attribute carries.
inline constexpr uint32_t kCopyRange = 65531;

// Netfilter hook numbers of the two places our chain is jumped from.
inline constexpr uint8_t kHookPreRouting = 0;
inline constexpr uint8_t kHookLocalOut = 3;

// One packet message. Pointers point into the message buffer.
struct QueuedPacket {
  uint32_t id = 0;
  uint16_t hw_protocol = 0;  // host order (ETH_P_IP for IPv4)
  uint8_t hook = 0;
  const uint8_t* payload = nullptr;  // the network-layer packet, up to kCopyRange bytes
  uint32_t payload_len = 0;
  uint32_t original_len = 0;  // the packet's full length; above payload_len when cut
  uint32_t indev = 0;
  uint32_t outdev = 0;
};

enum class MessageKind { kPacket, kError, kOther, kMalformed };

// Parses the netlink message at the front of `buf`. kPacket fills `*packet`;
// kError sets `*error` to the (positive) errno of an error reply, 0 for an
// acknowledgement; kOther is a well-formed message that is neither;
// kMalformed a message whose lengths do not hold. `*consumed` receives the
// aligned length of the message (0 when malformed), so a caller can walk a
// datagram that holds several.
MessageKind parse_message(const void* buf, size_t len, QueuedPacket* packet, int* error,
                          size_t* consumed);

// Appends to `buf` (which holds `*used` bytes of `room`) a verdict for `id`
// on `queue`: a single one, or with `batch` one for every pending id up to and
// including `id`. False, with nothing written, when it does not fit.
inline constexpr size_t kVerdictMessageSize = 32;
inline constexpr uint32_t kVerdictDrop = 0;    // NF_DROP
inline constexpr uint32_t kVerdictAccept = 1;  // NF_ACCEPT
bool put_verdict(void* buf, size_t room, size_t* used, uint16_t queue, uint32_t id,
                 uint32_t verdict, bool batch);

// The queue socket.
class QueueSocket {
 public:
  QueueSocket() = default;
  QueueSocket(const QueueSocket&) = delete;
  QueueSocket& operator=(const QueueSocket&) = delete;
  ~QueueSocket();

  // Opens the socket (close-on-exec, a large receive buffer, no ENOBUFS
  // errors) and binds the first free queue of [first, first + count): copy
  // mode packet with kCopyRange, `max_len` pending packets, no GSO, no fail
  // open. Returns 0 or an errno: EPERM or EBUSY when no queue in the range
  // could be bound (the kernel gives EPERM both for a queue another socket
  // holds and for a caller without privileges), ENOENT/EOPNOTSUPP/EPROTONOSUPPORT when the
  // kernel has no queue support.
  int open(uint16_t first, uint32_t count, uint32_t max_len);

  int fd() const;
  uint16_t queue() const { return queue_; }

  // Sends the verdict messages in `buf` in one call; 0 or an errno.
  int send(const void* buf, size_t len);

 private:
  int request(void* buf, size_t len);  // sends one config message, reads its ack

  mnl_socket* nl_ = nullptr;
  uint32_t seq_ = 0;
  uint16_t queue_ = 0;
};

}  // namespace platform::divert::nf

#endif  // PLATFORM_DIVERT_NETFILTER_QUEUE_H_
