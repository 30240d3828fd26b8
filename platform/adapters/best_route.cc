#include "platform/adapters/best_route.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>

#include "platform/adapters/netlink_attributes.h"
#include "platform/error/win_error.h"

namespace platform {
namespace {

std::atomic<uint32_t> g_route_epoch{0};

using netlink::align4;
using netlink::Attribute;
using netlink::for_each_attribute;

uint32_t error_from_errno_value(int64_t err) {
  // No route: the kernel's "network unreachable", IP Helper's "not found".
  if (err == ENETUNREACH || err == EHOSTUNREACH || err == ESRCH) return kRouteErrorNotFound;
  return win_error_from_errno(err > 0 && err <= INT_MAX ? static_cast<int>(err) : EIO);
}

bool read_u32(const uint8_t* data, size_t len, uint32_t* v) {
  if (len != sizeof *v) return false;
  std::memcpy(v, data, sizeof *v);
  return true;
}

}  // namespace

uint32_t parse_best_route_reply(const void* buf, size_t len, BestRoute* out) {
  const auto* p = static_cast<const uint8_t*>(buf);
  nlmsghdr hdr;
  if (len < sizeof hdr) return kAdapterErrorInvalidData;
  std::memcpy(&hdr, p, sizeof hdr);
  if (hdr.nlmsg_len < sizeof hdr || hdr.nlmsg_len > len) return kAdapterErrorInvalidData;
  if (hdr.nlmsg_type == NLMSG_ERROR) {
    int32_t code = 0;
    if (hdr.nlmsg_len < NLMSG_HDRLEN + sizeof code) return kAdapterErrorInvalidData;
    std::memcpy(&code, p + NLMSG_HDRLEN, sizeof code);
    // An acknowledgement without a route answers nothing.
    if (code >= 0) return kAdapterErrorInvalidData;
    return error_from_errno_value(-static_cast<int64_t>(code));
  }
  if (hdr.nlmsg_type != RTM_NEWROUTE) return kAdapterErrorInvalidData;
  const size_t attrs = NLMSG_HDRLEN + NLMSG_ALIGN(sizeof(rtmsg));
  if (hdr.nlmsg_len < attrs) return kAdapterErrorInvalidData;
  rtmsg rtm;
  std::memcpy(&rtm, p + NLMSG_HDRLEN, sizeof rtm);
  if (rtm.rtm_family != AF_INET || rtm.rtm_dst_len > 32) return kAdapterErrorInvalidData;

  BestRoute route;
  route.prefix_len = rtm.rtm_dst_len;
  bool have_dst = false;
  const bool ok =
      for_each_attribute(p + attrs, hdr.nlmsg_len - attrs, [&](const Attribute& a) {
        switch (a.type) {
          case RTA_DST:
            have_dst = true;
            return read_u32(a.data, a.len, &route.destination);
          case RTA_GATEWAY:
            return read_u32(a.data, a.len, &route.gateway);
          case RTA_OIF:
            return read_u32(a.data, a.len, &route.if_index);
          case RTA_MULTIPATH: {
            // The first path stands for the route, as the forwarding table's
            // first row would.
            if (a.len < sizeof(rtnexthop)) return false;
            rtnexthop nh;
            std::memcpy(&nh, a.data, sizeof nh);
            if (nh.rtnh_len < sizeof nh || nh.rtnh_len > a.len) return false;
            if (route.if_index == 0 && nh.rtnh_ifindex > 0)
              route.if_index = static_cast<uint32_t>(nh.rtnh_ifindex);
            const size_t inner = align4(sizeof nh);
            if (nh.rtnh_len <= inner) return true;
            return for_each_attribute(a.data + inner, nh.rtnh_len - inner,
                                      [&](const Attribute& n) {
                                        if (n.type != RTA_GATEWAY) return true;
                                        return read_u32(n.data, n.len, &route.gateway);
                                      });
          }
          default:
            return true;
        }
      });
  if (!ok) return kAdapterErrorInvalidData;
  if (!have_dst && rtm.rtm_dst_len != 0) return kAdapterErrorInvalidData;
  const uint32_t mask = rtm.rtm_dst_len == 0 ? 0 : htonl(~uint32_t{0} << (32 - rtm.rtm_dst_len));
  route.destination &= mask;
  *out = route;
  return kErrorSuccess;
}

uint32_t get_best_route(uint32_t destination, BestRoute* out) {
  mnl_socket* nl = ::mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (nl == nullptr) {
    const uint32_t error = win_error_from_errno(errno);
    set_last_error(error);
    return error;
  }
  uint32_t error = kErrorSuccess;
  do {
    if (::mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) {
      error = win_error_from_errno(errno);
      break;
    }
    timeval timeout{1, 0};
    if (::setsockopt(::mnl_socket_get_fd(nl), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) <
        0) {
      error = win_error_from_errno(errno);
      break;
    }
    alignas(nlmsghdr) char request[NLMSG_HDRLEN + 64] = {};
    nlmsghdr* nlh = ::mnl_nlmsg_put_header(request);
    nlh->nlmsg_type = RTM_GETROUTE;
    nlh->nlmsg_flags = NLM_F_REQUEST;
    nlh->nlmsg_seq = 1;
    auto* rtm = static_cast<rtmsg*>(::mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
    rtm->rtm_family = AF_INET;
    rtm->rtm_dst_len = 32;
    // The matching table entry (its prefix and gateway), not a per-host clone.
    rtm->rtm_flags = RTM_F_FIB_MATCH;
    ::mnl_attr_put_u32(nlh, RTA_DST, destination);
    if (::mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) {
      error = win_error_from_errno(errno);
      break;
    }
    alignas(nlmsghdr) uint8_t reply[8192];
    for (int attempt = 0; attempt < 4; ++attempt) {
      sockaddr_nl sender{};
      socklen_t sender_len = sizeof sender;
      const ssize_t n = ::recvfrom(::mnl_socket_get_fd(nl), reply, sizeof reply, 0,
                                   reinterpret_cast<sockaddr*>(&sender), &sender_len);
      if (n < 0) {
        if (errno == EINTR) continue;
        error = errno == EAGAIN ? kErrorTimeout : win_error_from_errno(errno);
        break;
      }
      // Only the kernel's answer counts (a privileged process can write to
      // our port too).
      if (sender_len != sizeof sender || sender.nl_pid != 0) continue;
      error = parse_best_route_reply(reply, static_cast<size_t>(n), out);
      break;
    }
  } while (false);
  ::mnl_socket_close(nl);
  if (error != kErrorSuccess) set_last_error(error);
  return error;
}

void invalidate_best_route_caches() { g_route_epoch.fetch_add(1, std::memory_order_relaxed); }

BestRouteCache::BestRouteCache(Lookup lookup)
    : lookup_(lookup), slots_(new Slot[kSlots]), epoch_(g_route_epoch.load()) {}

void BestRouteCache::clear() {
  for (uint32_t i = 0; i < kSlots; ++i) slots_[i].used = false;
}

uint32_t BestRouteCache::get(uint32_t destination, int64_t now_msec, BestRoute* out, bool* miss) {
  const uint32_t epoch = g_route_epoch.load(std::memory_order_relaxed);
  if (epoch != epoch_) {
    clear();
    epoch_ = epoch;
  }
  // Fibonacci hashing spreads neighbouring addresses over the slots.
  Slot& slot = slots_[(destination * 2654435761u) >> 16];
  const bool fresh = slot.used && slot.destination == destination &&
                     now_msec < slot.expires_msec && now_msec >= slot.expires_msec - kLifetimeMsec;
  if (miss != nullptr) *miss = !fresh;
  if (!fresh) {
    ++lookups_;
    BestRoute route;
    slot.error = lookup_(destination, &route);
    slot.route = slot.error == kErrorSuccess ? route : BestRoute();
    slot.destination = destination;
    slot.expires_msec = now_msec + kLifetimeMsec;
    slot.used = true;
  }
  if (slot.error != kErrorSuccess) {
    set_last_error(slot.error);
    return slot.error;
  }
  *out = slot.route;
  return kErrorSuccess;
}

}  // namespace platform
