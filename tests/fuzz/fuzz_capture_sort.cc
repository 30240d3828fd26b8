// The first sorting steps over arbitrary packets: OstrelL3Classifier, with
// some of its outputs led through OstDirMux. Each record of the input is one
// packet with its type byte, decapsulation mark and capture record (none,
// inbound, outbound) chosen by a control byte. Packets sit in buffers that
// end where their data ends, so any read past a header is an
// AddressSanitizer error.
#include <cstddef>
#include <cstdint>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/local/ostrel_classifier.h"
#include "platform/divert/divert.h"
#include "tests/fuzz/element_fuzz.h"

using element_fuzz::Sink;
using element_fuzz::Source;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  static const WINDIVERT_ADDRESS inbound{};
  static const WINDIVERT_ADDRESS outbound = [] {
    WINDIVERT_ADDRESS record{};
    record.Flags = WINDIVERT_ADDRESS_OUTBOUND;
    return record;
  }();

  Router router(String(""));
  auto* cls = new OstrelL3Classifier;
  const String landmark("fuzz");
  router.add_element(cls, String("cls"), String(""), landmark, 1);
  router.add_element(new OstDirMux, String("mux"), String(""), landmark, 2);
  router.add_element(new Sink, String("sink"), String(""), landmark, 3);
  router.add_element(new Source, String("src"), String(""), landmark, 4);
  // Outputs 1, 2 and 3 through the direction demux (2 may lack a record).
  for (int i = 0; i < 7; ++i) {
    if (i >= 1 && i <= 3)
      router.add_connection(0, i, 1, 0);
    else
      router.add_connection(0, i, 2, 0);
  }
  router.add_connection(1, 0, 2, 0);
  router.add_connection(1, 1, 2, 0);
  router.add_connection(3, 0, 0, 0);
  if (router.initialize(ErrorHandler::silent_handler()) < 0) __builtin_trap();

  // Control byte: type in bits 0-4, mark in bit 5, record in bits 6-7.
  element_fuzz::for_each_record(data, size, [&](uint8_t control, Packet* p) {
    p->set_msgtype(control & 0x1F);
    if (control & 0x20) p->set_decap_mark_anno(kDecapMark);
    const int record = control >> 6;
    if (record == 1) set_capture_record(p, inbound);
    if (record >= 2) set_capture_record(p, outbound);
    cls->push(0, p);
  });
  return 0;
}
