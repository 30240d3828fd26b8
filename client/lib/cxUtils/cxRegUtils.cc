#include "client/lib/cxUtils/cxRegUtils.h"

#include <strings.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

#include "client/lib/cxLog/cxFileUtils.h"
#include "client/lib/cxLog/cxLog.h"
#include "platform/error/win_error.h"

namespace reg = platform::registry;

namespace {

constexpr const char* kBypassKey = "SOFTWARE\\Corvex\\tarn\\sse";
constexpr const char* kBypassValue = "tarninternetbypass";
constexpr const char* kProductKey = "SOFTWARE\\Corvex\\";
constexpr const char* kUpgradeValue = "UpgradeInProgress";
constexpr const char* kCryptographyKey = "SOFTWARE\\Microsoft\\Cryptography";
constexpr const char* kMachineGuidValue = "MachineGuid";

constexpr uint32_t kValueNameChars = 1024;
constexpr uint32_t kSubKeyNameChars = 260;

// Views as the log prints them: the access bit of the view.
uint32_t viewAccessBit(int view) { return view == 1 ? reg::kKeyWow64_64Key : reg::kKeyWow64_32Key; }

// The store skips lines it cannot read and hands them up once; they belong
// in the log.
void logBadStoreLines() {
  static std::once_flag once;
  std::call_once(once, [] {
    reg::set_bad_line_hook([](const std::string& file, int line, const std::string& text) {
      CXLOG("registry", CXLOG_WARN, "skipped unreadable line %d of %s: %s", line, file.c_str(),
            text.c_str());
    });
  });
}

uint32_t findValueIn(const std::string& keyPath, const char* valueName, void* data,
                     uint32_t* size, uint32_t* type) {
  reg::Key key;
  uint32_t rc = reg::open_key(reg::RootKey::kLocalMachine, keyPath,
                              reg::kKeyRead | reg::kKeyWow64_64Key, &key);
  if (rc != 0) {
    CXLOG("registry", CXLOG_ERROR, "RegOpenKeyExA failed, err: %d", static_cast<int>(rc));
    return rc;
  }
  uint32_t subKeys = 0;
  uint32_t values = 0;
  rc = reg::query_info_key(key, &subKeys, nullptr, &values, nullptr, nullptr);
  if (rc != 0) {
    CXLOG("registry", CXLOG_ERROR, "RegQueryInfoKeyA failed, err: %d", static_cast<int>(rc));
    reg::close_key(&key);
    return rc;
  }

  uint32_t result = platform::kErrorNotFound;
  char name[kValueNameChars];
  for (uint32_t i = 0; i < values; ++i) {
    // Once for the data size, once more for the data.
    uint32_t nameSize = kValueNameChars;
    uint32_t dataSize = 0;
    rc = reg::enum_value(key, i, name, &nameSize, nullptr, nullptr, &dataSize);
    std::vector<uint8_t> buffer(dataSize, 0);
    uint32_t valueType = 0;
    if (rc == 0) {
      nameSize = kValueNameChars;
      rc = reg::enum_value(key, i, name, &nameSize, &valueType, buffer.data(), &dataSize);
    }
    if (rc != 0) {
      CXLOG("registry", CXLOG_ERROR, "RegEnumValueA failed, err: %d", static_cast<int>(rc));
      result = rc;
      break;
    }
    if (::strcasecmp(name, valueName) != 0) continue;
    CXLOG("registry", CXLOG_INFO, "found matching value: %s", name);
    if (*size < dataSize) {
      CXLOG("registry", CXLOG_ERROR,
            "destination buffer is found smaller than buffer to be returned.");
      *size = dataSize;
      *type = valueType;
      reg::close_key(&key);
      return platform::kErrorNotEnoughMemory;
    }
    if (dataSize != 0) std::memcpy(data, buffer.data(), dataSize);
    reg::close_key(&key);
    return 0;
  }

  char subKey[kSubKeyNameChars];
  for (uint32_t i = 0; i < subKeys; ++i) {
    uint32_t subKeySize = kSubKeyNameChars;
    if (reg::enum_key(key, i, subKey, &subKeySize) != 0) continue;
    // The whole path: a cut one would name another key.
    std::string subPath = keyPath;
    subPath.append("\\").append(subKey, subKeySize);
    result = findValueIn(subPath, valueName, data, size, type);
    if (result == 0 || result == platform::kErrorNotEnoughMemory) break;
  }
  reg::close_key(&key);
  return result;
}

}  // namespace

uint32_t cxRegFindValue(const char* keyPath, const char* valueName, void* data, uint32_t* size,
                        uint32_t* type) {
  logBadStoreLines();
  if (keyPath == nullptr || valueName == nullptr || size == nullptr || type == nullptr ||
      (data == nullptr && *size != 0)) {
    return platform::kErrorInvalidParameter;
  }
  return findValueIn(keyPath, valueName, data, size, type);
}

uint32_t cxRegGetValue(reg::RootKey root, const char* subKey, int view, const char* valueName,
                       void* data, uint32_t* size, uint32_t* type) {
  logBadStoreLines();
  bool noSubKey = subKey == nullptr || *subKey == '\0';
  bool noValue = valueName == nullptr || *valueName == '\0';
  if (noSubKey && noValue) {
    CXLOG("registry", CXLOG_ERROR, "invalid params");
    return platform::kErrorInvalidParameter;
  }
  reg::Key key;
  uint32_t rc = reg::open_key(root, noSubKey ? "" : subKey, reg::kKeyRead | viewAccessBit(view),
                              &key);
  if (rc != 0) {
    CXLOG("registry", CXLOG_DEBUG, "RegOpenKeyEx failed to open key: %s, flag: %d, err: %d",
          noSubKey ? "" : subKey, static_cast<int>(viewAccessBit(view)), static_cast<int>(rc));
    return rc;
  }
  rc = reg::get_value(key, "", valueName, reg::kRrfRtAny, type, data, size);
  if (rc != 0) {
    CXLOG("registry", CXLOG_DEBUG, "RegGetValue failed to read value: %s, flag: %d, err: %d",
          noValue ? "" : valueName, static_cast<int>(viewAccessBit(view)), static_cast<int>(rc));
  }
  reg::close_key(&key);
  return rc;
}

