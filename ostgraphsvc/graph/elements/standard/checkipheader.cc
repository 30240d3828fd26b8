#include "ostgraphsvc/graph/elements/standard/checkipheader.h"

#include <cstring>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"

const char* const CheckIPHeader::kReasonText[kReasonCount] = {
    "tiny packet",   "bad IP version",  "bad IP header length",
    "bad IP length", "bad IP checksum", "bad source address"};

namespace {

enum { kDrops = 0, kDropDetails = 1 };

// One's-complement sum of `length` bytes (even) folded to 16 bits.
uint16_t fold_sum(const unsigned char* p, uint32_t length) {
  uint32_t sum = 0;
  for (uint32_t i = 0; i + 1 < length; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint16_t>(sum);
}

// Byte offset of a member from the Element base, for the field handlers.
void* field_datum(const Element* e, const void* field) {
  return reinterpret_cast<void*>(
      static_cast<uintptr_t>(static_cast<const char*>(field) - reinterpret_cast<const char*>(e)));
}

}  // namespace

int CheckIPHeader::configure(Vector<String>& conf, ErrorHandler* errh) {
  String interfaces;
  Vector<IPAddress> bad_src;
  Vector<IPAddress> good_dst;
  uint32_t offset = 0;
  bool verbose = false;
  bool details = false;
  bool checksum = true;
  Args args(this, errh);
  args.bind(conf)
      .read_string("INTERFACES", 0, interfaces)
      .read_ip_list("BADSRC", 0, bad_src)
      .read_ip_list("GOODDST", 0, good_dst)
      .read_uint("OFFSET", 0, offset)
      .read_bool("VERBOSE", 0, verbose)
      .read_bool("DETAILS", 0, details)
      .read_bool("CHECKSUM", 0, checksum)
      .remove_consumed();
  if (args.commit() < 0) return -1;

  // A lone unsigned leftover is the offset; anything else is refused with
  // the parser's own message.
  if (conf.size() == 1) {
    uint32_t v;
    if (cp_parse_uint32(nullptr, conf[0], &v)) {
      offset = v;
      conf.clear();
    }
  }
  if (conf.size() > 0 && Args(conf, this, errh).check_and_commit() < 0) return -1;

  if (interfaces.length() > 0) {
    Vector<String> words;
    cp_split_words(interfaces, &words);
    bad_src.clear();
    good_dst.clear();
    for (int i = 0; i < words.size(); ++i) {
      IPAddress a;
      IPAddress m;
      if (!cp_parse_ip_prefix(words[i], true, &a, &m)) {
        errh->error("INTERFACES: bad interface '%s'", words[i].c_str());
        return -1;
      }
      bad_src.push_back(IPAddress((a.addr() & m.addr()) | ~m.addr()));
      good_dst.push_back(a);
    }
    bad_src.push_back(IPAddress(0u));
    bad_src.push_back(IPAddress(0xFFFFFFFFu));
  }

  offset_ = offset;
  bad_src_ = bad_src;
  good_dst_ = good_dst;
  verbose_ = verbose;
  details_ = details;
  checksum_ = checksum;
  return 0;
}

bool CheckIPHeader::contains(const Vector<IPAddress>& list, IPAddress a) {
  for (int i = 0; i < list.size(); ++i)
    if (list[i] == a) return true;
  return false;
}

Packet* CheckIPHeader::drop(int reason, Packet* p) {
  if (drops_ == 0 || verbose_)
    router_chatter("%s: IP header check failed: %s", name().c_str(), kReasonText[reason]);
  ++drops_;
  if (details_) ++reason_drops_[reason];
  if (noutputs() == 2) {
    output(1).push(p);
    return nullptr;
  }
  p->release();
  return nullptr;
}

Packet* CheckIPHeader::packet_action(Packet* p) {
  if (p->msgtype() != 1 && p->msgtype() != 2) return p;
  if (p->length() < offset_ || p->length() - offset_ < 20) return drop(0, p);
  unsigned char* ip = p->data() + offset_;
  const uint32_t plen = p->length() - offset_;
  if ((ip[0] >> 4) != 4) return drop(1, p);
  const uint32_t hlen = (ip[0] & 0x0Fu) * 4u;
  if (hlen < 20) return drop(2, p);
  const uint32_t len = static_cast<uint32_t>(ip[2] << 8 | ip[3]);
  if (len > plen || len < hlen) return drop(3, p);
  if (checksum_ && fold_sum(ip, hlen) != 0xFFFF) return drop(4, p);
  IPAddress src;
  IPAddress dst;
  std::memcpy(&src, ip + 12, 4);
  std::memcpy(&dst, ip + 16, 4);
  if (contains(bad_src_, src) && !contains(good_dst_, dst)) return drop(5, p);

  p->set_network_header(ip, hlen);
  if (plen > len) p->take(plen - len);
  p->set_dst_ip_anno(dst);
  return p;
}

String CheckIPHeader::read_handler(Element* e, void* data) {
  auto* c = static_cast<CheckIPHeader*>(e);
  if (reinterpret_cast<uintptr_t>(data) == kDrops) return String(c->drops_);
  StringBuilder sb;
  for (int i = 0; i < kReasonCount; ++i)
    sb << c->reason_drops_[i] << '\t' << kReasonText[i] << '\n';
  return sb.take_string();
}

void CheckIPHeader::add_handlers() {
  Router::add_read_handler(this, "drops", read_handler, reinterpret_cast<void*>(kDrops));
  if (details_)
    Router::add_read_handler(this, "drop_details", read_handler,
                             reinterpret_cast<void*>(kDropDetails));
}

int configure_paint(Element* e, Vector<String>& conf, ErrorHandler* errh, uint8_t* color,
                    int* anno) {
  uint8_t c = 0;
  int a = 16;
  if (Args(conf, e, errh)
          .read_color(c)
          .read_anno("ANNO", Args::kPositional, a, 1)
          .check_and_commit() < 0)
    return -1;
  *color = c;
  *anno = a;
  return 0;
}

int Paint::configure(Vector<String>& conf, ErrorHandler* errh) {
  return configure_paint(this, conf, errh, &color_, &anno_);
}

void Paint::add_handlers() {
  void* datum = field_datum(this, &color_);
  Router::set_handler(this, "color", Handler::kRead | Handler::kWrite, byte_field_handler, datum,
                      datum);
}

Packet* Paint::packet_action(Packet* p) {
  p->set_anno_u8(anno_, color_);
  return p;
}

int CheckPaint::configure(Vector<String>& conf, ErrorHandler* errh) {
  return configure_paint(this, conf, errh, &color_, &anno_);
}

void CheckPaint::add_handlers() {
  void* datum = field_datum(this, &color_);
  Router::set_handler(this, "color", Handler::kRead | Handler::kWrite, byte_field_handler, datum,
                      datum);
}

void CheckPaint::divert(Packet* p) {
  if (noutputs() == 2) {
    output(1).push(p);
    return;
  }
  p->release();
}

void CheckPaint::push(int, Packet* p) {
  if (p->anno_u8(anno_) == color_) {
    output(0).push(p);
    return;
  }
  divert(p);
}

Packet* CheckPaint::pull(int) {
  Packet* p = input(0).pull();
  if (p == nullptr) return nullptr;
  if (p->anno_u8(anno_) == color_) return p;
  divert(p);
  return nullptr;
}
