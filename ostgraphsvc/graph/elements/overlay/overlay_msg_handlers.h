// Per-peer control-message handlers and their version protocol.
//
// Every OverlayPeerDescriptor owns one handler per kind of state message
// (endpoint, WAN link state, state sync, route, user authentication, address
// management). A handler versions its kind's local state, says when its
// message is due for the peer, builds it (one packet per path), takes the
// peer's version of the kind from the peer's state-sync messages and applies
// what the peer sends of its kind. The message element (OstrelOverlayMsg)
// drives them.
//
// The descriptor's constructor creates the six handlers and its destructor
// deletes them (`create_overlay_msg_handlers`, `destroy_overlay_msg_handlers`);
// nobody else owns one. Each handler is also entered at the front of the
// process-wide `overlay_msg_handlers` list while it lives, so the list reads
// newest peer first and, per peer, address management, user authentication,
// route, state sync, WAN link state, endpoint.
//
// The endpoint handler (kind 4) tells the peer this node's end of every path
// and learns the peer's: remote path id, MTU, loss figures, NAT address and,
// on a hub, the spoke's WAN type. The WAN-link handler (kind 3) lists every
// connected path of this node with its up flag and applies the peer's list
// to the remote-up flags of the shared paths. The user-authentication
// handler (kind 14) hands the registered token holder's token to each hub
// and stores the state the hub answers. The route handler announces this
// device's virtual address to its hubs (kind 11); the address-management
// handler leases that address from a hub (kind 17) through OstAddrMgmt.
//
// Everything a peer sends is bounded before use: MTUs are clamped, tag
// texts cut, the local endpoint table capped and per-message log lines
// limited; texts from a peer are logged escaped and a token only by length.
//
// Threads: handlers are created and destroyed under the overlay lock of the
// overlay element that builds the descriptors; every other call runs under
// the same lock: on the packet thread (the message element takes it for each
// pass and each received message) and, for the route, address-management,
// WAN-link and endpoint triggers, on the transport's connect and close
// threads (their callbacks hold it). `overlay_msg_handlers` is guarded by
// that lock too. The token holder is read on the packet thread only, where
// its element writes it.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_MSG_HANDLERS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_MSG_HANDLERS_H_

#include <cstdint>
#include <memory>

#include "graph/packet.h"
#include "graph/string.h"
#include "graph/timestamp.h"
#include "graph/vector.h"

class AddrMgmtMsg;
class OstrelDIB;
class OstrelOverlay;
class OstrelOverlayStateMsg;
class OverlayDescriptor;
class OverlayPeerDescriptor;
class WanEndPtDescMsg;

// Current, sent and peer version of one kind, as the status handler shows
// them ("MYVERSION", "MYSENTVERSION", "PEERRECVERSION").
struct OverlayMsgVersions {
  uint32_t current = 0;
  uint32_t sent = 0;
  uint32_t peer = 0;
};

// Reasons given to new_msg_trigger.
inline constexpr uint32_t kTriggerEndpoint = 1;
inline constexpr uint32_t kTriggerRouteUpdate = 1;
inline constexpr uint32_t kTriggerWanState = 2;
inline constexpr uint32_t kTriggerQoe = 4;
inline constexpr uint32_t kTriggerFirstSync = 32;
inline constexpr uint32_t kTriggerIpRefresh = 64;

class OstrelOverlayMsgInterface {
 public:
  virtual ~OstrelOverlayMsgInterface() = default;
  virtual bool is_msg_available() = 0;
  // Appends finished control packets (normally one per path) to `packets`.
  virtual Vector<Packet*>& build_msg_per_peer_into_packet(Vector<Packet*>& packets,
                                                          OstrelOverlay* overlay,
                                                          OverlayPeerDescriptor* opd) = 0;
  virtual void new_msg_trigger(uint32_t reason) = 0;
  virtual void msg_sent() = 0;
  // The packet stays the caller's.
  virtual void consume_msg(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                           OverlayPeerDescriptor* opd) = 0;
  virtual void fill_version(OstrelOverlay* overlay, OverlayPeerDescriptor* opd,
                            OstrelOverlayStateMsg* msg) = 0;
  virtual void update_peer_version(const OstrelOverlayStateMsg& msg) = 0;
  virtual void get_versions(OverlayMsgVersions* record) = 0;
  virtual void reset_peer_state() = 0;
  virtual String msg_name() = 0;

