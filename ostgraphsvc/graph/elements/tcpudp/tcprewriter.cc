#include "ostgraphsvc/graph/elements/tcpudp/tcprewriter.h"

#include <cstdio>
#include <cstring>
#include <new>

#include "graph/args.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

bool rewriter_info_logged() {
  return cxLogEnabled.load(std::memory_order_relaxed) &&
         router_log_service_level(6) <= cxLogThreshold.load(std::memory_order_relaxed);
}

TCPRewriter::TCPRewriter() : tcp_pool_(sizeof(RewriteFlow), String("TCPRewriter flows")) {}

TCPRewriter::~TCPRewriter() { clear_flows(); }

void* TCPRewriter::cast(const char* name) {
  if (std::strcmp(name, "TCPRewriter") == 0) return static_cast<TCPRewriter*>(this);
  return IPRewriterBase::cast(name);
}

int TCPRewriter::configure(Vector<String>& conf, ErrorHandler* errh) {
  uint32_t nodata = timeout_;
  uint32_t guarantee = guarantee_;
  uint32_t data = tcp_data_timeout_;
  uint32_t done = tcp_done_timeout_;
  bool dst_anno = true;
  int reply_anno = -1;
  Args args(this, errh);
  args.bind(conf)
      .read_seconds("TCP_NODATA_TIMEOUT", 0, nodata, 0)
      .read_seconds("TCP_GUARANTEE", 0, guarantee, 0)
      .read_seconds("TIMEOUT", 0, data, 0)
      .read_seconds("TCP_TIMEOUT", 0, data, 0)
      .read_seconds("TCP_DONE_TIMEOUT", 0, done, 0)
      .read_bool("DST_ANNO", 0, dst_anno)
      .read_anno("REPLY_ANNO", 0, reply_anno, 1)
      .remove_consumed();
  if (args.commit() < 0) return -1;
  if (!rewriter_seconds_to_msec(data, &tcp_data_timeout_, "TCP_TIMEOUT", errh) ||
      !rewriter_seconds_to_msec(done, &tcp_done_timeout_, "TCP_DONE_TIMEOUT", errh))
    return -1;
  // Seconds still: the base converts them, after its GUARANTEE has had its say.
  timeout_ = nodata;
  guarantee_ = guarantee;
  annos_ = anno_bits(dst_anno, reply_anno);
  return IPRewriterBase::configure(conf, errh);
}

uint32_t TCPRewriter::tcp_state_timeout(const RewriteFlow* flow) const {
  if ((flow->state() & 3) == 3) return tcp_done_timeout_;
  if ((flow->state() & 12) == 12) return tcp_data_timeout_;
  return timeout_;
}

uint32_t TCPRewriter::idle_expiry(const RewriteFlow* flow) const {
  return flow->expiry() + tcp_state_timeout(flow) - guarantee_;
}

RewriteEntry* TCPRewriter::find_entry(int ip_p, const FlowTuple& tuple, int input) {
  if (ip_p != kIPProtoTCP) return nullptr;
  return find_in_map(0, ip_p, tuple, input);
}

RewriteEntry* TCPRewriter::make_tcp_flow(const FlowTuple& tuple, const FlowTuple& rewritten,
                                         int input) {
  void* node = tcp_pool_.allocate();
  if (node == nullptr) return nullptr;
  const bool guaranteed = guarantee_ != 0;
  const uint32_t expiry = rewriter_now_msec() + (guaranteed ? guarantee_ : timeout_);
  RewriteInputSpec* spec = &input_specs_[input];
  auto* flow = new (node) RewriteFlow(spec, tuple, rewritten, kIPProtoTCP, guaranteed, expiry);
  return store_flow(flow, input, &map_, spec->reply_element->map_for(0));
}

RewriteEntry* TCPRewriter::make_flow(int, const FlowTuple& tuple, const FlowTuple& rewritten,
                                     int input) {
  return make_tcp_flow(tuple, rewritten, input);
}

void TCPRewriter::release_pooled(RewriteFlow* flow, NodePool& pool, int map_id) {
  unlink_entry(map_for(map_id), &flow->entry(0));
  unlink_entry(flow->owner()->reply_element->map_for(map_id), &flow->entry(1));
  flow->~RewriteFlow();
  pool.free(flow);
}

void TCPRewriter::release_flow(RewriteFlow* flow) { release_pooled(flow, tcp_pool_, 0); }

void TCPRewriter::refresh_expiry(RewriteFlow* flow, uint32_t now) {
  if (guarantee_ != 0) {
    flow->set_expiry(heap_, true, now + guarantee_);
    return;
  }
  flow->set_expiry(heap_, false, now + tcp_state_timeout(flow));
}

