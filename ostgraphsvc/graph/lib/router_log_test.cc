#include "graph/router_log.h"

#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "graph/string.h"
#include "tests/support/started_log.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempRoot;

// A started log in a fresh root; lines carry the level number so that the
// mapped level is visible.
class RouterLogTest : public ::testing::Test {
 protected:
  std::string Log() const { return log_.text(); }

  testing_support::StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  const testing_support::TempRoot& root_ = log_.root();
};

TEST(RouterLogLevelTest, MapsSyslogLevelsToServiceLevels) {
  struct Case {
    int level;
    int service_level;
  } cases[] = {
      {0, 1}, {1, 1}, {2, 1},   {3, 2},  {4, 3},    {5, 4},  {6, 4},
      {7, 5}, {8, 4}, {100, 4}, {-1, 1}, {-999, 1}, {-2, 4}, {-1000, 4},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(router_log_service_level(c.level), c.service_level) << "level " << c.level;
  }
}

// "%n" stores how far vsnprintf got, so it shows whether the call formatted.
TEST_F(RouterLogTest, FilteredCallsReturnBeforeFormatting) {
  struct Case {
    int threshold;
    bool enabled;
    int level;
    const char* line;  // null: nothing written
  } cases[] = {
      {CXLOG_INFO, true, 6, " vedororore 4 t message"},
      {CXLOG_WARN, true, 6, nullptr},
      {CXLOG_INFO, true, 7, nullptr},
      {CXLOG_DEBUG, true, 7, " vedororore 5 t message"},
      {CXLOG_CRITICAL, true, -999, " vedororore 1 t message"},
      {CXLOG_UNKNOWN, true, -999, nullptr},
      {CXLOG_DUMP, false, 6, nullptr},
  };
  for (const Case& c : cases) {
    cxLogThreshold = c.threshold;
    cxLogEnabled = c.enabled;
    std::string before = Log();
    int formatted = -1;
    log_syslog_level(c.level, "t", "f.cc", 3, "message%n", &formatted);
    cxLogEnabled = true;
    SCOPED_TRACE(::testing::Message() << "threshold " << c.threshold << " level " << c.level);
    EXPECT_EQ(formatted, c.line != nullptr ? 7 : -1);
    EXPECT_EQ(Log(), before + (c.line != nullptr ? std::string(c.line) + "\n" : ""));
  }
}

TEST_F(RouterLogTest, TextIsWrittenAsFormattedAndCutAt3023Characters) {
  log_syslog_level(6, "t", "f.cc", 3, "%s", "100%s %d");
  log_syslog_level(6, "t", "f.cc", 3, "%d%% of %s", 50, "flows");
  for (size_t length : {3023u, 3024u, 5000u}) {
    log_syslog_level(6, "t", "f.cc", 3, "%s", std::string(length, 'm').c_str());
  }
  std::string line = " vedororore 4 t " + std::string(3023, 'm') + "\n";
  EXPECT_EQ(Log(), " vedororore 4 t 100%s %d\n vedororore 4 t 50% of flows\n" + line + line + line);
}

TEST_F(RouterLogTest, SourceAndTagGoToTheLine) {
  cxLogFormatFlags = CXLOG_FMT_SOURCE | CXLOG_FMT_LEVEL_NAME;
  log_syslog_level(3, "Router::initialize", "/src/graph/router.cc", 412, "bad %s", "port");
  EXPECT_EQ(Log(), " vedororore error router.cc:412 Router::initialize bad port\n");
}

TEST_F(RouterLogTest, ChatterIsAnInfoLineTaggedGraph) {
  cxLogFormatFlags = 0x4F;
  router_chatter("%s loaded, %d%%", "ostrel.graph", 100);
  std::string pattern = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} vedororore p[0-9a-f]+ )"
                        R"(t[0-9a-f]+ info :1 graph ostrel\.graph loaded, 100%\n)";
  std::string log = Log();
  EXPECT_TRUE(std::regex_match(log, std::regex(pattern))) << log;

  cxLogThreshold = CXLOG_WARN;
  int formatted = -1;
  router_chatter("quiet%n", &formatted);
  EXPECT_EQ(formatted, -1);
  EXPECT_EQ(Log(), log);
}

TEST(RouterLogLevelTest, SetsTheHighestLevelWhoseNameStartsWithTheGivenOne) {
  router_log_level = 6;
  struct Case {
    const char* name;
    int level;
  } cases[] = {
      {"warn", 4}, {"info", 6},      {"x", 6},      {"E", 3},          {"", 7},
      {"de", 7},   {"CRIT", 2},      {"Notice", 5}, {"emergencyx", 5},  // longer: no match
      {"a", 1},    {"EMERGENCY", 0}, {"debug ", 0}, {"ERROR", 3},
  };
  for (const Case& c : cases) {
    set_router_log_level(String(c.name));
    EXPECT_EQ(router_log_level, c.level) << '"' << c.name << '"';
  }
  router_log_level = 6;
}

}  // namespace
