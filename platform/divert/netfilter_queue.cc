#include "platform/divert/netfilter_queue.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <libnetfilter_queue/libnetfilter_queue.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <linux/netlink.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace platform::divert::nf {
namespace {

constexpr size_t kNlHdr = sizeof(nlmsghdr);
constexpr size_t kGenHdr = sizeof(nfgenmsg);
constexpr size_t kAttrHdr = sizeof(nlattr);

constexpr size_t align4(size_t n) { return (n + 3) & ~size_t{3}; }

uint32_t load_be32(const uint8_t* p) {
  uint32_t v;
  memcpy(&v, p, 4);
  return ntohl(v);
}

uint16_t load_be16(const uint8_t* p) {
  uint16_t v;
  memcpy(&v, p, 2);
  return ntohs(v);
}

static_assert(kVerdictDrop == NF_DROP && kVerdictAccept == NF_ACCEPT);
static_assert(kSkbCsumNotReady == NFQA_SKB_CSUMNOTREADY &&
              kSkbCsumNotVerified == NFQA_SKB_CSUM_NOTVERIFIED);

const uint8_t kZeroPad[4] = {0, 0, 0, 0};

}  // namespace

MessageKind parse_message(const void* buf, size_t len, QueuedPacket* packet, int* error,
                          size_t* consumed) {
  const auto* p = static_cast<const uint8_t*>(buf);
  *consumed = 0;
  if (len < kNlHdr) return MessageKind::kMalformed;
  nlmsghdr nlh;
  memcpy(&nlh, p, kNlHdr);
  if (nlh.nlmsg_len < kNlHdr || nlh.nlmsg_len > len) return MessageKind::kMalformed;
  const size_t msg_len = nlh.nlmsg_len;
  *consumed = align4(msg_len) <= len ? align4(msg_len) : msg_len;

  if (nlh.nlmsg_type == NLMSG_ERROR) {
    if (msg_len < kNlHdr + sizeof(int)) {
      *consumed = 0;
      return MessageKind::kMalformed;
    }
    int code;
    memcpy(&code, p + kNlHdr, sizeof(code));
    *error = code < 0 ? -code : code;
    return MessageKind::kError;
  }
  if (nlh.nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET)) return MessageKind::kOther;
  if (msg_len < kNlHdr + kGenHdr) {
    *consumed = 0;
    return MessageKind::kMalformed;
  }

  QueuedPacket out;
  bool have_header = false;
  bool have_cap_len = false;
  size_t off = kNlHdr + kGenHdr;
  while (off + kAttrHdr <= msg_len) {
    nlattr attr;
    memcpy(&attr, p + off, kAttrHdr);
    if (attr.nla_len < kAttrHdr || attr.nla_len > msg_len - off) {
      *consumed = 0;
      return MessageKind::kMalformed;
    }
    const uint8_t* data = p + off + kAttrHdr;
    const size_t data_len = attr.nla_len - kAttrHdr;
    switch (attr.nla_type & NLA_TYPE_MASK) {
      case NFQA_PACKET_HDR:
        if (data_len < sizeof(nfqnl_msg_packet_hdr)) break;
        out.id = load_be32(data);
        out.hw_protocol = load_be16(data + 4);
        out.hook = data[6];
        have_header = true;
        break;
      case NFQA_PAYLOAD:
        out.payload = data;
        out.payload_len = static_cast<uint32_t>(data_len);
        break;
      case NFQA_CAP_LEN:
        if (data_len < 4) break;
        out.original_len = load_be32(data);
        have_cap_len = true;
        break;
      case NFQA_IFINDEX_INDEV:
        if (data_len >= 4) out.indev = load_be32(data);
        break;
      case NFQA_IFINDEX_OUTDEV:
        if (data_len >= 4) out.outdev = load_be32(data);
        break;
      case NFQA_SKB_INFO:
        if (data_len >= 4) out.skb_info = load_be32(data);
        break;
      default:
        break;
    }
    off += align4(attr.nla_len);
  }
  if (!have_header) {
    *consumed = 0;
    return MessageKind::kMalformed;
  }
  if (!have_cap_len || out.original_len < out.payload_len) out.original_len = out.payload_len;
  *packet = out;
  return MessageKind::kPacket;
}

