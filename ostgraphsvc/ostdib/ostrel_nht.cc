#include "ostgraphsvc/ostdib/ostrel_nht.h"

#include <cstdio>

#include "graph/router_log.h"
#include "ostgraphsvc/ostdib/ostrel_dib.h"

namespace {

const char* pending_text(bool pending) { return pending ? "true" : "false"; }

// Lookups of pending destinations run per packet: their lines format
// addresses on the stack, and debug lines are skipped before any argument is
// built when the level is off.
struct AddrText {
  explicit AddrText(IPAddress address) {
    const unsigned char* b = address.data();
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
  }
  char text[16];
};

bool log_on(int level) { return cxLogEnabled && router_log_service_level(level) <= cxLogThreshold; }

bool path_holds(const Vector<NextHopNode>& path, IPAddress address) {
  for (const NextHopNode& node : path) {
    if (node.address == address) return true;
  }
  return false;
}

}  // namespace

NextHopElement::~NextHopElement() {
  for (auto it = endpoint_sets.begin(); it.live(); ++it) delete it->value;
}

int NextHopElement::add_nh_to_valid_nh_list(IPAddress nh, uint32_t nh_cost) {
  int at = 0;
  for (; at < valid_next_hops.size(); ++at) {
    if (valid_next_hops[at].address == nh) return -1;
    if (valid_next_hops[at].cost > nh_cost) break;
  }
  valid_next_hops.insert(valid_next_hops.begin() + at, NextHopNode{nh, nh_cost});
  ++version;
  if (log_on(7)) {
    log_syslog_level(7, "NextHopElement::add_nh_to_valid_nh_list", __FILE__, __LINE__,
                     "valid nh list updated (%s), increment the table version to %d",
                     AddrText(next_hop).text, version);
  }
  return 0;
}

bool NextHopElement::remove_from_valid_nh_list(IPAddress nh, uint32_t nh_cost) {
  const NextHopNode wanted{nh, nh_cost};
  for (int i = 0; i < valid_next_hops.size(); ++i) {
    if (!(valid_next_hops[i] == wanted)) continue;
    for (int j = i + 1; j < valid_next_hops.size(); ++j) {
      valid_next_hops[j - 1] = valid_next_hops[j];
    }
    valid_next_hops.pop_back();
    return true;
  }
  return false;
}

void NextHopElement::compare_and_update(IPAddress nh, uint32_t nh_cost, bool nh_pending,
                                        bool clear_path, const OstrelPeerPathQuery* overlay) {
  auto log_case = [&](const char* tag) {
    if (!log_on(7)) return;
    log_syslog_level(7, "NextHopElement::compare_and_update", __FILE__, __LINE__,
                     "NHT(%s): Compare and Update: _nh: %s, _cost: %d, _pending: %s, nh: %s, "
                     "cost: %d, pending: %s",
                     tag, AddrText(next_hop).text, static_cast<int>(cost), pending_text(pending),
                     AddrText(nh).text, static_cast<int>(nh_cost), pending_text(nh_pending));
  };
  const bool same = nh == next_hop;

  if (same && !pending && nh_pending) {
    // The chosen next hop became unreachable: fall back to the cheapest
    // other candidate, keeping this one listed for when it returns.
    log_case("Case4");
    remove_from_valid_nh_list(nh, nh_cost);
    if (!valid_next_hops.empty()) {
      next_hop = valid_next_hops[0].address;
      cost = valid_next_hops[0].cost;
      pending = overlay == nullptr || !overlay->peer_has_path(next_hop);
    } else {
      next_hop = nh;
      cost = nh_cost;
      pending = true;
    }
    add_nh_to_valid_nh_list(nh, nh_cost);
  } else if (!same && pending && !nh_pending) {
    log_case("Case2");
    add_nh_to_valid_nh_list(nh, nh_cost);
    next_hop = nh;
    cost = nh_cost;
    pending = false;
  } else if (!same && !pending && !nh_pending && nh_cost < cost) {
    log_case("Case2");
    remove_from_valid_nh_list(nh, nh_cost);
    add_nh_to_valid_nh_list(nh, nh_cost);
    next_hop = nh;
    cost = nh_cost;
    pending = false;
    // Falls through to the default handling, whose addition is refused.
    log_case("CaseDefault");
    add_nh_to_valid_nh_list(nh, nh_cost);
  } else if (same && pending && !nh_pending && nh_cost <= cost) {
    log_case("Case6");
    add_nh_to_valid_nh_list(nh, nh_cost);
    next_hop = nh;
    cost = nh_cost;
    pending = false;
  } else {
    log_case("CaseDefault");
    add_nh_to_valid_nh_list(nh, nh_cost);
  }
  if (clear_path) path.clear();
}

