#include "ostgraphsvc/graph/elements/icmp/icmprewriter.h"

#include <cstdint>
#include <cstring>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/icmp/icmppingrewriter.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"
#include "ostgraphsvc/graph/elements/tcpudp/iprewriterbase.h"

namespace {

constexpr uint8_t kIPProtoDCCP = 33;
constexpr uint8_t kEchoRequest = 8;
// ICMP header (8) and a minimal quoted IPv4 header (20).
constexpr uint32_t kMinErrorLength = 28;

bool is_error_type(uint8_t type) {
  return type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
}

// Replaces `length` bytes at `at` (an even offset into the ICMP message)
// and adds the change to the delta of the ICMP checksum.
void replace_words(unsigned char* at, const void* bytes, size_t length, uint16_t* outer) {
  *outer = checksum_add(*outer, checksum_delta(at, bytes, length));
  std::memcpy(at, bytes, length);
}

// Applies `delta` to the checksum at `field`, adding the change of the
// checksum word itself to `outer`.
void update_checksum(unsigned char* field, uint16_t delta, uint16_t* outer) {
  unsigned char updated[2] = {field[0], field[1]};
  checksum_update(updated, delta);
  replace_words(field, updated, 2, outer);
}

bool all_zero(const unsigned char* p, uint32_t length) {
  for (uint32_t i = 0; i < length; ++i)
    if (p[i] != 0) return false;
  return true;
}

}  // namespace

int ICMPRewriter::configure(Vector<String>& conf, ErrorHandler* errh) {
  // MAPS is a list of words, which the argument readers do not take whole.
  String maps_text;
  bool have_maps = false;
  Vector<String> rest;
  for (int i = 0; i < conf.size(); ++i) {
    String keyword, value;
    const bool keyed = cp_parse_keyword(conf[i], &keyword, &value);
    if (keyed && keyword == "MAPS") {
      maps_text = value;
      have_maps = true;
      continue;
    }
    if (i == 0 && !(keyed && (keyword == "DST_ANNO" || keyword == "REPLY_ANNO"))) {
      maps_text = conf[i];
      have_maps = true;
      continue;
    }
    rest.push_back(conf[i]);
  }
  if (!have_maps) return errh->error("missing mandatory MAPS argument");
  bool dst_anno = true;
  int reply_anno = -1;
  if (Args(rest, this, errh)
          .read_bool("DST_ANNO", 0, dst_anno)
          .read_anno("REPLY_ANNO", 0, reply_anno, 1)
          .check_and_commit() < 0)
    return -1;

  const int before = errh->error_count();
  Vector<String> words;
  cp_split_words(cp_unquote_text(maps_text), &words);
  Vector<Map> maps;
  for (const String& word : words) {
    String name = word;
    int32_t offset = -1;
    const char* text = word.c_str();
    const char* colon = std::strchr(text, ':');
    bool ok = true;
    if (colon != nullptr) {
      name = String(text, static_cast<int>(colon - text));
      int status;
      ok = cp_parse_int32(&status, String(colon + 1), &offset) && offset >= 0;
    }
    Element* e = ok && router() != nullptr ? router()->find_element(name, this) : nullptr;
    auto* rw = e != nullptr ? static_cast<IPRewriterBase*>(e->cast("IPRewriterBase")) : nullptr;
    if (rw == nullptr) {
      errh->error("%s not an IP rewriter", word.c_str());
      continue;
    }
    if (offset >= 0 && offset + rw->noutputs() > noutputs()) {
      errh->error("%s port offset requires more than %d %s", word.c_str(), noutputs(),
                  noutputs() == 1 ? "output" : "outputs");
      continue;
    }
    maps.push_back(Map{rw, offset});
  }
  if (words.empty()) errh->error("no IP rewriters supplied");
  if (errh->error_count() > before) return -1;

  maps_ = maps;
  drop_output_ = noutputs() >= 2 ? noutputs() - 1 : -1;
  annos_ = dst_anno ? kDstAnno : 0;
  if (reply_anno >= 0) annos_ |= kReplyAnno | (reply_anno << 2);
  return 0;
}

void ICMPRewriter::drop(Packet* p) {
  if (drop_output_ >= 0) {
    output(drop_output_).push(p);
    return;
  }
  p->release();
}

