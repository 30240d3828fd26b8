// Files the service writes or reads, each with a symbolic link, a dangling
// symbolic link, a hard link or a FIFO planted at its name. Each case runs in
// a child of its own with a deadline: a planted FIFO must never block the
// service, and the file outside the folder the link points at must come out
// unchanged (bytes and mode).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "client/lib/cxLog/cxCrashDump.h"
#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxLog/cxPktDump.h"
#include "graph/error_handler.h"
#include "graph/router_file.h"
#include "ostgraphsvc/config/tarn_config_reader.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "platform/error/win_error.h"
#include "platform/registry/registry.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;
namespace reg = platform::registry;

// Valid client configuration, so that a reader that follows the link shows it.
constexpr char kTargetText[] = "{\"dcfg_client_config\":{\"fail_close\":true}}\n";
constexpr mode_t kTargetMode = 0640;
constexpr auto kDeadline = 10s;

enum class Plant { kSymlink, kDanglingSymlink, kHardLink, kFifo };

const char* PlantName(Plant plant) {
  switch (plant) {
    case Plant::kSymlink:
      return "symlink";
    case Plant::kDanglingSymlink:
      return "dangling symlink";
    case Plant::kHardLink:
      return "hard link";
    case Plant::kFifo:
      return "fifo";
  }
  return "?";
}

std::string LogFolder(const TempRoot& root) { return root.file("var/log/Corvex/pellar/Logs/"); }
std::string LogText(const TempRoot& root) {
  return ReadFile(LogFolder(root) + "cxtarndebuglog.log");
}
std::string StderrText(const TempRoot& root) {
  std::fflush(stderr);
  return ReadFile(root.file("stderr.txt"));
}
bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

void StartLog() {
  cxLogProcessTag = "vedororore";
  cxLogOutput = CXLOG_OUTPUT_FILE;
  cxLogInit("cxtarndebuglog", "cxtarndebuglog_old");
  cxLogThreshold = CXLOG_INFO;
}

uint32_t SetSetting(const char* path, const char* name, const std::string& text) {
  reg::Key key;
  uint32_t rc = reg::create_key(reg::RootKey::kLocalMachine, path,
                                reg::kKeyAllAccess | reg::kKeyWow64_64Key, &key);
  if (rc == 0) {
    rc = reg::set_value(key, name, reg::kRegSz, text.c_str(),
                        static_cast<uint32_t>(text.size() + 1));
  }
  return rc;
}

// The acts run in the child and name what the service did: "refused" (the
// caller's error result or line), "replaced" (a stale temporary removed and
// the write done), "moved aside" (archived before a fresh file), or anything
// else that happened.

std::string WriteSetting(const TempRoot&, const std::string&) {
  uint32_t rc = SetSetting("SOFTWARE\\Planted", "v", "x");
  if (rc == platform::kErrorAccessDenied) return "refused";
  if (rc != 0) return "error " + std::to_string(rc);
  return "written";
}

std::string WriteSettingThroughTemporary(const TempRoot&, const std::string& path) {
  uint32_t rc = SetSetting("SOFTWARE\\Planted", "v", "x");
  struct stat st;
  if (rc == 0 && ::lstat(path.c_str(), &st) != 0) return "replaced";
  return "error " + std::to_string(rc);
}

std::string StartCapture(const TempRoot& root, const std::string& path) {
  cx_pktdump_init(path, 0);
  const uint8_t packet[4] = {0x45, 0, 0, 4};
  bool wrote = cx_pktdump_write(packet, sizeof packet);
  cx_pktdump_close();
  cx_pktdump_rotation_file().waitForArchiveRuns();
  if (!wrote && Contains(StderrText(root), "Failed to open pktdump file")) return "refused";
  struct stat st;
  if (wrote && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1 &&
      ::lstat(cx_pktdump_rotation_file().archivePath(1).c_str(), &st) == 0) {
    return "moved aside";
  }
  return wrote ? "written" : "not written, no line";
}

