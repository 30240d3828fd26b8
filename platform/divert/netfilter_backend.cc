// The netfilter-queue backend: capture rules in the raw table send host IPv4
// packets to a queue of ours; recv reads them in batches, lets the packets the
// filter does not match go on at once and holds the others in the kernel
// queue. A held packet that comes back through send goes back as the verdict
// on its own queue entry (NF_ACCEPT, with the new bytes when they changed), so
// the kernel carries on with it where it stopped and it crosses the stack
// once. Anything else sent (copies, packets the service made, packets whose
// entry was already settled) goes through a marked raw socket. See
// netfilter_rules.h, netfilter_queue.h and netfilter_inject.h for the parts.
//
// Held packets. Every packet message read takes the next position of a ring
// of kHeld, and its bytes stay in that position's slot until the position is
// freed, so send can tell whether the service changed them. Each record
// handed out carries a token (this backend's tag, the position and the queue
// id) in its reserved bytes. A held packet is settled, and its position can be
// reused, once it has its verdict: NF_ACCEPT when it comes back; NF_DROP when
// it has not come back by the time a packet of a later receive does (it was
// consumed, or is held by the service past its cycle and goes out through the
// raw socket), when it is older than kHoldNs, when the ring needs its position,
// or at close. Verdicts go out in batches wherever the ids allow.
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if_ether.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/random.h>
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
#include "platform/divert/packet.h"
#include "platform/error/win_error.h"
#include "platform/fs/paths.h"

namespace platform::divert {
namespace {

using nf::Fate;
using nf::MessageKind;
using nf::QueuedPacket;

// Queue numbers we try, from the first free one up.
constexpr uint16_t kFirstQueue = 30000;
constexpr uint32_t kQueueCount = 1024;
// Packets the kernel queues for us before it drops: those we hold (at most
// kHeld) and those not read yet; the netlink buffer behind it is 16 MiB.
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

// Positions of the ring of read packets; the kernel may hold as many for us.
constexpr uint32_t kHeld = 2048;
static_assert((kHeld & (kHeld - 1)) == 0);
// A handed-out packet not back after this long was consumed or is held.
constexpr int64_t kHoldNs = 1'000'000'000;

// Where the token lies in a record's reserved bytes.
constexpr size_t kTokenTag = 0;
constexpr size_t kTokenSeq = 4;
constexpr size_t kTokenId = 8;

uint32_t new_tag() {
  static std::atomic<uint32_t> count{0};
  uint32_t tag = 0;
  if (getrandom(&tag, sizeof(tag), GRND_NONBLOCK) != sizeof(tag)) tag = static_cast<uint32_t>(getpid());
  tag ^= count.fetch_add(0x9E3779B9u);
  return tag == 0 ? 1 : tag;
}

class NetfilterBackend final : public DivertBackend {
 public:
  NetfilterBackend() : tag_(new_tag()), writer_(&queue_, 0) {}
  ~NetfilterBackend() override;

  uint32_t open(const FilterProgram& filter) override;
  uint32_t recv(RecvArea* area) override;
  uint32_t send(const OutPacket* packets, uint32_t count, uint32_t* sent_bytes) override;
  void release(const WINDIVERT_ADDRESS* records, uint32_t count) override;
  void shutdown_recv() override;
  void close() override;
  DivertCounters counters() const override;

 private:
  enum class State : uint8_t { kPending, kOut, kGone };

  struct Held {
    uint32_t seq;
    uint32_t id;
    const uint8_t* data;
    uint32_t len;
    uint32_t take;  // the receive that handed it out
    State state;
    bool outbound;
    Fate fate;  // scratch of one settling pass
    WINDIVERT_ADDRESS addr;
  };

  Held& at(uint32_t seq) { return held_[seq & (kHeld - 1)]; }
  uint8_t* slot(uint32_t seq) { return slots_ + size_t{seq & (kHeld - 1)} * kSlotSize; }

  // The rest run with table_mu_ held.
  // Reads what the queue holds into free positions, settles what the filter
  // does not take and queues the rest for hand-out. 0 or an errno (EAGAIN:
  // nothing).
  int read_batch();
  // The held packet a record's token names, or null.
  Held* find_out(const WINDIVERT_ADDRESS& addr);
  // Marks kDrop every handed-out packet of a receive before `take` and every
  // one stolen before `deadline`; returns how many.
  uint32_t expire(uint32_t take, int64_t deadline);
  // Sends the verdicts that the fates of the handed-out packets call for
  // (after whatever the writer holds already) and frees settled positions.
  // The table lock stays held while the kernel carries the accepted packets
  // on inside the send: the receiving thread waits and then reads a larger
  // batch, which measured at half the CPU per byte of letting it run.
  // Returns the errno of a verdict send that failed, else 0.
  int settle();
  // Gives `h` its fate for the next settle, which looks no further than the
  // furthest packet marked.
  void mark(Held& h, Fate fate);
  // Drops everything still held; for close.
  void drop_all();
  // Milliseconds until the oldest handed-out packet expires; -1 for none.
  int hold_timeout_ms();

