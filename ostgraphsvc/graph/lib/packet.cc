#include "graph/packet.h"

#include <arpa/inet.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>

#include "graph/router_log.h"

namespace {

// The free lists: packets linked through next, default-size buffers through
// their first eight bytes. One limit bounds each list.
Packet* free_packets = nullptr;
int free_packet_count = 0;
unsigned char* free_buffers = nullptr;
int free_buffer_count = 0;
int limit = 0;

// Only the first few reallocations for lack of room are worth a message.
constexpr int kExpensiveMessages = 5;
int expensive_push_count = 0;
int expensive_put_count = 0;

// Spare bytes a reallocation adds so that later pushes or puts fit in place.
constexpr uint32_t kReallocSlack = 128;

unsigned char* next_free_buffer(unsigned char* buffer) {
  unsigned char* next;
  std::memcpy(&next, buffer, sizeof next);
  return next;
}

void pool_buffer(unsigned char* buffer) {
  if (free_buffer_count >= limit) {
    std::free(buffer);
    return;
  }
  std::memcpy(buffer, &free_buffers, sizeof free_buffers);
  free_buffers = buffer;
  ++free_buffer_count;
}

// Sixteen 16-byte stores: compiled as a plain memset the area becomes a
// "rep stos" whose start-up cost dominates making a pooled packet.
void zero_anno(unsigned char* anno) {
  using Block = uint64_t __attribute__((vector_size(16)));
  const Block zero = {};
#pragma GCC unroll 16
  for (int i = 0; i < kAnnoSize; i += 16) std::memcpy(anno + i, &zero, sizeof zero);
}

// Out of line so that the copy does not cost make a stack frame.
__attribute__((noinline)) Packet* copy_in(Packet* p, const void* data, uint32_t length) {
  std::memcpy(p->data(), data, length);
  return p;
}

// A pointer into the old buffer moved to the new one, where the old head
// lies `shift` bytes after the new head; null stays null.
unsigned char* rebase(unsigned char* p, const unsigned char* old_head, unsigned char* new_head,
                      int64_t shift) {
  return p != nullptr ? new_head + (shift + (p - old_head)) : nullptr;
}

}  // namespace

Packet* Packet::take_object() {
  if (free_packets == nullptr) return new (std::nothrow) Packet();
  Packet* p = free_packets;
  free_packets = p->next_;
  --free_packet_count;
  return p;
}

void Packet::put_object(Packet* p) {
  if (free_packet_count >= limit) {
    delete p;
    return;
  }
  p->next_ = free_packets;
  free_packets = p;
  ++free_packet_count;
}

void Packet::init(unsigned char* buffer, uint32_t size, uint32_t headroom, uint32_t length) {
  flags_ = 0;
  // A recycled object still holds its last type; a maker that does not set
  // one must not pass that on.
  msgtype_ = 0;
  use_count_ = 1;
  data_owner_ = nullptr;
  head_ = buffer;
  data_ = buffer + headroom;
  tail_ = data_ + length;
  end_ = buffer + size;
  zero_anno(anno_);
  mac_header_ = nullptr;
  network_header_ = nullptr;
  transport_header_ = nullptr;
  packet_type_ = 0;
  timestamp_ = Timestamp();
  next_ = nullptr;
  prev_ = nullptr;
  destructor_ = nullptr;
  destructor_arg_ = nullptr;
  sched_entry_ = SchedQueueEntry{};
  sched_entry_.packet = this;
}

Packet* Packet::make(uint32_t headroom, const void* data, uint32_t length, uint32_t tailroom) {
  uint64_t need = uint64_t{headroom} + length + tailroom;
  Packet* p = free_packets;
  unsigned char* buffer = free_buffers;
  // The warm-pool path makes no call, so it needs no stack frame.
  if (need > kDefaultBufferSize) [[unlikely]]
    return make_slow(headroom, data, length, need);
  if (p == nullptr || buffer == nullptr) [[unlikely]]
    return make_slow(headroom, data, length, need);
  free_packets = p->next_;
  --free_packet_count;
  free_buffers = next_free_buffer(buffer);
  --free_buffer_count;
  p->init(buffer, kDefaultBufferSize, headroom, length);
  if (data == nullptr || length == 0) return p;
  return copy_in(p, data, length);
}

