// IPRewriter: translates TCP and UDP flows (graph name "IPRewriter"; the
// service declares it as "nat/iprw").
//
// Adds to TCPRewriter a UDP map (map id 1), a UDP flow pool and the UDP
// time-outs: UDP flows become streaming (and take the streaming time-out)
// once they carried three packets, one of them a reply. Logs each new flow
// ("FLOW_NAT_Created") and each packet its spec refused to map
// ("FLOW_NAT_Failed", except on input 1).
//
// Ownership and threads: as IPRewriterBase.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_IPREWRITER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_IPREWRITER_H_

#include "ostgraphsvc/graph/elements/tcpudp/tcprewriter.h"

class IPRewriter : public TCPRewriter {
 public:
  IPRewriter();
  ~IPRewriter() override;

  const char* class_name() const override { return "IPRewriter"; }
  void* cast(const char* name) override;
  // UDP_TIMEOUT, UDP_STREAMING_TIMEOUT, UDP_GUARANTEE; then TCPRewriter's.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  // The base's handlers and "tcp_table", "tcp_mappings", "udp_table",
  // "udp_mappings", "tcp_lookup".
  void add_handlers() override;
  void push(int port, Packet* p) override { rewrite_push(port, p, true); }

  RewriteMap* map_for(int map_id) override;
  RewriteEntry* find_entry(int ip_p, const FlowTuple& tuple, int input) override;
  RewriteEntry* make_flow(int ip_p, const FlowTuple& tuple, const FlowTuple& rewritten,
                          int input) override;
  void release_flow(RewriteFlow* flow) override;
  uint32_t idle_expiry(const RewriteFlow* flow) const override;

  static bool udp_streaming(const RewriteFlow* flow) { return flow->state() >= 7; }

 protected:
  void refresh_expiry(RewriteFlow* flow, uint32_t now) override;

 private:
  uint32_t udp_timeout(const RewriteFlow* flow) const {
    return udp_streaming(flow) ? udp_streaming_timeout_ : udp_timeout_;
  }

  RewriteMap udp_map_;
  NodePool udp_pool_;
  uint32_t udp_timeout_ = kDefaultTimeout;
  uint32_t udp_guarantee_ = kDefaultGuarantee;
  uint32_t udp_streaming_timeout_ = kDefaultTimeout;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_IPREWRITER_H_
