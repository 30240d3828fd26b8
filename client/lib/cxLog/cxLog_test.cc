#include "client/lib/cxLog/cxLog.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iomanip>
#include <map>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "client/lib/cxLog/cxFileUtils.h"
#include "client/lib/cxLog/cxRotationFile.h"
#include "platform/debug_output/debug_output.h"
#include "platform/named_mutex/named_mutex.h"
#include "platform/process/process.h"
#include "tests/support/netns.h"
#include "tests/support/temp_root.h"
#include "tests/support/unix_datagram.h"

namespace {

using testing_support::CountOf;
using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string Hex(uint32_t v) {
  std::ostringstream out;
  out << std::hex << v;
  return out.str();
}

// Each test gets its own root, a started log and the service's settings.
class CxLogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    cxLogProcessTag = "vedororore";
    cxLogOutput = CXLOG_OUTPUT_FILE;
  }
  void TearDown() override {
    cxLogShutdown();
    platform::set_debug_output(nullptr);
  }

  bool Start() {
    if (!cxLogInit("cxtarndebuglog", "cxtarndebuglog_old")) return false;
    cxLogFormatFlags = 0x4F;
    cxLogThreshold = CXLOG_INFO;
    return true;
  }
  std::string Folder() const { return root_.path() + "/var/log/Corvex/pellar/Logs/"; }
  std::string LogPath() const { return Folder() + "cxtarndebuglog.log"; }
  std::string Log() const { return ReadFile(LogPath()); }

  TempRoot root_;
};

TEST_F(CxLogTest, LineLayoutFollowsTheFormatFlags) {
  ASSERT_TRUE(Start());
  const std::string pid = Hex(platform::current_process_id());
  const std::string tid = Hex(platform::current_thread_id());
  const std::string time = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3})";
  struct Case {
    int flags;
    int level;
    std::string pattern;
  } cases[] = {
      {0x4F, CXLOG_CRITICAL,
       time + " vedororore p" + pid + " t" + tid +
           " critical main:52 main User does not have admin rights!"},
      {0x00, CXLOG_CRITICAL, " vedororore main User does not have admin rights!"},
      {0x10, CXLOG_WARN, " vedororore 3 main User does not have admin rights!"},
      {0x48, CXLOG_DUMP, " vedororore dump main:52 main User does not have admin rights!"},
      {0x7F, CXLOG_INFO,
       time + " vedororore p" + pid + " t" + tid +
           " 4 info main:52 main User does not have admin rights!"},
  };
  for (const Case& c : cases) {
    cxLogFormatFlags = c.flags;
    cxLogWrite("main", "C:\\src\\dovadod\\main", 52, c.level, false,
               "User does not have %s rights!", "admin");
    std::vector<std::string> lines = Lines(Log());
    ASSERT_FALSE(lines.empty());
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex(c.pattern)))
        << "flags " << c.flags << ": \"" << lines.back() << "\"";
  }
  std::string text = Log();
  EXPECT_EQ(text.back(), '\n');
  EXPECT_EQ(text.find('\r'), std::string::npos);
}

TEST_F(CxLogTest, SourceFileIsCutAfterTheLastSeparator) {
  ASSERT_TRUE(Start());
  cxLogFormatFlags = CXLOG_FMT_SOURCE;
  struct Case {
    const char* path;
    const char* printed;
  } cases[] = {
      {"C:\\a\\b\\c.src", "c.src"},
      {"x/y/z.src", "z.src"},
      {"plain.src", "plain.src"},
      {"a/b\\c/d.src", "c/d.src"},  // a backslash wins over later slashes
  };
  for (const Case& c : cases) {
    cxLogWrite("t", c.path, 7, CXLOG_INFO, false, "m");
    EXPECT_EQ(Lines(Log()).back(), std::string(" vedororore ") + c.printed + ":7 t m");
  }
}

TEST_F(CxLogTest, MessagesAreCutAt4095CharactersAndPercentIsSafeInArguments) {
  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "%s", std::string(5000, 'm').c_str());
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "%s", "100%s %d");
  std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0], " vedororore t " + std::string(4095, 'm'));
  EXPECT_EQ(lines[1], " vedororore t 100%s %d");
}

