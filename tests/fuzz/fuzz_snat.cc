// The source-NAT leg over arbitrary packets: the classifier's two inputs feed
// the TCP/UDP and echo rewriters, which take their mappings from a mapper
// holding patterns, and ICMP errors reach the error rewriter both through the
// classifier and directly. Each record of the input is one packet on one of
// the three entry points. Packets sit in buffers that end where their data
// ends, so any read past a header is an AddressSanitizer error.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/icmp/icmppingrewriter.h"
#include "ostgraphsvc/graph/elements/icmp/icmprewriter.h"
#include "ostgraphsvc/graph/elements/local/ostrel_snat.h"
#include "ostgraphsvc/graph/elements/tcpudp/iprewriter.h"
#include "tests/fuzz/element_fuzz.h"

using element_fuzz::Sink;
using element_fuzz::Source;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();

  Router router(String(""));
  auto* mapper = new OstrelSNATIPMapper;
  auto* cls = new OstrelL3ProtoClassifier;
  auto* icmperr = new ICMPRewriter;
  const String landmark("fuzz");
  router.add_element(mapper, String("snatmap"), String(""), landmark, 1);
  router.add_element(cls, String("cls"), String("snatmap"), landmark, 2);
  router.add_element(new IPRewriter, String("nat/iprw"), String("snatmap, drop, GUARANTEE 0"),
                     landmark, 3);
  router.add_element(new ICMPPingRewriter, String("nat/icmprw"),
                     String("snatmap, drop, GUARANTEE 0"), landmark, 4);
  router.add_element(icmperr, String("icmperr"), String("MAPS nat/iprw nat/icmprw"), landmark, 5);
  router.add_element(new Sink, String("sink"), String(""), landmark, 6);
  for (int i = 0; i < 3; ++i)
    router.add_element(new Source, String("src") + String(i), String(""), landmark, 7);
  // Classifier outputs: TCP and UDP to the port rewriter, echo to the echo
  // rewriter, errors to the error rewriter, the rest to the sink.
  const int cls_to[8][2] = {{2, 0}, {2, 1}, {2, 0}, {2, 1}, {3, 0}, {3, 1}, {4, 0}, {5, 0}};
  for (int i = 0; i < 8; ++i) router.add_connection(1, i, cls_to[i][0], cls_to[i][1]);
  for (int e = 2; e <= 4; ++e)
    for (int port = 0; port < 2; ++port) router.add_connection(e, port, 5, 0);
  router.add_connection(6, 0, 1, 0);
  router.add_connection(7, 0, 1, 1);
  router.add_connection(8, 0, 4, 0);
  if (router.initialize(ErrorHandler::silent_handler()) < 0) __builtin_trap();
  const IPAddress wan(inet_addr("10.0.0.5"));
  if (mapper->add_napt_pattern(wan) != 0) __builtin_trap();
  cls->set_virtual_address(wan);

  // Control byte: entry point, flush.
  element_fuzz::for_each_record(data, size, [&](uint8_t control, Packet* p) {
    p->set_nat_flush_anno(control & 8);
    const int entry = (control & 3) % 3;
    if (entry == 2)
      icmperr->push(0, p);
    else
      cls->push(entry, p);
  });
  mapper->clear_snat_flows();
  return 0;
}
