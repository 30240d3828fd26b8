#include "platform/adapters/adapters.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/if.h>
#include <linux/if_addr.h>
#include <linux/if_arp.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <map>

#include "platform/adapters/netlink_attributes.h"
#include "platform/error/win_error.h"

namespace platform {
namespace {

// A dump whose interfaces change under it is flagged by the kernel; a few
// fresh attempts are enough unless something is creating interfaces nonstop.
constexpr int kDumpAttempts = 5;
// No reply from the kernel within this time ends the call instead of hanging.
constexpr auto kDumpDeadline = std::chrono::seconds(5);
constexpr size_t kInitialReceiveSize = 32 * 1024;

using netlink::align4;
using netlink::Attribute;
using netlink::for_each_attribute;

// The header of the message at the start of `p`, when both the header and the
// message length it announces fit in `len`.
bool read_message_header(const uint8_t* p, size_t len, nlmsghdr* hdr) {
  if (len < sizeof(nlmsghdr)) return false;
  std::memcpy(hdr, p, sizeof *hdr);
  return hdr->nlmsg_len >= sizeof(nlmsghdr) && hdr->nlmsg_len <= len;
}

std::string attribute_text(const Attribute& a) {
  const char* text = reinterpret_cast<const char*>(a.data);
  return std::string(text, ::strnlen(text, a.len));
}

OperStatus oper_status_from_kernel(uint8_t state) {
  switch (state) {
    case IF_OPER_UP:
      return OperStatus::kUp;
    case IF_OPER_DOWN:
      return OperStatus::kDown;
    case IF_OPER_TESTING:
      return OperStatus::kTesting;
    case IF_OPER_DORMANT:
      return OperStatus::kDormant;
    case IF_OPER_NOTPRESENT:
      return OperStatus::kNotPresent;
    case IF_OPER_LOWERLAYERDOWN:
      return OperStatus::kLowerLayerDown;
    default:
      return OperStatus::kUnknown;
  }
}

uint32_t adapter_type_from_hardware(uint16_t hardware) {
  switch (hardware) {
    case ARPHRD_ETHER:
      return kIfTypeEthernet;
    case ARPHRD_PPP:
      return kIfTypePpp;
    default:
      return kIfTypeOther;
  }
}

bool is_ipv6_link_local(const uint8_t* addr) { return addr[0] == 0xfe && (addr[1] & 0xc0) == 0x80; }

// The Windows error for a negative errno carried in a netlink reply.
uint32_t error_from_reply_code(int32_t code) {
  const int64_t err = -static_cast<int64_t>(code);
  return win_error_from_errno(err > 0 && err <= INT_MAX ? static_cast<int>(err) : EIO);
}

// Walks one datagram of a dump (any number of netlink messages), handing every
// message that is not a control message to `fn`(type, message, length), which
// returns false for a malformed one. Messages after NLMSG_DONE are not read.
template <typename Fn>
DumpStatus walk_dump_buffer(const uint8_t* p, size_t len, uint32_t* error, Fn&& fn) {
  size_t offset = 0;
  while (offset < len) {
    const uint8_t* msg = p + offset;
    nlmsghdr hdr;
    if (!read_message_header(msg, len - offset, &hdr)) {
      *error = kAdapterErrorInvalidData;
      return DumpStatus::kFailed;
    }
    if ((hdr.nlmsg_flags & NLM_F_DUMP_INTR) != 0) return DumpStatus::kInterrupted;
    int32_t code = 0;
    const bool has_code = hdr.nlmsg_len >= NLMSG_HDRLEN + sizeof code;
    if (has_code) std::memcpy(&code, msg + NLMSG_HDRLEN, sizeof code);
    switch (hdr.nlmsg_type) {
      case NLMSG_DONE:
        // A dump that failed part-way ends with the negative errno here.
        if (code < 0) {
          *error = error_from_reply_code(code);
          return DumpStatus::kFailed;
        }
        return DumpStatus::kDone;
      case NLMSG_ERROR:
        if (!has_code || code > 0) {
          *error = kAdapterErrorInvalidData;
          return DumpStatus::kFailed;
        }
        if (code < 0) {
          *error = error_from_reply_code(code);
          return DumpStatus::kFailed;
        }
        break;  // an acknowledgement
      case NLMSG_OVERRUN:
        *error = win_error_from_errno(ENOBUFS);
        return DumpStatus::kFailed;
      case NLMSG_NOOP:
        break;
      default:
        if (!fn(hdr.nlmsg_type, msg, size_t{hdr.nlmsg_len})) {
          *error = kAdapterErrorInvalidData;
          return DumpStatus::kFailed;
        }
        break;
    }
    offset += std::min(align4(hdr.nlmsg_len), len - offset);
  }
  return DumpStatus::kMore;
}

// An rtnetlink socket for one listing. A fresh socket per attempt means every
// message it receives answers our own requests, and closing it discards the
// rest of an abandoned dump.
class RouteSocket {
 public:
  RouteSocket() = default;
  RouteSocket(const RouteSocket&) = delete;
  RouteSocket& operator=(const RouteSocket&) = delete;
  ~RouteSocket() {
    if (nl_ != nullptr) ::mnl_socket_close(nl_);
  }

