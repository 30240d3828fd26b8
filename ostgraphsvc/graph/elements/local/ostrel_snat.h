// The source-NAT leg's two local elements.
//
// OstrelSNATIPMapper holds the SNAT patterns made for the host's current
// overlay address and answers the rewriters' requests for new mappings
// through the IPMapper interface (cast "IPMapper"). It has no ports. Each
// address change calls `add_napt_pattern` (rules and patterns 1 and 2) and
// then `clear_snat_flows`, which clears "nat/iprw" and "nat/icmprw" found
// from this element's context.
//
// OstrelL3ProtoClassifier sorts packets by IP protocol onto the inputs of
// the rewriters: input 0 takes outbound traffic (TCP 0, UDP 2, echo request
// 4, ICMP error 6, anything else 7) and writes the pattern id of the first
// matching mapper rule into `snat_pattern_anno`; input 1 takes inbound
// traffic to the virtual address (TCP 1, UDP 3, echo reply 5, ICMP error 6;
// else 7). The first classifier configured in the process is the one the
// address manager updates (`process_classifier`); its registration goes
// when it is destroyed.
//
// Ownership: the mapper owns its pattern specs; the classifier points at
// the mapper, an element of the same router.
// Threads: the packet-processing thread (pushes, address changes) and the
// router thread during configure; nothing is locked.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_SNAT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_SNAT_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/ipaddress.h"
#include "graph/vector.h"
#include "ostgraphsvc/graph/elements/tcpudp/iprewriterbase.h"

struct NaptRule {
  IPAddress wan;
  uint8_t protocol;
  uint16_t pattern_id;
};

class OstrelSNATIPMapper : public Element, public IPMapper {
 public:
  OstrelSNATIPMapper() = default;
  ~OstrelSNATIPMapper() override;

  const char* class_name() const override { return "OstrelSNATIPMapper"; }
  const char* port_count() const override { return "0"; }
  const char* processing() const override { return kAgnostic; }
  int configure_phase() const override { return 8; }
  void* cast(const char* name) override;
  // Any arguments, ignored.
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  // "mappings" (read) and "reconfigure" (write).
  void add_handlers() override;

  // Rebuilds the rules and patterns for the WAN address `address`: 0, or -1
  // when a pattern text does not parse (the rules made so far stay).
  int add_napt_pattern(IPAddress address);
  // Parses `text` into a new pattern with the next id; false on failure.
  bool add_pattern(const String& text, uint16_t* id);
  // Clears the flows of "nat/iprw" and "nat/icmprw".
  void clear_snat_flows();

  void attach_rewriter(IPRewriterBase* rewriter, RewriteInputSpec* spec,
                       ErrorHandler* errh) override;
  int rewrite_flowid(RewriteInputSpec* spec, const FlowTuple& tuple, FlowTuple& rewritten,
                     Packet* p, int map_id) override;

  const Vector<NaptRule>& rules() const { return rules_; }
  // The pattern spec of `id`, or null.
  RewriteInputSpec* pattern(uint16_t id) const {
    return id < patterns_.size() ? patterns_[id] : nullptr;
  }

 private:
  static String mappings_handler(Element* e, void* user_data);
  static int reconfigure_handler(const String& value, Element* e, void* user_data,
                                 ErrorHandler* errh);
  void clear_rewriter(const char* name, const char* missing);

  Vector<NaptRule> rules_;
  // Indexed by pattern id; null where no pattern was made.
  Vector<RewriteInputSpec*> patterns_;
  uint16_t next_pattern_id_ = 1;
};

class OstrelL3ProtoClassifier : public Element {
 public:
  OstrelL3ProtoClassifier() = default;
  ~OstrelL3ProtoClassifier() override;

  const char* class_name() const override { return "OstrelL3ProtoClassifier"; }
  const char* port_count() const override { return "2/-"; }
  const char* processing() const override { return kPush; }
  const char* flags() const override { return "A"; }
  bool can_live_reconfigure() const override { return true; }
  // The mapper element's name.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  void push(int port, Packet* p) override;

  // The classifier the address manager updates, or null.
  static OstrelL3ProtoClassifier* process_classifier();
  // Network order.
  void set_virtual_address(IPAddress address) { virtual_address_ = address; }
  IPAddress virtual_address() const { return virtual_address_; }
  OstrelSNATIPMapper* mapper() const { return mapper_; }

 private:
  // The output for `p`, setting its pattern id on the outbound side.
  int classify(int port, Packet* p) const;

  OstrelSNATIPMapper* mapper_ = nullptr;
  IPAddress virtual_address_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_LOCAL_OSTREL_SNAT_H_
