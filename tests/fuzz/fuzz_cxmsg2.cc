// IPC texts come from any local process: no text may crash or hang the codec,
// whatever its nesting, its id or its "encryptData".
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "client/lib/cxmsg2/CXMsg2.h"
#include "platform/registry/registry.h"

namespace reg = platform::registry;

namespace {
std::string g_root;
void removeRoot() { std::filesystem::remove_all(g_root); }
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // A root of our own with a product id, so the key material loads once and
  // decryption runs on every "encryptData".
  char pattern[] = "/tmp/fuzz-cxmsg2-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) std::abort();
  g_root = pattern;
  std::atexit(removeRoot);
  ::setenv("DOVADOD_ROOT", pattern, 1);
  ::setenv("DOVADOD_SYSROOT", pattern, 1);
  reg::Key key;
  const char kProductId[] = "00330-80000-00000-AA123";
  if (reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion",
                      reg::kKeyAllAccess, &key) != 0 ||
      reg::set_value(key, "ProductId", reg::kRegSz, kProductId, sizeof(kProductId)) != 0 ||
      reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\Provisioning",
                      reg::kKeyAllAccess, &key) != 0 ||
      reg::set_value(key, "cxdeviceuidnew", reg::kRegSz, "fuzz-device", 12) != 0) {
    std::abort();
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  CXMsg2 msg;
  msg.attach(std::string(reinterpret_cast<const char*>(data), size));
  return 0;
}