  // 0 or the Windows error.
  uint32_t open() {
    nl_ = ::mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
    if (nl_ == nullptr) return win_error_from_errno(errno);
    if (::mnl_socket_bind(nl_, 0, MNL_SOCKET_AUTOPID) < 0) return win_error_from_errno(errno);
    // Bounds each receive; the deadline in dump() bounds the whole dump.
    timeval timeout{1, 0};
    if (::setsockopt(::mnl_socket_get_fd(nl_), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) <
        0) {
      return win_error_from_errno(errno);
    }
    return kErrorSuccess;
  }

  // Runs one dump request to its end, handing each datagram to
  // `parse`(data, length, error), a parse_*dump_buffer function.
  template <typename Parse>
  DumpStatus dump(uint16_t type, int family, Parse&& parse, uint32_t* error) {
    if (uint32_t err = send_request(type, family); err != kErrorSuccess) {
      *error = err;
      return DumpStatus::kFailed;
    }
    const auto deadline = std::chrono::steady_clock::now() + kDumpDeadline;
    for (;;) {
      if (std::chrono::steady_clock::now() > deadline) {
        *error = kErrorTimeout;
        return DumpStatus::kFailed;
      }
      size_t len = 0;
      if (uint32_t err = receive(&len); err != kErrorSuccess) {
        if (err == kWsaEwouldblock) continue;  // recheck the deadline
        *error = err;
        return DumpStatus::kFailed;
      }
      if (len == 0) continue;  // not from the kernel
      DumpStatus status = parse(buffer_.data(), len, error);
      if (status != DumpStatus::kMore) return status;
    }
  }

 private:
  uint32_t send_request(uint16_t type, int family) {
    alignas(nlmsghdr) char request[NLMSG_HDRLEN + 64] = {};
    nlmsghdr* nlh = ::mnl_nlmsg_put_header(request);
    nlh->nlmsg_type = type;
    nlh->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    nlh->nlmsg_seq = ++seq_;
    if (type == RTM_GETLINK) {
      auto* ifi = static_cast<ifinfomsg*>(::mnl_nlmsg_put_extra_header(nlh, sizeof(ifinfomsg)));
      ifi->ifi_family = static_cast<unsigned char>(family);
    } else if (type == RTM_GETROUTE) {
      auto* rtm = static_cast<rtmsg*>(::mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
      rtm->rtm_family = static_cast<unsigned char>(family);
    } else {
      auto* ifa = static_cast<ifaddrmsg*>(::mnl_nlmsg_put_extra_header(nlh, sizeof(ifaddrmsg)));
      ifa->ifa_family = static_cast<uint8_t>(family);
    }
    if (::mnl_socket_sendto(nl_, nlh, nlh->nlmsg_len) < 0) return win_error_from_errno(errno);
    return kErrorSuccess;
  }

  // Receives one whole datagram into buffer_, growing it to the datagram's
  // size first. `*len` is 0 for a datagram that did not come from the kernel
  // (a privileged process can write to our port).
  uint32_t receive(size_t* len) {
    const int fd = ::mnl_socket_get_fd(nl_);
    if (buffer_.empty()) buffer_.resize(kInitialReceiveSize);
    sockaddr_nl sender{};
    iovec iov{buffer_.data(), buffer_.size()};
    msghdr msg{};
    msg.msg_name = &sender;
    msg.msg_namelen = sizeof sender;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n = ::recvmsg(fd, &msg, MSG_PEEK | MSG_TRUNC);
    if (n < 0) return errno == EINTR ? kWsaEwouldblock : win_error_from_errno(errno);
    const bool from_kernel = msg.msg_namelen == sizeof sender && sender.nl_pid == 0;
    if (from_kernel && static_cast<size_t>(n) > buffer_.size()) {
      buffer_.resize(static_cast<size_t>(n));
    }
    // Consumes the datagram (into a zero-length buffer when it is dropped).
    do {
      n = ::recv(fd, buffer_.data(), from_kernel ? buffer_.size() : 0, MSG_TRUNC);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return win_error_from_errno(errno);
    *len = from_kernel ? std::min(static_cast<size_t>(n), buffer_.size()) : 0;
    return kErrorSuccess;
  }

  mnl_socket* nl_ = nullptr;
  uint32_t seq_ = 0;
  std::vector<uint8_t> buffer_;
};

}  // namespace

ParseResult parse_link_message(const void* buf, size_t len, Adapter* out) {
  const auto* p = static_cast<const uint8_t*>(buf);
  nlmsghdr hdr;
  if (!read_message_header(p, len, &hdr) || hdr.nlmsg_type != RTM_NEWLINK) {
    return ParseResult::kMalformed;
  }
  const size_t attrs = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifinfomsg));
  if (hdr.nlmsg_len < attrs) return ParseResult::kMalformed;
  ifinfomsg ifi;
  std::memcpy(&ifi, p + NLMSG_HDRLEN, sizeof ifi);
  if (ifi.ifi_index <= 0) return ParseResult::kMalformed;

