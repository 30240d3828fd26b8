#include "graph/handler.h"

#include <climits>
#include <cstdint>

#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/master.h"
#include "graph/router.h"
#include "graph/router_log.h"
#include "graph/string_builder.h"
#include "graph/task.h"
#include "graph/vector.h"

namespace {

// The process-wide global handlers; ids are kFirstGlobalHandler + index.
Handler* global_handlers = nullptr;
int nglobals = 0;
int global_capacity = 0;

bool in_router(const Element* element) {
  return element != nullptr && element->router() != nullptr && element->eindex() >= 0;
}

Router* router_of(const Element* element) {
  return element != nullptr ? element->router() : nullptr;
}

void append_listing(StringBuilder& sb, const Handler& h) {
  if (!h.visible()) return;
  sb << h.name() << '\t' << h.flag_letters() << '\n';
}

}  // namespace

// ---- Handler ----------------------------------------------------------------

bool Handler::same_as(const Handler& other) const {
  return read_ == other.read_ && write_ == other.write_ && read_full_ == other.read_full_ &&
         write_full_ == other.write_full_ && read_user_data_ == other.read_user_data_ &&
         write_user_data_ == other.write_user_data_ && flags_ == other.flags_;
}

void Handler::complete_from(const Handler& old) {
  if (!(flags_ & kRead) && (old.flags_ & kRead)) {
    read_ = old.read_;
    read_full_ = old.read_full_;
    read_user_data_ = old.read_user_data_;
    flags_ |= old.flags_ & ~(kWrite | kReadParam | kWriteFull);
  }
  if (!(flags_ & kWrite) && (old.flags_ & kWrite)) {
    write_ = old.write_;
    write_full_ = old.write_full_;
    write_user_data_ = old.write_user_data_;
    flags_ |= old.flags_ & ~(kRead | kReadParam | kReadFull);
  }
  if (!(flags_ & (kRead | kWrite))) {
    read_user_data_ = old.read_user_data_;
    write_user_data_ = old.write_user_data_;
  }
}

String Handler::invoke_read(Element* element, const String& parameter) const {
  // Nobody sees a read's messages; a failed read is an empty result.
  LocalErrorHandler errh(nullptr);
  if (!parameter.empty() && !(flags_ & kReadParam)) {
    errh.error("read handler %<%s%> does not take parameters", full_name(element).c_str());
    return String();
  }
  if (!(flags_ & kRead)) {
    errh.error("%<%s%> not a read handler", full_name(element).c_str());
    return String();
  }
  if (!(flags_ & kReadFull)) return read_(element, read_user_data_);
  String value = parameter;
  if (read_full_(kOpRead, value, element, this, &errh) >= 0) return value;
  return String();
}

int Handler::invoke_write(const String& value, Element* element, ErrorHandler* errh) const {
  LocalErrorHandler lerrh(errh);
  if (!(flags_ & kWrite)) {
    lerrh.error("%<%s%> not a write handler", full_name(element).c_str());
    return kNotWritable;
  }
  if (!(flags_ & kWriteFull)) return write_(value, element, write_user_data_, &lerrh);
  String copy = value;
  return write_full_(kOpWrite, copy, element, this, &lerrh);
}

String Handler::full_name(const Element* element) const {
  if (!in_router(element)) return name_;
  return element->name() + "." + name_;
}

String Handler::flag_letters() const {
  StringBuilder sb;
  if ((flags_ & (kRead | kReadHidden)) == kRead) sb << 'r';
  if ((flags_ & (kWrite | kWriteHidden)) == kWrite) sb << 'w';
  if (flags_ & kReadParam) sb << '+';
  if (flags_ & kListPercent) sb << '%';
  if (flags_ & kDefault) sb << '.';
  if (flags_ & kListDollar) sb << '$';
  if (flags_ & kListU) sb << 'U';
  if (flags_ & kListD) sb << 'D';
  if (flags_ & kListB) sb << 'b';
  if (flags_ & kListC) sb << 'c';
  return sb.take_string();
}

// ---- Storage ----------------------------------------------------------------

