#include "platform/divert/netfilter_inject.h"

#include <arpa/inet.h>
#include <netinet/ip.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::divert::nf {
namespace {

constexpr uint16_t kDf = 0x4000;
constexpr uint16_t kMf = 0x2000;
constexpr uint16_t kOffsetMask = 0x1FFF;

uint16_t load16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

void store16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

uint16_t header_checksum(const uint8_t* h, uint32_t hl) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 1 < hl; i += 2) {
    if (i == 10) continue;
    sum += load16(h + i);
  }
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(~sum);
}

}  // namespace

bool fragment_ipv4(const uint8_t* pkt, uint32_t len, uint32_t mtu, uint16_t new_id,
                   uint8_t* scratch,
                   const std::function<bool(const uint8_t* frag, uint32_t frag_len)>& emit) {
  if (len < 20 || (pkt[0] >> 4) != 4) return false;
  const uint32_t hl = (pkt[0] & 0x0Fu) * 4u;
  if (hl < 20 || hl > len || load16(pkt + 2) != len) return false;
  if (len <= mtu) return emit(pkt, len);
  const uint16_t frag = load16(pkt + 6);
  if ((frag & kDf) != 0 || mtu < hl + 8) return false;

  // Header of the later fragments: options without the copy bit become NOPs.
  uint8_t later[60];
  memcpy(later, pkt, hl);
  for (uint32_t i = 20; i < hl;) {
    const uint8_t type = later[i];
    if (type == IPOPT_EOL) break;
    if (type == IPOPT_NOP) {
      ++i;
      continue;
    }
    if (i + 1 >= hl) return false;
    const uint8_t olen = later[i + 1];
    if (olen < 2 || i + olen > hl) return false;
    if ((type & 0x80) == 0) memset(later + i, IPOPT_NOP, olen);
    i += olen;
  }

  const uint32_t room = (mtu - hl) & ~7u;
  const uint32_t data_len = len - hl;
  const uint32_t base_offset = frag & kOffsetMask;
  if (base_offset + (data_len - 1) / 8 > kOffsetMask) return false;
  const uint16_t id = load16(pkt + 4) != 0 ? load16(pkt + 4) : new_id;
  for (uint32_t off = 0; off < data_len; off += room) {
    const uint32_t chunk = std::min(room, data_len - off);
    memcpy(scratch, off == 0 ? pkt : later, hl);
    memcpy(scratch + hl, pkt + hl + off, chunk);
    store16(scratch + 2, static_cast<uint16_t>(hl + chunk));
    store16(scratch + 4, id);
    const bool more = off + chunk < data_len || (frag & kMf) != 0;
    store16(scratch + 6, static_cast<uint16_t>((frag & ~(kMf | kOffsetMask)) | (more ? kMf : 0) |
                                               (base_offset + off / 8)));
    store16(scratch + 10, header_checksum(scratch, hl));
    if (!emit(scratch, hl + chunk)) return false;
  }
  return true;
}

Injector::~Injector() {
  if (fd_ >= 0) ::close(fd_);
  if (probe_fd_ >= 0) ::close(probe_fd_);
}

int Injector::open(uint32_t mark) {
  fd_ = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
  if (fd_ < 0) return errno;
  if (setsockopt(fd_, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) return errno;
  int sndbuf = 4 << 20;
  if (setsockopt(fd_, SOL_SOCKET, SO_SNDBUFFORCE, &sndbuf, sizeof(sndbuf)) != 0) {
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));
  }
  // Send must not stall the capture loop for long: a full socket drops.
  timeval timeout{0, 200 * 1000};
  setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof(timeout));
  probe_fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe_fd_ < 0) return errno;
  scratch_.resize(65535);
  return inbound_.open();
}

bool Injector::send_fragmented(const uint8_t* pkt, uint32_t len, const sockaddr_in& to, int* err) {
  *err = EMSGSIZE;
  if ((load16(pkt + 6) & kDf) != 0) return false;
  int mtu = 0;
  socklen_t mtu_len = sizeof(mtu);
  if (connect(probe_fd_, reinterpret_cast<const sockaddr*>(&to), sizeof(to)) != 0 ||
      getsockopt(probe_fd_, IPPROTO_IP, IP_MTU, &mtu, &mtu_len) != 0 || mtu < 68) {
    *err = errno != 0 ? errno : EMSGSIZE;
    return false;
  }
  const uint16_t id = next_id_++;
  if (next_id_ == 0) next_id_ = 1;
  return fragment_ipv4(pkt, len, static_cast<uint32_t>(mtu), id, scratch_.data(),
                       [&](const uint8_t* frag, uint32_t frag_len) {
                         for (;;) {
                           if (sendto(fd_, frag, frag_len, 0,
                                      reinterpret_cast<const sockaddr*>(&to), sizeof(to)) >= 0) {
                             return true;
                           }
                           if (errno == EINTR) continue;
                           *err = errno;
                           return false;
                         }
                       });
}

int Injector::send(const OutPacket* packets, uint32_t count, uint64_t* sent_bytes,
                   uint32_t* dropped) {
  *sent_bytes = 0;
  *dropped = 0;
  int last_err = 0;
  bool polled = false;
  uint32_t n = 0;
  for (uint32_t i = 0; i < count && i < msgs_.size(); ++i) {
    const OutPacket& p = packets[i];
    uint32_t src, dst;
    memcpy(&src, p.data + 12, 4);
    memcpy(&dst, p.data + 16, 4);
    if ((p.addr->Flags & WINDIVERT_ADDRESS_OUTBOUND) == 0) {
      if (!polled) {
        polled = true;
        inbound_.poll_changes();
      }
      if (inbound_.check(src, dst, p.addr->IfIdx) != Delivery::kDeliver) {
        ++*dropped;
        last_err = EADDRNOTAVAIL;
        continue;
      }
    }
    addrs_[n] = sockaddr_in{};
    addrs_[n].sin_family = AF_INET;
    addrs_[n].sin_addr.s_addr = dst;
    iovs_[n].iov_base = const_cast<uint8_t*>(p.data);
    iovs_[n].iov_len = p.len;
    msgs_[n] = mmsghdr{};
    msgs_[n].msg_hdr.msg_name = &addrs_[n];
    msgs_[n].msg_hdr.msg_namelen = sizeof(sockaddr_in);
    msgs_[n].msg_hdr.msg_iov = &iovs_[n];
    msgs_[n].msg_hdr.msg_iovlen = 1;
    index_[n] = i;
    ++n;
  }

  uint32_t off = 0;
  while (off < n) {
    int r = sendmmsg(fd_, &msgs_[off], n - off, 0);
    if (r > 0) {
      for (uint32_t j = off; j < off + static_cast<uint32_t>(r); ++j) {
        *sent_bytes += iovs_[j].iov_len;
      }
      off += static_cast<uint32_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    // The message at `off` failed; the ones after it have not been tried.
    int err = r < 0 ? errno : EIO;
    const OutPacket& p = packets[index_[off]];
    if (err == EMSGSIZE && send_fragmented(p.data, p.len, addrs_[off], &err)) {
      *sent_bytes += p.len;
    } else {
      ++*dropped;
      last_err = err;
    }
    ++off;
  }
  if (*sent_bytes == 0 && *dropped > 0) return last_err;
  return 0;
}

}  // namespace platform::divert::nf