  Adapter adapter;
  adapter.index = static_cast<uint32_t>(ifi.ifi_index);
  adapter.type = adapter_type_from_hardware(ifi.ifi_type);
  bool have_mtu = false;
  bool ok = for_each_attribute(p + attrs, hdr.nlmsg_len - attrs, [&](const Attribute& a) {
    switch (a.type) {
      case IFLA_IFNAME:
        adapter.name = attribute_text(a);
        return true;
      case IFLA_IFALIAS:
        adapter.description = attribute_text(a);
        return true;
      case IFLA_MTU:
        if (a.len != sizeof(uint32_t)) return false;
        std::memcpy(&adapter.mtu, a.data, sizeof adapter.mtu);
        have_mtu = true;
        return true;
      case IFLA_OPERSTATE:
        if (a.len != 1) return false;
        adapter.oper_status = oper_status_from_kernel(a.data[0]);
        return true;
      default:
        return true;
    }
  });
  if (!ok || adapter.name.empty() || !have_mtu) return ParseResult::kMalformed;
  *out = std::move(adapter);
  return ParseResult::kOk;
}

ParseResult parse_addr_message(const void* buf, size_t len, uint32_t* if_index,
                               AdapterAddress* out) {
  const auto* p = static_cast<const uint8_t*>(buf);
  nlmsghdr hdr;
  if (!read_message_header(p, len, &hdr) || hdr.nlmsg_type != RTM_NEWADDR) {
    return ParseResult::kMalformed;
  }
  const size_t attrs = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(ifaddrmsg));
  if (hdr.nlmsg_len < attrs) return ParseResult::kMalformed;
  ifaddrmsg ifa;
  std::memcpy(&ifa, p + NLMSG_HDRLEN, sizeof ifa);
  if (ifa.ifa_family != AF_INET && ifa.ifa_family != AF_INET6) return ParseResult::kIgnored;
  if (ifa.ifa_index == 0) return ParseResult::kMalformed;
  const size_t size = ifa.ifa_family == AF_INET ? 4 : 16;
  if (ifa.ifa_prefixlen > size * 8) return ParseResult::kMalformed;

  // IFA_LOCAL is the address itself; IFA_ADDRESS is the peer on a
  // point-to-point link and otherwise the same as IFA_LOCAL (IPv6 often sends
  // only IFA_ADDRESS).
  const uint8_t* local = nullptr;
  const uint8_t* address = nullptr;
  bool ok = for_each_attribute(p + attrs, hdr.nlmsg_len - attrs, [&](const Attribute& a) {
    if (a.type != IFA_LOCAL && a.type != IFA_ADDRESS) return true;
    if (a.len != size) return false;
    (a.type == IFA_LOCAL ? local : address) = a.data;
    return true;
  });
  const uint8_t* chosen = local != nullptr ? local : address;
  if (!ok || chosen == nullptr) return ParseResult::kMalformed;

  AdapterAddress result;
  result.family = ifa.ifa_family;
  std::memcpy(result.addr, chosen, size);
  result.prefix_len = ifa.ifa_prefixlen;
  if (ifa.ifa_family == AF_INET6 && is_ipv6_link_local(result.addr))
    result.scope_id = ifa.ifa_index;
  *if_index = ifa.ifa_index;
  *out = result;
  return ParseResult::kOk;
}

