// Route texts from outside: the bytes are written to the "ctrl" handler of a
// table with four outputs, then every 4-byte group of the input is looked
// up (plainly and as a packet's destination), the "lookup" handler reads the
// input as an address, and both dumps are made.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "graph/error_handler.h"
#include "graph/json.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/route/ostrel_radix_ip_lookup.h"
#include "tests/fuzz/element_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  OstrelRadixIPLookup table;
  if (table.set_port_counts(1, 4) != 0) return 0;
  const String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  table.run_ctrl(text, ErrorHandler::silent_handler());

  for (size_t at = 0; at + 4 <= size && at < 256; at += 4) {
    uint32_t word;
    std::memcpy(&word, data + at, 4);
    IPAddress gw;
    table.lookup_route(IPAddress(word), gw);
    Packet* p = Packet::make(0, nullptr, 20);
    if (p == nullptr) continue;
    p->set_dst_ip_anno(IPAddress(word));
    p->set_route_flags_anno(data[at] & 1);
    table.handle_push(p, nullptr);
    p->release();
  }
  String parameter = text;
  table.lookup_handler_text(parameter, ErrorHandler::silent_handler());
  table.dump_routes();
  Json array;
  OstrelRadixIPLookup::table_to_json(&table, "0", array);
  array.to_text();
  return 0;
}
