#include "tools/dovadod-reg/reg_tool.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "platform/registry/registry.h"
#include "tests/support/temp_root.h"

extern char** environ;

namespace dovadod_reg {
namespace {

namespace reg = platform::registry;
using namespace std::string_literals;

struct Result {
  int status;
  std::string out;
  std::string err;
};

Result tool(const std::vector<std::string>& args) {
  std::ostringstream out, err;
  int status = run(args, out, err);
  return {status, out.str(), err.str()};
}

std::string stored(const char* path, const char* name, uint32_t view = 0) {
  uint32_t size = 0, type = 0;
  if (reg::get_value(reg::RootKey::kLocalMachine, path, view, name, reg::kRrfRtAny, nullptr,
                     nullptr, &size) != 0) {
    return "missing";
  }
  std::string data(size, '\0');
  reg::get_value(reg::RootKey::kLocalMachine, path, view, name, reg::kRrfRtAny, &type, data.data(),
                 &size);
  return std::string(reg::type_name(type)) + ":" + data;
}

TEST(RegToolTest, SetsEveryTypeAndGetsItsData) {
  testing_support::TempRoot root;
  struct Case {
    std::vector<std::string> set;  // TYPE and DATA
    std::string stored;
    std::string got;
  } cases[] = {
      {{"REG_SZ", "/opt/corvex/tarn"}, "REG_SZ:/opt/corvex/tarn\0"s, "/opt/corvex/tarn\n"},
      {{"REG_SZ", ""}, "REG_SZ:\0"s, "\n"},
      {{"REG_EXPAND_SZ", "%TEMP%\\x"}, "REG_EXPAND_SZ:%TEMP%\\x\0"s, "%TEMP%\\x\n"},
      {{"REG_MULTI_SZ", "a", "b c"}, "REG_MULTI_SZ:a\0b c\0\0"s, "a\nb c\n"},
      {{"REG_DWORD", "30"}, "REG_DWORD:\x1e\0\0\0"s, "30\n"},
      {{"REG_DWORD", "0xFFFFFFFF"}, "REG_DWORD:\xff\xff\xff\xff"s, "4294967295\n"},
      {{"REG_QWORD", "4294967296"}, "REG_QWORD:\0\0\0\0\1\0\0\0"s, "4294967296\n"},
      {{"REG_BINARY", "01,ff", "0A"}, "REG_BINARY:\x01\xff\x0a"s, "01ff0a\n"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"set", "HKLM\\SOFTWARE\\Corvex\\tarn", "v"};
    args.insert(args.end(), c.set.begin(), c.set.end());
    Result r = tool(args);
    ASSERT_EQ(r.status, 0) << c.set[0] << ": " << r.err;
    EXPECT_EQ(stored("SOFTWARE\\Corvex\\tarn", "v"), c.stored) << c.set[0];
    r = tool({"get", "HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\tarn", "V"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.got) << c.set[0];
  }
  // A value a person typed in a type the tool does not set is shown as hex.
  reg::Key key;
  ASSERT_EQ(reg::open_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn", reg::kKeyAllAccess,
                          &key),
            0u);
  ASSERT_EQ(reg::set_value(key, "odd", reg::kRegNone, "\x12", 1), 0u);
  EXPECT_EQ(tool({"get", "HKLM\\SOFTWARE\\Corvex\\tarn", "odd"}).out, "12\n");
}

TEST(RegToolTest, ListsSubKeysThenValues) {
  testing_support::TempRoot root;
  const std::string key = "HKLM\\SOFTWARE\\Corvex\\tarn";
  ASSERT_EQ(tool({"set", key, "workdir", "REG_SZ", "/srv"}).status, 0);
  ASSERT_EQ(tool({"set", key, "", "REG_SZ", "default"}).status, 0);
  ASSERT_EQ(tool({"set", key, "KeepAlive", "REG_DWORD", "30"}).status, 0);
  ASSERT_EQ(tool({"set", key, "Paths", "REG_MULTI_SZ", "a", "b"}).status, 0);
  ASSERT_EQ(tool({"set", key + "\\sse", "x", "REG_SZ", "1"}).status, 0);
  ASSERT_EQ(tool({"set", key + "\\Alpha", "x", "REG_SZ", "1"}).status, 0);
  Result r = tool({"list", key});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "Alpha\\\n"
            "sse\\\n"
            "workdir\tREG_SZ\t/srv\n"
            "\tREG_SZ\tdefault\n"
            "KeepAlive\tREG_DWORD\t30\n"
            "Paths\tREG_MULTI_SZ\ta\\0b\n");
  EXPECT_EQ(tool({"list", "HKLM\\SOFTWARE\\Corvex"}).out, "tarn\\\n");
}

TEST(RegToolTest, ExitsWithOneOnFailureAndTwoOnBadUsage) {
  testing_support::TempRoot root;
  ASSERT_EQ(tool({"set", "HKLM\\SOFTWARE\\K", "v", "REG_SZ", "x"}).status, 0);
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string err_start;
  } cases[] = {
      {{"get", "HKLM\\SOFTWARE\\K", "x"},
       1,
       "dovadod-reg: HKLM\\SOFTWARE\\K value \"x\": error 2\n"},
      {{"get", "HKLM\\SOFTWARE\\None", "v"}, 1, "dovadod-reg: HKLM\\SOFTWARE\\None: error 2\n"},
      {{"list", "HKLM\\SOFTWARE\\None"}, 1, "dovadod-reg: HKLM\\SOFTWARE\\None: error 2\n"},
      {{"delete", "HKLM\\SOFTWARE\\None"}, 1, "dovadod-reg: HKLM\\SOFTWARE\\None: error 2\n"},
      {{"delete", "HKLM\\SOFTWARE\\K", "x"},
       1,
       "dovadod-reg: HKLM\\SOFTWARE\\K value \"x\": error 2\n"},
      {{"delete", "HKLM"}, 1, "dovadod-reg: HKLM: error 5\n"},
      {{"set", "HKLM\\SOFTWARE\\K", "bad\tname", "REG_SZ", "x"},
       1,
       "dovadod-reg: HKLM\\SOFTWARE\\K value \"bad\tname\": error 87\n"},
      {{"set", "HKLM\\SOFTWARE\\" + std::string(256, 'k'), "v", "REG_SZ", "x"},
       1,
       "dovadod-reg: HKLM"},
      {{"get", "SOFTWARE\\K", "v"},
       2,
       "dovadod-reg: KEY must start with HKLM\\: SOFTWARE\\K\nusage:"},
      {{"get", "HKEY_CURRENT_USER\\K", "v"}, 2, "dovadod-reg: KEY must start with HKLM\\"},
      {{"get", "HKLMX\\K", "v"}, 2, "dovadod-reg: KEY must start with HKLM\\"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_DWORD", "4294967296"},
       2,
       "dovadod-reg: bad data for REG_DWORD\n"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_DWORD", "-1"},
       2,
       "dovadod-reg: bad data for REG_DWORD\n"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_QWORD", "0x"},
       2,
       "dovadod-reg: bad data for REG_QWORD\n"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_BINARY", "1"},
       2,
       "dovadod-reg: bad data for REG_BINARY"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_SZ", "a", "b"},
       2,
       "dovadod-reg: bad data for REG_SZ"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_SZ"}, 2, "dovadod-reg: bad data for REG_SZ"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_MULTI_SZ", "a", ""},
       2,
       "dovadod-reg: bad data for REG_MULTI_SZ"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_NONE"}, 2, "dovadod-reg: bad data for REG_NONE"},
      {{"set", "HKLM\\SOFTWARE\\K", "n", "REG_TEXT", "a"},
       2,
       "dovadod-reg: unknown type REG_TEXT\n"},
      {{"get", "HKLM\\SOFTWARE\\K"}, 2, "dovadod-reg: bad command line for get\nusage:"},
      {{"list", "HKLM\\SOFTWARE\\K", "v"}, 2, "dovadod-reg: bad command line for list\n"},
      {{"watch", "HKLM\\SOFTWARE\\K", "1000"}, 2, "dovadod-reg: bad command line for watch\n"},
      {{"query", "HKLM\\SOFTWARE\\K"}, 2, "dovadod-reg: bad command line for query\n"},
      {{"--32", "list", "HKLM\\SOFTWARE\\K"}, 2, "dovadod-reg: bad command line for --32\n"},
      {{"-32"}, 2, "dovadod-reg: no command\n"},
      {{}, 2, "dovadod-reg: no command\n"},
  };
  for (const Case& c : cases) {
    Result r = tool(c.args);
    std::string line = c.args.empty() ? "" : c.args[0];
    EXPECT_EQ(r.status, c.status) << line << ": " << r.err;
    EXPECT_EQ(r.err.substr(0, c.err_start.size()), c.err_start) << line;
    EXPECT_EQ(r.out, "") << line;
  }
  EXPECT_EQ(stored("SOFTWARE\\K", "n"), "missing");
  EXPECT_EQ(stored("SOFTWARE\\K", "v"), "REG_SZ:x\0"s);
}

