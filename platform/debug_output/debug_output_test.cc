#include "platform/debug_output/debug_output.h"

#include <gtest/gtest.h>

namespace platform {
namespace {

TEST(DebugOutputTest, GoesToTheInstalledSinkUntilRemoved) {
  RecordingDebugOutput sink;
  EXPECT_EQ(set_debug_output(&sink), nullptr);
  output_debug_string("one");
  output_debug_string("two");
  EXPECT_EQ(set_debug_output(nullptr), &sink);
  output_debug_string("to syslog");
  EXPECT_EQ(sink.texts(), (std::vector<std::string>{"one", "two"}));
}

}  // namespace
}  // namespace platform
