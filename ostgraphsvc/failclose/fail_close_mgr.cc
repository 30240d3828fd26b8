#include "ostgraphsvc/failclose/fail_close_mgr.h"

#include <cctype>
#include <cstring>
#include <string>

#include "client/lib/cxUtils/cxRegUtils.h"
#include "graph/json.h"
#include "graph/router_log.h"
#include "graph/string.h"
#include "lib/tarnutils/tarnutils.h"
#include "ostgraphsvc/policy_slot/policy_slot.h"

namespace {

constexpr char kTarnKey[] = "SOFTWARE\\Corvex\\tarn";
constexpr char kTestingValue[] = "failclose_testing_variable";
constexpr char kClientFile[] = "ostrel-client-config.json";

constexpr char kConfiguredTag[] = "FailCloseMgr::IsFCConfiguredTestingFunc";
constexpr char kClientTag[] = "FailCloseMgr::GetFailCloseConfiguration";
constexpr char kUpdateTag[] = "FailCloseMgr::UpdateFailCloseEnabledStatus";

#define FC_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

const char* boolText(bool value) { return value ? "true" : "false"; }

}  // namespace

FailCloseMgr& FailCloseMgr::GetInstance() {
  static FailCloseMgr manager;
  return manager;
}

void FailCloseMgr::Initialize() {
  // Read outside the lock: it touches the registry and a file.
  bool configured = IsFCConfiguredTestingFunc();
  std::lock_guard<std::mutex> lock(mu_);
  configured_.store(configured);
  effective_.store(configured);
  initialised_.store(true);
}

bool FailCloseMgr::IsFCConfiguredTestingFunc() {
  char buffer[260] = {};
  uint32_t size = sizeof(buffer);
  uint32_t type = 0;
  uint32_t rc = cxRegFindValue(kTarnKey, kTestingValue, buffer, &size, &type);
  if (rc != 0) {
    FC_LOG(3, kConfiguredTag,
           "FailCloseMgr: Could not read registry or invalid type. ret = %d, type = %lu",
           static_cast<int>(rc), static_cast<unsigned long>(type));
    return GetFailCloseConfiguration();
  }
  // The data need not end in a zero; never read past what was copied.
  std::string text(buffer, ::strnlen(buffer, size < sizeof(buffer) ? size : sizeof(buffer)));
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (text == "enabled") {
    FC_LOG(6, kConfiguredTag, "FailCloseMgr: failclose ENABLED via registry.");
    return true;
  }
  if (text == "disabled") {
    FC_LOG(6, kConfiguredTag, "FailCloseMgr: failclose DISABLED via registry.");
    return false;
  }
  FC_LOG(3, kConfiguredTag, "FailCloseMgr: Invalid registry value: '%s'. Defaulting to DISABLED.",
         text.c_str());
  return false;
}

bool FailCloseMgr::GetFailCloseConfiguration() {
  std::string workDir;
  tarnutil::getWorkDir(&workDir);
  std::string path = workDir + "/" + kClientFile;
  Json client;
  int err = Json::file_parse(String(path.c_str()), client);
  if (err != 0) {
    FC_LOG(3, kClientTag,
           "Client config parse failed, err=%d, assuming fail close configuration as false!", err);
    return false;
  }
  const Json& failClose = client.get("dcfg_client_config").get("fail_close");
  if (failClose.type() == Json::kBoolean) return failClose.to_bool();
  if (!failClose.is_null()) {
    FC_LOG(3, kClientTag, "fail close has invalid type (not boolean), assuming false!");
    return false;
  }
  FC_LOG(6, kClientTag, "fail close not present in client config file, assuming false!");
  return false;
}

void FailCloseMgr::UpdateFailCloseEnabledStatus(bool incoming) {
  std::lock_guard<std::mutex> lock(mu_);
  updateLocked(incoming);
}

bool FailCloseMgr::ReplaceConfigured(bool configured) {
  std::lock_guard<std::mutex> lock(mu_);
  if (configured_.load() == configured) return false;
  configured_.store(configured);
  updateLocked(configured);
  return true;
}

void FailCloseMgr::updateLocked(bool incoming) {
  if (!initialised_.load()) {
    FC_LOG(6, kUpdateTag, "Failclose not initialized, ignoring update. Incoming: %s, Current: %s",
           boolText(incoming), boolText(effective_.load()));
    return;
  }
  bool effective = configured_.load() && incoming;
  effective_.store(effective);
  if (listener_ == nullptr) return;
  if (listener_->UpdateFailClose(effective)) update_policy_table_version();
}

void FailCloseMgr::RegisterListener(IFailCloseUpdate* listener) {
  std::lock_guard<std::mutex> lock(mu_);
  listener_ = listener;
}

void FailCloseMgr::UnregisterListener(IFailCloseUpdate* listener) {
  std::lock_guard<std::mutex> lock(mu_);
  if (listener_ == listener) listener_ = nullptr;
}
