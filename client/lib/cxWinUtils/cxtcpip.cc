#include "client/lib/cxWinUtils/cxtcpip.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstring>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxUtils/cxDeviceUtils.h"
#include "platform/error/win_error.h"
#include "platform/socket_owner/socket_owner.h"

namespace {

constexpr const char* kTag = "cxtcpiputils";

struct Endpoint {
  int family = 0;
  uint8_t addr[16] = {};  // network order; the first 4 bytes for AF_INET
  uint16_t port = 0;      // host order
};

// False for families other than AF_INET and AF_INET6.
bool read_endpoint(const sockaddr* addr, Endpoint* out) {
  if (addr->sa_family == AF_INET) {
    sockaddr_in in;
    std::memcpy(&in, addr, sizeof in);
    out->family = AF_INET;
    std::memcpy(out->addr, &in.sin_addr, 4);
    out->port = ntohs(in.sin_port);
    return true;
  }
  if (addr->sa_family == AF_INET6) {
    sockaddr_in6 in6;
    std::memcpy(&in6, addr, sizeof in6);
    out->family = AF_INET6;
    std::memcpy(out->addr, &in6.sin6_addr, 16);
    out->port = ntohs(in6.sin6_port);
    return true;
  }
  return false;
}

std::string address_text(const Endpoint& ep) {
  char text[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(ep.family, ep.addr, text, sizeof text) == nullptr) return "?";
  return text;
}

bool all_zero(const uint8_t* bytes, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (bytes[i] != 0) return false;
  }
  return true;
}

bool is_v4_mapped(const uint8_t* addr) {
  static constexpr uint8_t kPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
  return std::memcmp(addr, kPrefix, sizeof kPrefix) == 0;
}

bool addresses_match(const uint8_t* asked, const uint8_t* row, size_t n) {
  return all_zero(asked, n) || all_zero(row, n) || std::memcmp(asked, row, n) == 0;
}

bool address_matches(const Endpoint& ep, int family, const uint8_t* addr) {
  if (ep.family == AF_INET6) return family == AF_INET6 && addresses_match(ep.addr, addr, 16);
  if (family == AF_INET) return addresses_match(ep.addr, addr, 4);
  return is_v4_mapped(addr) && addresses_match(ep.addr, addr + 12, 4);
}

// `remote` (optional) narrows the rows to one peer; its port 0 matches any.
bool row_matches(const Endpoint& ep, const Endpoint* remote, const platform::SocketRow& row) {
  if (row.local_port != ep.port || !address_matches(ep, row.family, row.local_addr)) return false;
  if (remote == nullptr) return true;
  return (remote->port == 0 || row.remote_port == remote->port) &&
         address_matches(*remote, row.family, row.remote_addr);
}

struct Protocol {
  bool tcp;
  platform::SocketTable v4;
  platform::SocketTable v6;
};

constexpr Protocol kTcp{true, platform::SocketTable::kTcp, platform::SocketTable::kTcp6};
constexpr Protocol kUdp{false, platform::SocketTable::kUdp, platform::SocketTable::kUdp6};

// Appends (to what `*inodes` holds) the socket inodes of the rows of `table` matching `ep`, in
// table order. Rows without an inode (TIME_WAIT, orphans) and listeners have no owner to report,
// and a stale one matched first would hide the real connection. False, after logging, when the
// table cannot be read; a missing table counts as empty when `missing_is_empty`.
bool collect_candidates(const Protocol& proto, platform::SocketTable table, const Endpoint& ep,
                        const Endpoint* remote, bool missing_is_empty,
                        std::vector<uint64_t>* inodes) {
  size_t bytes = 0;
  int entries = 0;
  uint32_t error = platform::for_each_socket_row(
      table,
      [&](const platform::SocketRow& row) {
        ++entries;
        if (row.inode == 0) return;
        if (proto.tcp && row.state == platform::kTcpStateListen) return;
        if (row_matches(ep, remote, row)) inodes->push_back(row.inode);
      },
      &bytes);
  if (error == platform::kErrorFileNotFound && missing_is_empty) return true;
  if (error != 0) {
    CXLOG(kTag, CXLOG_ERROR,
          proto.tcp ? "GetExtendedTcpTable failed with error: %d"
                    : "GetExtendedUdpTable failed with error: %d",
          static_cast<int>(error));
    return false;
  }
  if (proto.tcp) {
    CXLOG(kTag, CXLOG_DEBUG, "GetExtendedTcpTable(af %d) buffer(size %d) stores %d entries.",
          table == platform::SocketTable::kTcp ? AF_INET : AF_INET6, static_cast<int>(bytes),
          entries);
  }
  return true;
}

