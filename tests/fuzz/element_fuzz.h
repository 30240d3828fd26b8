// Pieces the element fuzz targets share: a push source and a freeing sink to
// wire elements between, packets whose buffers end where their data ends (so
// any read past a header is an AddressSanitizer error), the common record
// format of their inputs, and a clock the target moves between packets.
#ifndef TESTS_FUZZ_ELEMENT_FUZZ_H_
#define TESTS_FUZZ_ELEMENT_FUZZ_H_

#include <cstddef>
#include <cstdint>
#include <ctime>

#include "graph/element.h"
#include "graph/framework_static.h"
#include "graph/packet.h"

namespace element_fuzz {

// Sets up the framework's static tables on the first call.
inline void start_framework() {
  static const bool started = [] {
    router_static_initialize();
    return true;
  }();
  (void)started;
}

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

// Splits `data` into records of a control byte, a length byte and that many
// bytes (fewer if the input ends first) and calls `take(control, packet)` for
// each packet made; `take` owns the packet.
template <typename Take>
void for_each_record(const uint8_t* data, size_t size, Take&& take) {
  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t control = data[at];
    uint32_t length = data[at + 1];
    at += 2;
    if (length > size - at) length = static_cast<uint32_t>(size - at);
    Packet* p = exact_packet(data + at, length);
    at += length;
    if (p != nullptr) take(control, p);
  }
}

}  // namespace element_fuzz

#endif  // TESTS_FUZZ_ELEMENT_FUZZ_H_
