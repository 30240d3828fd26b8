// Who owns a local TCP or UDP endpoint, and the MTU of the adapter that
// carries a local address.
//
// The IPC endpoint checks the executable of a connecting client with the
// owner lookup, flow tracking names the application of a new flow with it,
// and the peer transport sizes its packets by the adapter MTU.
//
// Addresses are a `sockaddr_in` or `sockaddr_in6` (AF_INET or AF_INET6, port
// in network order) passed as `sockaddr*`; the caller owns them. Each lookup
// reads the kernel's socket tables or adapter list afresh. Failures are log
// lines (tag "cxtcpiputils") and a 0 or false result. Any thread may call.
#ifndef CLIENT_LIB_CXWINUTILS_CXTCPIP_H_
#define CLIENT_LIB_CXWINUTILS_CXTCPIP_H_

#include <sys/socket.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/socket_owner/socket_owner.h"

// The process owning the local TCP connection endpoint `addr`; 0 when not
// found. A row of port and address 0.0.0.0 (or ::) matches any address, an
// asked 0.0.0.0 (or ::) matches any row of the port, the first matching row
// with an owner wins. Listening sockets are not connections and never match;
// an IPv4 endpoint is also looked for among IPv4-mapped IPv6 rows, where the
// connections of dual-stack sockets are listed.
uint32_t cxGetTcpOwnerPid(const sockaddr* addr);

// The same for the local UDP endpoint `addr`.
uint32_t cxGetUdpOwnerPid(const sockaddr* addr);

// Every process holding a descriptor of the TCP connection from the local
// endpoint `local` to `remote` (of the same family; an address or port of 0
// in `remote` matches any), with what the IPC peer check needs to know of
// each. A socket no process holds (passed over a Unix socket and not yet
// received) gives none. False when a table or /proc cannot be read.
bool cxGetTcpHolders(const sockaddr* local, const sockaddr* remote,
                     std::vector<platform::SocketHolder>* holders);

// The executable of the owner of the local endpoint `addr` of `protocol`
// (6 TCP, 17 UDP), lower-cased: its full path when `fullPath` is set, else
// its file name; `*pid` receives the owner's process id. False when any step
// fails.
bool cxGetFlowProcessName(const sockaddr* addr, uint8_t protocol, std::string* name, uint32_t* pid,
                          bool fullPath);

// The MTU of the adapter that has `addr` as one of its unicast addresses
// (port and scope id ignored); when several have it, the last in adapter list
// order. False when none has it or the list cannot be read.
bool cxGetAdapterMtuForAddress(const sockaddr* addr, uint32_t* mtu);

#endif  // CLIENT_LIB_CXWINUTILS_CXTCPIP_H_
