// The adapter list: the network interfaces of the calling thread's network
// namespace with their unicast addresses, as the IP Helper adapter list gives
// them (index, name, description, MTU, operational status, addresses).
//
// It comes from two rtnetlink dumps (links, then addresses) on a fresh
// NETLINK_ROUTE socket per call; sysfs is not used because it shows the
// namespace it was mounted in, not the caller's. An adapter's description is
// its interface alias, so the tunnel adapter is the one whose alias is
// "WinTun Tunnel".
//
// The message parsers are pure functions over a byte buffer so that they can be
// tested and fuzzed without a kernel; they never read outside the buffer they
// are given and need no alignment of it.
//
// Thread-safe: no shared state. `list_adapters` blocks for the two dumps.
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

struct Adapter {
  uint32_t index = 0;
  std::string name;         // the interface name ("eth0")
  std::string description;  // the interface alias, empty when none is set
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

}  // namespace platform

#endif  // PLATFORM_ADAPTERS_ADAPTERS_H_