ParseResult parse_route_message(const void* buf, size_t len, std::vector<ForwardRow>* out) {
  const auto* p = static_cast<const uint8_t*>(buf);
  nlmsghdr hdr;
  if (!read_message_header(p, len, &hdr) || hdr.nlmsg_type != RTM_NEWROUTE) {
    return ParseResult::kMalformed;
  }
  const size_t attrs = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(rtmsg));
  if (hdr.nlmsg_len < attrs) return ParseResult::kMalformed;
  rtmsg rtm;
  std::memcpy(&rtm, p + NLMSG_HDRLEN, sizeof rtm);
  if (rtm.rtm_family != AF_INET) return ParseResult::kIgnored;
  if (rtm.rtm_dst_len > 32) return ParseResult::kMalformed;

  bool have_dst = false;
  uint32_t dst = 0;
  uint32_t oif = 0;
  uint32_t priority = 0;
  uint32_t table = rtm.rtm_table;
  const uint8_t* multipath = nullptr;
  size_t multipath_len = 0;
  auto read_u32 = [](const Attribute& a, uint32_t* v) {
    if (a.len != sizeof *v) return false;
    std::memcpy(v, a.data, sizeof *v);
    return true;
  };
  bool ok = for_each_attribute(p + attrs, hdr.nlmsg_len - attrs, [&](const Attribute& a) {
    switch (a.type) {
      case RTA_DST:
        have_dst = true;
        return read_u32(a, &dst);
      case RTA_OIF:
        return read_u32(a, &oif) && oif != 0;
      case RTA_PRIORITY:
        return read_u32(a, &priority);
      case RTA_TABLE:
        // Tables above 255 are only here; rtm_table then says RT_TABLE_COMPAT.
        return read_u32(a, &table);
      case RTA_MULTIPATH:
        multipath = a.data;
        multipath_len = a.len;
        return true;
      default:
        return true;
    }
  });
  if (!ok) return ParseResult::kMalformed;
  if (!have_dst && rtm.rtm_dst_len != 0) return ParseResult::kMalformed;
  const uint32_t mask = rtm.rtm_dst_len == 0 ? 0 : htonl(~uint32_t{0} << (32 - rtm.rtm_dst_len));
  if ((dst & ~mask) != 0) return ParseResult::kMalformed;

  ForwardRow row;
  row.destination = dst;
  row.prefix_len = rtm.rtm_dst_len;
  row.metric = priority;
  std::vector<ForwardRow> rows;
  if (multipath != nullptr) {
    // One rtnexthop per path, each followed by its own attributes.
    size_t offset = 0;
    while (offset < multipath_len) {
      const size_t rest = multipath_len - offset;
      if (rest < sizeof(rtnexthop)) return ParseResult::kMalformed;
      rtnexthop nh;
      std::memcpy(&nh, multipath + offset, sizeof nh);
      if (nh.rtnh_len < sizeof(rtnexthop) || nh.rtnh_len > rest) return ParseResult::kMalformed;
      if (nh.rtnh_ifindex <= 0) return ParseResult::kMalformed;
      // The kernel keeps a dead path in the route but sends nothing through it.
      if ((nh.rtnh_flags & RTNH_F_DEAD) == 0) {
        row.if_index = static_cast<uint32_t>(nh.rtnh_ifindex);
        rows.push_back(row);
      }
      offset += std::min(align4(nh.rtnh_len), rest);
    }
  } else if (oif != 0) {
    if ((rtm.rtm_flags & RTNH_F_DEAD) == 0) {
      row.if_index = oif;
      rows.push_back(row);
    }
  }
  // Checked after the attributes so that a broken message is refused whatever
  // table or type it names.
  if (table != RT_TABLE_MAIN || rtm.rtm_type != RTN_UNICAST ||
      (rtm.rtm_flags & RTM_F_CLONED) != 0 || rows.empty()) {
    return ParseResult::kIgnored;
  }
  out->insert(out->end(), rows.begin(), rows.end());
  return ParseResult::kOk;
}

DumpStatus parse_dump_buffer(const void* buf, size_t len, AdapterDump* dump, uint32_t* error) {
  return walk_dump_buffer(static_cast<const uint8_t*>(buf), len, error,
                          [dump](uint16_t type, const uint8_t* msg, size_t msg_len) {
                            if (type == RTM_NEWLINK) {
                              Adapter adapter;
                              ParseResult result = parse_link_message(msg, msg_len, &adapter);
                              if (result == ParseResult::kOk)
                                dump->links.push_back(std::move(adapter));
                              return result != ParseResult::kMalformed;
                            }
                            if (type == RTM_NEWADDR) {
                              uint32_t index = 0;
                              AdapterAddress address;
                              ParseResult result =
                                  parse_addr_message(msg, msg_len, &index, &address);
                              if (result == ParseResult::kOk)
                                dump->addresses.emplace_back(index, address);
                              return result != ParseResult::kMalformed;
                            }
                            return true;  // message types we do not list
                          });
}

