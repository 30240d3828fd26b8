// ICMPRewriter: repairs ICMP errors (destination unreachable, source quench,
// redirect, time exceeded, parameter problem) that come back for translated
// traffic (graph name "ICMPRewriter").
//
// It holds no flows. The quoted packet is looked up, reversed, in the maps
// of the rewriters that MAPS names, in order, without creating flows
// (`find_entry` input -2). On a hit the outer destination, the quoted IP
// header and the quoted TCP, UDP, DCCP ports or echo identifier are put back
// to their untranslated values, each changed word adjusting the checksums
// that cover it incrementally. Quoted fields are read only when they lie
// inside the packet. Errors that quote an unknown flow, are too short or
// quote no IPv4 header leave on the drop output: the last output when there
// are two or more, else they are freed.
//
// Ownership: MAPS holds pointers to other elements of the same router.
// Threads: the packet-processing thread only.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPREWRITER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPREWRITER_H_

#include "graph/element.h"
#include "graph/vector.h"

class IPRewriterBase;

class ICMPRewriter : public Element {
 public:
  ICMPRewriter() = default;

  const char* class_name() const override { return "ICMPRewriter"; }
  const char* port_count() const override { return "1/1-"; }
  const char* processing() const override { return kPush; }
  // MAPS (mandatory, may be positional), DST_ANNO, REPLY_ANNO.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  void push(int port, Packet* p) override;

  int drop_output() const { return drop_output_; }

 private:
  enum AnnoBits { kDstAnno = 1, kReplyAnno = 2 };
  struct Map {
    IPRewriterBase* rewriter;
    // -1: the hit leaves on output 0.
    int offset;
  };

  void drop(Packet* p);

  int drop_output_ = -1;
  Vector<Map> maps_;
  int annos_ = kDstAnno;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPREWRITER_H_
