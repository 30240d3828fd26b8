// Application detection state of the flow element: what a flow's record
// carries (`FlowDetection`), the host cache's entries (`DnsCacheEntry`, keyed
// by server address) and the application and category tables loaded from
// "app_category_map.json" and "category_id.json".
//
// Detection itself is a part of `AggregateIPFlows` (flow_detection.cc): the
// first-packet tables of the policy element, the host cache, the DPI library
// on the flow's first packets and the host-application trie, in that order
// of precedence; and the owning process of a flow's local endpoint.
//
// The DPI library's per-flow state is allocated when a flow's detection
// starts and released as soon as detection and extra dissection end, at
// reuse, expiry and clean-up; the name texts it found are copied first
// (at most 255 bytes each). The header names the library's types only by
// declaration, so readers of flow records (the capture drain) need neither
// its headers nor a link to it.
//
// Threads: the packet thread only.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_FLOW_DETECTION_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_FLOW_DETECTION_H_

#include <cstdint>

#include "graph/ipaddress.h"
#include "graph/string.h"
#include "graph/timestamp.h"

struct ndpi_flow_struct;
struct ndpi_detection_module_struct;

// Application ids that are not the DPI library's.
inline constexpr int32_t kAppDNS = 5;
inline constexpr int32_t kAppHTTP = 7;
inline constexpr int32_t kAppICMP = 81;
inline constexpr int32_t kAppRTPId = 87;
inline constexpr int32_t kAppTLS = 91;
inline constexpr int32_t kAppCustomFirst = 400;
inline constexpr int32_t kAppUnclassifiedTCP = 500;
inline constexpr int32_t kAppUnclassifiedUDP = 501;
inline constexpr int32_t kAppUnclassifiedHTTPS = 502;
// Size of the application and category tables, and the library's protocol
// bit count.
inline constexpr int kAppTableSize = 512;
// Longest name text kept from the library (bytes, without the NUL).
inline constexpr int kMaxHostText = 255;

// The library's answer for a flow: master and application protocol and its
// category.
struct DetectionResult {
  uint16_t master_protocol = 0;
  uint16_t app_protocol = 0;
  int32_t category = 0;
};

struct FlowDetection {
  uint8_t first_packet_found = 0;  // "fapp"
  uint8_t custom_app = 0;          // always 0 ("customapp")
  uint8_t hostapp_done = 0;
  uint8_t done = 0;
  uint8_t extra_dissection = 0;
  // The owner of the flow's local endpoint has been asked for (once per
  // flow, found or not: every question reads /proc).
  uint8_t owner_asked = 0;
  DetectionResult ndpi_result;
  int32_t app_id = 0;
  int32_t category = 0;
  int32_t subcategory = 0;  // 1 audio, 2 video (RTP only)
  // The library's per-flow state while it is in use, else null.
  ndpi_flow_struct* ndpi_flow = nullptr;
  // The name texts and URL the library found, copied when its state went.
  String first_name;
  String second_name;
  String url;

  // The first name text, the second name text (empty for DNS flows) and the
  // URL, at most kMaxHostText bytes: from the library's state while it is
  // held, else the copies.
  String first_name_text() const;
  String second_name_text() const;
  String url_text() const;
};

// One host cache entry: what the flows to one server address learned.
struct DnsCacheEntry {
  int32_t app_id = 0;
  int32_t category_id = 0;
  String host;
  IPAddress address;
  Timestamp time;  // added or last refreshed
};

struct AppCategoryEntry {
  int32_t app_id = 0;
  int32_t category_id = 0;
  String app_name;
  String category_name;
};

struct CategoryNameEntry {
  int32_t id = 0;
  String name;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_FLOW_DETECTION_H_
