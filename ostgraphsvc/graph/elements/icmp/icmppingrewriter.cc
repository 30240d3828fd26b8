#include "ostgraphsvc/graph/elements/icmp/icmppingrewriter.h"

#include <arpa/inet.h>

#include <cstring>
#include <new>

#include "graph/args.h"
#include "graph/handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

namespace {

constexpr uint8_t kEchoReply = 0;
constexpr uint8_t kEchoRequest = 8;

void unparse_address(IPAddress a, StringBuilder& sb) { sb << a.to_string(); }

}  // namespace

ICMPPingRewriter::ICMPPingRewriter()
    : pool_(sizeof(RewriteFlow), String("ICMPPingRewriter flows")) {}

// Flows go back to this element's pool while it is whole.
ICMPPingRewriter::~ICMPPingRewriter() { clear_flows(); }

void* ICMPPingRewriter::cast(const char* name) {
  if (std::strcmp(name, "ICMPPingRewriter") == 0) return static_cast<ICMPPingRewriter*>(this);
  return IPRewriterBase::cast(name);
}

int ICMPPingRewriter::configure(Vector<String>& conf, ErrorHandler* errh) {
  bool dst_anno = true;
  int reply_anno = -1;
  Args args(this, errh);
  args.bind(conf)
      .read_bool("DST_ANNO", 0, dst_anno)
      .read_anno("REPLY_ANNO", 0, reply_anno, 1)
      .remove_consumed();
  if (args.commit() < 0) return -1;
  annos_ = anno_bits(dst_anno, reply_anno);
  return IPRewriterBase::configure(conf, errh);
}

int ICMPPingRewriter::map_new(const FlowTuple& key, int input, Packet* p, RewriteEntry** entry) {
  *entry = nullptr;
  FlowTuple rewritten;
  const int result = input_specs_[input].map_tuple(key, rewritten, p, 0);
  if (result != kRewriteAddFlow) return result;
  rewritten.set_dport(companion(rewritten.sport()));
  *entry = make_flow(kIPProtoICMP, key, rewritten, input);
  return result;
}

RewriteEntry* ICMPPingRewriter::find_entry(int ip_p, const FlowTuple& tuple, int input) {
  if (ip_p != kIPProtoICMP) return nullptr;
  const uint16_t id = tuple.sport();
  FlowTuple key(tuple.saddr(), tuple.daddr(), id, companion(id));
  if (input == kLookupReply) key = FlowTuple(tuple.saddr(), tuple.daddr(), companion(id), id);
  if (RewriteEntry* e = map_.find(key).get()) return e;
  if (input < 0 || input >= input_specs_.size()) return nullptr;
  RewriteEntry* entry;
  map_new(key, input, nullptr, &entry);
  return entry;
}

RewriteEntry* ICMPPingRewriter::make_flow(int, const FlowTuple& tuple, const FlowTuple& rewritten,
                                          int input) {
  if (input < 0 || input >= input_specs_.size()) return nullptr;
  if (tuple.dport() != companion(tuple.sport()) ||
      rewritten.dport() != companion(rewritten.sport()))
    return nullptr;
  void* node = pool_.allocate();
  if (node == nullptr) return nullptr;
  const bool guaranteed = guarantee_ != 0;
  const uint32_t expiry = rewriter_now_msec() + (guaranteed ? guarantee_ : timeout_);
  RewriteInputSpec* spec = &input_specs_[input];
  auto* flow = new (node) RewriteFlow(spec, tuple, rewritten, kIPProtoICMP, guaranteed, expiry);
  // The ICMP checksum has no pseudo-header: only the identifier word moves.
  const uint16_t old_id = rewritten.sport();
  const uint16_t new_id = tuple.sport();
  flow->set_transport_csum_delta(checksum_delta(&old_id, &new_id, 2));
  return store_flow(flow, input, &map_, spec->reply_element->map_for(0));
}

void ICMPPingRewriter::release_flow(RewriteFlow* flow) {
  unlink_entry(&map_, &flow->entry(0));
  unlink_entry(flow->owner()->reply_element->map_for(0), &flow->entry(1));
  flow->~RewriteFlow();
  pool_.free(flow);
}

void ICMPPingRewriter::pass_unmapped(int port, Packet* p) {
  const RewriteInputSpec& spec = input_specs_[port];
  if (spec.kind == RewriteInputSpec::kNochange && spec.foutput < noutputs()) {
    output(spec.foutput).push(p);
    return;
  }
  p->release();
}

