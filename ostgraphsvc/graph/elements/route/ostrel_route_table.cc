#include "ostgraphsvc/graph/elements/route/ostrel_route_table.h"

#include <atomic>
#include <cstring>
#include <new>

#include "graph/args.h"
#include "graph/error_handler.h"
#include "graph/ipaddress.h"
#include "graph/json.h"
#include "graph/packet.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/graph/elements/route/overlay_config_querier.h"
#include "platform/error/win_error.h"
#include "platform/shared_page/shared_page.h"

namespace {

std::atomic<OstrelRouteTable*> registered{nullptr};

// Bytes of JSON the page holds after its two words, a NUL after them.
constexpr int kPageTextLimit = 4086;

}  // namespace

OstrelRouteTable* registered_route_table() { return registered.load(std::memory_order_acquire); }

OstrelRouteTable::OstrelRouteTable() = default;

OstrelRouteTable::~OstrelRouteTable() {
  OstrelRouteTable* self = this;
  registered.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
  for (OstrelRadixIPLookup*& t : tables_) {
    delete t;
    t = nullptr;
  }
}

void* OstrelRouteTable::cast(const char* name) {
  return name != nullptr && std::strcmp(name, "OstrelRouteTable") == 0 ? this : nullptr;
}

OstrelRadixIPLookup* OstrelRouteTable::table(int index) const {
  return index >= 0 && index < kMaxTables ? tables_[index] : nullptr;
}

int OstrelRouteTable::configure(Vector<String>& conf, ErrorHandler* errh) {
  String path;
  Args(conf, this, errh).read_filename("CONF", Args::kPositional, path).commit();
  log_syslog_level(6, "OstrelRouteTable::configure", __FILE__, __LINE__, "config file path %s",
                   path.c_str());
  released_tables_.clear();
  table_count_ = 1;

  delete tables_[0];
  tables_[0] = new (std::nothrow) OstrelRadixIPLookup;
  if (tables_[0] != nullptr && !tables_[0]->has_root()) {
    delete tables_[0];
    tables_[0] = nullptr;
  }
  log_syslog_level(6, "OstrelRouteTable::configure", __FILE__, __LINE__,
                   "Creating global route table - rtid : %d ", tables_[0] != nullptr ? 0 : -1);
  if (path.empty()) return 0;
  path_ = path;
  load_static_routes(path_, errh);
  log_syslog_level(6, "OstrelRouteTable::configure", __FILE__, __LINE__, "RT: route table \n %s",
                   dump_routes().c_str());
  return 0;
}

int OstrelRouteTable::initialize(ErrorHandler*) {
  OstrelRouteTable* none = nullptr;
  registered.compare_exchange_strong(none, this, std::memory_order_acq_rel);
  return 0;
}

void OstrelRouteTable::load_static_routes(const String& path, ErrorHandler* errh) {
  OstrelRadixIPLookup* table0 = tables_[0];
  if (table0 == nullptr || path.empty()) return;
  Json doc;
  if (Json::file_parse(path, doc) < 0) return;
  const Json& routes = doc.get("routes");
  if (routes.type() != Json::kArray) return;
  const int count = routes.size();
  for (int i = 0; i < count; ++i) {
    const Json& entry = routes.get(String(i));
    const Json& destination = entry.get("destination");
    const Json& port = entry.get("port");
    if (destination.type() != Json::kString || port.type() != Json::kInteger) continue;
    RouteEntry route;
    if (!cp_parse_ip_prefix(destination.text(), true, &route.addr, &route.mask)) continue;
    const Json& next_hop = entry.get("nexthop");
    if (!cp_parse_ip_address(next_hop.text(), &route.gw)) route.gw = IPAddress();
    route.port = port.to_int();
    route.extra = 0;
    route.type = route.port == 1 ? kRouteTypeOverlay : kRouteTypeStatic;
    if (errh != nullptr)
      errh->message("Adding Static route: dst=%s, mask=%s, nhop=%s, port=%d\n",
                    route.addr.to_string().c_str(), route.mask.to_string().c_str(),
                    route.gw.to_string().c_str(), route.port);
    std::lock_guard<std::recursive_mutex> hold(section_);
    // A prefix already present keeps its first route.
    table0->add_route(route, false, nullptr, errh);
    bump_route_version();
  }
}

void OstrelRouteTable::reconfigure(ErrorHandler* errh) {
  std::lock_guard<std::recursive_mutex> hold(section_);
  if (tables_[0] != nullptr) tables_[0]->flush_table();
  load_static_routes(path_, errh);
  log_syslog_level(6, "OstrelRouteTable::reconfigure", __FILE__, __LINE__, "RT: route table \n %s",
                   dump_routes().c_str());
}

void OstrelRouteTable::push(int, Packet* p) {
  const OstrelOverlayConfigQuerier* querier = registered_overlay_config_querier();
  int result;
  {
    std::lock_guard<std::recursive_mutex> hold(section_);
    OstrelRadixIPLookup* t = tables_[p->route_table_anno()];
    result = t != nullptr ? t->handle_push(p, querier) : 0;
  }
  if (result < 0) result = 0;
  if (result >= noutputs()) {
    p->release();
    return;
  }
  output(result).push(p);
}

String OstrelRouteTable::dump_routes() {
  StringBuilder sb;
  for (int i = 0; i < table_count_ && i < kMaxTables; ++i) {
    if (tables_[i] == nullptr) continue;
    sb.append_printf(64, "\n\t\t\t\tRoute Table %d\n", i);
    sb << "\nNet/mask\t\tGateway\t\tPort\tl2idx\tl3idx\trtype\tvlanid\tmetric\n";
    sb << tables_[i]->OstrelRadixIPLookup::dump_routes();
  }
  return sb.take_string();
}

String OstrelRouteTable::dump_routes_json() {
  Json array;
  array.make_unshared(Json::kArray);
  for (int i = 0; i < table_count_ && i < kMaxTables; ++i) {
    if (tables_[i] != nullptr) table_to_json(tables_[i], String(i), array);
  }
  return array.to_text();
}

void OstrelRouteTable::rt_update_shm_stats() {
  const uint32_t version = route_version();
  if (version == page_version_) return;
  log_syslog_level(6, "OstrelRouteTable::rt_update_shm_stats", __FILE__, __LINE__,
                   "OstRT: route version(%u) and file version(%u) out of sync, update route stats",
                   version, page_version_);
  bool made = false;
  if (page_ == nullptr) {
    page_ = std::make_unique<platform::SharedPage>();
    const uint32_t rc = page_->open(kPageName);
    if (rc != platform::kErrorSuccess) {
      log_syslog_level(3, "GRAPH_LOG_LERR", __FILE__, __LINE__, "%s failed, error:%s(%d)\n",
                       "OstRT: unable to create route table shm", platform::win_error_text(rc),
                       static_cast<int>(rc));
      page_.reset();  // tried again at the next update
      return;
    }
    made = true;
  }
  unsigned char* page = page_->data();
  log_syslog_level(6, "OstrelRouteTable::rt_update_shm_stats", __FILE__, __LINE__,
                   "OstRT: route table shm created %p", static_cast<void*>(page));
  if (made) std::memset(page, 0, platform::SharedPage::kPageSize);

  const String json = dump_routes_json();
  const uint32_t words[2] = {static_cast<uint32_t>(json.length()) + 4, page_version_};
  std::memcpy(page, words, sizeof(words));
  const int n = json.length() < kPageTextLimit ? json.length() : kPageTextLimit;
  std::memcpy(page + 8, json.data(), static_cast<size_t>(n));
  page[8 + n] = 0;
  page_version_ = version;
}
