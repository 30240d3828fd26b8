#include "platform/service_control/control_message.h"

#include <cstdio>

namespace platform::service_control {

namespace {

bool parse_number(std::string_view token, uint32_t* value) {
  if (token.empty() || token.size() > 10) return false;
  uint64_t v = 0;
  for (char c : token) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > 0xFFFFFFFFull) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

bool parse_control_message(std::string_view text, ControlMessage* message) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  uint32_t numbers[3] = {};
  size_t count = 0;
  size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == ' ') {
      ++pos;
      continue;
    }
    size_t end = text.find(' ', pos);
    if (end == std::string_view::npos) end = text.size();
    if (count == 3) return false;
    if (!parse_number(text.substr(pos, end - pos), &numbers[count])) return false;
    ++count;
    pos = end;
  }
  if (count == 0) return false;
  *message = ControlMessage{};
  message->control = numbers[0];
  message->eventType = numbers[1];
  message->hasSessionId = count == 3;
  message->sessionId = numbers[2];
  return true;
}

std::string printable(std::string_view text) {
  constexpr size_t kMax = 64;
  std::string out;
  for (size_t i = 0; i < text.size() && i < kMax; ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
      out += static_cast<char>(c);
      continue;
    }
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02X", c);
    out += hex;
  }
  if (text.size() > kMax) out += "...";
  return out;
}

}  // namespace platform::service_control
