#include "ostgraphsvc/graph/elements/tcpudp/rewrite_flow.h"

#include <arpa/inet.h>

#include <bit>

#include "graph/string_builder.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/tcpudp/iprewriterbase.h"

uint32_t rewriter_now_msec() {
  return static_cast<uint32_t>(Timestamp::now().nsec() / Timestamp::kNsecPerMsec);
}

uint32_t FlowTuple::hashcode() const {
  const uint32_t sport = ntohs(sport_);
  const uint32_t dport = ntohs(dport_);
  uint32_t h = std::rotl(saddr_.addr(), static_cast<int>((sport & 15) + 1)) ^
               std::rotr(daddr_.addr(), static_cast<int>((dport & 15) + 1)) ^ (dport << 16 | sport);
  // The value above varies in little more than its port bits for one
  // client's flows, and a bucket count of 2^k - 1 folds the high half onto
  // the low one: at 10^6 flows most buckets would stay empty and chains
  // grow to dozens. One mixing round spreads it over every bit.
  h ^= h >> 16;
  h *= 0x7FEB352Du;
  h ^= h >> 15;
  h *= 0x846CA68Bu;
  h ^= h >> 16;
  return h;
}

void FlowTuple::unparse(StringBuilder& sb) const {
  const unsigned char* s = saddr_.data();
  const unsigned char* d = daddr_.data();
  sb.append_printf(64, "(%d.%d.%d.%d, %hu, %d.%d.%d.%d, %hu)", s[0], s[1], s[2], s[3],
                   static_cast<unsigned short>(ntohs(sport_)), d[0], d[1], d[2], d[3],
                   static_cast<unsigned short>(ntohs(dport_)));
}

namespace {

// The address pair, and the addresses and ports, as the checksums see them.
struct AddressWords {
  uint32_t saddr;
  uint32_t daddr;
};
struct TupleWords {
  uint32_t saddr;
  uint32_t daddr;
  uint16_t sport;
  uint16_t dport;
};

AddressWords address_words(const FlowTuple& t) { return {t.saddr().addr(), t.daddr().addr()}; }
TupleWords tuple_words(const FlowTuple& t) {
  return {t.saddr().addr(), t.daddr().addr(), t.sport(), t.dport()};
}

}  // namespace

RewriteFlow::RewriteFlow(RewriteInputSpec* owner, const FlowTuple& flowid,
                         const FlowTuple& rewritten, uint8_t ip_p, bool guaranteed, uint32_t expiry)
    : expiry_(expiry), ip_p_(ip_p), guaranteed_(guaranteed ? 1 : 0), owner_(owner) {
  entries_[0].init(flowid, owner->foutput, 0);
  entries_[1].init(rewritten.reverse(), owner->routput, 1);
  const AddressWords old_a = address_words(rewritten);
  const AddressWords new_a = address_words(flowid);
  ip_csum_delta_ = checksum_delta(&old_a, &new_a, sizeof old_a);
  const TupleWords old_t = tuple_words(rewritten);
  const TupleWords new_t = tuple_words(flowid);
  transport_csum_delta_ = checksum_delta(&old_t, &new_t, sizeof old_t);
}

void RewriteFlow::set_expiry(RewriteHeap* heap, bool guaranteed, uint32_t expiry) {
  const uint8_t which = guaranteed ? 1 : 0;
  if (which == guaranteed_) {
    const bool earlier = time_before(expiry, expiry_);
    expiry_ = expiry;
    // Later: settled when the flow reaches the top. Earlier: at once.
    if (earlier) heap->resift(this);
    return;
  }
  heap->remove(this);
  expiry_ = expiry;
  guaranteed_ = which;
  heap->push(this);
}

RewriteFlow* RewriteHeap::top(int which) {
  Vector<Slot>& h = heaps_[which];
  for (;;) {
    Slot& s = h[0];
    if (s.key == s.flow->expiry_) return s.flow;
    s.key = s.flow->expiry_;
    sift_down(h, 0);
  }
}

void RewriteHeap::push(RewriteFlow* flow) {
  Vector<Slot>& h = heaps_[flow->guaranteed_];
  const uint32_t i = static_cast<uint32_t>(h.size());
  h.push_back(Slot{flow->expiry_, flow});
  sift_up(h, i);
}

void RewriteHeap::remove(RewriteFlow* flow) {
  Vector<Slot>& h = heaps_[flow->guaranteed_];
  const uint32_t i = flow->place_;
  if (i >= static_cast<uint32_t>(h.size()) || h[static_cast<int>(i)].flow != flow) return;
  const Slot last = h.back();
  h.pop_back();
  flow->place_ = RewriteFlow::kNoPlace;
  if (last.flow == flow) return;
  h[static_cast<int>(i)] = last;
  last.flow->place_ = i;
  sift_up(h, i);
  sift_down(h, last.flow->place_);
}

void RewriteHeap::resift(RewriteFlow* flow) {
  Vector<Slot>& h = heaps_[flow->guaranteed_];
  const uint32_t i = flow->place_;
  if (i >= static_cast<uint32_t>(h.size()) || h[static_cast<int>(i)].flow != flow) return;
  h[static_cast<int>(i)].key = flow->expiry_;
  sift_up(h, i);
  sift_down(h, flow->place_);
}

void RewriteHeap::sift_up(Vector<Slot>& h, uint32_t i) {
  const Slot moving = h[static_cast<int>(i)];
  while (i > 0) {
    const uint32_t parent = (i - 1) / kArity;
    const Slot& p = h[static_cast<int>(parent)];
    if (!time_before(moving.key, p.key)) break;
    h[static_cast<int>(i)] = p;
    p.flow->place_ = i;
    i = parent;
  }
  h[static_cast<int>(i)] = moving;
  moving.flow->place_ = i;
}

void RewriteHeap::sift_down(Vector<Slot>& h, uint32_t i) {
  const uint32_t n = static_cast<uint32_t>(h.size());
  const Slot moving = h[static_cast<int>(i)];
  for (;;) {
    const uint32_t first = kArity * i + 1;
    if (first >= n) break;
    const uint32_t last = first + kArity < n ? first + kArity : n;
    uint32_t best = first;
    for (uint32_t c = first + 1; c < last; ++c)
      if (time_before(h[static_cast<int>(c)].key, h[static_cast<int>(best)].key)) best = c;
    const Slot& child = h[static_cast<int>(best)];
    if (!time_before(child.key, moving.key)) break;
    h[static_cast<int>(i)] = child;
    child.flow->place_ = i;
    i = best;
  }
  h[static_cast<int>(i)] = moving;
  moving.flow->place_ = i;
}
