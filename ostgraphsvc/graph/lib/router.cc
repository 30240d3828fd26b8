#include "graph/router.h"

#include <climits>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "graph/bitvector.h"
#include "graph/confparse.h"
#include "graph/error_handler.h"
#include "graph/framework_qsort.h"
#include "graph/hash_map.h"
#include "graph/master.h"
#include "graph/router_log.h"

namespace {

NameRegistry* registry_of(const Element* element) {
  Router* router = element->router();
  return router != nullptr ? &router->name_registry() : nullptr;
}

int compare_ints(int a, int b) { return a < b ? -1 : (a > b ? 1 : 0); }

// Orders indexes into the connection list by output end.
int compare_by_output(const void* a, const void* b, void* context) {
  const auto* list = static_cast<const Router::Connection*>(context);
  const Router::Connection& x = list[*static_cast<const int*>(a)];
  const Router::Connection& y = list[*static_cast<const int*>(b)];
  if (int c = compare_ints(x.from_eindex, y.from_eindex)) return c;
  if (int c = compare_ints(x.from_port, y.from_port)) return c;
  if (int c = compare_ints(x.to_eindex, y.to_eindex)) return c;
  return compare_ints(x.to_port, y.to_port);
}

// Byte order over the shorter length, then the shorter first.
int compare_names(const String& a, const String& b) {
  const int n = a.length() < b.length() ? a.length() : b.length();
  if (n > 0) {
    if (int c = std::memcmp(a.data(), b.data(), static_cast<size_t>(n))) return c;
  }
  return compare_ints(a.length(), b.length());
}

int compare_element_names(const void* a, const void* b, void* context) {
  const auto* names = static_cast<const String*>(context);
  return compare_names(names[*static_cast<const int*>(a)], names[*static_cast<const int*>(b)]);
}

// Orders element indexes by the phase each element configures in.
int compare_phases(const void* a, const void* b, void* context) {
  const auto* phases = static_cast<const int*>(context);
  return compare_ints(phases[*static_cast<const int*>(a)], phases[*static_cast<const int*>(b)]);
}

constexpr char kInitializeTag[] = "Router::initialize";

const char* processing_name(int code) { return code == Element::kProcessingPull ? "pull" : "push"; }

// One entry of the push/pull resolution: a connection, or a pair of an
// agnostic input and an agnostic output of one element that must agree.
struct ProcessingLink {
  Router::Connection c;
  bool internal;
  bool dropped;
};

}  // namespace

Router::Router(const String& configuration, Master* master)
    : master_(master),
      root_element_(new ErrorElement),
      configuration_(configuration),
      arena_factory_(new HashMap_ArenaFactory) {
  root_element_->router_ = this;
  NameRegistry::router_registry = registry_of;
  if (master_ != nullptr) master_->register_router(this);
}

Router::~Router() {
  if (refcount_ != 0)
    router_chatter("deleting router while ref count = %d", static_cast<int>(refcount_));
  // Maps still alive keep their arenas.
  delete arena_factory_;
  arena_factory_ = nullptr;

  // A dead router cleaned up at its failure; one that never configured
  // has no configure order to follow.
  if (state_ == kLive) {
    remove_from_threads();
    for (int i = configure_order_.size() - 1; i >= 0; --i)
      elements_[configure_order_[i]]->cleanup(Element::kCleanupRouterInitialized);
  } else if (state_ != kDead) {
    for (int i = elements_.size() - 1; i >= 0; --i)
      elements_[i]->cleanup(Element::kCleanupNotConfigured);
  }
  if (!configure_order_.empty()) {
    for (int i = configure_order_.size() - 1; i >= 0; --i) delete elements_[configure_order_[i]];
  } else {
    for (Element* e : elements_) delete e;
  }
  delete root_element_;

  while (signal_blocks_ != nullptr) {
    SignalBlock* next = signal_blocks_->next;
    delete signal_blocks_;
    signal_blocks_ = next;
  }
  for (Handler* block : handler_blocks_) delete[] block;
  if (master_ != nullptr) master_->unregister_router(this);
}

void Router::unuse() {
  if (--refcount_ == 0) delete this;
}

