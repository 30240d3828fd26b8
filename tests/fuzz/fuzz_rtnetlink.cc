// Route-socket replies are parsed field by field from kernel bytes: whatever
// they hold, the parsers must stay inside the buffer, always make progress and
// hand back only adapters, addresses and routes that are consistent; so must
// the reader of the answer to a one-destination route request.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/adapters/adapters.h"
#include "platform/adapters/best_route.h"

namespace {

void check_address(const platform::AdapterAddress& a) {
  if (a.family != AF_INET && a.family != AF_INET6) std::abort();
  if (a.prefix_len > (a.family == AF_INET ? 32 : 128)) std::abort();
  if (a.family == AF_INET && a.scope_id != 0) std::abort();
}

// The host bits under a prefix length, host order.
uint32_t host_bits(uint8_t prefix_len) { return prefix_len >= 32 ? 0 : ~uint32_t{0} >> prefix_len; }

void check_row(const platform::ForwardRow& r) {
  if (r.prefix_len > 32 || r.if_index == 0) std::abort();
  if ((ntohl(r.destination) & host_bits(r.prefix_len)) != 0) std::abort();
}

void check_routes(const uint8_t* buf, size_t size) {
  std::vector<platform::ForwardRow> rows(1);
  if (platform::parse_route_message(buf, size, &rows) == platform::ParseResult::kOk) {
    if (rows.size() < 2) std::abort();
  } else if (rows.size() != 1) {
    std::abort();  // rows of a refused or ignored message
  }
  rows.clear();
  uint32_t error = 0;
  platform::DumpStatus status = platform::parse_route_dump_buffer(buf, size, &rows, &error);
  if ((status == platform::DumpStatus::kFailed) != (error != 0)) std::abort();
  for (const platform::ForwardRow& r : rows) check_row(r);
  for (uint32_t destination : {0u, htonl(0x0A000001u), ~0u}) {
    const platform::ForwardRow* best = platform::choose_best_route(rows, destination);
    if (best == nullptr) continue;
    if (best < rows.data() || best >= rows.data() + rows.size()) std::abort();
    if ((ntohl(best->destination ^ destination) & ~host_bits(best->prefix_len)) != 0) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // An exact-size copy so that AddressSanitizer sees any read past the end.
  std::vector<uint8_t> copy(data, data + size);
  const uint8_t* buf = copy.data();

  platform::Adapter adapter;
  if (platform::parse_link_message(buf, size, &adapter) == platform::ParseResult::kOk) {
    if (adapter.index == 0 || adapter.name.empty()) std::abort();
    if (adapter.name.find('\0') != std::string::npos) std::abort();
  }
  uint32_t index = 0;
  platform::AdapterAddress address;
  if (platform::parse_addr_message(buf, size, &index, &address) == platform::ParseResult::kOk) {
    if (index == 0) std::abort();
    check_address(address);
  }

  platform::AdapterDump dump;
  uint32_t error = 0;
  platform::DumpStatus status = platform::parse_dump_buffer(buf, size, &dump, &error);
  if ((status == platform::DumpStatus::kFailed) != (error != 0)) std::abort();
  const size_t links = dump.links.size();
  for (int family : {AF_UNSPEC, AF_INET, AF_INET6}) {
    std::vector<platform::Adapter> adapters = platform::assemble_adapters(dump, family);
    if (adapters.size() > links) std::abort();
    for (size_t i = 0; i < adapters.size(); ++i) {
      if (i > 0 && adapters[i - 1].index >= adapters[i].index) std::abort();
      for (const platform::AdapterAddress& a : adapters[i].addresses) {
        check_address(a);
        if (family != AF_UNSPEC && a.family != family) std::abort();
      }
    }
  }
  check_routes(buf, size);

  // A one-destination route reply: a prefix the address fits, or an error.
  platform::BestRoute route;
  if (platform::parse_best_route_reply(buf, size, &route) == 0) {
    if (route.prefix_len > 32) std::abort();
    if ((ntohl(route.destination) & host_bits(route.prefix_len)) != 0) std::abort();
  }
  return 0;
}
