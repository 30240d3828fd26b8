// The policy file from outside: the input is the file's bytes. The policy
// element is configured from it in a router, reconfigured with the same
// bytes and with one byte changed, looks up 1,000 flows whose tuples are
// drawn from the bytes (with the capture, tunnel and fail-close flags taken
// from them too), resolves each answer's next hop, and dumps its table.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "graph/router.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "tests/fuzz/policy_fuzz.h"

namespace {

// Bytes of the input from `at` on, wrapping around.
uint32_t take(const uint8_t* data, size_t size, size_t at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | data[(at + static_cast<size_t>(i)) % size];
  return value;
}

void look_up(const OstPolicy& policy, const uint8_t* data, size_t size) {
  // Process names: none, own ones, and a NUL-free stretch of the input with
  // no terminator inside the first 255 bytes.
  std::string long_name(300, 'c');
  const char* names[] = {nullptr, "dovadod", "CHROME.EXE", "", long_name.c_str()};
  for (int i = 0; i < 1000; ++i) {
    const size_t at = static_cast<size_t>(i) * 17;
    const uint32_t flags = take(data, size, at + 16, 1);
    destination_internet_flag.store(flags & 1);
    const int32_t row = policy.find_matching_policy(
        take(data, size, at, 4), take(data, size, at + 4, 4),
        static_cast<uint16_t>(take(data, size, at + 8, 2)),
        static_cast<uint16_t>(take(data, size, at + 10, 2)),
        static_cast<int32_t>(take(data, size, at + 12, 1) & 0x3F),
        static_cast<uint16_t>(take(data, size, at + 13, 1)),
        static_cast<int32_t>(take(data, size, at + 14, 1)) - 128, -1,
        static_cast<uint8_t>((flags >> 1) & 1), names[(flags >> 2) % 5]);
    String hop;
    policy.get_pbr_next_hop(row, &hop);
    policy.get_pbr_next_hop(static_cast<int32_t>(take(data, size, at + 2, 4)), &hop);
  }
  destination_internet_flag.store(0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  const std::string path = policy_fuzz::scratch() + "policy.json";
  if (!policy_fuzz::write_file("policy.json", data, size)) return 0;
  Router router(String(""));
  policy_fuzz::build(&router, path.c_str(), nullptr);
  if (router.initialize(ErrorHandler::silent_handler()) < 0) return 0;
  auto* policy = static_cast<OstPolicy*>(router.find_element(String("ostpolicy"), nullptr));
  if (policy == nullptr) return 0;
  policy->reconfigure();
  if (size > 0) {
    std::string changed(reinterpret_cast<const char*>(data), size);
    changed[size / 2] = static_cast<char>(changed[size / 2] ^ 0x20);
    policy_fuzz::write_file("policy.json", reinterpret_cast<const uint8_t*>(changed.data()), size);
    policy->reconfigure();
    FailCloseMgr::GetInstance().ReplaceConfigured((data[0] & 1) != 0);
    policy->set_tunnel_started((data[size - 1] & 1) != 0);
    look_up(*policy, data, size);
    FailCloseMgr::GetInstance().ReplaceConfigured(false);
  }
  (void)policy->policy_dump();
  return 0;
}
