// OstrelIPFragmenter: splits IPv4 datagrams longer than the path MTU into
// fragments (graph name "OstrelIPFragmenter", ports 1/1-2, push).
//
// The MTU of a packet is its `mtu_anno`, or the configured MTU when that is
// 0; bit 0 of `fragment_anno` passes a packet on whole. A datagram that may
// not be fragmented (DF honoured, an MTU too small for 8 data bytes, or a
// header whose lengths do not fit the packet) is refused: counted in
// "drops" and sent to output 1, or freed when there is none. The first
// fragment is a trimmed clone sharing the datagram's data; later fragments
// are new packets carrying only the options whose "copied" flag is set.
//
// Ownership: takes every packet it is given. Threads: the packet thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_IP_FRAGMENTER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_IP_FRAGMENTER_H_

#include <cstdint>

#include "graph/element.h"

class OstrelIPFragmenter : public Element {
 public:
  static constexpr uint32_t kDefaultHeadroom = 204;
  // Refusals logged before only VERBOSE keeps logging them.
  static constexpr uint32_t kQuietDrops = 5;

  const char* class_name() const override { return "OstrelIPFragmenter"; }
  const char* port_count() const override { return "1/1-2"; }
  const char* processing() const override { return kPush; }
  // MTU (mandatory, at least 8), HONOR_DF, VERBOSE (positional in that
  // order), HEADROOM.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  // "drops", "fragments".
  void add_handlers() override;
  void push(int port, Packet* p) override;

  uint32_t drops() const { return drops_; }
  uint32_t fragments() const { return fragments_; }

 private:
  void refuse(Packet* p, int mtu, const unsigned char* ip, bool log);
  void fragment(Packet* p, int mtu);

  uint32_t mtu_ = 0;
  bool honor_df_ = true;
  bool verbose_ = false;
  uint32_t headroom_ = kDefaultHeadroom;
  uint32_t drops_ = 0;
  uint32_t fragments_ = 0;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_IP_FRAGMENTER_H_