// The dump is written by a grandchild that crashes with the handlers set.
std::string CrashWithDump(const TempRoot& root, const std::string&) {
  pid_t pid = ::fork();
  if (pid == 0) {
    struct rlimit none = {0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    StartLog();
    cxCrashDumpInstall();
    ::raise(SIGABRT);
    ::_exit(1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFSIGNALED(status)) return "did not crash";
  std::string log = LogText(root);
  if (Contains(log, "failed to save crash dump, err: 0x5\n")) return "refused";
  if (Contains(log, "crash dump saved")) return "written";
  return "no line";
}

std::string WriteLog(const TempRoot& root, const std::string&) {
  StartLog();
  CXLOG("test", CXLOG_ERROR, "planted line");
  cxLogShutdown();
  return Contains(StderrText(root), "Failed to open log file") ? "refused" : "written";
}

// Work-directory readers log their own failure into the (unplanted) log.
std::string PointWorkDirAt(const std::string& path) {
  std::string dir = std::filesystem::path(path).parent_path().string();
  uint32_t rc = SetSetting("SOFTWARE\\Corvex\\tarn", "workdir", dir);
  if (rc != 0) return "workdir setting failed " + std::to_string(rc);
  StartLog();
  return "";
}

std::string JsonVerdict(const TempRoot& root, const std::string& path, bool read) {
  cxLogShutdown();
  if (read) return "read";
  return Contains(LogText(root), "Unable to open file " + path + ", error 5") ? "refused"
                                                                              : "no line";
}

std::string ReadClientConfig(const TempRoot& root, const std::string& path) {
  if (std::string failed = PointWorkDirAt(path); !failed.empty()) return failed;
  bool read = CTarnConfigReader::GetInstance().readVirtualInterfaceInfo();
  return JsonVerdict(root, path, read);
}

std::string ReadFailClose(const TempRoot& root, const std::string& path) {
  if (std::string failed = PointWorkDirAt(path); !failed.empty()) return failed;
  bool read = FailCloseMgr::GetInstance().GetFailCloseConfiguration();
  return JsonVerdict(root, path, read);
}

std::string ReadGraphFile(const TempRoot&, const std::string& path) {
  SilentErrorHandler errh;
  String text = read_whole_file(String(path.c_str()), &errh);
  if (errh.error_count() > 0 && text.empty()) return "refused";
  return "read";
}

struct Row {
  const char* file;
  std::string (*path)(const TempRoot&);
  std::string (*act)(const TempRoot&, const std::string& path);
  // Expected outcome per Plant.
  const char* expected[4];
};

const Row kRows[] = {
    {"hive",
     [](const TempRoot&) { return reg::hive_path(); },
     WriteSetting,
     {"refused", "refused", "refused", "refused"}},
    {"hive temporary",
     [](const TempRoot&) { return reg::hive_path() + ".new"; },
     WriteSettingThroughTemporary,
     {"replaced", "replaced", "replaced", "replaced"}},
    // A start archives what was there; only a dangling link survives to the open.
    {"capture file",
     [](const TempRoot& r) { return LogFolder(r) + "tarnpktdump.pcap"; },
     StartCapture,
     {"moved aside", "refused", "moved aside", "moved aside"}},
    {"crash dump",
     [](const TempRoot& r) { return LogFolder(r) + "planted_files_test.dmp"; },
     CrashWithDump,
     {"refused", "refused", "refused", "refused"}},
    {"log file",
     [](const TempRoot& r) { return LogFolder(r) + "cxtarndebuglog.log"; },
     WriteLog,
     {"refused", "refused", "refused", "refused"}},
    {"client config",
     [](const TempRoot& r) { return r.file("work/ostrel-client-config.json"); },
     ReadClientConfig,
     {"refused", "refused", "refused", "refused"}},
    {"client config (fail-close)",
     [](const TempRoot& r) { return r.file("work/ostrel-client-config.json"); },
     ReadFailClose,
     {"refused", "refused", "refused", "refused"}},
    {"graph file",
     [](const TempRoot& r) { return r.file("work/ostrel.graph"); },
     ReadGraphFile,
     {"refused", "refused", "refused", "refused"}},
};

struct Bounded {
  bool hung = false;
  std::string outcome;
};

// `row.act` in a child with standard error in the root; killed at the deadline.
Bounded RunBounded(const Row& row, const TempRoot& root, const std::string& path) {
  Bounded run;
  int result[2];
  if (::pipe(result) != 0) return run;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);  // a grandchild stuck on a FIFO goes with the child
    ::close(result[0]);
    int err = ::open(root.file("stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, STDERR_FILENO);
    std::string outcome = row.act(root, path);
    (void)!::write(result[1], outcome.data(), outcome.size());
    ::_exit(0);  // no exit handlers: the service's statics belong to the parent
  }
  ::setpgid(pid, pid);
  ::close(result[1]);
  auto start = std::chrono::steady_clock::now();
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > kDeadline) {
      run.hung = true;
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(10ms);
  }
  char buf[256];
  ssize_t n = 0;
  while ((n = ::read(result[0], buf, sizeof buf)) > 0)
    run.outcome.append(buf, static_cast<size_t>(n));
  ::close(result[0]);
  return run;
}

struct Outside {
  Outside() {
    std::string pattern = (std::filesystem::temp_directory_path() / "planted-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) dir = pattern;
    target = dir + "/target";
    absent = dir + "/absent";
    WriteFile(target, kTargetText);
    ::chmod(target.c_str(), kTargetMode);
  }
  ~Outside() {
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
  }
  std::string dir, target, absent;
};

bool PlantAt(Plant plant, const std::string& path, const Outside& outside) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  switch (plant) {
    case Plant::kSymlink:
      return ::symlink(outside.target.c_str(), path.c_str()) == 0;
    case Plant::kDanglingSymlink:
      return ::symlink(outside.absent.c_str(), path.c_str()) == 0;
    case Plant::kHardLink:
      return ::link(outside.target.c_str(), path.c_str()) == 0;
    case Plant::kFifo:
      return ::mkfifo(path.c_str(), 0666) == 0;
  }
  return false;
}

TEST(PlantedFilesTest, EveryFileRefusesLinksAndFifosWithoutHanging) {
  for (const Row& row : kRows) {
    for (Plant plant : {Plant::kSymlink, Plant::kDanglingSymlink, Plant::kHardLink, Plant::kFifo}) {
      SCOPED_TRACE(std::string(row.file) + " with a " + PlantName(plant));
      TempRoot root;
      Outside outside;
      std::string path = row.path(root);
      ASSERT_TRUE(PlantAt(plant, path, outside)) << path;

      Bounded run = RunBounded(row, root, path);
      EXPECT_FALSE(run.hung);
      EXPECT_EQ(run.outcome, row.expected[static_cast<int>(plant)]);

      struct stat st = {};
      ASSERT_EQ(::stat(outside.target.c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, kTargetMode);
      std::string bytes = ReadFile(outside.target);
      EXPECT_TRUE(bytes == kTargetText) << "target now holds " << bytes.size() << " bytes";
      EXPECT_FALSE(std::filesystem::exists(outside.absent));
    }
  }
}

}  // namespace
