// The netfilter-queue backend: capture rules in the raw table send host IPv4
// packets to a queue of ours; recv reads them in batches, lets the packets the
// filter does not match go on at once and steals the others; send puts packets
// back through a marked raw socket. See netfilter_rules.h, netfilter_queue.h
// and netfilter_inject.h for the three parts.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>

#include "platform/divert/backend.h"
#include "platform/divert/netfilter_inject.h"
#include "platform/divert/netfilter_queue.h"
#include "platform/divert/netfilter_rules.h"
#include "platform/error/win_error.h"
#include "platform/fs/paths.h"

namespace platform::divert {
namespace {

using nf::MessageKind;
using nf::QueuedPacket;

// Queue numbers we try, from the first free one up.
constexpr uint16_t kFirstQueue = 30000;
constexpr uint32_t kQueueCount = 1024;
// Packets the kernel holds for us before it drops; the netlink buffer behind
// it is 16 MiB.
constexpr uint32_t kQueueMaxLen = 4096;
// One receive slot holds one netlink message with the largest payload.
constexpr size_t kSlotSize = 65536 + 4096;
constexpr uint32_t kBatch = WINDIVERT_BATCH_MAX;

constexpr const char* kQueueList = "/proc/thread-self/net/netfilter/nfnetlink_queue";

std::string read_queue_list() {
  std::string text;
  const int fd = ::open(under_sysroot(kQueueList).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return text;
  char buf[4096];
  for (;;) {
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  ::close(fd);
  return text;
}

bool has_net_caps() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[2] = {};
  if (syscall(SYS_capget, &header, data) != 0) return false;
  const uint32_t need = (1u << CAP_NET_ADMIN) | (1u << CAP_NET_RAW);
  return (data[0].effective & need) == need;
}

// Removes the chains whose queue has no listener: their process died.
void remove_stale_chains() {
  std::string saved;
  if (!nf::save_raw(&saved)) return;
  const std::vector<uint16_t> live = nf::live_queues(read_queue_list());
  const std::string script = nf::removal_script(saved, [&live](uint16_t queue) {
    for (uint16_t q : live) {
      if (q == queue) return false;
    }
    return true;
  });
  if (!script.empty()) nf::restore(script);
}

// Removes the chain of `queue` and its jumps; true when none is left.
bool remove_chain(uint16_t queue) {
  std::string saved;
  if (!nf::save_raw(&saved)) return false;
  const std::string script = nf::removal_script(saved, [queue](uint16_t q) { return q == queue; });
  return script.empty() || nf::restore(script);
}

uint32_t open_error(int err) {
  switch (err) {
    case EPERM:
    case EACCES:
      return kErrorAccessDenied;
    case ENOENT:
    case EOPNOTSUPP:
    case EPROTONOSUPPORT:
    case EAFNOSUPPORT:
      return kErrorNotSupported;
    default:
      return win_error_from_errno(err);
  }
}

std::mutex g_sweep_mu;
bool g_swept = false;

class NetfilterBackend final : public DivertBackend {
 public:
  NetfilterBackend() = default;
  ~NetfilterBackend() override;

  uint32_t open(const FilterProgram& filter) override;
  uint32_t recv(RecvArea* area) override;
  uint32_t send(const OutPacket* packets, uint32_t count, uint32_t* sent_bytes) override;
  void shutdown_recv() override;
  void close() override;
  DivertCounters counters() const override;

 private:
  struct Pending {
    const uint8_t* data;
    uint32_t len;
    WINDIVERT_ADDRESS addr;
  };

  // Reads what the queue holds (at most one batch), sends the verdicts and
  // appends the stolen packets to `pending_`. 0 or an errno (EAGAIN: nothing).
  int read_batch();
  // Accepts every packet still queued to us; for the destructor.
  void release_queued();

  const FilterProgram* filter_ = nullptr;
  nf::QueueSocket queue_;
  nf::Injector injector_;
  int close_fd_ = -1;
  uint8_t* slots_ = nullptr;
  bool rules_loaded_ = false;

  std::atomic<bool> closed_{false};
  std::atomic<bool> shut_{false};
  std::mutex close_mu_;
  std::mutex recv_mu_;  // guards everything below up to send_mu_
  Pending pending_[kBatch];
  uint32_t pending_head_ = 0;
  uint32_t pending_count_ = 0;
  bool last_read_full_ = false;
  mmsghdr msgs_[kBatch];
  iovec iovs_[kBatch];
  alignas(4) uint8_t verdicts_[(kBatch + 1) * nf::kVerdictMessageSize];
  std::mutex send_mu_;  // one sender on the raw socket

  std::atomic<uint64_t> seen_{0}, stolen_{0}, received_{0}, reinjected_{0}, oversize_{0},
      send_dropped_{0};
};

NetfilterBackend::~NetfilterBackend() {
  close();
  release_queued();
  if (slots_ != nullptr) munmap(slots_, kSlotSize * kBatch);
  if (close_fd_ >= 0) ::close(close_fd_);
}

uint32_t NetfilterBackend::open(const FilterProgram& filter) {
  filter_ = &filter;
  if (!has_net_caps()) return kErrorAccessDenied;
  {
    std::lock_guard<std::mutex> lock(g_sweep_mu);
    if (!g_swept) {
      g_swept = true;
      remove_stale_chains();
    }
  }
  close_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (close_fd_ < 0) return win_error_from_errno(errno);
  int err = queue_.open(kFirstQueue, kQueueCount, kQueueMaxLen);
  if (err != 0) return open_error(err);
  err = injector_.open(nf::kReinjectMark);
  if (err != 0) return open_error(err);
  void* mem = mmap(nullptr, kSlotSize * kBatch, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mem == MAP_FAILED) return win_error_from_errno(errno);
  slots_ = static_cast<uint8_t*>(mem);

  // A chain with our queue number can only be a dead process's: we hold the
  // queue now.
  if (!remove_chain(queue_.queue())) return kErrorNotSupported;
  if (!nf::restore(nf::install_script(queue_.queue()))) return kErrorNotSupported;
  rules_loaded_ = true;
  return 0;
}

int NetfilterBackend::read_batch() {
  for (uint32_t i = 0; i < kBatch; ++i) {
    iovs_[i].iov_base = slots_ + i * kSlotSize;
    iovs_[i].iov_len = kSlotSize;
    msgs_[i] = mmsghdr{};
    msgs_[i].msg_hdr.msg_iov = &iovs_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
  }
  int n;
  do {
    n = recvmmsg(queue_.fd(), msgs_, kBatch, MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  last_read_full_ = static_cast<uint32_t>(n) == kBatch;

  const int64_t now = timestamp_now();
  const uint16_t queue = queue_.queue();
  size_t used = 0;
  bool steal = false;
  uint32_t last_stolen = 0;
  for (int m = 0; m < n; ++m) {
    const uint8_t* p = slots_ + static_cast<size_t>(m) * kSlotSize;
    size_t left = msgs_[m].msg_len;
    // A datagram normally holds one packet message; walk it all the same.
    while (left > 0) {
      QueuedPacket pkt;
      int code = 0;
      size_t consumed = 0;
      const MessageKind kind = nf::parse_message(p, left, &pkt, &code, &consumed);
      if (kind == MessageKind::kMalformed || consumed == 0) break;
      p += consumed;
      left -= consumed;
      if (kind != MessageKind::kPacket) continue;

      bool take = false;
      const bool outbound = pkt.hook == nf::kHookLocalOut;
      if (pkt.original_len > pkt.payload_len) {
        // Over the copy cap: we could not give it back whole, so it passes.
        oversize_.fetch_add(1, std::memory_order_relaxed);
      } else if (pkt.hw_protocol == ETH_P_IP && (outbound || pkt.hook == nf::kHookPreRouting)) {
        WINDIVERT_ADDRESS addr{};
        addr.Timestamp = now;
        addr.Flags = record_flags(outbound, false, false);
        addr.IfIdx = outbound ? pkt.outdev : pkt.indev;
        PacketFields fields;
        const bool ipv4 = pkt.payload_len >= 20 &&
                          ((pkt.payload[2] << 8) | pkt.payload[3]) == int(pkt.payload_len) &&
                          packet_fields(pkt.payload, pkt.payload_len, addr, &fields);
        if (ipv4) {
          seen_.fetch_add(1, std::memory_order_relaxed);
          take = filter_->matches(fields);
        }
        if (take) {
          pending_[(pending_head_ + pending_count_) % kBatch] =
              Pending{pkt.payload, pkt.payload_len, addr};
          ++pending_count_;
          stolen_.fetch_add(1, std::memory_order_relaxed);
          steal = true;
          last_stolen = pkt.id;
        }
      }
      if (!take)
        nf::put_verdict(verdicts_, sizeof(verdicts_), &used, queue, pkt.id, nf::kVerdictAccept,
                        false);
    }
  }
  // The accepts go first in the same send: the batch drop covers every
  // pending id up to the last stolen one, which by then are only ours.
  if (steal) {
    nf::put_verdict(verdicts_, sizeof(verdicts_), &used, queue, last_stolen, nf::kVerdictDrop,
                    true);
  }
  if (used > 0) queue_.send(verdicts_, used);
  return 0;
}

uint32_t NetfilterBackend::recv(RecvArea* area) {
  std::lock_guard<std::mutex> lock(recv_mu_);
  area->packet_bytes = 0;
  area->count = 0;
  for (;;) {
    if (closed_.load()) return kErrorInvalidHandle;
    if (pending_count_ == 0) {
      if (area->count > 0 && !last_read_full_) return 0;
      const int err = read_batch();
      if (err == EAGAIN || err == EWOULDBLOCK) {
        if (area->count > 0) return 0;
        // The rules are gone, so what the socket held was all there was.
        if (shut_.load()) return kWinDivertErrorNoData;
        pollfd fds[2] = {{queue_.fd(), POLLIN, 0}, {close_fd_, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return win_error_from_errno(errno);
        continue;
      }
      if (err != 0) {
        if (area->count > 0) return 0;
        return win_error_from_errno(err);
      }
      if (pending_count_ == 0) continue;
    }

    while (pending_count_ > 0 && area->count < area->record_capacity) {
      const Pending& p = pending_[pending_head_];
      if (area->count == 0 && p.len > area->packet_capacity) {
        pending_head_ = (pending_head_ + 1) % kBatch;
        --pending_count_;
        oversize_.fetch_add(1, std::memory_order_relaxed);
        return kWinDivertErrorInsufficientBuffer;
      }
      if (p.len > area->packet_capacity - area->packet_bytes) return 0;
      memcpy(area->packets + area->packet_bytes, p.data, p.len);
      area->records[area->count] = p.addr;
      area->packet_bytes += p.len;
      ++area->count;
      received_.fetch_add(1, std::memory_order_relaxed);
      pending_head_ = (pending_head_ + 1) % kBatch;
      --pending_count_;
    }
    if (area->count == area->record_capacity) return 0;
  }
}

uint32_t NetfilterBackend::send(const OutPacket* packets, uint32_t count, uint32_t* sent_bytes) {
  *sent_bytes = 0;
  if (closed_.load()) return kErrorInvalidHandle;
  std::lock_guard<std::mutex> lock(send_mu_);
  uint64_t bytes = 0;
  uint32_t dropped = 0;
  const int err = injector_.send(packets, count, &bytes, &dropped);
  reinjected_.fetch_add(count - dropped, std::memory_order_relaxed);
  send_dropped_.fetch_add(dropped, std::memory_order_relaxed);
  if (err != 0) return win_error_from_errno(err);
  *sent_bytes = static_cast<uint32_t>(bytes);
  return 0;
}

void NetfilterBackend::shutdown_recv() {
  std::lock_guard<std::mutex> lock(close_mu_);
  if (closed_.load() || shut_.exchange(true)) return;
  if (rules_loaded_) remove_chain(queue_.queue());
  rules_loaded_ = false;
  if (close_fd_ >= 0) {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(close_fd_, &one, sizeof(one));
  }
}

void NetfilterBackend::close() {
  std::lock_guard<std::mutex> lock(close_mu_);
  if (closed_.exchange(true)) return;
  // Rules first, while we still hold the queue: a chain without a listener
  // would look like a dead process's to another one.
  if (rules_loaded_) remove_chain(queue_.queue());
  rules_loaded_ = false;
  if (close_fd_ >= 0) {
    const uint64_t one = 1;
    // Left set, so that every receiver now or later wakes.
    [[maybe_unused]] ssize_t n = write(close_fd_, &one, sizeof(one));
  }
}

void NetfilterBackend::release_queued() {
  std::lock_guard<std::mutex> lock(recv_mu_);
  if (slots_ == nullptr) return;
  // Nothing pending is handed out any more, so the first slot is free.
  uint8_t* buf = slots_;
  for (;;) {
    ssize_t n = ::recv(queue_.fd(), buf, kSlotSize, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    size_t used = 0;
    size_t off = 0;
    while (off < static_cast<size_t>(n)) {
      QueuedPacket pkt;
      int code = 0;
      size_t consumed = 0;
      const MessageKind kind =
          nf::parse_message(buf + off, static_cast<size_t>(n) - off, &pkt, &code, &consumed);
      if (kind == MessageKind::kMalformed || consumed == 0) break;
      off += consumed;
      if (kind == MessageKind::kPacket) {
        nf::put_verdict(verdicts_, sizeof(verdicts_), &used, queue_.queue(), pkt.id,
                        nf::kVerdictAccept, false);
      }
    }
    if (used > 0) queue_.send(verdicts_, used);
  }
}

DivertCounters NetfilterBackend::counters() const {
  DivertCounters c;
  c.seen = seen_.load();
  c.stolen = stolen_.load();
  c.received = received_.load();
  c.reinjected = reinjected_.load();
  c.oversize = oversize_.load();
  c.send_dropped = send_dropped_.load();
  // The kernel drops when our queue or socket is full; it counts, we read.
  if (queue_.fd() >= 0) c.overflow = nf::queue_drops(read_queue_list(), queue_.queue());
  return c;
}

}  // namespace

std::unique_ptr<DivertBackend> make_netfilter_backend() {
  return std::make_unique<NetfilterBackend>();
}

}  // namespace platform::divert
