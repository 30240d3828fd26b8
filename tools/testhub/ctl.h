// The client side of a test hub's control socket, for `testhub ctl` and for
// tests: one command line out, one JSON line back.
#ifndef TOOLS_TESTHUB_CTL_H_
#define TOOLS_TESTHUB_CTL_H_

#include <string>

namespace testhub {

// Sends `command` to the hub listening on `socket_path` and returns its
// answer without the newline. False with `*error` set when the hub cannot be
// reached or does not answer within `timeout_ms`.
bool ctl_request(const std::string& socket_path, const std::string& command, std::string* answer,
                 std::string* error, int timeout_ms = 5000);

}  // namespace testhub

#endif  // TOOLS_TESTHUB_CTL_H_