  OverlayPeerDescriptor* peer() const { return opd_; }

 protected:
  explicit OstrelOverlayMsgInterface(OverlayPeerDescriptor* opd) : opd_(opd) {}

  OverlayPeerDescriptor* opd_;  // not owned; owns this handler
};

// Every live handler of every peer descriptor, newest first; not owning.
Vector<OstrelOverlayMsgInterface*>& overlay_msg_handlers();

// True until the first state-sync message of the process is consumed.
bool first_state_sync_pending();
// Sets it back to true (tests, which build many peers in one process).
void reset_first_state_sync_pending();

// Role checks of the handlers: what the local node is, from the registered
// overlay's local roles. Without an overlay element both stay false.
struct HandlerRoles {
  bool controller = false;
  bool hub = false;
};

// The common version state; each class uses what its kind has.
class OverlayVersionedMsg : public OstrelOverlayMsgInterface {
 public:
  void msg_sent() override { ++sent_count; }

  uint32_t trigger_reasons = 0;
  uint32_t current_version = 0;
  uint32_t sent_count = 0;
  uint32_t peer_version = 0;
  uint32_t consumed_version = 0;
  HandlerRoles roles;

 protected:
  using OstrelOverlayMsgInterface::OstrelOverlayMsgInterface;
};

class OverlayEndptMsg : public OverlayVersionedMsg {
 public:
  // Bounds on what a peer's endpoint message may set.
  static constexpr uint32_t kMinPeerMtu = 576;
  static constexpr uint32_t kMaxPeerMtu = 65535;
  static constexpr int kMaxTagLength = 64;
  static constexpr int kMaxEndpointTags = 64;
  static constexpr int kWanTypeUnknown = 5;

  explicit OverlayEndptMsg(OverlayPeerDescriptor* opd);
  // On a controller when the peer reported 0; otherwise while the peer's
  // version differs or nothing was sent.
  bool is_msg_available() override;
  // One packet per path; nothing on a controller before the peer's first
  // endpoint message, or without a local DIB entry.
  Vector<Packet*>& build_msg_per_peer_into_packet(Vector<Packet*>& packets, OstrelOverlay* overlay,
                                                  OverlayPeerDescriptor* opd) override;
  void consume_msg(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                   OverlayPeerDescriptor* opd) override;
  void new_msg_trigger(uint32_t reason) override;
  void msg_sent() override;
  void fill_version(OstrelOverlay* overlay, OverlayPeerDescriptor* opd,
                    OstrelOverlayStateMsg* msg) override;
  void update_peer_version(const OstrelOverlayStateMsg& msg) override;
  void get_versions(OverlayMsgVersions* record) override;
  void reset_peer_state() override { consumed_version = 0; }
  String msg_name() override { return String("EndPt Sync"); }
  void check_and_set_is_ctrlr();

  // The endpoint message of `path`: version min(sent + 1, current).
  Packet* build_endpt_packet(OstrelOverlay* overlay, const OverlayDescriptor& path,
                             uint32_t current, uint32_t sent, uint32_t reasons);
  void build_hub_spoke_specific_fields(WanEndPtDescMsg* entry, const OverlayDescriptor& path);
  // Applies the tags and NAT address of the first descriptor to `path`.
  // Reports whether anything changed that the device map would need: never.
  bool update_network_and_overlay_tags(OstrelOverlay* overlay, const WanEndPtDescMsg& entry,
                                       OstrelDIB* local, OverlayDescriptor* path);
  // Overlay and network tag of `entry`, each cut to kMaxTagLength.
  static void get_endpoint_tags(const WanEndPtDescMsg& entry, OstrelOverlay* overlay,
                                const OverlayDescriptor& path, String* overlay_tag,
                                String* network_tag);
  // Exact, case-sensitive: "wired"/"public" 1, "wireless" 2, "private" 3,
  // "metered" 4, anything else 5.
  static int wan_type_from_tag(const String& text);