int Router::home_thread_id(const Element* element) const {
  if (element == nullptr || element->router_ != this) return kUnassignedThread;
  const int i = element->eindex_ + 1;
  return i < home_thread_ids_.size() ? home_thread_ids_[i] : kUnassignedThread;
}

Router::RouterContextErrh::RouterContextErrh(ErrorHandler* inner, const char* text,
                                             Element* element)
    : ContextErrorHandler(inner, ""), text_(text), element_(element) {}

String Router::RouterContextErrh::decorate(const String& message) {
  // Built at the first message, so an element that reports nothing costs no
  // formatting.
  if (!context_printed()) {
    const String context = format("%s %<%p{element}%>:", text_, element_);
    const Router* router = element_->router();
    const String landmark =
        router != nullptr ? router->element_landmark(element_->eindex()) : String();
    set_context(combine_annotations(context, landmark_annotation(landmark)));
  }
  return ContextErrorHandler::decorate(message);
}

int Router::check_connection_ends(ErrorHandler* errh) {
  const int n = elements_.size();
  const bool failed = remove_connections_if([&](const Connection& c) {
    bool bad = false;
    for (const auto& [eindex, port] :
         {std::pair{c.to_eindex, c.to_port}, std::pair{c.from_eindex, c.from_port}}) {
      if (eindex < 0 || eindex >= n || elements_[eindex] == nullptr) {
        errh->error("bad element number %<%d%>", eindex);
        bad = true;
      }
      if (port < 0) {
        errh->error("bad port number %<%d%>", port);
        bad = true;
      }
    }
    return bad;
  });
  return failed ? -1 : 0;
}

template <typename Bad>
bool Router::remove_connections_if(Bad bad) {
  bool removed = false;
  for (int i = 0; i < connections_.size();) {
    if (!bad(connections_[i])) {
      ++i;
      continue;
    }
    removed = true;
    remove_connection(i);
  }
  return removed;
}

void Router::remove_from_threads() {
  const int old = running_state_;
  running_state_ = kRunningDead;
  if (old < 0 || master_ == nullptr) return;
  // An active router holds no pause; a preparing one still holds the one
  // `initialize` took, which this gives back.
  if (old > 0) master_->pause();
  for (int id = -1; id < master_->nthreads() - 1; ++id) master_->thread(id)->remove_router(this);
  master_->unpause();
}

int Router::initialize(ErrorHandler* errh) {
  log_syslog_level(6, kInitializeTag, __FILE__, __LINE__, "Initializing router");
  if (state_ != kNew) return errh->error("second attempt to initialize router");
  state_ = kConfiguring;
  reset_handlers(false, false);
  if (check_connection_ends(errh) < 0) return -1;

  const int n = elements_.size();
  home_thread_ids_.clear();
  home_thread_ids_.resize(n + 1, kUnassignedThread);
  Vector<int> phases;
  configure_order_.clear();
  for (int i = 0; i < n; ++i) {
    phases.push_back(elements_[i]->configure_phase());
    configure_order_.push_back(i);
  }
  framework_qsort(configure_order_.data(), static_cast<size_t>(n), sizeof(int), compare_phases,
                  phases.data());

  bool graph_ok = check_port_numbers(errh) >= 0;
  if (graph_ok) {
    make_port_offsets();
    graph_ok = resolve_processing(errh) >= 0 && check_connection_use(errh) >= 0;
  }
  if (graph_ok) wire_ports();

  runcount_ = 1;
  running_state_ = kRunningPreparing;
  if (master_ != nullptr) master_->pause();

  Vector<int> stages;
  stages.resize(n, Element::kCleanupNotConfigured);
  if (!graph_ok) return fail_initialize(errh, stages);

  std::srand(static_cast<unsigned>(std::time(nullptr)));

  bool configured = true;
  for (int eindex : configure_order_) {
    Element* e = elements_[eindex];
    Vector<String> conf;
    cp_split_arguments(element_configurations_[eindex], &conf);
    RouterContextErrh cerrh(errh, "While configuring", e);
    const int r = e->configure(conf, &cerrh);
    if (r >= 0) {
      stages[eindex] = Element::kCleanupConfigured;
      log_syslog_level(6, kInitializeTag, __FILE__, __LINE__, "element %s configure successfully",
                       element_names_[eindex].c_str());
      continue;
    }
    stages[eindex] = Element::kCleanupConfigureFailed;
    configured = false;
    log_syslog_level(3, kInitializeTag, __FILE__, __LINE__, "element %s configure failed",
                     element_names_[eindex].c_str());
    if (cerrh.error_count() == 0) cerrh.error(r == -12 ? "out of memory" : "unspecified error");
  }
  if (!configured) return fail_initialize(errh, stages);

  state_ = kInitializing;
  reset_handlers(true, true);

  for (int eindex : configure_order_) {
    Element* e = elements_[eindex];
    RouterContextErrh cerrh(errh, "While initializing", e);
    if (e->initialize(&cerrh) >= 0) {
      stages[eindex] = Element::kCleanupInitialized;
      continue;
    }
    // An unknown class was reported by the parser already.
    if (cerrh.error_count() == 0 && e->cast("Error") == nullptr) cerrh.error("unspecified error");
    stages[eindex] = Element::kCleanupInitializeFailed;
    log_syslog_level(6, kInitializeTag, __FILE__, __LINE__, "element %s initialization failed",
                     element_names_[eindex].c_str());
    return fail_initialize(errh, stages);
  }

  for (int& id : home_thread_ids_) {
    if (id == kUnassignedThread) id = 0;
  }
  state_ = kLive;
  return 0;
}

