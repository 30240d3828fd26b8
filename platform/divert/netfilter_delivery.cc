#include "platform/divert/netfilter_delivery.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/rtnetlink.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/adapters/adapters.h"
#include "platform/fs/paths.h"

namespace platform::divert::nf {
namespace {

// rp_filter changes are announced, accept_local changes are not: a changed
// accept_local counts after this.
constexpr int64_t kConfLifetimeMs = 1000;

int64_t coarse_now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// One /proc/sys/net/ipv4/conf/<dev>/<name> value; 0 when it cannot be read.
int read_conf(const std::string& dev, const char* name) {
  const std::string path = under_sysroot("/proc/sys/net/ipv4/conf/" + dev + "/" + name);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  char buf[16] = {};
  const ssize_t n = ::read(fd, buf, sizeof(buf) - 1);
  ::close(fd);
  return n > 0 ? atoi(buf) : 0;
}

bool martian_source(uint32_t src) {
  const uint32_t top = src >> 24;
  return src == 0 || top == 127 || (src >> 28) == 0xE || src == 0xFFFFFFFFu;
}

}  // namespace

InboundCheck::~InboundCheck() {
  if (events_ != nullptr) mnl_socket_close(events_);
  if (query_ != nullptr) mnl_socket_close(query_);
}

int InboundCheck::open() {
  events_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (events_ == nullptr) return errno;
  const unsigned groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV4_ROUTE | RTMGRP_IPV4_RULE |
                          (1u << (RTNLGRP_IPV4_NETCONF - 1));
  if (mnl_socket_bind(events_, groups, MNL_SOCKET_AUTOPID) < 0) return errno;
  query_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (query_ == nullptr) return errno;
  if (mnl_socket_bind(query_, 0, MNL_SOCKET_AUTOPID) < 0) return errno;
  // A lost reply costs one packet, never the capture loop.
  timeval timeout{0, 200 * 1000};
  setsockopt(mnl_socket_get_fd(query_), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof(timeout));
  buffer_.resize(MNL_SOCKET_BUFFER_SIZE);
  all_.name = "all";
  return 0;
}

void InboundCheck::poll_changes() {
  const int fd = mnl_socket_get_fd(events_);
  bool changed = false;
  for (;;) {
    const ssize_t n = recv(fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (errno == ENOBUFS) {  // notifications were lost: trust nothing
        changed = local_stale_ = conf_stale_ = true;
      }
      break;
    }
    changed = true;
    if (static_cast<size_t>(n) > buffer_.size()) {
      local_stale_ = conf_stale_ = true;
      continue;
    }
    int left = static_cast<int>(n);
    for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer_.data());
         mnl_nlmsg_ok(h, left); h = mnl_nlmsg_next(h, &left)) {
      switch (h->nlmsg_type) {
        case RTM_NEWROUTE:
        case RTM_DELROUTE:
        case RTM_NEWRULE:
        case RTM_DELRULE:
          break;  // the route cache alone
        case RTM_NEWNETCONF:
        case RTM_DELNETCONF:
          conf_stale_ = true;
          break;
        default:
          local_stale_ = true;
      }
    }
  }
  if (changed) {
    for (Route& r : routes_) r.valid = false;
  }
}

void InboundCheck::refresh_local() {
  std::vector<Adapter> adapters;
  if (list_adapters(AF_INET, &adapters) != 0) return;  // keep the old view, try next batch
  local_stale_ = false;
  local_.clear();
  std::vector<Interface> old;
  old.swap(interfaces_);
  for (const Adapter& a : adapters) {
    Interface iface;
    iface.index = a.index;
    iface.name = a.name;
    iface.has_address = !a.addresses.empty();
    // A renamed or re-created interface gets its sysctls read again.
    auto same = std::find_if(old.begin(), old.end(), [&](const Interface& o) {
      return o.index == a.index && o.name == a.name;
    });
    if (same != old.end()) {
      iface.accept_local = same->accept_local;
      iface.rp_filter = same->rp_filter;
      iface.read_at = same->read_at;
    }
    interfaces_.push_back(std::move(iface));
    for (const AdapterAddress& addr : a.addresses) {
      uint32_t v;
      memcpy(&v, addr.addr, 4);
      if ((ntohl(v) >> 24) != 127) local_.push_back(v);
    }
  }
}

void InboundCheck::refresh_conf(Interface* iface, int64_t now_ms) {
  if (iface->read_at >= 0 && now_ms - iface->read_at < kConfLifetimeMs) return;
  iface->read_at = now_ms;
  iface->accept_local = read_conf(iface->name, "accept_local") != 0;
  iface->rp_filter = read_conf(iface->name, "rp_filter");
}

