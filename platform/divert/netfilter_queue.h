// The netlink side of the netfilter backend: one NETLINK_NETFILTER socket
// bound to one queue, the packet messages the kernel sends on it, and the
// verdicts we send back.
//
// Packets are copied whole up to 65,531 bytes (the most one netlink attribute
// holds); the kernel segments GSO packets and fills in pending checksums
// before queueing them, because we do not ask for GSO. The queue does not fail
// open: when it is full the kernel drops (and counts).
//
// A queued packet stays in the kernel until its verdict: NF_ACCEPT lets the
// kernel go on with it (with new bytes when the verdict carries them), NF_DROP
// frees it. A batch verdict covers every packet still queued up to its id.
//
// The parser and the verdict builder are pure functions over byte buffers
// that never read or write outside the buffer they are given. The socket is
// used by one receiving thread at a time (the backend's receive lock).
#ifndef PLATFORM_DIVERT_NETFILTER_QUEUE_H_
#define PLATFORM_DIVERT_NETFILTER_QUEUE_H_

#include <sys/uio.h>

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
  uint32_t skb_info = 0;  // kSkb* bits, host order
};

// Bits of a packet's skb info: its transport checksum is not filled in yet,
// or was not verified on arrival.
inline constexpr uint32_t kSkbCsumNotReady = 1;
inline constexpr uint32_t kSkbCsumNotVerified = 4;

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

// Verdict planning. The packets we hold, in ascending id order, each with
// what is to become of it now: kGone (its verdict was sent before), kAccept
// or kDrop (to be sent now), kStay (to stay queued). `plan_verdicts` writes
// to `out` (room for `n`) the fewest verdicts that settle every kAccept and
// kDrop packet without touching a kStay one: a batch verdict for each run of
// one fate up to the first kStay packet, single verdicts after it. Every
// packet queued to us with an id below the first one given must have had its
// verdict already. Returns the number of verdicts written.
enum class Fate : uint8_t { kGone, kAccept, kDrop, kStay };
struct HeldFate {
  uint32_t id;
  Fate fate;
};
struct PlannedVerdict {
  uint32_t id;
  uint32_t verdict;
  bool batch;
};
size_t plan_verdicts(const HeldFate* fates, size_t n, PlannedVerdict* out);

class QueueSocket;

// Collects verdict messages and sends them with as few system calls as fit:
// new bytes travel by reference (an iovec into the caller's buffer, which must
// stay valid until `flush`). Messages go out in the order they were added.
class VerdictWriter {
 public:
  VerdictWriter(QueueSocket* socket, uint16_t queue) : socket_(socket), queue_(queue) {}
  VerdictWriter(const VerdictWriter&) = delete;
  VerdictWriter& operator=(const VerdictWriter&) = delete;

  void set_queue(uint16_t queue) { queue_ = queue; }

  void verdict(uint32_t id, uint32_t verdict, bool batch);
  // NF_ACCEPT with `len` (1..kCopyRange) new bytes.
  void accept_with(uint32_t id, const uint8_t* data, uint32_t len);
  // Sends what was added; 0 or the errno of the last failed send.
  int flush();
  bool empty() const { return msgs_ == 0; }

 private:
  static constexpr size_t kMaxMessages = 340;  // three iovecs each, within IOV_MAX
  static constexpr size_t kMaxBytes = 1u << 20;
  static constexpr size_t kHeaderRoom = 40;
  void make_room(size_t bytes);

  QueueSocket* socket_;
  uint16_t queue_;
  int error_ = 0;
  size_t msgs_ = 0;
  size_t iovs_ = 0;
  size_t bytes_ = 0;
  alignas(4) uint8_t headers_[kMaxMessages * kHeaderRoom];
  iovec iov_[kMaxMessages * 3];
};

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
  // The same for messages spread over `iov`.
  int sendv(const iovec* iov, size_t count);

 private:
  int request(void* buf, size_t len);  // sends one config message, reads its ack

  mnl_socket* nl_ = nullptr;
  uint32_t seq_ = 0;
  uint16_t queue_ = 0;
};

}  // namespace platform::divert::nf

#endif  // PLATFORM_DIVERT_NETFILTER_QUEUE_H_
