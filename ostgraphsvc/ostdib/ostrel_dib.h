// The device information base (DIB): what the overlay knows about each
// overlay device, itself included.
//
// OstrelDIBManager holds one OstrelDIB per overlay address, made from the
// "local" object and the "remote" entries of the overlay element's CONF file
// by `parse_dib_json`. An entry carries the device's roles (DibRole bits; a
// new entry starts as SPOKE and parsed roles are added), pre-shared key,
// hub group, WAN address, its "nexthop" and "routeableOverlays" lists (which
// feed the next-hop table, ostrel_nht.h), its WAN endpoints grouped by
// network tag ("private", "internet", "public"; EndPointDescriptor of
// OstrelURI), and for the own device its device-configuration tags.
//
// Handles are 1 to 1999, handed out in ascending order and never reused: at
// most 1999 entries exist, the next one is refused with "Max DIB count %u
// reached; errno=%d" (2000, -28). Parsing the same address again refreshes
// only its lists and endpoint sets (and, for a local call, its device tags
// and flags); roles, key, group, WAN address and the local mark stay as
// first parsed. Malformed values read as 0, empty or absent; no entry is
// refused for a bad field. The key itself never reaches the log.
//
// Endpoints take their L2/L3 indices from one process-wide counter that
// starts at 100 and grows by one per endpoint parsed by any manager.
//
// Ownership: the manager owns its entries, an entry its endpoint
// descriptors and list elements; all live until the manager goes.
// Threads: filled on the service thread at configure, read afterwards by the
// packet thread and the overlay's transport callbacks (which also write the
// controller path count), under the overlay element's lock; no lock here.
#ifndef OSTGRAPHSVC_OSTDIB_OSTREL_DIB_H_
#define OSTGRAPHSVC_OSTDIB_OSTREL_DIB_H_

#include <cstdint>

#include "graph/hash_table.h"
#include "graph/ipaddress.h"
#include "graph/json.h"
#include "graph/string.h"
#include "graph/string_builder.h"
#include "graph/vector.h"
#include "ostgraphsvc/ostdib/ostrel_nht.h"

enum DibRole : uint16_t {
  OSTREL_DC = 1,
  OSTREL_WAYPOINT = 2,
  OSTREL_SPOKE = 4,
  OSTREL_CONTROLLER = 8,
  OSTREL_DIM_REFLECTOR = 16,
};

// One WAN endpoint: an address and port, with the interface indices it was
// given. The text form is "a.b.c.d" or "a.b.c.d:port".
class OstrelURI {
 public:
  static constexpr uint16_t kDefaultPort = 4500;

  OstrelURI() = default;
  // Parses `text`: the address before the last ':' (the whole text without
  // one; 0.0.0.0 when not a dotted quad), the port after it when it is 1 to
  // 65534, else 4500 with the line "port (%d) out of range in uri %s,
  // ignored". The number is read saturating, so no digit string overflows.
  explicit OstrelURI(const String& text);

  IPAddress address;
  uint16_t port = kDefaultPort;
  uint8_t l3_index = 0;
  uint8_t l2_index = 0;
  String overlay_tag;  // empty from the configuration
};

// The endpoints of one network tag, newest first.
class EndPointDescriptor {
 public:
  EndPointDescriptor(const String& descriptor_name, const String& descriptor_tag)
      : name(descriptor_name), tag(descriptor_tag) {}

  Vector<OstrelURI> endpoints;
  String name;
  String tag;
  int32_t state = 1;  // 0 once filled from the configuration
};

class OstrelDIB {
 public:
  static constexpr int kMaxPskLength = 126;

  OstrelDIB() = default;
  OstrelDIB(const OstrelDIB&) = delete;
  OstrelDIB& operator=(const OstrelDIB&) = delete;
  ~OstrelDIB();

