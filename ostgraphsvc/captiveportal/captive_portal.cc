#include "ostgraphsvc/captiveportal/captive_portal.h"

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>

#include "client/lib/cxUtils/cxRegUtils.h"
#include "graph/router_log.h"
#include "ostgraphsvc/policy_slot/policy_slot.h"

namespace {

constexpr char kTag[] = "CaptivePortal::UpdateCaptivePortalStatus";

#define CP_LOG(...) log_syslog_level(3, kTag, __FILE__, __LINE__, __VA_ARGS__)

}  // namespace

CaptivePortal& CaptivePortal::GetInstance() {
  static CaptivePortal instance;
  return instance;
}

bool CaptivePortal::Initialize() {
  initialized_ = true;
  bool started = monitor_.Start(this, kRegistryPath);
  // Without a monitor the state would never follow the store: leave it.
  if (started) UpdateCaptivePortalStatus();
  return started;
}

void CaptivePortal::Stop() {
  monitor_.Stop();
  initialized_ = false;
}

void CaptivePortal::OnTarnStatusChanged() { UpdateCaptivePortalStatus(); }

void CaptivePortal::UpdateCaptivePortalStatus() {
  char buffer[260] = {};
  // One byte short of the buffer, so that a stored text without its zero
  // still ends inside it.
  uint32_t size = sizeof buffer - 1;
  uint32_t type = 0;
  uint32_t ret = cxRegFindValue(kRegistryPath, kValueName, buffer, &size, &type);
  if (ret != 0) {
    CP_LOG("Failed to get captive portal status from registry (ret=%d, type=%lu)",
           static_cast<int>(ret), static_cast<unsigned long>(type));
    return;
  }

  std::string status(buffer, strnlen(buffer, sizeof buffer));
  for (char& c : status) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));

  bool active = false;
  if (status == "started" || status == "detected") {
    active = true;
    CP_LOG("Captive Portal status changed to: %s", status.c_str());
  } else if (status == "notdetected" || status == "failed" || status == "graceperiodexpired") {
    CP_LOG("Captive Portal status changed to: %s", status.c_str());
  } else if (status.empty()) {
    CP_LOG("Captive Portal status changed to: empty (expired state)");
  } else {
    CP_LOG("Registry value '%s' ignored (Unexpected Captive portal state found)", buffer);
    return;
  }

  if (captivePortalActive_.exchange(active) == active) return;
  CP_LOG("New Captive portal state (%s) for fail-close is set.", active ? "enabled" : "disabled");
  update_policy_table_version();
}
