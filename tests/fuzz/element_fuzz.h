// Pieces the element fuzz targets share: a push source and a freeing sink to
// wire elements between, packets whose buffers end where their data ends (so
// any read past a header is an AddressSanitizer error), and a clock the
// target moves between packets.
#ifndef TESTS_FUZZ_ELEMENT_FUZZ_H_
#define TESTS_FUZZ_ELEMENT_FUZZ_H_

#include <cstdint>
#include <ctime>

#include "graph/element.h"
#include "graph/packet.h"

namespace element_fuzz {

inline int64_t now_msec = 1000;

inline void fuzz_clock(struct timespec* now) {
  now->tv_sec = static_cast<time_t>(now_msec / 1000);
  now->tv_nsec = static_cast<long>(now_msec % 1000) * 1000000L;
}

class Source : public Element {
 public:
  const char* class_name() const override { return "Source"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kPush; }
};

class Sink : public Element {
 public:
  const char* class_name() const override { return "Sink"; }
  const char* port_count() const override { return "-/0"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override { p->release(); }
};

// `length` bytes with no tailroom and the network header at the start.
inline Packet* exact_packet(const uint8_t* data, uint32_t length) {
  const uint32_t headroom = length < 64 ? 64 - length : 0;
  Packet* p = Packet::make(headroom, data, length);
  if (p == nullptr) return nullptr;
  p = p->make_unshared(0, -static_cast<int>(p->tailroom()));
  if (p != nullptr) p->set_network_header(p->data(), 20);
  return p;
}

}  // namespace element_fuzz

#endif  // TESTS_FUZZ_ELEMENT_FUZZ_H_
