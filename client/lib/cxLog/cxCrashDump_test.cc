#include "client/lib/cxLog/cxCrashDump.h"

#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "platform/named_mutex/named_mutex.h"
#include "tests/support/temp_root.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::Not;
using testing_support::ReadFile;
using testing_support::TempRoot;

TEST(CxCrashDumpTest, ExceptionCodeOfEachSignal) {
  constexpr uintptr_t sp = 0x7ffd00100000;
  struct Case {
    int signal;
    int code;
    uintptr_t address;
    uint32_t expected;
  } cases[] = {
      {SIGSEGV, SEGV_MAPERR, 0, 0xC0000005},
      {SIGSEGV, SEGV_ACCERR, 0x555500001000, 0xC0000005},
      {SIGSEGV, SEGV_MAPERR, sp - 8, 0xC00000FD},  // a push onto the guard page
      {SIGSEGV, SEGV_MAPERR, sp + 4096, 0xC00000FD},
      {SIGSEGV, SEGV_MAPERR, sp - 1024 * 1024, 0xC0000005},
      {SIGBUS, BUS_ADRALN, 1, 0x80000002},
      {SIGBUS, BUS_ADRERR, 0x1000, 0xC0000006},
      {SIGFPE, FPE_INTDIV, 0, 0xC0000094},
      {SIGFPE, FPE_INTOVF, 0, 0xC0000095},
      {SIGFPE, FPE_FLTDIV, 0, 0xC000008E},
      {SIGFPE, FPE_FLTRES, 0, 0xC000008F},
      {SIGFPE, FPE_FLTINV, 0, 0xC0000090},
      {SIGFPE, FPE_FLTOVF, 0, 0xC0000091},
      {SIGFPE, FPE_FLTUND, 0, 0xC0000093},
      {SIGFPE, FPE_FLTSUB, 0, 0xC000008C},
      {SIGILL, ILL_ILLOPC, 0, 0xC000001D},
      {SIGABRT, SI_TKILL, 0, 0xC0000409},
      {SIGTRAP, TRAP_BRKPT, 0, 0x80000003},
      {SIGTRAP, TRAP_TRACE, 0, 0x80000004},
      {SIGTERM, SI_USER, 0, 0},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(cxCrashExceptionCode(c.signal, c.code, c.address, sp), c.expected)
        << c.signal << "/" << c.code << " at " << std::hex << c.address;
  }
}

struct Death {
  bool finished = false;
  int signal = 0;
  std::chrono::steady_clock::duration afterGo{};
};

// Runs the crashing child with `what` under the current root; `beforeGo` runs
// once the child has installed its handlers.
Death RunChild(const char* what, const std::function<void()>& beforeGo = nullptr) {
  Death death;
  int toChild[2], fromChild[2];
  if (::pipe(toChild) != 0 || ::pipe(fromChild) != 0) return death;
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(toChild[0], STDIN_FILENO);
    ::dup2(fromChild[1], STDOUT_FILENO);
    // Our handlers, not the sanitizer's; no core file; a bounded main stack.
    ::setenv("ASAN_OPTIONS",
             "handle_segv=0:handle_sigbus=0:handle_abort=0:handle_sigfpe=0:handle_sigill=0:"
             "detect_stack_use_after_return=0:detect_leaks=0",
             1);
    struct rlimit none = {0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    struct rlimit stack = {8 << 20, 8 << 20};
    ::setrlimit(RLIMIT_STACK, &stack);
    ::execl(CXLOG_CRASH_CHILD, CXLOG_CRASH_CHILD, what, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(toChild[0]);
  ::close(fromChild[1]);
  char ready = 0;
  if (pid > 0 && ::read(fromChild[0], &ready, 1) == 1) {
    if (beforeGo) beforeGo();
    auto go = std::chrono::steady_clock::now();
    (void)!::write(toChild[1], "g", 1);
    int status = 0;
    while (::waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() - go > 60s) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(5ms);
    }
    death.afterGo = std::chrono::steady_clock::now() - go;
    death.finished = WIFSIGNALED(status) && WTERMSIG(status) != SIGKILL;
    death.signal = WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
  } else if (pid > 0) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  ::close(toChild[1]);
  ::close(fromChild[0]);
  return death;
}

class CxCrashDumpChildTest : public ::testing::Test {
 protected:
  std::string Folder() const { return root_.path() + "/var/log/Corvex/pellar/Logs/"; }
  std::string Log() const { return ReadFile(Folder() + "cxtarndebuglog.log"); }
  std::string DumpPath() const { return Folder() + "cxLog_crash_child.dmp"; }

  TempRoot root_;
};

TEST_F(CxCrashDumpChildTest, EachCrashLeavesADumpAndACriticalLineAndDiesOfItsSignal) {
  struct Case {
    const char* what;
    int signal;
    const char* code;
  } cases[] = {
      {"null", SIGSEGV, "C0000005"},
      {"recursion", SIGSEGV, "C00000FD"},
      {"thread-recursion", SIGSEGV, "C00000FD"},
      {"abort", SIGABRT, "C0000409"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove(DumpPath());
    Death death = RunChild(c.what);
    ASSERT_TRUE(death.finished) << "ended with " << death.signal;
    EXPECT_EQ(death.signal, c.signal);

    std::string log = Log();
    EXPECT_THAT(log, HasSubstr(" critical cxCrashDump.cc:"));
    EXPECT_THAT(log,
                HasSubstr(std::string(" cxLog Critical Exception received: ") + c.code + "\n"));
    EXPECT_THAT(log, HasSubstr(" error cxCrashDump.cc:"));
    EXPECT_THAT(log, HasSubstr(" cxLog application exited abnormally! crash dump saved in " +
                               DumpPath() + "\n"));

    struct stat st = {};
    ASSERT_EQ(::stat(DumpPath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::string dump = ReadFile(DumpPath());
    EXPECT_THAT(dump, HasSubstr("\nsignal " + std::to_string(c.signal) + " " +
                                (c.signal == SIGSEGV ? "SIGSEGV" : "SIGABRT") + "\n"));
    EXPECT_THAT(dump, HasSubstr(std::string("\nexception code ") + c.code + "\n"));
    EXPECT_THAT(dump, HasSubstr("\nregisters:\nrax 0x"));
    EXPECT_THAT(dump, HasSubstr("\nbacktrace:\n"));
    EXPECT_THAT(dump, HasSubstr("\nmemory map:\n"));
    EXPECT_THAT(dump, HasSubstr("cxLog_crash_child\n"));  // the image in the map
    EXPECT_THAT(dump, Not(HasSubstr("SECRET-KEY-MATERIAL")));
  }
}

TEST_F(CxCrashDumpChildTest, LogLockHeldElsewhereSkipsTheLinesButNotTheDump) {
  platform::NamedMutex otherProcess;
  Death death = RunChild("null", [&] {
    ASSERT_TRUE(otherProcess.open("Global\\cx_log_mutex"));
    otherProcess.lock();
  });
  otherProcess.unlock();
  ASSERT_TRUE(death.finished) << "ended with " << death.signal;
  EXPECT_EQ(death.signal, SIGSEGV);
  EXPECT_LT(death.afterGo, 10s);  // waiting for the lock would hit the 60 s limit
  EXPECT_THAT(ReadFile(DumpPath()), HasSubstr("\nexception code C0000005\n"));
  EXPECT_THAT(Log(), Not(HasSubstr("Critical Exception")));
  EXPECT_THAT(Log(), Not(HasSubstr("application exited abnormally")));
}

}  // namespace
