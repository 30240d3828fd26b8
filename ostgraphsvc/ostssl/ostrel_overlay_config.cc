#include "ostgraphsvc/ostssl/ostrel_overlay_config.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "client/lib/cxLog/cxLog.h"
#include "graph/json.h"
#include "graph/router_log.h"
#include "ostgraphsvc/config/tarn_config_reader.h"
#include "ostgraphsvc/ostssl/ostssl.h"

namespace {

constexpr char kParseTag[] = "OstrelOverlayConfig::ioc_parse_config";
constexpr char kResetTag[] = "OstrelOverlayJson::resetOverlayJson";
constexpr char kLoadTag[] = "OstrelOverlayJson::LoadOstrelOverlayJson";
constexpr char kAddPeerTag[] = "OstrelOverlayJson::addpeer";
constexpr char kGroupAddPeerTag[] = "OnePeerGroup::addpeer";
constexpr char kAddLinkTag[] = "OnePeer::addlink";

// The largest number of seconds whose nanoseconds fit a Timestamp.
constexpr int64_t kMaxTimestampSeconds = INT64_MAX / Timestamp::kNsecPerSec;

#define OVCFG_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

// Text from the file, made safe for one log line.
std::string shown(const String& text) {
  return cxLogEscape(std::string_view(text.data(), static_cast<size_t>(text.length())));
}

// A copy in a block of its own, so that the configuration does not keep the
// whole file text alive and shares no reference count with it.
String owned(const String& text) { return String(text.data(), text.length()); }

bool is_string(const Json& value) { return value.type() == Json::kString; }

// A dotted quad, or 0.0.0.0 for anything else.
IPAddress address_of(const Json& value) {
  IPAddress address;
  if (is_string(value)) cp_parse_ip_address(value.text(), &address);  // untouched on failure
  return address;
}

// Json::to_int's rules widened to 64 bits, so that seconds past 2038 are not
// cut to the int range; strtoll saturates what does not fit.
int64_t to_int64(const Json& value) {
  const String& text = value.text();
  if (text.empty()) return 0;
  if (text.length() == 1) return text[0] >= '0' && text[0] <= '9' ? text[0] - '0' : 0;
  return std::strtoll(text.c_str(), nullptr, 0);
}

void read_lastusedip_details(const Json& details, LastUsedIpDetails* record) {
  if (details.type() != Json::kObject) return;
  IPAddress ip_addr = address_of(details.get("ip_addr"));
  if (ip_addr.empty()) return;

  record->ip_addr = ip_addr;
  record->ip_mask = address_of(details.get("ip_mask"));
  record->assigned_peer = address_of(details.get("assigned_peer"));
  const Json& lease = details.get("lease_time_secs");
  if (lease.type() == Json::kInteger) record->lease_time_secs = lease.to_int();
  int64_t seconds = 0;
  const Json& assigned = details.get("assigned_time");
  if (assigned.type() == Json::kInteger) seconds = to_int64(assigned);
  if (seconds > kMaxTimestampSeconds || seconds < -kMaxTimestampSeconds) {
    OVCFG_LOG(4, kLoadTag, "lastusedip_details: assigned_time %lld out of range, read as 0",
              static_cast<long long>(seconds));
    seconds = 0;
  }
  record->assigned_time = Timestamp::make_sec(seconds);
  const Json& name_servers = details.get("name_servers");
  if (is_string(name_servers)) record->name_servers = owned(name_servers.text());
  const Json& domain_list = details.get("domain_list");
  if (is_string(domain_list)) record->domain_list = owned(domain_list.text());

  OVCFG_LOG(6, kLoadTag,
            "IP Loaded from cache: %s peer %s lease %d assigned time %lld ns:%s dom:%s",
            record->ip_addr.to_string().c_str(), record->assigned_peer.to_string().c_str(),
            record->lease_time_secs, static_cast<long long>(seconds),
            shown(record->name_servers).c_str(), shown(record->domain_list).c_str());
}

}  // namespace

void OnePeer::addlink(IPAddress wan_ip) {
  if (link_count >= 0 && link_count < kOverlayMaxLinksPerPeer) {
    links[link_count] = wan_ip;
    OVCFG_LOG(6, kAddLinkTag, "Peer %s adding link %s at Index: %d", overlay_ip.to_string().c_str(),
              wan_ip.to_string().c_str(), link_count);
    ++link_count;
    return;
  }
  OVCFG_LOG(4, kAddLinkTag,
            "add link not done for overlay ip: %s as current number of links in link (%s): %d",
            overlay_ip.to_string().c_str(), wan_ip.to_string().c_str(), link_count);
}

