// OstrelFec: replicates packets whose flow asks for it.
//
// Push ports "1/1-". A packet with `replicate_anno` set is cloned (sharing
// its data) once for every output from 1 up, in order, and then leaves on
// output 0 itself; without the annotation, or with one output, it goes to
// output 0 only. A clone that cannot be made skips only its own output.
// Copies only: no redundancy data is computed. Takes no arguments.
//
// Threads: the packet thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_FEC_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_FEC_H_

#include "graph/element.h"

class OstrelFec : public Element {
 public:
  const char* class_name() const override { return "OstrelFec"; }
  const char* port_count() const override { return "1/1-"; }
  const char* processing() const override { return kPush; }
  // Logs "OstFec: initialize".
  int initialize(ErrorHandler* errh) override;
  void push(int port, Packet* p) override;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_FEC_H_