void ICMPPingRewriter::apply(RewriteFlow* flow, int direction, Packet* p, const IPHeaderView& ip) {
  IPHeaderView header = ip;
  rewrite_ip_header(flow, direction, p, header, annos_);
  const FlowTuple& other = flow->entry(1 - direction).flowid();
  if (!header.first_fragment()) return;

  unsigned char* icmp = header.transport();
  const uint16_t id = direction == 0 ? other.dport() : other.sport();
  std::memcpy(icmp + 4, &id, 2);
  const uint16_t delta = transport_delta(flow, direction);
  checksum_update(icmp + 2, delta);
  if (icmp[2] != 0 || icmp[3] != 0) return;
  // A zero sum is ambiguous only for a message that is all zeros.
  uint32_t length = header.transport_length();
  if (header.total_length() >= header.header_length() &&
      header.total_length() - header.header_length() < length)
    length = header.total_length() - header.header_length();
  for (uint32_t i = 0; i < length; ++i)
    if (icmp[i] != 0) return;
  icmp[2] = icmp[3] = 0xFF;
}

void ICMPPingRewriter::push(int port, Packet* p) {
  if (port < 0 || port >= input_specs_.size()) {
    p->release();
    return;
  }
  if (p->shared()) {
    p = p->make_unshared(0, 0);
    if (p == nullptr) return;
  }
  IPHeaderView ip;
  if (!IPHeaderView::locate(p, &ip) || ip.protocol() != kIPProtoICMP || !ip.first_fragment() ||
      ip.transport_length() < 6) {
    pass_unmapped(port, p);
    return;
  }
  const uint8_t type = ip.transport()[0];
  if (type != kEchoRequest && type != kEchoReply) {
    pass_unmapped(port, p);
    return;
  }
  uint16_t id;
  std::memcpy(&id, ip.transport() + 4, 2);
  const bool request = type == kEchoRequest;
  const FlowTuple key = request ? FlowTuple(ip.src(), ip.dst(), id, companion(id))
                                : FlowTuple(ip.src(), ip.dst(), companion(id), id);
  RewriteEntry* entry = map_.find(key).get();

  if (entry != nullptr && p->nat_flush_anno() != 0) {
    log_syslog_level(6, "ICMPPingRewriter::push", __FILE__, __LINE__,
                     "ICMPPingRW: NAT flush set for packet p=%p", static_cast<void*>(p));
    destroy_flow(entry->flow());
    entry = nullptr;
  }

  if (entry == nullptr) {
    if (!request) {
      pass_unmapped(port, p);
      return;
    }
    const int result = map_new(key, port, p, &entry);
    if (entry == nullptr) {
      if (result >= 0 && result < noutputs())
        output(result).push(p);
      else
        p->release();
      return;
    }
    if (annos_ & kReplyAnno) entry->flow()->set_reply_anno(p->anno_u8(annos_ >> 2));
  }

  RewriteFlow* flow = entry->flow();
  apply(flow, entry->direction(), p, ip);
  const uint32_t now = rewriter_now_msec();
  if (guarantee_ != 0)
    flow->set_expiry(heap_, true, now + guarantee_);
  else
    flow->set_expiry(heap_, false, now + timeout_);
  output(entry->output()).push(p);
}

String ICMPPingRewriter::table_handler(Element* e, void*) {
  auto* rw = static_cast<ICMPPingRewriter*>(e);
  StringBuilder sb;
  const uint32_t now = rewriter_now_msec();
  for (RewriteMap::iterator it = rw->map_.begin(); it.live(); ++it) {
    const RewriteEntry* entry = it.get();
    const FlowTuple& t = entry->flowid();
    const FlowTuple r = entry->rewritten_flowid();
    sb << '(';
    unparse_address(t.saddr(), sb);
    sb << ", ";
    unparse_address(t.daddr(), sb);
    sb << ", " << static_cast<unsigned>(ntohs(t.sport())) << ")=> (";
    unparse_address(r.saddr(), sb);
    sb << ", ";
    unparse_address(r.daddr(), sb);
    sb << ", " << static_cast<unsigned>(ntohs(r.sport())) << ')';
    // The base row is "<tuple> => <tuple><flow text>": keep its flow text.
    StringBuilder row;
    rw->unparse_entry(entry, now, row);
    const String text = row.take_string();
    const char* flow_text = std::strstr(text.c_str(), " [");
    if (flow_text != nullptr) sb << flow_text;
    sb << '\n';
  }
  return sb.take_string();
}

void ICMPPingRewriter::add_handlers() {
  IPRewriterBase::add_handlers();
  Router::add_read_handler(this, "table", table_handler, nullptr);
  Router::add_read_handler(this, "mappings", table_handler, nullptr, Handler::kListU);
}