  // Accepts every packet still queued to us; for the destructor.
  void release_queued();

  const uint32_t tag_;
  const FilterProgram* filter_ = nullptr;
  nf::QueueSocket queue_;
  nf::Injector injector_;
  int close_fd_ = -1;
  uint8_t* slots_ = nullptr;
  bool rules_loaded_ = false;

  std::atomic<bool> closed_{false};
  std::atomic<bool> shut_{false};
  std::mutex close_mu_;
  std::mutex recv_mu_;  // one receiver at a time; taken before table_mu_
  bool last_read_full_ = false;
  mmsghdr msgs_[kBatch];
  iovec iovs_[kBatch];

  std::mutex table_mu_;  // guards everything below up to send_mu_
  std::unique_ptr<Held[]> held_ = std::make_unique<Held[]>(kHeld);
  uint32_t head_ = 0;     // oldest position in use
  uint32_t pending_ = 0;  // first position not yet handed out
  uint32_t tail_ = 0;     // next position to fill
  uint32_t takes_ = 0;    // receives that handed something out
  uint32_t marked_end_ = 0;  // past the furthest packet marked since the last settle
  bool dropped_all_ = false;
  nf::VerdictWriter writer_;
  std::unique_ptr<nf::HeldFate[]> fates_ = std::make_unique<nf::HeldFate[]>(kHeld);
  std::unique_ptr<nf::PlannedVerdict[]> plan_ = std::make_unique<nf::PlannedVerdict[]>(kHeld);

  std::mutex send_mu_;  // one sender on the raw socket

