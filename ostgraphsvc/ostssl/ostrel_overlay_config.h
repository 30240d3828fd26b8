// The overlay peer configuration: who this device is on the overlay, which
// hubs and gateways it may connect to, and the virtual address it last held.
//
// The overlay element names one JSON file with its "CONF" keyword and owns one
// `OstrelOverlayConfig`; `ioc_parse_config` fills it from "local" of that
// file: the own overlay address, the tenant ID (handed on to the transport,
// see ostssl.h), the static virtual address or dynamic addressing, site, host
// and MAC texts, TLS only, the last-used lease ("lastusedip_details") and the
// peers of "nexthop" sorted into hub groups by their group ID. The
// other half of the file (the device information base) is read elsewhere.
//
// Hub groups (`OnePeerGroup`) keep the order in which their IDs first appear;
// a group holds up to 8 peers (`OnePeer`) in the order of their first entry,
// and a peer holds up to 8 WAN links. A further entry for a peer already in
// its group adds a link. When a group with an ID is full the next peer with
// that ID opens another group with the same ID; past 32 groups, past 8 links
// the surplus is dropped with a log line. Entries without "ipv4" or a
// non-empty "wanip" are skipped with a log line; an address text that is not
// a dotted quad reads as 0.0.0.0. Texts from the file are kept as given and
// escaped only where they are logged.
//
// "assigned_time" (seconds since 1970) is read with 64 bits; a value whose
// nanoseconds do not fit the 64-bit `Timestamp` reads as 0 with a warning.
// Other integers go through `Json::to_int`, which saturates to the int range.
//
// Log lines use the router-side log call with the class and method as tag:
// progress at information (6), skipped entries, dropped surplus and
// out-of-range values at warning (4), failures that stop the load at error
// (3).
//
// `get_multilink_mode` interprets the client's "multilink_support" setting
// (CTarnConfigReader::readMultiLinkSupportConfig).
//
// Threads: the configuration is filled on the service thread while the router
// starts, before the transport's threads run, and only read afterwards.
// `get_multilink_mode` may be called from any thread.
#ifndef OSTGRAPHSVC_OSTSSL_OSTREL_OVERLAY_CONFIG_H_
#define OSTGRAPHSVC_OSTSSL_OSTREL_OVERLAY_CONFIG_H_

#include <cstdint>

#include "graph/ipaddress.h"
#include "graph/string.h"
#include "graph/timestamp.h"

inline constexpr int kOverlayMaxPeerGroups = 32;
inline constexpr int kOverlayMaxPeersPerGroup = 8;
inline constexpr int kOverlayMaxLinksPerPeer = 8;

// One hub or gateway.
struct OnePeer {
  // Stores `wan_ip` as the next link while fewer than 8 are held; the same
  // address may be held twice.
  void addlink(IPAddress wan_ip);

  IPAddress overlay_ip;  // "ipv4"
  String pubkey;         // PEM text of "pubkey", empty when absent
  int32_t cost = 0;
  int32_t port = 0;
  int32_t link_count = 0;
  IPAddress links[kOverlayMaxLinksPerPeer];  // WAN addresses, in order of addition
};

// One hub group: the first peer is the group's hub, the others its failover
// alternates in order.
struct OnePeerGroup {
  // Adds `peer` (which holds one link) as a new member, or its link to the
  // member with the same overlay address; the new entry's cost, port and key
  // are then ignored.
  void addpeer(const OnePeer& peer);

  String group_name;
  String group_id;
  int32_t peer_count = 0;
  OnePeer peers[kOverlayMaxPeersPerGroup];
};

// The virtual address last leased from a hub, as the client stored it.
struct LastUsedIpDetails {
  void clear();

  IPAddress ip_addr;
  IPAddress ip_mask;
  IPAddress assigned_peer;  // overlay address of the leasing hub
  int32_t lease_time_secs = 0;
  Timestamp assigned_time;
  String name_servers;
  String domain_list;
};

class OstrelOverlayJson {
 public:
  // Parses `file_name` into this configuration: 0, or -1 at the first
  // failure (unparsable file, no "overlayIP", no "tenantID"), keeping what
  // was set before it. A missing "nexthop" is not a failure here.
  int LoadOstrelOverlayJson(const String& file_name);
  // Back to the empty configuration: no groups, peers or links, flags off,
  // addresses 0, texts and the last-used record empty.
  void resetOverlayJson();
  // Sorts one parsed peer into the first group with `group_id` that has room,
  // else into a new group (always for an empty ID), else drops it.
  void addpeer(const OnePeer& peer, const String& group_name, const String& group_id);

  bool dynamic_addressing = false;  // no usable static virtual address
  bool tls_only = false;
  IPAddress overlay_ip;   // "overlayIP"
  IPAddress overlay_vip;  // "overlayVip", 0 when absent
  String tenant_id;
  String site_id;
  String hostname;
  String macaddr;
  int32_t group_count = 0;
  OnePeerGroup groups[kOverlayMaxPeerGroups];
  LastUsedIpDetails lastusedip_details;
};

// The overlay element's configuration holder.
class OstrelOverlayConfig {
 public:
  // Resets and reloads the whole configuration from `file_name`: 0, or -1
  // when the load fails or the file has no "local"."nexthop" array.
  int ioc_parse_config(const String& file_name);

  OstrelOverlayJson overlay_json;
};

enum MultiLinkMode {
  MULTILINK_SINGLE = 0,
  MULTILINK_ACTIVE_ACTIVE = 1,
  MULTILINK_ACTIVE_STANDBY = 2,
};

// "active_active" or "active_standby" in any letter case; anything else, or
// no setting, is a single link. Reads the client file on every call.
MultiLinkMode get_multilink_mode();

#endif  // OSTGRAPHSVC_OSTSSL_OSTREL_OVERLAY_CONFIG_H_
