// Router: one configured element graph.
//
// The configuration parser adds elements (with their names, configuration
// texts and source positions) and connections while the router is new. The
// graph checks then fit every element's port counts to its connections,
// resolve which ports push and which pull, check that every port is used
// and no push output or pull input is used twice, and wire each active
// port to its peer. The checks report through `report_element_error` (with
// the element's landmark, "file:line") or, for push/pull conflicts, as plain
// errors; each returns -1 when it reported anything. They expect every
// connection to name elements of this router and ports that are not
// negative: the router's initialisation checks that before it runs them.
//
// Names: elements are found by name in a compound context, innermost first
// ("iprw" asked from "nat/icmprw" tries "nat/iprw", then "iprw"). Each router
// keeps a NameRegistry of local name databases; name queries for its
// elements start there.
//
// Handlers (graph/handler.h): each element's handlers are stored as a list
// of uses of shared records, one record per distinct registration, found by
// name; global handlers live once per process, from `static_initialize` to
// `static_cleanup`. `reset_handlers` empties and rebuilds an element's
// handlers, so registrations made before it are lost.
//
// Life cycle: `initialize` (once) checks the graph, configures every element
// in ascending configure phase (ties in the order the framework sort leaves
// them), registers the handlers and initialises the elements in the same
// order; it leaves a live router (state 3) with the Master paused, or a dead
// one (state 4) whose elements were cleaned up and which keeps only default
// handlers. `activate` lifts the pause and lets the Master run the router.
// Every element's `cleanup` runs exactly once: at the failure, or at
// destruction, in reverse configure order (reverse index order for a router
// that never configured).
//
// Ownership: the router owns the elements added to it, its root
// ErrorElement (index -1), its notifier signal blocks and its handler
// records. Holders that share a router count themselves with `use` and let
// go with `unuse`; the last `unuse` deletes it. A router made with a Master
// is in that Master's list until its destruction.
//
// Threads: built, checked and queried on the thread that owns the router;
// nothing is locked.
#ifndef GRAPH_ROUTER_H_
#define GRAPH_ROUTER_H_

#include <atomic>
#include <cstdint>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/nameinfo.h"
#include "graph/string.h"
#include "graph/vector.h"

class HashMap_ArenaFactory;
class Master;

// Receives the ports met by `Router::visit_upstream`.
class RouterVisitor {
 public:
  virtual ~RouterVisitor() = default;
  // `element`'s port `port` feeds `from_element`'s port `from_port`,
  // `distance` connections away from the start. True goes on upstream past
  // `element`.
  virtual bool visit(Element*, bool, int, Element*, int, int) { return true; }
};

class Router {
 public:
  enum State { kNew = 0, kConfiguring = 1, kInitializing = 2, kLive = 3, kDead = 4 };

  // One connection, input end (the downstream element) first. Ordered by
  // its fields in this order.
  struct Connection {
    int to_eindex;
    int to_port;
    int from_eindex;
    int from_port;

    friend bool operator==(const Connection&, const Connection&) = default;
    // The router's connection order (by input end, then output end), in the
    // framework sort's comparison form.
    static int compare(const void* a, const void* b, void* context);
  };

  static constexpr int kSignalBits = 4096;
  // Unused ports named one by one per element and side, and reuses of one
  // port, by `check_connection_use`; the rest are counted in one message.
  static constexpr int kMaxUnusedPortReports = 3;

  explicit Router(const String& configuration, Master* master = nullptr);
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;
  ~Router();

  Master* master() const { return master_; }
  int state() const { return state_; }
  // Whether the scheduler runs the router's tasks and timers: inactive,
  // preparing (initialised, the Master paused), active, or dead.
  enum RunningState {
    kRunningDead = -2,
    kRunningInactive = -1,
    kRunningPreparing = 0,
    kRunningActive = 2
  };
  int running_state() const { return running_state_; }
  void set_running_state(int running_state) { running_state_ = running_state; }
  const String& configuration() const { return configuration_; }
  NameRegistry& name_registry() { return name_registry_; }

  // Checks the graph, configures and initialises the elements (see above).
  // 0 when the router is live, negative otherwise; a second call only
  // reports. `errh` must not be null.
  int initialize(ErrorHandler* errh);
  // Lets a live router that has not run yet run: running state active and
  // the Master's pause from `initialize` lifted. Otherwise nothing.
  void activate();