bool put_verdict(void* buf, size_t room, size_t* used, uint16_t queue, uint32_t id,
                 uint32_t verdict, bool batch) {
  if (*used > room || room - *used < kVerdictMessageSize) return false;
  char* p = static_cast<char*>(buf) + *used;
  if (reinterpret_cast<uintptr_t>(p) % 4 != 0) return false;
  nlmsghdr* nlh = nfq_nlmsg_put(p, batch ? NFQNL_MSG_VERDICT_BATCH : NFQNL_MSG_VERDICT, queue);
  nfq_nlmsg_verdict_put(nlh, static_cast<int>(id), static_cast<int>(verdict));
  *used += nlh->nlmsg_len;
  return true;
}

size_t plan_verdicts(const HeldFate* fates, size_t n, PlannedVerdict* out) {
  size_t count = 0;
  size_t i = 0;
  // Batches while nothing that stays lies below.
  while (i < n && fates[i].fate != Fate::kStay) {
    if (fates[i].fate == Fate::kGone) {
      ++i;
      continue;
    }
    const Fate run = fates[i].fate;
    uint32_t last = fates[i].id;
    for (++i; i < n && fates[i].fate != Fate::kStay; ++i) {
      if (fates[i].fate == Fate::kGone) continue;
      if (fates[i].fate != run) break;
      last = fates[i].id;
    }
    out[count++] = {last, run == Fate::kAccept ? kVerdictAccept : kVerdictDrop, true};
  }
  for (; i < n; ++i) {
    if (fates[i].fate == Fate::kAccept) out[count++] = {fates[i].id, kVerdictAccept, false};
    if (fates[i].fate == Fate::kDrop) out[count++] = {fates[i].id, kVerdictDrop, false};
  }
  return count;
}

void VerdictWriter::make_room(size_t bytes) {
  if (msgs_ < kMaxMessages && bytes_ + bytes <= kMaxBytes) return;
  flush();
}

void VerdictWriter::verdict(uint32_t id, uint32_t verdict, bool batch) {
  make_room(kVerdictMessageSize);
  size_t used = 0;
  uint8_t* h = headers_ + msgs_ * kHeaderRoom;
  put_verdict(h, kHeaderRoom, &used, queue_, id, verdict, batch);
  iov_[iovs_++] = {h, used};
  bytes_ += used;
  ++msgs_;
}

void VerdictWriter::accept_with(uint32_t id, const uint8_t* data, uint32_t len) {
  const size_t total = kNlHdr + kGenHdr + kAttrHdr + sizeof(nfqnl_msg_verdict_hdr) + kAttrHdr + len;
  make_room(align4(total));
  uint8_t* h = headers_ + msgs_ * kHeaderRoom;
  nlmsghdr* nlh = nfq_nlmsg_put(reinterpret_cast<char*>(h), NFQNL_MSG_VERDICT, queue_);
  nfq_nlmsg_verdict_put(nlh, static_cast<int>(id), NF_ACCEPT);
  // The payload attribute's header; its bytes follow by reference.
  nlattr attr{static_cast<uint16_t>(kAttrHdr + len), NFQA_PAYLOAD};
  memcpy(h + nlh->nlmsg_len, &attr, kAttrHdr);
  const size_t head = nlh->nlmsg_len + kAttrHdr;
  nlh->nlmsg_len = static_cast<uint32_t>(head + len);
  iov_[iovs_++] = {h, head};
  iov_[iovs_++] = {const_cast<uint8_t*>(data), len};
  if (align4(len) != len) iov_[iovs_++] = {const_cast<uint8_t*>(kZeroPad), align4(len) - len};
  bytes_ += head + align4(len);
  ++msgs_;
}

int VerdictWriter::flush() {
  if (msgs_ > 0) {
    const int err = socket_->sendv(iov_, iovs_);
    if (err != 0) error_ = err;
  }
  msgs_ = 0;
  iovs_ = 0;
  bytes_ = 0;
  const int err = error_;
  error_ = 0;
  return err;
}

QueueSocket::~QueueSocket() {
  if (nl_ != nullptr) mnl_socket_close(nl_);
}

int QueueSocket::fd() const { return nl_ == nullptr ? -1 : mnl_socket_get_fd(nl_); }