  // Adds the roles of the "roles" array of `entry` (SPOKE when absent).
  void parse_roles(const Json& entry);
  // Stores up to 126 characters of "auth"."psk" when it is a string.
  void parse_psk(const Json& entry);
  // "wanIP" of a remote entry.
  void parse_remote_ip(const Json& entry);
  // Adds the endpoints of `value`."ipv4" to the set of network tag `tag`
  // (made when missing) and marks the set filled.
  void map_ipv4_to_wan_tag(const Json& value, const String& tag);
  // Parses each element's text as an OstrelURI with the next endpoint
  // indices and puts it at the front of `set`.
  static void fill_ostreluri_vector_from_json_array(const Json& array, EndPointDescriptor* set);
  // The "dcfg_tags" of the local entry into `tags`.
  static void parse_ost_tags(const Json& entry, HashTable<String, Vector<String>>& tags);
  // Sets `routable_addr_present` when an endpoint set was filled from the
  // configuration.
  void dib_update_routable_addr_present();

  bool has_role(uint16_t role) const { return (roles & role) != 0; }

  HashTable<String, EndPointDescriptor*> endpoint_sets;  // owned
  HashTable<String, Vector<String>> device_tags;
  IPAddress overlay_address;
  uint32_t port = OstrelURI::kDefaultPort;
  uint32_t controller_path_count = 0;
  IPAddress wan_address;
  String group_name;
  String group_id;
  Vector<NextHopElement*> next_hops;           // owned
  Vector<NextHopElement*> routeable_overlays;  // owned
  // Kept for the overlay's next-hop upkeep: candidates to remove, and peers
  // reached through a direct tunnel.
  Vector<NextHopElement*> delete_list;           // owned
  Vector<NextHopElement*> dynamic_overlay_list;  // owned
  uint16_t roles = OSTREL_SPOKE;
  bool spoke_only = false;
  bool local = false;
  bool routable_addr_present = false;
  String psk;
};

// What get_dib_summary reports of one entry.
struct OstrelDIBSummary {
  IPAddress overlay_address;
  uint32_t port = 0;
  uint16_t roles = 0;
  bool local = false;
  bool routable_addr_present = false;
  uint32_t counters[3] = {0, 0, 0};
  bool updated = false;  // entries made from the configuration leave it false
  String group_id;
};

class OstrelDIBManager {
 public:
  static constexpr uint32_t kCapacity = 2000;
  static constexpr uint32_t kMaxHandle = 1999;
  static constexpr int kNoSpace = -28;

  OstrelDIBManager() = default;
  OstrelDIBManager(const OstrelDIBManager&) = delete;
  OstrelDIBManager& operator=(const OstrelDIBManager&) = delete;
  ~OstrelDIBManager();

  // Creates or updates the entry of `entry`."overlayIP".
  void parse_dib_json(const Json& entry, bool is_local);
  // 0 with `summary` filled, or -2 when no entry has `address`.
  int get_dib_summary(IPAddress address, OstrelDIBSummary* summary);
  // The text dump ("show_dibs") and the JSON dump ("show_dibs_json"; one
  // object of string values per entry appended to `out`).
  void print_dibs(StringBuilder& sb);
  void print_dibs_json(Json& out);

  // The handle of `address`, 0 when none.
  uint32_t handle_of(IPAddress address);
  // The entry of a handle, null when out of range or empty.
  OstrelDIB* entry(uint32_t handle) const {
    return handle > 0 && handle <= kCapacity ? entries_[handle] : nullptr;
  }
  OstrelDIB* find(IPAddress address) { return entry(handle_of(address)); }
  uint32_t entry_count() const { return entry_count_; }
  // Entries in dump order.
  HashTable<IPAddress, uint32_t>& address_table() { return address_table_; }

  // The own overlay address, as the overlay element hands it over.
  void set_local_address(IPAddress address) { local_address_ = address; }
  IPAddress local_address() const { return local_address_; }

  // Kept by the control-message handlers; reported by the summary.
  uint32_t counters[3] = {0, 0, 0};

 private:
  HashTable<IPAddress, uint32_t> address_table_;
  OstrelDIB* entries_[kCapacity + 1] = {};
  uint32_t next_free_handle_ = 1;
  uint32_t entry_count_ = 0;
  IPAddress local_address_;
};

// The process-wide endpoint counter; tests put it back to 100.
uint32_t dib_endpoint_counter();
void dib_reset_endpoint_counter();

#endif  // OSTGRAPHSVC_OSTDIB_OSTREL_DIB_H_