void OnePeerGroup::addpeer(const OnePeer& peer) {
  int count = peer_count < kOverlayMaxPeersPerGroup ? peer_count : kOverlayMaxPeersPerGroup;
  for (int i = 0; i < count; ++i) {
    if (peers[i].overlay_ip == peer.overlay_ip) {
      peers[i].addlink(peer.links[0]);
      return;
    }
  }
  if (peer_count < 0 || peer_count >= kOverlayMaxPeersPerGroup) {
    OVCFG_LOG(4, kGroupAddPeerTag,
              "add peer not done for overlay ip: %s as current number of peers in group (%s): %d",
              peer.overlay_ip.to_string().c_str(), shown(group_name).c_str(), peer_count);
    return;
  }
  OnePeer& member = peers[peer_count];
  member = OnePeer();
  member.overlay_ip = peer.overlay_ip;
  member.pubkey = peer.pubkey;
  member.cost = peer.cost;
  member.port = peer.port;
  member.links[0] = peer.links[0];
  member.link_count = 1;
  OVCFG_LOG(6, kGroupAddPeerTag, "Adding Peer %s group %s link %s at Index: %d",
            peer.overlay_ip.to_string().c_str(), shown(group_name).c_str(),
            peer.links[0].to_string().c_str(), peer_count);
  ++peer_count;
}

void LastUsedIpDetails::clear() { *this = LastUsedIpDetails(); }

void OstrelOverlayJson::resetOverlayJson() {
  OVCFG_LOG(6, kResetTag, "resetting Overlay peer data structure: %d", group_count);
  for (int g = 0; g < group_count && g < kOverlayMaxPeerGroups; ++g) {
    OnePeerGroup& group = groups[g];
    for (int p = 0; p < group.peer_count && p < kOverlayMaxPeersPerGroup; ++p) {
      OVCFG_LOG(6, kResetTag, "resetting Overlay peer link data structure: %d",
                group.peers[p].link_count);
    }
  }
  for (OnePeerGroup& group : groups) group = OnePeerGroup();
  group_count = 0;
  dynamic_addressing = false;
  tls_only = false;
  // A reload starts from nothing: a static address or texts kept from an
  // earlier file would outlive a file that no longer has them.
  overlay_ip = IPAddress();
  overlay_vip = IPAddress();
  tenant_id = String();
  site_id = String();
  hostname = String();
  macaddr = String();
  lastusedip_details.clear();
}

void OstrelOverlayJson::addpeer(const OnePeer& peer, const String& group_name,
                                const String& group_id) {
  if (!group_id.empty()) {
    for (int g = 0; g < group_count && g < kOverlayMaxPeerGroups; ++g) {
      OnePeerGroup& group = groups[g];
      if (!(group.group_id == group_id)) continue;
      if (group.peer_count < kOverlayMaxPeersPerGroup) {
        group.addpeer(peer);
        return;
      }
      // A full group still takes a further link of one of its own peers,
      // which must not turn up again as the hub of another group.
      for (int p = 0; p < kOverlayMaxPeersPerGroup; ++p) {
        if (group.peers[p].overlay_ip == peer.overlay_ip) {
          group.addpeer(peer);
          return;
        }
      }
    }
  }
  if (group_count >= 0 && group_count < kOverlayMaxPeerGroups) {
    OnePeerGroup& group = groups[group_count];
    group.group_name = group_name;
    group.group_id = group_id;
    group.addpeer(peer);
    ++group_count;
    return;
  }
  OVCFG_LOG(4, kAddPeerTag,
            "add peer not done for overlay ip: %s as current number of peer group configured: %d",
            peer.overlay_ip.to_string().c_str(), group_count);
}