TEST_F(CxLogTest, NothingIsWrittenBeforeInitOrAfterShutdown) {
  cxLogThreshold = CXLOG_DUMP;
  cxLogWrite("t", "f", 1, CXLOG_CRITICAL, false, "before");
  CXLOG("t", CXLOG_CRITICAL, "before");
  EXPECT_FALSE(std::filesystem::exists(Folder()));

  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  cxLogWrite("t", "f", 1, CXLOG_DUMP, false, "direct above threshold");  // the core does not filter
  cxLogShutdown();
  cxLogWrite("t", "f", 1, CXLOG_CRITICAL, false, "after");
  CXLOG("t", CXLOG_CRITICAL, "after");
  EXPECT_EQ(Log(), " vedororore t direct above threshold\n");
}

TEST_F(CxLogTest, FilteredCallSitesEvaluateNothing) {
  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  int evaluated = 0;
  auto arg = [&] { return ++evaluated; };
  CXLOG("t", CXLOG_DEBUG, "debug %d", arg());
  CXLOG("t", CXLOG_INFO, "info %d", arg());
  cxLogEnabled = false;
  CXLOG("t", CXLOG_INFO, "disabled %d", arg());
  cxLogEnabled = true;
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(Log(), " vedororore t info 1\n");
}

TEST_F(CxLogTest, StderrOutputStillRotatesTheFile) {
  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  cxLogOutput = CXLOG_OUTPUT_STDERR;
  std::filesystem::resize_file(LogPath(), kCxLogMaxFileSize);
  ::testing::internal::CaptureStderr();
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "to stderr");
  std::string err = ::testing::internal::GetCapturedStderr();
  cxLogRotationFile().waitForArchiveRuns();
  EXPECT_THAT(err, ::testing::HasSubstr(" vedororore t to stderr\n"));
  EXPECT_EQ(Log(), "");  // rotated, and nothing written to the file
  EXPECT_EQ(std::filesystem::file_size(Folder() + "cxtarndebuglog.1.log"),
            static_cast<uintmax_t>(kCxLogMaxFileSize));
}

TEST_F(CxLogTest, DebuggerOutputGetsTheLineWithoutNewline) {
  platform::RecordingDebugOutput debug;
  platform::set_debug_output(&debug);
  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  cxLogOutput = CXLOG_OUTPUT_DEBUGGER;
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "hello");
  cxLogOutput = 9;  // unknown target: nowhere
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "lost");
  EXPECT_EQ(debug.texts(), std::vector<std::string>{" vedororore t hello"});
  EXPECT_EQ(Log(), "");
}

TEST_F(CxLogTest, DebugStringHasItsOwnFixedLayout) {
  platform::RecordingDebugOutput debug;
  platform::set_debug_output(&debug);
  cxLogDebugString("cxUtils", "C:\\x\\cxFileUtils.cpp", 12, 5,
                   "failed to delete protected file = %d", 5);
  ASSERT_EQ(debug.texts().size(), 1u);
  std::string expected = R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} p)" +
                         Hex(platform::current_process_id()) + " t" +
                         Hex(platform::current_thread_id()) +
                         R"( 5 cxFileUtils\.cpp:12 cxUtils failed to delete protected file = 5)";
  EXPECT_TRUE(std::regex_match(debug.texts()[0], std::regex(expected))) << debug.texts()[0];
}

TEST_F(CxLogTest, RotationAtTheSizeLimitShiftsTheArchive) {
  WriteFile(LogPath(), std::string(kCxLogMaxFileSize - 1, 'a'));
  WriteFile(Folder() + "cxtarndebuglog.1.log", "previous archive");
  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "x");  // one short line fills the file past the limit
  EXPECT_EQ(std::filesystem::file_size(LogPath()), static_cast<uintmax_t>(kCxLogMaxFileSize) + 15);
  EXPECT_EQ(ReadFile(Folder() + "cxtarndebuglog.1.log"), "previous archive");

  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "first of the new file");
  cxLogRotationFile().waitForArchiveRuns();
  EXPECT_EQ(std::filesystem::file_size(Folder() + "cxtarndebuglog.1.log"),
            static_cast<uintmax_t>(kCxLogMaxFileSize) + 15);
  EXPECT_FALSE(cxFileExists(Folder() + "cxtarndebuglog_old.log"));
  EXPECT_THAT(Lines(Log()),
              ::testing::UnorderedElementsAre(" vedororore t first of the new file",
                                              " vedororore cxLog ==> Archiving log file.",
                                              " vedororore cxLog <== Archiving log file."));
  EXPECT_EQ(Lines(Log())[0], " vedororore t first of the new file");
}

