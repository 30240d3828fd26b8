// The overlay CONF file feeds the device information base and, through the
// entries' lists, the next-hop table. Whatever the file holds, loading it,
// feeding the table, asking for every destination's next hop and dumping
// both must not crash, overread or leak; the DIB never holds more than 1999
// entries and every search leaves its scratch path empty.
#include <cstdint>
#include <cstdlib>

#include "graph/json.h"
#include "graph/string.h"
#include "graph/string_builder.h"
#include "ostgraphsvc/ostdib/ostrel_dib.h"
#include "ostgraphsvc/ostdib/ostrel_nht.h"
#include "ostgraphsvc/ostdib/peer_path_query.h"

namespace {

// Peers whose last address byte is odd have a tunnel up.
class OddPeers : public OstrelPeerPathQuery {
 public:
  bool peer_has_path(IPAddress address) const override { return (address.data()[3] & 1) != 0; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 16)) return 0;
  Json conf = Json::parse(String(reinterpret_cast<const char*>(data), static_cast<int>(size)));
  if (conf.is_null()) return 0;

  OstrelDIBManager dibs;
  dibs.parse_dib_json(conf.get("local"), true);
  const Json& remote = conf.get("remote");
  for (int i = 0; i < remote.size(); ++i) dibs.parse_dib_json(remote.get(String(i)), false);
  if (dibs.entry_count() > OstrelDIBManager::kMaxHandle) std::abort();

  OddPeers overlay;
  OstrelNextHopTracking nht;
  IPAddress self;
  for (auto it = dibs.address_table().begin(); it.live(); ++it) {
    OstrelDIB* dib = dibs.entry(it->value);
    if (dib == nullptr) std::abort();
    if (dib->local) self = dib->overlay_address;
    const IPAddress m = dib->overlay_address;
    for (const NextHopElement* e : dib->next_hops) {
      nht.add_nexthop(m, e->next_hop, e->cost, !overlay.peer_has_path(e->next_hop), &overlay);
    }
    for (const NextHopElement* e : dib->routeable_overlays) {
      nht.add_nexthop(e->next_hop, m, e->cost, !overlay.peer_has_path(m), &overlay);
    }
    if (!dib->next_hops.empty()) {
      const NextHopElement* first = dib->next_hops[0];
      if (first->cost & 1) nht.remove_nexthop(m, first->next_hop, first->cost);
    }
    OstrelDIBSummary summary;
    if (dibs.get_dib_summary(m, &summary) != 0) std::abort();
  }

  for (auto it = nht.table().begin(); it.live(); ++it) {
    IPAddress nh;
    int result = nht.get_nexthop(self, it->key, &nh, &overlay);
    if (result != 0 && (result != -2 || !nh.empty())) std::abort();
    if (!it->value->path.empty()) std::abort();
  }

  StringBuilder sb;
  dibs.print_dibs(sb);
  nht.format_nht(sb);
  Json dumps;
  dibs.print_dibs_json(dumps);
  nht.print_nht_json(dumps);
  if (dumps.size() != static_cast<int>(dibs.entry_count() + nht.size())) std::abort();
  return 0;
}