int Router::fail_initialize(ErrorHandler* errh, const Vector<int>& stages) {
  state_ = kDead;
  errh->error("Router could not be initialized!");
  remove_from_threads();
  for (int i = configure_order_.size() - 1; i >= 0; --i) {
    const int eindex = configure_order_[i];
    elements_[eindex]->cleanup(static_cast<Element::CleanupStage>(stages[eindex]));
  }
  reset_handlers(true, false);
  runcount_ = 0;
  return -1;
}

void Router::activate() {
  if (state_ != kLive || running_state_ != kRunningPreparing) return;
  running_state_ = kRunningActive;
  if (master_ != nullptr) master_->unpause();
}

int Router::add_element(Element* element, const String& name, const String& configuration,
                        const String& file, int line) {
  if (state_ != kNew || element == nullptr || element->router_ != nullptr) return -1;
  // Offsets are ints: a line that would not fit is stored as line 0 (the
  // landmark names the file alone) rather than wrapping into another file.
  const bool same_file = !landmarks_.empty() && landmarks_.back().file == file;
  const int base = same_file ? landmarks_.back().first_offset : next_landmark_offset_;
  if (line < 0 || static_cast<int64_t>(base) + line >= INT_MAX) line = 0;
  const int offset = base + line;

  // When memory runs out part way, the tables go back as they were and the
  // caller still owns the element.
  const int n = elements_.size();
  const int nlandmarks = landmarks_.size();
  try {
    element_names_.push_back(name);
    element_configurations_.push_back(configuration);
    if (!same_file) landmarks_.push_back(Landmark{next_landmark_offset_, file});
    element_landmarks_.push_back(offset);
    elements_.push_back(element);
  } catch (...) {
    element_names_.resize(n);
    element_configurations_.resize(n);
    element_landmarks_.resize(n);
    landmarks_.resize(nlandmarks);
    throw;
  }
  if (next_landmark_offset_ <= offset && offset < INT_MAX) next_landmark_offset_ = offset + 1;

  element->router_ = this;
  element->eindex_ = elements_.size() - 1;
  return element->eindex_;
}

int Router::add_connection(int from_eindex, int from_port, int to_eindex, int to_port) {
  if (state_ != kNew) return -1;
  const Connection c{to_eindex, to_port, from_eindex, from_port};
  const int n = connections_.size();
  if ((flags_ & kConnectionsSorted) && n > 0 &&
      Connection::compare(&c, &connections_[n - 1], nullptr) < 0)
    flags_ &= static_cast<uint8_t>(~kConnectionsSorted);
  // A sorted list can only repeat its last record.
  const int first = (flags_ & kConnectionsSorted) ? n - 1 : 0;
  for (int i = first < 0 ? 0 : first; i < n; ++i) {
    if (connections_[i] == c) return 0;
  }
  connections_.push_back(c);
  return 0;
}

