#include "ostgraphsvc/graph/elements/tcpudp/iprewriter.h"

#include <cstdint>
#include <cstring>
#include <new>

#include "graph/args.h"
#include "graph/handler.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

namespace {

void* map_id_data(uintptr_t map_id) { return reinterpret_cast<void*>(map_id); }

}  // namespace

IPRewriter::IPRewriter() : udp_pool_(sizeof(RewriteFlow), String("IPRewriter UDP flows")) {}

// UDP flows go back to this element's pool while it is whole.
IPRewriter::~IPRewriter() { clear_flows(); }

void* IPRewriter::cast(const char* name) {
  if (std::strcmp(name, "IPRewriter") == 0) return static_cast<IPRewriter*>(this);
  return TCPRewriter::cast(name);
}

int IPRewriter::configure(Vector<String>& conf, ErrorHandler* errh) {
  uint32_t timeout = udp_timeout_;
  uint32_t streaming = UINT32_MAX;
  uint32_t guarantee = udp_guarantee_;
  Args args(this, errh);
  args.bind(conf)
      .read_seconds("UDP_TIMEOUT", 0, timeout, 0)
      .read_seconds("UDP_STREAMING_TIMEOUT", 0, streaming, 0)
      .read_seconds("UDP_GUARANTEE", 0, guarantee, 0)
      .remove_consumed();
  if (args.commit() < 0) return -1;
  if (streaming == UINT32_MAX) streaming = timeout;
  if (!rewriter_seconds_to_msec(timeout, &udp_timeout_, "UDP_TIMEOUT", errh) ||
      !rewriter_seconds_to_msec(streaming, &udp_streaming_timeout_, "UDP_STREAMING_TIMEOUT",
                                errh) ||
      !rewriter_seconds_to_msec(guarantee, &udp_guarantee_, "UDP_GUARANTEE", errh))
    return -1;
  return TCPRewriter::configure(conf, errh);
}

RewriteMap* IPRewriter::map_for(int map_id) {
  if (map_id == 0) return &map_;
  if (map_id == 1) return &udp_map_;
  return nullptr;
}

RewriteEntry* IPRewriter::find_entry(int ip_p, const FlowTuple& tuple, int input) {
  if (ip_p == kIPProtoTCP) return find_in_map(0, ip_p, tuple, input);
  if (ip_p == kIPProtoUDP) return find_in_map(1, ip_p, tuple, input);
  return nullptr;
}

RewriteEntry* IPRewriter::make_flow(int ip_p, const FlowTuple& tuple, const FlowTuple& rewritten,
                                    int input) {
  if (ip_p == kIPProtoTCP) return make_tcp_flow(tuple, rewritten, input);
  void* node = udp_pool_.allocate();
  if (node == nullptr) return nullptr;
  const bool guaranteed = udp_guarantee_ != 0;
  const uint32_t expiry = rewriter_now_msec() + (guaranteed ? udp_guarantee_ : udp_timeout_);
  RewriteInputSpec* spec = &input_specs_[input];
  auto* flow = new (node) RewriteFlow(spec, tuple, rewritten, kIPProtoUDP, guaranteed, expiry);
  return store_flow(flow, input, &udp_map_, spec->reply_element->map_for(1));
}

void IPRewriter::release_flow(RewriteFlow* flow) {
  if (flow->ip_p() == kIPProtoTCP) {
    TCPRewriter::release_flow(flow);
    return;
  }
  release_pooled(flow, udp_pool_, 1);
}

uint32_t IPRewriter::idle_expiry(const RewriteFlow* flow) const {
  if (flow->ip_p() == kIPProtoTCP) return TCPRewriter::idle_expiry(flow);
  return flow->expiry() + udp_timeout(flow) - udp_guarantee_;
}

void IPRewriter::refresh_expiry(RewriteFlow* flow, uint32_t now) {
  if (flow->ip_p() == kIPProtoTCP) {
    TCPRewriter::refresh_expiry(flow, now);
    return;
  }
  if (udp_guarantee_ != 0) {
    flow->set_expiry(heap_, true, now + udp_guarantee_);
    return;
  }
  flow->set_expiry(heap_, false, now + udp_timeout(flow));
}

void IPRewriter::add_handlers() {
  IPRewriterBase::add_handlers();
  Router::add_read_handler(this, "tcp_table", table_handler, map_id_data(0));
  Router::add_read_handler(this, "tcp_mappings", table_handler, map_id_data(0), Handler::kListU);
  Router::add_read_handler(this, "udp_table", table_handler, map_id_data(1));
  Router::add_read_handler(this, "udp_mappings", table_handler, map_id_data(1), Handler::kListU);
  Router::set_handler(this, "tcp_lookup", Handler::kRead | Handler::kReadParam, lookup_handler,
                      map_id_data(0));
}
