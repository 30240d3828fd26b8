// The test hub: the far end of the tunnel for network-namespace tests. One
// process per hub, one thread, one epoll loop. It accepts TLS and DTLS clients
// on one address and port (a client certificate chaining to "ca" is required),
// answers probe requests, sends each client a state-sync message every 5 s,
// tells each path's client its endpoint (path id, MTU, loss, the client's
// address as seen) and every path's WAN state, takes the client's endpoint,
// WAN state and user-auth versions, carries data between its clients and a
// TUN device, and reports counters on a Unix control socket (`stats`,
// `close`, `listen on|off`, `hdrver 0|1|2`, `amcode N`, `burst N`,
// `wan down|up PATHID`, `ua state N`, `ua ack`, `quit`).
//
// Buffers are fixed per hub and per connection, so a warm hub does not
// allocate per packet. Everything a client sends is bounded and counted by
// reason when dropped. Not thread-safe: start() and run() on one thread.
#ifndef TOOLS_TESTHUB_HUB_H_
#define TOOLS_TESTHUB_HUB_H_

#include <memory>
#include <string>

#include "tools/testhub/config.h"

namespace testhub {

class Hub {
 public:
  explicit Hub(HubConfig config);
  Hub(const Hub&) = delete;
  Hub& operator=(const Hub&) = delete;
  ~Hub();

  // Loads the certificates, makes the TUN, binds the listeners and the control
  // socket. SIGTERM and SIGINT must be blocked in every thread before (run()
  // reads them from a signalfd). False with one line in `*error`.
  bool start(std::string* error);

  // The port the listeners took (the configured one, or the kernel's choice
  // for 0). Valid after start().
  uint16_t port() const;

  // Runs until `quit`, SIGTERM or SIGINT; closes every client. Returns 0.
  int run();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace testhub

#endif  // TOOLS_TESTHUB_HUB_H_