TEST_F(CxLogTest, InitArchivesALeftoverOldFile) {
  WriteFile(Folder() + "cxtarndebuglog_old.log", "left over");
  WriteFile(Folder() + "cxtarndebuglog.1.log", "older");
  WriteFile(LogPath(), "kept\n");
  ASSERT_TRUE(Start());
  EXPECT_FALSE(cxFileExists(Folder() + "cxtarndebuglog_old.log"));
  EXPECT_EQ(ReadFile(Folder() + "cxtarndebuglog.1.log"), "left over");
  cxLogFormatFlags = 0;
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "appended");
  EXPECT_EQ(Log(), "kept\n vedororore t appended\n");
}

TEST_F(CxLogTest, FailedMoveNeitherTruncatesNorArchivesNorRecurses) {
  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  cxLogThreshold = CXLOG_DUMP;
  WriteFile(Folder() + "cxtarndebuglog.1.log", "previous archive");
  WriteFile(Folder() + "cxtarndebuglog_old.log/blocker", "");  // a folder the move cannot replace
  std::filesystem::resize_file(LogPath(), kCxLogMaxFileSize);
  for (int i = 0; i < 3; ++i) cxLogWrite("t", "f", 1, CXLOG_INFO, false, "line %d", i);
  cxLogRotationFile().waitForArchiveRuns();

  std::string text = Log();
  EXPECT_EQ(text.find_first_not_of('\0'), static_cast<size_t>(kCxLogMaxFileSize));  // not truncated
  std::vector<std::string> lines = Lines(text.substr(kCxLogMaxFileSize));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_THAT(lines[0], ::testing::MatchesRegex(
                            " vedororore cxLog Failed to move file\\. .*cxtarndebuglog\\.log to "
                            ".*cxtarndebuglog_old\\.log, err 5"));
  EXPECT_EQ(lines[1], " vedororore t line 0");
  EXPECT_EQ(lines[2], " vedororore t line 1");
  EXPECT_EQ(lines[3], " vedororore t line 2");
  EXPECT_EQ(ReadFile(Folder() + "cxtarndebuglog.1.log"), "previous archive");
}

TEST_F(CxLogTest, UnopenableFileCostsEachLineOneAttempt) {
  std::filesystem::create_directories(LogPath());  // a folder where the file should be
  ::testing::internal::CaptureStderr();
  ASSERT_TRUE(Start());
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "one");
  cxLogWrite("t", "f", 1, CXLOG_INFO, false, "two");
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Failed to open log file: " + LogPath() +
                     " err: 21\n"
                     "Failed to open log file\nFailed to open log file\n");
}

TEST_F(CxLogTest, FolderIsUnderProgramDataForRootAndPlaceholderGoesAtShutdown) {
  if (!platform::is_administrator()) GTEST_SKIP() << "needs root";
  std::string folder;
  bool programData = false;
  uint32_t session = 99;
  ASSERT_TRUE(cxGetLogDirectory(&folder, &programData, &session));
  EXPECT_EQ(folder, Folder());
  EXPECT_TRUE(programData);
  EXPECT_EQ(session, 0u);

  ASSERT_TRUE(Start());
  EXPECT_TRUE(cxLogInProgramData());
  EXPECT_TRUE(std::filesystem::exists(platform::NamedMutex::lock_path("Global\\cx_log_mutex")));
  WriteFile(Folder() + "logplaceholder", "");
  cxLogShutdown();
  EXPECT_FALSE(cxFileExists(Folder() + "logplaceholder"));
  EXPECT_TRUE(cxFileExists(LogPath()));
}

TEST_F(CxLogTest, UncreatableFolderFailsInitAndTellsTheDebugger) {
  platform::RecordingDebugOutput debug;
  platform::set_debug_output(&debug);
  WriteFile(root_.file("var/log/Corvex"), "a file in the way");
  EXPECT_FALSE(Start());
  EXPECT_FALSE(cxLogEnabled);
  ASSERT_EQ(debug.texts().size(), 1u);
  EXPECT_THAT(debug.texts()[0], ::testing::EndsWith(" cxLog failed to create log directory: 3"));
}

