#include "tests/support/test_flows.h"

#include <cstring>

#include "graph/lexer.h"
#include "graph/packet.h"

namespace testing_support {

namespace {

Element* make_test_flows(uintptr_t) { return new TestFlows; }

}  // namespace

void* TestFlows::cast(const char* name) {
  if (name != nullptr &&
      (std::strcmp(name, "AggregateIPFlows") == 0 || std::strcmp(name, "TestFlows") == 0))
    return this;
  return nullptr;
}

AggregateIPFlows::StatFlowInfo* TestFlows::find_flow_info(Packet* p) {
  const unsigned char* ip = p->data();
  const long length = p->end_data() - ip;
  if (length < 20 || (ip[0] >> 4) != 4) return nullptr;
  const long ihl = (ip[0] & 0x0F) * 4L;
  if (ihl < 20 || ihl > length) return nullptr;
  Key key{ip[9], 0, 0, 0};
  std::memcpy(&key[1], ip + 12, 4);
  std::memcpy(&key[2], ip + 16, 4);
  if ((ip[9] == 6 || ip[9] == 17) && length >= ihl + 4) std::memcpy(&key[3], ip + ihl, 4);
  ++lookups_;
  std::unique_ptr<StatFlowInfo>& flow = flows_[key];
  if (flow == nullptr) flow = std::make_unique<StatFlowInfo>();
  return flow.get();
}

void add_test_flows_class(Lexer* lexer) {
  lexer->add_class(String("TestFlows"), make_test_flows, 0, false);
}

}  // namespace testing_support
