#include "tests/support/service_environment.h"

extern "C" char** environ;

namespace testing_support {

std::vector<std::string> ServiceEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    if (entry.rfind("NOTIFY_SOCKET=", 0) == 0 || entry.rfind("DOVADOD_SYSROOT=", 0) == 0 ||
        entry.rfind("DOVADOD_DIVERT=", 0) == 0) {
      continue;
    }
    env.push_back(entry);
  }
  env.push_back("DOVADOD_SYSROOT=/");
  return env;
}

}  // namespace testing_support
