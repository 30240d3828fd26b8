// Overlay packet kinds: the values of a control message's osm_type and of a
// packet's overlay_msg_type_anno, and their names for the log.
//
// Kinds 15 and 16 are unassigned; 17 has no text name. Pure data, any thread.
#ifndef OSTGRAPHSVC_OVERLAYMSG_OVERLAY_MSG_TYPE_H_
#define OSTGRAPHSVC_OVERLAYMSG_OVERLAY_MSG_TYPE_H_

#include <cstdint>

enum OverlayMsgType : uint32_t {
  OVERLAY_DATA_MSG = 1,
  OVERLAY_STATE_MSG = 2,
  OVERLAY_WANLINK_STATE_MSG = 3,
  OVERLAY_PATHID_STATE_MSG = 4,
  OVERLAY_SYNC_STATE_MSG = 5,
  OVERLAY_SILENCE_PROBE_MSG = 6,
  OVERLAY_LATENCY_PROBE_REQ = 7,
  OVERLAY_LATENCY_PROBE_RES = 8,
  OVERLAY_JITTER_PROBE_REQ = 9,
  OVERLAY_JITTER_PROBE_RES = 10,
  OVERLAY_ROUTE_MSG = 11,
  OVERLAY_KEEPALIVE_PROBE_REQ = 12,
  OVERLAY_KEEPALIVE_PROBE_RES = 13,
  OVERLAY_USERAUTH_MSG = 14,
  OVERLAY_ADDRMGMT_MSG = 17,
};

// "OVERLAY_DATA_MSG" ... "OVERLAY_USERAUTH_MSG" for kinds 1-14; "" for 17 and
// for every kind not listed. Never null.
const char* overlay_msg_type_name(uint32_t kind);

#endif  // OSTGRAPHSVC_OVERLAYMSG_OVERLAY_MSG_TYPE_H_
