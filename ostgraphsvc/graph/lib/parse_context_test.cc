#include "graph/parse_context.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/error_handler.h"

#include "ostgraphsvc/graph/lib/graph_testing.h"
namespace {

using graph_testing::Lines;

TEST(ParseContextTest, MessagesCarryTheKeywordAndErrorsClearTheReadStatus) {
  Lines errh;
  ParseContext context(nullptr, &errh);
  context.read_status = true;
  context.warning("argument deprecated");
  EXPECT_TRUE(context.read_status);
  context.keyword = "RATE";
  context.error("invalid number");
  EXPECT_FALSE(context.read_status);
  EXPECT_EQ(errh.lines, (std::vector<std::string>{"<4>warning: argument deprecated",
                                                  "<3>RATE: invalid number"}));
  EXPECT_EQ(errh.error_count(), 1);

  ParseContext::blank.read_status = true;
  ParseContext::blank.error("shown nowhere");
  EXPECT_FALSE(ParseContext::blank.read_status);
}

}  // namespace
