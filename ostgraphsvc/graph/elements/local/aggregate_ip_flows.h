// AggregateIPFlows: the flow-analysis element, in the least form the capture
// path needs: its record table and its listener list.
//
// Flow analysis gives each flow a record in a table indexed from 1 (the
// value it writes into a packet's `flow_record_anno`). The capture element's
// drain reports a flow to the listeners once, the first time one of its
// packets leaves the graph: it names an empty egress "WAN", calls every
// listener with `NEW_AGG` in registration order and marks the record
// reported.
//
// Process-wide: the first element that registers itself
// (`register_process_instance`) is the one the drain reports through; later
// ones do not replace it, and an element that goes clears its registration.
// With none registered the drain reports nothing.
//
// The flow record seam: `find_flow_info` answers the record of a packet's
// flow (`StatFlowInfo`), through which the next-hop selector keeps a flow on
// its overlay path. Without flow analysis it answers null, and callers pass
// the packet unchanged.
//
// Ownership: the element owns its records; listeners are not owned and must
// be removed before they go.
//
// Threads: the table, the listeners and the reports belong to the packet
// thread (the capture consumer). Registration happens while the router is
// built; the process-wide pointer itself is atomic.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_AGGREGATE_IP_FLOWS_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_AGGREGATE_IP_FLOWS_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/string.h"
#include "graph/vector.h"

class Packet;

enum AggregateEvent : int {
  NEW_AGG = 0,
};

class AggregateIPFlows;

// One flow's record in the table.
struct AggregateFlowRecord {
  uint32_t aggregate_id = 0;
  bool reported = false;      // set by the drain after the first report
  char egress_name[32] = {};  // NUL-terminated; "WAN" when the drain finds it empty
};

class AggregateListener {
 public:
  virtual ~AggregateListener() = default;
  virtual void notify_flow_event(uint32_t aggregate_id, AggregateEvent event,
                                 AggregateFlowRecord* record, const Packet* p) = 0;
};

// The listener list of the flow element.
class AggregateNotifier {
 public:
  // Appends `listener` unless it is already there.
  void add_listener(AggregateListener* listener);
  void remove_listener(AggregateListener* listener);
  const Vector<AggregateListener*>& listeners() const { return listeners_; }

  // Calls every listener in registration order.
  void notify(uint32_t aggregate_id, AggregateEvent event, AggregateFlowRecord* record,
              const Packet* p);

 private:
  Vector<AggregateListener*> listeners_;
};

class AggregateIPFlows : public Element, public AggregateNotifier {
 public:
  static constexpr uint32_t kMaxRecords = 1000000;

  // One flow's state.
  struct FlowInfo {
    virtual ~FlowInfo() = default;
    virtual void reset() {}
  };

  // A flow's record with what the next-hop selector keeps in it: the
  // overlay path the flow is on and that path's interface and texts.
  struct StatFlowInfo : FlowInfo {
    void reset() override {
      path_id = 0xFFFFFFFF;
      encap_type = String();
      if_index = -1;
      tx_if[0] = '\0';
      rx_if[0] = '\0';
    }

    uint32_t path_id = 0xFFFFFFFF;  // overlay path id; 0xFFFFFFFF = none
    String encap_type;              // protocol text of the chosen path
    int32_t if_index = -1;          // WAN interface index of that path; -1 none
    char tx_if[32] = {};            // NUL-terminated
    char rx_if[32] = {};            // NUL-terminated
  };

  AggregateIPFlows() = default;
  ~AggregateIPFlows() override;

  const char* class_name() const override { return "AggregateIPFlows"; }

  // Records 1..record_count(); `record` is null outside that range or for a
  // slot without a record.
  uint32_t record_count() const { return static_cast<uint32_t>(records_.size()); }
  AggregateFlowRecord* record(uint32_t index);
  // Appends a record for `aggregate_id` and returns its index (1 up), or 0
  // when the table is full.
  uint32_t add_record(uint32_t aggregate_id);

  // The record of the flow `p` belongs to, or null when there is none.
  // Packet thread only.
  virtual StatFlowInfo* find_flow_info(Packet*) { return nullptr; }

  // Becomes the process-wide flow element when there is none yet.
  void register_process_instance();
  // The registered flow element, or null.
  static AggregateIPFlows* process_instance();

 private:
  Vector<AggregateFlowRecord*> records_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_AGGREGATE_IP_FLOWS_H_