// Two processes share the file and the named mutex: every line arrives whole.
TEST_F(CxLogTest, TwoProcessesInterleaveWholeLinesOnly) {
  constexpr int kLines = 10000;
  const std::string padding(60, '.');
  pid_t children[2];
  for (int c = 0; c < 2; ++c) {
    children[c] = ::fork();
    ASSERT_GE(children[c], 0);
    if (children[c] == 0) {
      bool ok = Start();
      cxLogFormatFlags = 0;
      for (int i = 0; ok && i < kLines; ++i) {
        cxLogWrite("t", "f", 1, CXLOG_INFO, false, "child %d line %d %s", c, i, padding.c_str());
      }
      cxLogShutdown();
      ::_exit(ok ? 0 : 1);
    }
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::vector<std::string> lines = Lines(Log());
  ASSERT_EQ(lines.size(), 2u * kLines);
  int next[2] = {0, 0};
  std::regex shape(" vedororore t child ([01]) line (\\d+) " + std::string(60, '.'));
  for (const std::string& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, std::regex(shape))) << line;
    int c = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next[c]++);  // each process's lines in order, none lost
  }
}

// Seconds since 1970 of a line's local "YYYY/MM/DD HH:MM:SS" prefix.
time_t LocalSeconds(const std::string& line) {
  std::tm t = {};
  std::istringstream in(line.substr(0, 19));
  in >> std::get_time(&t, "%Y/%m/%d %H:%M:%S");
  t.tm_isdst = -1;
  return std::mktime(&t);
}

TEST_F(CxLogTest, SignalSafeLineHasTheOrdinaryLayout) {
  ASSERT_TRUE(Start());
  for (int flags : {0x00, 0x4F, 0x7F, 0x18}) {
    cxLogFormatFlags = flags;
    cxLogWrite("cxLog", "C:\\src\\cxCrashDump.cpp", 88, CXLOG_CRITICAL, false, "%s",
               "Critical Exception received: C0000005");
    ASSERT_TRUE(cxLogWriteSignalSafe("cxLog", "C:\\src\\cxCrashDump.cpp", 88, CXLOG_CRITICAL,
                                     "Critical Exception received: C0000005"));
    std::vector<std::string> lines = Lines(Log());
    ASSERT_GE(lines.size(), 2u);
    std::string ordinary = lines[lines.size() - 2], safe = lines.back();
    if (flags & CXLOG_FMT_TIME) {
      EXPECT_LE(std::abs(LocalSeconds(safe) - LocalSeconds(ordinary)), 2) << safe;
      EXPECT_TRUE(std::regex_match(safe.substr(0, 24),
                                   std::regex(R"(\d{4}/\d{2}/\d{2} \d{2}:\d{2}:\d{2}\.\d{3} )")));
      ordinary.erase(0, 23);
      safe.erase(0, 23);
    }
    EXPECT_EQ(safe, ordinary) << "flags " << flags;
  }
  cxLogFormatFlags = 0;
  ASSERT_TRUE(cxLogWriteSignalSafe("t", "f", 1, CXLOG_ERROR, std::string(5000, 'm').c_str()));
  EXPECT_EQ(Lines(Log()).back(), " vedororore t " + std::string(4095, 'm'));
}

TEST_F(CxLogTest, SignalSafeLineIsSkippedWhileAnotherProcessHoldsTheLock) {
  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  int other = ::open(platform::NamedMutex::lock_path("Global\\cx_log_mutex").c_str(), O_RDWR);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  EXPECT_FALSE(cxLogWriteSignalSafe("t", "f", 1, CXLOG_CRITICAL, "skipped"));
  ::close(other);
  EXPECT_TRUE(cxLogWriteSignalSafe("t", "f", 1, CXLOG_CRITICAL, "written"));
  EXPECT_EQ(Log(), " vedororore t written\n");

  cxLogShutdown();
  EXPECT_FALSE(cxLogWriteSignalSafe("t", "f", 1, CXLOG_CRITICAL, "after shutdown"));
}

// A call site that outside input can trigger writes ten lines a second; the
// rest are counted and reported ahead of its next line. No message leaves an
// empty line behind, whatever line ends it carries.
TEST_F(CxLogTest, LimitedCallSiteWritesItsBudgetThenCountsTheRest) {
  ASSERT_TRUE(Start());
  cxLogFormatFlags = 0;
  auto flood = [](int n) {
    for (int i = 0; i < n; ++i) CXLOG_LIMITED("t", CXLOG_WARN, "bad packet %d\n", i);
  };
  flood(100);
  CXLOG("t", CXLOG_INFO, "other site\r\n");
  std::vector<std::string> expected;
  for (int i = 0; i < 10; ++i) expected.push_back(" vedororore t bad packet " + std::to_string(i));
  expected.push_back(" vedororore t other site");
  EXPECT_EQ(Lines(Log()), expected);

  std::this_thread::sleep_for(std::chrono::milliseconds(1050));
  flood(1);
  expected.push_back(" vedororore t 90 more suppressed");
  expected.push_back(" vedororore t bad packet 0");
  EXPECT_EQ(Lines(Log()), expected);
  EXPECT_EQ(Log().find("\n\n"), std::string::npos);
}

