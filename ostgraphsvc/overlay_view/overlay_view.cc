#include "ostgraphsvc/overlay_view/overlay_view.h"

#include <atomic>

namespace {

std::atomic<OverlayView*> registered{nullptr};

// The answers of a graph without an overlay element.
class EmptyOverlayView final : public OverlayView {
 public:
  int tunnel_paths_up() const override { return 0; }
  IPAddress static_vip() const override { return IPAddress(); }
  IPAddress leased_vip() const override { return IPAddress(); }
  IPAddress overlay_address() const override { return IPAddress(); }
  bool ignore_route_policy_with_no_active_tunnel() const override { return false; }
  bool peer_has_path_up(IPAddress) const override { return false; }
  int get_active_peer_in_group(const String&, String*) const override { return -1; }
  bool path_info(uint32_t, OverlayPathInfo*) const override { return false; }
  bool account_wan_tx(int, uint32_t, int) override { return false; }
};

}  // namespace

bool register_overlay_view(OverlayView* view) {
  OverlayView* expected = nullptr;
  return registered.compare_exchange_strong(expected, view);
}

void unregister_overlay_view(OverlayView* view) {
  OverlayView* expected = view;
  registered.compare_exchange_strong(expected, nullptr);
}

OverlayView* registered_overlay_view() { return registered.load(std::memory_order_acquire); }

OverlayView& overlay_view() {
  static EmptyOverlayView empty;
  OverlayView* view = registered_overlay_view();
  return view != nullptr ? *view : empty;
}

FakeOverlayView::FakeOverlayView(bool register_now) {
  if (register_now) registered_ = register_overlay_view(this);
}

FakeOverlayView::~FakeOverlayView() {
  if (registered_) unregister_overlay_view(this);
}

bool FakeOverlayView::peer_has_path_up(IPAddress peer) const {
  auto it = peers.find(peer.addr());
  return it != peers.end() && it->second;
}

int FakeOverlayView::get_active_peer_in_group(const String& group_id, String* peer) const {
  auto group = groups.find(std::string(group_id.data(), static_cast<size_t>(group_id.length())));
  if (group == groups.end()) return -1;
  for (IPAddress member : group->second) {
    if (!peer_has_path_up(member)) continue;
    *peer = member.to_string();
    return 0;
  }
  return -1;
}

bool FakeOverlayView::path_info(uint32_t path_id, OverlayPathInfo* info) const {
  auto it = paths.find(path_id);
  if (it == paths.end()) return false;
  *info = it->second;
  return true;
}

bool FakeOverlayView::account_wan_tx(int if_index, uint32_t bytes, int priority) {
  auto it = wan_links.find(if_index);
  if (it == wan_links.end()) return false;
  it->second.bytes += bytes;
  ++it->second.packets;
  if (priority >= 1 && priority <= 3) it->second.priority_bytes[priority - 1] += bytes;
  return true;
}
