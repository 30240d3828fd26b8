// The application files from outside: the input holds the texts of
// "category_id.json", "fapps.json", "fpdapps.json", "fpddb.json",
// "hostapps.json" and "app_category_map.json" separated by NUL bytes, in
// that order (an empty part is a missing file). They are written into a
// scratch work directory, loaded as the policy element's first configure
// does, looked up, reloaded after a change of "fapps.json" and
// "hostapps.json", looked up again and freed. The flow element's loaders
// read "app_category_map.json" and "category_id.json" and every id of their
// tables is named.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"
#include "ostgraphsvc/graph/elements/policy/app_tables.h"
#include "tests/fuzz/element_fuzz.h"

namespace {

const char* const kFiles[] = {"category_id.json", "fapps.json",    "fpdapps.json",
                              "fpddb.json",       "hostapps.json", "app_category_map.json"};
constexpr int kParts = 6;

const std::string& work_dir() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/fuzz-app-tables-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (made == nullptr) std::abort();
    std::string d = std::string(made) + "/";
    static std::string removed = made;
    std::atexit([] { std::filesystem::remove_all(removed); });
    return d;
  }();
  return dir;
}

void put(const std::string& name, const uint8_t* data, size_t size) {
  const std::string path = work_dir() + name;
  ::unlink(path.c_str());
  if (size == 0) return;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

void look_up(const PolicyAppTables& tables, const uint8_t* data, size_t size) {
  for (size_t at = 0; at + 4 <= size && at < 64; at += 4) {
    uint32_t address;
    std::memcpy(&address, data + at, 4);
    fpd_entry copy;
    tables.tcp_table()->lookup(address, copy);
    for (const FpdPrefixTable* t : {tables.udp_table(), tables.any_table()}) {
      if (const fpd_entry* e = t->find(address)) {
        for (const fpd_port_item& item : e->port_items) {
          item.matches(static_cast<uint16_t>(address));
          tables.get_custom_app_name(item.app_id);
        }
      }
    }
  }
  // Names cut from the input at '.', top-level label first.
  HostLabel labels[8];
  int n = 0;
  size_t start = 0;
  for (size_t i = 0; i <= size && i < 128 && n < 8; ++i) {
    if (i < size && data[i] != '.') continue;
    labels[n++] =
        HostLabel{reinterpret_cast<const char*>(data) + start, static_cast<int>(i - start)};
    start = i + 1;
    hostapp_trie_lookup(tables.hostapp_trie(), labels, n);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  size_t begin = 0;
  for (int part = 0; part < kParts; ++part) {
    if (begin > size) begin = size;
    size_t end = begin;
    while (end < size && data[end] != 0) ++end;
    put(kFiles[part], data + begin, end - begin);
    begin = end + 1;
  }

  PolicyAppTables tables;
  const std::string dir = work_dir();
  tables.set_category_file((dir + kFiles[0]).c_str());
  tables.set_app_files((dir + kFiles[1]).c_str(), (dir + kFiles[2]).c_str(),
                       (dir + kFiles[3]).c_str(), (dir + kFiles[4]).c_str());
  if (tables.create_tables() != 0) return 0;
  tables.create_category_id_mapping();
  tables.initialize_fcapp_config(false);
  tables.initialize_hostapp_config();
  look_up(tables, data, size);

  // A changed text on both change-checked files rebuilds everything.
  for (const char* name : {kFiles[1], kFiles[4]}) {
    std::ofstream out(dir + name, std::ios::binary | std::ios::app);
    out << ' ';
  }
  tables.initialize_fcapp_config(true);
  tables.initialize_hostapp_config();
  look_up(tables, data, size);

  // One element for every input (making one costs more than a run); each
  // load replaces or drops its tables.
  static AggregateIPFlows* const agg = new AggregateIPFlows(1, 1);
  agg->create_app_category_mapping(String((dir + kFiles[5]).c_str()));
  agg->create_category_name_mapping(String((dir + kFiles[0]).c_str()));
  size_t named = 0;
  for (int32_t id = -2; id < kAppTableSize + 2; ++id) {
    named += std::strlen(agg->category_name(id));
    named += std::strlen(agg->app_name(id));
    if (agg->app_category(id) != 0 && (id < 0 || id >= kAppTableSize)) std::abort();
  }
  if (agg->app_category_map() == nullptr && agg->web_app_id() != 0) std::abort();
  return named == SIZE_MAX ? 1 : 0;
}
