#include "ostgraphsvc/config/tarn_config_reader.h"

#include <bit>

#include "graph/ipaddress.h"
#include "graph/json.h"
#include "graph/router_log.h"
#include "graph/string.h"
#include "graph/vector.h"
#include "lib/tarnutils/tarnutils.h"

namespace {

constexpr char kClientFile[] = "ostrel-client-config.json";
constexpr char kExclusionsFile[] = "ostrel-exclusions.json";
constexpr char kOverlayFile[] = "ostrel-overlay.json";
constexpr char kPolicyFile[] = "policy.json";
constexpr char kFappsFile[] = "fapps.json";

constexpr char kPassTag[] = "CTarnConfigReader::readVirtualInterfaceInfo";
constexpr char kMultiLinkTag[] = "CTarnConfigReader::readMultiLinkSupportConfig";
constexpr char kOverlayTag[] = "CTarnConfigReader::readOverlayIP";
constexpr char kExclusionsTag[] = "CTarnConfigReader::readExclusionsConfig";
constexpr char kPolicyTag[] = "CTarnConfigReader::readPolicyConfig";
constexpr char kFappsTag[] = "CTarnConfigReader::findMatchingFapps";
constexpr char kAddRouteTag[] = "CTarnConfigReader::addToSplitRouteTable";

constexpr char kInvalidRouteAddress[] = "Invalid IP address %s, not added to routing table";

#define CFG_LOG(level, tag, ...) log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

// The JSON text form: numbers and booleans as written, strings decoded,
// null, arrays and objects empty.
std::string textOf(const Json& value) {
  return std::string(value.text().data(), static_cast<size_t>(value.text().length()));
}

std::string textOr(const Json& value, const char* absent) {
  if (value.is_null()) return absent;
  return textOf(value);
}

// The elements of an array; none for anything else.
const Vector<Json>* elementsOf(const Json& value) {
  if (value.type() != Json::kArray || value.body() == nullptr) return nullptr;
  return &static_cast<const JsonArray*>(value.body())->elements;
}

// Texts reach the route arithmetic only as dotted quads, so that garbage can
// never turn into a route.
bool isIPv4Address(const std::string& text, IPAddress* address = nullptr) {
  IPAddress parsed;
  if (!cp_parse_ip_address(String(text.data(), static_cast<int>(text.size())), &parsed)) {
    return false;
  }
  if (address != nullptr) *address = parsed;
  return true;
}

// A decimal prefix length 0-32; digits only, so "24abc", "-1" and "" fail.
bool parsePrefix(const std::string& text, int* prefix) {
  if (text.empty()) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
    if (value > 32) return false;
  }
  *prefix = value;
  return true;
}

}  // namespace

CTarnConfigReader& CTarnConfigReader::GetInstance() {
  static CTarnConfigReader reader;
  return reader;
}

std::string CTarnConfigReader::filePath(const char* name) const { return workDir_ + "/" + name; }

bool CTarnConfigReader::readVirtualInterfaceInfo() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  workDir_.clear();
  tarnutil::getWorkDir(&workDir_);
  alwaysOn_ = false;
  virtualInterfaceEnabled_ = true;
  dnsThroughTunnel_ = false;
  fullTunnel_ = false;
  enforceRoute_ = false;
  virtualIP_.clear();
  virtualIPMask_.clear();
  overlayIP_.clear();
  overlayNetmask_.clear();
  dnsServers_.clear();
  dnsSuffixes_.clear();
  splitRoutes_.clear();
  autoRoutes_.clear();

  Json client;
  int err = Json::file_parse(String(filePath(kClientFile).c_str()), client);
  if (err != 0) {
    CFG_LOG(3, kPassTag, "Client config parse failed, err=%d", err);
    return false;
  }
  bool stop = false;
  readClientConfig(client.get("dcfg_client_config"), &stop);
  if (stop) return true;
  return readOverlayIP() && readExclusionsConfig() && readPolicyConfig();
}

