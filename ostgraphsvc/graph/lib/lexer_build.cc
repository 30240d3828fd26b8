// From a parsed text to a Router: placing compound elements, creating the
// elements, resolving tunnels into direct connections.
#include <cstdint>
#include <unordered_set>
#include <utility>

#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/framework_qsort.h"
#include "graph/lexer.h"
#include "graph/router.h"

namespace {

// Far above any real graph; bounds what nested compound uses can place.
constexpr int kMaxPlacedElements = 100000;

String element_landmark(const LexerTables::Compound* c, int e) {
  return make_landmark(c->element_file(e), c->element_line(e));
}

// `end` resolved to nothing: names the port that nothing uses, in the terms
// of the group or compound whose entrance or exit it is when it is one.
void report_unused(Lexer& lexer, const LexerTables::TunnelEndpoint* end) {
  const LexerTables::TunnelEndpoint* partner = end->partner;
  if (partner == nullptr) return;
  const LexerTables::TunnelEndpoint* in = end->output ? partner : end;
  const LexerTables::TunnelEndpoint* out = end->output ? end : partner;
  const String in_name = lexer.element_display_name(in->element);
  const String out_name = lexer.element_display_name(out->element);
  const LexerTables::Compound* top = lexer.top_compound();
  ErrorHandler* errh = lexer.errh();

  if (in_name + "/input" == out_name) {
    errh->landmark_error(element_landmark(top, in->element),
                         end->output ? "%<%s%> input %d unused" : "%<%s%> has no input %d",
                         in_name.c_str(), in->port);
    return;
  }
  if (in_name == out_name + "/output") {
    errh->landmark_error(element_landmark(top, out->element),
                         end->output ? "%<%s%> has no output %d" : "%<%s%> output %d unused",
                         out_name.c_str(), out->port);
    return;
  }
  errh->landmark_error(element_landmark(top, partner->element), "tunnel %<%s -> %s%> %s %d unused",
                       in_name.c_str(), out_name.c_str(), end->output ? "output" : "input",
                       end->port);
}

}  // namespace

void LexerTables::TunnelEndpoint::collect_targets(Lexer& lexer, Vector<ElementPort>& out) {
  if (collected == 1) return;
  if (collected == 0) {
    collected = 1;
    Vector<ElementPort> taken = std::move(targets);
    targets.clear();
    if (taken.empty()) report_unused(lexer, this);
    Vector<ElementPort> resolved;
    for (const ElementPort& t : taken) lexer.resolve_port(t.element, t.port, output, resolved);
    // Each port once: nested tunnels can reach one port along many paths,
    // and keeping every path doubles the list at each level of nesting.
    std::unordered_set<uint64_t> seen;
    for (const ElementPort& t : resolved) {
      const uint64_t key = static_cast<uint64_t>(static_cast<uint32_t>(t.element)) << 32 |
                           static_cast<uint32_t>(t.port);
      if (seen.insert(key).second) targets.push_back(t);
    }
    collected = 2;
  }
  for (const ElementPort& t : targets) out.push_back(t);
}

void Lexer::resolve_port(int e, int port, bool output, Vector<ElementPort>& out) {
  if (top_->element_class(e) != kTunnelClass) {
    out.push_back(ElementPort{e, port});
    return;
  }
  if (TunnelEndpoint* end = find_tunnel_endpoint(e, port, output, false)) {
    end->collect_targets(*this, out);
    return;
  }
  if (!has_tunnel_endpoint(e, port, !output)) return;
  errh_->landmark_error(element_landmark(top_, e), "%<%s%> used as %s",
                        element_display_name(e).c_str(), output ? "output" : "input");
}

void Lexer::expand_element(int e, VariableEnvironment& env) {
  Compound* top = top_;
  if (!top->element_name(e).empty() && top->element_name(e)[0] == ';')
    top->settle_anonymous_name(e);
  const int c = top->element_class(e);
  if (c == kTunnelClass) return;
  expansion_budget_.set_landmark(element_landmark(top, e));
  const String config = expand_variables(top->element_config(e), env, 0, expansion_budget_);
  top->set_element_config(e, config);

  Compound* compound = class_compound(c);
  if (compound == nullptr) return;
  // The graph's replacement budget is spent: placing more would only copy
  // texts left unreplaced. The error was reported where it ran out.
  if (expansion_budget_.exhausted()) {
    top->set_element_class(e, kErrorClass);
    return;
  }
  // Classes that use another class several times multiply at every level:
  // a short text could otherwise place billions of elements.
  if (top->nelements() > kMaxPlacedElements) {
    errh_->landmark_error(element_landmark(top, e), "too many elements in configuration");
    top->set_element_class(e, kErrorClass);
    return;
  }
  // Self-referring classes would otherwise place without end.
  if (placing_depth_ + 1 >= kMaxNestingDepth) {
    errh_->landmark_error(element_landmark(top, e),
                          "maximum compound element nesting depth exceeded");
    top->set_element_class(e, kErrorClass);
    return;
  }
  Vector<String> arguments;
  cp_split_arguments(config, &arguments);
  const int chosen = compound->select_alternative(
      *this, c, top->element_ninputs(e), top->element_noutputs(e), arguments, errh_, landmark());
  if (chosen < 0) {
    top->set_element_class(e, kErrorClass);
    return;
  }
  Compound* placed = class_compound(chosen);
  if (placed == nullptr) {
    top->set_element_class(e, chosen);
    return;
  }
  VariableEnvironment use_env = placed->make_use_environment(&env, arguments, &expansion_budget_);
  ++placing_depth_;
  placed->place_into(*this, e, use_env);
  --placing_depth_;
}

