// The first sorting steps of the graph: OstrelL3Classifier and OstDirMux.
//
// Every packet the consumer thread makes from a message block enters the
// graph unsorted. OstrelL3Classifier sends it to one output by its block's
// message type, its decapsulation mark, its capture address record and its
// IPv4 header, first rule that applies:
//   4  IPC commands (types 4, 5, 6, 17 to 22), whatever else they carry
//   6  decapsulated from the overlay (`decap_mark_anno` == kDecapMark)
//   2  packets from an overlay connection (type 2)
//   5  state-message ticks (type 3)
//   -  freed: no capture address record, no valid IPv4 header, or a UDP
//      datagram too short for its header
//   0  local-only traffic: DHCP (UDP to port 67 or 68), IGMP, multicast and
//      255.255.255.255 on either side
//   3  outbound, 1 inbound (the record's outbound bit)
// Non-first fragments carry no UDP header, so the UDP rules skip them.
// An ICMP packet that gets as far as the local-only rule is logged.
// A packet sorted to an output the graph did not connect is freed.
//
// OstDirMux splits captured packets by direction only: outbound to 0,
// inbound to 1; a packet without a capture address record is freed.
//
// Whether a packet has a capture address record is `capture_record_anno`
// being set; its direction is read from the packet's own copy of the record
// (capture_record.h), so clones, fragments and reassembled datagrams sort
// like the packet they came from.
//
// Threads: the consumer thread only; no state.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_CLASSIFIER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_CLASSIFIER_H_

#include "graph/element.h"

class OstrelL3Classifier : public Element {
 public:
  enum Output {
    kLocalOnly = 0,
    kInbound = 1,
    kOverlay = 2,
    kOutbound = 3,
    kCommand = 4,
    kTick = 5,
    kDecapsulated = 6,
  };

  const char* class_name() const override { return "OstrelL3Classifier"; }
  const char* port_count() const override { return "1/-"; }
  const char* processing() const override { return kPush; }
  const char* flags() const override { return "A"; }
  bool can_live_reconfigure() const override { return true; }
  // Any arguments, ignored.
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  void push(int port, Packet* p) override;

  // The output for `p`, or -1 when it is to be freed.
  static int classify(const Packet* p);
};

class OstDirMux : public Element {
 public:
  const char* class_name() const override { return "OstDirMux"; }
  const char* port_count() const override { return "1/2"; }
  const char* processing() const override { return kPush; }
  // Any arguments, ignored.
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  void push(int port, Packet* p) override;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_CLASSIFIER_H_
