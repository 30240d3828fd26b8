#include "ostgraphsvc/graph/elements/icmp/icmperror.h"

#include <cstring>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

namespace {

constexpr uint32_t kHeadroom = 204;
constexpr uint32_t kICMPHeader = 8;
constexpr uint8_t kTTL = 200;
constexpr uint8_t kOptionLSRR = 131;
constexpr uint8_t kOptionSSRR = 137;

// One counter for every ICMPError of the process; only the packet thread
// makes errors.
uint32_t g_identification = 1;

enum HandlerField : uintptr_t { kFieldSrc = 1, kFieldMTU, kFieldPMTU };

bool error_type(int type) {
  return type == 3 || type == 4 || type == 5 || type == 11 || type == 12;
}

bool mtu_in_range(uint32_t mtu) { return mtu >= ICMPError::kMinMTU && mtu <= ICMPError::kMaxMTU; }

// The source-route option of the `hlen`-byte header at `ip` that an error
// must reverse, or -1.
int find_source_route(const unsigned char* ip, uint32_t hlen) {
  uint32_t i = IPHeaderView::kMinHeaderLength;
  while (i < hlen) {
    const uint8_t type = ip[i];
    if (type == 0) break;
    if (type == 1) {
      ++i;
      continue;
    }
    if (i + 1 >= hlen) break;
    const uint32_t len = ip[i + 1];
    if (len < 2 || i + len > hlen) break;
    if ((type == kOptionLSRR || type == kOptionSSRR) && len >= 3) {
      const uint32_t pointer = ip[i + 2];
      if (pointer >= 4 && pointer % 4 == 0 && pointer <= len + 1) return static_cast<int>(i);
    }
    i += len;
  }
  return -1;
}

}  // namespace

uint32_t ICMPError::next_identification() { return g_identification; }

int ICMPError::configure(Vector<String>& conf, ErrorHandler* errh) {
  String src_text;
  int32_t type = 0;
  String code_text = "0";
  Vector<IPAddress> bad_addrs;
  uint32_t mtu = kDefaultMTU;
  uint32_t pmtu = 0;
  bool set_fix_anno = true;
  if (Args(conf, this, errh)
          .read_word("SRC", Args::kMandatory | Args::kPositional, src_text)
          .read_int("TYPE", Args::kMandatory | Args::kPositional, type)
          .read_word("CODE", Args::kPositional, code_text)
          .read_ip_list("BADADDRS", Args::kPositional, bad_addrs)
          .read_uint("MTU", 0, mtu)
          .read_uint("PMTU", 0, pmtu)
          .read_bool("SET_FIX_ANNO", 0, set_fix_anno)
          .check_and_commit() < 0)
    return -1;
  IPAddress src;
  if (!cp_parse_ip_address(src_text, &src)) return errh->error("SRC takes IP address");
  if (type < 0 || type > 255) return errh->error("ICMP type must be between 0 and 255");
  if (!error_type(type)) return errh->error("ICMP type %d is not an error type", type);
  int32_t code = 0;
  if (!cp_parse_int32(nullptr, code_text, &code) || code < 0 || code > 255)
    return errh->error("argument 2 takes ICMP code (integer between 0 and 255)");
  if (!mtu_in_range(mtu)) return errh->error("MTU must be between 68 and 65535");
  src_ = src;
  type_ = type;
  code_ = code;
  bad_addrs_ = bad_addrs;
  mtu_ = mtu;
  pmtu_ = pmtu;
  set_fix_anno_ = set_fix_anno;
  return 0;
}

int ICMPError::handler(int op, String& text, Element* e, const Handler* h, ErrorHandler* errh) {
  auto* self = static_cast<ICMPError*>(e);
  const auto field = reinterpret_cast<uintptr_t>(h->read_user_data());
  if (op == Handler::kOpRead) {
    if (field == kFieldSrc) {
      text = self->src_.to_string();
    } else {
      text = String(field == kFieldMTU ? self->mtu_ : self->pmtu_);
    }
    return 0;
  }
  if (field == kFieldSrc) {
    IPAddress a;
    if (!cp_parse_ip_address(text, &a)) return errh->error("expected IP address");
    self->src_ = a;
    return 0;
  }
  uint32_t v = 0;
  if (!cp_parse_uint32(nullptr, text, &v)) return errh->error("expected integer");
  if (field == kFieldPMTU) {
    self->pmtu_ = v;
    return 0;
  }
  if (!mtu_in_range(v)) return errh->error("MTU must be between 68 and 65535");
  self->mtu_ = v;
  return 0;
}

