// The overlay element's CONF file is written by another program and read as
// root. Each input is written as that file (one per process, rewritten for
// every input) and loaded into one configuration that lives across inputs,
// so every load also resets what the one before left. No text may crash,
// throw or overflow, and the tables must stay within their limits.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "graph/string.h"
#include "ostgraphsvc/ostssl/ostrel_overlay_config.h"
#include "ostgraphsvc/ostssl/ostssl.h"

namespace {

std::string root;
std::string confPath;
OstrelOverlayConfig* config = nullptr;

void removeRoot() { std::filesystem::remove_all(root); }

void checkLimits(const OstrelOverlayJson& json) {
  if (json.group_count < 0 || json.group_count > kOverlayMaxPeerGroups) std::abort();
  for (int g = 0; g < json.group_count; ++g) {
    const OnePeerGroup& group = json.groups[g];
    if (group.peer_count < 1 || group.peer_count > kOverlayMaxPeersPerGroup) std::abort();
    for (int p = 0; p < group.peer_count; ++p) {
      int links = group.peers[p].link_count;
      if (links < 1 || links > kOverlayMaxLinksPerPeer) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/fuzz_overlay_conf.XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  root = dir;
  std::atexit(removeRoot);
  setenv("DOVADOD_ROOT", dir, 1);
  setenv("DOVADOD_SYSROOT", dir, 1);
  confPath = root + "/ostrel-overlay-conf.json";
  config = new OstrelOverlayConfig;
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  FILE* file = std::fopen(confPath.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);

  ostssl::reset_for_testing();
  int result = config->ioc_parse_config(String(confPath.c_str()));
  if (result != 0 && result != -1) std::abort();
  checkLimits(config->overlay_json);
  return 0;
}