void LexerTables::Compound::place_into(Lexer& lexer, int element, VariableEnvironment& env) {
  Compound* top = lexer.top_compound();
  ErrorHandler* errh = lexer.errh();
  top->set_element_class(element, kTunnelClass);
  const String name = top->element_name(element);
  const String use_landmark = element_landmark(top, element);

  int tunnel;
  Vector<int> map;
  map.resize(nelements(), -1);
  lexer.add_tunnel_triple(name, tunnel, map[0], map[1]);

  for (int j = 2; j < nelements(); ++j) {
    const String full = name + "/" + names_[j];
    // A body group's tunnel is followed by its "/input" and "/output".
    const bool group = classes_[j] == kTunnelClass && j + 2 < nelements();
    auto existing = top->element_map().find(full);
    if (existing.live() && existing->value >= 0) {
      report_redeclaration(errh, "element", full, use_landmark,
                           element_landmark(top, existing->value));
      if (group) j += 2;
      continue;
    }
    if (lexer.class_index(full) >= 0)
      errh->landmark_error(use_landmark, "%<%s%> is an element class", full.c_str());
    if (group) {
      lexer.add_tunnel_triple(full, map[j], map[j + 1], map[j + 2]);
      j += 2;
      continue;
    }
    VariableExpansionLimit& budget = lexer.expansion_budget();
    budget.set_landmark(make_landmark(files_[j], lines_[j]));
    map[j] = lexer.find_or_add_element(
        full, classes_[j], expand_variables(configs_[j], env, 0, budget), files_[j], lines_[j]);
  }

  for (const Connection& k : connections_) {
    if (map[k.to_element] < 0 || map[k.from_element] < 0) continue;
    if (!top->add_connection(map[k.from_element], k.from_port, map[k.to_element], k.to_port)) {
      lexer.report_connection_limit(use_landmark);
      break;
    }
  }

  for (int j = 2; j < nelements(); ++j) {
    if (map[j] >= 0) lexer.expand_element(map[j], env);
  }
}

Router* Lexer::build_router(Master* master) {
  Router* router = new Router(input_.text, master);
  try {
    fill_router(router);
  } catch (...) {
    delete router;
    throw;
  }
  return router;
}

void Lexer::fill_router(Router* router) {
  Compound* top = top_;
  compound_ = top;

  const int nplaced = top->nelements();
  for (int e = 0; e < nplaced; ++e) expand_element(e, top->scope());

  Vector<int> router_index;
  router_index.resize(top->nelements(), -1);
  for (int e = 0; e < top->nelements(); ++e) {
    const int c = top->element_class(e);
    if (c == kTunnelClass) continue;
    const ClassEntry& entry = classes_[c];
    Element* made = entry.factory != nullptr ? entry.factory(entry.thunk) : nullptr;
    if (made == nullptr) {
      errh_->landmark_error(element_landmark(top, e), "failed to create element %<%s%>",
                            top->element_name(e).c_str());
      continue;
    }
    // The router owns the element once it holds it.
    try {
      router_index[e] = router->add_element(made, top->element_name(e), top->element_config(e),
                                            top->element_file(e), top->element_line(e));
    } catch (...) {
      if (made->router() == nullptr) delete made;
      throw;
    }
  }

  // Each tunnel end learns the real ports on its far side: the output end
  // inside collects the sources outside, the input end the destinations.
  if (!tunnels_.empty()) {
    for (const Connection& k : top->connections()) {
      if (router_index[k.to_element] < 0) {
        if (TunnelEndpoint* end = find_tunnel_endpoint(k.to_element, k.to_port, false, false))
          if (end->partner != nullptr)
            end->partner->targets.push_back(ElementPort{k.from_element, k.from_port});
      }
      if (router_index[k.from_element] < 0) {
        if (TunnelEndpoint* end = find_tunnel_endpoint(k.from_element, k.from_port, true, false))
          if (end->partner != nullptr)
            end->partner->targets.push_back(ElementPort{k.to_element, k.to_port});
      }
    }
  }

  // A tunnel fed by n sources and feeding n sinks stands for n * n
  // connections: the table's bound stops a fan-out that would not fit.
  const int nconnections = top->connections().size();
  bool full = false;
  for (int i = 0; i < nconnections && !full; ++i) {
    const Connection k = top->connections()[i];
    if (router_index[k.from_element] >= 0 && router_index[k.to_element] >= 0) continue;
    Vector<ElementPort> sources;
    Vector<ElementPort> destinations;
    resolve_port(k.from_element, k.from_port, true, sources);
    resolve_port(k.to_element, k.to_port, false, destinations);
    for (const ElementPort& s : sources) {
      if (full) break;
      if (router_index[s.element] < 0) continue;
      for (const ElementPort& d : destinations) {
        if (router_index[d.element] < 0) continue;
        if (top->add_connection(s.element, s.port, d.element, d.port)) continue;
        const int tunnel = router_index[k.from_element] < 0 ? k.from_element : k.to_element;
        report_connection_limit(element_landmark(top, tunnel));
        full = true;
        break;
      }
    }
  }

  // Sorted, so that the router's duplicate test meets only its last entry.
  Vector<Router::Connection> translated;
  for (const Connection& k : top->connections()) {
    translated.push_back(Router::Connection{router_index[k.to_element], k.to_port,
                                            router_index[k.from_element], k.from_port});
  }
  framework_qsort(translated.data(), translated.size(), sizeof(Router::Connection),
                  Router::Connection::compare, nullptr);
  for (const Router::Connection& k : translated) {
    if (k.from_eindex >= 0 && k.to_eindex >= 0)
      router->add_connection(k.from_eindex, k.from_port, k.to_eindex, k.to_port);
  }

  for (int i = 0; i + 1 < requirements_.size(); i += 2)
    router->add_requirement(requirements_[i], requirements_[i + 1]);
}
