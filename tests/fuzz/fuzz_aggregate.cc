// The flow element over arbitrary packets: every record of the input is one
// packet (buffer ending where its data ends, so a read past a header is an
// AddressSanitizer error) with a control byte choosing its capture record,
// decapsulation mark, packet type, overlay annotations and whether an
// expiry pass, a "clear" or a clock step of either sign follows. The first
// input byte chooses the element's ICMP and FRAGMENTS keywords and REAP. The
// flow lookup that never makes a flow runs first on each packet and must
// leave the flow count unchanged. Application detection runs on every
// packet; the owner of a flow's endpoint comes from a stand-in that names
// odd ports, so the packets alone decide what is asked and found.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "graph/element.h"
#include "graph/error_handler.h"
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

bool FuzzOwner(const sockaddr* addr, uint8_t, std::string* name, uint32_t* pid, bool) {
  const auto* in = reinterpret_cast<const sockaddr_in*>(addr);
  if ((ntohs(in->sin_port) & 1) == 0) return false;
  name->assign(300, 'p');
  *pid = 1;
  return true;
}

uint32_t FuzzRoute(uint32_t destination, platform::BestRoute* out) {
  if ((destination & 0xFF) == 0) return 1168;  // x.0.0.0/8 has no route
  out->destination = (destination & 0xFF) == 10 ? destination & 0xFFFF : 0;
  out->prefix_len = out->destination != 0 ? 16 : 0;
  return 0;
}

// One router per configuration, built on first use and kept: building one
// costs far more than a run. Each input starts with every flow cleared.
AggregateIPFlows* FlowElement(uint8_t setup) {
  static const char* const kConfigs[] = {"REAP 0", "ICMP true, REAP 0", "FRAGMENTS false",
                                         "ICMP true, FRAGMENTS true, REAP 3600"};
  static Router* routers[8] = {};
  static AggregateIPFlows* elements[8] = {};
  const int k = setup & 7;
  if (elements[k] != nullptr) return elements[k];
  auto* router = new Router(String(""));
  const String landmark("fuzz");
  router->add_element(new Sink, String("rt"), String(""), landmark, 1);
  router->add_element(new OstPolicy, String("ostpolicy"), String("CONF /nonexistent/policy.json"),
                      landmark, 2);
  router->add_element(new OstFirewall, String("ostFirewall"), String("CONF /nonexistent/fw.json"),
                      landmark, 3);
  auto* agg = new AggregateIPFlows(64, 128);
  router->add_element(agg, String("agg"), String(kConfigs[k & 3]), landmark, 4);
  router->add_element(new Sink, String("sink"), String(""), landmark, 5);
  router->add_element(new Source, String("src"), String(""), landmark, 6);
  router->add_connection(5, 0, 3, 0);
  router->add_connection(3, 0, 4, 0);
  if (k & 4) router->add_connection(3, 1, 4, 0);
  if (router->initialize(ErrorHandler::silent_handler()) < 0) __builtin_trap();
  agg->set_best_route_lookup(FuzzRoute);
  agg->set_flow_owner_lookup(FuzzOwner);
  routers[k] = router;
  elements[k] = agg;
  return agg;
}

// What detection promises of every flow: bounded texts, and the library's
// state held only while detection or extra dissection goes on.
void check_detection(AggregateIPFlows* agg) {
  agg->for_each_flow([](AggregateIPFlows::StatFlowInfo* fi) {
    const FlowDetection& d = fi->detection;
    if (fi->host.length() > kMaxHostText) std::abort();
    if (std::memchr(fi->process_name, 0, sizeof fi->process_name) == nullptr) std::abort();
    if (d.ndpi_flow != nullptr && d.done && !d.extra_dissection) std::abort();
    if (d.first_name_text().length() > kMaxHostText) std::abort();
    if (d.url_text().length() > kMaxHostText) std::abort();
  });
  if (agg->dns_cache().size() > AggregateIPFlows::kMaxDnsCacheEntries) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  set_system_time_source(element_fuzz::fuzz_clock);
  if (size < 1) return 0;
  element_fuzz::now_msec = 1700000000000;
  AggregateIPFlows* agg = FlowElement(data[0]);
  agg->clear_handler();

  static const WINDIVERT_ADDRESS inbound{};
  static const WINDIVERT_ADDRESS outbound = [] {
    WINDIVERT_ADDRESS record{};
    record.Flags = WINDIVERT_ADDRESS_OUTBOUND;
    return record;
  }();
  // Control byte: record in bits 0-1, decapsulation mark in bit 2, type 1
  // in bit 3, overlay path annotations in bit 4, then in bits 5-7 what
  // follows the packet: nothing, 1 s, 61 s, 1201 s, an hour back, an expiry
  // pass, "clear", an aggregated mark on the next packet.
  bool mark_next = false;
  element_fuzz::for_each_record(data + 1, size - 1, [&](uint8_t control, Packet* p) {
    const int record = control & 3;
    if (record == 1) set_capture_record(p, inbound);
    if (record >= 2) set_capture_record(p, outbound);
    if (control & 4) p->set_decap_mark_anno(kDecapMark);
    if (control & 8) p->set_msgtype(1);
    if (control & 16) {
      p->set_hop_count_anno(1);
      p->set_overlay_path_anno(control);
      p->set_snat_pattern_anno(control);
    }
    if (mark_next) p->set_aggregate_anno(7);
    mark_next = false;
    p->set_timestamp(Timestamp::make_msec(element_fuzz::now_msec));
    const uint64_t before = agg->flow_count();
    agg->find_flow_info(p);
    if (agg->flow_count() != before) std::abort();
    agg->push(0, p);
    if (agg->flow_count() > agg->flow_cap()) std::abort();
    check_detection(agg);
    switch (control >> 5) {
      case 1: element_fuzz::now_msec += 1000; break;
      case 2: element_fuzz::now_msec += 61000; break;
      case 3: element_fuzz::now_msec += 1201000; break;
      case 4: element_fuzz::now_msec -= 3600000; break;
      case 5: agg->reap(); break;
      case 6:
        agg->clear_handler();
        if (agg->flow_count() != 0) std::abort();
        break;
      case 7: mark_next = true; break;
      default: break;
    }
  });
  return 0;
}
