#include "ostgraphsvc/overlay_view/overlay_view.h"

#include <gtest/gtest.h>

namespace {

TEST(OverlayView, EmptyWhileNothingIsRegistered) {
  ASSERT_EQ(registered_overlay_view(), nullptr);
  OverlayView& view = overlay_view();
  EXPECT_EQ(view.tunnel_paths_up(), 0);
  EXPECT_EQ(client_vip(view).addr(), 0u);
  EXPECT_EQ(view.overlay_address().addr(), 0u);
  EXPECT_FALSE(view.ignore_route_policy_with_no_active_tunnel());
  EXPECT_FALSE(view.peer_has_path_up(IPAddress(10, 0, 0, 1)));
  String peer("untouched");
  EXPECT_EQ(view.get_active_peer_in_group("g1", &peer), -1);
  EXPECT_EQ(peer, "untouched");
  OverlayPathInfo info;
  EXPECT_FALSE(view.path_info(7, &info));
  EXPECT_FALSE(view.account_wan_tx(3, 100, 1));
}

TEST(OverlayView, FirstRegistrationWinsAndGoesWithItsOwner) {
  {
    FakeOverlayView first;
    FakeOverlayView second;
    EXPECT_EQ(registered_overlay_view(), &first);
    first.paths_up = 2;
    second.paths_up = 5;
    EXPECT_EQ(overlay_view().tunnel_paths_up(), 2);
    // A later view going away leaves the first one registered.
    unregister_overlay_view(&second);
    EXPECT_EQ(registered_overlay_view(), &first);
  }
  EXPECT_EQ(registered_overlay_view(), nullptr);
  FakeOverlayView third;
  EXPECT_EQ(registered_overlay_view(), &third);
}

TEST(OverlayView, FakeAnswersWhatTheTestSets) {
  FakeOverlayView view(false);
  EXPECT_EQ(registered_overlay_view(), nullptr);

  view.leased_address = IPAddress(100, 64, 0, 9);
  EXPECT_EQ(client_vip(view), IPAddress(100, 64, 0, 9));
  view.static_address = IPAddress(100, 64, 0, 2);
  EXPECT_EQ(client_vip(view), IPAddress(100, 64, 0, 2));  // the static one first

  const IPAddress down(10, 0, 0, 1), up(10, 0, 0, 2);
  view.peers[down.addr()] = false;
  view.peers[up.addr()] = true;
  view.groups["g1"] = {down, up};
  view.groups["g2"] = {down};
  String peer;
  EXPECT_EQ(view.get_active_peer_in_group("g1", &peer), 0);
  EXPECT_EQ(peer, "10.0.0.2");
  EXPECT_EQ(view.get_active_peer_in_group("g2", &peer), -1);
  EXPECT_EQ(view.get_active_peer_in_group("none", &peer), -1);

  view.paths[0x101] = OverlayPathInfo{up, 4, String("eth0")};
  OverlayPathInfo info;
  ASSERT_TRUE(view.path_info(0x101, &info));
  EXPECT_EQ(info.peer, up);
  EXPECT_EQ(info.if_index, 4);
  EXPECT_EQ(info.if_text, "eth0");

  view.wan_links[4];
  EXPECT_TRUE(view.account_wan_tx(4, 1000, 2));
  EXPECT_TRUE(view.account_wan_tx(4, 500, 0));
  EXPECT_FALSE(view.account_wan_tx(5, 1, 1));
  const FakeOverlayView::WanTx& tx = view.wan_links[4];
  EXPECT_EQ(tx.bytes, 1500u);
  EXPECT_EQ(tx.packets, 2u);
  EXPECT_EQ(tx.priority_bytes[0], 0u);
  EXPECT_EQ(tx.priority_bytes[1], 1000u);
  EXPECT_EQ(tx.priority_bytes[2], 0u);
}

}  // namespace
