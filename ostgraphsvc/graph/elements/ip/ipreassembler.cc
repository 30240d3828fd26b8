#include "ostgraphsvc/graph/elements/ip/ipreassembler.h"

#include <cstring>

#include "graph/args.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

namespace {

constexpr uint16_t kMF = 0x2000;
constexpr uint16_t kOffsetMask = 0x1FFF;
constexpr uint32_t kSpareTail = 8;

uint32_t header_length(const unsigned char* ip) { return (ip[0] & 0x0Fu) * 4u; }
unsigned char* payload(const Packet* q) {
  return q->network_header() + header_length(q->network_header());
}
int seconds(Timestamp t) { return static_cast<int>(t.nsec() / Timestamp::kNsecPerSec); }
bool same_datagram(const unsigned char* a, const unsigned char* b) {
  return std::memcmp(a + 4, b + 4, 2) == 0 && a[9] == b[9] && std::memcmp(a + 12, b + 12, 8) == 0;
}

String dump_handler(Element* e, void*) { return static_cast<IPReassembler*>(e)->dump(); }

}  // namespace

IPReassembler::IPReassembler() = default;

IPReassembler::~IPReassembler() { cleanup(kCleanupNotConfigured); }

uint32_t IPReassembler::data_length(const Packet* q) {
  return static_cast<uint32_t>(q->end_data() - payload(q));
}

IPReassembler::Link IPReassembler::load_link(const unsigned char* at) {
  Link link;
  std::memcpy(&link.offset, at, 2);
  std::memcpy(&link.end, at + 2, 2);
  return link;
}

void IPReassembler::store_link(unsigned char* at, Link link) {
  std::memcpy(at, &link.offset, 2);
  std::memcpy(at + 2, &link.end, 2);
}

int IPReassembler::configure(Vector<String>& conf, ErrorHandler* errh) {
  uint32_t himem = kDefaultHiMem;
  int anno = -1;
  if (Args(conf, this, errh)
          .read_uint("HIMEM", 0, himem)
          .read_anno("MAX_MTU_ANNO", 0, anno, 2)
          .check_and_commit() < 0)
    return -1;
  himem_ = himem;
  lowmem_ = himem / 4 * 3;
  // The offset is kept in a signed byte: only 0-127 take effect.
  mtu_anno_ = anno >= 0 && anno <= 127 ? anno : -1;
  return 0;
}

int IPReassembler::initialize(ErrorHandler*) {
  mem_used_ = 0;
  next_check_ = 0;
  return 0;
}

void IPReassembler::cleanup(CleanupStage) {
  for (Packet*& head : buckets_) {
    while (head != nullptr) {
      Packet* q = head;
      head = q->next();
      q->set_next(nullptr);
      q->release();
    }
  }
  mem_used_ = 0;
}

void IPReassembler::add_handlers() {
  Router::add_read_handler(this, "dump", dump_handler, nullptr);
}

Packet* IPReassembler::find_queue(const unsigned char* ip, Packet** prev) {
  *prev = nullptr;
  for (Packet* q = buckets_[ip[4]]; q != nullptr; q = q->next()) {
    if (same_datagram(q->network_header(), ip)) return q;
    *prev = q;
  }
  return nullptr;
}

void IPReassembler::relink(Packet* prev, Packet* q, Packet* next) {
  if (prev == nullptr) {
    buckets_[q->network_header()[4]] = q;
  } else {
    prev->set_next(q);
  }
  q->set_next(next);
}

void IPReassembler::unlink(Packet* q) {
  Packet* prev = nullptr;
  Packet* at = buckets_[q->network_header()[4]];
  while (at != nullptr && at != q) {
    prev = at;
    at = at->next();
  }
  if (at == q) {
    if (prev == nullptr) {
      buckets_[q->network_header()[4]] = q->next();
    } else {
      prev->set_next(q->next());
    }
  }
  q->set_next(nullptr);
  mem_used_ -= data_length(q) + kQueueOverhead;
}

// A queue lost with its packet (the framework released it on out of
// memory): its bytes leave the total and its chain skips it.
void IPReassembler::drop_link(int bucket, Packet* prev, Packet* next, uint32_t held) {
  mem_used_ -= held + kQueueOverhead;
  if (prev == nullptr) {
    buckets_[bucket] = next;
    return;
  }
  prev->set_next(next);
}

void IPReassembler::discard(Packet* q) {
  unlink(q);
  q->set_ip_reassembler_anno(0);
  if (noutputs() > 1) {
    output(1).push(q);
    return;
  }
  q->release();
}

