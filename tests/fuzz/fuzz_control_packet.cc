// A received overlay control packet: the input is the packet as it arrives,
// IPv4 header first, in a buffer that ends where its data ends, so any read
// past the payload is an AddressSanitizer error. The message read out of it
// goes through every printer, with the log on (its lines go to a sink that
// drops them), and is made into a control packet again, which must read back
// to the same bytes. Protobuf's own log must stay silent throughout.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include <google/protobuf/stubs/logging.h>

#include "client/lib/cxLog/cxLog.h"
#include "graph/ipaddress.h"
#include "graph/packet.h"
#include "ostgraphsvc/overlaymsg/control_packet.h"
#include "ostgraphsvc/overlaymsg/print_messages.h"
#include "overlaystatemsg.pb.h"
#include "platform/debug_output/debug_output.h"
#include "tests/fuzz/element_fuzz.h"

namespace {

class DropLines : public platform::DebugOutput {
 public:
  void write(std::string_view) override {}
};

// Whatever a peer sends, protobuf writes nothing to its own log.
void protobuf_logged(google::protobuf::LogLevel, const char* file, int line,
                     const std::string& message) {
  std::fprintf(stderr, "protobuf logged %s:%d %s\n", file, line, message.c_str());
  std::abort();
}

void start_log() {
  google::protobuf::SetLogHandler(&protobuf_logged);
  static DropLines sink;
  platform::set_debug_output(&sink);
  cxLogOutput = CXLOG_OUTPUT_DEBUGGER;
  cxLogFormatFlags = 0;
  cxLogThreshold = CXLOG_INFO;
  cxLogEnabled = true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    start_log();
    return true;
  }();
  (void)started;
  if (size > kMaxIPv4PacketLength) return 0;

  Packet* p = element_fuzz::exact_packet(data, static_cast<uint32_t>(size));
  if (p == nullptr) return 0;
  const ControlPayload payload = control_packet_payload(p);
  if (payload.length > 0 && (payload.data < p->data() + kControlHeaderLength ||
                             payload.data + payload.length > p->end_data()))
    std::abort();
  OstrelOverlayStateMsg msg;
  const bool well_formed = read_control_message(p, &msg);
  p->release();

  const char* peer = "192.0.2.1";
  print_overlay_state_msg(msg, peer);
  print_pathid_msg(msg, peer);
  print_state_sync_msg(msg, peer);
  print_overlay_route_msg(msg);
  print_user_auth_msg(msg);
  print_addr_mgmt_msg(msg);

  // Made again, a well-formed message reads back to what was written. (What
  // a malformed one kept may be cut inside nesting at the parser's limit.)
  if (!well_formed) return 0;
  Packet* made = make_control_packet(msg, 1, static_cast<OverlayMsgType>(msg.osm_type()));
  if (made == nullptr) return 0;
  const std::string written(made->data(), made->end_data());
  uint16_t id = 0;
  made = prepend_control_headers(made, &id, IPAddress(10, 0, 0, 2), IPAddress(192, 0, 2, 1));
  if (made == nullptr) std::abort();
  OstrelOverlayStateMsg again;
  read_control_message(made, &again);
  made->release();
  if (again.SerializePartialAsString() != written) std::abort();
  return 0;
}