Element* Router::element(int i) const {
  if (i == -1) return root_element_;
  return i >= 0 && i < elements_.size() ? elements_[i] : nullptr;
}

const String& Router::ename(int i) const {
  return i >= 0 && i < element_names_.size() ? element_names_[i] : String::make_empty();
}

const String& Router::econfiguration(int i) const {
  return i >= 0 && i < element_configurations_.size() ? element_configurations_[i]
                                                      : String::make_empty();
}

String Router::element_landmark(int i) const {
  if (i < 0 || i >= element_landmarks_.size()) return String();
  const int offset = element_landmarks_[i];
  // The last table entry whose first offset is not above the element's.
  int lo = 0;
  int hi = landmarks_.size();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (landmarks_[mid].first_offset <= offset) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  if (lo == 0) return String();
  const Landmark& entry = landmarks_[lo - 1];
  if (offset == entry.first_offset) return entry.file;
  const String line(offset - entry.first_offset);
  if (entry.file.empty()) return ":" + line;
  const char last = entry.file[entry.file.length() - 1];
  if (last == ':' || last == ' ' || last == '\t' || last == '\n' || last == '\r' || last == '\f' ||
      last == '\v')
    return entry.file + line;
  return entry.file + ":" + line;
}

void* Router::find_attachment(const String&) const { return nullptr; }

