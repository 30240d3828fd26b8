// The flow element's filtered dump over arbitrary parameter texts: a small
// table of flows (TCP, UDP, ICMP and another protocol), the input after its
// first byte as the "dump-filter" parameter, then "dns_dump" into a
// temporary root. The first byte chooses the dump limit, so that cut dumps
// are reached too. An answer must be a JSON array, followed by the count
// line only when the dump was cut.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/json.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/policy/ost_firewall.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "platform/divert/divert.h"
#include "tests/fuzz/element_fuzz.h"

using element_fuzz::Sink;
using element_fuzz::Source;

namespace {

uint32_t NoRoute(uint32_t, platform::BestRoute*) { return 1168; }

// The temporary root, removed when the run ends.
char g_root[] = "/tmp/fuzz_dump_filter.XXXXXX";
void RemoveRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(g_root, ignored);
}

// An IPv4 packet of `protocol` from 10.0.0.<src> to 198.51.100.<dst> with the
// given transport bytes.
Packet* FlowPacket(uint8_t protocol, uint8_t src, uint8_t dst, const uint8_t* l4, size_t l4_len) {
  uint8_t b[40] = {0x45, 0, 0, 0, 0, 1, 0, 0, 64, protocol, 0, 0, 10, 0, 0, src, 198, 51, 100, dst};
  const size_t length = 20 + l4_len;
  b[2] = static_cast<uint8_t>(length >> 8);
  b[3] = static_cast<uint8_t>(length);
  std::memcpy(b + 20, l4, l4_len);
  Packet* p = element_fuzz::exact_packet(b, static_cast<uint32_t>(length));
  static const WINDIVERT_ADDRESS outbound = [] {
    WINDIVERT_ADDRESS record{};
    record.Flags = WINDIVERT_ADDRESS_OUTBOUND;
    return record;
  }();
  set_capture_record(p, outbound);
  p->set_msgtype(1);
  p->set_timestamp(Timestamp::make_msec(element_fuzz::now_msec));
  return p;
}

// A router with a handful of flows, built once.
AggregateIPFlows* FlowElement() {
  static AggregateIPFlows* agg = [] {
    if (::mkdtemp(g_root) == nullptr) __builtin_trap();
    std::atexit(RemoveRoot);
    ::setenv("DOVADOD_ROOT", g_root, 1);
    const std::string var = std::string(g_root) + "/var";
    ::mkdir(var.c_str(), 0700);
    ::mkdir((var + "/log").c_str(), 0700);

    auto* router = new Router(String(""));
    const String landmark("fuzz");
    router->add_element(new Sink, String("rt"), String(""), landmark, 1);
    router->add_element(new OstPolicy, String("ostpolicy"), String("CONF /nonexistent/policy.json"),
                        landmark, 2);
    router->add_element(new OstFirewall, String("ostFirewall"), String("CONF /nonexistent/fw.json"),
                        landmark, 3);
    auto* element = new AggregateIPFlows(64, 128);
    router->add_element(element, String("agg"), String("REAP 3600"), landmark, 4);
    router->add_element(new Sink, String("sink"), String(""), landmark, 5);
    router->add_element(new Source, String("src"), String(""), landmark, 6);
    router->add_connection(5, 0, 3, 0);
    router->add_connection(3, 0, 4, 0);
    if (router->initialize(ErrorHandler::silent_handler()) < 0) __builtin_trap();
    element->set_best_route_lookup(NoRoute);

    const uint8_t tcp_443[20] = {0x9c, 0x40, 0x01, 0xbb, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x02};
    const uint8_t tcp_from_443[20] = {0x01, 0xbb, 0x13, 0x88, 0, 0, 0, 1, 0, 0, 0, 0, 0x50, 0x02};
    const uint8_t udp_53[8] = {0x14, 0xe9, 0x00, 0x35, 0, 8, 0, 0};
    const uint8_t echo[8] = {8, 0, 0, 0, 0, 9, 0, 1};
    const uint8_t gre[4] = {0, 0, 0x08, 0};
    element->push(0, FlowPacket(6, 2, 9, tcp_443, sizeof tcp_443));
    element->push(0, FlowPacket(6, 2, 9, tcp_from_443, sizeof tcp_from_443));
    element->push(0, FlowPacket(17, 3, 9, udp_53, sizeof udp_53));
    element->push(0, FlowPacket(1, 2, 9, echo, sizeof echo));
    element->push(0, FlowPacket(47, 4, 9, gre, sizeof gre));
    if (element->flow_count() != 5) __builtin_trap();
    return element;
  }();
  return agg;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  if (size < 1) return 0;
  AggregateIPFlows* agg = FlowElement();
  agg->set_dump_limit(data[0] == 0 ? AggregateIPFlows::kDumpLimit : size_t{data[0]} * 8);

  String value(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
  const int r = AggregateIPFlows::dump_filter_handler(Handler::kOpRead, value, agg, nullptr,
                                                      ErrorHandler::silent_handler());
  if (r == 0) {
    const std::string text(value.data(), static_cast<size_t>(value.length()));
    const size_t end = text.rfind(']');
    if (end == std::string::npos) std::abort();
    if (Json::parse(String(text.substr(0, end + 1).c_str())).type() != Json::kArray) std::abort();
    const std::string rest = text.substr(end + 1);
    if (!rest.empty() && rest.find(" records left out (dump limit 64 MiB)\n") == std::string::npos)
      std::abort();
  }
  static const Handler* dns_dump = Router::find_handler(agg, String("dns_dump"));
  if (dns_dump == nullptr) __builtin_trap();
  const String answer = dns_dump->invoke_read(agg, String());
  if (!(answer == "DNS Cache dumped to /var/log/dns_dump.json")) std::abort();
  return 0;
}