Packet* Packet::make_slow(uint32_t headroom, const void* data, uint32_t length, uint64_t need) {
  if (need > UINT32_MAX) return nullptr;
  Packet* p = take_object();
  if (p == nullptr) return nullptr;

  uint32_t size = need > kDefaultBufferSize ? static_cast<uint32_t>(need) : kDefaultBufferSize;
  unsigned char* buffer;
  if (need <= kDefaultBufferSize && free_buffers != nullptr) {
    buffer = free_buffers;
    free_buffers = next_free_buffer(buffer);
    --free_buffer_count;
  } else {
    buffer = static_cast<unsigned char*>(std::malloc(size));
  }
  if (buffer == nullptr) {
    put_object(p);
    return nullptr;
  }
  p->init(buffer, size, headroom, length);
  if (data != nullptr && length > 0) std::memcpy(p->data_, data, length);
  return p;
}

void Packet::release_data() {
  if (data_owner_ != nullptr) {
    data_owner_->release();
    return;
  }
  if (destructor_ != nullptr) {
    destructor_(head_, buffer_length(), destructor_arg_);
    return;
  }
  std::free(head_);
}

void Packet::release() {
  if (--use_count_ > 0) return;
  bool keep_buffer =
      data_owner_ == nullptr && destructor_ == nullptr && buffer_length() == kDefaultBufferSize;
  // Both lists have room: the common case, without a call.
  if (keep_buffer && free_packet_count < limit && free_buffer_count < limit) [[likely]] {
    next_ = free_packets;
    free_packets = this;
    ++free_packet_count;
    std::memcpy(head_, &free_buffers, sizeof free_buffers);
    free_buffers = head_;
    ++free_buffer_count;
    return;
  }
  unsigned char* kept = keep_buffer ? head_ : nullptr;
  if (kept == nullptr) release_data();
  put_object(this);
  if (kept != nullptr) pool_buffer(kept);
}

Packet* Packet::clone() {
  Packet* p = take_object();
  if (p == nullptr) return nullptr;
  p->flags_ = flags_;
  p->msgtype_ = msgtype_;
  p->head_ = head_;
  p->data_ = data_;
  p->tail_ = tail_;
  p->end_ = end_;
  std::memcpy(p->anno_, anno_, sizeof anno_);
  p->mac_header_ = mac_header_;
  p->network_header_ = network_header_;
  p->transport_header_ = transport_header_;
  p->packet_type_ = packet_type_;
  p->timestamp_ = timestamp_;
  p->next_ = next_;
  p->prev_ = prev_;
  p->destructor_ = nullptr;
  p->destructor_arg_ = nullptr;
  // A clone is queued on its own: it never shares its original's links.
  p->sched_entry_ = SchedQueueEntry{};
  p->sched_entry_.packet = p;
  p->use_count_ = 1;
  p->data_owner_ = data_owner_ != nullptr ? data_owner_ : this;
  ++p->data_owner_->use_count_;
  return p;
}