void IPReassembler::expire(int now) {
  for (Packet*& head : buckets_) {
    Packet* q = head;
    while (q != nullptr) {
      Packet* next = q->next();
      if (seconds(q->timestamp()) < now - kExpireSeconds) discard(q);
      q = next;
    }
  }
}

void IPReassembler::reap(int now) {
  check();
  const int limits[3] = {now - 10, now - 5, 0};
  for (int pass = 0; pass < 3; ++pass) {
    for (Packet*& head : buckets_) {
      Packet* q = head;
      while (q != nullptr) {
        Packet* next = q->next();
        if (pass == 2 || seconds(q->timestamp()) < limits[pass]) {
          discard(q);
          ++failed_;
          if (mem_used_ <= lowmem_) return;
        }
        q = next;
      }
    }
  }
  router_chatter("IPReassembler: cannot free enough memory!");
}

Packet* IPReassembler::packet_action(Packet* p) {
  IPHeaderView ip;
  if (!IPHeaderView::locate(p, &ip)) return p;
  const uint16_t field = load_be16(ip.header() + 6);
  if (!(field & (kMF | kOffsetMask))) return p;

  ++frags_seen_;
  if (p->timestamp().nsec() == 0) p->set_timestamp(Timestamp::now());
  const int now = seconds(p->timestamp());
  if (now >= next_check_) {
    expire(now);
    next_check_ = now + kCheckInterval;
  }

  const uint32_t hlen = ip.header_length();
  const uint32_t off = (field & kOffsetMask) * 8u;
  const uint32_t end = off + ip.total_length() - hlen;
  const bool mf = field & kMF;
  if (ip.total_length() < hlen || end > 0xFFFF || end <= off || (mf && end % 8 != 0) ||
      ip.transport_length() < end - off || hlen + end > 0xFFFF) {
    p->release();
    ++bad_;
    return nullptr;
  }
  p->take(ip.transport_length() - (end - off));

  if (mem_used_ > himem_) reap(now);

  Packet* prev = nullptr;
  Packet* q = find_queue(ip.header(), &prev);
  if (q == nullptr) {
    open_queue(p, ip.header(), off, end);
    return nullptr;
  }
  return add_fragment(prev, q, p, off, end);
}

void IPReassembler::open_queue(Packet* p, const unsigned char* ip, uint32_t off, uint32_t end) {
  Packet* q = nullptr;
  if (off == 0) {
    q = p;
    if (q->shared()) q = q->make_unshared(0, 0);
  } else {
    const auto headroom = static_cast<uint32_t>(ip - p->buffer());
    q = Packet::make(headroom, nullptr, IPHeaderView::kMinHeaderLength + end, kSpareTail);
    if (q != nullptr) {
      unsigned char* h = q->data();
      std::memcpy(h, ip, IPHeaderView::kMinHeaderLength);
      h[0] = 0x45;
      // The gap in front stays readable ("dump" shows its first bytes).
      std::memset(h + IPHeaderView::kMinHeaderLength, 0, off);
      std::memcpy(h + IPHeaderView::kMinHeaderLength + off, ip + header_length(ip), end - off);
      q->set_network_header(h, IPHeaderView::kMinHeaderLength);
      q->set_timestamp(p->timestamp());
    }
    p->release();
  }
  if (q == nullptr) {
    router_chatter("out of memory");
    return;
  }
  unsigned char* h = q->network_header();
  store_be16(h + 6, load_be16(h + 6) & ~kOffsetMask);
  if (mtu_anno_ >= 0) q->set_anno_u16(mtu_anno_, static_cast<uint16_t>(q->end_data() - h));
  store_link(q->anno() + kIPReassemblerAnnoOffset,
             Link{static_cast<uint16_t>(off), static_cast<uint16_t>(end)});
  q->set_next(buckets_[h[4]]);
  buckets_[h[4]] = q;
  mem_used_ += end + kQueueOverhead;
  check();
}

bool IPReassembler::overlap_differs(const Packet* q, const unsigned char* data, uint32_t off,
                                    uint32_t end) {
  const unsigned char* buf = payload(q);
  const uint32_t held = data_length(q);
  const unsigned char* at = q->anno() + kIPReassemblerAnnoOffset;
  for (;;) {
    const Link link = load_link(at);
    if (link.offset >= end) return false;
    const uint32_t from = link.offset > off ? link.offset : off;
    const uint32_t to = link.end < end ? link.end : end;
    if (from < to && std::memcmp(buf + from, data + (from - off), to - from) != 0) return true;
    if (link.end >= held) return false;
    at = buf + link.end;
  }
}

