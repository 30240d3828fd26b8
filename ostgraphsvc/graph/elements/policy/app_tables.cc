#include "ostgraphsvc/graph/elements/policy/app_tables.h"

#include <arpa/inet.h>

#include <cerrno>
#include <string>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/ipaddress.h"
#include "graph/nameinfo.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/policy/policy_match.h"
#include "platform/error/win_error.h"
#include "platform/fs/read_file.h"

namespace {

constexpr char kCategoryTag[] = "OstPolicy::create_category_id_mapping";
constexpr char kCappTag[] = "OstPolicy::parse_capp_config_json";
constexpr char kFappTag[] = "OstPolicy::parse_fapp_config_json";
constexpr char kHostappTag[] = "OstPolicy::parse_hostapp_config_json";
constexpr char kFcappTag[] = "OstPolicy::initialize_fcapp_config";
constexpr char kHostInitTag[] = "OstPolicy::initialize_hostapp_config";
constexpr char kPortTag[] = "OstPolicy::parse_port_range";

#define POLICY_LOG(tag, ...) log_syslog_level(6, (tag), __FILE__, __LINE__, __VA_ARGS__)

// File texts are hostile: shown cut and with control bytes escaped.
String shown(const String& text) {
  constexpr int kShown = 255;
  if (text.length() <= kShown) return text.printable();
  return text.substring(0, kShown).printable();
}

}  // namespace

int policy_read_work_file(const String& path, String* text) {
  std::string bytes;
  long long size = 0;
  int err =
      platform::read_file_no_links(path.c_str(), PolicyAppTables::kMaxFileSize, &bytes, &size);
  if (err == EFBIG) {
    router_chatter("Unable to read file %s: %lld bytes, more than %zu", path.c_str(), size,
                   PolicyAppTables::kMaxFileSize);
  }
  if (err != 0) return err;
  *text = String(bytes.data(), static_cast<int>(bytes.size()));
  return 0;
}

bool policy_parse_document(const String& text, Json* doc) {
  Json parsed = Json::parse(text);
  const bool container = parsed.type() == Json::kArray || parsed.type() == Json::kObject;
  if (parsed.is_null() || (container && parsed.size() == 0)) {
    router_chatter("Parse failed %s", shown(text).c_str());
    return false;
  }
  *doc = std::move(parsed);
  return true;
}

namespace {

// Reads and parses a file that has no change detection of its own.
bool parse_work_file(const String& path, Json* doc) {
  String text;
  int err = policy_read_work_file(path, &text);
  if (err != 0) {
    router_chatter("Unable to open file %s, error %u", path.c_str(),
                   static_cast<unsigned>(platform::win_error_from_errno(err)));
    return false;
  }
  return policy_parse_document(text, doc);
}

const Json& element_at(const Json& array, int i) {
  return static_cast<const JsonArray*>(array.body())->elements[i];
}

// Texts from the files that the tables keep or log must stay short.
bool text_fits(const String& file, int index, const char* key, const String& text,
               const char* tag) {
  if (text.length() <= PolicyAppTables::kMaxText) return true;
  POLICY_LOG(tag, "%s: element %d skipped: \"%s\" is %d bytes, more than %d", file.c_str(), index,
             key, text.length(), PolicyAppTables::kMaxText);
  return false;
}

int protocol_of(const String& text) {
  if (text == "tcp" || text == "TCP") return 6;
  if (text == "udp" || text == "UDP") return 17;
  if (text == "icmp" || text == "ICMP") return 1;
  return -1;
}

// Reports the port parser's messages to the log under the parser's tag.
class PortLogHandler : public ErrorHandler {
 public:
  void* emit(const String& line, void* user_data, bool) override {
    // The message without its "<level>" mark: the log line has its own.
    int start = 0;
    if (line.length() > 2 && line[0] == '<') {
      int close = 1;
      while (close < line.length() && line[close] >= '0' && line[close] <= '9') ++close;
      if (close < line.length() && line[close] == '>') start = close + 1;
    }
    POLICY_LOG(kPortTag, "%s", line.substring(start).c_str());
    return user_data;
  }
};

// The port text of the application files (see policy_match.h), its
// messages logged.
void parse_logged_port_range(const String& text, uint16_t* low, uint16_t* high) {
  PortLogHandler log;
  ParseContext errors(nullptr, &log);
  ::parse_port_range(text, low, high, errors);
}

String join_labels(const Vector<String>& labels) {
  String joined;
  for (int i = 0; i < labels.size(); ++i) {
    if (i > 0) joined += ",";
    joined += labels[i];
  }
  return joined;
}

}  // namespace

