#include "ostgraphsvc/ostnetmonitor/address_watcher.h"

#include <errno.h>
#include <libmnl/libmnl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <system_error>
#include <utility>

#include "graph/router_log.h"
#include "platform/adapters/adapters.h"

#define WATCH_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

AddressWatcher::AddressWatcher(ChangeCallback on_change, LostCallback on_lost)
    : on_change_(std::move(on_change)), on_lost_(std::move(on_lost)) {}

AddressWatcher::~AddressWatcher() { Stop(); }

bool AddressWatcher::Start() {
  const char* tag = "AddressWatcher::Start";
  if (thread_.joinable()) return false;
  socket_ = mnl_socket_open2(NETLINK_ROUTE, SOCK_CLOEXEC);
  if (socket_ == nullptr) {
    WATCH_LOG(3, tag, "cannot open the address notification socket, errno %d", errno);
    return false;
  }
  if (mnl_socket_bind(socket_, RTMGRP_IPV4_IFADDR, MNL_SOCKET_AUTOPID) < 0) {
    WATCH_LOG(3, tag, "cannot join the address notification group, errno %d", errno);
    mnl_socket_close(socket_);
    socket_ = nullptr;
    return false;
  }
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wake_fd_ < 0) {
    WATCH_LOG(3, tag, "cannot make the watcher's wake-up, errno %d", errno);
    mnl_socket_close(socket_);
    socket_ = nullptr;
    return false;
  }
  try {
    thread_ = std::thread([this] { Run(); });
  } catch (const std::system_error& e) {
    WATCH_LOG(3, tag, "cannot start the address watcher: %s", e.what());
    close(wake_fd_);
    wake_fd_ = -1;
    mnl_socket_close(socket_);
    socket_ = nullptr;
    return false;
  }
  return true;
}

void AddressWatcher::Stop() {
  if (thread_.joinable()) {
    const uint64_t one = 1;
    // A full counter still wakes the thread, so the result does not matter.
    [[maybe_unused]] ssize_t n = write(wake_fd_, &one, sizeof one);
    thread_.join();
  }
  if (wake_fd_ >= 0) close(wake_fd_);
  wake_fd_ = -1;
  if (socket_ != nullptr) mnl_socket_close(socket_);
  socket_ = nullptr;
}

void AddressWatcher::Run() {
  const char* tag = "AddressWatcher::Run";
  uint8_t* buf = buffer_;
  pollfd fds[2] = {{mnl_socket_get_fd(socket_), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
  for (;;) {
    fds[0].revents = fds[1].revents = 0;
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      WATCH_LOG(3, tag, "address watch ended: poll errno %d", errno);
      return;
    }
    if (fds[1].revents != 0) return;
    if (fds[0].revents == 0) continue;

    sockaddr_nl from{};
    socklen_t from_len = sizeof from;
    ssize_t n = recvfrom(fds[0].fd, buf, kBufferSize, MSG_TRUNC | MSG_DONTWAIT,
                         reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      if (errno == ENOBUFS) {
        // The kernel dropped notifications; only a full recompute is safe.
        ROUTER_LOG_LIMITED(4, tag, "address notifications were lost, rechecking interfaces");
        if (on_lost_) on_lost_();
        continue;
      }
      WATCH_LOG(3, tag, "address watch ended: receive errno %d", errno);
      return;
    }
    if (from_len < sizeof from || from.nl_family != AF_NETLINK || from.nl_pid != 0) {
      ROUTER_LOG_LIMITED(4, tag, "address notification not from the kernel ignored");
      continue;
    }
    if (static_cast<size_t>(n) > kBufferSize) {
      ROUTER_LOG_LIMITED(4, tag, "address notification of %zd bytes truncated, ignored", n);
      continue;
    }
    HandleDatagram(buf, static_cast<size_t>(n), on_change_);
  }
}

void AddressWatcher::HandleDatagram(uint8_t* buf, size_t len, const ChangeCallback& on_change) {
  const char* tag = "AddressWatcher::HandleDatagram";
  size_t off = 0;
  while (len - off >= sizeof(nlmsghdr)) {
    nlmsghdr hdr;
    std::memcpy(&hdr, buf + off, sizeof hdr);
    if (hdr.nlmsg_len < sizeof hdr || hdr.nlmsg_len > len - off) {
      ROUTER_LOG_LIMITED(4, tag, "malformed address notification ignored (length %u of %zu)",
                         hdr.nlmsg_len, len - off);
      return;
    }
    if (hdr.nlmsg_type == RTM_NEWADDR || hdr.nlmsg_type == RTM_DELADDR) {
      const int type = hdr.nlmsg_type == RTM_NEWADDR ? kMibAddInstance : kMibDeleteInstance;
      // A deletion carries the addition's layout; the parser reads only that.
      const uint16_t as_new = RTM_NEWADDR;
      std::memcpy(buf + off + offsetof(nlmsghdr, nlmsg_type), &as_new, sizeof as_new);
      uint32_t if_index = 0;
      platform::AdapterAddress address;
      platform::ParseResult result =
          platform::parse_addr_message(buf + off, hdr.nlmsg_len, &if_index, &address);
      if (result == platform::ParseResult::kMalformed) {
        ROUTER_LOG_LIMITED(4, tag, "malformed address notification ignored");
      } else if (result == platform::ParseResult::kOk && address.family == AF_INET) {
        uint32_t ip = 0;
        std::memcpy(&ip, address.addr, sizeof ip);
        on_change(type, ip, if_index);
      }
    }
    const size_t step = NLMSG_ALIGN(hdr.nlmsg_len);
    if (step >= len - off) return;
    off += step;
  }
}
