// CheckIPHeader, IPPrint in each contents mode and Print over arbitrary
// packets. Each record of the input is one packet, pushed either through
// CheckIPHeader (which locates the headers for the printers) or straight
// into the printers with the IP header assumed at the data start. Packets
// sit in buffers that end where their data ends, so any read past the packet
// is an AddressSanitizer error.
#include <cstddef>
#include <cstdint>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/standard/checkipheader.h"
#include "ostgraphsvc/graph/elements/standard/print.h"

namespace {

class Source : public Element {
 public:
  const char* class_name() const override { return "Source"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kPush; }
  void inject(Packet* p) { output(0).push(p); }
};

class Sink : public Element {
 public:
  const char* class_name() const override { return "Sink"; }
  const char* port_count() const override { return "-/0"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override { p->release(); }
};

Packet* exact_packet(const uint8_t* data, uint32_t length) {
  const uint32_t headroom = length < 64 ? 64 - length : 0;
  Packet* p = Packet::make(headroom, data, length);
  if (p == nullptr) return nullptr;
  return p->make_unshared(0, -static_cast<int>(p->tailroom()));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = [] {
    router_static_initialize();
    return true;
  }();
  (void)started;

  Router router(String(""));
  const char* printers[] = {
      "CONTENTS HEX, ID true, TTL true, TOS true, LENGTH true, PAINT true, AGGREGATE true",
      "PAYLOAD HEX, SWAP false, MAXLENGTH -1",
      "PAYLOAD ASCII",
      "CONTENTS ASCII, MAXLENGTH 7",
      "TIMESTAMP false",
  };
  router.add_element(new CheckIPHeader, String("ck"), String("DETAILS true"), String("fuzz"), 1);
  int index = 1;
  for (const char* config : printers) {
    router.add_element(new IPPrint, String("p") + String(index), String(config), String("fuzz"), 2);
    router.add_connection(index - 1, 0, index, 0);
    ++index;
  }
  router.add_element(new Print, String("pr"), String("MAXLENGTH -1, PRINTANNO true, HEADROOM true"),
                     String("fuzz"), 3);
  router.add_connection(index - 1, 0, index, 0);
  const int print_index = index++;
  router.add_element(new Print, String("pa"), String("x, 5, CONTENTS ASCII"), String("fuzz"), 3);
  router.add_connection(print_index, 0, index, 0);
  const int sink = index + 1;
  router.add_element(new Sink, String("sink"), String(""), String("fuzz"), 4);
  router.add_connection(index, 0, sink, 0);
  router.add_connection(0, 1, sink, 0);
  auto* checked = new Source;
  auto* direct = new Source;
  router.add_element(checked, String("src0"), String(""), String("fuzz"), 5);
  router.add_element(direct, String("src1"), String(""), String("fuzz"), 5);
  router.add_connection(sink + 1, 0, 0, 0);
  router.add_connection(sink + 2, 0, 1, 0);
  if (router.initialize(ErrorHandler::silent_handler()) < 0) __builtin_trap();

  // Records: control byte (path, message type), length, bytes.
  size_t at = 0;
  while (at + 2 <= size) {
    const uint8_t control = data[at];
    uint32_t length = data[at + 1];
    if (control & 0x80) length += 256u * (control & 0x07);
    at += 2;
    if (length > size - at) length = static_cast<uint32_t>(size - at);
    Packet* p = exact_packet(data + at, length);
    at += length;
    if (p == nullptr) continue;
    p->set_msgtype(static_cast<uint8_t>(1 + ((control >> 4) & 3)));
    if (control & 0x08) {
      p->set_network_header(p->data(), 20);
      direct->inject(p);
      continue;
    }
    checked->inject(p);
  }
  return 0;
}
