// The path-MTU elements over arbitrary packets: each record of the input is
// one packet for OstrelIPFragmenter (whose fragments run on into
// IPReassembler), OstrelTCPMSSFix, ICMPError or IPReassembler directly, with
// a chosen MTU annotation and the clock moved between packets so that
// queues age and get reaped. Packets sit in buffers that end where their
// data ends, so any read past a header is an AddressSanitizer error.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/icmp/icmperror.h"
#include "ostgraphsvc/graph/elements/ip/fragmenter.h"
#include "ostgraphsvc/graph/elements/ip/ipreassembler.h"
#include "ostgraphsvc/graph/elements/ip/tcpmssfix.h"
#include "tests/fuzz/element_fuzz.h"

using element_fuzz::exact_packet;
using element_fuzz::fuzz_clock;
using element_fuzz::now_msec;
using element_fuzz::Sink;
using element_fuzz::Source;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = [] {
    router_static_initialize();
    set_system_time_source(fuzz_clock);
    return true;
  }();
  (void)started;

  Router router(String(""));
  Element* elements[4] = {new OstrelIPFragmenter, new IPReassembler, new OstrelTCPMSSFix,
                          new ICMPError};
  router.add_element(elements[0], String("frag"), String("576, VERBOSE true"), String("fuzz"), 1);
  router.add_element(elements[1], String("reass"), String("HIMEM 20000, MAX_MTU_ANNO 40"),
                     String("fuzz"), 2);
  router.add_element(elements[2], String("mss"), String("1300, WINDOW_SCALING 7"), String("fuzz"),
                     3);
  router.add_element(elements[3], String("err"), String("10.0.0.1, 3, 4, 10.0.0.255"),
                     String("fuzz"), 4);
  router.add_element(new Sink, String("sink"), String(""), String("fuzz"), 5);
  for (int i = 0; i < 4; ++i) {
    router.add_element(new Source, String("src") + String(i), String(""), String("fuzz"), 6);
  }
  router.add_connection(5, 0, 0, 0);  // src0 -> frag
  router.add_connection(0, 0, 1, 0);  // frag -> reass
  router.add_connection(0, 1, 4, 0);
  router.add_connection(1, 0, 4, 1);
  router.add_connection(1, 1, 4, 2);
  router.add_connection(6, 0, 2, 0);  // src1 -> mss
  router.add_connection(2, 0, 4, 3);
  router.add_connection(7, 0, 3, 0);  // src2 -> err
  router.add_connection(3, 0, 4, 4);
  router.add_connection(8, 0, 1, 0);  // src3 -> reass
  if (router.initialize(ErrorHandler::silent_handler()) < 0) __builtin_trap();

  // Records: control byte (element, MTU choice, bypass, clock step), two
  // length bytes, the packet.
  static const uint16_t kMTUs[4] = {0, 68, 300, 1500};
  size_t at = 0;
  while (at + 3 <= size) {
    const uint8_t control = data[at];
    uint32_t length = static_cast<uint32_t>(data[at + 1] << 8 | data[at + 2]);
    at += 3;
    if (length > size - at) length = static_cast<uint32_t>(size - at);
    now_msec += (control >> 5) * 4000;
    Packet* p = exact_packet(data + at, length);
    at += length;
    if (p == nullptr) continue;
    p->set_mtu_anno(kMTUs[(control >> 2) & 3]);
    p->set_fragment_anno((control >> 4) & 1);
    p->set_icmp_paramprob_anno(static_cast<uint8_t>(length));
    elements[control & 3]->push(0, p);
  }
  const Handler* h = Router::find_handler(elements[1], String("dump"));
  if (h != nullptr) h->invoke_read(elements[1], String());
  return 0;
}