void CTarnConfigReader::readClientConfig(const Json& config, bool* stop) {
  const Json& disableVif = config.get("disable_vif");
  if (disableVif.is_null()) {
    CFG_LOG(3, kPassTag,
            "enable Vitrual Interface not present in client config file, assuming true!");
  } else {
    virtualInterfaceEnabled_ = disableVif.to_bool();
  }
  if (!virtualInterfaceEnabled_) {
    *stop = true;
    return;
  }

  const Json& alwaysOn = config.get("always_on");
  if (alwaysOn.is_null()) {
    alwaysOn_ = true;
    CFG_LOG(3, kPassTag, "Always ON not present in client config file, assuming true!");
  } else {
    alwaysOn_ = alwaysOn.to_bool();
  }

  const Json& virtualIP = config.get("virtual_ip");
  if (virtualIP.is_null()) {
    CFG_LOG(6, kPassTag,
            "virtualIP not present in client config file. This should be configured for dynamic "
            "ip from HUB");
  } else {
    virtualIP_ = textOf(virtualIP);
    virtualIPMask_ = "255.255.255.0";
    if (isIPv4Address(virtualIP_)) {
      addToSplitRouteTable(virtualIP_, 24, false);
      CFG_LOG(6, kPassTag, "Added virtual IP %s to routing table ds", virtualIP_.c_str());
    } else {
      CFG_LOG(3, kPassTag, kInvalidRouteAddress, virtualIP_.c_str());
    }
  }

  const Json& servers = config.get("ipv4_dns_servers");
  if (servers.is_null()) {
    CFG_LOG(3, kPassTag, "dnsServerIP not present in client config file");
  } else if (servers.type() != Json::kArray) {
    CFG_LOG(3, kPassTag, "ipv4_dns_servers is not array type, skipping this configuration");
  } else if (const Vector<Json>* list = elementsOf(servers)) {
    for (const Json& entry : *list) {
      const Json& server = entry.get("dns_server");
      if (server.is_null()) {
        CFG_LOG(3, kPassTag, "dnsServer not present in client config file");
        continue;
      }
      std::string address = textOf(server);
      if (address.empty()) continue;
      dnsServers_.push_back(address);
      CFG_LOG(6, kPassTag, "dns server IP %s", address.c_str());
      if (isIPv4Address(address)) {
        addToSplitRouteTable(address, 32, false);
      } else {
        CFG_LOG(3, kPassTag, kInvalidRouteAddress, address.c_str());
      }
    }
  }

  const Json& suffixes = config.get("dns_suffixes");
  if (suffixes.is_null()) {
    CFG_LOG(6, kPassTag, "dns suffixes not present in client config file");
  } else if (suffixes.type() != Json::kArray) {
    CFG_LOG(3, kPassTag, "dns_suffixes is not array type, skipping this configuration");
  } else if (const Vector<Json>* list = elementsOf(suffixes)) {
    for (const Json& entry : *list) {
      if (entry.is_null()) {
        CFG_LOG(3, kPassTag, "dnsSuffix not present in client config file");
        continue;
      }
      std::string suffix = textOf(entry);
      if (suffix.empty()) continue;
      dnsSuffixes_.push_back(suffix);
      CFG_LOG(6, kPassTag, "dns suffix %s", suffix.c_str());
    }
  }

  const Json& enforceRoute = config.get("enforce_route");
  if (enforceRoute.is_null()) {
    CFG_LOG(6, kPassTag,
            "enforce_route config not present in client config file, enforce_route will not be "
            "done");
  } else {
    enforceRoute_ = enforceRoute.to_bool();
  }
}

bool CTarnConfigReader::readMultiLinkSupportConfig(std::string* support) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  std::string workDir;
  tarnutil::getWorkDir(&workDir);
  Json client;
  int err = Json::file_parse(String((workDir + "/" + kClientFile).c_str()), client);
  if (err != 0) {
    CFG_LOG(3, kMultiLinkTag, "Client config parse failed, err=%d", err);
    return false;
  }
  const Json& value = client.get("dcfg_client_config").get("multilink_support");
  if (value.is_null()) {
    CFG_LOG(6, kMultiLinkTag, "multilink support config is not available");
    return false;
  }
  std::string text = textOf(value);
  if (text.empty()) {
    CFG_LOG(6, kMultiLinkTag, "multilink support config is not set");
    return false;
  }
  *support = text;
  CFG_LOG(7, kMultiLinkTag, "multilink config support %s", text.c_str());
  return true;
}

