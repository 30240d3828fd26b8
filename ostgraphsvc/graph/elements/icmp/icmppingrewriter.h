// ICMPPingRewriter: translates ICMP echo requests and replies (graph name
// "ICMPPingRewriter"; the service declares it as "nat/icmprw").
//
// A flow per echo exchange lives in the base's forward map (map id 0). Its
// key carries the echo identifier where a port would be: a request is keyed
// (id, id + 1) and a reply (id + 1, id), the companion being the identifier
// field as stored plus one with 16-bit wrap, so the reply entry of a
// request's flow is exactly the key of the replies that answer it. Patterns
// and mappers hand identifiers out like source ports. Only the identifier
// changes in the ICMP message, so a flow's transport delta covers that word
// alone.
//
// `find_entry` with input -2 looks a reply-form key up without creating a
// flow; ICMPRewriter uses it to find the flow an ICMP error quotes.
//
// Ownership and threads: as IPRewriterBase.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPPINGREWRITER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPPINGREWRITER_H_

#include <cstdint>

#include "graph/node_pool.h"
#include "ostgraphsvc/graph/elements/tcpudp/iprewriterbase.h"

class IPHeaderView;

class ICMPPingRewriter : public IPRewriterBase {
 public:
  // The lookup-only input of `find_entry`: the tuple is in reply form.
  static constexpr int kLookupReply = -2;

  ICMPPingRewriter();
  ~ICMPPingRewriter() override;

  const char* class_name() const override { return "ICMPPingRewriter"; }
  void* cast(const char* name) override;
  // DST_ANNO, REPLY_ANNO; then the base.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  // The base's handlers and "table", "mappings".
  void add_handlers() override;
  void push(int port, Packet* p) override;

  // Protocol 1 only; the tuple's source-port field is the identifier.
  RewriteEntry* find_entry(int ip_p, const FlowTuple& tuple, int input) override;
  // Refuses tuples whose destination-port field is not the companion of
  // their identifier.
  RewriteEntry* make_flow(int ip_p, const FlowTuple& tuple, const FlowTuple& rewritten,
                          int input) override;
  void release_flow(RewriteFlow* flow) override;

  // The identifier field as stored plus one, wrapping.
  static uint16_t companion(uint16_t id) { return static_cast<uint16_t>(id + 1); }

 private:
  // Maps a new request key through input `input`'s spec: the output or -1
  // when no flow results, -2 with `*entry` set otherwise.
  int map_new(const FlowTuple& key, int input, Packet* p, RewriteEntry** entry);
  void apply(RewriteFlow* flow, int direction, Packet* p, const IPHeaderView& ip);
  void pass_unmapped(int port, Packet* p);
  static String table_handler(Element* e, void* user_data);

  NodePool pool_;
  // Bit 0 DST_ANNO; with REPLY_ANNO bit 1 and, from bit 2, its offset.
  int annos_ = kDstAnno;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ICMP_ICMPPINGREWRITER_H_