void TCPRewriter::apply(RewriteFlow* flow, int direction, Packet* p, const IPHeaderView& ip) {
  IPHeaderView header = ip;
  rewrite_ip_header(flow, direction, p, header, annos_);
  const FlowTuple& other = flow->entry(1 - direction).flowid();
  const uint16_t delta = transport_delta(flow, direction);

  if (flow->ip_p() == kIPProtoTCP) {
    TCPHeaderView tcp;
    if (!TCPHeaderView::locate(header, 18, &tcp)) return;
    tcp.set_sport(other.dport());
    tcp.set_dport(other.sport());
    checksum_update(tcp.checksum_field(), delta);
    const uint8_t flags = tcp.flags();
    const bool data = header.header_length() + tcp.header_length() < header.total_length();
    uint8_t state = flow->state();
    const uint8_t done = static_cast<uint8_t>(1 << direction);
    if (flags & kTCPRst)
      state |= 3;
    else if (flags & kTCPFin)
      state |= done;
    else if ((flags & kTCPSyn) || data)
      state &= static_cast<uint8_t>(~done);
    if (data) state |= static_cast<uint8_t>(4 << direction);
    flow->set_state(state);
    return;
  }

  UDPHeaderView udp;
  if (!UDPHeaderView::locate(header, &udp)) return;
  udp.set_sport(other.dport());
  udp.set_dport(other.sport());
  unsigned char* sum = udp.checksum_field();
  // 0 means "no checksum" and stays so; a computed 0 goes out as 0xFFFF,
  // or the receiver would skip the check.
  if (sum[0] != 0 || sum[1] != 0) {
    checksum_update(sum, delta);
    if (sum[0] == 0 && sum[1] == 0) sum[0] = sum[1] = 0xFF;
  }
  uint8_t state = flow->state();
  if (direction == 1) state |= 1;
  if (state < 6) state = static_cast<uint8_t>(state + 2);
  flow->set_state(state);
}

void TCPRewriter::pass_unmapped(int port, Packet* p) {
  const RewriteInputSpec& spec = input_specs_[port];
  if (spec.kind == RewriteInputSpec::kNochange && spec.foutput < noutputs()) {
    output(spec.foutput).push(p);
    return;
  }
  p->release();
}

void TCPRewriter::rewrite_push(int port, Packet* p, bool ip_rewriter) {
  if (port < 0 || port >= input_specs_.size()) {
    p->release();
    return;
  }
  if (p->shared()) {
    p = p->make_unshared(0, 0);
    if (p == nullptr) return;
  }
  IPHeaderView ip;
  if (!IPHeaderView::locate(p, &ip)) {
    pass_unmapped(port, p);
    return;
  }
  const uint8_t ip_p = ip.protocol();
  if ((ip_p != kIPProtoTCP && (!ip_rewriter || ip_p != kIPProtoUDP)) || !ip.first_fragment() ||
      ip.transport_length() < 8) {
    pass_unmapped(port, p);
    return;
  }
  uint16_t ports[2];
  std::memcpy(ports, ip.transport(), sizeof ports);
  const FlowTuple tuple(ip.src(), ip.dst(), ports[0], ports[1]);
  const int map_id = ip_p == kIPProtoTCP ? 0 : 1;
  RewriteEntry* entry = map_for(map_id)->find(tuple).get();

  if (entry != nullptr && p->nat_flush_anno() != 0) {
    if (ip_rewriter)
      log_syslog_level(6, "IPRewriter::push", __FILE__, __LINE__,
                       "IPRW: NAT flush set for packet p=%p", static_cast<void*>(p));
    else
      log_syslog_level(6, "TCPRewriter::push", __FILE__, __LINE__,
                       "TCPRW: NAT flush set for packet p=%p", static_cast<void*>(p));
    destroy_flow(entry->flow());
    entry = nullptr;
  }

  bool created = false;
  if (entry == nullptr) {
    FlowTuple rewritten;
    const int result = input_specs_[port].map_tuple(tuple, rewritten, p, map_id);
    if (result == kRewriteAddFlow) entry = make_flow(ip_p, tuple, rewritten, port);
    if (entry == nullptr) {
      if (ip_rewriter && port != 1 && rewriter_info_logged()) {
        const IPAddress saddr = tuple.saddr();
        const IPAddress daddr = tuple.daddr();
        const unsigned char* s = saddr.data();
        const unsigned char* d = daddr.data();
        char src[16], dst[16];
        std::snprintf(src, sizeof src, "%d.%d.%d.%d", s[0], s[1], s[2], s[3]);
        std::snprintf(dst, sizeof dst, "%d.%d.%d.%d", d[0], d[1], d[2], d[3]);
        ROUTER_LOG_LIMITED(6, "IPRewriter::push",
                           "FLOW_NAT_Failed %s==>%s proto:%d rcvd on port:%d", src, dst, ip_p,
                           port);
      }
      if (result >= 0 && result < noutputs())
        output(result).push(p);
      else
        p->release();
      return;
    }
    if (annos_ & kReplyAnno) entry->flow()->set_reply_anno(p->anno_u8(annos_ >> 2));
    created = true;
  }

  RewriteFlow* flow = entry->flow();
  apply(flow, entry->direction(), p, ip);
  const uint32_t now = rewriter_now_msec();
  refresh_expiry(flow, now);
  if (created && ip_rewriter && rewriter_info_logged()) {
    log_text_.clear();
    unparse_entry(&flow->entry(0), now, log_text_);
    ROUTER_LOG_LIMITED(6, "IPRewriter::push", "FLOW_NAT_Created %s", log_text_.c_str());
  }
  output(entry->output()).push(p);
}

void TCPRewriter::push(int port, Packet* p) { rewrite_push(port, p, false); }

void TCPRewriter::add_handlers() {
  IPRewriterBase::add_handlers();
  Router::add_read_handler(this, "table", table_handler, nullptr);
  Router::add_read_handler(this, "mappings", table_handler, nullptr, Handler::kListU);
  Router::set_handler(this, "lookup", Handler::kRead | Handler::kReadParam, lookup_handler,
                      nullptr);
}
