#include "ostgraphsvc/overlaymsg/print_messages.h"

#include <algorithm>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "client/lib/cxLog/cxLog.h"
#include "graph/router_log.h"
#include "ostgraphsvc/overlaymsg/overlay_msg_type.h"

namespace {

constexpr int kLevel = 6;
// Each NAT and endpoint piece is formatted within this limit.
constexpr size_t kPieceLimit = 512;
// A whole line never holds more than the log adapter's buffer, so a compound
// text stops growing there.
constexpr size_t kLineLimit = 3024;
// Escaped peer texts: site and MAC address, then name servers and domains.
constexpr size_t kShortTextLimit = 256;
constexpr size_t kLongTextLimit = 1024;

bool printing() {
  return cxLogEnabled.load(std::memory_order_relaxed) &&
         router_log_service_level(kLevel) <= cxLogThreshold.load(std::memory_order_relaxed);
}

const char* text_or_empty(const char* s) { return s != nullptr ? s : ""; }

// The address in a uint32 field: its in-memory bytes on a little-endian host
// are the address in network order, so the low byte comes first.
struct Dotted {
  char text[16];
};
Dotted dotted(uint32_t v) {
  Dotted d;
  std::snprintf(d.text, sizeof d.text, "%u.%u.%u.%u", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF,
                v >> 24);
  return d;
}

// Appends a piece formatted within kPieceLimit to `out` (of `used` bytes in a
// `cap`-byte buffer). False once the buffer is full.
__attribute__((format(printf, 4, 5))) bool append_piece(char* out, size_t cap, size_t* used,
                                                        const char* format, ...) {
  if (*used + 1 >= cap) return false;
  char piece[kPieceLimit];
  va_list args;
  va_start(args, format);
  int n = std::vsnprintf(piece, sizeof piece, format, args);
  va_end(args);
  if (n < 0) return true;
  size_t len = static_cast<size_t>(n) < sizeof piece ? static_cast<size_t>(n) : sizeof piece - 1;
  size_t room = cap - 1 - *used;
  if (len > room) len = room;
  std::memcpy(out + *used, piece, len);
  *used += len;
  out[*used] = '\0';
  return *used + 1 < cap;
}

}  // namespace

void print_wanlink_state(const WanLinkStateDescMsg& entry, const char* peer) {
  if (!printing()) return;
  const Dotted ip = dotted(entry.wls_ipv4());
  log_syslog_level(kLevel, "print_wanlink_state", __FILE__, __LINE__,
                   "Overlay WAN Link state IPv4:%s, STATE:%u", ip.text, entry.wls_state());
  // The pieces run together with nothing between them.
  char nat[kLineLimit] = "";
  size_t used = 0;
  for (uint32_t address : entry.wls_natipv4()) {
    if (!append_piece(nat, sizeof nat, &used, "NATIPv4:%s STATE:%u", dotted(address).text,
                      entry.wls_state()))
      break;
  }
  log_syslog_level(kLevel, "print_wanlink_state", __FILE__, __LINE__,
                   "OVERLAY_WANLINK_STATE_MSG_%s IPv4:%s, STATE:%u NAT_STATE(%s)",
                   text_or_empty(peer), ip.text, entry.wls_state(), nat);
}

void print_overlay_state_msg(const OstrelOverlayStateMsg& msg, const char* peer) {
  if (!printing()) return;
  const char* from = text_or_empty(peer);
  if (msg.osm_type() != OVERLAY_WANLINK_STATE_MSG) {
    log_syslog_level(kLevel, "print_overlay_state_msg", __FILE__, __LINE__,
                     "OVERLAY_WANLINK_STATE_MSG_%s OSM_Type:%d", from,
                     static_cast<int>(msg.osm_type()));
    return;
  }
  const WanLinkStateMsg& links = msg.osm_wlsmsg();
  if (links.wls_list_size() == 0) {
    log_syslog_level(kLevel, "print_overlay_state_msg", __FILE__, __LINE__,
                     "OVERLAY_WANLINK_STATE_MSG_%s OSM_Type:%d Version:%u", from,
                     static_cast<int>(msg.osm_type()), links.wls_version());
    return;
  }
  const int shown = std::min(links.wls_list_size(), kMaxPrintedListEntries);
  for (int i = 0; i < shown; ++i) print_wanlink_state(links.wls_list(i), peer);
  if (shown < links.wls_list_size()) {
    log_syslog_level(kLevel, "print_overlay_state_msg", __FILE__, __LINE__,
                     "OVERLAY_WANLINK_STATE_MSG_%s %d more WAN links not printed", from,
                     links.wls_list_size() - shown);
  }
}

