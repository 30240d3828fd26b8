// OstrelRouteTable: the route table element "rt" of the packet graph.
//
// It owns up to 256 numbered lookup tables (OstrelRadixIPLookup); configure
// (phase 7) makes table 0, the process-wide route table, and fills it from
// the static route file named by "CONF". Each packet is looked up in the
// table its route-table annotation names (an empty slot sends it to output
// 0): output 1 for packets with a next hop or for the overlay's own /16,
// the default route's port for default-matched packets, the route's port
// otherwise, output 0 for packets without a route or not marked for
// routing; a port beyond the connected outputs drops the packet. The
// overlay's querier is read from its registration for every packet (one
// atomic load), so an overlay that registers late is still seen and one that
// goes leaves no dangling pointer behind. Its own
// inherited lookup serves only the route handlers; "table" and
// "table_json" show the numbered tables.
//
// Route changes (static routes loaded, route messages applied) count in the
// route version; `rt_update_shm_stats` rewrites the 4096-byte page
// "Global\shmroutestats" (word 0 = JSON length + 4, word 1 = the page
// version before the update, the JSON text from byte 8, cut to 4086
// characters) when the route version moved.
//
// The first route table to initialize is the registered one
// (`registered_route_table`), which the control socket's route messages
// and the keepalive probe use; the registration goes with the element.
//
// Threads: every change and lookup of table 0 runs under the critical
// section, a recursive mutex (a reload enters it again for each route). A
// route message handler locks it, changes table 0 and calls
// `bump_route_version` before unlocking. The dumps and the page update read
// the tables without it and run on the packet thread like every writer
// after start-up.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OSTREL_ROUTE_TABLE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OSTREL_ROUTE_TABLE_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "graph/string.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/route/ostrel_radix_ip_lookup.h"

namespace platform {
class SharedPage;
}

class OstrelRouteTable : public OstrelRadixIPLookup {
 public:
  static constexpr int kMaxTables = 256;
  static constexpr char kPageName[] = "Global\\shmroutestats";

  OstrelRouteTable();
  ~OstrelRouteTable() override;

  void push(int port, Packet* p) override;
  const char* class_name() const override { return "OstrelRouteTable"; }
  const char* port_count() const override { return "1/-"; }
  const char* processing() const override { return kPush; }
  // "OstrelRouteTable" only.
  void* cast(const char* name) override;
  int configure_phase() const override { return 7; }
  // "CONF" (keyword or first argument): the static route file. Always 0: a
  // missing or bad file only means fewer static routes.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;

  // Every numbered table.
  String dump_routes() override;
  String dump_routes_json() override;

  // Reads the static route file into table 0 (each route under the
  // section), reporting each route to `errh` when given.
  void load_static_routes(const String& path, ErrorHandler* errh);
  // Under the section: flushes table 0 and reloads the static route file.
  void reconfigure(ErrorHandler* errh);
  // Rewrites the status page when the route version changed.
  void rt_update_shm_stats();

  std::recursive_mutex& critical_section() { return section_; }
  // Table `index`, or null (also for an index out of range).
  OstrelRadixIPLookup* table(int index) const;
  int table_count() const { return table_count_; }
  uint32_t route_version() const { return route_version_.load(std::memory_order_relaxed); }
  uint32_t page_version() const { return page_version_; }
  void bump_route_version() { route_version_.fetch_add(1, std::memory_order_relaxed); }
  // Indexes of tables the policy element's reload deleted.
  Vector<int>& released_table_indexes() { return released_tables_; }
  const String& config_path() const { return path_; }

 private:
  std::unique_ptr<platform::SharedPage> page_;
  OstrelRadixIPLookup* tables_[kMaxTables] = {};
  Vector<int> released_tables_;
  int table_count_ = 0;
  std::atomic<uint32_t> route_version_{0};
  uint32_t page_version_ = 1;
  std::recursive_mutex section_;
  String path_;
};

// The registered route table, or null.
OstrelRouteTable* registered_route_table();

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ROUTE_OSTREL_ROUTE_TABLE_H_