// The router's handler machinery; a friend of Router and Handler.
struct RouterHandlers {
  static Handler* record(const Router* r, int id) {
    return &r->handler_blocks_[id / Router::kHandlerBlock][id % Router::kHandlerBlock];
  }

  // The element's use of a handler of exactly that name, or -1.
  static int find_use(const Router* r, int eindex, const String& name) {
    if (eindex >= r->element_first_use_.size()) return -1;
    for (int u = r->element_first_use_[eindex]; u >= 0; u = r->use_next_[u]) {
      if (record(r, r->use_handler_[u])->name_ == name) return u;
    }
    return -1;
  }

  static int find_element_handler(const Router* r, int eindex, const String& name) {
    const int use = find_use(r, eindex, name);
    return use >= 0 ? r->use_handler_[use] : -1;
  }

  // A new block of free records, linked in ascending order.
  static void add_block(Router* r) {
    Handler* block = new Handler[Router::kHandlerBlock];
    r->handler_blocks_.push_back(block);
    const int first = r->nhandler_slots_;
    for (int i = 0; i < Router::kHandlerBlock; ++i)
      block[i].next_ = i + 1 < Router::kHandlerBlock ? first + i + 1 : r->free_handler_;
    r->free_handler_ = first;
    r->nhandler_slots_ += Router::kHandlerBlock;
  }

  static void free_records(Router* r) {
    for (Handler* block : r->handler_blocks_) delete[] block;
    r->handler_blocks_.clear();
    r->nhandler_slots_ = 0;
    r->free_handler_ = -1;
    r->handler_chains_.clear();
    r->element_first_use_.clear();
    r->use_handler_.clear();
    r->use_next_.clear();
  }

  // The index of the chain of `name`, inserting an empty one when absent.
  static int chain_of(Router* r, Handler* h) {
    Vector<int>& chains = r->handler_chains_;
    int lo = 0;
    int hi = chains.size();
    // Chains are never left empty once a store completes, so every head
    // names a record.
    while (lo < hi) {
      const int mid = lo + (hi - lo) / 2;
      if (record(r, chains[mid])->name_.compare(h->name_) < 0) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo < chains.size() && record(r, chains[lo])->name_ == h->name_) {
      // Records of one name share the name text.
      h->name_ = record(r, chains[lo])->name_;
      return lo;
    }
    chains.insert(chains.begin() + lo, -1);
    return lo;
  }

  static void store_element_handler(Router* r, int eindex, Handler h) {
    h.use_count_ = 0;
    h.next_ = -1;
    if (eindex >= r->element_first_use_.size()) {
      const int n = r->nelements() > eindex ? r->nelements() : eindex + 1;
      r->element_first_use_.resize(n, -1);
    }
    const int use = find_use(r, eindex, h.name_);
    if (use >= 0) {
      Handler* old = record(r, r->use_handler_[use]);
      h.complete_from(*old);
      --old->use_count_;
    }

    const int chain = chain_of(r, &h);
    int found = -1;
    int unused = -1;
    int* unused_link = nullptr;
    for (int* link = &r->handler_chains_[chain]; *link >= 0; link = &record(r, *link)->next_) {
      Handler* x = record(r, *link);
      if (found < 0 && x->same_as(h)) found = *link;
      if (x->use_count_ == 0) {
        unused = *link;
        unused_link = link;
      }
    }

    if (found < 0 && unused >= 0) {
      Handler* x = record(r, unused);
      const int next = x->next_;
      *x = h;
      x->next_ = next;
      found = unused;
    } else if (found < 0) {
      if (r->free_handler_ < 0) add_block(r);
      found = r->free_handler_;
      Handler* x = record(r, found);
      r->free_handler_ = x->next_;
      *x = h;
      x->next_ = r->handler_chains_[chain];
      r->handler_chains_[chain] = found;
    }

    if (use < 0) {
      r->use_handler_.push_back(found);
      r->use_next_.push_back(r->element_first_use_[eindex]);
      r->element_first_use_[eindex] = r->use_handler_.size() - 1;
    } else {
      r->use_handler_[use] = found;
    }
    ++record(r, found)->use_count_;

    // The record the element used before, now used by nobody. A free record
    // is only taken from the list above when no unused one existed, so the
    // link is still the one that points at it.
    if (unused >= 0 && record(r, unused)->use_count_ == 0) {
      Handler* x = record(r, unused);
      *unused_link = x->next_;
      *x = Handler();
      x->next_ = r->free_handler_;
      r->free_handler_ = unused;
    }
  }