bool normalize_custom_app_category(const String& name, String* out) {
  static const char* const kNames[][2] = {
      {"Mail", "Email"},
      {"VOIP", "VoIP"},
      {"Forum", "SocialNetwork"},
      {"Standard", "Unspecified"},
      {"Tunneling", "VPN"},
      {"Middleware", "RPC"},
      {"Thin Client", "RemoteAccess"},
      {"File Server", "SoftwareUpdate"},
      {"File Transfer", "DataTransfer"},
      {"Network Service", "Network"},
      {"Instant Messaging", "Chat"},
      {"Application Service", "Cloud"},
  };
  for (const auto& pair : kNames) {
    if (name == pair[0]) {
      *out = pair[1];
      return true;
    }
  }
  *out = name;
  return false;
}

PolicyAppTables::PolicyAppTables() = default;

PolicyAppTables::~PolicyAppTables() { hostapp_trie_free(trie_); }

void PolicyAppTables::set_app_files(const String& fapps, const String& fpdapps, const String& fpddb,
                                    const String& hostapps) {
  fapps_path_ = fapps;
  fpdapps_path_ = fpdapps;
  fpddb_path_ = fpddb;
  hostapps_path_ = hostapps;
}

void PolicyAppTables::create_fpd_tables() {
  tcp_ = std::make_unique<FpdPrefixTable>();
  udp_ = std::make_unique<FpdPrefixTable>();
  any_ = std::make_unique<FpdPrefixTable>();
}

int PolicyAppTables::create_tables() {
  if (tcp_ == nullptr) create_fpd_tables();
  if (trie_ == nullptr) trie_ = hostapp_trie_new_node();
  if (trie_ == nullptr) {
    POLICY_LOG("OstPolicy::configure", "Initializing Custom apps domain trie failed");
    return -1;
  }
  return 0;
}

int PolicyAppTables::category_id(const String& name) const {
  auto it = const_cast<HashTable<String, int>&>(category_ids_).find(name);
  return it.live() ? it->value : 0;
}

const String& PolicyAppTables::get_custom_app_name(int app_id) const {
  auto it = const_cast<HashTable<int, String>&>(custom_app_names_).find(app_id);
  return it.live() ? it->value : String::make_empty();
}

void PolicyAppTables::add_app_name(int app_id, const String& name) {
  custom_app_names_.find_insert(app_id, name);
}

void PolicyAppTables::clear_app_names() {
  for (auto it = custom_app_names_.begin(); it.live();) it = custom_app_names_.erase(it);
}

FpdPrefixTable* PolicyAppTables::table_for(int protocol) {
  if (tcp_ == nullptr) create_fpd_tables();
  if (protocol == 6) return tcp_.get();
  if (protocol == 17) return udp_.get();
  return any_.get();
}

void PolicyAppTables::add_entry(const fpd_entry& entry) { table_for(entry.protocol)->add(entry); }

int PolicyAppTables::create_category_id_mapping() {
  // Once per object, also when it fails: the file is not read again.
  if (category_read_) return 0;
  category_read_ = true;
  Json doc;
  if (!parse_work_file(category_path_, &doc)) {
    POLICY_LOG(kCategoryTag, "Category id name map - JSON parse failed");
    return -1;
  }
  Vector<const Json*> items;
  if (doc.type() == Json::kArray) {
    for (int i = 0; i < doc.size(); ++i) items.push_back(&element_at(doc, i));
  } else if (doc.type() == Json::kObject) {
    const auto* object = static_cast<const JsonObject*>(doc.body());
    for (int i = 0; i < object->count; ++i) items.push_back(&object->items[i].value);
  }
  for (int i = 0; i < items.size(); ++i) {
    const Json& item = *items[i];
    const String& name = item.get("CategoryName").text();
    if (!text_fits(category_path_, i, "CategoryName", name, kCategoryTag)) continue;
    category_ids_.find_insert(name, item.get("Id").to_int());
  }
  return 0;
}

int PolicyAppTables::check_fapp_config_change() {
  constexpr char kTag[] = "OstPolicy::check_fapp_config_change";
  String text;
  if (policy_read_work_file(fapps_path_, &text) != 0) {
    fapps_readable_ = false;
    POLICY_LOG(kTag, "Unable to open file %s", fapps_path_.c_str());
    return -1;
  }
  fapps_readable_ = true;
  if (text == fapps_text_) {
    POLICY_LOG(kTag, "No change in first packet app: %s", fapps_path_.c_str());
    return 0;
  }
  fapps_text_ = text;
  POLICY_LOG(kTag, "Change in first packet list: %s - Build FPD table", fapps_path_.c_str());
  return 1;
}