TEST(RegToolTest, DeletesValuesAndKeysInEitherView) {
  testing_support::TempRoot root;
  ASSERT_EQ(tool({"-32", "set", "HKLM\\SOFTWARE\\Corvex", "v", "REG_DWORD", "1"}).status, 0);
  EXPECT_EQ(stored("SOFTWARE\\WOW6432Node\\Corvex", "v"), "REG_DWORD:\1\0\0\0"s);
  EXPECT_EQ(tool({"-32", "get", "HKLM\\SOFTWARE\\Corvex", "v"}).out, "1\n");
  EXPECT_EQ(tool({"get", "HKLM\\SOFTWARE\\Corvex", "v"}).status, 1);
  ASSERT_EQ(tool({"set", "HKLM\\SOFTWARE\\Corvex\\a\\b", "w", "REG_SZ", "x"}).status, 0);

  EXPECT_EQ(tool({"-32", "delete", "HKLM\\SOFTWARE\\Corvex", "v"}).status, 0);
  EXPECT_EQ(stored("SOFTWARE\\WOW6432Node\\Corvex", "v"), "missing");
  EXPECT_EQ(tool({"-32", "delete", "HKLM\\SOFTWARE\\Corvex"}).status, 0);
  EXPECT_EQ(tool({"list", "HKLM\\SOFTWARE\\WOW6432Node\\Corvex"}).status, 1);
  EXPECT_EQ(tool({"delete", "HKLM\\SOFTWARE\\Corvex\\a\\"}).status, 0);
  EXPECT_EQ(tool({"list", "HKLM\\SOFTWARE\\Corvex"}).out, "");
  EXPECT_EQ(tool({"list", "HKLM\\SOFTWARE"}).out, "Corvex\\\nWOW6432Node\\\n");
}

