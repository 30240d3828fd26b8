// The adapter list and the IPv4 forwarding table of the calling thread's
// network namespace, as the IP Helper API gives them: adapters with index,
// name, description, type, MTU, operational status and unicast addresses; the
// main table's IPv4 unicast routes; the best interface for a destination.
//
// Everything comes from rtnetlink dumps on a fresh NETLINK_ROUTE socket per
// call; sysfs is not used because it shows the namespace it was mounted in, not
// the caller's. An adapter's description is its interface alias, so the tunnel
// adapter is the one whose alias is "WinTun Tunnel".
//
// The message parsers are pure functions over a byte buffer so that they can be
// tested and fuzzed without a kernel; they never read outside the buffer they
// are given and need no alignment of it.
//
// Thread-safe: no shared state. The listing calls block for their dumps.
#ifndef PLATFORM_ADAPTERS_ADAPTERS_H_
#define PLATFORM_ADAPTERS_ADAPTERS_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace platform {

// ERROR_INVALID_DATA: the kernel's reply could not be parsed.
inline constexpr uint32_t kAdapterErrorInvalidData = 13;
// ERROR_NOT_FOUND: no route covers the destination.
inline constexpr uint32_t kRouteErrorNotFound = 1168;

// Operational status in the Windows numbering (IF_OPER_STATUS).
enum class OperStatus : uint32_t {
  kUp = 1,
  kDown = 2,
  kTesting = 3,
  kUnknown = 4,
  kDormant = 5,
  kNotPresent = 6,
  kLowerLayerDown = 7,
};

struct AdapterAddress {
  int family = 0;         // AF_INET or AF_INET6 (Linux values)
  uint8_t addr[16] = {};  // network order; the first 4 bytes for AF_INET
  uint8_t prefix_len = 0;
  uint32_t scope_id = 0;  // the interface index for IPv6 link-local, else 0
};

// Adapter types in the Windows numbering (IF_TYPE), from the link's hardware
// type: Ethernet (Wi-Fi interfaces too: Linux gives them the Ethernet type),
// PPP, and "other" for everything else (loopback, tunnels).
inline constexpr uint32_t kIfTypeOther = 1;
inline constexpr uint32_t kIfTypeEthernet = 6;
inline constexpr uint32_t kIfTypePpp = 23;

struct Adapter {
  uint32_t index = 0;
  std::string name;         // the interface name ("eth0")
  std::string description;  // the interface alias, empty when none is set
  uint32_t type = kIfTypeOther;
  uint32_t mtu = 0;
  OperStatus oper_status = OperStatus::kUnknown;
  std::vector<AdapterAddress> addresses;
};

// Lists the adapters in index order into `*out`, each with its unicast
// addresses of `family` (AF_UNSPEC for both IPv4 and IPv6, AF_INET, AF_INET6);
// adapters without such addresses are listed too. Returns 0, or a Windows
// error which is also stored as the last error: 87 for another family,
// 13 for a reply that cannot be parsed, 170 when the interfaces kept changing
// during every attempt, otherwise the mapping of the failing call's errno.
// `*out` is empty after a failure.
uint32_t list_adapters(int family, std::vector<Adapter>* out);

enum class ParseResult {
  kOk,
  kIgnored,    // well-formed but not for us (an address family we do not list)
  kMalformed,  // refused: truncated, inconsistent lengths or sizes
};

// One RTM_NEWLINK message (netlink header included) at the start of `buf`.
// The message's own length must fit in `len`.
ParseResult parse_link_message(const void* buf, size_t len, Adapter* out);

// One RTM_NEWADDR message; `*if_index` receives the interface it belongs to.
ParseResult parse_addr_message(const void* buf, size_t len, uint32_t* if_index,
                               AdapterAddress* out);

// What the dumps have delivered so far.
struct AdapterDump {
  std::vector<Adapter> links;
  std::vector<std::pair<uint32_t, AdapterAddress>> addresses;  // (index, address)
};

enum class DumpStatus {
  kMore,         // the dump goes on in the next datagram
  kDone,         // NLMSG_DONE seen
  kInterrupted,  // the kernel flagged the dump inconsistent; start again
  kFailed,       // `*error` holds the Windows error
};

// Walks one datagram of a dump (any number of netlink messages), adding link
// and address messages to `*dump`. Messages after NLMSG_DONE are not read.
DumpStatus parse_dump_buffer(const void* buf, size_t len, AdapterDump* dump, uint32_t* error);

// The adapters of a complete dump in index order, a later link message of an
// index replacing an earlier one, each with its addresses of `family` (all for
// AF_UNSPEC) in dump order. Addresses of indexes without a link are dropped.
std::vector<Adapter> assemble_adapters(AdapterDump dump, int family);

// One row of the IPv4 forwarding table: a unicast route of the main table
// through one output interface.
struct ForwardRow {
  uint32_t destination = 0;  // network order, no bits beyond the prefix
  uint8_t prefix_len = 0;
  uint32_t if_index = 0;
  uint32_t metric = 0;  // the route's priority; 0 when it has none

  bool operator==(const ForwardRow&) const = default;
};

// The main table's IPv4 unicast routes in the kernel's dump order into `*out`:
// one row per output interface, so a multipath route gives a row for each
// nexthop the kernel has not marked dead. Other tables, other route types
// (local, broadcast, blackhole, ...), cached clones and routes dumped without
// an output interface (nexthop-object routes when the kernel leaves out their
// devices) are not rows. Returns 0, or a Windows error which is also stored as
// the last error: 13 for a reply that cannot be parsed, 170 when the table kept
// changing during every attempt, otherwise the mapping of the failing call's
// errno. `*out` is empty after a failure.
uint32_t get_ipv4_forward_table(std::vector<ForwardRow>* out);

// The row the forwarding table gives `destination` (network order): the
// longest prefix that covers it, then the lowest metric, then the first in
// table order. Null when no row covers it.
const ForwardRow* choose_best_route(const std::vector<ForwardRow>& rows, uint32_t destination);

// The output interface for `destination` (network order), chosen from the
// forwarding table by `choose_best_route`. The kernel is not asked for the
// route itself: it answers a lookup of 0.0.0.0, the destination the service
// asks about, with the loopback device (to Linux that address means this
// host). Policy rules and tables other than main are not consulted, as the
// forwarding table does not show them. Returns 0, 1168 when no route covers
// the destination, or the error of `get_ipv4_forward_table`; stored as the last
// error too. `*if_index` is untouched on failure.
uint32_t get_best_interface(uint32_t destination, uint32_t* if_index);

// One RTM_NEWROUTE message. Appends its rows to `*out` (nothing on any result
// but kOk). kIgnored for a well-formed message that gives no row: another
// family, another table, another route type, a cached clone, no live output
// interface. kMalformed for truncated or inconsistent lengths, a prefix above
// 32, a destination missing under a non-zero prefix or with bits beyond its
// prefix, an interface index of 0.
ParseResult parse_route_message(const void* buf, size_t len, std::vector<ForwardRow>* out);

// Walks one datagram of a route dump as `parse_dump_buffer` does, appending
// the rows of its route messages to `*rows`.
DumpStatus parse_route_dump_buffer(const void* buf, size_t len, std::vector<ForwardRow>* rows,
                                   uint32_t* error);

}  // namespace platform

#endif  // PLATFORM_ADAPTERS_ADAPTERS_H_