  int log_counter = 0;
  int log_period = 120;
};

class OverlayWanStateMsg : public OverlayVersionedMsg {
 public:
  // "cannot be set" lines written for one received message.
  static constexpr int kMaxUnsetLines = 16;

  explicit OverlayWanStateMsg(OverlayPeerDescriptor* opd);
  // Never on a controller; otherwise while the peer's version differs or
  // nothing was sent.
  bool is_msg_available() override;
  Vector<Packet*>& build_msg_per_peer_into_packet(Vector<Packet*>& packets, OstrelOverlay* overlay,
                                                  OverlayPeerDescriptor* opd) override;
  void consume_msg(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                   OverlayPeerDescriptor* opd) override;
  void new_msg_trigger(uint32_t reason) override;
  void fill_version(OstrelOverlay* overlay, OverlayPeerDescriptor* opd,
                    OstrelOverlayStateMsg* msg) override;
  void update_peer_version(const OstrelOverlayStateMsg& msg) override;
  void get_versions(OverlayMsgVersions* record) override;
  void reset_peer_state() override { consumed_version = 0; }
  String msg_name() override { return String("WAN Link State Sync"); }
  void check_and_set_is_ctrlr();
  // Every connected path of this node, sent on `path`.
  Packet* build_wan_state_packet(OstrelOverlay* overlay, const OverlayDescriptor& path,
                                 uint32_t version);
};

class OverlayRouteMsg : public OverlayVersionedMsg {
 public:
  explicit OverlayRouteMsg(OverlayPeerDescriptor* opd);
  // Not on a hub or controller; while the peer has not echoed the version.
  bool is_msg_available() override;
  Vector<Packet*>& build_msg_per_peer_into_packet(Vector<Packet*>& packets, OstrelOverlay* overlay,
                                                  OverlayPeerDescriptor* opd) override;
  // Only logs: hubs never send routes to a client.
  void consume_msg(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                   OverlayPeerDescriptor* opd) override;
  void new_msg_trigger(uint32_t reason) override;
  void fill_version(OstrelOverlay* overlay, OverlayPeerDescriptor* opd,
                    OstrelOverlayStateMsg* msg) override;
  void update_peer_version(const OstrelOverlayStateMsg& msg) override;
  void get_versions(OverlayMsgVersions* record) override;
  void reset_peer_state() override {}
  String msg_name() override { return String("Route Message"); }
  void check_and_set_is_ctrlr();
  void check_and_set_is_hub();
};

class OverlayUserAuthMsg : public OverlayVersionedMsg {
 public:
  explicit OverlayUserAuthMsg(OverlayPeerDescriptor* opd);
  // Not on a hub or controller; until one was sent; after a token change;
  // while the peer has not reported the current version.
  bool is_msg_available() override;
  // One packet on the peer's first path.
  Vector<Packet*>& build_msg_per_peer_into_packet(Vector<Packet*>& packets, OstrelOverlay* overlay,
                                                  OverlayPeerDescriptor* opd) override;
  // Stores the hub's state for the peer; a hub only logs, a controller
  // ignores it.
  void consume_msg(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                   OverlayPeerDescriptor* opd) override;
  void new_msg_trigger(uint32_t reason) override;
  void fill_version(OstrelOverlay* overlay, OverlayPeerDescriptor* opd,
                    OstrelOverlayStateMsg* msg) override;
  void update_peer_version(const OstrelOverlayStateMsg& msg) override;
  void get_versions(OverlayMsgVersions* record) override;
  void reset_peer_state() override { consumed_version = 0; }
  String msg_name() override { return String("OverlayUserAuth Message"); }
  void ua_check_and_set_is_hub();
  void ua_check_and_set_is_ctrlr();
  // The token goes in only from a client with a token holder that has one.
  static Packet* build_user_auth_msg_packet(const std::shared_ptr<OverlayDescriptor>& path,
                                            uint32_t version, bool is_hub);