  // The holders' reference count; the `unuse` that brings it to 0 deletes
  // the router.
  void use() { ++refcount_; }
  void unuse();
  unsigned refcount() const { return refcount_; }

  // Home-thread id of an element of this router, the root included:
  // kUnassignedThread until `initialize` has a live router give the rest 0,
  // and for elements of other routers.
  static constexpr int kUnassignedThread = -1000;
  int home_thread_id(const Element* element) const;

  // The next router in the Master's list.
  Router* next_router() const { return next_router_; }

  // Wraps one element's `configure` or `initialize`: before the first
  // message that passes, the line "<text> '<declaration>':" with the
  // element's landmark; the messages below it are indented. Counts the
  // errors that pass.
  class RouterContextErrh : public ContextErrorHandler {
   public:
    RouterContextErrh(ErrorHandler* inner, const char* text, Element* element);
    String decorate(const String& message) override;

   private:
    const char* text_;
    Element* element_;
  };

  // The element's index, or -1 (nothing added) once the router is past new,
  // for a null element or one that already has a router. The router owns it
  // from then on. `line` counts within `file`.
  int add_element(Element* element, const String& name, const String& configuration,
                  const String& file, int line);
  // Connects `from_eindex`'s output to `to_eindex`'s input; an existing
  // connection is kept once. -1 once the router is past new, else 0.
  int add_connection(int from_eindex, int from_port, int to_eindex, int to_port);

  int nelements() const { return elements_.size(); }
  // -1 gives the root element; null out of range.
  Element* element(int i) const;
  Element* root_element() const { return root_element_; }
  // "" out of range.
  const String& ename(int i) const;
  const String& econfiguration(int i) const;
  // "file:line" ("file" alone at line 0; no extra ":" after a file name
  // that ends in ":" or white space); "" out of range.
  String element_landmark(int i) const;

  // The attachment stored under `name`. Nothing in the system stores one,
  // so the answer is always null.
  void* find_attachment(const String& name) const;

  // `context` + `name`, then the same in each enclosing context.
  Element* find_element_in_context(const String& name, const String& context);
  // In the context of `asking` (its name up to its last "/"); null asks
  // from the top level.
  Element* find_element(const String& name, const Element* asking);

  const Vector<Connection>& connections() const { return connections_; }
  bool ports_resolved() const { return flags_ & kPortsResolved; }

  // The graph checks and the wiring, in the order they run.
  int check_port_numbers(ErrorHandler* errh);
  int resolve_processing(ErrorHandler* errh);
  int check_connection_use(ErrorHandler* errh);
  void wire_ports();
  // Sorts the connections, and an index of them by output end.
  void sort_connections();

  // Breadth first from input 0 of `start`: each output that feeds the
  // frontier is visited once; where the visitor says so, the inputs of its
  // element that flow to it join the next frontier. -1 when the ports are
  // not wired or `start` is not in this router.
  int visit_upstream(Element* start, RouterVisitor* visitor);

  // A new signal bit of the group `name`, set (active), as its word and
  // mask. Always 0.
  int allocate_notifier_signal(const char* name, uint32_t** word, uint32_t* mask);

  // An error about `element`, with its landmark; -1. The format is the
  // framework's ("%<", "%p{element}"), so it carries no printf checking.
  int report_element_error(ErrorHandler* errh, const Element* element, const char* format, ...);

  // ---- Handlers (handler.cc) ----

  static constexpr int kHandlerBlock = 256;
  static constexpr int kFirstGlobalHandler = 0x40000000;

  // Registration: stored with the element when it is in a router (index 0 or
  // more), else as a global handler. A handler of the same name is replaced,
  // keeping the side the new registration does not give. add_read_handler
  // clears kWrite, kReadParam and the full bits and sets kRead;
  // add_write_handler likewise for the write side.
  static void add_read_handler(const Element* element, const String& name,
                               ReadHandlerCallback callback, void* user_data, int flags = 0);
  static void add_write_handler(const Element* element, const String& name,
                                WriteHandlerCallback callback, void* user_data, int flags = 0);
  // `callback` becomes the read side when `flags` has kRead, the write side
  // when it has kWrite.
  static void set_handler(const Element* element, const String& name, int flags,
                          HandlerCallback callback, void* read_user_data = nullptr,
                          void* write_user_data = nullptr);
  // Stores the handler again without Handler::kDefault; -1 when there is no
  // such handler.
  static int clear_handler_flags(const Element* element, const String& name);
  // The handler of exactly that name of an element in a router, or for any
  // other element (the root, none) the global one; null when none.
  static const Handler* find_handler(const Element* element, const String& name);

