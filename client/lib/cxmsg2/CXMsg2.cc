#include "client/lib/cxmsg2/CXMsg2.h"

#include <boost/property_tree/json_parser.hpp>

#include <atomic>
#include <cstdlib>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "client/lib/cxCrypto/cxCrypto.h"
#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxUtils/cxDeviceUtils.h"
#include "client/lib/cxUtils/cxRegUtils.h"

namespace reg = platform::registry;

namespace {

constexpr const char* kProductIdKey = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion";
constexpr const char* kProductIdValue = "ProductId";

struct KeyMaterial {
  std::mutex mutex;
  std::atomic<bool> loaded{false};
  std::string deviceId;
  std::string productId;
  uint64_t lastAttemptMs = 0;  // cxLogCoarseMs of the last failed load, under mutex
};

// Without key material every text a client sends would read the device
// identity and the settings store again: a failed load is retried at most
// this often.
constexpr uint64_t kKeyRetryMs = 1000;

KeyMaterial& keyMaterial() {
  static KeyMaterial* material = new KeyMaterial;  // never destroyed: late threads may use it
  return *material;
}

void loadKeyMaterial() {
  KeyMaterial& material = keyMaterial();
  if (material.loaded.load(std::memory_order_acquire)) return;
  std::lock_guard<std::mutex> lock(material.mutex);
  if (material.loaded.load(std::memory_order_acquire)) return;

  const uint64_t now = cxLogCoarseMs();
  if (material.lastAttemptMs != 0 && now - material.lastAttemptMs < kKeyRetryMs) return;
  material.lastAttemptMs = now;

  // The device id stays once computed; ask only until it has succeeded.
  if (cxDeviceUid.empty() && !cxGetDeviceUid()) {
    CXLOG_LIMITED("CXMSG2", CXLOG_CRITICAL,
                  "failed to get unique id, ipc connection might have problem");
    return;
  }
  material.deviceId = cxDeviceUid;

  reg::Key key;
  if (reg::open_key(reg::RootKey::kLocalMachine, kProductIdKey,
                    reg::kKeyRead | reg::kKeyWow64_64Key, &key) != 0) {
    CXLOG_LIMITED("cxUtil", CXLOG_ERROR, "failed to open registry key %s", kProductIdKey);
  } else {
    char productId[260] = {};
    uint32_t size = sizeof(productId);
    uint32_t type = reg::kRegNone;
    uint32_t rc = reg::get_value(key, "", kProductIdValue, reg::kRrfRtAny, &type, productId, &size);
    reg::close_key(&key);
    if (rc == 0) {
      productId[sizeof(productId) - 1] = '\0';
      material.productId = productId;
      material.loaded.exchange(true, std::memory_order_acq_rel);
      return;
    }
    CXLOG_LIMITED("cxUtil", CXLOG_ERROR, "failed to query registry key %s", kProductIdKey);
  }
  CXLOG_LIMITED("CXMSG2", CXLOG_CRITICAL, "failed to get salt, ipc connection might have problem");
}

// The deepest nesting of arrays and objects in `json`, counted until it
// passes `limit`; brackets inside strings do not count.
bool nestingWithin(const std::string& json, int limit) {
  int depth = 0;
  bool inString = false;
  bool escaped = false;
  for (char c : json) {
    if (inString) {
      if (escaped) {
        escaped = false;
      } else if (c == '\\') {
        escaped = true;
      } else if (c == '"') {
        inString = false;
      }
      continue;
    }
    if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      if (++depth > limit) return false;
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return true;
}

// Ids whose texts carry tokens, keys or a password: the log shows the id only.
bool isSecretId(int id) { return id == 148 || id == 149 || id == 153 || id == 165 || id == 182; }

// Ids accepted with a plain body.
bool isPlainId(int id) { return id == 172 || id == 173 || id == 174 || id == 183; }

}  // namespace

CXMsg2::CXMsg2() { loadKeyMaterial(); }

void CXMsg2::resetKeyMaterialForTesting() {
  KeyMaterial& material = keyMaterial();
  std::lock_guard<std::mutex> lock(material.mutex);
  material.loaded.store(false, std::memory_order_release);
  material.lastAttemptMs = 0;
  material.deviceId.clear();
  material.productId.clear();
}

bool CXMsg2::readJson(const std::string& json, const std::string& shownText,
                      boost::property_tree::ptree* tree) const {
  try {
    if (!nestingWithin(json, kCxMsgMaxNesting)) {
      throw std::runtime_error("nested deeper than " + std::to_string(kCxMsgMaxNesting) +
                               " levels");
    }
    std::istringstream in(json);
    boost::property_tree::read_json(in, *tree);
    return true;
  } catch (const std::exception& e) {
    CXLOG("CXMSG2", CXLOG_ERROR, "attach():exception %s", e.what());
    CXLOG("CXMSG2", CXLOG_ERROR, "corrupted message: %s", shownText.c_str());
    return false;
  }
}

bool CXMsg2::attach(const std::string& text) {
  boost::property_tree::ptree root;
  if (!readJson(text, text, &root)) return false;
  if (root.empty() && !root.data().empty()) {
    CXLOG("CXMSG2", CXLOG_ERROR, "attach: invalid message format contains scalar/empty value");
    return false;
  }
  if (root.empty() || root.front().first.empty()) {
    CXLOG("CXMSG2", CXLOG_ERROR, "attach: invalid message format received json array/empty dict");
    return false;
  }
  const auto& first = root.front();
  msgId_ = std::atoi(first.first.c_str());
  if (isSecretId(msgId_)) {
    CXLOG("CXMSG2", CXLOG_DEBUG, "attach:MsgID %d", msgId_);
  } else {
    CXLOG("CXMSG2", CXLOG_DEBUG, "attach:Msg %s", text.c_str());
  }

  auto found = first.second.find("encryptData");
  if (found == first.second.not_found()) {
    CXLOG("CXMSG2", CXLOG_ERROR, "encrypt data not found");
    if (!isPlainId(msgId_)) return false;
    msg_ = first.second;
    return true;
  }
  std::string plaintext;
  if (!decryptData(found->second.data(), &plaintext)) return false;
  // A plaintext that does not read is shown as the received text, never in
  // clear, and for the secret ids not at all.
  std::string shown = isSecretId(msgId_) ? "MsgID " + std::to_string(msgId_) : text;
  boost::property_tree::ptree body;
  if (!readJson(plaintext, shown, &body)) return false;
  msg_ = std::move(body);
  return true;
}

bool CXMsg2::decryptData(const std::string& base64, std::string* plaintext) const {
  if (base64.empty()) return false;
  std::vector<uint8_t> ciphertext = cxBase64Decode(base64);
  std::string key;
  std::string iv;
  {
    KeyMaterial& material = keyMaterial();
    std::lock_guard<std::mutex> lock(material.mutex);
    key = material.deviceId.substr(0, kCxAesKeySize);
    iv = material.productId.substr(0, kCxAesIvSize);
  }
  return cxAesDecrypt(&key, &iv, ciphertext, plaintext);
}