void ICMPError::add_handlers() {
  const int rw = Handler::kRead | Handler::kWrite;
  for (uintptr_t field : {kFieldSrc, kFieldMTU, kFieldPMTU}) {
    const char* name = field == kFieldSrc ? "src" : field == kFieldMTU ? "mtu" : "pmtu";
    void* datum = reinterpret_cast<void*>(field);
    Router::set_handler(this, name, rw, handler, datum, datum);
  }
}

bool ICMPError::unicast(IPAddress a) const {
  const unsigned char first = a.data()[0];
  if (a.addr() == 0xFFFFFFFFu || (first >= 224 && first <= 239)) return false;
  for (int i = 0; i < bad_addrs_.size(); ++i) {
    if (bad_addrs_[i] == a) return false;
  }
  return true;
}

Packet* ICMPError::packet_action(Packet* p) {
  IPHeaderView ip;
  if (!IPHeaderView::locate(p, &ip)) {
    p->release();
    return nullptr;
  }
  const unsigned char* h = ip.header();
  const uint32_t hlen = ip.header_length();
  bool answer = true;
  if (ip.protocol() == kIPProtoICMP) {
    const auto from_data = static_cast<uint32_t>(p->end_data() - p->data());
    answer = from_data >= static_cast<uint32_t>(h - p->data()) + hlen + 4 && !error_type(h[hlen]);
  }
  const unsigned char src_first = h[12];
  answer = answer && unicast(ip.dst()) && unicast(ip.src()) && src_first != 0 && src_first != 127 &&
           src_first < 240 && ip.first_fragment();
  const int route = answer ? find_source_route(h, hlen) : -1;
  bool reverse = route >= 0;
  if (reverse) {
    const uint8_t param = p->icmp_paramprob_anno();
    const uint32_t len = h[route + 1];
    if (type_ == 5) answer = false;
    if (type_ == 12 && code_ == 0 && param >= route && param < route + len) reverse = false;
  }
  if (!answer) {
    p->release();
    return nullptr;
  }

  Packet* q = Packet::make(kHeadroom, nullptr, mtu_);
  if (q == nullptr) {
    p->release();
    return nullptr;
  }
  unsigned char* e = q->data();
  std::memset(e, 0, mtu_);
  uint32_t out_hlen = IPHeaderView::kMinHeaderLength;
  if (reverse) {
    // The addresses recorded so far (before the pointer), last hop first.
    const unsigned char* opt = h + route;
    const uint32_t pointer = opt[2];
    unsigned char* o = e + IPHeaderView::kMinHeaderLength;
    o[0] = opt[0];
    o[1] = static_cast<unsigned char>(pointer - 1);
    o[2] = 4;
    const uint32_t count = (pointer - 4) / 4;
    for (uint32_t k = 0; k < count; ++k)
      std::memcpy(o + 3 + 4 * k, opt + 3 + 4 * (count - 1 - k), 4);
    o[3 + 4 * count] = 0;
    out_hlen = (pointer + 22) / 4 * 4;
  }
  e[0] = static_cast<unsigned char>(0x40 | (out_hlen / 4));
  store_be16(e + 4, static_cast<uint16_t>(g_identification++));
  e[8] = kTTL;
  e[9] = kIPProtoICMP;
  std::memcpy(e + 12, src_.data(), 4);
  std::memcpy(e + 16, h + 12, 4);

  unsigned char* icmp = e + out_hlen;
  icmp[0] = static_cast<unsigned char>(type_);
  icmp[1] = static_cast<unsigned char>(code_);
  if (type_ == 12 && code_ == 0) icmp[4] = p->icmp_paramprob_anno();
  if (type_ == 5) std::memcpy(icmp + 4, p->anno() + kDstIPAnnoOffset, 4);
  if (type_ == 3 && code_ == 4)
    store_be16(icmp + 6, static_cast<uint16_t>(p->mtu_anno() != 0 ? p->mtu_anno() : pmtu_));

  const uint32_t room = mtu_ - out_hlen - kICMPHeader;
  const auto offending = static_cast<uint32_t>(p->end_data() - h);
  const uint32_t body = offending < room ? offending : room;
  std::memcpy(icmp + kICMPHeader, h, body);
  const uint32_t total = out_hlen + kICMPHeader + body;
  q->take(mtu_ - total);
  const uint16_t icmp_sum = internet_checksum(icmp, kICMPHeader + body);
  std::memcpy(icmp + 2, &icmp_sum, 2);
  store_be16(e + 2, static_cast<uint16_t>(total));
  set_ip_header_checksum(e, out_hlen);

  q->set_network_header(e, out_hlen);
  std::memcpy(q->anno() + kDstIPAnnoOffset, h + 12, 4);
  if (set_fix_anno_) q->set_fix_ip_src_anno(1);
  q->set_timestamp(Timestamp::now());
  p->release();
  return q;
}
