// "TestFlows": a flow element for tests of what reads flow records. It
// stands in for flow analysis under the name "agg": one record per
// 5-tuple (protocol, addresses, and TCP/UDP ports when the header is there),
// made on the first lookup, kept until the element goes.
//
// Port count "1/1", agnostic: packets pass through unchanged, so it can sit
// on the packet road where flow analysis would. It answers cast for
// "AggregateIPFlows".
//
// Threads: the packet thread, like the element it stands in for.
#ifndef TESTS_SUPPORT_TEST_FLOWS_H_
#define TESTS_SUPPORT_TEST_FLOWS_H_

#include <array>
#include <cstdint>
#include <map>
#include <memory>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/analysis/aggregate_ip_flows.h"

class Lexer;

namespace testing_support {

class TestFlows : public AggregateIPFlows {
 public:
  const char* class_name() const override { return "TestFlows"; }
  const char* port_count() const override { return "1/1"; }
  const char* processing() const override { return kAgnostic; }
  void* cast(const char* name) override;
  // None of the flow element's set-up or packet work: packets pass.
  int configure(Vector<String>&, ErrorHandler*) override { return 0; }
  int initialize(ErrorHandler*) override { return 0; }
  void cleanup(CleanupStage) override {}
  void add_handlers() override {}
  void push(int, Packet* p) override { output(0).push(p); }
  Packet* pull(int) override { return input(0).pull(); }

  // Null for a packet that is not a whole IPv4 header.
  StatFlowInfo* find_flow_info(Packet* p) override;

  size_t flow_count() const { return flows_.size(); }
  // Lookups answered, records made or found.
  uint64_t lookups() const { return lookups_; }

 private:
  using Key = std::array<uint32_t, 4>;  // protocol, source, destination, ports
  std::map<Key, std::unique_ptr<StatFlowInfo>> flows_;
  uint64_t lookups_ = 0;
};

// Enters "TestFlows" into `lexer`'s classes.
void add_test_flows_class(Lexer* lexer);

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TEST_FLOWS_H_