void InboundCheck::lookup_route(uint32_t src_be, uint32_t dst_be, Route* out) {
  out->src = src_be;
  out->valid = true;
  out->type = 0;
  out->oif_count = 0;
  // The kernel's own check: the fib entry a reply from `dst` to `src` would use.
  alignas(nlmsghdr) uint8_t request[NLMSG_HDRLEN + 64] = {};
  nlmsghdr* nlh = mnl_nlmsg_put_header(request);
  nlh->nlmsg_type = RTM_GETROUTE;
  nlh->nlmsg_flags = NLM_F_REQUEST;
  nlh->nlmsg_seq = ++seq_;
  auto* rtm = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(rtmsg)));
  rtm->rtm_family = AF_INET;
  rtm->rtm_dst_len = 32;
  rtm->rtm_src_len = 32;
  rtm->rtm_flags = RTM_F_FIB_MATCH;
  mnl_attr_put_u32(nlh, RTA_DST, src_be);
  mnl_attr_put_u32(nlh, RTA_SRC, dst_be);
  if (mnl_socket_sendto(query_, nlh, nlh->nlmsg_len) < 0) {
    out->valid = false;  // ask again next time
    return;
  }
  for (;;) {
    const ssize_t n = mnl_socket_recvfrom(query_, buffer_.data(), buffer_.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      out->valid = false;
      return;
    }
    int left = static_cast<int>(n);
    for (const nlmsghdr* h = reinterpret_cast<const nlmsghdr*>(buffer_.data());
         mnl_nlmsg_ok(h, left); h = mnl_nlmsg_next(h, &left)) {
      if (h->nlmsg_seq != seq_) continue;        // a late answer to an earlier question
      if (h->nlmsg_type == NLMSG_ERROR) return;  // no route: the type stays 0
      if (h->nlmsg_type != RTM_NEWROUTE) continue;
      const auto* r = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(h));
      out->type = r->rtm_type;
      const auto* tail = static_cast<const uint8_t*>(mnl_nlmsg_get_payload_tail(h));
      for (auto* attr = static_cast<const nlattr*>(mnl_nlmsg_get_payload_offset(h, sizeof(rtmsg)));
           mnl_attr_ok(attr, static_cast<int>(tail - reinterpret_cast<const uint8_t*>(attr)));
           attr = mnl_attr_next(attr)) {
        if (mnl_attr_get_type(attr) == RTA_OIF && mnl_attr_get_payload_len(attr) >= 4) {
          if (out->oif_count < out->oifs.size())
            out->oifs[out->oif_count++] = mnl_attr_get_u32(attr);
        } else if (mnl_attr_get_type(attr) == RTA_MULTIPATH) {
          const auto* p = static_cast<const uint8_t*>(mnl_attr_get_payload(attr));
          uint32_t len = mnl_attr_get_payload_len(attr);
          while (len >= sizeof(rtnexthop)) {
            rtnexthop nh;
            memcpy(&nh, p, sizeof(nh));
            if (nh.rtnh_len < sizeof(rtnexthop) || nh.rtnh_len > len) break;
            if (out->oif_count < out->oifs.size()) {
              out->oifs[out->oif_count++] = static_cast<uint32_t>(nh.rtnh_ifindex);
            }
            const uint32_t step = RTNH_ALIGN(nh.rtnh_len);
            if (step >= len) break;
            p += step;
            len -= step;
          }
        }
      }
      return;
    }
  }
}

const InboundCheck::Route& InboundCheck::route_to(uint32_t src_be, uint32_t dst_be) {
  const uint32_t h = ntohl(src_be) * 2654435761u;
  Route& slot = routes_[h >> 26];
  if (!slot.valid || slot.src != src_be) lookup_route(src_be, dst_be, &slot);
  return slot;
}

Delivery InboundCheck::check(uint32_t src_be, uint32_t dst_be, uint32_t if_index) {
  if (local_stale_) refresh_local();
  if (conf_stale_) {
    conf_stale_ = false;
    all_.read_at = -1;
    for (Interface& i : interfaces_) i.read_at = -1;
  }
  if (std::find(local_.begin(), local_.end(), dst_be) == local_.end()) return Delivery::kNotLocal;
  if (martian_source(ntohl(src_be))) return Delivery::kMartian;

  const int64_t now = coarse_now_ms();
  refresh_conf(&all_, now);
  auto it = std::find_if(interfaces_.begin(), interfaces_.end(),
                         [&](const Interface& i) { return i.index == if_index; });
  Interface* iface = it != interfaces_.end() ? &*it : nullptr;
  if (iface != nullptr) refresh_conf(iface, now);
  const bool accept_local = all_.accept_local || (iface != nullptr && iface->accept_local);
  const int rp_filter = std::max(all_.rp_filter, iface != nullptr ? iface->rp_filter : 0);

  const bool own = std::find(local_.begin(), local_.end(), src_be) != local_.end();
  if (own && !accept_local) return Delivery::kMartian;
  if (rp_filter == 0) return Delivery::kDeliver;

  const Route& r = route_to(src_be, dst_be);
  if (r.type != RTN_UNICAST && !(r.type == RTN_LOCAL && accept_local)) {
    return Delivery::kReversePath;
  }
  const bool via_arrival = std::find(r.oifs.begin(), r.oifs.begin() + r.oif_count, if_index) !=
                           r.oifs.begin() + r.oif_count;
  if (via_arrival) return Delivery::kDeliver;
  // Like the kernel: an interface without addresses accepts only what routes back through it.
  if (rp_filter == 1 || iface == nullptr || !iface->has_address) return Delivery::kReversePath;
  return Delivery::kDeliver;
}

}  // namespace platform::divert::nf