TEST(RegToolTest, WarnsAboutLinesOfTheHiveItSkips) {
  testing_support::TempRoot root;
  testing_support::WriteFile(reg::hive_path(), "[HKLM\\K]\n\"a\"=\"1\"\n\"b\"=oops\n");
  Result r = tool({"get", "HKLM\\K", "a"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "1\n");
  EXPECT_EQ(r.err, "dovadod-reg: warning: " + reg::hive_path() +
                       ":3: unreadable line skipped: \"b\"=oops\n");
}

// Runs the built program; its standard output comes back through `out_fd`.
pid_t spawn_program(const std::vector<std::string>& args, int* out_fd) {
  int pipe_fds[2];
  if (::pipe(pipe_fds) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipe_fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, pipe_fds[0]);
  std::vector<std::string> all = {DOVADOD_REG_PROGRAM};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, DOVADOD_REG_PROGRAM, &actions, nullptr, argv.data(), environ) != 0) {
    pid = -1;
  }
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipe_fds[1]);
  *out_fd = pipe_fds[0];
  return pid;
}

int exit_status(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

// Runs the built program to its end; its exit status, or -1.
int run_program(const std::vector<std::string>& args) {
  int out_fd = -1;
  pid_t pid = spawn_program(args, &out_fd);
  if (pid <= 0) return -1;
  ::close(out_fd);
  return exit_status(pid);
}

TEST(RegToolTest, ItsWritesWakeAWatchOnTheirKeyOnly) {
  testing_support::TempRoot root;
  const std::string key = "HKLM\\SOFTWARE\\Corvex\\tarn\\sse";
  ASSERT_EQ(run_program({"set", key, "old", "REG_SZ", "x"}), 0);
  std::unique_ptr<reg::KeyWatch> watch;
  ASSERT_EQ(
      reg::KeyWatch::start(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn\\sse", 0, &watch),
      0u);

  // Elsewhere: another key, a sub-key of the watched one.
  ASSERT_EQ(run_program({"set", "HKLM\\SOFTWARE\\Corvex\\tarn", "v", "REG_SZ", "1"}), 0);
  ASSERT_EQ(run_program({"set", key + "\\child", "v", "REG_SZ", "1"}), 0);
  EXPECT_FALSE(watch->wait(200));

  // The watch wakes within a second of the program's start, while it runs.
  const std::vector<std::string> steps[] = {{"set", key, "tarninternetbypass", "REG_SZ", "1"},
                                            {"delete", key}};
  for (const std::vector<std::string>& step : steps) {
    int out_fd = -1;
    auto started = std::chrono::steady_clock::now();
    pid_t pid = spawn_program(step, &out_fd);
    ASSERT_GT(pid, 0);
    EXPECT_TRUE(watch->wait(1000)) << step[0];
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
    EXPECT_EQ(exit_status(pid), 0);
    ::close(out_fd);
  }
  EXPECT_EQ(stored("SOFTWARE\\Corvex\\tarn\\sse", "tarninternetbypass"), "missing");
}

// Reads a line from `fd` within `timeout_ms`; empty when none came.
std::string read_line_within(int fd, int timeout_ms) {
  std::string line;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    struct pollfd p = {fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
    char c;
    if (::read(fd, &c, 1) != 1) return "";
    if (c == '\n') return line;
    line.push_back(c);
  }
}

TEST(RegToolTest, WatchPrintsChangedPerChangeUntilKilled) {
  testing_support::TempRoot root;
  int out_fd = -1;
  pid_t pid = spawn_program({"watch", "HKLM\\SOFTWARE\\Corvex\\tarn"}, &out_fd);
  ASSERT_GT(pid, 0);
  reg::Key key;
  ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn",
                            reg::kKeyAllAccess, &key),
            0u);
  // The program sets its watch at some point after its start: change the key
  // until it reports.
  std::string line;
  for (uint32_t i = 0; i < 50 && line.empty(); ++i) {
    ASSERT_EQ(reg::set_value(key, "KeepAlive", reg::kRegDword, &i, 4), 0u);
    line = read_line_within(out_fd, 100);
  }
  EXPECT_EQ(line, "changed");
  uint32_t again = 1000;
  ASSERT_EQ(reg::set_value(key, "KeepAlive", reg::kRegDword, &again, 4), 0u);
  EXPECT_EQ(read_line_within(out_fd, 5000), "changed");

  ASSERT_EQ(::kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM);
  ::close(out_fd);
}

}  // namespace
}  // namespace dovadod_reg
