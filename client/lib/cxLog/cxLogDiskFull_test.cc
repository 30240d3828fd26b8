// The log on a full disk: every line in the file is whole, and what could not
// be written is counted. Needs root for a small tmpfs, mounted in a private
// mount namespace of a child process so the machine never sees it.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>

#include "client/lib/cxLog/cxLog.h"
#include "platform/fs/paths.h"
#include "tests/support/temp_root.h"

namespace {

// The child's verdict, or "" when everything held.
std::string RunOnSmallDisk(const std::string& logDir) {
  if (::unshare(CLONE_NEWNS) != 0) return std::string("unshare: ") + std::strerror(errno);
  if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
    return std::string("private mounts: ") + std::strerror(errno);
  if (platform::create_directories(logDir) != 0) return "cannot make the log folder";
  if (::mount("tmpfs", logDir.c_str(), "tmpfs", 0, "size=64k") != 0)
    return std::string("tmpfs: ") + std::strerror(errno);

  cxLogProcessTag = "vedororore";
  cxLogOutput = CXLOG_OUTPUT_FILE;
  if (!cxLogInit("cxtarndebuglog", "cxtarndebuglog_old")) return "cxLogInit failed";
  cxLogFormatFlags = 0;
  cxLogThreshold = CXLOG_INFO;

  // Room for about 40 lines of the log; a line's length does not divide the
  // page size, so the disk fills in the middle of one.
  const std::string filler = logDir + "filler";
  {
    std::string block(64 * 1024 - 8 * 1024, 'f');
    int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0) return "filler";
    ssize_t n = ::write(fd, block.data(), block.size());
    ::close(fd);
    if (n <= 0) return "filler write";
  }
  const std::string pad(150, 'x');
  int written = 0;
  const uint64_t lostBefore = cxLogLostLines();
  while (cxLogLostLines() < lostBefore + 5 && written < 1000) {
    CXLOG("cxLog", CXLOG_INFO, "full %04d %s", written, pad.c_str());
    ++written;
  }
  const uint64_t lost = cxLogLostLines() - lostBefore;
  if (lost < 5) return "the disk never filled";
  ::unlink(filler.c_str());
  for (int i = 0; i < 5; ++i) CXLOG("cxLog", CXLOG_INFO, "after %d %s", i, pad.c_str());
  if (cxLogLostLines() - lostBefore != lost) return "lines lost after space came back";
  cxLogShutdown();

  std::string text = testing_support::ReadFile(logDir + "cxtarndebuglog.log");
  if (text.empty() || text.back() != '\n') return "log does not end a line:\n" + text;
  const std::regex whole(" vedororore cxLog (full \\d{4}|after \\d) x{150}");
  std::istringstream lines(text);
  std::string line;
  int count = 0;
  while (std::getline(lines, line)) {
    if (!std::regex_match(line, whole)) return "broken line: [" + line + "]";
    ++count;
  }
  // Every line is in the file or counted as lost.
  if (count + static_cast<int>(lost) != written + 5)
    return "lines: " + std::to_string(count) + " written, " + std::to_string(lost) + " lost, of " +
           std::to_string(written + 5);
  if (text.find("after 4") == std::string::npos) return "no line after space came back";
  return "";
}

TEST(CxLogDiskFullTest, LinesStayWholeAndLostOnesAreCounted) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a tmpfs";
  testing_support::TempRoot root;
  const std::string logDir = root.path() + "/var/log/Corvex/pellar/Logs/";
  int report[2];
  ASSERT_EQ(::pipe(report), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(report[0]);
    std::string verdict = RunOnSmallDisk(logDir);
    if (!verdict.empty()) (void)!::write(report[1], verdict.data(), verdict.size());
    ::_exit(verdict.empty() ? 0 : 1);
  }
  ::close(report[1]);
  std::string verdict;
  char buf[512];
  for (ssize_t n; (n = ::read(report[0], buf, sizeof buf)) > 0;) verdict.append(buf, n);
  ::close(report[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << verdict;
  EXPECT_EQ(verdict, "");
}

}  // namespace