  // The token holder's update version when a change was last noticed.
  uint32_t seen_token_version = 0;
};

class OverlayAddrMgmtMsg : public OverlayVersionedMsg {
 public:
  static constexpr int kFirstRetrySecs = 30;
  static constexpr int kMaxRetrySecs = 900;

  explicit OverlayAddrMgmtMsg(OverlayPeerDescriptor* opd);
  bool is_msg_available() override;
  Vector<Packet*>& build_msg_per_peer_into_packet(Vector<Packet*>& packets, OstrelOverlay* overlay,
                                                  OverlayPeerDescriptor* opd) override;
  void consume_msg(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                   OverlayPeerDescriptor* opd) override;
  void new_msg_trigger(uint32_t reason) override;
  // Whether a renew, rebind or expiry request is due now, with back-off.
  bool should_request_ip();
  void fill_version(OstrelOverlay* overlay, OverlayPeerDescriptor* opd,
                    OstrelOverlayStateMsg* msg) override;
  void update_peer_version(const OstrelOverlayStateMsg& msg) override;
  void get_versions(OverlayMsgVersions* record) override;
  void reset_peer_state() override { consumed_version = 0; }
  String msg_name() override { return String("OverlayAddrMgmt Message"); }
  void check_and_set_is_hub();
  void check_and_set_is_ctrlr();

  uint32_t last_request_type = 0;
  Timestamp last_build_time;
  int retry_interval = 0;  // seconds
};

// The request of kind 17 for `opd` on `path` with `version`; null when it
// cannot be built (logged).
Packet* build_ipam_msg_packet(OverlayPeerDescriptor* opd,
                              const std::shared_ptr<OverlayDescriptor>& path, uint32_t version);
// Acts on a hub's answer by its return code; 1 after the exhausted case.
int process_addr_mgmt_msg(OverlayPeerDescriptor* opd, const AddrMgmtMsg& msg);

// Carries every other kind's version to the peer, every 6 s or more.
class OverlayStateSyncMsg : public OstrelOverlayMsgInterface {
 public:
  static constexpr uint64_t kNotDueSeconds = 5;

  explicit OverlayStateSyncMsg(OverlayPeerDescriptor* opd);
  bool is_msg_available() override;
  Vector<Packet*>& build_msg_per_peer_into_packet(Vector<Packet*>& packets, OstrelOverlay* overlay,
                                                  OverlayPeerDescriptor* opd) override;
  void new_msg_trigger(uint32_t reason) override;
  void msg_sent() override { ++sent_count; }
  void consume_msg(Packet* p, const OstrelOverlayStateMsg& msg, OstrelOverlay* overlay,
                   OverlayPeerDescriptor* opd) override;
  void fill_version(OstrelOverlay*, OverlayPeerDescriptor*, OstrelOverlayStateMsg*) override {}
  void update_peer_version(const OstrelOverlayStateMsg&) override {}
  void get_versions(OverlayMsgVersions* record) override {
    record->current = 0;
    record->peer = 0;
  }
  void reset_peer_state() override {}
  String msg_name() override { return String("State Sync"); }

  int log_counter = 0;
  int log_period = 120;
  uint32_t trigger_reasons = 0;
  uint32_t current_version = 1;
  uint32_t sent_count = 0;
  uint64_t last_due_ms;  // monotonic tick (GetTickCount64)
};

// Called by the OverlayPeerDescriptor constructor and destructor.
void create_overlay_msg_handlers(OverlayPeerDescriptor* opd);
void destroy_overlay_msg_handlers(OverlayPeerDescriptor* opd);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OVERLAY_MSG_HANDLERS_H_