int PolicyAppTables::check_hostapp_config_change() {
  constexpr char kTag[] = "OstPolicy::check_hostapp_config_change";
  String text;
  if (policy_read_work_file(hostapps_path_, &text) != 0) {
    hostapps_readable_ = false;
    POLICY_LOG(kTag, "Unable to open file %s", hostapps_path_.c_str());
    return 1;
  }
  hostapps_readable_ = true;
  if (text == hostapps_text_) {
    POLICY_LOG(kTag, "No change in hostapps: %s", hostapps_path_.c_str());
    return 0;
  }
  hostapps_text_ = text;
  POLICY_LOG(kTag, "Change in hostapps list: %s - Build hostapp trie", hostapps_path_.c_str());
  return 1;
}

int PolicyAppTables::initialize_fcapp_config(bool reload) {
  const int changed = check_fapp_config_change();
  if (changed <= 0 && fpd_loaded_) {
    POLICY_LOG(kFcappTag, "OstPolicy: No change in First packet app list - skipping");
    return 0;
  }
  if (reload) {
    clear_app_names();
    create_fpd_tables();
    fpd_loaded_ = false;
  }
  Json doc;
  if (fapps_readable_ && policy_parse_document(fapps_text_, &doc))
    parse_capp_config_json(doc, fapps_path_);
  if (parse_work_file(fpdapps_path_, &doc)) parse_fapp_config_json(doc, fpdapps_path_);
  if (parse_work_file(fpddb_path_, &doc)) parse_fapp_config_json(doc, fpddb_path_);
  fpd_loaded_ = true;
  return 0;
}

int PolicyAppTables::initialize_hostapp_config() {
  const int changed = check_hostapp_config_change();
  if (changed == 0 && trie_ != nullptr) {
    POLICY_LOG(kHostInitTag, "OstPolicy: No hostapp config change - skipping");
    return 0;
  }
  hostapp_trie_free(trie_);
  trie_ = hostapp_trie_new_node();
  if (trie_ == nullptr) {
    POLICY_LOG(kHostInitTag, "Initializing Custom apps domain trie failed");
    return 0;
  }
  Json doc;
  if (hostapps_readable_ && policy_parse_document(hostapps_text_, &doc)) {
    parse_hostapp_config_json(doc, hostapps_path_);
    ++hostapp_generation_;
  }
  return 0;
}

void PolicyAppTables::parse_capp_config_json(const Json& doc, const String& file) {
  if (doc.type() != Json::kArray) {
    POLICY_LOG(kCappTag, "OstPolicy: capps JSON is either NULL or not an array cannot process");
    return;
  }
  int handled = 0;
  for (int i = 0; i < doc.size(); ++i) {
    const Json& item = element_at(doc, i);
    const String& protocol_text = item.get("protocol").text();
    const String& ipv4 = item.get("ipv4").text();
    const String& port = item.get("port").text();
    const String& app = item.get("app").text();
    const String& category = item.get("category").text();
    const int app_id = item.get("appid").to_int();
    if (!text_fits(file, i, "app", app, kCappTag) ||
        !text_fits(file, i, "category", category, kCappTag)) {
      continue;
    }
    if (app_id < 0) add_app_name(app_id, app);

    String category_name;
    normalize_custom_app_category(category, &category_name);
    const int category_id = this->category_id(category_name);

    fpd_entry entry;
    parse_match_address(ipv4, &entry.address, &entry.mask);
    if ((entry.address & ~entry.mask) != 0) {
      const uint32_t masked = entry.address & entry.mask;
      POLICY_LOG(kCappTag, "FPD: Incorrect mask %s. FIXING:%s with subnet:%s mask:%s",
                 shown(ipv4).c_str(), IPAddress(entry.address).to_string().c_str(),
                 IPAddress(masked).to_string().c_str(), IPAddress(entry.mask).to_string().c_str());
      entry.address = masked;
    }
    POLICY_LOG(kCappTag, "Loading CUSTOM_FPD_APP:%s appid=%d catid=%d(%s) ipv4=%s ports=%s",
               shown(app).c_str(), app_id, category_id, shown(category_name).c_str(),
               shown(ipv4).c_str(), shown(port).c_str());

    entry.protocol = static_cast<int16_t>(protocol_of(protocol_text));
    entry.app_id = app_id;
    entry.category_id = category_id;
    fpd_port_item item_ports;
    parse_logged_port_range(port, &item_ports.low_port, &item_ports.high_port);
    item_ports.app_id = app_id;
    item_ports.category_id = category_id;
    entry.port_items.push_back(item_ports);
    add_entry(entry);
    ++handled;
  }
  POLICY_LOG(kCappTag, "Added %d custom app entries to the FPD table", handled);
}