bool CTarnConfigReader::readOverlayIP() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Json overlay;
  int err = Json::file_parse(String(filePath(kOverlayFile).c_str()), overlay);
  if (err != 0) {
    CFG_LOG(3, kOverlayTag, "overlay config parse failed, err=%d", err);
    return false;
  }
  const Json& local = overlay.get("local");
  const Json& ip = local.get("overlayIP");
  if (ip.is_null()) {
    CFG_LOG(3, kOverlayTag, "Overlay IP not present in overlay config file");
    return false;
  }
  overlayIP_ = textOf(ip);
  CFG_LOG(6, kOverlayTag, "Overlay IP %s", overlayIP_.c_str());

  const Json& netmask = local.get("overlayNetmask");
  if (netmask.is_null()) {
    CFG_LOG(3, kOverlayTag, "Overlay IP Mask not present in overlay config file");
    return false;
  }
  overlayNetmask_ = textOf(netmask);
  // The one-bits of the mask, wherever they are; a text that is no dotted
  // quad counts as 1.
  int prefix = 1;
  IPAddress mask;
  if (isIPv4Address(overlayNetmask_, &mask)) prefix = std::popcount(mask.addr());
  if (isIPv4Address(overlayIP_)) {
    addToSplitRouteTable(overlayIP_, prefix, false);
  } else {
    CFG_LOG(3, kOverlayTag, kInvalidRouteAddress, overlayIP_.c_str());
  }
  CFG_LOG(6, kOverlayTag, "Overlay IP Mask %s", overlayNetmask_.c_str());
  return true;
}

bool CTarnConfigReader::readExclusionsConfig() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Json exclusions;
  int err = Json::file_parse(String(filePath(kExclusionsFile).c_str()), exclusions);
  if (err != 0) {
    CFG_LOG(3, kExclusionsTag, "exclusions config parse failed, err=%d", err);
    return false;
  }
  const Json& ranges = exclusions.get("excluded_ip_ranges");
  if (ranges.is_null()) {
    CFG_LOG(3, kExclusionsTag, "exclude ip range list not present in exclusions config file");
    return false;
  }
  const Vector<Json>* list = elementsOf(ranges);
  if (list == nullptr) return true;
  for (const Json& range : *list) {
    std::string start = textOf(range.get("range_start"));
    std::string end = textOf(range.get("range_end"));
    std::string cidr = textOf(range.get("cidr"));
    if (start == "127.0.0.0") continue;
    int prefix = 0;
    if (!parsePrefix(cidr, &prefix)) {
      CFG_LOG(3, kExclusionsTag, "Invalid CIDR: %s for exclusions range: %s-%s", cidr.c_str(),
              start.c_str(), end.c_str());
      continue;
    }
    if (!isIPv4Address(start)) {
      CFG_LOG(3, kExclusionsTag, "Invalid IP: %s for exclusions range: %s-%s", start.c_str(),
              start.c_str(), end.c_str());
      continue;
    }
    CFG_LOG(6, kExclusionsTag, "Add in exclusions range: %s-%s, cidr: %s", start.c_str(),
            end.c_str(), cidr.c_str());
    addToSplitRouteTable(start, prefix, true);
  }
  return true;
}

void CTarnConfigReader::addToSplitRouteTable(const std::string& address, int prefix, bool isAuto) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  if (address == "0.0.0.0" && prefix != 0) {
    CFG_LOG(3, kAddRouteTag, "Invalid full tunnel configuration: %s/%d", address.c_str(), prefix);
    return;
  }
  SplitRoute route{tarnutil::prefixToNetworkAddress(address, prefix),
                   tarnutil::prefixToMask(prefix), prefix};
  (isAuto ? autoRoutes_ : splitRoutes_).push_back(std::move(route));
}

bool CTarnConfigReader::isTunnelAction(const Json& pbrAction, bool* isAuto) {
  const Json& site = pbrAction.get("pbr_next_hop_site");
  if (site.is_null()) return false;
  if (textOf(site) == "auto") {
    *isAuto = true;
    return true;
  }
  std::string nextHop = textOf(pbrAction.get("pbr_next_hop"));
  return !nextHop.empty() && nextHop != "0.0.0.0" && nextHop != "255.255.255.255";
}

bool CTarnConfigReader::readPolicyConfig() {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Json policy;
  int err = Json::file_parse(String(filePath(kPolicyFile).c_str()), policy);
  if (err != 0) {
    CFG_LOG(3, kPolicyTag, "policy config parse failed, err=%d", err);
    return false;
  }
  int addedTotal = 0;
  const Vector<Json>* policies = elementsOf(policy.get("activated_policies"));
  if (policies == nullptr) return false;
  for (const Json& activated : *policies) {
    std::string name = textOr(activated.get("apc_name"), "NA");
    const Vector<Json>* rules =
        elementsOf(activated.get("policy_config_parsed").get("pcfg_qos_policies"));
    int total = rules != nullptr ? rules->size() : 0;
    int added = 0;
    for (int i = 0; i < total; ++i) {
      if (readPolicyRule((*rules)[i])) ++added;
    }
    CFG_LOG(6, kPolicyTag,
            "Policy '%s' considered for routing. total configured rules: %d, added rules: %d",
            name.c_str(), total, added);
    addedTotal += added;
  }
  return addedTotal > 0;
}

