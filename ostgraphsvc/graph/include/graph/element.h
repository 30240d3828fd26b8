// Element: the base class of every packet-processing node of the graph.
//
// An element has numbered input and output ports. A Router owns it, gives it
// an index and a name ("nat/iprw" inside compound elements), connects its
// ports, and wires each active port to its peer, so that a packet moves with
// one virtual call: push (upstream calls downstream) or pull (downstream
// calls upstream), never a lookup, allocation or lock.
//
// Element classes describe their ports with three small text languages,
// returned by virtual operations and evaluated while the router checks the
// graph:
//   port_count  "IN[/OUT]", each side "", "-", "N", "N-", "N-M" or "-M"
//               (OUT may be "=" followed by "+"s: inputs plus that many);
//               without "/" the outputs read the same text;
//   processing  one letter per port, "a" agnostic, "h" push, "l" pull
//               (either case); the last letter repeats;
//   flow_code   one code per port, the last repeating: a letter, "#" (a code
//               private to the port's number) or "[...]" ("[^...]" the
//               complement); input i may reach output j when their codes
//               share a member.
// Classes return the shared texts below where they mean them: a class whose
// `processing` returns `kPull` itself is laid out for pull, and a
// `flow_code` of `kCompleteFlow` itself skips the flow evaluation.
//
// Port storage: four Port entries live inside the element and are shared by
// the inputs and outputs when few enough; a side that does not fit gets a
// heap array, which the element owns.
//
// An element not in a router may carry a name of its own (`set_name`), used
// until a router takes it; name lookups and messages then still see a name.
//
// Threads: the graph runs on one thread; nothing here is locked.
#ifndef GRAPH_ELEMENT_H_
#define GRAPH_ELEMENT_H_

#include <atomic>

#include "graph/string.h"
#include "graph/vector.h"

class BitVector;
class ErrorHandler;
class Handler;
class Packet;
class Router;
class SchedulerThread;
class Task;
class Timer;

class Element {
 public:
  // A port: its peer element and the peer's port number once wired.
  // The port number is -2 until the router resolves push and pull; then 0
  // marks an active port (pull input, push output: the side that calls its
  // peer) and -1 a passive one; wiring stores the peer into active ports.
  class Port {
   public:
    Port() = default;

    Element* element() const { return element_; }
    int port() const { return port_; }
    bool active() const { return port_ >= 0; }

    // Hands a packet to the peer of this push output; the peer owns it.
    void push(Packet* p) const { element_->push(port_, p); }
    // Asks the peer of this pull input for a packet; null when none.
    Packet* pull() const { return element_->pull(port_); }

   private:
    friend class Element;
    friend class Router;
    void assign(Element* element, int port) {
      element_ = element;
      port_ = port;
    }

    Element* element_ = nullptr;
    int port_ = -2;
  };

  // Values filled by `port_processing`.
  enum PortProcessing { kProcessingAgnostic = 0, kProcessingPush = 1, kProcessingPull = 2 };

  // The stage an element reached, passed to `cleanup`.
  enum CleanupStage {
    kCleanupNotConfigured = 0,
    kCleanupConfigureFailed = 1,
    kCleanupConfigured = 2,
    kCleanupInitializeFailed = 3,
    kCleanupInitialized = 4,
    kCleanupRouterInitialized = 5,
  };

  // Shared texts; identity matters for kPull and kCompleteFlow.
  static constexpr char kAgnostic[] = "a";
  static constexpr char kPush[] = "h";
  static constexpr char kPull[] = "l";
  static constexpr char kCompleteFlow[] = "x/x";

  // Counted in the process-wide number of live elements until destroyed.
  Element();
  Element(const Element&) = delete;
  Element& operator=(const Element&) = delete;

  // Virtual operations, in their fixed slot order.
  virtual ~Element();
  // Default: the packet passes `packet_action` and, when one remains, leaves
  // through the output numbered like the input.
  virtual void push(int port, Packet* p);
  // Default: pulls from the input's peer and passes the packet through
  // `packet_action`.
  virtual Packet* pull(int port);
  virtual Packet* packet_action(Packet* p) { return p; }
  virtual bool run_task(Task*) { return false; }
  virtual void run_timer(Timer*) {}
  virtual void selected(int) {}
  virtual void selected(int fd, int) { selected(fd); }
  virtual const char* class_name() const = 0;
  virtual const char* port_count() const { return "0"; }
  virtual const char* processing() const { return kAgnostic; }
  virtual const char* flow_code() const { return kCompleteFlow; }
  virtual const char* flags() const { return ""; }
  // The element itself when `name` is exactly its class name.
  virtual void* cast(const char* name);
  virtual void* port_cast(bool, int, const char* name) { return cast(name); }
  virtual int configure_phase() const { return 100; }
  // Default: accepts no argument.
  virtual int configure(Vector<String>& conf, ErrorHandler* errh);
  virtual void add_handlers() {}
  virtual int initialize(ErrorHandler*) { return 0; }
  // State hand-over between an old router and its replacement; nothing in
  // the system replaces a running router, so both stay hooks.
  virtual void take_state(Element*, ErrorHandler*) {}
  virtual Element* hotswap_element() const { return nullptr; }
  virtual void cleanup(CleanupStage) {}
  // The element's name, " :: " and its class name.
  virtual String declaration() const;
  virtual bool can_live_reconfigure() const { return false; }
  // Default: `configure` when `can_live_reconfigure`, else an error and -22.
  virtual int live_reconfigure(Vector<String>& conf, ErrorHandler* errh);
  virtual int low_level_call(unsigned, void*) { return -22; }

