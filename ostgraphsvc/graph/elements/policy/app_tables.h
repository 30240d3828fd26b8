// The application tables of the policy element: what lets the flow analysis
// name a flow's application and category before any deep inspection.
//
// - `category_ids`: category name -> id, from "category_id.json", read once
//   in the life of this object;
// - `custom_app_names`: application id -> name, the first name for an id
//   staying;
// - three first-packet tables (TCP, UDP, any other protocol) from
//   "fapps.json" (custom apps), "fpdapps.json" and "fpddb.json" (predefined
//   apps), reloaded together when the text of "fapps.json" changed;
// - the host-app trie from "hostapps.json", rebuilt when its text changed
//   or it cannot be read, with `hostapp_generation` counting the loads.
//
// Files are read whole, without following links and only when they are
// regular files of at most 64 MiB; the text compared for change detection is
// the text parsed. Names, categories and labels longer than the service can
// use skip their element with a line naming the file, index and key; the
// rest of the file loads.
//
// Ownership: the policy element owns one object; the object owns its tables
// and trie. Pointers and texts it answers stay valid until the next reload
// of the same table.
//
// Threads: loaded by the element's configure (before packets flow) and
// reconfigure (on the packet thread), read on the packet thread. No locks.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_APP_TABLES_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_APP_TABLES_H_

#include <cstdint>
#include <memory>

#include "graph/hash_table.h"
#include "graph/json.h"
#include "graph/string.h"
#include "ostgraphsvc/graph/elements/policy/fpd_prefix_table.h"
#include "ostgraphsvc/graph/elements/policy/hostapp_trie.h"

// Translates the category names custom apps use into the names of the
// category table ("Mail" -> "Email", ...); true when `name` was replaced.
bool normalize_custom_app_category(const String& name, String* out);

// Reads a work file whole (a regular file, no links, at most
// PolicyAppTables::kMaxFileSize bytes): 0 with its text, or the errno value,
// after a line giving the size when it is too large.
int policy_read_work_file(const String& path, String* text);
// The document of a text as the framework's file parser judges it: null, []
// and {} are failures (after "Parse failed %s" with the text cut and escaped).
bool policy_parse_document(const String& text, Json* doc);

class PolicyAppTables {
 public:
  static constexpr size_t kMaxFileSize = size_t{64} << 20;
  static constexpr int kMaxText = 255;
  static constexpr int kMaxLabel = 63;
  static constexpr int kMaxLabels = 127;

  PolicyAppTables();
  ~PolicyAppTables();
  PolicyAppTables(const PolicyAppTables&) = delete;
  PolicyAppTables& operator=(const PolicyAppTables&) = delete;

  // Paths of the files, the work directory already in front.
  void set_category_file(const String& path) { category_path_ = path; }
  void set_app_files(const String& fapps, const String& fpdapps, const String& fpddb,
                     const String& hostapps);

  const String& fapps_path() const { return fapps_path_; }
  const String& fpdapps_path() const { return fpdapps_path_; }

  // The first configure's step: empty first-packet tables and an empty trie.
  // -1 after "Initializing Custom apps domain trie failed" when the trie root
  // cannot be allocated.
  bool tables_exist() const { return tcp_ != nullptr; }
  int create_tables();

  // Fills `category_ids` from the category file, at most once per object
  // (a failed read is not repeated). 0, or -1 after "Category id name map -
  // JSON parse failed".
  int create_category_id_mapping();

  // Loads the three first-packet files when "fapps.json" changed or they
  // were never loaded; with `reload` the names and tables are emptied
  // first. Always 0.
  int initialize_fcapp_config(bool reload);
  // Rebuilds the host-app trie when "hostapps.json" changed or cannot be
  // read. Always 0.
  int initialize_hostapp_config();

  // Read the file, compare it with the text remembered from the last read
  // and remember the new one: 1 changed, 0 unchanged, -1 (first-packet) or
  // 1 (host apps) when it cannot be read.
  int check_fapp_config_change();
  int check_hostapp_config_change();

  // The loaders of one parsed file each; `file` names it in skip lines.
  void parse_capp_config_json(const Json& doc, const String& file);
  void parse_fapp_config_json(const Json& doc, const String& file);
  void parse_hostapp_config_json(const Json& doc, const String& file);

  // The name stored for the id, or the empty text; valid until the next
  // first-packet reload.
  const String& get_custom_app_name(int app_id) const;
  // The id of the category name, 0 when unknown.
  int category_id(const String& name) const;

  const FpdPrefixTable* tcp_table() const { return tcp_.get(); }
  const FpdPrefixTable* udp_table() const { return udp_.get(); }
  const FpdPrefixTable* any_table() const { return any_.get(); }
  const HostAppTrieNode* hostapp_trie() const { return trie_; }
  int32_t hostapp_generation() const { return hostapp_generation_; }
  bool fpd_loaded() const { return fpd_loaded_; }
  int custom_app_name_count() const { return static_cast<int>(custom_app_names_.size()); }

 private:
  FpdPrefixTable* table_for(int protocol);
  void add_entry(const fpd_entry& entry);
  void add_app_name(int app_id, const String& name);
  void clear_app_names();
  void create_fpd_tables();

  String category_path_;
  String fapps_path_;
  String fpdapps_path_;
  String fpddb_path_;
  String hostapps_path_;

  String fapps_text_;  // last text read from "fapps.json"
  bool fapps_readable_ = false;
  String hostapps_text_;  // last text read from "hostapps.json"
  bool hostapps_readable_ = false;

  HashTable<String, int> category_ids_;
  HashTable<int, String> custom_app_names_;
  std::unique_ptr<FpdPrefixTable> tcp_;
  std::unique_ptr<FpdPrefixTable> udp_;
  std::unique_ptr<FpdPrefixTable> any_;
  HostAppTrieNode* trie_ = nullptr;
  int32_t hostapp_generation_ = 0;
  bool fpd_loaded_ = false;
  bool category_read_ = false;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_APP_TABLES_H_