  static void store_global_handler(Handler h) {
    h.use_count_ = 1;
    h.next_ = -1;
    for (int i = 0; i < nglobals; ++i) {
      if (global_handlers[i].name_ == h.name_) {
        h.complete_from(global_handlers[i]);
        global_handlers[i] = h;
        return;
      }
    }
    if (nglobals == global_capacity) {
      const int capacity = global_capacity > 0 ? 2 * global_capacity : 4;
      Handler* grown = new Handler[capacity];
      for (int i = 0; i < nglobals; ++i) grown[i] = global_handlers[i];
      delete[] global_handlers;
      global_handlers = grown;
      global_capacity = capacity;
    }
    global_handlers[nglobals++] = h;
  }

  static void store(const Element* element, const Handler& h) {
    if (in_router(element)) {
      store_element_handler(element->router(), element->eindex(), h);
      return;
    }
    store_global_handler(h);
  }

  // ---- Default element handlers ----

  static String read_name(Element* e, void*) { return e->name(); }
  static String read_class(Element* e, void*) { return String(e->class_name()); }

  static String read_config(Element* e, void*) {
    Router* r = router_of(e);
    return r != nullptr ? r->econfiguration(e->eindex()) : String();
  }

  static int write_config(const String& value, Element* e, void*, ErrorHandler* errh) {
    Vector<String> conf;
    cp_split_arguments(value, &conf);
    const int result = e->live_reconfigure(conf, errh);
    Router* r = router_of(e);
    if (result >= 0 && r != nullptr && e->eindex() >= 0 &&
        e->eindex() < r->element_configurations_.size())
      r->element_configurations_[e->eindex()] = value;
    return result;
  }

  static String read_ports(Element* e, void*) {
    Router* r = router_of(e);
    if (r == nullptr || e->eindex() < 0) return String();
    Vector<int> input_codes;
    Vector<int> output_codes;
    input_codes.resize(e->ninputs(), Element::kProcessingAgnostic);
    output_codes.resize(e->noutputs(), Element::kProcessingAgnostic);
    e->port_processing(input_codes.data(), output_codes.data(), nullptr);

    StringBuilder sb;
    sb << e->ninputs() << (e->ninputs() == 1 ? " input\n" : " inputs\n");
    for (int i = 0; i < e->ninputs(); ++i) {
      sb << (e->input(i).active() ? "pull" : "push")
         << (input_codes[i] == Element::kProcessingAgnostic ? "~\t" : "\t") << "-\t";
      const char* separator = "";
      for (const Router::Connection& c : r->connections()) {
        if (c.to_eindex != e->eindex() || c.to_port != i) continue;
        sb << separator << r->ename(c.from_eindex) << " [" << c.from_port << ']';
        separator = ", ";
      }
      sb << '\n';
    }
    sb << e->noutputs() << (e->noutputs() == 1 ? " output\n" : " outputs\n");
    for (int o = 0; o < e->noutputs(); ++o) {
      sb << (e->output(o).active() ? "push" : "pull")
         << (output_codes[o] == Element::kProcessingAgnostic ? "~\t" : "\t") << "-\t";
      const char* separator = "";
      for (const Router::Connection& c : r->connections()) {
        if (c.from_eindex != e->eindex() || c.from_port != o) continue;
        sb << separator << '[' << c.to_port << "] " << r->ename(c.to_eindex);
        separator = ", ";
      }
      sb << '\n';
    }
    return sb.take_string();
  }

