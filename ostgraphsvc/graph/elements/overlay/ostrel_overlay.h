// OstrelOverlay: the element that owns the overlay tunnel.
//
// It holds the own overlay identity and peer configuration (CONF file), the
// device information base (DIB) of every overlay device, the next-hop table
// (NHT), one OverlayPeerDescriptor per provisioned peer (handles 1-32, never
// given back) and the path table of OverlayDescriptors by local path id. At
// configure (phase 10) it loads CONF into the peer configuration and the
// DIB, starts the transport and builds its interface list; at initialize it
// decides which DIB peers get a descriptor (`build_overlays`), fills the NHT
// from the DIB, and asks the transport to connect to the current hub of every
// hub group. It reaches the transport only through OverlayTransport.
//
// Push ports ("1-/1-"):
//   input 0  encapsulation: inner IPv4 packet for the overlay address in the
//            destination annotation; leaves on output 0 wrapped in an outer
//            IPv4 header and the 16-byte (protocol 252) or legacy (UDP 7777)
//            overlay header, with the connection named by peer_wan_ip_anno
//            and peer_local_ip_anno.
//   input 1  decapsulation of what a connection delivered (path id in
//            overlay_path_anno): control messages leave on output 1, data on
//            output 3. Packets from outside: every length, header byte,
//            sequence and version is checked, a drop never reads past the
//            packet's end.
//   input 2  annotations only, then output 2.
//   input 3+ straight to output 3.
// A missing output drops the packet.
//
// Process-wide: the first configured element registers itself
// (`registered_overlay`) and as the route table's OstrelOverlayConfigQuerier;
// both registrations go when it is destroyed. It answers the NHT's
// OstrelPeerPathQuery.
//
// Threads and the overlay lock: `overlay_lock()` is one recursive mutex over
// the peer, path and address tables, the descriptors' path vectors and WAN
// links, the DIB (its controller path counts), the NHT and the connected-
// paths list. The packet thread holds it around each push; every writer
// takes it; the transport's table mutexes come before it, so no transport
// operation that takes them may be called while it is held (connect requests
// go out without it). The path table has its own reader-writer lock as well:
// writers (who hold the overlay lock) take it exclusively, and `find_path`
// takes it shared, so any thread may look a path up without the overlay lock
// and keep the descriptor alive through the shared pointer it gets. Only the
// OD's receive and transmit times and its remote-up flag may be written
// without the overlay lock (atomics).
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "graph/element.h"
#include "graph/hash_table.h"
#include "graph/ipaddress.h"
#include "graph/string.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/overlay/overlay_descriptor.h"
#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"
#include "ostgraphsvc/ostdib/ostrel_dib.h"
#include "ostgraphsvc/ostdib/ostrel_nht.h"
#include "ostgraphsvc/ostdib/peer_path_query.h"
#include "ostgraphsvc/ostssl/ostrel_overlay_config.h"
#include "ostgraphsvc/ostssl/ostssl_listener.h"
#include "ostgraphsvc/overlay_view/overlay_view.h"

class OstrelRouteTable;
namespace platform {
class SharedPage;
}

// One local WAN interface as an "InterfaceInfo" element reports it.
struct OverlayWanLinkEntry {
  uint32_t l2_index = 0;
  uint32_t l3_index = 0;
  uint64_t tx_packets = 0, tx_bytes = 0, rx_packets = 0, rx_bytes = 0;
  uint8_t up = 1;
  uint8_t admin_up = 1;
  uint64_t tx_priority_bytes[3] = {0, 0, 0};  // priorities 1, 2, 3
  Element* reporter = nullptr;
  Vector<uint32_t> path_ids;  // paths registered for the link's events
};

// One connection reported up and not yet removed.
struct OverlayConnectedPath {
  uint32_t path_id = 0;
  IPAddress local_address;
  IPAddress remote_address;
  bool is_new = true;
};