bool CTarnConfigReader::readPolicyRule(const Json& rule) {
  const Json& match = rule.get("qos_match");
  const Json& criteria = match.get("cmap_match_criteria");
  std::string appx = textOr(match.get("cmap_name"), "NA");
  std::string dst = textOr(criteria.get("mtch_dest_ip"), "NA");

  const Json& action = rule.get("qos_action");
  if (action.is_null()) {
    CFG_LOG(6, kPolicyTag, "qos_action is not in profile for appx: %s, dst: %s", appx.c_str(),
            dst.c_str());
    return false;
  }
  const Json& pbrAction = action.get("pbr_action");
  if (pbrAction.is_null()) {
    CFG_LOG(6, kPolicyTag, "pbr_action is not in profile for appx: %s, dst: %s", appx.c_str(),
            dst.c_str());
    return false;
  }
  bool isAuto = false;
  if (!isTunnelAction(pbrAction, &isAuto)) {
    CFG_LOG(6, kPolicyTag, "Route is not installed for appx: %s, dst: %s", appx.c_str(),
            dst.c_str());
    return false;
  }
  if (dst == "0.0.0.0/0") {
    // Everything going "auto" would take all traffic out of the tunnel: the
    // line says the route is not installed, so it is not.
    if (isAuto) {
      CFG_LOG(6, kPolicyTag,
              "Route is not installed for full tunnel target auto, for appx rule: %s, all auto "
              "policy will be ignored",
              appx.c_str());
      return false;
    }
    CFG_LOG(6, kPolicyTag, "Appx rule: %s found for full tunnel: %s", appx.c_str(), dst.c_str());
    fullTunnel_ = true;
  }
  if (match.is_null()) {
    CFG_LOG(6, kPolicyTag, "qos_match is not in profile for appx: %s, dst: %s", appx.c_str(),
            dst.c_str());
    return false;
  }
  if (criteria.is_null()) {
    CFG_LOG(6, kPolicyTag, "cmap_match_criteria is not in profile for appx: %s, dst: %s",
            appx.c_str(), dst.c_str());
    return false;
  }
  const Json& internet = criteria.get("mtch_dest_internet");
  if (internet.type() == Json::kBoolean && internet.to_bool()) {
    CFG_LOG(6, kPolicyTag, "Route is not installed for internet traffic for appx: %s, dst: %s",
            appx.c_str(), dst.c_str());
    return false;
  }
  const Json& appIds = criteria.get("mtch_app_id");
  if (textOf(criteria.get("mtch_dest_port")) == "53" &&
      criteria.get("mtch_l4_protocol").is_null() && appIds.is_null() && !isAuto) {
    dnsThroughTunnel_ = true;
    CFG_LOG(6, kPolicyTag, "Configured port 53 to tunnel the all DNS request, AppRule name: \"%s\"",
            appx.c_str());
    return false;
  }
  const char* kind = isAuto ? "Auto" : "Redirect";

  const Json& destIp = criteria.get("mtch_dest_ip");
  if (destIp.is_null()) {
    if (appIds.is_null()) {
      CFG_LOG(6, kPolicyTag,
              "Route is not installed for internet traffic for appx: %s, 'mtch_dest_ip' is "
              "missing",
              appx.c_str());
      return false;
    }
    // One id may also stand alone instead of in an array.
    const Vector<Json>* list = elementsOf(appIds);
    const Json* ids = list != nullptr ? list->begin() : &appIds;
    int count = list != nullptr ? list->size() : 1;
    for (int i = 0; i < count; ++i) {
      int appId = ids[i].to_int();
      std::vector<AppAddress> addresses;
      std::string app = "NA";
      if (findMatchingFapps(appId, &addresses, &app) == 0) {
        CFG_LOG(6, kPolicyTag,
                "Route is not installed for internet traffic for appx: %s, no valid ip found for "
                "app_id: %d",
                appx.c_str(), appId);
        continue;
      }
      for (const AppAddress& address : addresses) {
        addToSplitRouteTable(address.first, address.second, isAuto);
        CFG_LOG(6, kPolicyTag, "%s Policy appx rule found for fapps(%s): %s, IP %s cidr %d", kind,
                app.c_str(), appx.c_str(), address.first.c_str(), address.second);
      }
    }
    return false;
  }

  if (dst.empty()) {
    CFG_LOG(3, kPolicyTag, "Invalid splitRoute in policy config appx: %s", appx.c_str());
    return false;
  }
  std::string address = dst;
  std::string prefixText = "32";
  int prefix = 32;
  size_t slash = dst.find('/');
  if (slash != std::string::npos) {
    address = dst.substr(0, slash);
    prefixText = dst.substr(slash + 1);
  }
  // A prefix beyond 0-32 would make a mask of a negative or oversized shift.
  if (!parsePrefix(prefixText, &prefix)) {
    CFG_LOG(3, kPolicyTag, "Invalid cidr in policy config appx: %s, IP %s cidr %s", appx.c_str(),
            address.c_str(), prefixText.c_str());
    return false;
  }
  if (!isIPv4Address(address)) {
    CFG_LOG(3, kPolicyTag, "Invalid splitRoute in policy config appx: %s", appx.c_str());
    return false;
  }
  addToSplitRouteTable(address, prefix, isAuto);
  CFG_LOG(6, kPolicyTag, "%s appx rule found for fapps(%s), IP %s cidr %d", kind, appx.c_str(),
          address.c_str(), prefix);
  return true;
}