  static String read_handlers(Element* e, void*) {
    Router* r = router_of(e);
    if (!in_router(e) || e->eindex() >= r->element_first_use_.size()) return String();
    StringBuilder sb;
    for (int u = r->element_first_use_[e->eindex()]; u >= 0; u = r->use_next_[u])
      append_listing(sb, *record(r, r->use_handler_[u]));
    return sb.take_string();
  }

  // ---- Global handlers ----

  static String read_global_text(Element*, void* which) {
    return String(which == nullptr ? "2.1" : "userlevel");
  }

  static String read_global_config(Element* e, void*) {
    Router* r = router_of(e);
    if (r == nullptr) return String();
    return r->keeps_configuration() ? r->configuration() : r->unparse();
  }

  static String read_flatconfig(Element* e, void*) {
    Router* r = router_of(e);
    return r != nullptr ? r->unparse() : String();
  }

  static String read_requirements(Element* e, void*) {
    Router* r = router_of(e);
    if (r == nullptr) return String();
    StringBuilder sb;
    for (const String& text : r->requirements()) sb << text << '\n';
    return sb.take_string();
  }

  static String read_global_handlers(Element*, void*) {
    StringBuilder sb;
    for (int i = 0; i < nglobals; ++i) append_listing(sb, global_handlers[i]);
    return sb.take_string();
  }

  static String read_list(Element* e, void*) {
    Router* r = router_of(e);
    if (r == nullptr) return String();
    StringBuilder sb;
    sb << r->nelements() << '\n';
    for (int i = 0; i < r->nelements(); ++i) sb << r->ename(i) << '\n';
    return sb.take_string();
  }

  static int write_stop(const String& value, Element* e, void*, ErrorHandler*) {
    int32_t n = 1;
    cp_parse_int32(nullptr, value, &n);
    Router* r = router_of(e);
    if (r != nullptr) r->adjust_runcount(n == INT_MIN ? INT_MAX : -n);
    return 0;
  }

  static int write_log(const String& value, Element*, void*, ErrorHandler* errh) {
    String level;
    String rest;
    if (errh != nullptr && cp_parse_string(value, &level, &rest)) set_router_log_level(level);
    return 0;
  }

  static int write_ignored(const String&, Element*, void*, ErrorHandler*) { return 0; }

  // ---- Task handlers ----

  // The user data is the task's offset inside the element, so elements of
  // one class share the records.
  static Task* task_of(Element* e, void* offset) {
    return reinterpret_cast<Task*>(reinterpret_cast<uintptr_t>(e) +
                                   reinterpret_cast<uintptr_t>(offset));
  }

  static String read_scheduled(Element* e, void* offset) {
    return String(task_of(e, offset)->scheduled());
  }

  static String read_tickets(Element* e, void* offset) {
    return String(task_of(e, offset)->tickets());
  }

  static int write_tickets(const String& value, Element* e, void* offset, ErrorHandler* errh) {
    int32_t tickets;
    if (!cp_parse_int32(nullptr, value, &tickets)) return errh->error("syntax error");
    if (tickets < 1) {
      errh->warning("tickets pinned at 1");
      tickets = 1;
    } else if (tickets > Task::kMaxTickets) {
      errh->warning("tickets pinned at %d", Task::kMaxTickets);
      tickets = Task::kMaxTickets;
    }
    task_of(e, offset)->set_tickets(tickets);
    return 0;
  }
};

// ---- Router: registration -----------------------------------------------------

void Router::add_read_handler(const Element* element, const String& name,
                              ReadHandlerCallback callback, void* user_data, int flags) {
  Handler h(name);
  h.read_ = callback;
  h.read_user_data_ = user_data;
  h.flags_ = (flags &
              ~(Handler::kWrite | Handler::kReadParam | Handler::kReadFull | Handler::kWriteFull)) |
             Handler::kRead;
  RouterHandlers::store(element, h);
}

void Router::add_write_handler(const Element* element, const String& name,
                               WriteHandlerCallback callback, void* user_data, int flags) {
  Handler h(name);
  h.write_ = callback;
  h.write_user_data_ = user_data;
  h.flags_ =
      (flags & ~(Handler::kRead | Handler::kReadParam | Handler::kReadFull | Handler::kWriteFull)) |
      Handler::kWrite;
  RouterHandlers::store(element, h);
}

