// The policy lookup (OstPolicy::find_matching_policy) over 10, 100 and 1,000
// configured rows with the flow matching only the last configured row,
// against a plain loop over a vector of structs holding the same criteria
// (addresses, one port range each side, protocol, DSCP, app, category,
// internet flag), in the same run. The lookup runs as for a flow from the
// virtual address with the tunnel up and started and fail-close off, so it
// walks the table. A counting operator new shows that no lookup allocates.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "graph/error_handler.h"
#include "graph/json.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/policy/ost_policy.h"
#include "ostgraphsvc/overlay_view/overlay_view.h"

namespace {

constexpr uint32_t kVip = 0x64400002;  // 100.64.0.2, host order

// Row i sends TCP to 10.x.y.0/24 port 443 (x.y from i).
uint32_t row_network(int i) { return 0x0A000000u | (static_cast<uint32_t>(i) << 8); }

std::string policy_text(int rows) {
  std::string text = R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[)";
  for (int i = 0; i < rows; ++i) {
    const uint32_t n = row_network(i);
    if (i > 0) text += ",";
    text += R"({"qos_match":{"cmap_name":"r)" + std::to_string(i) +
            R"(","cmap_match_criteria":{"mtch_dest_ip":")" + std::to_string(n >> 24) + "." +
            std::to_string((n >> 16) & 255) + "." + std::to_string((n >> 8) & 255) +
            R"(.0/24","mtch_dest_port":"443","mtch_l4_protocol":"tcp"}}})";
  }
  return text + "]}}]}";
}

struct PlainRule {
  int32_t dscp = -1;
  uint32_t src = 0xFFFFFFFF, src_mask = 0xFFFFFFFF;
  uint32_t dst = 0xFFFFFFFF, dst_mask = 0xFFFFFFFF;
  int32_t sport_low = -1, sport_high = -1;
  int32_t dport_low = -1, dport_high = -1;
  int16_t protocol = -1;
  int32_t app = -1;
  int32_t category = -1;
  uint8_t internet = 0;
};

int plain_match(const std::vector<PlainRule>& rules, uint32_t src, uint32_t dst, uint16_t sport,
                uint16_t dport, int32_t dscp, uint16_t protocol, int32_t app, int32_t category,
                uint8_t internet) {
  for (size_t i = 0; i < rules.size(); ++i) {
    const PlainRule& r = rules[i];
    if (r.dscp != -1 && r.dscp != dscp) continue;
    if (r.src != 0xFFFFFFFF && (src & r.src_mask) != (r.src & r.src_mask)) continue;
    if (r.dst != 0xFFFFFFFF && (dst & r.dst_mask) != (r.dst & r.dst_mask)) continue;
    if (r.sport_low != -1 &&
        (static_cast<uint32_t>(r.sport_low) > sport || sport > static_cast<uint32_t>(r.sport_high)))
      continue;
    if (r.dport_low != -1 &&
        (static_cast<uint32_t>(r.dport_low) > dport || dport > static_cast<uint32_t>(r.dport_high)))
      continue;
    if (r.protocol != -1 && r.protocol != protocol) continue;
    if (r.app != -1 && r.app != app) continue;
    if (r.category != -1 && r.category != category) continue;
    if (r.internet && internet != 1) continue;
    return static_cast<int>(i);
  }
  return -1;
}

// Fail-close read from an empty scratch root (not configured), and a fake
// overlay with a path up and the virtual address.
struct Environment {
  Environment() {
    char pattern[] = "/tmp/bench-policy-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made != nullptr) {
      root = made;
      ::setenv("DOVADOD_ROOT", made, 1);
      ::setenv("DOVADOD_SYSROOT", made, 1);
    }
    FailCloseMgr::GetInstance().Initialize();
    view.paths_up = 1;
    view.static_address = IPAddress(htonl(kVip));
  }
  ~Environment() {
    if (!root.empty()) std::filesystem::remove_all(root);
  }
  std::string root;
  FakeOverlayView view;
};

Environment& environment() {
  static Environment e;
  return e;
}

void BM_FindMatchingPolicy(benchmark::State& state) {
  environment();
  const int rows = static_cast<int>(state.range(0));
  OstPolicy policy;
  if (policy.build_policy_table(Json::parse(String(policy_text(rows).c_str()))) != 0) {
    state.SkipWithError("table not built");
    return;
  }
  policy.set_tunnel_started(true);
  const uint32_t src = htonl(kVip);
  const uint32_t dst = htonl(row_network(rows - 1) | 7);
  if (policy.find_matching_policy(src, dst, 40000, 443, 0, 6, 0, 0, 1, nullptr) != rows - 1) {
    state.SkipWithError("the last row did not match");
    return;
  }
  const long before = bench_heap_allocations();
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        policy.find_matching_policy(src, dst, 40000, 443, 0, 6, 0, 0, 1, nullptr));
  }
  state.counters["allocs_per_lookup"] = static_cast<double>(bench_heap_allocations() - before) /
                                        static_cast<double>(state.iterations());
}

void BM_PlainLoop(benchmark::State& state) {
  const int rows = static_cast<int>(state.range(0));
  std::vector<PlainRule> rules(static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    rules[static_cast<size_t>(i)].dst = htonl(row_network(i));
    rules[static_cast<size_t>(i)].dst_mask = htonl(0xFFFFFF00u);
    rules[static_cast<size_t>(i)].dport_low = 443;
    rules[static_cast<size_t>(i)].dport_high = 443;
    rules[static_cast<size_t>(i)].protocol = 6;
  }
  const uint32_t src = htonl(kVip);
  const uint32_t dst = htonl(row_network(rows - 1) | 7);
  for (auto _ : state) {
    benchmark::DoNotOptimize(plain_match(rules, src, dst, 40000, 443, 0, 6, 0, 0, 1));
  }
}

BENCHMARK(BM_FindMatchingPolicy)->Arg(10)->Arg(100)->Arg(1000);
BENCHMARK(BM_PlainLoop)->Arg(10)->Arg(100)->Arg(1000);

}  // namespace

int main(int argc, char** argv) {
  static SilentErrorHandler errh;
  ErrorHandler::install_defaults(&errh);
  return bench::RunWithRatios(argc, argv,
                              {{"BM_FindMatchingPolicy/10", "BM_PlainLoop/10"},
                               {"BM_FindMatchingPolicy/100", "BM_PlainLoop/100"},
                               {"BM_FindMatchingPolicy/1000", "BM_PlainLoop/1000"}});
}