Packet* IPReassembler::add_fragment(Packet* prev, Packet* q, Packet* p, uint32_t off,
                                    uint32_t end) {
  const unsigned char* fip = p->network_header();
  const uint32_t fhlen = header_length(fip);
  const bool frag_mf = load_be16(fip + 6) & kMF;
  if (mtu_anno_ >= 0) {
    const auto flen = static_cast<uint16_t>(p->end_data() - fip);
    if (q->anno_u16(mtu_anno_) < flen) q->set_anno_u16(mtu_anno_, flen);
  }

  const uint32_t held = data_length(q);
  const int bucket = q->network_header()[4];
  const bool queue_mf = load_be16(q->network_header() + 6) & kMF;
  // Past a known end, or a last piece ending below data already held: the
  // datagram cannot be both, and the gap at its end may not hold a link.
  if ((end > held && !queue_mf) || (!frag_mf && end < held)) {
    p->release();
    return nullptr;
  }
  if (overlap_differs(q, fip + fhlen, off, end)) {
    // Overlaps that rewrite held bytes are how traffic slips past
    // inspection: the whole datagram goes.
    unlink(q);
    q->release();
    p->release();
    ++bad_;
    return nullptr;
  }
  if (end > held) {
    const uint32_t grow = end - held;
    const uint32_t spare = kSpareTail + (frag_mf ? end - off : 0);
    Packet* next = q->next();
    const auto ip_offset = static_cast<uint32_t>(q->network_header() - q->data());
    const auto hlen = header_length(q->network_header());
    Packet* grown = q;
    if (q->tailroom() < grow + kSpareTail) {
      grown = q->put(grow + spare);
      if (grown != nullptr) grown->take(spare);
    } else {
      grown = q->put(grow);
    }
    if (grown == nullptr) {
      router_chatter("out of memory");
      drop_link(bucket, prev, next, held);
      p->release();
      return nullptr;
    }
    q = grown;
    relink(prev, q, next);
    q->set_network_header(q->data() + ip_offset, hlen);
    store_link(payload(q) + held, Link{static_cast<uint16_t>(end), static_cast<uint16_t>(end)});
    mem_used_ += grow;
  }

  // Merge [off, end) into the chain of received ranges.
  unsigned char* buf = payload(q);
  unsigned char* l_at = q->anno() + kIPReassemblerAnnoOffset;
  while (load_link(l_at).end < off) l_at = buf + load_link(l_at).end;
  unsigned char* r_at = l_at;
  while (load_link(r_at).end < end) r_at = buf + load_link(r_at).end;
  Link l = load_link(l_at);
  const Link r = load_link(r_at);
  if (end < r.offset) {
    store_link(buf + end, r);
    l.end = static_cast<uint16_t>(end);
  } else {
    l.end = r.end;
  }
  if (off < l.offset) l.offset = static_cast<uint16_t>(off);
  store_link(l_at, l);
  std::memcpy(buf + off, fip + fhlen, end - off);

  if (off == 0) {
    // Adopt the first fragment's link-level bytes, header and options.
    const auto front = static_cast<uint32_t>(fip + fhlen - p->data());
    const auto have = static_cast<uint32_t>(buf - q->data());
    const auto flags_offset = load_be16(q->network_header() + 6);
    const uint32_t first_link = q->ip_reassembler_anno();
    const uint16_t mtu_value = mtu_anno_ >= 0 ? q->anno_u16(mtu_anno_) : 0;
    Packet* next = q->next();
    if (front > have) {
      const uint32_t data_held = data_length(q);
      Packet* moved = q->push(front - have);
      if (moved == nullptr) {
        router_chatter("out of memory");
        drop_link(bucket, prev, next, data_held);
        p->release();
        return nullptr;
      }
      q = moved;
      relink(prev, q, next);
    } else {
      q->pull(have - front);
    }
    std::memcpy(q->data(), p->data(), front);
    q->set_network_header(q->data() + (fip - p->data()), fhlen);
    store_be16(q->network_header() + 6, flags_offset);
    std::memcpy(q->anno(), p->anno(), kAnnoSize);
    q->set_ip_reassembler_anno(first_link);
    if (mtu_anno_ >= 0) q->set_anno_u16(mtu_anno_, mtu_value);
    q->set_packet_type(p->packet_type());
    q->set_timestamp(p->timestamp());
  }

  unsigned char* h = q->network_header();
  if (!frag_mf) store_be16(h + 6, load_be16(h + 6) & ~kMF);
  const Link first = load_link(q->anno() + kIPReassemblerAnnoOffset);
  const uint32_t length = data_length(q);
  if ((load_be16(h + 6) & kMF) || first.offset != 0 || first.end != length) {
    p->release();
    return nullptr;
  }

  unlink(q);
  const uint32_t total = header_length(h) + length;
  if (total > 0xFFFF) {
    // A later first fragment's options pushed the datagram past what a
    // total length can say.
    q->release();
    p->release();
    ++bad_;
    return nullptr;
  }
  ++good_;
  store_be16(h + 2, static_cast<uint16_t>(total));
  set_ip_header_checksum(h, header_length(h));
  q->set_ip_reassembler_anno(0);
  q->set_timestamp(p->timestamp());
  p->release();
  return q;
}