uint32_t owner_pid(const Protocol& proto, const sockaddr* addr) {
  if (addr == nullptr) {
    CXLOG(kTag, CXLOG_ERROR, "invalid params");
    return 0;
  }
  Endpoint ep;
  if (!read_endpoint(addr, &ep)) {
    CXLOG(kTag, CXLOG_ERROR, "address family: %d not supported", static_cast<int>(addr->sa_family));
    return 0;
  }
  std::vector<uint64_t> inodes;
  if (!collect_candidates(proto, ep.family == AF_INET ? proto.v4 : proto.v6, ep, nullptr, false,
                          &inodes)) {
    return 0;
  }
  uint32_t pid = platform::find_socket_owner(inodes);
  // A dual-stack socket's IPv4 traffic is listed only in the IPv6 table. A
  // kernel without IPv6 has no such table.
  if (pid == 0 && ep.family == AF_INET) {
    inodes.clear();
    if (!collect_candidates(proto, proto.v6, ep, nullptr, true, &inodes)) return 0;
    pid = platform::find_socket_owner(inodes);
  }
  if (pid == 0) {
    CXLOG(kTag, CXLOG_ERROR,
          proto.tcp ? "Failed to find pid for TCP addr: %s, port: %d"
                    : "Failed to find pid for UDP addr: %s, port: %d",
          address_text(ep).c_str(), static_cast<int>(ep.port));
  }
  return pid;
}

}  // namespace

uint32_t cxGetTcpOwnerPid(const sockaddr* addr) { return owner_pid(kTcp, addr); }

uint32_t cxGetUdpOwnerPid(const sockaddr* addr) { return owner_pid(kUdp, addr); }

bool cxGetTcpHolders(const sockaddr* local, const sockaddr* remote,
                     std::vector<platform::SocketHolder>* holders) {
  holders->clear();
  Endpoint ep;
  Endpoint peer;
  if (local == nullptr || remote == nullptr || !read_endpoint(local, &ep) ||
      !read_endpoint(remote, &peer) || peer.family != ep.family) {
    CXLOG(kTag, CXLOG_ERROR, "invalid params");
    return false;
  }
  // Both tables: a connection is listed in one of them, and a holder of
  // any match must not go unchecked.
  std::vector<uint64_t> inodes;
  if (!collect_candidates(kTcp, ep.family == AF_INET ? kTcp.v4 : kTcp.v6, ep, &peer, false,
                          &inodes) ||
      (ep.family == AF_INET && !collect_candidates(kTcp, kTcp.v6, ep, &peer, true, &inodes))) {
    return false;
  }
  uint32_t error = platform::find_socket_holders(inodes, holders);
  if (error != 0) {
    CXLOG(kTag, CXLOG_ERROR, "Failed to list socket holders, error %d", static_cast<int>(error));
    return false;
  }
  return true;
}

bool cxGetFlowProcessName(const sockaddr* addr, uint8_t protocol, std::string* name, uint32_t* pid,
                          bool fullPath) {
  if (addr == nullptr || name == nullptr || pid == nullptr) {
    CXLOG(kTag, CXLOG_ERROR, "invalid params");
    return false;
  }
  uint32_t owner = 0;
  if (protocol == IPPROTO_TCP) {
    owner = cxGetTcpOwnerPid(addr);
  } else if (protocol == IPPROTO_UDP) {
    owner = cxGetUdpOwnerPid(addr);
  } else {
    CXLOG(kTag, CXLOG_ERROR, "Invalid transport layer type %d", static_cast<int>(protocol));
    return false;
  }
  if (owner == 0) return false;

  std::string image;
  if (!cxGetProcessName(owner, &image, fullPath)) {
    CXLOG(kTag, CXLOG_ERROR, "Failed to get process name for pid: %d", static_cast<int>(owner));
    return false;
  }
  *pid = owner;
  Endpoint ep;
  read_endpoint(addr, &ep);
  CXLOG(kTag, CXLOG_DEBUG, "Found process: %s for Proto: %d, from: %s:%d", image.c_str(),
        static_cast<int>(protocol), address_text(ep).c_str(), static_cast<int>(ep.port));
  // Byte by byte with the C locale's rules: UTF-8 bytes of a path stay as they are.
  for (char& c : image) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  *name = std::move(image);
  return true;
}

bool cxGetAdapterMtuForAddress(const sockaddr* addr, uint32_t* mtu) {
  if (addr == nullptr || mtu == nullptr) {
    CXLOG(kTag, CXLOG_ERROR, "invalid params");
    return false;
  }
  Endpoint ep;
  if (!read_endpoint(addr, &ep)) {
    CXLOG(kTag, CXLOG_ERROR, "address family: %d not supported", static_cast<int>(addr->sa_family));
    return false;
  }
  std::vector<platform::Adapter> adapters;
  if (cxGetAdapterAddresses(ep.family, &adapters) != 0 || adapters.empty()) return false;

  const size_t len = ep.family == AF_INET ? 4 : 16;
  bool found = false;
  for (const platform::Adapter& adapter : adapters) {
    for (const platform::AdapterAddress& address : adapter.addresses) {
      if (address.family != ep.family || std::memcmp(address.addr, ep.addr, len) != 0) continue;
      CXLOG(kTag, CXLOG_INFO, "Adapter name %s mtu %d", adapter.name.c_str(),
            static_cast<int>(adapter.mtu));
      *mtu = adapter.mtu;
      found = true;
      break;
    }
  }
  return found;
}
