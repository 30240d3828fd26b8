// AddressWatcher: the unicast IPv4 address-change notification, from an
// rtnetlink socket joined to RTMGRP_IPV4_IFADDR.
//
// `Start` opens the socket in the calling thread's network namespace (so a
// caller that entered another namespace watches that one) and starts one
// thread that reports every address added (type 1) or deleted (type 2) to the
// change callback, in the kernel's order. When the kernel dropped
// notifications (the socket's buffer overflowed) the lost callback runs
// instead, so that the owner can recompute from scratch. `Stop` wakes the
// thread through an eventfd and joins it; no polling by timer.
//
// Netlink datagrams are outside input: only messages from the kernel are
// read, each within its datagram and its own length, in a fixed buffer; a
// truncated or malformed message is dropped with a rate-limited log line.
//
// Threads: Start and Stop from one owner thread; the callbacks run on the
// watcher's thread and must not call Stop.
#ifndef OSTGRAPHSVC_OSTNETMONITOR_ADDRESS_WATCHER_H_
#define OSTGRAPHSVC_OSTNETMONITOR_ADDRESS_WATCHER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <thread>

// Notification types in the IP Helper numbering (MIB_NOTIFICATION_TYPE).
inline constexpr int kMibParameterNotification = 0;
inline constexpr int kMibAddInstance = 1;
inline constexpr int kMibDeleteInstance = 2;
inline constexpr int kMibInitialNotification = 3;

class AddressWatcher {
 public:
  // `type` is kMibAddInstance or kMibDeleteInstance; `ip` is the IPv4 address
  // in network order.
  using ChangeCallback = std::function<void(int type, uint32_t ip, uint32_t if_index)>;
  using LostCallback = std::function<void()>;

  // The largest datagram read; a longer one is dropped as truncated.
  static constexpr size_t kBufferSize = 8192;

  AddressWatcher(ChangeCallback on_change, LostCallback on_lost);
  AddressWatcher(const AddressWatcher&) = delete;
  AddressWatcher& operator=(const AddressWatcher&) = delete;
  ~AddressWatcher();

  // Opens the socket and starts the thread; false (logged) when the socket
  // or the thread cannot be made, or when the watcher already runs.
  bool Start();
  // Wakes and joins the thread and closes the socket; nothing when stopped.
  void Stop();
  bool running() const { return thread_.joinable(); }

  // Reports the address messages of one datagram from the kernel. `buf` may
  // be changed (a deletion is read through the addition's parser).
  static void HandleDatagram(uint8_t* buf, size_t len, const ChangeCallback& on_change);

 private:
  void Run();

  ChangeCallback on_change_;
  LostCallback on_lost_;
  struct mnl_socket* socket_ = nullptr;
  int wake_fd_ = -1;
  std::thread thread_;
  alignas(8) uint8_t buffer_[kBufferSize];  // the watcher thread's only
};

#endif  // OSTGRAPHSVC_OSTNETMONITOR_ADDRESS_WATCHER_H_