  // Elements constructed and not yet destroyed, in the whole process (any
  // thread may read it).
  static int live_elements() { return live_elements_.load(std::memory_order_relaxed); }

  // The name in the element's router; outside a router the name given by
  // `set_name`, or "<unknown>".
  String name() const;
  void set_name(const String& name) { own_name_ = name; }
  Router* router() const { return router_; }
  int eindex() const { return eindex_; }
  // What the element's readable "config" handler returns when it has one,
  // else the configuration text the router stores for it; "" outside a
  // router.
  String current_configuration() const;
  // Registers the handlers "scheduled" and "tickets" (read and write) of a
  // task embedded in this element, each name preceded by `prefix`.
  void add_task_handlers(Task* task, const String& prefix = String());
  // The scheduler thread that runs this element's tasks and timers: the
  // router's home-thread id for it (unassigned counts as 0 until the router
  // is live) through its Master. Null outside a router or without a Master.
  SchedulerThread* home_thread() const;

  // Field handlers (element_fields.cc): full-call handlers that read and
  // write a member field, registered with `Router::set_handler` and the
  // field's byte offset from the Element* as user data (the write datum for
  // writes, the read datum otherwise). A rejected write reports "expected
  // uint8_t", "expected boolean", "expected integer" or "expected IP
  // address" and leaves the field unchanged.
  static int byte_field_handler(int op, String& text, Element* e, const Handler* h,
                                ErrorHandler* errh);
  static int bool_field_handler(int op, String& text, Element* e, const Handler* h,
                                ErrorHandler* errh);
  static int uint32_field_handler(int op, String& text, Element* e, const Handler* h,
                                  ErrorHandler* errh);
  static int int32_field_handler(int op, String& text, Element* e, const Handler* h,
                                 ErrorHandler* errh);
  static int uint64_field_handler(int op, String& text, Element* e, const Handler* h,
                                  ErrorHandler* errh);
  static int ip_address_field_handler(int op, String& text, Element* e, const Handler* h,
                                      ErrorHandler* errh);
  // A write handler that changes one argument of `e`'s configuration and
  // reconfigures it live. `user_data` is a C text: "P KEYWORD" (P a digit,
  // the argument's position) or "KEYWORD" alone. The argument given by
  // keyword is replaced (appended as "KEYWORD value" when absent or when
  // position P holds another keyword argument); otherwise the argument at
  // P. The router keeps the new configuration only when the live
  // reconfiguration succeeds.
  static int config_argument_write_handler(const String& value, Element* e, void* user_data,
                                           ErrorHandler* errh);
  static int rewrite_config_argument(const String& value, Element* e, void* user_data,
                                     ErrorHandler* errh);

  int ninputs() const { return ninputs_; }
  int noutputs() const { return noutputs_; }
  // 0 <= i < ninputs() (noutputs()).
  const Port& input(int i) const { return inputs_[i]; }
  const Port& output(int i) const { return outputs_[i]; }

  // Sets the port counts and lays out the ports (see above). -22 for a
  // negative count; -16 once the router is past configuring with its ports
  // resolved; either leaves the element unchanged. Otherwise the router's
  // resolved mark is cleared and the result is 0.
  int set_port_counts(int ninputs, int noutputs);
  // Fits `port_count` to the ports the connections use (1 + the highest
  // port number, 0 for none) and sets the counts; -1 after
  // "%p{element}: bad port count" (counts unchanged).
  int apply_port_count(int inputs_used, int outputs_used, ErrorHandler* errh);
  // One PortProcessing value per input and per output, from `processing`.
  // Bad letters go to `errh` when it is not null.
  void port_processing(int* input_codes, int* output_codes, ErrorHandler* errh) const;
  // For an input, the outputs it may flow to; for an output, the inputs that
  // may flow to it. Sized to the other side's port count; empty for a port
  // out of range. Bad flow codes go to `errh` when it is not null.
  void flow_targets(bool is_output, int port, BitVector* result,
                    ErrorHandler* errh = nullptr) const;

 private:
  friend class Router;

  static constexpr int kInlinePorts = 4;

  bool is_inline(const Port* ports) const;

  Port* inputs_ = ports_;
  Port* outputs_ = ports_;
  Port ports_[kInlinePorts];
  int ninputs_ = 0;
  int noutputs_ = 0;
  Router* router_ = nullptr;
  int eindex_ = -1;
  String own_name_;

  static std::atomic<int> live_elements_;
};

// The root element of every router and the stand-in for an element of an
// unknown class: any ports, no flow between them, any configuration, and an
// initialisation that always fails (the parser has already said why).
class ErrorElement : public Element {
 public:
  const char* class_name() const override { return "Error"; }
  const char* port_count() const override { return "-/-"; }
  const char* flow_code() const override { return "x/y"; }
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  int initialize(ErrorHandler*) override { return -1; }
};

#endif  // GRAPH_ELEMENT_H_
