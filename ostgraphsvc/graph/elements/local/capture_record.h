// The capture address record of a captured packet, kept in the packet's own
// annotation area.
//
// Anything that copies the annotation area (a clone, a fragment, a
// reassembled datagram adopting its first fragment's annotations) copies the
// record with it, so every reader goes through the packet's own copy and
// never depends on the packet it was copied from still being alive.
// `capture_record_anno` stays set (non-null: the packet has a record) but is
// never read through: in a copy it points into the original.
//
// Threads: the packet thread; no state.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_CAPTURE_RECORD_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_CAPTURE_RECORD_H_

#include <cstddef>

#include "graph/packet.h"
#include "platform/divert/divert.h"

// 80 bytes of the annotation area, clear of every named annotation.
inline constexpr int kCaptureRecordCopyAnnoOffset = 136;
static_assert(kCaptureRecordCopyAnnoOffset + sizeof(WINDIVERT_ADDRESS) <= kAnnoSize);

// Gives `p` its own copy of `record` and marks it as having one.
void set_capture_record(Packet* p, const WINDIVERT_ADDRESS& record);

// Copies the capture record of `p` into `*out`; false for a packet without
// one.
bool capture_record_of(const Packet* p, WINDIVERT_ADDRESS* out);

// The outbound bit of the record of `p`, which must have one. Reads only the
// flag word, once per packet in the sorting elements.
inline bool capture_record_outbound(const Packet* p) {
  constexpr int kFlags = kCaptureRecordCopyAnnoOffset + offsetof(WINDIVERT_ADDRESS, Flags);
  return (p->anno_u32(kFlags) & WINDIVERT_ADDRESS_OUTBOUND) != 0;
}

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_CAPTURE_RECORD_H_
