#include "ostgraphsvc/graph/elements/local/ostrel_classifier.h"

#include <arpa/inet.h>

#include <cstdint>

#include "graph/packet.h"
#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/local/capture_record.h"
#include "ostgraphsvc/qmsg/qmsg.h"

namespace {

constexpr uint8_t kProtoICMP = 1;
constexpr uint8_t kProtoIGMP = 2;
constexpr uint8_t kProtoUDP = 17;
constexpr uint32_t kIPHeaderMin = 20;
constexpr uint32_t kUDPHeader = 8;

bool IsCommand(uint8_t type) {
  return (type >= QMSG_CMD_RECONFIGURE && type <= QMSG_CMD_STOP) ||
         (type >= QMSG_CMD_SET_FAIL_OPEN && type <= QMSG_CMD_SET_DC_UNMANAGED);
}

uint16_t Read16(const unsigned char* at) { return static_cast<uint16_t>(at[0] << 8 | at[1]); }

uint32_t Read32(const unsigned char* at) {
  return static_cast<uint32_t>(at[0]) << 24 | static_cast<uint32_t>(at[1]) << 16 |
         static_cast<uint32_t>(at[2]) << 8 | at[3];
}

// Host-order address.
bool IsLocalOnlyAddress(uint32_t address) {
  return (address & 0xF0000000u) == 0xE0000000u || address == 0xFFFFFFFFu;
}

bool InfoLogged() {
  return cxLogEnabled.load(std::memory_order_relaxed) &&
         router_log_service_level(6) <= cxLogThreshold.load(std::memory_order_relaxed);
}

void LogICMP(const unsigned char* ip, uint32_t length) {
  if (!InfoLogged()) return;
  char src[INET_ADDRSTRLEN];
  char dst[INET_ADDRSTRLEN];
  inet_ntop(AF_INET, ip + 12, src, sizeof src);
  inet_ntop(AF_INET, ip + 16, dst, sizeof dst);
  ROUTER_LOG_LIMITED(6, "OstrelL3Classifier::push",
                     "OstrelL3Classifier ICMP from %s ==> %s, len %u", src, dst, length);
}

// Pushes `p` on `port`, or frees it when the graph left that output out.
void PushOrFree(Element* e, int port, Packet* p) {
  if (port < 0 || port >= e->noutputs()) {
    p->release();
    return;
  }
  e->output(port).push(p);
}

}  // namespace

int OstrelL3Classifier::classify(const Packet* p) {
  const uint8_t type = p->msgtype();
  if (IsCommand(type)) return kCommand;
  if (p->decap_mark_anno() == kDecapMark) return kDecapsulated;
  if (type == QMSG_PKT_OVERLAY) return kOverlay;
  if (type == QMSG_IOMSG) return kTick;
  if (p->capture_record_anno() == nullptr) return -1;

  const unsigned char* ip = p->data();
  const uint32_t length = p->length();
  if (length < kIPHeaderMin || (ip[0] >> 4) != 4) return -1;
  const uint32_t header = (ip[0] & 0x0Fu) * 4;
  const uint32_t total = Read16(ip + 2);
  if (header < kIPHeaderMin || total > length || total < header) return -1;

  const uint8_t protocol = ip[9];
  // Only a first fragment starts with the UDP header; a later one is data.
  const bool first_fragment = (Read16(ip + 6) & 0x1FFF) == 0;
  if (protocol == kProtoUDP && first_fragment) {
    if (total < header + kUDPHeader) return -1;
    const unsigned char* udp = ip + header;
    const uint16_t dport = Read16(udp + 2);
    if ((dport == 67 || dport == 68) && Read16(udp + 4) <= total - header) return kLocalOnly;
  }
  if (protocol == kProtoIGMP) return kLocalOnly;
  if (protocol == kProtoICMP) LogICMP(ip, length);
  if (IsLocalOnlyAddress(Read32(ip + 12)) || IsLocalOnlyAddress(Read32(ip + 16))) {
    return kLocalOnly;
  }
  return capture_record_outbound(p) ? kOutbound : kInbound;
}

void OstrelL3Classifier::push(int, Packet* p) { PushOrFree(this, classify(p), p); }

void OstDirMux::push(int, Packet* p) {
  // Only captured packets should come here; one made inside the graph has
  // no direction to go by.
  if (p->capture_record_anno() == nullptr) {
    p->release();
    return;
  }
  PushOrFree(this, capture_record_outbound(p) ? 0 : 1, p);
}
