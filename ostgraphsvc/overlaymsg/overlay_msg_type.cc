#include "ostgraphsvc/overlaymsg/overlay_msg_type.h"

namespace {

// Index = kind.
constexpr const char* kNames[] = {
    "",
    "OVERLAY_DATA_MSG",
    "OVERLAY_STATE_MSG",
    "OVERLAY_WANLINK_STATE_MSG",
    "OVERLAY_PATHID_STATE_MSG",
    "OVERLAY_SYNC_STATE_MSG",
    "OVERLAY_SILENCE_PROBE_MSG",
    "OVERLAY_LATENCY_PROBE_REQ",
    "OVERLAY_LATENCY_PROBE_RES",
    "OVERLAY_JITTER_PROBE_REQ",
    "OVERLAY_JITTER_PROBE_RES",
    "OVERLAY_ROUTE_MSG",
    "OVERLAY_KEEPALIVE_PROBE_REQ",
    "OVERLAY_KEEPALIVE_PROBE_RES",
    "OVERLAY_USERAUTH_MSG",
};

}  // namespace

const char* overlay_msg_type_name(uint32_t kind) {
  if (kind >= sizeof kNames / sizeof kNames[0]) return "";
  return kNames[kind];
}
