// The input checks for inbound re-injection. An inbound packet is sent to its
// own destination and arrives on `lo`, where the kernel skips the checks it
// made on the real interface; they are made here instead, so that what the
// capture puts back is delivered exactly when it would have been without it:
//
// - the destination must be one of the host's addresses outside 127/8 (a
//   captured packet never came in on `lo`);
// - martian sources are refused: 0.0.0.0 (the kernel takes the rest of 0/8),
//   127/8, 224/4, 255.255.255.255, and the host's own addresses unless accept_local is on for the
//   arrival interface;
// - the arrival interface's rp_filter (max of conf/all and conf/<if>): 1 needs
//   the route back to the source to leave by that interface, 2 needs any
//   unicast route to the source.
//
// Nothing here costs a system call per packet. Local addresses and interface
// names are dumped again, and routes looked up again, only after an rtnetlink
// notification (links, addresses, routes, rules, netconf) says they changed;
// `poll_changes` reads those without blocking, once per batch. Route answers
// are kept in a small direct-mapped cache. The sysctl values are read under
// $DOVADOD_SYSROOT, again after a netconf notification (rp_filter changes
// send one) and at least every second, since accept_local changes send none.
//
// Threads: one caller at a time (the backend's send lock).
#ifndef PLATFORM_DIVERT_NETFILTER_DELIVERY_H_
#define PLATFORM_DIVERT_NETFILTER_DELIVERY_H_

#include <array>
#include <cstdint>
#include <string>
#include <vector>

struct mnl_socket;

namespace platform::divert::nf {

enum class Delivery {
  kDeliver,
  kNotLocal,     // destination in 127/8 or not an address of the host
  kMartian,      // source the kernel never accepts from outside
  kReversePath,  // source refused by the arrival interface's rp_filter
};

class InboundCheck {
 public:
  InboundCheck() = default;
  InboundCheck(const InboundCheck&) = delete;
  InboundCheck& operator=(const InboundCheck&) = delete;
  ~InboundCheck();

  // Subscribes to the change notifications; 0 or an errno.
  int open();

  // Forgets whatever the notifications received since the last call made
  // stale. Never blocks.
  void poll_changes();

  // Addresses in network order; `if_index` is the arrival interface.
  Delivery check(uint32_t src_be, uint32_t dst_be, uint32_t if_index);

 private:
  struct Interface {
    uint32_t index = 0;
    std::string name;
    bool has_address = false;
    bool accept_local = false;
    int rp_filter = 0;
    int64_t read_at = -1;  // coarse monotonic ms of the sysctl read, -1: never
  };
  struct Route {
    uint32_t src = 0;
    bool valid = false;
    uint8_t type = 0;  // RTN_*, 0 when there is no route
    uint8_t oif_count = 0;
    std::array<uint32_t, 4> oifs{};
  };

  void refresh_local();
  void refresh_conf(Interface* iface, int64_t now_ms);
  const Route& route_to(uint32_t src_be, uint32_t dst_be);
  void lookup_route(uint32_t src_be, uint32_t dst_be, Route* out);

  mnl_socket* events_ = nullptr;
  mnl_socket* query_ = nullptr;
  uint32_t seq_ = 0;
  bool local_stale_ = true;
  bool conf_stale_ = false;
  std::vector<uint32_t> local_;  // network order, 127/8 left out
  std::vector<Interface> interfaces_;
  Interface all_;  // conf/all
  std::array<Route, 64> routes_{};
  std::vector<uint8_t> buffer_;
};

}  // namespace platform::divert::nf

#endif  // PLATFORM_DIVERT_NETFILTER_DELIVERY_H_