void print_pathid_msg(const OstrelOverlayStateMsg& msg, const char* peer) {
  if (!printing()) return;
  const WanEndPtMsg& endpoint = msg.osm_endptmsg();
  char text[6 * kPieceLimit] = "";
  size_t used = 0;
  if (endpoint.wep_list_size() > 0) {
    const WanEndPtDescMsg& first = endpoint.wep_list(0);
    append_piece(text, sizeof text, &used, "PATHID:%u ", first.wep_my_pathid());
    append_piece(text, sizeof text, &used, "MYIPv4:%s ", dotted(first.wep_my_ipv4()).text);
    append_piece(text, sizeof text, &used, "NATIPv4:%s ", dotted(first.wep_remote_nat_ipv4()).text);
    append_piece(text, sizeof text, &used, "NATport:%d ",
                 static_cast<int>(first.wep_remote_nat_port()));
    if (first.has_wep_ods()) {
      // The peer's receive loss is this side's transmit loss.
      append_piece(text, sizeof text, &used, "TXLOSS_D:%f ", first.wep_ods().ods_rxloss_delayed());
      append_piece(text, sizeof text, &used, "TXLOSS_I:%f ", first.wep_ods().ods_rxloss_instant());
    }
  }
  log_syslog_level(kLevel, "print_pathid_msg", __FILE__, __LINE__,
                   "OVERLAY_PATHID_STATE_MSG_%s OSM_type:%d Version:%u %s", text_or_empty(peer),
                   static_cast<int>(msg.osm_type()), endpoint.wep_version(), text);
}

void print_state_sync_msg(const OstrelOverlayStateMsg& msg, const char* peer) {
  if (!printing()) return;
  const SyncStateMsg& sync = msg.osm_syncstatemsg();
  log_syslog_level(kLevel, "print_state_sync_msg", __FILE__, __LINE__,
                   "OVERLAY_SYNC_STATE_MSG_%s WAN_LINK_State_Version:%u WAN_EPT_State_Version:%u "
                   "RM Version:%u UA Version:%u AM version:%u",
                   text_or_empty(peer), sync.wls_version(), sync.wep_version(), sync.rm_version(),
                   sync.ua_version(), sync.am_version());
}

void print_overlay_route_msg(const OstrelOverlayStateMsg& msg) {
  if (!printing()) return;
  log_syslog_level(kLevel, "print_overlay_route_msg", __FILE__, __LINE__,
                   "OverlayRouteMessageType:%d", static_cast<int>(msg.osm_type()));
  if (msg.osm_type() != OVERLAY_ROUTE_MSG) return;
  const RouteMsg& routes = msg.osm_routemsg();
  const int shown = std::min(routes.route_size(), kMaxPrintedListEntries);
  for (int i = 0; i < shown; ++i) {
    const Route& route = routes.route(i);
    log_syslog_level(kLevel, "print_overlay_route_msg", __FILE__, __LINE__,
                     "Overlay_RM ip %u prefix %u gw %u", route.ip(), route.netmask(), route.gw());
  }
  if (shown < routes.route_size()) {
    log_syslog_level(kLevel, "print_overlay_route_msg", __FILE__, __LINE__,
                     "Overlay_RM %d more routes not printed", routes.route_size() - shown);
  }
}

void print_user_auth_msg(const OstrelOverlayStateMsg& msg) {
  if (!printing()) return;
  log_syslog_level(kLevel, "print_user_auth_msg", __FILE__, __LINE__, "OverlayUserAuthMsg:%d",
                   static_cast<int>(msg.osm_type()));
  if (msg.osm_type() != OVERLAY_USERAUTH_MSG) return;
  const UserAuthMsg& auth = msg.osm_userauthmsg();
  if (!auth.has_uam_jwt()) return;
  // The token is a credential: its length only.
  log_syslog_level(kLevel, "print_user_auth_msg", __FILE__, __LINE__,
                   "OverlayUserAuthMsg: version %u jwt len:%d", auth.uam_version(),
                   static_cast<int>(auth.uam_jwt().size()));
}

void print_addr_mgmt_msg(const OstrelOverlayStateMsg& msg) {
  if (!printing()) return;
  log_syslog_level(kLevel, "print_addr_mgmt_msg", __FILE__, __LINE__, "OverlayAddrMgmtMsg:%d",
                   static_cast<int>(msg.osm_type()));
  if (msg.osm_type() != OVERLAY_ADDRMGMT_MSG) return;
  const AddrMgmtMsg& addr = msg.osm_addrmgmtmsg();
  const std::string site = cxLogEscape(addr.amm_site_id(), kShortTextLimit);
  const std::string mac = cxLogEscape(addr.amm_mac_addr(), kShortTextLimit);
  log_syslog_level(kLevel, "print_addr_mgmt_msg", __FILE__, __LINE__,
                   "OverlayAddrMgmtMsg: version %u type %u site:%s addr:%x (mask:%x) mac:%s rc:%d "
                   "leasetimesecs:%d",
                   addr.amm_version(), addr.amm_msg_type(), site.c_str(), addr.amm_ipv4_addr(),
                   addr.amm_ipv4_mask(), mac.c_str(), static_cast<int>(addr.amm_ret_code()),
                   static_cast<int>(addr.amm_lifetime()));
  if (addr.amm_nameservers().empty() && addr.amm_domain_list().empty()) return;
  const std::string ns = cxLogEscape(addr.amm_nameservers(), kLongTextLimit);
  const std::string dom = cxLogEscape(addr.amm_domain_list(), kLongTextLimit);
  log_syslog_level(kLevel, "print_addr_mgmt_msg", __FILE__, __LINE__,
                   "OverlayAddrMgmtMsg:ns:%s dom:%s", ns.c_str(), dom.c_str());
}