// Text from outside cannot start a line of its own or pass for an escape,
// and a long one costs a bounded part of the line.
TEST(CxLogEscapeTest, ControlBytesAreEscapedAndLengthIsBounded) {
  using namespace std::string_literals;
  auto repeated = [](std::string_view piece, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += piece;
    return out;
  };
  struct Case {
    std::string text;
    size_t maxBytes;
    std::string escaped;
  } cases[] = {
      {"ui", kCxLogMaxEscaped, "ui"},
      {"a\nb\rc", kCxLogMaxEscaped, "a\\nb\\rc"},
      {"\x01\t\x1f\x7f"s + "\0"s, kCxLogMaxEscaped, "\\x01\\x09\\x1F\\x7F\\x00"},
      {"C:\\n", kCxLogMaxEscaped, "C:\\\\n"},  // a literal backslash-n stays apart
      {"caf\xc3\xa9 \x80", kCxLogMaxEscaped, "caf\xc3\xa9 \x80"},
      {"abcdef", 6, "abcdef"},  // fits exactly: not cut
      {"abcdefg", 6, "abc..."},
      {"ab\ncdef", 6, "ab..."},  // an escape is never split
      {"\n\n\n\n", 7, "\\n\\n..."},
      {std::string(100000, '\n'), kCxLogMaxEscaped, repeated("\\n", 126) + "..."},
  };
  for (const Case& c : cases) {
    std::string escaped = cxLogEscape(c.text, c.maxBytes);
    EXPECT_EQ(escaped, c.escaped) << testing::PrintToString(c.text);
    EXPECT_LE(escaped.size(), c.maxBytes);
  }
}

// Make the temporary root reachable for another account, so that only the
// lock file's own mode decides.
void OpenPathTo(const std::string& root) {
  for (const char* dir : {"", "/run", "/run/dovadod"}) ::chmod((root + dir).c_str(), 0755);
}

// As root the log lives in the ProgramData folder, and its lock is root's
// alone: an account that could hold it could stall every thread that logs.
TEST_F(CxLogTest, LockOfTheRootLogIsRootsAlone) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: the log is under ProgramData only for root";
  ASSERT_TRUE(Start());
  const std::string lock = platform::NamedMutex::lock_path("Global\\cx_log_mutex");
  struct stat st;
  ASSERT_EQ(::stat(lock.c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, 0u);
  EXPECT_EQ(st.st_mode & 07777, 0600u);

  OpenPathTo(root_.path());
  auto nobodyCanTake = [](const std::string& path) {
    return testing_support::RunProgram({"setpriv", "--reuid=65534", "--regid=65534",
                                        "--clear-groups", "flock", "-n", "-x", path, "true"});
  };
  // The same account can take a lock any account may open beside it.
  platform::NamedMutex open;
  ASSERT_TRUE(open.open("Global\\shared_by_all"));
  EXPECT_TRUE(nobodyCanTake(platform::NamedMutex::lock_path("Global\\shared_by_all")));
  EXPECT_FALSE(nobodyCanTake(lock));
}

// A lock file another account planted before the service started is not used:
// the log says so once and goes on, serialised within this process.
TEST_F(CxLogTest, PlantedLockFileIsRefusedWithOneLine) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root: plants a file of another owner";
  const std::string lock = platform::NamedMutex::lock_path("Global\\cx_log_mutex");
  struct Case {
    const char* what;
    uid_t owner;
    mode_t mode;
  } cases[] = {
      {"another owner", 65534, 0600},
      {"root's, but any account may open it", 0, 0666},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::create_directories(std::filesystem::path(lock).parent_path());
    WriteFile(lock, "");
    ASSERT_EQ(::chown(lock.c_str(), c.owner, c.owner), 0);
    ASSERT_EQ(::chmod(lock.c_str(), c.mode), 0);
    ASSERT_TRUE(Start());
    cxLogWrite("t", "f", 1, CXLOG_INFO, false, "still logging");
    cxLogShutdown();
    std::string log = Log();
    EXPECT_EQ(CountOf(log, "log lock " + lock + " not used, error 5"), 1u) << log;
    EXPECT_NE(log.find("still logging"), std::string::npos);
    std::filesystem::remove(lock);
    std::filesystem::remove(LogPath());
  }
}

}  // namespace
