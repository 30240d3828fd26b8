#include "ostgraphsvc/graph/elements/ip/tcpmssfix.h"

#include <cstring>

#include "graph/args.h"
#include "graph/error_handler.h"
#include "graph/json.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "ostgraphsvc/graph/elements/ip/ip_headers.h"
#include "platform/fs/paths.h"

namespace {

constexpr uint8_t kTCPAck = 0x10;
constexpr uint8_t kOptionEnd = 0;
constexpr uint8_t kOptionNop = 1;
constexpr uint8_t kOptionMSS = 2;
constexpr uint8_t kOptionWindowScale = 3;

// One byte range of the TCP header to rewrite, found before anything is
// written so that an untouched packet is never copied.
struct Change {
  uint32_t at = 0;
  uint32_t length = 0;
  unsigned char bytes[2] = {};
};

// Writes `c` into the TCP header at `tcp` (of `available` bytes) and adjusts
// the checksum over the 16-bit words that hold the changed bytes.
void apply(unsigned char* tcp, uint32_t available, const Change& c) {
  const uint32_t from = c.at & ~1u;
  const uint32_t to = (c.at + c.length + 1) & ~1u;
  unsigned char old_words[4] = {};
  unsigned char new_words[4] = {};
  for (uint32_t i = from; i < to; ++i) {
    if (i < available) old_words[i - from] = tcp[i];
  }
  std::memcpy(tcp + c.at, c.bytes, c.length);
  for (uint32_t i = from; i < to; ++i) {
    if (i < available) new_words[i - from] = tcp[i];
  }
  const uint16_t delta = checksum_delta(old_words, new_words, to - from);
  if (delta != 0) checksum_update(tcp + 16, delta);
}

}  // namespace

void OstrelTCPMSSFix::load_config() {
  const std::string path = platform::under_root(kParamsPath);
  Json params;
  if (Json::file_parse(String(path.c_str()), params) < 0) {
    router_chatter("No tcp params configuration %s", path.c_str());
    return;
  }
  const Json& ws = params.get("wsfactor");
  if (ws.type() == Json::kInteger) window_scale_ = static_cast<uint32_t>(ws.to_int());
  router_chatter("TCPMSSFIX: ws factor from file: %d", static_cast<int>(window_scale_));
}

int OstrelTCPMSSFix::configure(Vector<String>& conf, ErrorHandler* errh) {
  window_scale_ = 0;
  load_config();
  uint32_t mtu = 0;
  uint32_t window_scale = window_scale_;
  if (Args(conf, this, errh)
          .read_uint("MTU", Args::kMandatory | Args::kPositional, mtu)
          .read_uint("WINDOW_SCALING", 0, window_scale)
          .check_and_commit() < 0)
    return -1;
  mtu_ = mtu != 0 ? mtu : kDefaultMTU;
  window_scale_ = window_scale;
  router_chatter("TCPMSSFIX: ws factor: %d", static_cast<int>(window_scale_));
  return 0;
}

void OstrelTCPMSSFix::push(int, Packet* p) {
  IPHeaderView ip;
  TCPHeaderView tcp;
  if (!IPHeaderView::locate(p, &ip) || ip.protocol() != kIPProtoTCP || !ip.first_fragment() ||
      !TCPHeaderView::locate(ip, TCPHeaderView::kMinHeaderLength, &tcp) ||
      !(tcp.flags() & kTCPSyn)) {
    output(0).push(p);
    return;
  }

  const unsigned char* t = tcp.header();
  const uint32_t available = tcp.available();
  const uint32_t end = tcp.header_length() < available ? tcp.header_length() : available;
  const uint16_t mtu = p->mtu_anno() != 0 ? p->mtu_anno() : static_cast<uint16_t>(mtu_);
  const uint16_t clamp = static_cast<uint16_t>(mtu - 40);
  Change changes[2];
  int nchanges = 0;
  uint32_t i = TCPHeaderView::kMinHeaderLength;
  while (i < end) {
    const uint8_t kind = t[i];
    if (kind == kOptionEnd) break;
    if (kind == kOptionNop) {
      ++i;
      continue;
    }
    if (i + 1 >= end) break;
    const uint32_t len = t[i + 1];
    if (len < 2 || i + len > end) break;
    if (kind == kOptionWindowScale && window_scale_ != 0 && len >= 3 && !(tcp.flags() & kTCPAck) &&
        nchanges < 2) {
      const auto shift = static_cast<unsigned char>(window_scale_);
      if (t[i + 2] != shift) changes[nchanges++] = Change{i + 2, 1, {shift, 0}};
    } else if (kind == kOptionMSS && len == 4) {
      if (load_be16(t + i + 2) >= clamp && load_be16(t + i + 2) != clamp && nchanges < 2) {
        Change c{i + 2, 2, {}};
        store_be16(c.bytes, clamp);
        changes[nchanges++] = c;
      }
      if (window_scale_ == 0) break;
    }
    i += len;
  }
  if (nchanges == 0) {
    output(0).push(p);
    return;
  }

  const auto tcp_offset = static_cast<uint32_t>(tcp.header() - p->data());
  if (p->shared()) {
    p = p->make_unshared(0, 0);
    if (p == nullptr) return;
  }
  for (int k = 0; k < nchanges; ++k) apply(p->data() + tcp_offset, available, changes[k]);
  output(0).push(p);
}
