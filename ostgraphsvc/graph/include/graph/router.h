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
// Ownership: the router owns the elements added to it, its root
// ErrorElement (index -1) and its notifier signal blocks.
//
// Threads: built, checked and queried on the thread that owns the router;
// nothing is locked.
#ifndef GRAPH_ROUTER_H_
#define GRAPH_ROUTER_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/nameinfo.h"
#include "graph/string.h"
#include "graph/vector.h"

class ErrorHandler;
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
  };

  static constexpr int kSignalBits = 4096;

  explicit Router(const String& configuration, Master* master = nullptr);
  Router(const Router&) = delete;
  Router& operator=(const Router&) = delete;
  ~Router();

  Master* master() const { return master_; }
  int state() const { return state_; }
  const String& configuration() const { return configuration_; }
  NameRegistry& name_registry() { return name_registry_; }

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

 private:
  friend class Element;

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
  void remove_connection(int i);
  // Global port numbering: entry e is the count of ports of elements before e.
  void make_port_offsets();
  // First connection into `eindex`'s input `port` in connection order (the
  // list must be sorted).
  int first_connection_to(int eindex, int port) const;

  Master* master_;
  int state_ = kNew;
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
  Vector<Connection> connections_;
  Vector<int> connections_by_output_;
  ErrorElement* root_element_;
  String configuration_;
  SignalBlock* signal_blocks_ = nullptr;
  HashMap_ArenaFactory* arena_factory_;
  NameRegistry name_registry_;
};

#endif  // GRAPH_ROUTER_H_
