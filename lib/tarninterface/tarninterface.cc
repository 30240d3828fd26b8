#include "lib/tarninterface/tarninterface.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "graph/router_log.h"
#include "lib/tarnutils/tarnutils.h"
#include "platform/adapters/adapters.h"

namespace {

constexpr uint32_t kNoAddress = 0;
constexpr uint32_t kBroadcast = 0xFFFFFFFF;

#define TARN_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

}  // namespace

bool DefaultInterface::fillFromAdapter() {
  std::vector<platform::Adapter> adapters;
  if (platform::list_adapters(AF_INET, &adapters) != 0) return false;
  unsigned int tunnelIndex = UINT_MAX;
  GetWinTunInterfaceIndex(&tunnelIndex);

  auto it = std::find_if(adapters.begin(), adapters.end(),
                         [this](const platform::Adapter& a) { return a.index == ifIndex; });
  if (it == adapters.end()) return false;
  // An adapter without an IPv4 address reads as 0.0.0.0.
  uint32_t address = kNoAddress;
  if (!it->addresses.empty()) std::memcpy(&address, it->addresses.front().addr, sizeof address);
  if (address == kNoAddress || address == kBroadcast || it->index == tunnelIndex) return false;

  ipAddr = address;
  adapterType = static_cast<int>(it->type);
  const size_t length = std::min(it->description.size(), sizeof(description) - 1);
  std::memcpy(description, it->description.data(), length);
  description[length] = '\0';
  return true;
}

bool TARNInterfaceLib::getDefaultRouteInterfaces(std::vector<DefaultInterface>* list) {
  std::vector<platform::ForwardRow> rows;
  if (platform::get_ipv4_forward_table(&rows) == 0) {
    for (const platform::ForwardRow& row : rows) {
      if (row.destination != 0) continue;
      DefaultInterface entry;
      entry.ifIndex = row.if_index;
      entry.metric = row.metric;
      if (entry.fillFromAdapter()) list->push_back(entry);
    }
  }
  std::stable_sort(
      list->begin(), list->end(),
      [](const DefaultInterface& a, const DefaultInterface& b) { return a.metric < b.metric; });
  return !list->empty();
}

bool TARNInterfaceLib::getBestInterface(std::vector<DefaultInterface>* list) {
  static constexpr char kTag[] = "TARNInterfaceLib::getBestInterface";
  uint32_t index = 0;
  uint32_t rc = platform::get_best_interface(0, &index);
  if (rc != 0) {
    TARN_LOG(3, kTag, "failed to get best interface error: 0x%X", rc);
    return false;
  }
  DefaultInterface best;
  best.ifIndex = index;
  best.metric = 1;
  best.ipAddr = kBroadcast;
  if (best.fillFromAdapter()) {
    list->push_back(best);
  } else {
    std::vector<DefaultInterface> defaults;
    if (getDefaultRouteInterfaces(&defaults)) list->push_back(defaults.front());
  }
  if (list->empty()) {
    TARN_LOG(3, kTag, "No valid best interface found");
    return false;
  }
  char text[INET_ADDRSTRLEN] = {};
  ::inet_ntop(AF_INET, &list->front().ipAddr, text, sizeof text);
  TARN_LOG(6, kTag, "Best Interface index %d, IP %s", static_cast<int>(list->front().ifIndex),
           text);
  return true;
}
