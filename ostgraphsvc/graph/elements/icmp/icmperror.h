// ICMPError: answers an IPv4 packet the graph cannot deliver with an ICMPv4
// error addressed to its sender (graph name "ICMPError", ports 1, agnostic).
//
// No error answers an ICMP error, a broadcast or multicast (or BADADDRS)
// destination or source, a source from 0/8, 127/8 or 240/4, a non-first
// fragment, or a packet whose header does not fit; such packets are freed.
// A recorded source route is reversed into the error. Identifications come
// from one process-wide counter that starts at 1 (the packet thread is the
// only user, so it has no lock).
//
// Ownership: consumes every packet; the error packet leaves in its place.
// Threads: the packet thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPERROR_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPERROR_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/ipaddress.h"
#include "graph/vector.h"

class ICMPError : public Element {
 public:
  static constexpr uint32_t kDefaultMTU = 576;
  // An error must hold its own headers and a reversed route.
  static constexpr uint32_t kMinMTU = 68;
  static constexpr uint32_t kMaxMTU = 65535;

  const char* class_name() const override { return "ICMPError"; }
  const char* port_count() const override { return "1"; }
  const char* processing() const override { return kAgnostic; }
  // SRC, TYPE, CODE, BADADDRS (positional in that order); MTU, PMTU,
  // SET_FIX_ANNO.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  // "src", "mtu", "pmtu", each read and write.
  void add_handlers() override;
  Packet* packet_action(Packet* p) override;

  // The next identification the process will use; for tests.
  static uint32_t next_identification();

 private:
  bool unicast(IPAddress a) const;
  static int handler(int op, String& text, Element* e, const Handler* h, ErrorHandler* errh);

  IPAddress src_;
  int type_ = 0;
  int code_ = 0;
  Vector<IPAddress> bad_addrs_;
  uint32_t mtu_ = kDefaultMTU;
  uint32_t pmtu_ = 0;
  bool set_fix_anno_ = true;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPERROR_H_