void PolicyAppTables::parse_fapp_config_json(const Json& doc, const String& file) {
  if (doc.type() != Json::kArray) {
    POLICY_LOG(kFappTag, "OstPolicy: fapps JSON is either NULL or not an array cannot process");
    return;
  }
  int entries = 0;
  int apps = 0;
  for (int i = 0; i < doc.size(); ++i) {
    const Json& item = element_at(doc, i);
    const String& app = item.get("fpd_app").text();
    const String& protocol_text = item.get("fpd_protocol").text();
    const String& category = item.get("fpd_category").text();
    const int app_id = item.get("fpd_app_id").to_int();
    if (!text_fits(file, i, "fpd_app", app, kFappTag) ||
        !text_fits(file, i, "fpd_category", category, kFappTag)) {
      continue;
    }
    ++apps;
    if (app_id >= 400) add_app_name(app_id, app);
    const int category_id = this->category_id(category);
    POLICY_LOG(kFappTag, "Loading PREDEFINED_FPD_APP:%s appid=%d catid=%d", shown(app).c_str(),
               app_id, category_id);

    fpd_entry entry;
    entry.protocol = static_cast<int16_t>(protocol_of(protocol_text));
    entry.app_id = app_id;
    entry.category_id = category_id;
    const Json& ports = item.get("fpd_ports");
    if (ports.type() == Json::kArray) {
      for (int p = 0; p < ports.size(); ++p) {
        fpd_port_item port_item;
        parse_logged_port_range(element_at(ports, p).text(), &port_item.low_port,
                                &port_item.high_port);
        port_item.app_id = app_id;
        port_item.category_id = category_id;
        entry.port_items.push_back(port_item);
      }
    }
    const Json& addresses = item.get("fpd_ips_v4");
    if (addresses.type() != Json::kArray) continue;
    for (int a = 0; a < addresses.size(); ++a) {
      parse_match_address(element_at(addresses, a).text(), &entry.address, &entry.mask);
      add_entry(entry);
      ++entries;
    }
  }
  POLICY_LOG(kFappTag, "Added %d entries for %d apps to the FPD table", entries, apps);
}

void PolicyAppTables::parse_hostapp_config_json(const Json& doc, const String& file) {
  if (doc.type() != Json::kArray) {
    POLICY_LOG(kHostappTag,
               "OstPolicy: Hostapp JSON is either NULL or not an array cannot process");
    return;
  }
  if (trie_ == nullptr) trie_ = hostapp_trie_new_node();
  for (int i = 0; i < doc.size(); ++i) {
    const Json& item = element_at(doc, i);
    const String& app = item.get("app_name").text();
    const String& category = item.get("category").text();
    const int app_id = item.get("appid").to_int();
    if (!text_fits(file, i, "app_name", app, kHostappTag) ||
        !text_fits(file, i, "category", category, kHostappTag)) {
      continue;
    }
    const Json& attrs = item.get("host_attrs");
    const Json& parts = attrs.get("hna_host_parts");
    if (attrs.type() == Json::kObject && parts.type() == Json::kArray) {
      if (parts.size() > kMaxLabels) {
        POLICY_LOG(kHostappTag,
                   "%s: element %d skipped: \"hna_host_parts\" holds %d labels, more than %d",
                   file.c_str(), i, parts.size(), kMaxLabels);
        continue;
      }
      bool fits = true;
      for (int p = 0; p < parts.size() && fits; ++p) {
        if (element_at(parts, p).text().length() <= kMaxLabel) continue;
        POLICY_LOG(kHostappTag,
                   "%s: element %d skipped: label %d of \"hna_host_parts\" is longer than %d bytes",
                   file.c_str(), i, p, kMaxLabel);
        fits = false;
      }
      if (!fits) continue;
    }
    const int category_id = this->category_id(category);
    if (app_id < 0) add_app_name(app_id, app);
    if (attrs.type() != Json::kObject) {
      POLICY_LOG(kHostappTag, "OstPolicy: custom app hostname attrs not present");
      continue;
    }
    if (parts.type() != Json::kArray) {
      POLICY_LOG(kHostappTag, "OstPolicy: custom app hostname parts not present");
      continue;
    }
    Vector<String> labels;
    for (int p = 0; p < parts.size(); ++p) {
      const String& label = element_at(parts, p).text();
      if (label.length() >= 3 && label[0] == 'w' && label[1] == 'w' && label[2] == 'w') continue;
      labels.push_back(label);
    }
    POLICY_LOG(kHostappTag, "Loading CUSTOM_FPD_HOSTAPP:%s appid=%d catid=%d domain_parts=%s",
               shown(app).c_str(), app_id, category_id, join_labels(labels).printable().c_str());
    if (labels.empty() || trie_ == nullptr) continue;
    hostapp_trie_insert(trie_, labels.data(), labels.size(), hostapp_entry{app_id, category_id});
  }
}
