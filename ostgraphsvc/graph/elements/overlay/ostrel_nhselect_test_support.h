// Shared pieces of the next-hop selector's tests: the tunnel leg as the
// service wires it, source -> agg (the flow element) -> nhs -> sink, with the
// overlay under its service name and the neighbours the flow element needs
// at configure ("rt", "ostpolicy" and "ostFirewall", on an empty policy).
// The selector only finds flows; the flow element makes them as captured
// packets pass it, so test packets are outbound captured packets.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_NHSELECT_TEST_SUPPORT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_NHSELECT_TEST_SUPPORT_H_

#include <cstdint>
#include <fstream>
#include <string>

#include "graph/confparse.h"
#include "graph/packet.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_nhselect.h"
#include "ostgraphsvc/graph/elements/overlay/ostrel_overlay_test_support.h"
#include "platform/divert/divert.h"

namespace overlay_test {

// The policy file of the flow element's neighbours: no rows, so every flow
// gets the built-in allow-all row.
inline constexpr char kEmptyPolicy[] =
    R"({"activated_policies":[{"policy_config":{"pcfg_qos_policies":[]}}]})";

// The flow element's neighbours, by the names it looks up.
inline constexpr char kFlowNeighbours[] =
    "rt :: TestSink; ostpolicy :: OstPolicy(CONF policy.json); "
    "ostFirewall :: OstFirewall(CONF policy.json); ";

// An outbound captured packet of `shape`, stamped `msec`.
inline Packet* Captured(const testing_support::PacketSpec& shape, int64_t msec) {
  Packet* p = testing_support::MakePacket(testing_support::BuildIPv4(shape));
  p->set_msgtype(1);
  p->set_timestamp(Timestamp::make_msec(msec));
  WINDIVERT_ADDRESS record{};
  record.Flags = WINDIVERT_ADDRESS_OUTBOUND;
  set_capture_record(p, record);
  return p;
}

class FlowLegFixture : public OverlayFixture {
 protected:
  // The root is the configuration directory, with the policy file in it;
  // fail-close is decided (off), since before that the policy blocks.
  FlowLegFixture() {
    set_config_directory((log_.root().path() + "/").c_str());
    std::ofstream(log_.root().path() + "/policy.json") << kEmptyPolicy;
    FailCloseMgr::GetInstance().Initialize();
    FailCloseMgr::GetInstance().ReplaceConfigured(false);
  }
  ~FlowLegFixture() override { set_config_directory(nullptr); }

  // src -> agg -> nhs -> [0]sink, agg's refusals to [5]sink, the overlay
  // ("ostOverlay", `conf_text`) fed by "ovsrc" into sink ports 1-4.
  bool LoadFlowLeg(const std::string& conf_text) {
    const std::string graph = std::string(kFlowNeighbours) +
                              "src :: TestSource; sink :: TestSink; "
                              "ostOverlay :: OstrelOverlay(CONF " +
                              WriteConf(conf_text) +
                              "); src -> agg :: AggregateIPFlows(REAP 3600) -> nhs :: "
                              "OstrelNHSelect -> [0]sink; agg[1] -> [5]sink; "
                              "ovsrc :: TestSource; ovsrc -> ostOverlay; "
                              "ostOverlay[0] -> [1]sink; ostOverlay[1] -> [2]sink; "
                              "ostOverlay[2] -> [3]sink; ostOverlay[3] -> [4]sink;";
    if (!h_.Load(graph)) return false;
    ov_ = static_cast<OstrelOverlay*>(h_.Find("ostOverlay"));
    agg_ = static_cast<AggregateIPFlows*>(h_.Find("agg"));
    nhs_ = static_cast<OstrelNHSelect*>(h_.Find("nhs"));
    if (ov_ == nullptr || agg_ == nullptr || nhs_ == nullptr) return false;
    // Hermetic: no question to the host's routing table per new flow.
    agg_->set_best_route_lookup([](uint32_t, platform::BestRoute*) { return 1168u; });
    return true;
  }

  AggregateIPFlows* agg_ = nullptr;
  OstrelNHSelect* nhs_ = nullptr;
};

}  // namespace overlay_test

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_OVERLAY_OSTREL_NHSELECT_TEST_SUPPORT_H_