  std::atomic<uint64_t> seen_{0}, stolen_{0}, received_{0}, reinjected_{0}, oversize_{0},
      send_dropped_{0}, by_verdict_{0}, expired_{0}, checksum_dropped_{0};
};

NetfilterBackend::~NetfilterBackend() {
  close();
  release_queued();
  if (slots_ != nullptr) munmap(slots_, kSlotSize * kHeld);
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
  writer_.set_queue(queue_.queue());
  err = injector_.open(nf::kReinjectMark);
  if (err != 0) return open_error(err);
  // Reserved address space: a slot's pages are touched only as far as its
  // packets reach.
  void* mem = mmap(nullptr, kSlotSize * kHeld, PROT_READ | PROT_WRITE,
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
  std::lock_guard<std::mutex> table(table_mu_);
  // Free positions first: settled ones at the head, then (the ring is the
  // bound on what the kernel holds for us) the oldest held ones.
  settle();
  if (tail_ - head_ > kHeld - kBatch) {
    for (uint32_t seq = head_; seq != tail_ && tail_ - seq > kHeld - kBatch; ++seq) {
      if (at(seq).state == State::kOut) {
        mark(at(seq), Fate::kDrop);
        expired_.fetch_add(1, std::memory_order_relaxed);
      }
    }
    settle();
  }
  const uint32_t room = kHeld - (tail_ - head_);
  const uint32_t want = room < kBatch ? room : kBatch;
  for (uint32_t i = 0; i < want; ++i) {
    iovs_[i].iov_base = slot(tail_ + i);
    iovs_[i].iov_len = kSlotSize;
    msgs_[i] = mmsghdr{};
    msgs_[i].msg_hdr.msg_iov = &iovs_[i];
    msgs_[i].msg_hdr.msg_iovlen = 1;
  }
  int n;
  do {
    n = recvmmsg(queue_.fd(), msgs_, want, MSG_DONTWAIT, nullptr);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return errno;
  last_read_full_ = static_cast<uint32_t>(n) == want;

  const int64_t now = timestamp_now();
  const bool closed = closed_.load();
  for (int m = 0; m < n; ++m) {
    const uint32_t seq = tail_++;
    Held& h = at(seq);
    h = Held{};
    h.seq = seq;
    h.state = State::kGone;
    const uint8_t* p = slot(seq);
    size_t left = msgs_[m].msg_len;
    // The kernel sends one packet per datagram; a second one could not be
    // held in this slot's place, so only the first is taken.
    bool first = true;
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
      uint32_t verdict = nf::kVerdictAccept;
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
        // The kernel would drop an arriving segment whose checksum is wrong;
        // the service recomputes checksums, so it must never see one.
        if (take && !outbound && (pkt.skb_info & nf::kSkbCsumNotVerified) != 0 &&
            (pkt.skb_info & nf::kSkbCsumNotReady) == 0 &&
            !transport_checksum_ok(pkt.payload, parse_ipv4(pkt.payload, pkt.payload_len))) {
          take = false;
          verdict = nf::kVerdictDrop;
          checksum_dropped_.fetch_add(1, std::memory_order_relaxed);
        }
        if (take && (!first || closed)) {
          take = false;
          verdict = nf::kVerdictDrop;
          stolen_.fetch_add(1, std::memory_order_relaxed);
          expired_.fetch_add(1, std::memory_order_relaxed);
        }
        if (take) {
          std::memcpy(addr.Reserved2 + kTokenTag, &tag_, 4);
          std::memcpy(addr.Reserved2 + kTokenSeq, &seq, 4);
          std::memcpy(addr.Reserved2 + kTokenId, &pkt.id, 4);
          h.id = pkt.id;
          h.data = pkt.payload;
          h.len = pkt.payload_len;
          h.state = State::kPending;
          h.outbound = outbound;
          h.addr = addr;
          stolen_.fetch_add(1, std::memory_order_relaxed);
        }
      }
      first = false;
      if (!take) writer_.verdict(pkt.id, verdict, false);
    }
  }
  writer_.flush();
  return 0;
}

NetfilterBackend::Held* NetfilterBackend::find_out(const WINDIVERT_ADDRESS& addr) {
  uint32_t tag, seq, id;
  std::memcpy(&tag, addr.Reserved2 + kTokenTag, 4);
  std::memcpy(&seq, addr.Reserved2 + kTokenSeq, 4);
  std::memcpy(&id, addr.Reserved2 + kTokenId, 4);
  if (tag != tag_ || seq - head_ >= pending_ - head_) return nullptr;
  Held& h = at(seq);
  if (h.seq != seq || h.id != id || h.state != State::kOut || h.fate != Fate::kStay) return nullptr;
  // Verdicts continue the packet where it was taken: it cannot change sides.
  if (h.outbound != ((addr.Flags & WINDIVERT_ADDRESS_OUTBOUND) != 0)) return nullptr;
  return &h;
}

void NetfilterBackend::mark(Held& h, Fate fate) {
  h.fate = fate;
  if (h.seq + 1 - head_ > marked_end_ - head_) marked_end_ = h.seq + 1;
}

uint32_t NetfilterBackend::expire(uint32_t take, int64_t deadline) {
  uint32_t n = 0;
  for (uint32_t seq = head_; seq != pending_; ++seq) {
    Held& h = at(seq);
    if (h.state != State::kOut || h.fate != Fate::kStay) continue;
    // Takes and timestamps grow along the ring: the rest is newer still.
    if (h.take >= take && h.addr.Timestamp >= deadline) break;
    mark(h, Fate::kDrop);
    ++n;
  }
  expired_.fetch_add(n, std::memory_order_relaxed);
  return n;
}

int NetfilterBackend::settle() {
  // Nothing past the last packet given a fate since the last pass changes.
  const uint32_t end = marked_end_ - head_ <= pending_ - head_ ? marked_end_ : pending_;
  size_t n = 0;
  for (uint32_t seq = head_; seq != end; ++seq) {
    Held& h = at(seq);
    if (h.state != State::kOut) {
      fates_[n++] = {h.id, Fate::kGone};
      continue;
    }
    fates_[n++] = {h.id, h.fate};
  }
  const size_t planned = nf::plan_verdicts(fates_.get(), n, plan_.get());
  for (size_t i = 0; i < planned; ++i) writer_.verdict(plan_[i].id, plan_[i].verdict, plan_[i].batch);
  const int err = writer_.flush();
  for (uint32_t seq = head_; seq != end; ++seq) {
    Held& h = at(seq);
    if (h.state == State::kOut && h.fate != Fate::kStay) h.state = State::kGone;
  }
  while (head_ != tail_ && at(head_).state == State::kGone) ++head_;
  if (pending_ - head_ > tail_ - head_) pending_ = head_;
  marked_end_ = head_;
  return err;
}

void NetfilterBackend::drop_all() {
  // Everything queued to us up to the newest id read is ours: one batch drop.
  uint32_t last = 0;
  bool any = false;
  for (uint32_t seq = head_; seq != tail_; ++seq) {
    if (at(seq).state == State::kGone) continue;
    last = at(seq).id;
    any = true;
    if (at(seq).state == State::kOut) expired_.fetch_add(1, std::memory_order_relaxed);
  }
  if (any) writer_.verdict(last, nf::kVerdictDrop, true);
  writer_.flush();
  head_ = pending_ = marked_end_ = tail_;
  dropped_all_ = true;
}

int NetfilterBackend::hold_timeout_ms() {
  for (uint32_t seq = head_; seq != pending_; ++seq) {
    const Held& h = at(seq);
    if (h.state != State::kOut) continue;
    const int64_t left = h.addr.Timestamp + kHoldNs - timestamp_now();
    return left <= 0 ? 0 : static_cast<int>(left / 1'000'000) + 1;
  }
  return -1;
}

uint32_t NetfilterBackend::recv(RecvArea* area) {
  std::lock_guard<std::mutex> lock(recv_mu_);
  area->packet_bytes = 0;
  area->count = 0;
  bool counted = false;
  for (;;) {
    if (closed_.load()) return kErrorInvalidHandle;
    uint32_t first = 0;
    uint32_t end = 0;
    const uint32_t before = area->packet_bytes;
    {
      std::lock_guard<std::mutex> table(table_mu_);
      first = pending_;
      while (pending_ != tail_ && area->count < area->record_capacity) {
        Held& h = at(pending_);
        if (h.state == State::kGone) {
          ++pending_;
          continue;
        }
        if (area->count == 0 && h.len > area->packet_capacity) {
          // Never handed out: dropped like a packet the ring had no room for.
          h.state = State::kGone;
          writer_.verdict(h.id, nf::kVerdictDrop, false);
          writer_.flush();
          ++pending_;
          oversize_.fetch_add(1, std::memory_order_relaxed);
          return kWinDivertErrorInsufficientBuffer;
        }
        if (h.len > area->packet_capacity - area->packet_bytes) break;
        if (!counted) {
          ++takes_;
          counted = true;
        }
        h.take = takes_;
        h.state = State::kOut;
        h.fate = Fate::kStay;
        area->records[area->count++] = h.addr;
        area->packet_bytes += h.len;
        ++pending_;
      }
      end = pending_;
    }
    // Only this thread fills slots, so the bytes stay while they are copied
    // even if a send settles their packets meanwhile.
    uint8_t* out = area->packets + before;
    uint32_t handed = 0;
    for (uint32_t seq = first; counted && seq != end; ++seq) {
      const Held& h = at(seq);
      if (h.take != takes_) continue;
      std::memcpy(out, h.data, h.len);
      out += h.len;
      ++handed;
    }
    received_.fetch_add(handed, std::memory_order_relaxed);
    if (area->count == area->record_capacity) return 0;
    {
      std::lock_guard<std::mutex> table(table_mu_);
      if (pending_ != tail_) return 0;  // the next one does not fit
    }
    if (area->count > 0 && !last_read_full_) return 0;

    const int err = read_batch();
    if (err == 0) continue;
    if (area->count > 0) return 0;
    if (err != EAGAIN && err != EWOULDBLOCK) return win_error_from_errno(err);
    // The rules are gone, so what the socket held was all there was.
    if (shut_.load()) return kWinDivertErrorNoData;
    int timeout;
    {
      std::lock_guard<std::mutex> table(table_mu_);
      timeout = hold_timeout_ms();
    }
    pollfd fds[2] = {{queue_.fd(), POLLIN, 0}, {close_fd_, POLLIN, 0}};
    const int ready = poll(fds, 2, timeout);
    if (ready < 0 && errno != EINTR) return win_error_from_errno(errno);
    if (ready == 0) {
      std::lock_guard<std::mutex> table(table_mu_);
      if (expire(0, timestamp_now() - kHoldNs) > 0) settle();
    }
  }
}

uint32_t NetfilterBackend::send(const OutPacket* packets, uint32_t count, uint32_t* sent_bytes) {
  *sent_bytes = 0;
  if (closed_.load()) return kErrorInvalidHandle;
  uint64_t bytes = 0;
  OutPacket raw_[kBatch];
  uint32_t raw = 0;
  uint32_t verdicts = 0;
  int verdict_err = 0;
  {
    std::lock_guard<std::mutex> table(table_mu_);
    uint32_t newest = 0;
    for (uint32_t i = 0; i < count; ++i) {
      const OutPacket& p = packets[i];
      Held* h = dropped_all_ ? nullptr : find_out(*p.addr);
      if (h == nullptr || p.len > nf::kCopyRange) {
        raw_[raw++] = p;
        continue;
      }
      if (p.len == h->len && std::memcmp(p.data, h->data, p.len) == 0) {
        mark(*h, Fate::kAccept);
      } else {
        // New bytes go first, ahead of any batch verdict that covers them.
        writer_.accept_with(h->id, p.data, p.len);
        mark(*h, Fate::kGone);
        h->state = State::kGone;
      }
      if (h->take > newest) newest = h->take;
      bytes += p.len;
      ++verdicts;
    }
    if (verdicts > 0) {
      // Counted first: the kernel may deliver them inside the send, and
      // whoever sees one arrive must find it counted.
      by_verdict_.fetch_add(verdicts, std::memory_order_relaxed);
      reinjected_.fetch_add(verdicts, std::memory_order_relaxed);
      // What an earlier receive handed out and has not come back by now will
      // not come back within its cycle.
      expire(newest, timestamp_now() - kHoldNs);
      verdict_err = settle();
      if (verdict_err != 0) {
        // The kernel holds them until the close drops them: not delivered.
        by_verdict_.fetch_sub(verdicts, std::memory_order_relaxed);
        reinjected_.fetch_sub(verdicts, std::memory_order_relaxed);
        send_dropped_.fetch_add(verdicts, std::memory_order_relaxed);
        bytes = 0;
      }
    }
  }
  if (verdict_err != 0 && raw == 0) return win_error_from_errno(verdict_err);
  if (raw > 0) {
    std::lock_guard<std::mutex> lock(send_mu_);
    uint64_t raw_bytes = 0;
    uint32_t dropped = 0;
    const int err = injector_.send(raw_, raw, &raw_bytes, &dropped);
    reinjected_.fetch_add(raw - dropped, std::memory_order_relaxed);
    send_dropped_.fetch_add(dropped, std::memory_order_relaxed);
    bytes += raw_bytes;
    if (err != 0 && (verdicts == 0 || verdict_err != 0)) return win_error_from_errno(err);
  }
  *sent_bytes = static_cast<uint32_t>(bytes);
  return 0;
}

void NetfilterBackend::release(const WINDIVERT_ADDRESS* records, uint32_t count) {
  std::lock_guard<std::mutex> table(table_mu_);
  if (dropped_all_) return;
  uint32_t n = 0;
  for (uint32_t i = 0; i < count; ++i) {
    Held* h = find_out(records[i]);
    if (h == nullptr) continue;
    mark(*h, Fate::kDrop);
    ++n;
  }
  if (n == 0) return;
  expired_.fetch_add(n, std::memory_order_relaxed);
  settle();
}

void NetfilterBackend::shutdown_recv() {
  std::lock_guard<std::mutex> lock(close_mu_);
  if (closed_.load() || shut_.load()) return;
  // Rules first: a receive that finds the socket empty after the flag may
  // take that as the end of what was captured.
  if (rules_loaded_) remove_chain(queue_.queue());
  rules_loaded_ = false;
  shut_.store(true);
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
  if (queue_.fd() >= 0) {
    std::lock_guard<std::mutex> table(table_mu_);
    drop_all();
  }
}

void NetfilterBackend::release_queued() {
  std::lock_guard<std::mutex> lock(recv_mu_);
  if (slots_ == nullptr) return;
  std::lock_guard<std::mutex> table(table_mu_);
  // Nothing is held any more, so the first slot is free.
  uint8_t* buf = slots_;
  for (;;) {
    ssize_t n = ::recv(queue_.fd(), buf, kSlotSize, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    size_t off = 0;
    while (off < static_cast<size_t>(n)) {
      QueuedPacket pkt;
      int code = 0;
      size_t consumed = 0;
      const MessageKind kind =
          nf::parse_message(buf + off, static_cast<size_t>(n) - off, &pkt, &code, &consumed);
      if (kind == MessageKind::kMalformed || consumed == 0) break;
      off += consumed;
      if (kind == MessageKind::kPacket) writer_.verdict(pkt.id, nf::kVerdictAccept, false);
    }
    writer_.flush();
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
  c.by_verdict = by_verdict_.load();
  c.expired = expired_.load();
  c.checksum_dropped = checksum_dropped_.load();
  // The kernel drops when our queue or socket is full; it counts, we read.
  if (queue_.fd() >= 0) c.overflow = nf::queue_drops(read_queue_list(), queue_.queue());
  return c;
}

}  // namespace

std::unique_ptr<DivertBackend> make_netfilter_backend() {
  return std::make_unique<NetfilterBackend>();
}

}  // namespace platform::divert
