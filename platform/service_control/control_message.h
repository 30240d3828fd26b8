// The text of a control-socket message: "control [event-type [session-id]]",
// decimal numbers separated by blanks, an optional final line feed. Internal
// to the service control module; separate so that it can be tested alone.
#ifndef PLATFORM_SERVICE_CONTROL_CONTROL_MESSAGE_H_
#define PLATFORM_SERVICE_CONTROL_CONTROL_MESSAGE_H_

#include <cstdint>
#include <string>
#include <string_view>

namespace platform::service_control {

struct ControlMessage {
  uint32_t control = 0;
  uint32_t eventType = 0;
  bool hasSessionId = false;
  uint32_t sessionId = 0;
};

// False for anything else: no number, more than three, a sign, a number above
// 4294967295, any other character.
bool parse_control_message(std::string_view text, ControlMessage* message);

// `text` fit for a log line: at most 64 bytes, bytes outside printable ASCII
// (and the quote and backslash) as \xNN.
std::string printable(std::string_view text);

}  // namespace platform::service_control

#endif  // PLATFORM_SERVICE_CONTROL_CONTROL_MESSAGE_H_