int OstrelOverlayJson::LoadOstrelOverlayJson(const String& file_name) {
  Json root;
  int err = Json::file_parse(file_name, root);
  if (err != 0) {
    OVCFG_LOG(3, kLoadTag, "JSON config %s parse failed, err=%d", shown(file_name).c_str(), err);
    return -1;
  }
  const Json& local = root.get("local");

  const Json& own_ip = local.get("overlayIP");
  if (!is_string(own_ip)) {
    OVCFG_LOG(3, kLoadTag, "cannot find the self overlay ip!!!, can't proceed");
    return -1;
  }
  overlay_ip = address_of(own_ip);

  const Json& tenant = local.get("tenantID");
  if (!is_string(tenant)) {
    OVCFG_LOG(3, kLoadTag, "cannot find tenant id!!!, can't proceed");
    return -1;
  }
  tenant_id = owned(tenant.text());
  ostssl::ssl_check_and_set_tenant_id(tenant_id);

  const Json& vip = local.get("overlayVip");
  if (is_string(vip)) overlay_vip = address_of(vip);
  if (overlay_vip.empty()) dynamic_addressing = true;

  const Json& site = local.get("siteid");
  if (is_string(site)) site_id = owned(site.text());
  const Json& host = local.get("hostname");
  if (is_string(host)) hostname = owned(host.text());
  const Json& mac = local.get("macaddr");
  if (is_string(mac)) macaddr = owned(mac.text());
  const Json& tls = local.get("tls_only");
  if (tls.type() == Json::kBoolean) tls_only = tls.to_bool();

  lastusedip_details.clear();
  read_lastusedip_details(local.get("lastusedip_details"), &lastusedip_details);

  const Json& nexthop = local.get("nexthop");
  if (nexthop.type() != Json::kArray) {
    OVCFG_LOG(3, kLoadTag, "No peers configured!!!");
    return 0;
  }
  const Vector<Json>& entries = static_cast<const JsonArray*>(nexthop.body())->elements;
  for (int i = 0; i < entries.size(); ++i) {
    const Json& entry = entries[i];
    const int number = i + 1;
    const Json& ipv4 = entry.get("ipv4");
    if (!is_string(ipv4)) {
      OVCFG_LOG(4, kLoadTag, "skipping entry %d, missing peer overlay ip in the configuration json",
                number);
      continue;
    }
    const Json& wanip = entry.get("wanip");
    if (!is_string(wanip) || wanip.text().empty()) {
      OVCFG_LOG(4, kLoadTag, "skipping entry %d, missing wan ip in the configuration json", number);
      continue;
    }

    OnePeer peer;
    peer.overlay_ip = address_of(ipv4);
    peer.links[0] = address_of(wanip);
    peer.link_count = 1;
    const Json& cost = entry.get("cost");
    if (cost.type() == Json::kInteger) peer.cost = cost.to_int();
    const Json& port = entry.get("port");
    if (port.type() == Json::kInteger) peer.port = port.to_int();
    const Json& pubkey = entry.get("pubkey");
    if (is_string(pubkey)) peer.pubkey = owned(pubkey.text());
    const Json& name = entry.get("groupname");
    String group_name = owned(is_string(name) ? name.text() : ipv4.text());
    const Json& id = entry.get("groupid");
    String group_id = owned(is_string(id) ? id.text() : ipv4.text());

    OVCFG_LOG(6, kLoadTag, "add peer for overlay ip: %s", shown(ipv4.text()).c_str());
    addpeer(peer, group_name, group_id);
  }
  OVCFG_LOG(6, kLoadTag, "total peer found in config file: %d", entries.size());
  return 0;
}

int OstrelOverlayConfig::ioc_parse_config(const String& file_name) {
  OVCFG_LOG(6, kParseTag, "Parsing: %s", shown(file_name).c_str());
  overlay_json.resetOverlayJson();
  if (overlay_json.LoadOstrelOverlayJson(file_name) != 0) {
    OVCFG_LOG(3, kParseTag, "JSON config parse failed, err=%d", -1);
    return -1;
  }
  // Read again for the peer list alone: the load succeeds without one, the
  // element's configuration as a whole does not.
  Json root;
  int err = Json::file_parse(file_name, root);
  if (err != 0) {
    OVCFG_LOG(3, kParseTag, "JSON config parse failed, err=%d", err);
    return -1;
  }
  if (root.get("local").get("nexthop").type() != Json::kArray) {
    OVCFG_LOG(3, kParseTag, "cannot find nexthop!!!");
    return -1;
  }
  return 0;
}

MultiLinkMode get_multilink_mode() {
  std::string support;
  if (!CTarnConfigReader::GetInstance().readMultiLinkSupportConfig(&support)) {
    return MULTILINK_SINGLE;
  }
  for (char& c : support) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (support == "active_active") return MULTILINK_ACTIVE_ACTIVE;
  if (support == "active_standby") return MULTILINK_ACTIVE_STANDBY;
  return MULTILINK_SINGLE;
}