void IPReassembler::check() {
  ErrorHandler* errh = ErrorHandler::default_handler();
  if (errh == nullptr) return;
  uint32_t mem = 0;
  for (int b = 0; b < kBuckets; ++b) {
    for (Packet* q = buckets_[b]; q != nullptr; q = q->next()) {
      const unsigned char* h = q->network_header();
      if (h == nullptr) {
        errh->error("buck %d: missing IP header", b);
        continue;
      }
      const uint32_t length = data_length(q);
      mem += length + kQueueOverhead;
      StringBuilder prefix;
      prefix.append_printf(128, "%d: %u.%u.%u.%u > %u.%u.%u.%u [%u] %u%s: ", b, h[12], h[13], h[14],
                           h[15], h[16], h[17], h[18], h[19], load_be16(h + 4), length,
                           (load_be16(h + 6) & kMF) ? "+" : "");
      const String pre = prefix.take_string();
      if (h[4] != b) errh->error("%sin wrong bucket", pre.c_str());
      const unsigned char* at = q->anno() + kIPReassemblerAnnoOffset;
      uint32_t prev_end = 0;
      bool first = true;
      for (;;) {
        const Link link = load_link(at);
        const auto pos = static_cast<int>(at - payload(q));
        const bool ok = link.offset <= link.end && link.end <= length &&
                        (first || link.offset > prev_end) &&
                        (link.offset < link.end || link.end == length);
        if (!ok) {
          errh->error("%sbad chunk (%d, %d) at %d", pre.c_str(), link.offset, link.end,
                      first ? -1 : pos);
          break;
        }
        if (link.end == length) break;
        if (link.end + 4u > length) {
          errh->error("%sbad chunk (%d, %d) at %d", pre.c_str(), link.offset, link.end, pos);
          break;
        }
        prev_end = link.end;
        first = false;
        at = payload(q) + link.end;
      }
    }
  }
  if (mem != mem_used_) errh->error("bad mem_used: have %u, claim %u", mem, mem_used_);
}

String IPReassembler::dump() {
  check();
  StringBuilder sb;
  sb << "frags seen total:    " << frags_seen_ << "\ngood reassemblies:   " << good_
     << "\nfailed reassemblies: " << failed_ << "\nbad fragments seen:  " << bad_
     << "\ncached chunk data:\n";
  for (Packet* head : buckets_) {
    for (Packet* q = head; q != nullptr; q = q->next()) {
      const unsigned char* h = q->network_header();
      const uint32_t length = data_length(q);
      const unsigned char* d = payload(q);
      const unsigned short a = length >= 2 ? load_be16(d) : 0;
      const unsigned short b = length >= 4 ? load_be16(d + 2) : 0;
      sb.append_printf(96, " (%d.%d.%d.%d, %hu, %d.%d.%d.%d, %hu) %d", h[12], h[13], h[14], h[15],
                       a, h[16], h[17], h[18], h[19], b, load_be16(h + 4));
      const unsigned char* at = q->anno() + kIPReassemblerAnnoOffset;
      for (;;) {
        const Link link = load_link(at);
        if (link.offset >= link.end || link.end > length) break;
        sb.append_printf(16, " (%d,%d)", link.offset, link.end);
        if (link.end + 4u > length || load_link(d + link.end).offset <= link.end) break;
        at = d + link.end;
      }
      sb << "\n";
    }
  }
  return sb.take_string();
}
