// TCPRewriter: the TCP half of the TCP/UDP rewriter, and the base of
// IPRewriter. Graph files cannot name it (it has no registry slot); IPRewriter
// builds on its flow pool, TCP time-outs, annotation options and per-packet
// rewriting, and shares its push.
//
// Per packet: one lookup of the packet's tuple, then in-place header edits
// with the flow's precomputed checksum deltas. TCP flows keep a state byte
// (bit 0/1: forward/reply side done, bit 2/3: forward/reply side sent data)
// that picks the idle time-out: done (both done bits), data (both data bits)
// or no-data (the base timeout). A nonzero NAT-flush annotation destroys the
// packet's flow and maps the packet afresh.
//
// Ownership and threads: as IPRewriterBase.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_TCPREWRITER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_TCPREWRITER_H_

#include <cstdint>

#include "graph/node_pool.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/tcpudp/iprewriterbase.h"

class IPHeaderView;

class TCPRewriter : public IPRewriterBase {
 public:
  static constexpr uint32_t kDefaultDataTimeout = 86400;
  static constexpr uint32_t kDefaultDoneTimeout = 240;

  TCPRewriter();
  ~TCPRewriter() override;

  const char* class_name() const override { return "TCPRewriter"; }
  void* cast(const char* name) override;
  // TCP_NODATA_TIMEOUT, TCP_GUARANTEE, TIMEOUT/TCP_TIMEOUT, TCP_DONE_TIMEOUT,
  // DST_ANNO, REPLY_ANNO; then the base.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  // The base's handlers and "table", "mappings", "lookup".
  void add_handlers() override;
  void push(int port, Packet* p) override;

  RewriteEntry* find_entry(int ip_p, const FlowTuple& tuple, int input) override;
  RewriteEntry* make_flow(int ip_p, const FlowTuple& tuple, const FlowTuple& rewritten,
                          int input) override;
  void release_flow(RewriteFlow* flow) override;
  uint32_t idle_expiry(const RewriteFlow* flow) const override;

  uint32_t tcp_data_timeout() const { return tcp_data_timeout_; }
  uint32_t tcp_done_timeout() const { return tcp_done_timeout_; }
  // The idle time-out the flow's TCP state selects.
  uint32_t tcp_state_timeout(const RewriteFlow* flow) const;

 protected:
  // The push shared with IPRewriter; `ip_rewriter` also maps UDP and writes
  // the created/failed log lines.
  void rewrite_push(int port, Packet* p, bool ip_rewriter);
  // Rewrites addresses, ports and checksums in direction `direction`, and
  // the flow's protocol state.
  void apply(RewriteFlow* flow, int direction, Packet* p, const IPHeaderView& ip);
  // Resets the flow's expiry after a packet (the UDP rule is IPRewriter's).
  virtual void refresh_expiry(RewriteFlow* flow, uint32_t now);
  RewriteEntry* make_tcp_flow(const FlowTuple& tuple, const FlowTuple& rewritten, int input);
  void release_pooled(RewriteFlow* flow, NodePool& pool, int map_id);

  NodePool tcp_pool_;
  // Bit 0 DST_ANNO; with REPLY_ANNO bit 1 and, from bit 2, its offset.
  int annos_ = kDstAnno;
  uint32_t tcp_data_timeout_ = kDefaultDataTimeout;
  uint32_t tcp_done_timeout_ = kDefaultDoneTimeout;

 private:
  // Sends an unmappable packet to a nochange spec's output, or drops it.
  void pass_unmapped(int port, Packet* p);

  // Reused for log lines, so logging a new flow allocates only once.
  StringBuilder log_text_;
};

// True when an information line of the router log would be written.
bool rewriter_info_logged();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_TCPUDP_TCPREWRITER_H_