int CTarnConfigReader::findMatchingFapps(int appId, std::vector<AppAddress>* addresses,
                                         std::string* name) {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  Json fapps;
  int err = Json::file_parse(String(filePath(kFappsFile).c_str()), fapps);
  if (err != 0) {
    CFG_LOG(3, kFappsTag, "fapps config parse failed, err=%d", err);
    return 0;
  }
  const Vector<Json>* apps = elementsOf(fapps);
  if (apps == nullptr) {
    CFG_LOG(6, kFappsTag, "fapps JSON is either NULL or not an array cannot process");
    return 0;
  }
  int found = 0;
  for (const Json& entry : *apps) {
    const Json& id = entry.get("appid");
    const Json& ipv4 = entry.get("ipv4");
    if (id.is_null() || ipv4.is_null() || id.to_int() != appId) continue;
    std::string app = textOr(entry.get("app"), "NA");
    std::string cidr = textOf(ipv4);
    CFG_LOG(7, kFappsTag, "Found CUSTOM_FPD_APP:%s appid=%d ipv4=%s", app.c_str(), appId,
            cidr.c_str());
    std::string address;
    int prefix = 0;
    if (tarnutil::parseCidr(cidr, &address, &prefix)) {
      addresses->emplace_back(address, prefix);
      ++found;
    }
    *name = app;
  }
  CFG_LOG(7, kFappsTag, "Found %d custom app entries to the FPD table for app: %d: %s", found,
          appId, name->c_str());
  return found;
}

std::string CTarnConfigReader::getWorkDir() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return workDir_;
}

bool CTarnConfigReader::isAlwaysOn() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return alwaysOn_;
}

bool CTarnConfigReader::isVirtualInterfaceEnabled() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return virtualInterfaceEnabled_;
}

bool CTarnConfigReader::isDnsThroughTunnel() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return dnsThroughTunnel_;
}

bool CTarnConfigReader::isFullTunnel() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return fullTunnel_;
}

bool CTarnConfigReader::isEnforceRoute() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return enforceRoute_;
}

std::string CTarnConfigReader::getVirtualIP() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return virtualIP_;
}

std::string CTarnConfigReader::getVirtualIPMask() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return virtualIPMask_;
}

std::string CTarnConfigReader::getOverlayIP() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return overlayIP_;
}

std::string CTarnConfigReader::getOverlayNetmask() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return overlayNetmask_;
}

std::vector<std::string> CTarnConfigReader::getDnsServers() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return dnsServers_;
}

std::vector<std::string> CTarnConfigReader::getDnsSuffixes() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return dnsSuffixes_;
}

std::vector<SplitRoute> CTarnConfigReader::getSplitRoutes() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return splitRoutes_;
}

std::vector<SplitRoute> CTarnConfigReader::getAutoRoutes() const {
  std::lock_guard<std::recursive_mutex> lock(mu_);
  return autoRoutes_;
}
