#include "ostgraphsvc/graph/elements/ip/fragmenter.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "graph/args.h"
#include "graph/error_handler.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"

namespace {

constexpr uint16_t kDF = 0x4000;
constexpr uint16_t kMF = 0x2000;
constexpr uint16_t kOffsetMask = 0x1FFF;
constexpr uint32_t kMaxHeader = 60;

// The refusal line is written in the framework's message language (it has
// "%p{ip_ptr}"), so it is formatted there and logged as plain text.
String format_message(const char* format, ...) {
  va_list args;
  va_start(args, format);
  String text = ErrorHandler::format_with_flags(0, format, args);
  va_end(args);
  return text;
}

// Copies the options of the `hlen`-byte header at `ip` that later fragments
// carry (type bit 7 set) to `out`; returns their length.
uint32_t copied_options(const unsigned char* ip, uint32_t hlen, unsigned char* out) {
  uint32_t n = 0;
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
    if (type & 0x80) {
      std::memcpy(out + n, ip + i, len);
      n += len;
    }
    i += len;
  }
  return n;
}

String read_counter(Element* e, void* user_data) {
  auto* f = static_cast<OstrelIPFragmenter*>(e);
  return String(user_data != nullptr ? f->fragments() : f->drops());
}

}  // namespace

int OstrelIPFragmenter::configure(Vector<String>& conf, ErrorHandler* errh) {
  uint32_t mtu = 0;
  bool honor_df = true;
  bool verbose = false;
  uint32_t headroom = kDefaultHeadroom;
  if (Args(conf, this, errh)
          .read_uint("MTU", Args::kMandatory | Args::kPositional, mtu)
          .read_bool("HONOR_DF", Args::kPositional, honor_df)
          .read_bool("VERBOSE", Args::kPositional, verbose)
          .read_uint("HEADROOM", 0, headroom)
          .check_and_commit() < 0)
    return -1;
  if (mtu < 8) return errh->error("MTU must be at least 8");
  mtu_ = mtu;
  honor_df_ = honor_df;
  verbose_ = verbose;
  headroom_ = headroom;
  return 0;
}

void OstrelIPFragmenter::add_handlers() {
  Router::add_read_handler(this, "drops", read_counter, nullptr);
  static char fragments_tag;
  Router::add_read_handler(this, "fragments", read_counter, &fragments_tag);
}

void OstrelIPFragmenter::push(int, Packet* p) {
  if (p->fragment_anno() & 1) {
    output(0).push(p);
    return;
  }
  const int mtu = p->mtu_anno() != 0 ? p->mtu_anno() : static_cast<int>(mtu_);
  unsigned char* nh = p->network_header();
  const bool located = nh != nullptr && nh >= p->data() && nh <= p->end_data();
  const int available = static_cast<int>(located ? p->end_data() - nh : p->length());
  if (available <= mtu) {
    output(0).push(p);
    return;
  }

  // Only a header whose lengths fit the packet is cut up; anything else too
  // long for the path is refused rather than copied from past its end.
  IPHeaderView ip;
  if (!IPHeaderView::locate(p, &ip) || ip.total_length() < ip.header_length() ||
      ip.total_length() > ip.header_length() + ip.transport_length()) {
    refuse(p, mtu, nullptr, false);
    return;
  }
  if (static_cast<int>(ip.total_length()) <= mtu) {
    // Only trailing bytes beyond the datagram made it look long.
    p->take(static_cast<uint32_t>(available) - ip.total_length());
    output(0).push(p);
    return;
  }
  const int first_len = (mtu - static_cast<int>(ip.header_length())) & ~7;
  const bool df = load_be16(ip.header() + 6) & kDF;
  if ((df && honor_df_) || first_len <= 0) {
    refuse(p, mtu, ip.header(), true);
    return;
  }
  fragment(p, mtu);
}

void OstrelIPFragmenter::refuse(Packet* p, int mtu, const unsigned char* ip, bool log) {
  if (log && (verbose_ || drops_ < kQuietDrops)) {
    const String line = format_message("OstrelIPFragmenter(%d) DF %p{ip_ptr} %p{ip_ptr} len=%d",
                                       mtu, ip + 12, ip + 16, static_cast<int>(p->length()));
    router_chatter("%s", line.c_str());
  }
  ++drops_;
  if (noutputs() > 1) {
    output(1).push(p);
    return;
  }
  p->release();
}

void OstrelIPFragmenter::fragment(Packet* p, int mtu) {
  const uint32_t ip_offset = static_cast<uint32_t>(p->network_header() - p->data());
  if (p->shared()) {
    p = p->make_unshared(0, 0);
    if (p == nullptr) return;
  }
  unsigned char* ip = p->data() + ip_offset;
  const uint32_t hlen = (ip[0] & 0x0Fu) * 4u;
  const uint32_t data_len = load_be16(ip + 2) - hlen;
  const uint32_t first_len = static_cast<uint32_t>(mtu - static_cast<int>(hlen)) & ~7u;

  uint16_t flags_offset = load_be16(ip + 6);
  if (flags_offset & kDF) {
    store_be16(ip + 4, static_cast<uint16_t>(std::rand() & 0x7FFF));
    flags_offset = static_cast<uint16_t>(flags_offset & ~kDF);
  }
  const bool had_mf = flags_offset & kMF;
  store_be16(ip + 2, static_cast<uint16_t>(hlen + first_len));
  store_be16(ip + 6, static_cast<uint16_t>(flags_offset | kMF));
  set_ip_header_checksum(ip, hlen);

  if (Packet* first = p->clone()) {
    first->take(first->length() - (ip_offset + hlen + first_len));
    ++fragments_;
    output(0).push(first);
  }

  unsigned char header[kMaxHeader] = {};
  std::memcpy(header, ip, IPHeaderView::kMinHeaderLength);
  const uint32_t options = copied_options(ip, hlen, header + IPHeaderView::kMinHeaderLength);
  const uint32_t out_hlen = (IPHeaderView::kMinHeaderLength + options + 3) & ~3u;
  header[0] = static_cast<unsigned char>(0x40 | (out_hlen / 4));
  const uint32_t piece = static_cast<uint32_t>(mtu - static_cast<int>(out_hlen)) & ~7u;

  for (uint32_t off = first_len; off < data_len;) {
    const uint32_t len = piece < data_len - off ? piece : data_len - off;
    const bool last = off + len >= data_len;
    Packet* q = Packet::make(headroom_, nullptr, out_hlen + len);
    if (q != nullptr) {
      unsigned char* h = q->data();
      std::memcpy(h, header, out_hlen);
      uint16_t field =
          static_cast<uint16_t>((flags_offset & ~kOffsetMask) | kMF |
                                (((flags_offset & kOffsetMask) + off / 8) & kOffsetMask));
      if (last && !had_mf) field = static_cast<uint16_t>(field & ~kMF);
      store_be16(h + 6, field);
      store_be16(h + 2, static_cast<uint16_t>(out_hlen + len));
      set_ip_header_checksum(h, out_hlen);
      std::memcpy(h + out_hlen, ip + hlen + off, len);
      q->set_network_header(h, out_hlen);
      std::memcpy(q->anno(), p->anno(), kAnnoSize);
      q->set_packet_type(p->packet_type());
      q->set_timestamp(p->timestamp());
      ++fragments_;
      output(0).push(q);
    }
    off += len;
  }
  p->release();
}
