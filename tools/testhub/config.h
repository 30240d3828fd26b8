// The test hub's configuration: one JSON object read with nlohmann/json. An
// unknown key or a value of the wrong type is refused with a line naming it,
// so a test that misspells a key fails at start rather than testing defaults.
#ifndef TOOLS_TESTHUB_CONFIG_H_
#define TOOLS_TESTHUB_CONFIG_H_

#include <cstdint>
#include <string>
#include <vector>

namespace testhub {

constexpr size_t kMaxConfigBytes = 1 << 20;
constexpr size_t kMaxClients = 64;
constexpr size_t kMaxRoutes = 16;

struct StaticClient {
  uint32_t overlay = 0;  // network-order bytes in memory
  uint32_t vip = 0;
};

struct HubConfig {
  std::string wanip;
  uint16_t port = 0;
  uint32_t overlay_ip = 0;
  std::string cert;  // PEM file: leaf first, then any intermediates
  std::string key;
  std::string ca;
  std::string control;  // Unix socket path
  std::string tun;      // empty: data is counted and dropped
  bool tls = true;
  bool dtls = true;
  uint32_t close_after_s = 0;  // 0: never
  uint32_t packets_per_record = 1;
  bool keepalive_requests = false;
  std::vector<StaticClient> clients;
  // The first address of each "routes" prefix (network-order bytes), put on
  // the TUN so that it answers behind the hub.
  std::vector<uint32_t> route_addresses;
  // Address leases (kind 17): addresses from `vip_pool` on, `vip_pool_size`
  // of them (0: no pool, address messages are only counted).
  uint32_t vip_pool = 0;
  uint32_t vip_pool_size = 0;
  uint32_t vip_mask = 0xffffffffu;
  uint32_t lease_s = 3600;
  std::string nameservers;
  std::string domain_list;
  // The receive loss (percent) the hub reports of every path in its
  // endpoint messages.
  double ods_rxloss_delayed = 0;
  double ods_rxloss_instant = 0;
};

// Parses the text of a configuration. False with `*error` set to one line.
bool parse_config(const std::string& text, HubConfig* out, std::string* error);
// Reads (at most kMaxConfigBytes) and parses a configuration file.
bool load_config(const std::string& path, HubConfig* out, std::string* error);

}  // namespace testhub

#endif  // TOOLS_TESTHUB_CONFIG_H_