int QueueSocket::request(void* buf, size_t len) {
  if (mnl_socket_sendto(nl_, buf, len) < 0) return errno;
  const uint32_t seq = seq_;
  alignas(4) uint8_t reply[8192];
  for (;;) {
    ssize_t n = mnl_socket_recvfrom(nl_, reply, sizeof(reply));
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    size_t off = 0;
    while (off < static_cast<size_t>(n)) {
      QueuedPacket ignored;
      int code = 0;
      size_t used = 0;
      MessageKind kind =
          parse_message(reply + off, static_cast<size_t>(n) - off, &ignored, &code, &used);
      if (kind == MessageKind::kMalformed || used == 0) return EPROTO;
      nlmsghdr nlh;
      memcpy(&nlh, reply + off, kNlHdr);
      off += used;
      // Packet messages cannot arrive yet: no rule queues to us before open
      // has finished.
      if (kind == MessageKind::kError && nlh.nlmsg_seq == seq) return code;
    }
  }
}

int QueueSocket::open(uint16_t first, uint32_t count, uint32_t max_len) {
  nl_ = mnl_socket_open2(NETLINK_NETFILTER, SOCK_CLOEXEC);
  if (nl_ == nullptr) return errno;
  if (mnl_socket_bind(nl_, 0, MNL_SOCKET_AUTOPID) < 0) return errno;
  const int fd = mnl_socket_get_fd(nl_);
  // Room for bursts; without the force variant the sysctl cap applies.
  int rcvbuf = 16 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  }
  // A message lost to a full buffer is a packet the kernel dropped and
  // counted (user_dropped); an ENOBUFS error would only stall.
  int on = 1;
  setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof(on));
  // Error replies to a verdict carry only its header, not its new bytes.
  setsockopt(fd, SOL_NETLINK, NETLINK_CAP_ACK, &on, sizeof(on));
  // Verdicts with new bytes for a whole batch in one send.
  int sndbuf = 4 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof(sndbuf)) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
  }

  alignas(4) char buf[256];
  int err = EBUSY;
  for (uint32_t i = 0; i < count && first + i <= 0xFFFF; ++i) {
    const auto queue = static_cast<uint16_t>(first + i);
    nlmsghdr* nlh = nfq_nlmsg_put(buf, NFQNL_MSG_CONFIG, queue);
    nlh->nlmsg_flags |= NLM_F_ACK;
    nlh->nlmsg_seq = ++seq_;
    nfq_nlmsg_cfg_put_cmd(nlh, AF_INET, NFQNL_CFG_CMD_BIND);
    err = request(nlh, nlh->nlmsg_len);
    if (err == 0) {
      queue_ = queue;
      break;
    }
    // The kernel answers EPERM for a queue another socket holds.
    if (err != EBUSY && err != EPERM) return err;
  }
  if (err != 0) return err;

  nlmsghdr* nlh = nfq_nlmsg_put(buf, NFQNL_MSG_CONFIG, queue_);
  nlh->nlmsg_flags |= NLM_F_ACK;
  nlh->nlmsg_seq = ++seq_;
  nfq_nlmsg_cfg_put_params(nlh, NFQNL_COPY_PACKET, kCopyRange);
  nfq_nlmsg_cfg_put_qmaxlen(nlh, max_len);
  mnl_attr_put_u32(nlh, NFQA_CFG_MASK, htonl(NFQA_CFG_F_GSO | NFQA_CFG_F_FAIL_OPEN));
  mnl_attr_put_u32(nlh, NFQA_CFG_FLAGS, htonl(0));
  return request(nlh, nlh->nlmsg_len);
}

int QueueSocket::sendv(const iovec* iov, size_t count) {
  sockaddr_nl to{};
  to.nl_family = AF_NETLINK;
  msghdr msg{};
  msg.msg_name = &to;
  msg.msg_namelen = sizeof(to);
  msg.msg_iov = const_cast<iovec*>(iov);
  msg.msg_iovlen = count;
  for (int attempt = 0;; ++attempt) {
    if (sendmsg(fd(), &msg, 0) >= 0) return 0;
    if ((errno != EINTR && errno != ENOBUFS) || attempt == 100) return errno;
  }
}

int QueueSocket::send(const void* buf, size_t len) {
  // A verdict that is lost leaves its packet queued until a later batch
  // verdict or the close; a few retries on a transient shortage are worth it.
  for (int attempt = 0;; ++attempt) {
    if (mnl_socket_sendto(nl_, buf, len) >= 0) return 0;
    if ((errno != EINTR && errno != ENOBUFS) || attempt == 100) return errno;
  }
}

}  // namespace platform::divert::nf