Element* Router::find_element_in_context(const String& name, const String& context) {
  if (name_sorted_.size() < elements_.size()) {
    for (int i = name_sorted_.size(); i < elements_.size(); ++i) name_sorted_.push_back(i);
    framework_qsort(name_sorted_.data(), static_cast<size_t>(name_sorted_.size()), sizeof(int),
                    compare_element_names, element_names_.data());
  }

  String prefix = context;
  while (true) {
    const String wanted = prefix + name;
    int lo = 0;
    int hi = name_sorted_.size();
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      const int c = compare_names(element_names_[name_sorted_[mid]], wanted);
      if (c == 0) return elements_[name_sorted_[mid]];
      if (c < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (prefix.empty()) return nullptr;
    // Back to the enclosing context: up to the "/" before the last one.
    int cut = prefix.length() - 2;
    while (cut >= 0 && prefix[cut] != '/') --cut;
    prefix = cut >= 0 ? prefix.substring(0, cut + 1) : String();
  }
}

Element* Router::find_element(const String& name, const Element* asking) {
  if (asking == nullptr) return find_element_in_context(name, String());
  const String asker = asking->name();
  int slash = asker.length() - 1;
  while (slash >= 0 && asker[slash] != '/') --slash;
  return find_element_in_context(name, asker.substring(0, slash + 1));
}

void Router::remove_connection(int i) {
  connections_[i] = connections_.back();
  connections_.pop_back();
  flags_ &= static_cast<uint8_t>(~kConnectionsSorted);
}

void Router::sort_connections() {
  if (!(flags_ & kConnectionsSorted)) {
    framework_qsort(connections_.data(), static_cast<size_t>(connections_.size()),
                    sizeof(Connection), Connection::compare, nullptr);
    flags_ |= kConnectionsSorted;
    connections_by_output_.clear();
  }
  if (connections_by_output_.size() == connections_.size()) return;
  for (int i = connections_by_output_.size(); i < connections_.size(); ++i)
    connections_by_output_.push_back(i);
  framework_qsort(connections_by_output_.data(), static_cast<size_t>(connections_by_output_.size()),
                  sizeof(int), compare_by_output, connections_.data());
}

void Router::make_port_offsets() {
  input_port_offsets_.resize(elements_.size() + 1);
  output_port_offsets_.resize(elements_.size() + 1);
  int ninputs = 0;
  int noutputs = 0;
  for (int i = 0; i < elements_.size(); ++i) {
    input_port_offsets_[i] = ninputs;
    output_port_offsets_[i] = noutputs;
    ninputs += elements_[i]->ninputs();
    noutputs += elements_[i]->noutputs();
  }
  input_port_offsets_[elements_.size()] = ninputs;
  output_port_offsets_[elements_.size()] = noutputs;
}

int Router::check_port_numbers(ErrorHandler* errh) {
  const int n = elements_.size();
  Vector<int> inputs_used;
  Vector<int> outputs_used;
  inputs_used.resize(n, 0);
  outputs_used.resize(n, 0);
  for (const Connection& c : connections_) {
    if (c.to_port >= inputs_used[c.to_eindex]) inputs_used[c.to_eindex] = c.to_port + 1;
    if (c.from_port >= outputs_used[c.from_eindex]) outputs_used[c.from_eindex] = c.from_port + 1;
  }

  bool failed = false;
  for (int i = 0; i < n; ++i) {
    if (elements_[i]->apply_port_count(inputs_used[i], outputs_used[i], errh) < 0) failed = true;
  }

  if (remove_connections_if([&](const Connection& c) {
        Element* to = elements_[c.to_eindex];
        Element* from = elements_[c.from_eindex];
        bool bad = false;
        if (c.to_port >= to->ninputs()) {
          report_element_error(errh, to, "%<%p{element}%> has no %s %d", to, "input", c.to_port);
          bad = true;
        }
        if (c.from_port >= from->noutputs()) {
          report_element_error(errh, from, "%<%p{element}%> has no %s %d", from, "output",
                               c.from_port);
          bad = true;
        }
        return bad;
      }))
    failed = true;
  return failed ? -1 : 0;
}

int Router::resolve_processing(ErrorHandler* errh) {
  make_port_offsets();
  const int n = elements_.size();
  Vector<int> input_codes;
  Vector<int> output_codes;
  input_codes.resize(input_port_offsets_[n], Element::kProcessingAgnostic);
  output_codes.resize(output_port_offsets_[n], Element::kProcessingAgnostic);
  for (int i = 0; i < n; ++i) {
    elements_[i]->port_processing(input_codes.data() + input_port_offsets_[i],
                                  output_codes.data() + output_port_offsets_[i], errh);
  }

  Vector<ProcessingLink> links;
  for (const Connection& c : connections_) links.push_back(ProcessingLink{c, false, false});
  BitVector flow;
  for (int e = 0; e < n; ++e) {
    Element* element = elements_[e];
    for (int i = 0; i < element->ninputs(); ++i) {
      if (input_codes[input_port_offsets_[e] + i] != Element::kProcessingAgnostic) continue;
      element->flow_targets(false, i, &flow, errh);
      for (int o = 0; o < element->noutputs(); ++o) {
        if (flow[o] && output_codes[output_port_offsets_[e] + o] == Element::kProcessingAgnostic)
          links.push_back(ProcessingLink{Connection{e, i, e, o}, true, false});
      }
    }
  }

  bool conflict = false;
  for (bool changed = true; changed;) {
    changed = false;
    for (ProcessingLink& link : links) {
      if (link.dropped) continue;
      const Connection& c = link.c;
      int& in = input_codes[input_port_offsets_[c.to_eindex] + c.to_port];
      int& out = output_codes[output_port_offsets_[c.from_eindex] + c.from_port];
      if (in == out) continue;
      if (in == Element::kProcessingAgnostic) {
        in = out;
        changed = true;
        continue;
      }
      if (out == Element::kProcessingAgnostic) {
        out = in;
        changed = true;
        continue;
      }
      conflict = true;
      link.dropped = true;
      if (errh == nullptr) continue;
      if (link.internal) {
        errh->error("agnostic %<%p{element}%> in mixed context: %s input %d, %s output %d",
                    elements_[c.to_eindex], processing_name(in), c.to_port, processing_name(out),
                    c.from_port);
      } else {
        errh->error("%<%p{element}%> %s output %d connected to %<%p{element}%> %s input %d",
                    elements_[c.from_eindex], processing_name(out), c.from_port,
                    elements_[c.to_eindex], processing_name(in), c.to_port);
      }
    }
  }
  if (conflict) return -1;

  // Ports still agnostic push.
  for (int e = 0; e < n; ++e) {
    Element* element = elements_[e];
    for (int i = 0; i < element->ninputs(); ++i) {
      const bool pull = input_codes[input_port_offsets_[e] + i] == Element::kProcessingPull;
      element->inputs_[i].assign(nullptr, pull ? 0 : -1);
    }
    for (int o = 0; o < element->noutputs(); ++o) {
      const bool pull = output_codes[output_port_offsets_[e] + o] == Element::kProcessingPull;
      element->outputs_[o].assign(nullptr, pull ? -1 : 0);
    }
  }
  return 0;
}

int Router::check_connection_use(ErrorHandler* errh) {
  sort_connections();
  make_port_offsets();
  const int n = elements_.size();
  bool failed = false;

  // Sorted, so the uses of one port are adjacent. A port used by
  // thousands of connections gets a few messages and a count.
  int reuses = 0;
  auto report_reuse = [&](Element* element, const char* kind, int port, bool last_of_port) {
    failed = true;
    if (++reuses <= kMaxUnusedPortReports)
      report_element_error(errh, element, "illegal reuse of %<%p{element}%> %s %d", element, kind,
                           port);
    if (last_of_port && reuses > kMaxUnusedPortReports)
      report_element_error(errh, element, "%<%p{element}%> %s %d reused %d more times", element,
                           kind, port, reuses - kMaxUnusedPortReports);
    if (last_of_port) reuses = 0;
  };
  for (int i = 1; i < connections_.size(); ++i) {
    const Connection& prev = connections_[i - 1];
    const Connection& c = connections_[i];
    if (c.to_eindex != prev.to_eindex || c.to_port != prev.to_port) continue;
    Element* to = elements_[c.to_eindex];
    if (c.to_port >= to->ninputs() || !to->input(c.to_port).active()) continue;
    const bool last = i + 1 == connections_.size() ||
                      connections_[i + 1].to_eindex != c.to_eindex ||
                      connections_[i + 1].to_port != c.to_port;
    report_reuse(to, "pull input", c.to_port, last);
  }
  for (int k = 1; k < connections_by_output_.size(); ++k) {
    const Connection& prev = connections_[connections_by_output_[k - 1]];
    const Connection& c = connections_[connections_by_output_[k]];
    if (c.from_eindex != prev.from_eindex || c.from_port != prev.from_port) continue;
    Element* from = elements_[c.from_eindex];
    if (c.from_port >= from->noutputs() || !from->output(c.from_port).active()) continue;
    const bool last = k + 1 == connections_by_output_.size() ||
                      connections_[connections_by_output_[k + 1]].from_eindex != c.from_eindex ||
                      connections_[connections_by_output_[k + 1]].from_port != c.from_port;
    report_reuse(from, "push output", c.from_port, last);
  }

  BitVector inputs_reached(input_port_offsets_[n]);
  BitVector outputs_reached(output_port_offsets_[n]);
  for (const Connection& c : connections_) {
    if (c.to_port < elements_[c.to_eindex]->ninputs())
      inputs_reached.set(input_port_offsets_[c.to_eindex] + c.to_port, true);
    if (c.from_port < elements_[c.from_eindex]->noutputs())
      outputs_reached.set(output_port_offsets_[c.from_eindex] + c.from_port, true);
  }
  // One connection to a high port number leaves every port below it
  // unused: name a few per element and count the rest.
  auto report_unused = [&](bool outputs) {
    const char* side = outputs ? "output" : "input";
    const BitVector& reached = outputs ? outputs_reached : inputs_reached;
    const Vector<int>& offsets = outputs ? output_port_offsets_ : input_port_offsets_;
    for (int e = 0; e < n; ++e) {
      Element* element = elements_[e];
      const int nports = outputs ? element->noutputs() : element->ninputs();
      int reported = 0;
      for (int p = 0; p < nports; ++p) {
        if (reached[offsets[e] + p]) continue;
        failed = true;
        if (reported++ < kMaxUnusedPortReports)
          report_element_error(errh, element, "%<%p{element}%> %s %d unused", element, side, p);
      }
      if (reported > kMaxUnusedPortReports)
        report_element_error(errh, element, "%<%p{element}%> %d more %ss unused", element,
                             reported - kMaxUnusedPortReports, side);
    }
  };
  report_unused(false);
  report_unused(true);
  return failed ? -1 : 0;
}

void Router::wire_ports() {
  for (const Connection& c : connections_) {
    Element* to = elements_[c.to_eindex];
    Element* from = elements_[c.from_eindex];
    if (c.from_port < from->noutputs() && from->outputs_[c.from_port].active())
      from->outputs_[c.from_port].assign(to, c.to_port);
    if (c.to_port < to->ninputs() && to->inputs_[c.to_port].active())
      to->inputs_[c.to_port].assign(from, c.from_port);
  }
  make_port_offsets();
  flags_ |= kPortsResolved;
}

int Router::first_connection_to(int eindex, int port) const {
  const Connection key{eindex, port, -1, -1};
  int lo = 0;
  int hi = connections_.size();
  while (lo < hi) {
    const int mid = lo + (hi - lo) / 2;
    if (Connection::compare(&connections_[mid], &key, nullptr) < 0) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return lo;
}

int Router::visit_upstream(Element* start, RouterVisitor* visitor) {
  if (!ports_resolved() || start == nullptr || start->router_ != this || start->eindex_ < 0)
    return -1;
  sort_connections();

  struct Entry {
    int eindex;
    int port;
  };
  Vector<Entry> frontier;
  Vector<Entry> next;
  if (start->ninputs() > 0) frontier.push_back(Entry{start->eindex_, 0});
  BitVector visited(output_port_offsets_[elements_.size()]);
  BitVector flow;
  for (int distance = 1; !frontier.empty(); ++distance) {
    next.clear();
    for (const Entry& entry : frontier) {
      for (int i = first_connection_to(entry.eindex, entry.port); i < connections_.size(); ++i) {
        const Connection& c = connections_[i];
        if (c.to_eindex != entry.eindex || c.to_port != entry.port) break;
        const int global = output_port_offsets_[c.from_eindex] + c.from_port;
        if (visited[global]) continue;
        visited.set(global, true);
        Element* from = elements_[c.from_eindex];
        if (!visitor->visit(from, true, c.from_port, elements_[entry.eindex], entry.port, distance))
          continue;
        from->flow_targets(true, c.from_port, &flow);
        for (int k = 0; k < flow.size(); ++k) {
          if (flow[k]) next.push_back(Entry{c.from_eindex, k});
        }
      }
    }
    std::swap(frontier, next);
  }
  return 0;
}

int Router::allocate_notifier_signal(const char* name, uint32_t** word, uint32_t* mask) {
  SignalBlock* block = signal_blocks_;
  while (block != nullptr && (block->count >= kSignalBits || !(block->name == name)))
    block = block->next;
  if (block == nullptr) {
    block = new SignalBlock;
    block->name = name;
    block->next = signal_blocks_;
    signal_blocks_ = block;
  }
  const int bit = block->count++;
  *word = &block->words[bit / 32];
  *mask = uint32_t{1} << (bit % 32);
  **word |= *mask;
  return 0;
}

int Router::report_element_error(ErrorHandler* errh, const Element* element, const char* format,
                                 ...) {
  if (errh == nullptr) return -1;
  const String landmark = element != nullptr && element->router_ == this
                              ? element_landmark(element->eindex_)
                              : String();
  va_list args;
  va_start(args, format);
  errh->annotated_landmark_message(landmark, String("<3>"), format, args);
  va_end(args);
  return -1;
}

int Router::Connection::compare(const void* a, const void* b, void*) {
  const auto* x = static_cast<const Connection*>(a);
  const auto* y = static_cast<const Connection*>(b);
  if (int c = compare_ints(x->to_eindex, y->to_eindex)) return c;
  if (int c = compare_ints(x->to_port, y->to_port)) return c;
  if (int c = compare_ints(x->from_eindex, y->from_eindex)) return c;
  return compare_ints(x->from_port, y->from_port);
}
