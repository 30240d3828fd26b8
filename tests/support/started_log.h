// A service log started in a fresh temporary root for one test, shut down
// again when the object goes. Lines carry the process tag "vedororore" and
// the fields `flags` selects; the threshold is info.
#ifndef TESTS_SUPPORT_STARTED_LOG_H_
#define TESTS_SUPPORT_STARTED_LOG_H_

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "client/lib/cxLog/cxLog.h"
#include "tests/support/temp_root.h"

namespace testing_support {

class StartedLog {
 public:
  explicit StartedLog(int flags) {
    cxLogProcessTag = "vedororore";
    cxLogOutput = CXLOG_OUTPUT_FILE;
    started_ = cxLogInit("cxtarndebuglog", "cxtarndebuglog_old");
    EXPECT_TRUE(started_);
    cxLogFormatFlags = flags;
    cxLogThreshold = CXLOG_INFO;
  }
  StartedLog(const StartedLog&) = delete;
  StartedLog& operator=(const StartedLog&) = delete;
  ~StartedLog() { cxLogShutdown(); }

  const TempRoot& root() const { return root_; }
  std::string path() const {
    return root_.path() + "/var/log/Corvex/pellar/Logs/cxtarndebuglog.log";
  }
  std::string text() const { return ReadFile(path()); }
  // What was written since the last call of fresh().
  std::string fresh() {
    std::string all = text();
    std::string tail = all.substr(std::min(seen_, all.size()));
    seen_ = all.size();
    return tail;
  }

 private:
  TempRoot root_;
  bool started_ = false;
  size_t seen_ = 0;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_STARTED_LOG_H_