uint32_t cxRegSetInternetBypass(int view, const char* text) {
  logBadStoreLines();
  if (text == nullptr) return platform::kErrorInvalidParameter;
  char current[260] = {};
  uint32_t size = sizeof(current);
  uint32_t type = reg::kRegNone;
  uint32_t rc = cxRegGetValue(reg::RootKey::kLocalMachine, kBypassKey, view, kBypassValue,
                              current, &size, &type);
  if (rc == 0) {
    if (type == reg::kRegSz && std::strcmp(current, text) == 0) {
      CXLOG("registry", CXLOG_INFO, "Registry key: %s%s already present and same", kBypassKey,
            kBypassValue);
      return 0;
    }
    CXLOG("registry", CXLOG_INFO, "Registry key: %s%s already present, but will be overwritten",
          kBypassKey, kBypassValue);
  }

  reg::Key key;
  rc = reg::create_key(reg::RootKey::kLocalMachine, kBypassKey,
                       reg::kKeyAllAccess | viewAccessBit(view), &key);
  if (rc != 0) {
    CXLOG("registry", CXLOG_ERROR, "RegCreateKeyEx failed to create key: %s, flag: %d, err: %d",
          kBypassKey, static_cast<int>(viewAccessBit(view)), static_cast<int>(rc));
    return rc;
  }
  rc = reg::set_value(key, kBypassValue, reg::kRegSz, text,
                      static_cast<uint32_t>(std::strlen(text) + 1));
  reg::close_key(&key);
  if (rc != 0) {
    CXLOG("registry", CXLOG_ERROR, "RegSetValueEx failed to set value: %s for key: %s, err: %d",
          kBypassValue, kBypassKey, static_cast<int>(rc));
    return rc;
  }
  CXLOG("registry", CXLOG_INFO, "Added value: %s to registry key: %s", kBypassValue, kBypassKey);
  return 0;
}

bool cxIsUpgradeInProgress() {
  logBadStoreLines();
  int view = cxUse64BitRegistryView();
  reg::Key key;
  uint32_t rc = reg::open_key(reg::RootKey::kLocalMachine, kProductKey,
                              reg::kKeyRead | viewAccessBit(view), &key);
  if (rc != 0) {
    CXLOG("registry", CXLOG_DEBUG, "RegOpenKeyEx failed to open key: %s, flag: %d, err: %d",
          kProductKey, static_cast<int>(viewAccessBit(view)), static_cast<int>(rc));
    return false;
  }
  uint32_t value = 0;
  uint32_t size = sizeof(value);
  uint32_t type = reg::kRegNone;
  rc = reg::get_value(key, "", kUpgradeValue, reg::kRrfRtAny, &type, &value, &size);
  if (rc != 0) {
    CXLOG("registry", CXLOG_DEBUG, "RegGetValue failed to read value: %s, flag: %d, err: %d",
          kUpgradeValue, static_cast<int>(viewAccessBit(view)), static_cast<int>(rc));
  }
  reg::close_key(&key);
  return rc == 0 && value != 0;
}

bool cxReadMachineGuid(std::string* guid) {
  std::vector<char> buffer(16384, 0);
  uint32_t size = static_cast<uint32_t>(buffer.size());
  uint32_t type = reg::kRegNone;
  uint32_t rc = cxRegGetValue(reg::RootKey::kLocalMachine, kCryptographyKey, 0, kMachineGuidValue,
                              buffer.data(), &size, &type);
  if (rc != 0) {
    std::fill(buffer.begin(), buffer.end(), 0);
    size = static_cast<uint32_t>(buffer.size());
    rc = cxRegGetValue(reg::RootKey::kLocalMachine, kCryptographyKey, 1, kMachineGuidValue,
                       buffer.data(), &size, &type);
  }
  if (rc != 0) {
    CXLOG("registry", CXLOG_ERROR, "Failed to read from subkey %s value %s error = %d",
          kCryptographyKey, kMachineGuidValue, static_cast<int>(rc));
    return false;
  }
  if (type != reg::kRegSz) {
    CXLOG("registry", CXLOG_ERROR, "matching data type: %d not found",
          static_cast<int>(reg::kRegSz));
    return false;
  }
  // The read adds a terminating zero; the last byte stays zero regardless.
  buffer.back() = '\0';
  guid->assign(buffer.data());
  return true;
}

int cxUse64BitRegistryView() {
  if (cxIsWow64Process()) return 1;
  std::string architecture;
  cxGetProcessorArchitecture(&architecture);
  return architecture == "x86" ? 0 : 1;
}

void cxGetProcessorArchitecture(std::string* architecture) {
  struct utsname names {};
  std::string_view machine;
  if (::uname(&names) == 0) machine = names.machine;
  if (machine == "x86_64") {
    *architecture = "x64";
  } else if (machine == "aarch64" || machine == "arm64") {
    *architecture = "ARM64";
  } else if (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86") {
    *architecture = "x86";
  } else if (machine == "ia64") {
    *architecture = "IA64";
  } else if (machine.substr(0, 3) == "arm") {
    *architecture = "ARM";
  } else {
    *architecture = "unknown";
  }
  CXLOG("cxUtils", CXLOG_INFO, "Processor architecture is %s", architecture->c_str());
}
