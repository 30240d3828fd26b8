// The firewall file from outside: the input is the file's bytes. The
// firewall element is configured from it in a router beside a policy
// element, reconfigured with the same bytes and with one byte changed,
// dumps its rules, and formats both state texts of flow records drawn from
// the bytes.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "graph/router.h"
#include "tests/fuzz/policy_fuzz.h"

namespace {

uint32_t take(const uint8_t* data, size_t size, size_t at, int bytes) {
  uint32_t value = 0;
  for (int i = 0; i < bytes; ++i) value = (value << 8) | data[(at + static_cast<size_t>(i)) % size];
  return value;
}

void format_states(const OstFirewall& fw, const uint8_t* data, size_t size) {
  for (size_t at = 0; at < size && at < 64 * 24; at += 24) {
    FwFlowState s;
    s.tcp_state = static_cast<int32_t>(take(data, size, at, 4));
    s.protocol = (take(data, size, at + 4, 1) & 1) != 0 ? 6 : static_cast<int32_t>(data[at]);
    s.tx_count = take(data, size, at + 5, 4);
    s.rx_count_2 = take(data, size, at + 9, 4);
    s.local_fin = static_cast<uint8_t>(take(data, size, at + 13, 1));
    s.remote_fin = static_cast<uint8_t>(take(data, size, at + 14, 1));
    s.drops = uint64_t{take(data, size, at + 15, 4)} << 20;
    s.first_time = Timestamp::make_nsec(-static_cast<int64_t>(take(data, size, at + 19, 4)) << 10);
    // A rule name as long as a buffer can take and then some.
    const size_t length = take(data, size, at + 23, 1) * 2;
    s.rule_name = String(reinterpret_cast<const char*>(data) + at,
                         static_cast<int>(length < size - at ? length : size - at));
    String text;
    fw.get_tcp_state_text(s, &text);
    fw.get_flow_state_text(s, &text);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  const std::string path = policy_fuzz::scratch() + "fw.json";
  if (!policy_fuzz::write_file("fw.json", data, size)) return 0;
  Router router(String(""));
  policy_fuzz::build(&router, (policy_fuzz::scratch() + "none.json").c_str(), path.c_str());
  if (router.initialize(ErrorHandler::silent_handler()) < 0) return 0;
  auto* fw = static_cast<OstFirewall*>(router.find_element(String("ostFirewall"), nullptr));
  if (fw == nullptr) return 0;
  fw->initialize_fw_policy_config();
  if (size > 0) {
    std::string changed(reinterpret_cast<const char*>(data), size);
    changed[size / 2] = static_cast<char>(changed[size / 2] ^ 0x20);
    policy_fuzz::write_file("fw.json", reinterpret_cast<const uint8_t*>(changed.data()), size);
    fw->initialize_fw_policy_config();
    format_states(*fw, data, size);
  }
  (void)fw->fw_dump();
  return 0;
}
