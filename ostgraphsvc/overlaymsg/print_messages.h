// Log printers of overlay control messages: one compact form per kind,
// written when a message is built or received.
//
// Every line goes through log_syslog_level at level 6 (information) under the
// printer's name as the tag ("print_overlay_state_msg", "print_wanlink_state",
// ...). `peer` is the peer's overlay address as dotted-quad text (null prints
// as empty). Absent fields and sub-messages print as 0 or empty; addresses in
// uint32 fields print dotted where the line says so and as raw numbers
// elsewhere. A user-authentication token is never printed, only its length;
// texts a peer sent are escaped. List printers write at most
// kMaxPrintedListEntries entries of one message and then a count of the rest,
// so that a peer cannot turn one packet into thousands of lines.
//
// The printers only read the message and keep no state. Packet thread, like
// the messages themselves. Nothing is formatted when level 6 is filtered out.
#ifndef OSTGRAPHSVC_OVERLAYMSG_PRINT_MESSAGES_H_
#define OSTGRAPHSVC_OVERLAYMSG_PRINT_MESSAGES_H_

#include "overlaystatemsg.pb.h"

inline constexpr int kMaxPrintedListEntries = 32;

// Kind 3: the version line when wls_list is empty, else print_wanlink_state
// for each entry; any other kind: the kind line only.
void print_overlay_state_msg(const OstrelOverlayStateMsg& msg, const char* peer);
// One WAN link entry: its address and state, then the same with the peer and
// its NAT addresses.
void print_wanlink_state(const WanLinkStateDescMsg& entry, const char* peer);
// The kind, wep_version and the first wep_list entry.
void print_pathid_msg(const OstrelOverlayStateMsg& msg, const char* peer);
// The five versions of osm_syncstatemsg.
void print_state_sync_msg(const OstrelOverlayStateMsg& msg, const char* peer);
// The kind and, for kind 11, each route as raw numbers.
void print_overlay_route_msg(const OstrelOverlayStateMsg& msg);
// The kind and, for kind 14 with a token, the version and the token's length.
void print_user_auth_msg(const OstrelOverlayStateMsg& msg);
// The kind and, for kind 17, the address message and its name servers and
// domain list when either is set.
void print_addr_mgmt_msg(const OstrelOverlayStateMsg& msg);

#endif  // OSTGRAPHSVC_OVERLAYMSG_PRINT_MESSAGES_H_
