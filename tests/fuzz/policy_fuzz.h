// Pieces the policy and firewall fuzz targets share: a scratch root and work
// directory, writing the input as a file there, and a router holding an
// "rt" stand-in, the policy element and, when asked, the firewall element.
#ifndef TESTS_FUZZ_POLICY_FUZZ_H_
#define TESTS_FUZZ_POLICY_FUZZ_H_

#include <stdlib.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/router.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/policy/ost_firewall.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "tests/fuzz/element_fuzz.h"

namespace policy_fuzz {

// A scratch directory that is both the root and the work directory, made
// once and removed at exit, so nothing outside it is read or written.
inline const std::string& scratch() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/fuzz-policy-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    static std::string removed = made;
    std::atexit([] { std::filesystem::remove_all(removed); });
    ::setenv("DOVADOD_ROOT", made, 1);
    ::setenv("DOVADOD_SYSROOT", made, 1);
    set_config_directory(made);
    FailCloseMgr::GetInstance().Initialize();
    return std::string(made) + "/";
  }();
  return dir;
}

inline bool write_file(const std::string& name, const uint8_t* data, size_t size) {
  FILE* f = std::fopen((scratch() + name).c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

// Adds "rt", "ostpolicy" (CONF policy_conf) and, with a firewall file,
// "ostFirewall"; the router owns them.
inline void build(Router* router, const char* policy_conf, const char* firewall_conf) {
  const String landmark("fuzz");
  router->add_element(new element_fuzz::Sink, String("rt"), String(""), landmark, 1);
  router->add_element(new OstPolicy, String("ostpolicy"), String("CONF ") + String(policy_conf),
                      landmark, 2);
  if (firewall_conf != nullptr) {
    router->add_element(new OstFirewall, String("ostFirewall"),
                        String("CONF ") + String(firewall_conf), landmark, 3);
  }
}

}  // namespace policy_fuzz

#endif  // TESTS_FUZZ_POLICY_FUZZ_H_
