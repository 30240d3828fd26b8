#include "graph/parse_context.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/error_handler.h"

namespace {

class Lines : public ErrorHandler {
 public:
  void* emit(const String& line, void* user_data, bool) override {
    lines.emplace_back(line.data(), static_cast<size_t>(line.length()));
    return user_data;
  }
  std::vector<std::string> lines;
};

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
