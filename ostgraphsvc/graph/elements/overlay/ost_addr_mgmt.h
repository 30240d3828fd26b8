// OstAddrMgmt: the lease of this device's virtual address.
//
// A device without a static virtual address ("overlayVip") leases one from
// a hub of its first hub group. This element (no ports, no arguments,
// configure phase 13, after the SNAT mapper and the overlay element) owns
// that lease: it says which address message a hub gets on each state tick
// (request 1, keep 4, renew 5, rebind 6), applies an assigned address,
// reuses the previous run's address while its lease lasts, and spreads an
// address change to source NAT, to the protocol demux, to the hubs (route
// update) and to the other client processes (network-disconnect event).
//
// Lease times are wall-clock Timestamps; elapsed seconds and the renew and
// rebind points are computed in 64 bits. Lease seconds are signed 32-bit:
// larger lifetimes are taken as 2^31 - 1.
//
// Process-wide: the first configured element registers itself
// (`registered_addr_mgmt`); the registration goes when it is destroyed.
//
// Threads: configure and initialize run while the graph starts. Everything
// else runs under the registered overlay element's lock (taken here too,
// it is recursive): on the packet thread (state ticks, received address
// messages, status listings) and on the transport's connect thread (a path
// to a hub came up: `check_and_initiate_ip_refresh`).
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OST_ADDR_MGMT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OST_ADDR_MGMT_H_

#include <cstdint>
#include <mutex>

#include "graph/element.h"
#include "graph/ipaddress.h"
#include "graph/string.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/ostssl/ostrel_overlay_config.h"

class OstrelSNATIPMapper;
class OstrelL3ProtoClassifier;

// A copy of the current lease, for the status listing.
struct OstAddrMgmtLease {
  IPAddress address;
  IPAddress mask;
  IPAddress leasing_hub;
  int32_t lease_secs = 0;
  Timestamp assigned_time;
  String name_servers;
  String domain_list;
};

enum AddrMgmtMsgType : int {
  kAddrMsgRequest = 1,
  kAddrMsgKeep = 4,
  kAddrMsgRenew = 5,
  kAddrMsgRebind = 6,
};

class OstAddrMgmt : public Element {
 public:
  static constexpr int32_t kMaxLeaseSecs = 0x7fffffff;
  static constexpr int kLogInterval = 120;

  OstAddrMgmt() = default;
  ~OstAddrMgmt() override;

  const char* class_name() const override { return "OstAddrMgmt"; }
  const char* port_count() const override { return "0"; }
  int configure_phase() const override { return 13; }
  bool can_live_reconfigure() const override { return true; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;

  // Which address message hub `hub` gets now; `*expired` is set only when
  // an expired lease is found.
  int get_peer_address_msg_type(IPAddress hub, bool* expired);
  // Applies an address: `renew` starts the lease now and records it as the
  // last used. A `lease_secs` above 2^31 - 1 is taken as that.
  void set_ip_addr(IPAddress hub, IPAddress address, IPAddress mask, uint32_t lease_secs,
                   bool renew, const String& name_servers, const String& domain_list);
  void notify_ip_addr_change(IPAddress address);
  void check_and_initiate_ip_refresh(IPAddress hub);
  void initiate_ip_refresh(IPAddress hub);
  void trigger_route_update(IPAddress hub);
  // Lease 0 and the last-used record emptied; the address stays.
  void clear_lease();
  void reset_address_state();
  // True when the lease from `hub` needs refreshing (expired, or renew or
  // rebind due), with the type and flag.
  bool check_address_state_to_refresh(IPAddress hub, int* type, bool* expired);

  // The static virtual address when configured, else the leased one.
  IPAddress get_current_vip();
  IPAddress current_address();
  IPAddress leasing_hub();
  OstAddrMgmtLease lease();
  LastUsedIpDetails last_used();

  OstrelSNATIPMapper* snat_mapper() const { return snat_mapper_; }
  OstrelL3ProtoClassifier* proto_demux() const { return proto_demux_; }

 private:
  // Holds the registered overlay's lock when there is an overlay.
  std::unique_lock<std::recursive_mutex> hold_overlay();

  int32_t decision_counter_ = 0;
  int32_t log_interval_ = kLogInterval;
  IPAddress current_address_;
  IPAddress current_mask_;
  int32_t lease_secs_ = 0;
  Timestamp assigned_time_;
  String name_servers_;
  String domain_list_;
  IPAddress leasing_hub_;
  OstrelSNATIPMapper* snat_mapper_ = nullptr;
  OstrelL3ProtoClassifier* proto_demux_ = nullptr;
  LastUsedIpDetails last_used_;
};

// The first configured address manager, or null.
OstAddrMgmt* registered_addr_mgmt();

// A domain list of only white space counts as none.
String normalized_domain_list(const String& text);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OST_ADDR_MGMT_H_