class OstrelOverlay : public Element,
                      public OstrelPeerPathQuery,
                      public OstrelOverlayConfigQuerier,
                      public ostssl_listener,
                      public OverlayView {
 public:
  static constexpr int kMaxPeers = 32;
  static constexpr int kNoSpace = -28;
  static constexpr uint8_t kProtocolOverlay = 252;
  static constexpr uint8_t kProtocolUDP = 17;
  static constexpr uint16_t kLegacyPort = 7777;
  static constexpr uint32_t kFullHeaderLength = 16;
  static constexpr uint32_t kLegacyHeaderLength = 6;
  static constexpr uint32_t kOuterHeaderLength = 20;
  static constexpr uint32_t kUDPHeaderLength = 8;
  static constexpr uint32_t kMaxIPv4Length = 65535;
  static constexpr uint16_t kDefaultMTU = 1300;
  static constexpr int kLookupLogPeriod = 128;

  OstrelOverlay();
  ~OstrelOverlay() override;

  const char* class_name() const override { return "OstrelOverlay"; }
  const char* port_count() const override { return "1-/1-"; }
  const char* processing() const override { return kPush; }
  void* cast(const char* name) override;
  int configure_phase() const override { return 10; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void push(int port, Packet* p) override;

  // ---- Configuration and start-up.
  int load_config_from_file();
  // 0, or -22 without a local DIB entry.
  int build_overlays();
  // 0, or -28 when all 32 handles are taken. The OPD is the element's on 0.
  int insert_opd(IPAddress address, OverlayPeerDescriptor* opd);
  void update_nht_for_one_dib(OstrelDIB* entry);
  void reinit_overlays(bool reset_all);
  void connect_to_all_peers();
  void trigger_wan_state_msg();
  String show_overlay_state_sync();

  // ---- Paths (ostrel_overlay_paths.cc). Any thread; they take the overlay
  // lock.
  // Records one more connection of `path_id` for the peer `peer_id`: makes
  // or shares the path, its WAN links, MTU and probes. 0, or -1 for an
  // unknown peer.
  int add_path(const String& peer_id, uint32_t path_id, const ostssl_conn_info& info);
  // One connection of the path went; at the last the path goes, and with
  // the last connection of all the network-disconnect signal when the
  // policy asks for it. 0, or -1 for an unknown peer or path.
  int remove_path(const String& peer_id, uint32_t path_id);
  void io_start_path_probes_to_peer(OstrelDIB* local, OstrelDIB* peer, OverlayPeerDescriptor* opd,
                                    OverlayDescriptor* od, uint16_t protocol);
  // Posts one probe tick to the packet queue (serialised ring).
  void start_probes();
  // Whether routing goes on as if tunnels were up when none is: the client
  // configuration's enforce_route, else the registry switch.
  bool ignoreRoutePolicyWithNoActiveTunnel(bool log);
  // Asks every connected peer without a client address for a route update.
  // Establishment checks and handler triggers happen outside the overlay
  // section.
  void trigger_route_update_to_all_peers();
  // Moves the hub group of `opd` to its next member: false when it did.
  bool try_next_peer_if_available(OverlayPeerDescriptor* opd);
  // A path's WAN-state change while its connected-paths entry is new.
  void trigger_wan_state_msg(uint32_t path_id);

  // ---- Transport events. on_ostssl_read takes no lock (path table lookup
  // with a shared reference, one atomic store); the others take the overlay
  // lock and call the transport only after releasing it.
  bool on_ostssl_read(ostssl_conn_info* info) override;
  bool on_ostssl_closed(ostssl_conn_info* info) override;
  bool on_ostssl_timeout(ostssl_conn_info* info) override;
  bool on_ostssl_connect(ostssl_conn_info* info) override;
  int on_ostssl_sock_closed(ostssl_conn_info* info) override;

  // ---- Lookups (overlay lock held or taken).
  OverlayPeerDescriptor* get_opd(IPAddress address);
  OverlayPeerDescriptor* get_opd_by_peer_id(const String& peer_id);
  // get_opd for callers that hold the overlay lock (the data plane).
  OverlayPeerDescriptor* find_opd(IPAddress address);
  OstrelDIB* get_dib(IPAddress address);
  OverlayWanLinkEntry* get_wanlink_tbl_ex(uint32_t index);
  // The path with `path_id`, held for the caller (find_path).
  std::shared_ptr<OverlayDescriptor> get_od(uint32_t path_id) const { return find_path(path_id); }
  // The local node's DIB roles, loaded from the local DIB entry while 0.
  uint16_t get_local_roles();
  // The route message (kind 11) announcing the virtual address to `opd` on
  // `path`; null without a virtual address (logged).
  Packet* build_route_msg_packet(OverlayPeerDescriptor* opd,
                                 const std::shared_ptr<OverlayDescriptor>& path, uint32_t version);
  // A hub ran out of addresses: moves its group on. False when it did.
  bool check_and_failover_hub(OverlayPeerDescriptor* opd);

  // ---- Status (ostrel_overlay_status.cc).
  // The read handlers: "show_overlays", "show_qoe", "show_qoe_cfg",
  // "show_nht", "show_nht_json", "show_dibs", "show_dibs_json",
  // "show_path_stats", "show_schedq_stats", "show_overlay_state_sync".
  void add_handlers() override;
  // JSON array of every established path; logs the PATH_COUNT summary and
  // gives the fail-close manager its verdict (no path listed: in force).
  String list_overlays();
  // Rewrites the page "Global\shmgraphpathstats": length (little-endian)
  // at 0, the listing from 4 cut to 4090 characters and a NUL. Any thread;
  // takes the overlay lock, then the page lock.
  void update_shm_path_stats();
  String show_path_stats();
  String show_schedq_stats();
  String show_qoe();
  String show_nht();
  String show_nht_json();
  String show_dibs();
  String show_dibs_json();
  // At least one hub group and no static virtual address.
  bool uses_dynamic_addressing() const;
  // The static virtual address, else the address manager's; 0 when none.
  IPAddress get_current_vip() const;
  static constexpr size_t kPathStatsTextLimit = 4090;

  // ---- Data plane (packet thread, overlay lock held by push).
  void encapsulate_and_push(Packet* p);
  void decapsulate_and_push(Packet* p);
  OverlayPeerDescriptor* get_nh_opd(IPAddress destination, Packet* p, bool keep_path);
  bool is_od_encap_ready(const OverlayDescriptor& od, uint8_t msg_type) const;
  bool is_od_decap_ready(OverlayDescriptor& od, uint8_t version);
  // Whether this side starts the header-version negotiation with `peer`.
  bool is_local_ohv_initator(IPAddress local, IPAddress peer);
  // The OD's initiator flag: the rule above, or the own address higher.
  bool ohv_initiator_flag(IPAddress local, IPAddress peer);
  void compute_packet_loss(Packet* p);
  void compute_packet_loss(Packet* p, uint64_t now);
  void set_mtu_annotation(Packet* p, IPAddress destination);
  // True when `a` read with its fourth octet most significant is greater.
  static bool address_higher(IPAddress a, IPAddress b);

  // ---- Path table primitives.
  // Any thread, without the overlay lock.
  std::shared_ptr<OverlayDescriptor> find_path(uint32_t path_id) const;
  // Adds `od` under its local path id; a path id already present keeps its
  // OD, whose connection count goes up. Returns the OD in the table.
  std::shared_ptr<OverlayDescriptor> insert_path(const std::shared_ptr<OverlayDescriptor>& od);
  // One connection of the path went: lowers its count and, below 1, takes it
  // out of the table and returns it (null otherwise or when unknown).
  std::shared_ptr<OverlayDescriptor> erase_path(uint32_t path_id);
  uint64_t path_count() const { return path_table_.size(); }

  // ---- The overlay view of the policy, scheduler and flow elements,
  // registered with the element as `registered_overlay`. Each answer takes
  // the overlay lock, except peer_has_path_up, which the flow element asks
  // for every packet of a policy-routed flow: it reads per-peer atomic
  // counts that `refresh_usable_paths` keeps under the lock.
  int tunnel_paths_up() const override;
  IPAddress static_vip() const override;
  IPAddress leased_vip() const override;
  IPAddress overlay_address() const override;
  bool ignore_route_policy_with_no_active_tunnel() const override;
  bool peer_has_path_up(IPAddress peer) const override;
  // The overlay address of the first peer of group `group_id` with a path
  // up at both ends. 0, or -1.
  int get_active_peer_in_group(const String& group_id, String* peer) const override;
  bool path_info(uint32_t path_id, OverlayPathInfo* info) const override;
  bool account_wan_tx(int if_index, uint32_t bytes, int priority) override;
  // Recounts every peer's paths that are up at both ends (overlay lock taken;
  // call after a path or its up flags changed).
  void refresh_usable_paths();

  // ---- Interfaces for other components.
  bool peer_has_path(IPAddress overlay_address) const override;
  IPAddress local_overlay_address() const override { return own_address_; }

  // Calls `f(opd)` for every peer descriptor in the address table's order
  // (overlay lock held).
  template <typename F>
  void for_each_opd(F f) {
    for (auto it = address_table_.begin(); it.live(); ++it) {
      OverlayPeerDescriptor* opd = opd_by_handle(it->value);
      if (opd != nullptr) f(opd);
    }
  }

  // Requests for a device-information-map update; nothing asks for one yet.
  int32_t dim_update_counter() const { return dim_update_counter_; }
  void request_dim_update() { ++dim_update_counter_; }

  std::recursive_mutex& overlay_lock() const { return overlay_lock_; }
  OstrelDIBManager& dib() { return dib_; }
  OstrelNextHopTracking& nht() { return nht_; }
  OstrelOverlayConfig& peer_config() { return config_; }
  Vector<OverlayConnectedPath>& connected_paths() { return connected_paths_; }
  IPAddress own_address() const { return own_address_; }
  void set_own_address(IPAddress address) { own_address_ = address; }
  OstrelRouteTable* route_table() const { return route_table_; }
  int opd_count() const { return opd_count_; }
  OverlayPeerDescriptor* opd_by_handle(uint32_t handle) const {
    return handle >= 1 && handle <= kMaxPeers ? opds_[handle] : nullptr;
  }
  const String& conf_file() const { return conf_; }
  bool ike_proxy() const { return ike_proxy_; }
  bool mgw_proxy() const { return mgw_proxy_; }
  int32_t compression() const { return compression_; }

 private:
  void drop(Packet* p, const char* function, const char* reason);
  void build_wanlink_table();
  void mark_only(Packet* p);
  uint16_t local_roles();
  void add_routeable_via(const Vector<NextHopElement*>& list, IPAddress via);

  mutable std::recursive_mutex overlay_lock_;
  std::mutex page_mutex_;  // after the overlay lock
  std::unique_ptr<platform::SharedPage> path_stats_page_;
  mutable std::shared_mutex path_mutex_;

  // Per handle: the peer's overlay address and its paths up at both ends;
  // written under the overlay lock, read by any thread without it.
  struct UsablePaths {
    std::atomic<uint32_t> address{0};
    std::atomic<int32_t> count{0};
  };
  UsablePaths usable_[kMaxPeers + 1];
  std::atomic<int32_t> paths_up_{0};

  uint32_t identification_ = 0;
  HashTable<uint32_t, std::shared_ptr<OverlayDescriptor>> path_table_;
  // The same descriptors in insertion order, for the per-packet walk of the
  // loss update (a table walk visits every bucket).
  Vector<OverlayDescriptor*> path_list_;
  OstrelRouteTable* route_table_ = nullptr;
  Element* overlay_msg_ = nullptr;  // "ostOverlayMsg", once found
  Vector<OverlayConnectedPath> connected_paths_;
  String conf_;
  String client_config_file_;
  String device_config_file_;
  bool ike_proxy_ = false;
  bool mgw_proxy_ = false;
  int32_t compression_ = 0;
  uint16_t local_role_ = 0;
  OverlayPeerDescriptor* opds_[kMaxPeers + 1] = {};
  uint32_t next_free_handle_ = 1;
  uint32_t highest_handle_ = kMaxPeers;
  int32_t opd_count_ = 0;
  OstrelDIBManager dib_;
  OstrelOverlayConfig config_;
  IPAddress own_address_;
  HashTable<IPAddress, uint32_t> address_table_;
  HashTable<String, uint32_t> peer_id_table_;
  OstrelNextHopTracking nht_;
  Vector<OverlayWanLinkEntry> wanlinks_;
  bool wanlinks_built_ = false;
  int32_t nh_failures_ = 0;
  int32_t dim_update_counter_ = 0;
  int32_t nh_log_period_ = kLookupLogPeriod;
};

// The WAN link event of a path (1 up, 2 down).
void overlay_desc_wanlink_ev_hdlr(int type, OverlayDescriptor* od);

// True when `opd` exists and has at least one path (overlay lock held).
bool is_opd_up(const OverlayPeerDescriptor* opd);

// The first configured overlay element, or null.
OstrelOverlay* registered_overlay();

// Entries of the transport's active physical interface list.
int active_interface_count();

// The first element of `asking`'s router that casts to "OstrelOverlay",
// remembered process-wide after the first hit (a miss is not); null when
// none. The remembered element is forgotten when it is destroyed.
OstrelOverlay* get_overlay_element(Element* asking);
void forget_overlay_element(const OstrelOverlay* overlay);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_OVERLAY_H_