void Router::set_handler(const Element* element, const String& name, int flags,
                         HandlerCallback callback, void* read_user_data, void* write_user_data) {
  Handler h(name);
  h.read_user_data_ = read_user_data;
  h.write_user_data_ = write_user_data;
  if (flags & Handler::kRead) {
    h.read_full_ = callback;
    flags |= Handler::kReadFull;
  } else {
    flags &= ~(Handler::kReadParam | Handler::kReadFull);
  }
  if (flags & Handler::kWrite) {
    h.write_full_ = callback;
    flags |= Handler::kWriteFull;
  } else {
    flags &= ~Handler::kWriteFull;
  }
  h.flags_ = flags;
  RouterHandlers::store(element, h);
}

int Router::clear_handler_flags(const Element* element, const String& name) {
  const Handler* h = find_handler(element, name);
  if (h == nullptr) return -1;
  Handler copy = *h;
  copy.flags_ &= ~Handler::kDefault;
  RouterHandlers::store(element, copy);
  return 0;
}

const Handler* Router::find_handler(const Element* element, const String& name) {
  if (in_router(element)) {
    const Router* r = element->router();
    const int id = RouterHandlers::find_element_handler(r, element->eindex(), name);
    return id >= 0 ? RouterHandlers::record(r, id) : nullptr;
  }
  for (int i = 0; i < nglobals; ++i) {
    if (global_handlers[i].name() == name) return &global_handlers[i];
  }
  return nullptr;
}

void Router::reset_handlers(bool defaults, bool element_handlers) {
  RouterHandlers::free_records(this);
  if (defaults) {
    for (Element* e : elements_) {
      add_read_handler(e, "name", RouterHandlers::read_name, nullptr, Handler::kDefault);
      add_read_handler(e, "class", RouterHandlers::read_class, nullptr, Handler::kDefault);
      add_read_handler(e, "config", RouterHandlers::read_config, nullptr, Handler::kDefault);
      if (element_handlers && e->can_live_reconfigure())
        add_write_handler(e, "config", RouterHandlers::write_config, nullptr, 0);
      add_read_handler(e, "ports", RouterHandlers::read_ports, nullptr, Handler::kDefault);
      add_read_handler(e, "handlers", RouterHandlers::read_handlers, nullptr, Handler::kDefault);
    }
  }
  if (element_handlers) {
    for (Element* e : elements_) e->add_handlers();
  }
}

// ---- Router: global handlers --------------------------------------------------

void Router::static_initialize() {
  if (nglobals > 0) return;
  using RH = RouterHandlers;
  add_read_handler(nullptr, "version", RH::read_global_text, nullptr);
  add_read_handler(nullptr, "driver", RH::read_global_text, reinterpret_cast<void*>(1));
  add_read_handler(nullptr, "config", RH::read_global_config, nullptr);
  add_read_handler(nullptr, "flatconfig", RH::read_flatconfig, nullptr);
  add_read_handler(nullptr, "requirements", RH::read_requirements, nullptr);
  add_read_handler(nullptr, "handlers", RH::read_global_handlers, nullptr);
  add_read_handler(nullptr, "list", RH::read_list, nullptr);
  add_write_handler(nullptr, "stop", RH::write_stop, nullptr);
  add_write_handler(nullptr, "log", RH::write_log, nullptr);
  add_write_handler(nullptr, "ptrace", RH::write_ignored, nullptr);
  add_write_handler(nullptr, "pubsublog", RH::write_ignored, nullptr);
  add_write_handler(nullptr, "overlaylog", RH::write_ignored, nullptr);
}

void Router::static_cleanup() {
  delete[] global_handlers;
  global_handlers = nullptr;
  nglobals = 0;
  global_capacity = 0;
}

int Router::nglobal_handlers() { return nglobals; }

const Handler* Router::global_handler(int i) {
  return i >= 0 && i < nglobals ? &global_handlers[i] : nullptr;
}

// ---- Router: requirements, run count, unparse ---------------------------------