void ICMPRewriter::push(int, Packet* p) {
  if (p->shared()) {
    p = p->make_unshared(0, 0);
    if (p == nullptr) return;
  }
  IPHeaderView ip;
  if (!IPHeaderView::locate(p, &ip) || ip.protocol() != kIPProtoICMP) {
    p->release();
    return;
  }
  unsigned char* icmp = ip.transport();
  const uint32_t icmp_length = ip.transport_length();
  if (!ip.first_fragment() || icmp_length < kMinErrorLength || !is_error_type(icmp[0])) {
    drop(p);
    return;
  }
  unsigned char* q = icmp + 8;
  const uint32_t qhl = (q[0] & 0x0F) * 4u;
  if ((q[0] >> 4) != 4 || qhl < 20) {
    drop(p);
    return;
  }
  // The quoted transport header and how much of it the packet holds.
  unsigned char* qt = q + qhl;
  const uint32_t qt_available = icmp_length - 8 >= qhl ? icmp_length - 8 - qhl : 0;
  const uint8_t qproto = q[9];
  const bool qfirst = (load_be16(q + 6) & 0x1FFF) == 0;
  const bool has_ports = qfirst && qt_available >= 8 &&
                         (qproto == kIPProtoTCP || qproto == kIPProtoUDP || qproto == kIPProtoDCCP);
  const bool has_echo =
      qfirst && qt_available >= 6 && qproto == kIPProtoICMP && qt[0] == kEchoRequest;

  IPAddress qsrc, qdst;
  std::memcpy(&qsrc, q + 12, 4);
  std::memcpy(&qdst, q + 16, 4);
  FlowTuple tuple(qdst, qsrc, 0, 0);
  if (has_ports) {
    uint16_t ports[2];
    std::memcpy(ports, qt, sizeof ports);
    tuple.set_sport(ports[1]);
    tuple.set_dport(ports[0]);
  } else if (has_echo) {
    uint16_t id;
    std::memcpy(&id, qt + 4, 2);
    tuple.set_sport(id);
  }

  RewriteEntry* e = nullptr;
  const Map* hit = nullptr;
  for (const Map& m : maps_) {
    e = m.rewriter->find_entry(qproto, tuple, ICMPPingRewriter::kLookupReply);
    if (e != nullptr) {
      hit = &m;
      break;
    }
  }
  if (e == nullptr) {
    drop(p);
    return;
  }
  const FlowTuple& o = e->other()->flowid();

  // Outer header: the error goes to the untranslated sender.
  if (ip.dst() == qsrc) {
    const IPAddress old_dst = ip.dst();
    const IPAddress new_dst = o.saddr();
    IPHeaderView outer = ip;
    outer.set_dst(new_dst);
    checksum_update(outer.checksum_field(), checksum_delta(&old_dst, &new_dst, 4));
    if (annos_ & kDstAnno) p->set_dst_ip_anno(new_dst);
  }
  if (!e->is_forward() && (annos_ & kReplyAnno))
    p->set_anno_u8(annos_ >> 2, e->flow()->reply_anno());

  // Quoted IP header: back to the untranslated addresses.
  uint16_t outer_delta = 0;
  unsigned char old_addrs[8];
  std::memcpy(old_addrs, q + 12, 8);
  IPAddress new_addrs[2] = {o.saddr(), o.daddr()};
  const uint16_t addr_delta = checksum_delta(old_addrs, new_addrs, 8);
  replace_words(q + 12, new_addrs, 8, &outer_delta);
  update_checksum(q + 10, addr_delta, &outer_delta);

  if (has_ports) {
    unsigned char old_ports[4];
    std::memcpy(old_ports, qt, 4);
    const uint16_t new_ports[2] = {o.sport(), o.dport()};
    const uint16_t transport_delta =
        checksum_add(addr_delta, checksum_delta(old_ports, new_ports, 4));
    replace_words(qt, new_ports, 4, &outer_delta);
    if (qproto == kIPProtoTCP && qt_available >= 18)
      update_checksum(qt + 16, transport_delta, &outer_delta);
    if (qproto == kIPProtoUDP && (qt[6] != 0 || qt[7] != 0)) {
      // 0 means "no checksum": a computed 0 is sent as 0xFFFF.
      unsigned char updated[2] = {qt[6], qt[7]};
      checksum_update(updated, transport_delta);
      if (updated[0] == 0 && updated[1] == 0) updated[0] = updated[1] = 0xFF;
      replace_words(qt + 6, updated, 2, &outer_delta);
    }
  } else if (has_echo) {
    const uint16_t new_id = o.sport();
    unsigned char old_bytes[2];
    std::memcpy(old_bytes, qt + 4, 2);
    const uint16_t id_delta = checksum_delta(old_bytes, &new_id, 2);
    replace_words(qt + 4, &new_id, 2, &outer_delta);
    unsigned char updated[2] = {qt[2], qt[3]};
    checksum_update(updated, id_delta);
    if (updated[0] == 0 && updated[1] == 0 && all_zero(qt, 2) && all_zero(qt + 4, qt_available - 4))
      updated[0] = updated[1] = 0xFF;
    replace_words(qt + 2, updated, 2, &outer_delta);
  }
  checksum_update(icmp + 2, outer_delta);

  const int out = hit->offset >= 0 ? hit->offset + e->output() : 0;
  if (out >= noutputs()) {
    p->release();
    return;
  }
  output(out).push(p);
}
