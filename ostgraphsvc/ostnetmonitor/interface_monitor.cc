#include "ostgraphsvc/ostnetmonitor/interface_monitor.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <system_error>
#include <utility>

#include "graph/router_log.h"

#define MON_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

std::vector<DefaultInterface> TarnInterfaceSource::DefaultRouteInterfaces() {
  std::vector<DefaultInterface> list;
  TARNInterfaceLib::getDefaultRouteInterfaces(&list);
  return list;
}

OstDefaultRouteMonitor::OstDefaultRouteMonitor(IInterfaceMonitor_Listener* listener,
                                               std::unique_ptr<InterfaceSource> source)
    : listener_(listener),
      source_(std::move(source)),
      stored_(source_->DefaultRouteInterfaces()),
      watcher_([this](int type, uint32_t ip,
                      uint32_t if_index) { onUnicastIpChange(type, ip, if_index); },
               [this] {
                 handleInterfaceChange();
                 SetNetworkProfile();
               }) {}

OstDefaultRouteMonitor::~OstDefaultRouteMonitor() {
  // The watch and the trigger call into this object: end them first.
  watcher_.Stop();
  {
    std::lock_guard<std::mutex> lock(trigger_mu_);
    if (trigger_.joinable()) trigger_.join();
  }
  if (Instance() == this) SetInstance(nullptr);
}

bool OstDefaultRouteMonitor::StartAddressWatch() { return watcher_.Start(); }

void OstDefaultRouteMonitor::StopAddressWatch() { watcher_.Stop(); }

std::vector<DefaultInterface> OstDefaultRouteMonitor::interfaces() const {
  std::lock_guard<std::mutex> lock(mu_);
  return stored_;
}

void OstDefaultRouteMonitor::clearInterfaces() {
  std::lock_guard<std::mutex> lock(mu_);
  stored_.clear();
}

void OstDefaultRouteMonitor::handleInterfaceChange() {
  const char* tag = "OstInterfaceMonitor::handleInterfaceChange";
  std::lock_guard<std::mutex> lock(mu_);
  std::vector<DefaultInterface> fresh = source_->DefaultRouteInterfaces();
  const int old_count = static_cast<int>(stored_.size());
  const int new_count = static_cast<int>(fresh.size());
  MON_LOG(6, tag, "old interface count %d new interface count %d", old_count, new_count);

  int event = kNetworkChanged;
  if (new_count == old_count) {
    int matched = 0;
    for (const DefaultInterface& n : fresh) {
      for (const DefaultInterface& o : stored_) {
        if (n.ipAddr == o.ipAddr) {
          ++matched;
          break;
        }
      }
    }
    if (matched == new_count) {
      MON_LOG(6, tag, "No default Interface change detected, skipping this network change event");
      return;
    }
    MON_LOG(6, tag,
            "Interface mismatched, handle network change, old interface count %d new interface "
            "count %d",
            matched, new_count);
  } else if (new_count == 0) {
    MON_LOG(6, tag, "No interface is up");
    event = kNetworkDown;
  } else if (old_count != 0) {
    MON_LOG(6, tag, "Interface count change old interface count %d new interface count %d",
            old_count, new_count);
  } else {
    MON_LOG(6, tag, "New network interface found, total new interface count %d", new_count);
    event = kNetworkUp;
  }
  stored_ = std::move(fresh);
  if (listener_ != nullptr) listener_->onNetworkStateChanged(event);
}

void OstDefaultRouteMonitor::triggerInterfaceChangeAsync() {
  const char* tag = "OstInterfaceMonitor::triggerInterfaceChangeAsync";
  std::lock_guard<std::mutex> lock(trigger_mu_);
  if (trigger_.joinable()) trigger_.join();
  try {
    trigger_ = std::thread([this] {
      MON_LOG(6, "OstInterfaceMonitor::triggerInterfaceChangeAsync::<lambda>",
              "triggering interface change");
      clearInterfaces();
      handleInterfaceChange();
    });
  } catch (const std::system_error& e) {
    MON_LOG(3, tag, "cannot start the interface change thread: %s", e.what());
  }
}

void OstDefaultRouteMonitor::SetNetworkProfile() {
  MON_LOG(6, "OstInterfaceMonitor::SetNetworkProfile",
          "no network categories on this platform, tarnif network profile left as it is");
}

void OstDefaultRouteMonitor::onUnicastIpChange(int type, uint32_t ip, uint32_t if_index) {
  if (type == kMibInitialNotification) return;
  in_addr a{};
  a.s_addr = ip;
  char text[INET_ADDRSTRLEN] = {};
  inet_ntop(AF_INET, &a, text, sizeof text);
  MON_LOG(6, "onUnicastIpChange", "Unicase IP Change: type:%d ip:%s interface id:%d", type, text,
          static_cast<int>(if_index));
  handleInterfaceChange();
  SetNetworkProfile();
}