void Router::add_requirement(const String& kind, const String& value) {
  requirements_.push_back(kind);
  requirements_.push_back(value);
  if (kind == "compact_config") {
    flags_ &= static_cast<uint8_t>(~kKeepConfiguration);
    configuration_ = String();
  }
}

void Router::adjust_runcount(int delta) {
  // Saturating add, atomic because the stop path runs on other threads.
  int old = runcount_.load(std::memory_order_relaxed);
  int updated;
  do {
    const long long sum = static_cast<long long>(old) + delta;
    updated = sum > INT_MAX ? INT_MAX : (sum < INT_MIN ? INT_MIN : static_cast<int>(sum));
  } while (!runcount_.compare_exchange_weak(old, updated, std::memory_order_acq_rel));
  if (updated > 0 || master_ == nullptr) return;
  for (int id = -1; id < master_->nthreads() - 1; ++id) master_->thread(id)->set_stop_flag();
}

String Router::unparse(const String& indent) const {
  StringBuilder sb;
  if (!requirements_.empty()) {
    sb << "require(";
    for (int i = 0; i + 1 < requirements_.size(); i += 2) {
      if (i > 0) sb << ", ";
      sb << requirements_[i];
      if (!requirements_[i + 1].empty()) sb << ' ' << cp_quote_text(requirements_[i + 1]);
    }
    sb << ");\n\n";
  }

  for (int i = 0; i < elements_.size(); ++i) {
    const String conf =
        state_ == kLive ? elements_[i]->current_configuration() : element_configurations_[i];
    sb << indent << element_names_[i] << " :: " << elements_[i]->class_name();
    if (!conf.empty()) sb << '(' << conf << ')';
    sb << ";\n";
  }
  if (!elements_.empty()) sb << '\n';

  // Chains: a connection into input 0 continues with one out of output 0 of
  // the same element, preferring one that enters an input 0 itself.
  const int nc = connections_.size();
  Vector<int> next;
  Vector<char> continues;
  Vector<char> printed;
  next.resize(nc, -1);
  continues.resize(nc, 0);
  printed.resize(nc, 0);
  for (int i = 0; i < nc; ++i) {
    if (connections_[i].to_port != 0) continue;
    int best = -1;
    for (int j = 0; j < nc; ++j) {
      const Connection& c = connections_[j];
      if (j == i || continues[j] || c.from_eindex != connections_[i].to_eindex || c.from_port != 0)
        continue;
      if (c.to_port == 0) {
        best = j;
        break;
      }
      if (best < 0) best = j;
    }
    if (best < 0) continue;
    next[i] = best;
    continues[best] = 1;
  }

  auto print_chain = [&](int first) {
    const Connection& head = connections_[first];
    sb << indent << element_names_[head.from_eindex];
    if (head.from_port != 0) sb << " [" << head.from_port << ']';
    for (int k = first; k >= 0 && !printed[k]; k = next[k]) {
      printed[k] = 1;
      if (k == first) {
        sb << " -> ";
      } else {
        sb << '\n' << indent << "    -> ";
      }
      if (connections_[k].to_port != 0) sb << '[' << connections_[k].to_port << "] ";
      sb << element_names_[connections_[k].to_eindex];
    }
    sb << ";\n";
  };
  for (int i = 0; i < nc; ++i) {
    if (!continues[i] && !printed[i]) print_chain(i);
  }
  // What remains lies on cycles.
  for (int i = 0; i < nc; ++i) {
    if (!printed[i]) print_chain(i);
  }
  return sb.take_string();
}

// ---- Element ------------------------------------------------------------------

void Element::add_task_handlers(Task* task, const String& prefix) {
  void* offset = reinterpret_cast<void*>(reinterpret_cast<uintptr_t>(task) -
                                         reinterpret_cast<uintptr_t>(this));
  Router::add_read_handler(this, prefix + "scheduled", RouterHandlers::read_scheduled, offset);
  Router::add_read_handler(this, prefix + "tickets", RouterHandlers::read_tickets, offset);
  Router::add_write_handler(this, prefix + "tickets", RouterHandlers::write_tickets, offset);
}
