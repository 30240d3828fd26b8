// The work directory's JSON files are written by another program and read as
// root. The input is up to five texts separated by NUL bytes: the client,
// overlay, exclusions, policy and fapps files (a missing text removes its
// file). No text may crash or throw, and whatever routes come out must be
// dotted quads with a prefix of 0-32.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <vector>

#include "graph/json.h"
#include "graph/string.h"
#include "ostgraphsvc/config/tarn_config_reader.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "platform/registry/registry.h"

namespace reg = platform::registry;

namespace {

const char* const kFiles[] = {"ostrel-client-config.json", "ostrel-overlay.json",
                              "ostrel-exclusions.json", "policy.json", "fapps.json"};

std::string root;
std::string workDir;

void removeRoot() { std::filesystem::remove_all(root); }

bool isDottedQuad(const std::string& text) {
  int parts = 0;
  int value = -1;
  for (char c : text) {
    if (c == '.') {
      if (value < 0) return false;
      ++parts;
      value = -1;
      continue;
    }
    if (c < '0' || c > '9') return false;
    value = (value < 0 ? 0 : value * 10) + (c - '0');
    if (value > 255) return false;
  }
  return value >= 0 && parts == 3;
}

void checkRoutes(const std::vector<SplitRoute>& routes) {
  for (const SplitRoute& r : routes) {
    if (!isDottedQuad(r.networkAddress) || !isDottedQuad(r.mask)) std::abort();
    if (r.prefix < 0 || r.prefix > 32) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char dir[] = "/tmp/fuzz_client_config.XXXXXX";
  if (mkdtemp(dir) == nullptr) std::abort();
  root = dir;
  std::atexit(removeRoot);
  setenv("DOVADOD_ROOT", dir, 1);
  setenv("DOVADOD_SYSROOT", dir, 1);
  workDir = root + "/work";
  std::filesystem::create_directories(workDir);
  reg::Key key;
  if (reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn",
                      reg::kKeyAllAccess | reg::kKeyWow64_64Key, &key) != 0) {
    std::abort();
  }
  if (reg::set_value(key, "workdir", reg::kRegSz, workDir.c_str(),
                     static_cast<uint32_t>(workDir.size() + 1)) != 0) {
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  std::string_view input(reinterpret_cast<const char*>(data), size);
  std::vector<std::string_view> texts;
  for (size_t start = 0; texts.size() < 5;) {
    size_t end = input.find('\0', start);
    texts.push_back(input.substr(start, end == std::string_view::npos ? input.npos : end - start));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  for (size_t i = 0; i < 5; ++i) {
    std::string path = workDir + "/" + kFiles[i];
    if (i >= texts.size()) {
      std::remove(path.c_str());
      continue;
    }
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(texts[i].data(), static_cast<std::streamsize>(texts[i].size()));
  }

  CTarnConfigReader reader;
  reader.readVirtualInterfaceInfo();
  // The steps also run alone, past whatever ended the pass.
  reader.readOverlayIP();
  reader.readExclusionsConfig();
  reader.readPolicyConfig();
  std::string support;
  reader.readMultiLinkSupportConfig(&support);
  checkRoutes(reader.getSplitRoutes());
  checkRoutes(reader.getAutoRoutes());

  for (std::string_view text : texts) {
    Json value = Json::parse(String(text.data(), static_cast<int>(text.size())));
    bool isAuto = false;
    CTarnConfigReader::isTunnelAction(value, &isAuto);
    CTarnConfigReader::isTunnelAction(value.get("qos_action").get("pbr_action"), &isAuto);
  }

  FailCloseMgr manager;
  manager.GetFailCloseConfiguration();
  return 0;
}
