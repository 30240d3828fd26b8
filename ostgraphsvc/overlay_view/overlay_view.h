// OverlayView: the narrow window through which the policy, scheduler and
// flow elements read the overlay element, so that they neither include nor
// link the overlay and can be tested against FakeOverlayView.
//
// The first overlay element that implements the view registers it
// (`register_overlay_view`); later ones do not replace it, and the
// registration is dropped when that element goes (`unregister_overlay_view`),
// so one process can build and tear down many routers. `overlay_view()`
// answers the registered view or, while none is, an empty one: no tunnel
// path up, no virtual address, no peer, no path, no WAN link.
//
// Threads: registration happens while graphs are configured or torn down;
// the packet thread reads it for each lookup, so the pointer is atomic. The
// queries run on the packet thread; the overlay's state they read is written
// by transport threads, so implementations take the overlay's own lock and
// answer copies (String texts share their bytes; nothing is allocated).
#ifndef OSTGRAPHSVC_OVERLAY_VIEW_OVERLAY_VIEW_H_
#define OSTGRAPHSVC_OVERLAY_VIEW_OVERLAY_VIEW_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "graph/ipaddress.h"
#include "graph/string.h"

// What the flow code needs of one tunnel path.
struct OverlayPathInfo {
  IPAddress peer;     // the peer's overlay address
  int if_index = -1;  // the local WAN interface the path runs over
  String if_text;     // that interface's text, for logs and dumps
};

class OverlayView {
 public:
  virtual ~OverlayView() = default;

  // Tunnel paths up: the records of the overlay's WAN state table.
  virtual int tunnel_paths_up() const = 0;
  // The configured static virtual IPv4 address; 0 when none.
  virtual IPAddress static_vip() const = 0;
  // The virtual address the address manager currently leases; 0 when none.
  virtual IPAddress leased_vip() const = 0;
  // This node's own overlay address.
  virtual IPAddress overlay_address() const = 0;
  // Whether routing by policy is ignored while no tunnel is up (enforce-route
  // configuration or "removeinterfaceontunneldown"); asked without logging.
  virtual bool ignore_route_policy_with_no_active_tunnel() const = 0;
  // Whether the peer with this overlay address has a path whose local and
  // remote sides are both up.
  virtual bool peer_has_path_up(IPAddress peer) const = 0;
  // 0 with the overlay address (dotted quad) of the group's first peer that
  // has a path up in `*peer`; -1 when none has.
  virtual int get_active_peer_in_group(const String& group_id, String* peer) const = 0;
  // The path with this local path id; false when there is none.
  virtual bool path_info(uint32_t path_id, OverlayPathInfo* info) const = 0;
  // Adds one transmitted packet of `bytes` to the WAN link with this
  // interface index (and to its bytes of `priority` when that is 1, 2 or 3);
  // false when no WAN link has that index.
  virtual bool account_wan_tx(int if_index, uint32_t bytes, int priority) = 0;
};

// Registers `view` unless one is registered; true when it was.
bool register_overlay_view(OverlayView* view);
// Drops the registration when `view` is the one registered.
void unregister_overlay_view(OverlayView* view);
// The registered view, or null.
OverlayView* registered_overlay_view();
// The registered view, or the empty one.
OverlayView& overlay_view();

// This client's virtual address: the static one, else the leased one; 0
// when neither is known.
inline IPAddress client_vip(const OverlayView& view) {
  const IPAddress vip = view.static_vip();
  return vip.addr() != 0 ? vip : view.leased_vip();
}

// A view whose answers the test sets; it registers itself while it lives
// when asked to. One thread.
class FakeOverlayView : public OverlayView {
 public:
  struct WanTx {
    uint64_t bytes = 0;
    uint64_t packets = 0;
    uint64_t priority_bytes[3] = {0, 0, 0};  // priorities 1, 2, 3
  };

  explicit FakeOverlayView(bool register_now = true);
  FakeOverlayView(const FakeOverlayView&) = delete;
  FakeOverlayView& operator=(const FakeOverlayView&) = delete;
  ~FakeOverlayView() override;

  int tunnel_paths_up() const override { return paths_up; }
  IPAddress static_vip() const override { return static_address; }
  IPAddress leased_vip() const override { return leased_address; }
  IPAddress overlay_address() const override { return own_address; }
  bool ignore_route_policy_with_no_active_tunnel() const override { return ignore_route_policy; }
  bool peer_has_path_up(IPAddress peer) const override;
  int get_active_peer_in_group(const String& group_id, String* peer) const override;
  bool path_info(uint32_t path_id, OverlayPathInfo* info) const override;
  bool account_wan_tx(int if_index, uint32_t bytes, int priority) override;

  int paths_up = 0;
  IPAddress static_address;
  IPAddress leased_address;
  IPAddress own_address;
  bool ignore_route_policy = false;
  // Peers by overlay address: whether one of their paths is up at both ends.
  std::map<uint32_t, bool> peers;
  // Hub groups: member overlay addresses in group order.
  std::map<std::string, std::vector<IPAddress>> groups;
  std::map<uint32_t, OverlayPathInfo> paths;
  // WAN links by interface index; only listed ones are accounted.
  std::map<int, WanTx> wan_links;

 private:
  bool registered_ = false;
};

#endif  // OSTGRAPHSVC_OVERLAY_VIEW_OVERLAY_VIEW_H_
