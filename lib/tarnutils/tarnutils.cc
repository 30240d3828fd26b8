#include "lib/tarnutils/tarnutils.h"

#include <sys/socket.h>

#include <cstdio>
#include <exception>
#include <string_view>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxUtils/cxRegUtils.h"
#include "graph/router_log.h"
#include "platform/adapters/adapters.h"
#include "platform/error/win_error.h"
#include "platform/named_event/named_event.h"
#include "platform/registry/registry.h"

namespace reg = platform::registry;

namespace {

constexpr const char* kTarnKey = tarnutil::kSettingsKey;
constexpr char kDeviceClassKey[] = "SOFTWARE\\Corvex\\tarn\\dc";
constexpr char kTunnelAdapterDescription[] = "WinTun Tunnel";
constexpr char kNetworkDisconnectEvent[] =
    "Global\\netdisconnect-61c66bde-6541-4b08-bed9-ab292de901b6";
constexpr int kHighestSnatPortStart = 65535 - 499;

#define TARN_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

// Reads a text setting of HKLM\`keyPath` (64-bit view) into `buffer`, always
// zero-terminated. 0, or the registry's code after a debug line.
uint32_t readSetting(const char* keyPath, const char* name, char* buffer, uint32_t bufferSize) {
  buffer[0] = '\0';
  reg::Key key;
  uint32_t rc = reg::open_key(reg::RootKey::kLocalMachine, keyPath,
                              reg::kKeyRead | reg::kKeyWow64_64Key, &key);
  if (rc != 0) {
    CXLOG("registry", CXLOG_DEBUG, "RegOpenKeyEx failed to open key: %s, flag: %d, err: %d",
          keyPath, static_cast<int>(reg::kKeyWow64_64Key), static_cast<int>(rc));
    return rc;
  }
  // One byte kept back so that data without a terminator still ends in one.
  uint32_t size = bufferSize - 1;
  rc = reg::get_value(key, "", name, reg::kRrfRtAny, nullptr, buffer, &size);
  reg::close_key(&key);
  if (rc != 0) {
    buffer[0] = '\0';
    CXLOG("registry", CXLOG_DEBUG, "RegGetValue failed to read value: %s, flag: %d, err: %d", name,
          static_cast<int>(reg::kKeyWow64_64Key), static_cast<int>(rc));
    return rc;
  }
  buffer[bufferSize - 1] = '\0';
  return 0;
}

// The standard stoi rule: leading blanks skipped, an optional sign, decimal
// digits, anything after them ignored. False, with the conversion's error
// text, when no digits come first or the number does not fit an int.
bool readInt(const std::string& text, int* value, std::string* error = nullptr) {
  try {
    *value = std::stoi(text);
    return true;
  } catch (const std::exception& e) {
    if (error != nullptr) *error = e.what();
    return false;
  }
}

// Every "." separates, so "10..1" has an empty middle part and "" one empty part.
std::vector<std::string> splitDots(const std::string& text) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    size_t dot = text.find('.', start);
    if (dot == std::string::npos) {
      parts.push_back(text.substr(start));
      return parts;
    }
    parts.push_back(text.substr(start, dot - start));
    start = dot + 1;
  }
}

uint32_t maskOf(int prefix) {
  if (prefix <= 0) return 0;
  if (prefix >= 32) return 0xFFFFFFFFu;
  return 0xFFFFFFFFu << (32 - prefix);
}

std::string dotted(uint32_t value) {
  char text[16];
  std::snprintf(text, sizeof(text), "%u.%u.%u.%u", value >> 24, (value >> 16) & 0xFFu,
                (value >> 8) & 0xFFu, value & 0xFFu);
  return text;
}

}  // namespace

