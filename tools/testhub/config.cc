#include "tools/testhub/config.h"

#include <arpa/inet.h>

#include <charconv>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

namespace testhub {
namespace {

using nlohmann::json;

bool parse_ipv4(const json& v, uint32_t* out) {
  in_addr a{};
  if (inet_pton(AF_INET, v.get<std::string>().c_str(), &a) != 1) return false;
  *out = a.s_addr;
  return true;
}

// Key names are printed through dump() so that odd bytes come out escaped.
std::string quoted(const std::string& key) {
  return json(key).dump(-1, ' ', true, json::error_handler_t::replace);
}

bool parse_clients(const json& list, HubConfig* out, std::string* error) {
  if (list.size() > kMaxClients) {
    *error = "\"clients\" holds more than 64 entries";
    return false;
  }
  for (const json& entry : list) {
    if (!entry.is_object()) {
      *error = "\"clients\" entries must be objects";
      return false;
    }
    StaticClient c;
    bool has_overlay = false;
    for (const auto& [key, value] : entry.items()) {
      if (key != "overlay" && key != "vip") {
        *error = "unknown key " + quoted(key) + " in \"clients\"";
        return false;
      }
      if (!value.is_string() || !parse_ipv4(value, key == "overlay" ? &c.overlay : &c.vip)) {
        *error = "\"clients\" " + quoted(key) + " must be an IPv4 address string";
        return false;
      }
      has_overlay = has_overlay || key == "overlay";
    }
    if (!has_overlay) {
      *error = "\"clients\" entry without \"overlay\"";
      return false;
    }
    out->clients.push_back(c);
  }
  return true;
}

// "a.b.c.d/len" with a length of 1 to 30 and no host bits set, so that the
// prefix has a first host address: that address goes into `out`.
bool parse_routes(const json& list, HubConfig* out, std::string* error) {
  if (list.size() > kMaxRoutes) {
    *error = "\"routes\" holds more than 16 entries";
    return false;
  }
  for (const json& entry : list) {
    const std::string text = entry.is_string() ? entry.get<std::string>() : std::string();
    const size_t slash = text.find('/');
    int length = 0;
    in_addr a{};
    bool ok =
        slash != std::string::npos && inet_pton(AF_INET, text.substr(0, slash).c_str(), &a) == 1;
    if (ok) {
      const char* end = text.data() + text.size();
      const auto [at, ec] = std::from_chars(text.data() + slash + 1, end, length);
      ok = ec == std::errc() && at == end && length >= 1 && length <= 30 &&
           (ntohl(a.s_addr) & (0xffffffffu >> length)) == 0;
    }
    if (!ok) {
      *error = "\"routes\" entries must be IPv4 prefixes a.b.c.d/1-30 without host bits";
      return false;
    }
    out->route_addresses.push_back(htonl(ntohl(a.s_addr) + 1));
  }
  return true;
}

}  // namespace

bool parse_config(const std::string& text, HubConfig* out, std::string* error) {
  *out = HubConfig();
  if (text.size() > kMaxConfigBytes) {
    *error = "configuration larger than 1 MiB";
    return false;
  }
  const json doc = json::parse(text, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) {
    *error = "configuration is not a JSON object";
    return false;
  }
  enum Type { kString, kIp, kPort, kBool, kCount, kClients, kRoutes, kText, kPercent };
  struct Key {
    const char* name;
    Type type;
    bool required;
  };
  static const Key kKeys[] = {
      {"wanip", kIp, true},
      {"port", kPort, true},
      {"overlay_ip", kIp, true},
      {"cert", kString, true},
      {"key", kString, true},
      {"ca", kString, true},
      {"control", kString, true},
      {"tun", kString, false},
      {"tls", kBool, false},
      {"dtls", kBool, false},
      {"close_after_s", kCount, false},
      {"packets_per_record", kCount, false},
      {"keepalive_requests", kBool, false},
      {"clients", kClients, false},
      {"routes", kRoutes, false},
      {"vip_pool", kIp, false},
      {"vip_pool_size", kCount, false},
      {"vip_mask", kIp, false},
      {"lease_s", kCount, false},
      {"nameservers", kText, false},
      {"domain_list", kText, false},
      {"ods_rxloss_delayed", kPercent, false},
      {"ods_rxloss_instant", kPercent, false},
  };
  for (const auto& [name, value] : doc.items()) {
    const Key* key = nullptr;
    for (const Key& k : kKeys)
      if (name == k.name) key = &k;
    if (key == nullptr) {
      *error = "unknown key " + quoted(name);
      return false;
    }
    switch (key->type) {
      case kString:
        if (!value.is_string() || value.get<std::string>().empty()) {
          *error = quoted(name) + " must be a non-empty string";
          return false;
        }
        break;
      case kIp: {
        uint32_t a = 0;
        if (!value.is_string() || !parse_ipv4(value, &a)) {
          *error = quoted(name) + " must be an IPv4 address string";
          return false;
        }
        if (name == "overlay_ip") out->overlay_ip = a;
        if (name == "vip_pool") out->vip_pool = a;
        if (name == "vip_mask") out->vip_mask = a;
        break;
      }
      case kPort:
        if (!value.is_number_unsigned() || value.get<uint64_t>() > 65535) {
          *error = quoted(name) + " must be a port number";
          return false;
        }
        out->port = static_cast<uint16_t>(value.get<uint64_t>());
        break;
      case kBool:
        if (!value.is_boolean()) {
          *error = quoted(name) + " must be true or false";
          return false;
        }
        break;
      case kCount:
        if (!value.is_number_unsigned() || value.get<uint64_t>() > 1000000) {
          *error = quoted(name) + " must be a whole number";
          return false;
        }
        break;
      case kText:
        if (!value.is_string() || value.get<std::string>().size() > 1024) {
          *error = quoted(name) + " must be a string of at most 1024 bytes";
          return false;
        }
        break;
      case kPercent:
        if (!value.is_number() || !(value.get<double>() >= 0 && value.get<double>() <= 100)) {
          *error = quoted(name) + " must be a number from 0 to 100";
          return false;
        }
        (name == "ods_rxloss_delayed" ? out->ods_rxloss_delayed : out->ods_rxloss_instant) =
            value.get<double>();
        break;
      case kClients:
        if (!value.is_array()) {
          *error = quoted(name) + " must be an array";
          return false;
        }
        if (!parse_clients(value, out, error)) return false;
        break;
      case kRoutes:
        if (!value.is_array()) {
          *error = quoted(name) + " must be an array";
          return false;
        }
        if (!parse_routes(value, out, error)) return false;
        break;
    }
  }
  for (const Key& k : kKeys) {
    if (k.required && !doc.contains(k.name)) {
      *error = std::string("missing key \"") + k.name + "\"";
      return false;
    }
  }
  out->wanip = doc["wanip"].get<std::string>();
  out->cert = doc["cert"].get<std::string>();
  out->key = doc["key"].get<std::string>();
  out->ca = doc["ca"].get<std::string>();
  out->control = doc["control"].get<std::string>();
  out->tun = doc.value("tun", std::string());
  out->tls = doc.value("tls", true);
  out->dtls = doc.value("dtls", true);
  out->keepalive_requests = doc.value("keepalive_requests", false);
  out->close_after_s = doc.value("close_after_s", 0u);
  out->packets_per_record = doc.value("packets_per_record", 1u);
  out->vip_pool_size = doc.value("vip_pool_size", out->vip_pool != 0 ? 16u : 0u);
  if (out->vip_pool == 0) out->vip_pool_size = 0;
  if (out->vip_pool_size > 1024) {
    *error = "\"vip_pool_size\" must be at most 1024";
    return false;
  }
  out->lease_s = doc.value("lease_s", 3600u);
  out->nameservers = doc.value("nameservers", std::string());
  out->domain_list = doc.value("domain_list", std::string());
  if (out->packets_per_record < 1 || out->packets_per_record > 64) {
    *error = "\"packets_per_record\" must be 1 to 64";
    return false;
  }
  if (!out->route_addresses.empty() && out->tun.empty()) {
    *error = "\"routes\" needs a \"tun\"";
    return false;
  }
  if (out->tun.size() >= 16) {
    *error = "\"tun\" names an interface longer than 15 characters";
    return false;
  }
  return true;
}

bool load_config(const std::string& path, HubConfig* out, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::string text;
  text.resize(kMaxConfigBytes + 1);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  return parse_config(text, out, error);
}

}  // namespace testhub
