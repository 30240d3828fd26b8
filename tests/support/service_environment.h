// The environment a test starts the built service with.
#ifndef TESTS_SUPPORT_SERVICE_ENVIRONMENT_H_
#define TESTS_SUPPORT_SERVICE_ENVIRONMENT_H_

#include <string>
#include <vector>

namespace testing_support {

// Ours for a run on the machine's real kernel: DOVADOD_SYSROOT=/ (real
// kernel views), no DOVADOD_DIVERT (the netfilter backend) and no
// NOTIFY_SOCKET (no service manager but one the test adds itself).
// DOVADOD_ROOT stays, so the service writes below the test's root.
std::vector<std::string> ServiceEnvironment();

}  // namespace testing_support

#endif  // TESTS_SUPPORT_SERVICE_ENVIRONMENT_H_