void NextHopElement::append_valid_next_hops(StringBuilder& sb) const {
  for (const NextHopNode& node : valid_next_hops) {
    sb << node.address.to_string() << '(' << node.cost << "),";
  }
}

void NextHopElement::append_tags(StringBuilder& sb) {
  for (auto it = tags.begin(); it.live(); ++it) {
    sb << it->key << '(';
    const Vector<String>& values = it->value;
    for (int i = 0; i < values.size(); ++i) {
      if (i > 0) sb << ", ";
      sb << values[i];
    }
    sb << "),";
  }
}

OstrelNextHopTracking::~OstrelNextHopTracking() {
  for (auto it = table_.begin(); it.live(); ++it) delete it->value;
}

NextHopElement* OstrelNextHopTracking::find(IPAddress destination) {
  auto it = table_.find(destination);
  return it.live() ? it->value : nullptr;
}

int OstrelNextHopTracking::add_nexthop(IPAddress destination, IPAddress nh, uint32_t nh_cost,
                                       bool nh_pending, const OstrelPeerPathQuery* overlay) {
  if (NextHopElement* element = find(destination)) {
    element->compare_and_update(nh, nh_cost, nh_pending, true, overlay);
    return 0;
  }
  auto* element = new NextHopElement(nh, nh_cost);
  element->add_nh_to_valid_nh_list(nh, nh_cost);
  element->pending = nh_pending;
  table_.find_insert(destination, element);
  return 0;
}

int OstrelNextHopTracking::remove_nexthop(IPAddress destination, IPAddress nh, uint32_t nh_cost) {
  NextHopElement* element = find(destination);
  if (element == nullptr) return -22;
  log_syslog_level(6, "OstrelNextHopTracking::remove_nexthop", __FILE__, __LINE__,
                   "NHT: remove nexthop currnh=%s nh=%s", AddrText(element->next_hop).text,
                   AddrText(nh).text);
  element->remove_from_valid_nh_list(nh, nh_cost);
  if (element->valid_next_hops.empty()) {
    element->next_hop = IPAddress(0xFFFFFFFFu);
    element->cost = 0xFFFFFFFFu;
  } else {
    element->next_hop = element->valid_next_hops[0].address;
    element->cost = element->valid_next_hops[0].cost;
  }
  element->pending = true;
  return 0;
}

// Searches for a pending destination run per packet, so their failure lines
// are rate-limited per call site.
int OstrelNextHopTracking::get_nexthop(IPAddress self, IPAddress destination, IPAddress* nh,
                                       const OstrelPeerPathQuery* overlay) {
  NextHopElement* element = find(destination);
  if (element == nullptr) {
    *nh = IPAddress();
    return -2;
  }
  *nh = element->next_hop;
  if (!element->pending) return 0;

  // The candidate list is not changed by the search, only by the update
  // that ends the walk.
  for (int i = 0; i < element->valid_next_hops.size(); ++i) {
    const NextHopNode start = element->valid_next_hops[i];
    element->path.clear();
    compute_best_path(self, destination, &start, element);
    if (element->path.empty()) {
      ROUTER_LOG_LIMITED(6, "OstrelNextHopTracking::get_nexthop",
                         "NHT: nexthop for dest=%s not found, go to next valid nexthop",
                         AddrText(destination).text);
      continue;
    }
    const NextHopNode nearest = element->path.back();
    *nh = nearest.address;
    element->compare_and_update(nearest.address, nearest.cost, false, false, overlay);
    log_syslog_level(6, "OstrelNextHopTracking::get_nexthop", __FILE__, __LINE__,
                     "new next hop for dest=%s is nh=%s", AddrText(destination).text,
                     AddrText(nearest.address).text);
    element->path.clear();
    return 0;
  }
  element->path.clear();
  *nh = IPAddress();
  return -2;
}

