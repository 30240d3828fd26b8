#include "ostgraphsvc/graph/elements/tcpudp/rewrite_pattern.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/error_handler.h"
#include "graph/string_builder.h"

namespace {

class Lines : public ErrorHandler {
 public:
  void* emit(const String& line, void* user_data, bool) override {
    const char* begin = ErrorHandler::skip_annotations(line.begin(), line.end());
    text += std::string(begin, line.end());
    return user_data;
  }
  std::string text;
};

IPAddress Addr(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return IPAddress(a.s_addr);
}

struct ParseCase {
  const char* text;
  const char* shown;  // or the error
  uint32_t variation;
  bool sequential;
  bool same_first;
};

TEST(RewritePatternTest, ParsesFormsAndShowsThem) {
  const ParseCase cases[] = {
      {"10.0.0.1 -", "10.0.0.1 -", 0, false, true},
      {"- 192.0.2.9", "- 192.0.2.9", 0, false, true},
      {"10.0.0.1 59500-60000 - -", "10.0.0.1 59500-60000 - -", 500, false, true},
      // Three words: SADDR DADDR SPORT, shown in the four-word order.
      {"10.0.0.1 - 0-65535#", "10.0.0.1 0-65535 - -", 65535, true, false},
      {"10.0.0.1 1024 192.0.2.9 80", "10.0.0.1 1024 192.0.2.9 80", 0, false, true},
      {"10.0.0.1 192.0.2.9 5000", "10.0.0.1 5000 192.0.2.9 -", 0, false, true},
      {"192.168.1.0/24 -", "192.168.1.1-192.168.1.254 -", 253, false, true},
      {"192.168.1.77/31 -", "192.168.1.76-192.168.1.77 -", 1, false, true},
      {"192.168.1.77/32 -", "192.168.1.77 -", 0, false, true},
      {"10.0.0.1-10.0.0.9? -", "10.0.0.1-10.0.0.9 -", 8, false, false},
      // With a port, an address range varies the port.
      {"10.0.0.1-10.0.0.3 - - -", "10.0.0.1 0-2 - -", 2, false, true},
  };
  for (const ParseCase& c : cases) {
    Lines errors;
    RewritePattern* pattern = nullptr;
    ASSERT_TRUE(RewritePattern::parse(String(c.text), &pattern, &errors)) << c.text << errors.text;
    StringBuilder sb;
    pattern->unparse(sb);
    EXPECT_STREQ(sb.c_str(), c.shown) << c.text;
    EXPECT_EQ(pattern->variation(), c.variation) << c.text;
    EXPECT_EQ(pattern->sequential(), c.sequential) << c.text;
    EXPECT_EQ(pattern->same_first(), c.same_first) << c.text;
    pattern->unuse();
  }
}

TEST(RewritePatternTest, RefusesBadWords) {
  const std::pair<const char*, const char*> cases[] = {
      {"named", "no such pattern 'named'"},
      {"", "syntax error"},
      {"a b c d e", "syntax error"},
      {"10.0.0 -", "bad source address"},
      {"10.0.0.5-10.0.0.1 -", "bad source address"},
      {"0.0.0.0/24 -", "bad source address"},
      {"10.0.0.1/0 -", "bad source address"},
      {"10.0.0.1/33 -", "bad source address"},
      {"10.0.0.1# -", "bad source address"},
      {"10.0.0.1 0 - -", "bad source port"},
      {"10.0.0.1 65536 - -", "bad source port"},
      {"10.0.0.1 - 9-8", "bad source port"},
      {"10.0.0.1 1.2.3", "bad destination address"},
      {"10.0.0.1 1 - 0", "bad destination port"},
      {"10.0.0.1 1 - 70000", "bad destination port"},
  };
  for (const auto& [text, message] : cases) {
    Lines errors;
    RewritePattern* pattern = nullptr;
    EXPECT_FALSE(RewritePattern::parse(String(text), &pattern, &errors)) << text;
    EXPECT_EQ(errors.text, message) << text;
    EXPECT_EQ(pattern, nullptr);
  }
}

TEST(RewritePatternTest, ParsesOutputsAfterThePattern) {
  const std::pair<const char*, const char*> errors_of[] = {
      {"10.0.0.1 -", "syntax error"},
      {"10.0.0.1 - x 1", "bad forward port"},
      {"10.0.0.1 - 0 -1", "bad reply port"},
      {"10.0.0.1 0 1", "no such pattern '10.0.0.1'"},
  };
  for (const auto& [text, message] : errors_of) {
    Lines errors;
    RewritePattern* pattern = nullptr;
    int f = -1, r = -1;
    EXPECT_FALSE(RewritePattern::parse_with_ports(String(text), &pattern, &f, &r, &errors));
    EXPECT_EQ(errors.text, message) << text;
  }
  Lines errors;
  RewritePattern* pattern = nullptr;
  int f = -1, r = -1;
  ASSERT_TRUE(
      RewritePattern::parse_with_ports(String("10.0.0.1 - 2 3"), &pattern, &f, &r, &errors));
  EXPECT_EQ(f, 2);
  EXPECT_EQ(r, 3);
  pattern->unuse();
}

// Sequential ranges hand out offsets in order and wrap after the last;
// fixed fields replace the packet's, "-" keeps them.
TEST(RewritePatternTest, SequentialOffsetsWrap) {
  Lines errors;
  RewritePattern* pattern = nullptr;
  ASSERT_TRUE(RewritePattern::parse(String("10.0.0.1 100-102# 192.0.2.7 -"), &pattern, &errors));
  const FlowTuple tuple(Addr("10.9.9.9"), Addr("198.51.100.1"), htons(101), htons(53));
  std::vector<int> ports;
  for (int i = 0; i < 5; ++i) {
    FlowTuple out;
    ASSERT_EQ(pattern->map_tuple(tuple, out, nullptr), -2);
    EXPECT_EQ(out.saddr(), Addr("10.0.0.1"));
    EXPECT_EQ(out.daddr(), Addr("192.0.2.7"));
    EXPECT_EQ(out.dport(), htons(53));
    ports.push_back(ntohs(out.sport()));
  }
  EXPECT_EQ(ports, (std::vector<int>{100, 101, 102, 100, 101}));
  pattern->unuse();
}

}  // namespace
