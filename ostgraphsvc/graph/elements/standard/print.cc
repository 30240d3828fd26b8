#include "ostgraphsvc/graph/elements/standard/print.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include "graph/args.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"

namespace {

uint16_t be16(const unsigned char* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t be32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

void dotted(StringBuilder& sb, const unsigned char* a) {
  sb << unsigned{a[0]} << '.' << unsigned{a[1]} << '.' << unsigned{a[2]} << '.' << unsigned{a[3]};
}

// "NONE"/"HEX"/"ASCII" in any case, or a boolean word (true = hex).
bool parse_contents(const String& word, int* mode) {
  const String lower = word.lower();
  if (lower == "none") return *mode = IPPrint::kNone, true;
  if (lower == "hex") return *mode = IPPrint::kHex, true;
  if (lower == "ascii") return *mode = IPPrint::kAscii, true;
  bool b;
  if (!cp_parse_bool(word, &b)) return false;
  *mode = b ? IPPrint::kHex : IPPrint::kNone;
  return true;
}

const char kHexDigits[] = "0123456789abcdef";

void append_hex(StringBuilder& sb, unsigned char c) {
  sb << kHexDigits[c >> 4] << kHexDigits[c & 15];
}

char printable(unsigned char c) { return c >= 32 && c <= 126 ? static_cast<char>(c) : '.'; }

void* field_datum(const Element* e, const void* field) {
  return reinterpret_cast<void*>(
      static_cast<uintptr_t>(static_cast<const char*>(field) - reinterpret_cast<const char*>(e)));
}

}  // namespace

// ---- IPPrint ----------------------------------------------------------------

IPPrint::~IPPrint() {
  if (outfile_ != nullptr) std::fclose(outfile_);
}

int IPPrint::configure(Vector<String>& conf, ErrorHandler* errh) {
  String label;
  String contents_word = "no";
  String payload_word = "no";
  int32_t maxlength = 1500;
  int32_t nbytes = INT32_MIN;
  bool print_id = false, print_timestamp = true, print_paint = false, print_tos = false,
       print_ttl = false, swap = true, print_length = false, print_aggregate = false, active = true;
  String outfile;
  String channel;
  if (Args(conf, this, errh)
          .read_string("LABEL", Args::kPositional, label)
          .read_word("CONTENTS", 0, contents_word)
          .read_word("PAYLOAD", 0, payload_word)
          .read_int("MAXLENGTH", 0, maxlength)
          .read_int("NBYTES", 0, nbytes)
          .read_bool("ID", 0, print_id)
          .read_bool("TIMESTAMP", 0, print_timestamp)
          .read_bool("PAINT", 0, print_paint)
          .read_bool("TOS", 0, print_tos)
          .read_bool("TTL", 0, print_ttl)
          .read_bool("SWAP", 0, swap)
          .read_bool("LENGTH", 0, print_length)
          .read_bool("AGGREGATE", 0, print_aggregate)
          .read_bool("ACTIVE", 0, active)
          .read_filename("OUTFILE", 0, outfile)
          .read_word("CHANNEL", 0, channel)
          .check_and_commit() < 0)
    return -1;

  int contents = kNone;
  if (!parse_contents(contents_word, &contents))
    return errh->error("bad contents value '%s'; should be 'NONE', 'HEX', or 'ASCII'",
                       contents_word.c_str());
  const String payload_lower = payload_word.lower();
  int payload_mode = -1;
  if (payload_lower == "no" || payload_lower == "false") payload_mode = kNone;
  if (payload_lower == "yes" || payload_lower == "true" || payload_lower == "hex")
    payload_mode = kHex;
  if (payload_lower == "ascii") payload_mode = kAscii;
  if (payload_mode < 0)
    return errh->error("bad payload value '%s'; should be 'false', 'hex', or 'ascii'",
                       payload_word.c_str());
  bool payload = false;
  if (payload_mode != kNone) {
    if (contents != kNone) return errh->error("specify at most one of PAYLOAD and CONTENTS");
    contents = payload_mode;
    payload = true;
  }

  label_ = label;
  contents_ = contents;
  payload_ = payload;
  maxlength_ = nbytes != INT32_MIN ? nbytes : maxlength;
  print_id_ = print_id;
  print_timestamp_ = print_timestamp;
  print_paint_ = print_paint;
  print_tos_ = print_tos;
  print_ttl_ = print_ttl;
  print_length_ = print_length;
  print_aggregate_ = print_aggregate;
  swap_ = swap;
  active_ = active;
  outfile_name_ = outfile;
  return 0;
}

int IPPrint::initialize(ErrorHandler* errh) {
  if (outfile_name_.length() == 0) return 0;
  outfile_ = std::fopen(outfile_name_.c_str(), "wb");
  if (outfile_ == nullptr)
    return errh->error("%s: %s", outfile_name_.c_str(), std::strerror(errno));
  return 0;
}

void IPPrint::cleanup(CleanupStage) {
  if (outfile_ == nullptr) return;
  std::fclose(outfile_);
  outfile_ = nullptr;
}

void IPPrint::add_handlers() {
  void* datum = field_datum(this, &active_);
  Router::set_handler(this, "active", Handler::kRead | Handler::kWrite, bool_field_handler, datum,
                      datum);
}

void IPPrint::transport_part(StringBuilder& sb, const unsigned char* ip, const unsigned char* end,
                             uint32_t packet_length) const {
  const uint32_t hlen = (ip[0] & 0x0Fu) * 4u;
  const uint32_t iplen = be16(ip + 2);
  const uint8_t proto = ip[9];
  const bool first = (be16(ip + 6) & 0x1FFF) == 0;
  // The transport bytes that both the IP length and the packet hold.
  const unsigned char* th = ip + hlen;
  int64_t tlen = static_cast<int64_t>(iplen) - hlen;
  if (hlen > static_cast<uint32_t>(end - ip)) tlen = 0;
  if (tlen > 0 && end - th < tlen) tlen = end - th;
  if (tlen < 0) tlen = 0;

  dotted(sb, ip + 12);
  const bool ports = (proto == 6 || proto == 17) && first && tlen >= 4;
  if (ports) sb << '.' << unsigned{be16(th)};
  sb << " > ";
  dotted(sb, ip + 16);
  if (ports) sb << '.' << unsigned{be16(th + 2)};

  if (proto == 6) {
    if (!first) return void(sb << ": tcp");
    if (tlen < 4) return void(sb << ": truncated-tcp");
    sb << ": ";
    if (tlen < 14) return void(sb << "truncated-tcp");
    const uint8_t flags = th[13];
    const uint32_t doff = (th[12] >> 4) * 4u;
    const uint32_t seq = be32(th + 4);
    uint32_t n = tlen > doff ? static_cast<uint32_t>(tlen - doff) : 0;
    if (flags & 0x02) ++n;
    if (flags & 0x01) ++n;
    if (flags & 0x02) sb << 'S';
    if (flags & 0x01) sb << 'F';
    if (flags & 0x04) sb << 'R';
    if (flags & 0x08) sb << 'P';
    if ((flags & 0x0F) == 0) sb << '.';
    sb << ' ' << seq << ':' << static_cast<uint32_t>(seq + n) << '(' << n << ',' << packet_length
       << ',' << iplen << ')';
    if (flags & 0x10) sb << " ack " << be32(th + 8);
    if (tlen >= 16) return void(sb << " win " << unsigned{be16(th + 14)});
    sb << "truncated-tcp";
    return;
  }
  if (proto == 17) {
    if (!first) return void(sb << ": udp");
    if (tlen < 4) return void(sb << ": truncated-udp");
    sb << ": ";
    if (tlen < 8) return void(sb << "truncated-udp");
    sb << "udp " << unsigned{be16(th + 4)};
    return;
  }
  if (proto != 1) {
    sb << ": ip-proto-" << unsigned{proto};
    return;
  }
  sb << ": ";
  if (!first) return void(sb << "icmp");
  if (tlen < 2) return void(sb << "truncated-icmp");
  const uint8_t type = th[0];
  const uint8_t code = th[1];
  if (type == 0 || type == 8) {
    sb << (type == 0 ? "icmp echo-reply " : "icmp echo ");
    if (tlen < 8) return;
    uint16_t id = be16(th + 4);
    uint16_t seq = be16(th + 6);
    if (!swap_) {
      id = static_cast<uint16_t>(id << 8 | id >> 8);
      seq = static_cast<uint16_t>(seq << 8 | seq >> 8);
    }
    sb << '(' << unsigned{id} << ", " << unsigned{seq} << ')';
    return;
  }
  if (type == 3) {
    if (tlen < 28) {
      sb << "icmp unreachable code " << unsigned{code} << " truncated-icmp";
      return;
    }
    const unsigned char* quoted = th + 8;
    sb << "icmp ";
    dotted(sb, quoted + 16);
    sb << " unreachable code " << unsigned{code};
    if (code == 2) sb << ' ' << unsigned{quoted[9]};
    if (code == 3) {
      sb << " protocol " << unsigned{quoted[9]};
      // The quoted header's own length may point anywhere: only a port that
      // lies inside the packet is printed.
      const uint32_t qhlen = (quoted[0] & 0x0Fu) * 4u;
      if (8 + static_cast<int64_t>(qhlen) + 4 <= tlen)
        sb << '/' << unsigned{be16(quoted + qhlen + 2)};
    }
    if (code == 4 && be16(th + 6) != 0) sb << " (mtu " << unsigned{be16(th + 6)} << ')';
    return;
  }
  sb << "icmp type " << unsigned{type};
  if (code != 0) sb << " code " << unsigned{code};
}

void IPPrint::contents_part(StringBuilder& sb, const Packet* p, const unsigned char* ip,
                            const unsigned char* end) const {
  const unsigned char* start = p->data();
  if (payload_) {
    const uint32_t hlen = (ip[0] & 0x0Fu) * 4u;
    const bool first = (be16(ip + 6) & 0x1FFF) == 0;
    const int64_t room = end - ip;
    start = hlen <= room ? ip + hlen : end;
    if (first && ip[9] == 6) {
      // The data offset comes from the packet: a payload past the end has
      // no bytes to print.
      const int64_t doff = end - start >= 13 ? (start[12] >> 4) * 4 : INT32_MAX;
      start = doff <= end - start ? start + doff : end;
    }
    if (first && ip[9] == 17) start = end - start >= 8 ? start + 8 : end;
  }
  int64_t n = end - start;
  if (maxlength_ >= 0 && maxlength_ < n) n = maxlength_;
  for (int64_t i = 0; i < n; ++i) {
    const unsigned char c = start[i];
    if (contents_ == kHex) {
      if (i % 24 == 0)
        sb << "\n  ";
      else if (i % 4 == 0)
        sb << ' ';
      append_hex(sb, c);
      continue;
    }
    if (i % 48 == 0)
      sb << "\n  ";
    else if (i % 8 == 0)
      sb << ' ';
    sb << printable(c);
  }
}

String IPPrint::line(const Packet* p) const {
  const unsigned char* ip = p->network_header();
  const unsigned char* end = p->end_data();
  if (ip == nullptr || ip < p->buffer() || ip > end) return String();
  StringBuilder sb;
  if (label_.length() > 0) sb << label_ << ": ";
  if (print_timestamp_) {
    sb.append_timestamp(p->timestamp());
    sb << ": ";
  }
  if (print_aggregate_) sb << '#' << p->anno_u32(kAggregateAnnoOffset);
  if (print_paint_) sb << (print_aggregate_ ? "." : "paint ") << unsigned{p->paint_anno()};
  if (print_aggregate_ || print_paint_) sb << ": ";
  if (end - ip < 20) {
    sb << "truncated-ip";
    return sb.take_string();
  }
  if (print_id_) sb << "id " << unsigned{be16(ip + 4)} << ' ';
  if (print_ttl_) sb << "ttl " << unsigned{ip[8]} << ' ';
  if (print_tos_) sb << "tos " << unsigned{ip[1]} << ' ';
  if (print_length_) sb << "length " << unsigned{be16(ip + 2)} << ' ';
  transport_part(sb, ip, end, p->length());
  const uint16_t frag = be16(ip + 6);
  if ((frag & 0x3FFF) != 0) {
    const uint32_t hlen = (ip[0] & 0x0Fu) * 4u;
    sb << " (frag " << unsigned{be16(ip + 4)} << ':' << (be16(ip + 2) - static_cast<int>(hlen))
       << '@' << (frag & 0x1FFFu) * 8u;
    if (frag & 0x2000) sb << '+';
    sb << ')';
  }
  if (contents_ != kNone) contents_part(sb, p, ip, end);
  return sb.take_string();
}

Packet* IPPrint::packet_action(Packet* p) {
  if (!active_) return p;
  const String text = line(p);
  if (text.length() == 0) return p;
  if (outfile_ != nullptr) {
    std::fwrite(text.data(), 1, static_cast<size_t>(text.length()), outfile_);
    std::fputc('\n', outfile_);
    return p;
  }
  router_chatter("%s", text.c_str());
  return p;
}

// ---- Print ------------------------------------------------------------------

int Print::configure(Vector<String>& conf, ErrorHandler* errh) {
  String label;
  int32_t maxlength = 24;
  String contents_word = "HEX";
  bool timestamp = false, printanno = false, active = true, headroom = false;
  if (Args(conf, this, errh)
          .read_string("LABEL", Args::kPositional, label)
          .read_int("MAXLENGTH", Args::kPositional, maxlength)
          .read_int("LENGTH", Args::kDeprecated, maxlength)
          .read_int("NBYTES", Args::kDeprecated, maxlength)
          .read_word("CONTENTS", 0, contents_word)
          .read_bool("TIMESTAMP", 0, timestamp)
          .read_bool("PRINTANNO", 0, printanno)
          .read_bool("ACTIVE", 0, active)
          .read_bool("HEADROOM", 0, headroom)
          .check_and_commit() < 0)
    return -1;
  int contents = IPPrint::kHex;
  if (!parse_contents(contents_word, &contents))
    return errh->error("bad contents value '%s'; should be 'NONE', 'HEX', or 'ASCII'",
                       contents_word.c_str());
  label_ = label;
  maxlength_ = maxlength;
  contents_ = contents;
  timestamp_ = timestamp;
  printanno_ = printanno;
  active_ = active;
  headroom_ = headroom;
  return 0;
}

void Print::add_handlers() {
  void* datum = field_datum(this, &active_);
  Router::set_handler(this, "active", Handler::kRead | Handler::kWrite, bool_field_handler, datum,
                      datum);
}

String Print::line(const Packet* p) const {
  StringBuilder sb;
  const char* sep = "";
  if (label_.length() > 0) {
    sb << label_;
    sep = ": ";
  }
  if (timestamp_) {
    sb << sep;
    sb.append_timestamp(p->timestamp());
    sep = ": ";
  }
  char length[16];
  std::snprintf(length, sizeof length, "%4u", p->length());
  sb << sep << length;
  if (headroom_) sb << " (h" << p->headroom() << " t" << p->tailroom() << ')';
  if (printanno_) {
    sb << " | ";
    for (int i = 0; i < kAnnoSize; ++i) append_hex(sb, p->anno()[i]);
  }
  if (contents_ == IPPrint::kNone) return sb.take_string();
  uint32_t n = p->length();
  if (maxlength_ >= 0 && static_cast<uint32_t>(maxlength_) < n)
    n = static_cast<uint32_t>(maxlength_);
  if (n == 0) return sb.take_string();
  sb << " | ";
  const unsigned char* d = p->data();
  for (uint32_t i = 0; i < n; ++i) {
    if (contents_ == IPPrint::kHex) {
      if (i > 0 && i % 4 == 0) sb << ' ';
      append_hex(sb, d[i]);
      continue;
    }
    if (i % 8 == 0) sb << ' ';
    sb << printable(d[i]);
  }
  return sb.take_string();
}

Packet* Print::packet_action(Packet* p) {
  if (!active_) return p;
  const String text = line(p);
  if (text.length() == 0) {
    router_chatter("no memory for Print");
    return p;
  }
  router_chatter("%s", text.c_str());
  return p;
}