Packet* Packet::make_unshared(int extra_headroom, int extra_tailroom) {
  if (use_count_ > 1) {
    Packet* copy = clone();
    if (copy == nullptr) {
      release();
      return nullptr;
    }
    // The copy borrows this buffer, so it stays alive through the copy.
    Packet* result = copy->make_unshared(extra_headroom, extra_tailroom);
    release();
    return result;
  }

  // Shrinking past the headroom or tailroom would cut into the data.
  int64_t front = extra_headroom;
  int64_t back = extra_tailroom;
  if (front < -int64_t{headroom()}) front = -int64_t{headroom()};
  if (back < -int64_t{tailroom()}) back = -int64_t{tailroom()};

  int64_t old_size = buffer_length();
  int64_t new_size = old_size + front + back;
  if (new_size < kMinUnsharedBufferSize) new_size = kMinUnsharedBufferSize;
  unsigned char* buffer =
      new_size <= UINT32_MAX ? static_cast<unsigned char*>(std::malloc(new_size)) : nullptr;
  if (buffer == nullptr) {
    release();
    return nullptr;
  }

  // The old head lands `front` bytes after the new one; bytes that would fall
  // before the new head or past old_size + back are dropped.
  int64_t skip = front < 0 ? -front : 0;
  int64_t copy_end = back < 0 ? old_size + back : old_size;
  std::memcpy(buffer + skip + front, head_ + skip, static_cast<size_t>(copy_end - skip));

  unsigned char* old_head = head_;
  data_ = rebase(data_, old_head, buffer, front);
  tail_ = rebase(tail_, old_head, buffer, front);
  mac_header_ = rebase(mac_header_, old_head, buffer, front);
  network_header_ = rebase(network_header_, old_head, buffer, front);
  transport_header_ = rebase(transport_header_, old_head, buffer, front);

  release_data();
  head_ = buffer;
  end_ = buffer + new_size;
  data_owner_ = nullptr;
  destructor_ = nullptr;
  destructor_arg_ = nullptr;
  use_count_ = 1;
  return this;
}

Packet* Packet::push(uint32_t n) {
  if (headroom() >= n && !shared()) {
    data_ -= n;
    return this;
  }
  if (n > INT_MAX - kReallocSlack) {
    release();
    return nullptr;
  }
  if (headroom() < n && expensive_push_count < kExpensiveMessages) {
    ++expensive_push_count;
    router_chatter("expensive Packet::push; have %d wanted %d", static_cast<int>(headroom()),
                   static_cast<int>(n));
  }
  Packet* p = make_unshared(static_cast<int>((n + kReallocSlack) & ~3u), 0);
  if (p == nullptr) return nullptr;
  p->data_ -= n;
  return p;
}

Packet* Packet::put(uint32_t n) {
  if (tailroom() >= n && !shared()) {
    tail_ += n;
    return this;
  }
  if (n > INT_MAX - kReallocSlack) {
    release();
    return nullptr;
  }
  if (tailroom() < n && expensive_put_count < kExpensiveMessages) {
    ++expensive_put_count;
    router_chatter("expensive Packet::put; have %d wanted %d", static_cast<int>(tailroom()),
                   static_cast<int>(n));
  }
  Packet* p = make_unshared(0, static_cast<int>(n + kReallocSlack));
  if (p == nullptr) return nullptr;
  p->tail_ += n;
  return p;
}

void Packet::pull(uint32_t n) {
  if (n > length()) {
    router_chatter("Packet::pull %d > length %d\n", static_cast<int>(n),
                   static_cast<int>(length()));
    n = length();
  }
  data_ += n;
}

void Packet::take(uint32_t n) {
  if (n > length()) {
    router_chatter("Packet::take %d > length %d\n", static_cast<int>(n),
                   static_cast<int>(length()));
    n = length();
  }
  tail_ -= n;
}

uint16_t Packet::route_value_anno() const {
  return ntohs(get_anno<uint16_t>(kRouteValueAnnoOffset));
}

void Packet::set_route_value_anno(uint16_t v) {
  set_anno<uint16_t>(kRouteValueAnnoOffset, htons(v));
}

int Packet::pool_limit() { return limit; }
int Packet::pooled_packet_count() { return free_packet_count; }
int Packet::pooled_buffer_count() { return free_buffer_count; }

void Packet::static_cleanup() {
  while (free_packets != nullptr) {
    Packet* p = free_packets;
    free_packets = p->next_;
    delete p;
  }
  free_packet_count = 0;
  while (free_buffers != nullptr) {
    unsigned char* b = free_buffers;
    free_buffers = next_free_buffer(b);
    std::free(b);
  }
  free_buffer_count = 0;
}

void init_pkt_pool_size(int n) {
  limit = n;
  log_syslog_level(6, "init_pkt_pool_size", __FILE__, __LINE__, "Initialized packet pool for %d",
                   n);
}
