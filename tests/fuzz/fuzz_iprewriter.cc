// IPRewriter over arbitrary packets: each record of the input is one packet
// pushed on one of three inputs (pattern, nochange, keep), some with the
// NAT-flush annotation, with the clock moved between packets so that flows
// expire, guarantees run out and the bounded store evicts. Packets sit in
// buffers that end where their data ends, so any read past a header is an
// AddressSanitizer error.
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
#include "ostgraphsvc/graph/elements/tcpudp/iprewriter.h"
#include "tests/fuzz/element_fuzz.h"

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
  auto* rw = new IPRewriter;
  router.add_element(rw, String("rw"),
                     String("pattern 10.0.0.1 1024-1100 - - 0 1, nochange 1, keep 0 1, "
                            "CAPACITY 16, GUARANTEE 1, UDP_GUARANTEE 0, TCP_NODATA_TIMEOUT 5, "
                            "UDP_TIMEOUT 3, REAP_INTERVAL 10"),
                     String("fuzz"), 1);
  router.add_element(new Sink, String("sink"), String(""), String("fuzz"), 2);
  for (int i = 0; i < 3; ++i) {
    router.add_element(new Source, String("src") + String(i), String(""), String("fuzz"), 3);
    router.add_connection(2 + i, 0, 0, i);
  }
  router.add_connection(0, 0, 1, 0);
  router.add_connection(0, 1, 1, 1);
  if (router.initialize(ErrorHandler::silent_handler()) < 0) __builtin_trap();

  // Control byte: input, flush, clock step.
  element_fuzz::for_each_record(data, size, [&](uint8_t control, Packet* p) {
    now_msec += (control >> 4) * 700;
    p->set_nat_flush_anno(control & 8);
    rw->push((control & 3) % 3, p);
  });
  for (const char* name : {"tcp_table", "udp_table", "patterns", "size"}) {
    const Handler* h = Router::find_handler(rw, String(name));
    if (h != nullptr) h->invoke_read(rw, String());
  }
  return 0;
}
