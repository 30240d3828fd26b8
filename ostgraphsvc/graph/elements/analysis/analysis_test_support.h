// Packet shapes shared by the flow element's tests.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_ANALYSIS_TEST_SUPPORT_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_ANALYSIS_TEST_SUPPORT_H_

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "tests/support/graph_harness.h"

namespace analysis_test {

inline testing_support::PacketSpec Shape(uint8_t protocol, const char* src, uint16_t sport,
                                         const char* dst, uint16_t dport, uint8_t flags = 0) {
  testing_support::PacketSpec s;
  s.protocol = protocol;
  s.src = src;
  s.sport = sport;
  s.dst = dst;
  s.dport = dport;
  s.tcp_flags = flags;
  return s;
}

// A packet of `shape` carrying `payload`; TCP with the given sequence and
// acknowledgement numbers. Checksums are not redone: nothing here checks
// them.
inline std::vector<uint8_t> PayloadBytes(testing_support::PacketSpec shape,
                                         const std::string& payload, uint32_t seq = 0,
                                         uint32_t ack = 0) {
  shape.payload = payload.size();
  std::vector<uint8_t> b = testing_support::BuildIPv4(shape);
  const size_t l4 = 20 + shape.ip_options;
  const size_t at = l4 + (shape.protocol == 6 ? 20 : 8);
  std::memcpy(b.data() + at, payload.data(), payload.size());
  if (shape.protocol == 6) {
    for (int i = 0; i < 4; ++i) {
      b[l4 + 4 + i] = static_cast<uint8_t>(seq >> (24 - 8 * i));
      b[l4 + 8 + i] = static_cast<uint8_t>(ack >> (24 - 8 * i));
    }
  }
  return b;
}

}  // namespace analysis_test

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_ANALYSIS_ANALYSIS_TEST_SUPPORT_H_