DumpStatus parse_route_dump_buffer(const void* buf, size_t len, std::vector<ForwardRow>* rows,
                                   uint32_t* error) {
  return walk_dump_buffer(static_cast<const uint8_t*>(buf), len, error,
                          [rows](uint16_t type, const uint8_t* msg, size_t msg_len) {
                            if (type != RTM_NEWROUTE) return true;
                            return parse_route_message(msg, msg_len, rows) !=
                                   ParseResult::kMalformed;
                          });
}

std::vector<Adapter> assemble_adapters(AdapterDump dump, int family) {
  std::map<uint32_t, Adapter> by_index;
  for (Adapter& link : dump.links) {
    link.addresses.clear();
    by_index[link.index] = std::move(link);
  }
  for (const auto& [index, address] : dump.addresses) {
    if (family != AF_UNSPEC && address.family != family) continue;
    auto it = by_index.find(index);
    if (it == by_index.end()) continue;  // the link went away between the dumps
    it->second.addresses.push_back(address);
  }
  std::vector<Adapter> adapters;
  adapters.reserve(by_index.size());
  for (auto& [index, adapter] : by_index) adapters.push_back(std::move(adapter));
  return adapters;
}

namespace {

// Runs `run(socket, &error)` on a fresh socket until the kernel hands over a
// consistent dump (a dump interrupted by a change is asked for again), then
// `done()` to keep the result. The error number, also set as the last error.
template <typename Run, typename Done>
uint32_t dump_consistently(Run run, Done done) {
  for (int attempt = 0; attempt < kDumpAttempts; ++attempt) {
    RouteSocket socket;
    uint32_t error = socket.open();
    if (error != kErrorSuccess) {
      set_last_error(error);
      return error;
    }
    DumpStatus status = run(socket, &error);
    if (status == DumpStatus::kInterrupted) continue;
    if (status == DumpStatus::kFailed) {
      set_last_error(error);
      return error;
    }
    done();
    return kErrorSuccess;
  }
  set_last_error(kErrorBusy);
  return kErrorBusy;
}

}  // namespace

uint32_t list_adapters(int family, std::vector<Adapter>* out) {
  out->clear();
  if (family != AF_UNSPEC && family != AF_INET && family != AF_INET6) {
    set_last_error(kErrorInvalidParameter);
    return kErrorInvalidParameter;
  }
  AdapterDump dump;
  return dump_consistently(
      [&](RouteSocket& socket, uint32_t* error) {
        dump = AdapterDump();
        auto parse = [&dump](const void* buf, size_t len, uint32_t* err) {
          return parse_dump_buffer(buf, len, &dump, err);
        };
        DumpStatus status = socket.dump(RTM_GETLINK, AF_UNSPEC, parse, error);
        if (status == DumpStatus::kDone) status = socket.dump(RTM_GETADDR, family, parse, error);
        return status;
      },
      [&] { *out = assemble_adapters(std::move(dump), family); });
}

uint32_t get_ipv4_forward_table(std::vector<ForwardRow>* out) {
  out->clear();
  std::vector<ForwardRow> rows;
  return dump_consistently(
      [&](RouteSocket& socket, uint32_t* error) {
        rows.clear();
        auto parse = [&rows](const void* buf, size_t len, uint32_t* err) {
          return parse_route_dump_buffer(buf, len, &rows, err);
        };
        return socket.dump(RTM_GETROUTE, AF_INET, parse, error);
      },
      [&] { *out = std::move(rows); });
}

const ForwardRow* choose_best_route(const std::vector<ForwardRow>& rows, uint32_t destination) {
  const ForwardRow* best = nullptr;
  for (const ForwardRow& row : rows) {
    const uint32_t mask =
        row.prefix_len == 0 ? 0 : htonl(~uint32_t{0} << (32 - std::min<int>(row.prefix_len, 32)));
    if (((destination ^ row.destination) & mask) != 0) continue;
    if (best != nullptr && (row.prefix_len < best->prefix_len ||
                            (row.prefix_len == best->prefix_len && row.metric >= best->metric))) {
      continue;
    }
    best = &row;
  }
  return best;
}

uint32_t get_best_interface(uint32_t destination, uint32_t* if_index) {
  std::vector<ForwardRow> rows;
  if (uint32_t error = get_ipv4_forward_table(&rows); error != kErrorSuccess) return error;
  const ForwardRow* best = choose_best_route(rows, destination);
  if (best == nullptr) {
    set_last_error(kRouteErrorNotFound);
    return kRouteErrorNotFound;
  }
  *if_index = best->if_index;
  return kErrorSuccess;
}

}  // namespace platform