  // Empties the handler tables; then registers the default handlers of every
  // element (with `defaults`) and calls every element's `add_handlers` (with
  // `element_handlers`), in index order.
  void reset_handlers(bool defaults, bool element_handlers);

  // Framework start-up and tear-down of the global handlers.
  static void static_initialize();
  static void static_cleanup();
  static int nglobal_handlers();
  // Global handler i, 0 <= i < nglobal_handlers(), in registration order.
  static const Handler* global_handler(int i);

  // Requirements in (kind, value) pairs, as the configuration parser found
  // them. "compact_config" makes the router drop its configuration text.
  void add_requirement(const String& kind, const String& value);
  const Vector<String>& requirements() const { return requirements_; }
  bool keeps_configuration() const { return flags_ & kKeepConfiguration; }

  // The router keeps running while its run count is positive.
  int runcount() const { return runcount_.load(std::memory_order_acquire); }
  // Saturating; at 0 or below every thread of the Master is asked to stop.
  void adjust_runcount(int delta);

  // The router written back as configuration text, each line starting with
  // `indent`. A live router asks its elements for their configuration.
  String unparse(const String& indent = String()) const;

 private:
  friend class Element;
  friend class Master;
  friend struct RouterHandlers;

  enum Flags : uint8_t {
    kPortsResolved = 1,
    kConnectionsSorted = 2,
    kKeepConfiguration = 4,
  };

  struct Landmark {
    int first_offset;
    String file;
  };

  struct SignalBlock {
    String name;
    int count = 0;
    uint32_t words[kSignalBits / 32] = {};
    SignalBlock* next = nullptr;
  };

  void unresolve_ports() { flags_ &= static_cast<uint8_t>(~kPortsResolved); }
  // Step 3 of `initialize`: drops connections to elements that do not exist
  // or from negative ports; -1 when there were any.
  int check_connection_ends(ErrorHandler* errh);
  // Takes the router's tasks and timers off every thread of the Master,
  // settling the pause that the running state stands for.
  void remove_from_threads();
  // The failure steps of `initialize`, with each element's stage.
  int fail_initialize(ErrorHandler* errh, const Vector<int>& stages);
  void remove_connection(int i);
  // Removes every connection for which `bad` (which reports why) is true;
  // true when any was removed.
  template <typename Bad>
  bool remove_connections_if(Bad bad);
  // Global port numbering: entry e is the count of ports of elements before e.
  void make_port_offsets();
  // First connection into `eindex`'s input `port` in connection order (the
  // list must be sorted).
  int first_connection_to(int eindex, int port) const;

  Master* master_;
  int state_ = kNew;
  int running_state_ = kRunningInactive;
  // Adjusted from other threads (the stop path) while the loop reads it.
  std::atomic<int> runcount_{0};
  unsigned refcount_ = 0;
  uint8_t flags_ = kConnectionsSorted | kKeepConfiguration;
  Vector<Element*> elements_;
  Vector<String> element_names_;
  Vector<String> element_configurations_;
  Vector<int> element_landmarks_;
  Vector<Landmark> landmarks_;
  int next_landmark_offset_ = 0;
  Vector<int> name_sorted_;
  Vector<int> input_port_offsets_;
  Vector<int> output_port_offsets_;
  Vector<int> configure_order_;
  // Entry 0 the root element's, entry i + 1 element i's.
  Vector<int> home_thread_ids_;
  Vector<Connection> connections_;
  Vector<int> connections_by_output_;
  ErrorElement* root_element_;
  String configuration_;
  SignalBlock* signal_blocks_ = nullptr;
  HashMap_ArenaFactory* arena_factory_;
  NameRegistry name_registry_;
  Vector<String> requirements_;
  Router* next_router_ = nullptr;

  // Handler records in blocks of kHandlerBlock: record id = block *
  // kHandlerBlock + slot.
  Vector<Handler*> handler_blocks_;
  int nhandler_slots_ = 0;
  int free_handler_ = -1;
  // One chain of records per distinct name, sorted by name.
  Vector<int> handler_chains_;
  // Per element, a list of uses, newest first: the first use of each
  // element, and per use its record and the element's next use.
  Vector<int> element_first_use_;
  Vector<int> use_handler_;
  Vector<int> use_next_;
};

#endif  // GRAPH_ROUTER_H_