namespace tarnutil {

bool getWorkDir(std::string* workDir) {
  char buffer[261];
  if (readSetting(kTarnKey, kWorkDirValue, buffer, sizeof(buffer)) != 0) return false;
  *workDir = buffer;
  return true;
}

bool getKAConfig(unsigned int* timeoutMs) {
  static constexpr char kTag[] = "tarnutil::getKAConfig";
  static constexpr char kValue[] = "tarnkatimeoutmsecs";
  char buffer[1024];
  uint32_t rc = readSetting(kTarnKey, kValue, buffer, sizeof(buffer));
  if (rc != 0) {
    TARN_LOG(3, kTag, "Error reading reg: %s, code: %d", kValue, static_cast<int>(rc));
    return false;
  }
  int value = 0;
  std::string error;
  if (!readInt(buffer, &value, &error)) {
    TARN_LOG(3, kTag, "Error: Invalid integer (%s) set for Keepalive timeout", error.c_str());
    return false;
  }
  // A negative time-out would turn into some 49 days once unsigned.
  if (value < 0) {
    TARN_LOG(3, kTag, "Error: Invalid integer (%s) set for Keepalive timeout", buffer);
    return false;
  }
  *timeoutMs = static_cast<unsigned int>(value);
  return true;
}

bool isBlockUnmanagedDevice() {
  char buffer[261];
  if (readSetting(kDeviceClassKey, "tarnblockunmanaged", buffer, sizeof(buffer)) != 0) return false;
  if (std::string_view(buffer) != "yes") return false;
  if (readSetting(kDeviceClassKey, "cxcdcstatus", buffer, sizeof(buffer)) != 0) return false;
  return std::string_view(buffer) == "Unmanaged";
}

bool parseCidr(const std::string& cidr, std::string* address, int* prefix) {
  static constexpr char kTag[] = "tarnutil::parseCidr";
  if (cidr == "default") {
    *address = "0.0.0.0";
    *prefix = 0;
    return true;
  }
  std::string addressText = cidr;
  int bits = -1;
  size_t slash = cidr.find('/');
  if (slash != std::string::npos) {
    addressText = cidr.substr(0, slash);
    // A negative prefix would later become a negative shift.
    if (!readInt(cidr.substr(slash + 1), &bits) || bits < 0 || bits > 32) {
      TARN_LOG(3, kTag, "Invalid subnet mask in CIDR: %s", cidr.c_str());
      return false;
    }
  }
  std::vector<std::string> parts = splitDots(addressText);
  if (parts.empty() || parts.size() > 4) {
    TARN_LOG(3, kTag, "Invalid IP format in CIDR: %s", cidr.c_str());
    return false;
  }
  for (const std::string& part : parts) {
    int value = 0;
    if (!readInt(part, &value) || value < 0) {
      TARN_LOG(3, kTag, "Invalid IP format in CIDR: %s", cidr.c_str());
      return false;
    }
    if (value > 255) return false;
  }
  if (bits < 0) bits = 8 * static_cast<int>(parts.size());
  std::string text = parts[0];
  for (size_t i = 1; i < 4; ++i) {
    text += '.';
    text += i < parts.size() ? parts[i] : "0";
  }
  *address = text;
  *prefix = bits;
  return true;
}

std::string prefixToNetworkAddress(const std::string& address, int prefix) {
  std::vector<std::string> parts = splitDots(address);
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i) {
    int part = 0;
    if (i < parts.size() && !readInt(parts[i], &part)) part = 0;
    value = value * 256u + static_cast<uint32_t>(part);
  }
  return dotted(value & maskOf(prefix));
}

std::string prefixToMask(int prefix) { return dotted(maskOf(prefix)); }

}  // namespace tarnutil

bool GetWinTunInterfaceIndex(unsigned int* index) {
  static constexpr char kTag[] = "GetWinTunInterfaceIndex";
  std::vector<platform::Adapter> adapters;
  uint32_t rc = platform::list_adapters(AF_UNSPEC, &adapters);
  if (rc == platform::kErrorNotEnoughMemory) {
    TARN_LOG(3, kTag, "Failed to allocate memory for interface address list");
    return false;
  }
  if (rc != 0) {
    TARN_LOG(3, kTag, "GetAdaptersAddresses Failed to get WinTun interface index error %d",
             static_cast<int>(rc));
    return false;
  }
  for (const platform::Adapter& adapter : adapters) {
    if (adapter.description != kTunnelAdapterDescription) continue;
    *index = adapter.index;
    TARN_LOG(6, kTag, "WinTun interface index %d", static_cast<int>(adapter.index));
    return true;
  }
  return false;
}

void GetSnatPortRange(std::string* range) {
  static constexpr char kTag[] = "GetSnatPortRange";
  char buffer[260] = {};
  // One byte kept back: a value of the full size still ends in a zero.
  uint32_t size = sizeof(buffer) - 1;
  uint32_t type = 0;
  uint32_t rc = cxRegFindValue(kTarnKey, "snatportstart", buffer, &size, &type);
  *range = buffer;
  if (rc != 0 || range->empty()) {
    TARN_LOG(6, kTag,
             "ERROR: Failed to read SNAT port range in registry. Error code = %d, port range = %s",
             static_cast<int>(rc), range->c_str());
    return;
  }
  // The range is 500 ports: a start that is no number, or whose end would
  // pass 65535, leaves the caller's default range in place.
  int start = 0;
  if (!readInt(*range, &start) || start < 1 || start > kHighestSnatPortStart) {
    TARN_LOG(6, kTag, "ERROR: Wrong port range found in registry. port range start = %s",
             range->c_str());
    range->clear();
    return;
  }
  *range += "-" + std::to_string(start + 499);
}

bool SetInternetBypassStatus(const std::string& status) {
  static constexpr char kValue[] = "tarninternetbypass";
  uint32_t rc = cxRegSetInternetBypass(cxUse64BitRegistryView(), status.c_str());
  if (rc != 0) {
    CXLOG("tarnmodule", CXLOG_ERROR, "Failed to set %s status \"%s\" in reg error %d", kValue,
          status.c_str(), static_cast<int>(rc));
    return false;
  }
  CXLOG("tarnmodule", CXLOG_INFO, "Set new %s status \"%s\"", kValue, status.c_str());
  return true;
}

uint32_t signalNetworkDisconnect() {
  platform::NamedEvent event;
  uint32_t rc = event.open(kNetworkDisconnectEvent);
  if (rc != 0) return rc;
  return event.set();
}