void OstrelNextHopTracking::compute_best_path(IPAddress self, IPAddress destination,
                                              const NextHopNode* start, NextHopElement* holder) {
  static const char* const kTag = "OstrelNextHopTracking::compute_best_path";
  NextHopElement* element = find(destination);
  if (element == nullptr) {
    ROUTER_LOG_LIMITED(6, kTag, "destination %s not in next hop table", AddrText(destination).text);
    return;
  }
  Vector<NextHopNode>& path = holder->path;
  if (path_holds(path, destination)) {
    ROUTER_LOG_LIMITED(6, kTag, "nexthop loop detected nh=%s already present in path",
                       AddrText(destination).text);
    path.clear();
    return;
  }
  if (path.size() >= kMaxPathHops) {
    ROUTER_LOG_LIMITED(4, kTag, "NHT: next hop search for dest=%s stopped after %d hops",
                       AddrText(destination).text, path.size());
    path.clear();
    return;
  }
  if (log_on(7)) {
    log_syslog_level(7, kTag, __FILE__, __LINE__, "finding path from %s to %s", AddrText(self).text,
                     AddrText(destination).text);
  }
  path.push_back(NextHopNode{destination, 0});
  if (element->next_hop == self || !element->pending) return;

  path.push_back(NextHopNode{element->next_hop, element->cost});
  for (const NextHopNode& node : element->valid_next_hops) {
    if (start != nullptr && !(node == *start)) {
      if (log_on(7)) {
        log_syslog_level(7, kTag, __FILE__, __LINE__,
                         "NHT: curr element %s(%u) does not match search start %s(%u)",
                         AddrText(node.address).text, node.cost, AddrText(start->address).text,
                         start->cost);
      }
      continue;
    }
    NextHopElement* hop = find(node.address);
    if (hop == nullptr) continue;
    if (log_on(7)) {
      log_syslog_level(7, kTag, __FILE__, __LINE__, "checking if %s is a valid next hop",
                       AddrText(node.address).text);
    }
    if (hop->pending) {
      if (log_on(7)) {
        log_syslog_level(7, kTag, __FILE__, __LINE__, "%s is a NOT valid next hop recursing",
                         AddrText(node.address).text);
      }
      compute_best_path(self, hop->next_hop, nullptr, holder);
      return;
    }
    if (log_on(7)) {
      log_syslog_level(7, kTag, __FILE__, __LINE__, "%s is a valid next hop",
                       AddrText(node.address).text);
    }
    path.push_back(NextHopNode{hop->next_hop, hop->cost});
    return;
  }
}

void OstrelNextHopTracking::format_nht(StringBuilder& sb) {
  sb << "Destination\t|NextHop\t|Cost\t|Pending|Path\t\t\t\t\t\t|Valid NHs\n";
  for (auto it = table_.begin(); it.live(); ++it) {
    const NextHopElement& e = *it->value;
    sb << it->key.to_string() << "\t|" << e.next_hop.to_string() << "\t|" << e.cost << "\t|"
       << (e.pending ? "*" : "-") << "\t|";
    for (const NextHopNode& node : e.path) sb << node.address.to_string() << "->";
    sb << (e.path.empty() ? "\t\t\t\t\t\t|" : "\t");
    e.append_valid_next_hops(sb);
    sb << '\n';
  }
}

void OstrelNextHopTracking::print_nht() {
  if (!log_on(7)) return;
  StringBuilder sb;
  format_nht(sb);
  log_syslog_level(7, "OstrelNextHopTracking::print_nht", __FILE__, __LINE__, "%s", sb.c_str());
}

void OstrelNextHopTracking::print_nht_json(Json& out) {
  if (out.type() != Json::kArray) out.make_unshared(Json::kArray);
  for (auto it = table_.begin(); it.live(); ++it) {
    const NextHopElement& e = *it->value;
    Json row;
    row.set("Destination", it->key.to_string());
    row.set("NextHop", e.next_hop.to_string());
    row.set("Cost", String(static_cast<unsigned>(e.cost)));
    row.set("Pending", e.pending ? "*" : "-");
    StringBuilder path;
    for (const NextHopNode& node : e.path) path << node.address.to_string() << "->";
    row.set("Path", path.take_string());
    StringBuilder valid;
    e.append_valid_next_hops(valid);
    row.set("ValidNHs", valid.take_string());
    out.append(row);
  }
}
