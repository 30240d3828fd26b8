#include "client/lib/cxLog/cxCrashDump.h"

#include <execinfo.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxLog/cxSafeText.h"
#include "platform/error/win_error.h"
#include "platform/fs/open_file.h"

namespace {

constexpr char kTag[] = "cxLog";
constexpr int kCrashSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};
// Room for the handler's frames, the unwinder and the line buffers, also with
// sanitizer instrumentation.
constexpr size_t kAltStackSize = 256 * 1024;
// A fault this close to the stack pointer is taken for a stack overflow.
constexpr uintptr_t kStackReach = 64 * 1024;
constexpr int kMaxFrames = 64;

// Written at install, read by the handler; plain arrays so that nothing is
// destroyed under a crash during exit.
char g_dumpPath[PATH_MAX];
char g_exePath[PATH_MAX];
std::atomic<bool> g_haveDumpPath{false};
// Thread id of the thread whose crash is being handled.
std::atomic<long> g_crashingThread{0};

struct AltStack {
  ~AltStack() {
    if (base == nullptr) return;
    // Hands back whatever stack the thread had before (a sanitizer's, which
    // the sanitizer then frees itself).
    ::sigaltstack(&previous, nullptr);
    ::munmap(base, mapped);
  }
  void* base = nullptr;
  size_t mapped = 0;
  stack_t previous = {};
};
thread_local AltStack t_altStack;

const char* signalName(int sig) {
  switch (sig) {
    case SIGSEGV:
      return "SIGSEGV";
    case SIGBUS:
      return "SIGBUS";
    case SIGFPE:
      return "SIGFPE";
    case SIGILL:
      return "SIGILL";
    case SIGABRT:
      return "SIGABRT";
    case SIGTRAP:
      return "SIGTRAP";
    default:
      return "signal";
  }
}

uintptr_t stackPointerOf(const ucontext_t* uc) {
#if defined(__x86_64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RSP]);
#elif defined(__aarch64__)
  return static_cast<uintptr_t>(uc->uc_mcontext.sp);
#else
  (void)uc;
  return 0;
#endif
}

using Text = cxSafeText<512>;

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

bool writeRegisters(int fd, const ucontext_t* uc) {
  bool ok = writeAll(fd, "registers:\n");
#if defined(__x86_64__)
  static constexpr struct {
    const char* name;
    int index;
  } kRegisters[] = {
      {"rax", REG_RAX}, {"rbx", REG_RBX}, {"rcx", REG_RCX}, {"rdx", REG_RDX},
      {"rsi", REG_RSI}, {"rdi", REG_RDI}, {"rbp", REG_RBP}, {"rsp", REG_RSP},
      {"r8", REG_R8},   {"r9", REG_R9},   {"r10", REG_R10}, {"r11", REG_R11},
      {"r12", REG_R12}, {"r13", REG_R13}, {"r14", REG_R14}, {"r15", REG_R15},
      {"rip", REG_RIP}, {"efl", REG_EFL}, {"err", REG_ERR}, {"trapno", REG_TRAPNO},
  };
  for (const auto& r : kRegisters) {
    Text line;
    line.add(r.name).add(" 0x").hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[r.index]), 16);
    ok = writeAll(fd, line.add('\n').view()) && ok;
  }
#elif defined(__aarch64__)
  for (int i = 0; i < 31; ++i) {
    Text line;
    line.add('x').dec(static_cast<uint64_t>(i)).add(" 0x").hex(uc->uc_mcontext.regs[i], 16);
    ok = writeAll(fd, line.add('\n').view()) && ok;
  }
  Text line;
  line.add("sp 0x").hex(uc->uc_mcontext.sp, 16).add("\npc 0x").hex(uc->uc_mcontext.pc, 16);
  line.add("\npstate 0x").hex(uc->uc_mcontext.pstate, 16).add('\n');
  ok = writeAll(fd, line.view()) && ok;
#else
  (void)uc;
#endif
  return ok;
}

bool copyMemoryMap(int fd) {
  int maps = ::open("/proc/self/maps", O_RDONLY | O_CLOEXEC);
  if (maps < 0) return writeAll(fd, "(unavailable)\n");
  bool ok = true;
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(maps, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    ok = writeAll(fd, std::string_view(buf, static_cast<size_t>(n))) && ok;
  }
  ::close(maps);
  return ok;
}

// 0 on success, else the errno of the failure.
int writeDump(int sig, const siginfo_t* info, const ucontext_t* uc, uint32_t code) {
  // The log folder may hold a link or FIFO planted at the dump's name.
  int fd = platform::open_no_links(g_dumpPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd < 0) return errno;
  ::fchmod(fd, 0600);  // an earlier dump may have had a wider mode

  Text head;
  head.add("crash dump of ")
      .add(g_exePath)
      .add("\nprocess ")
      .dec(static_cast<uint64_t>(::getpid()));
  head.add("\nthread ").dec(static_cast<uint64_t>(::syscall(SYS_gettid)));
  head.add("\nsignal ").signedDec(sig).add(' ').add(signalName(sig));
  head.add("\nsignal code ").signedDec(info->si_code);
  head.add("\nexception code ").hex(code, 8, '0', true);
  head.add("\nfault address 0x").hex(reinterpret_cast<uintptr_t>(info->si_addr), 16).add('\n');
  bool ok = writeAll(fd, head.view());
  ok = writeRegisters(fd, uc) && ok;

  ok = writeAll(fd, "backtrace:\n") && ok;
  void* frames[kMaxFrames];
  int count = ::backtrace(frames, kMaxFrames);
  ::backtrace_symbols_fd(frames, count, fd);

  ok = writeAll(fd, "memory map:\n") && ok;
  ok = copyMemoryMap(fd) && ok;
  int err = ok ? 0 : (errno != 0 ? errno : EIO);
  if (::close(fd) != 0 && err == 0) err = errno;
  return err;
}

void logCrashLine(int level, const char* message) {
  if (cxLogThreshold.load(std::memory_order_relaxed) < level ||
      !cxLogEnabled.load(std::memory_order_relaxed)) {
    return;
  }
  cxLogWriteSignalSafe(kTag, __FILE__, __LINE__, level, message);
}

void restoreDefaultAndRaise(int sig) {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  ::sigaction(sig, &dfl, nullptr);
  // Blocked while the handler runs: delivered, now with the default action,
  // as soon as it returns (a hardware fault would also recur there).
  ::raise(sig);
}

void crashHandler(int sig, siginfo_t* info, void* context) {
  int savedErrno = errno;
  long self = ::syscall(SYS_gettid);
  long expected = 0;
  if (!g_crashingThread.compare_exchange_strong(expected, self)) {
    if (expected == self) {
      restoreDefaultAndRaise(sig);
      return;
    }
    // Another thread is writing the dump and will end the process.
    for (;;) {
      struct timespec pause = {1, 0};
      ::nanosleep(&pause, nullptr);
    }
  }

  const ucontext_t* uc = static_cast<const ucontext_t*>(context);
  uint32_t code =
      cxCrashExceptionCode(sig, info->si_code, reinterpret_cast<uintptr_t>(info->si_addr),
                           uc != nullptr ? stackPointerOf(uc) : 0);
  Text message;
  message.add("Critical Exception received: ").hex(code, 8, ' ', true);
  logCrashLine(CXLOG_CRITICAL, message.c_str());

  if (!g_haveDumpPath.load()) {
    logCrashLine(CXLOG_ERROR, "Could not get the dump file location");
    restoreDefaultAndRaise(sig);
    errno = savedErrno;
    return;
  }
  int err = writeDump(sig, info, uc, code);
  Text result;
  if (err == 0) {
    result.add("application exited abnormally! crash dump saved in ").add(g_dumpPath);
  } else {
    result.add("application exited abnormally! failed to save crash dump, err: 0x");
    result.hex(platform::win_error_from_errno(err));
  }
  logCrashLine(CXLOG_ERROR, result.c_str());
  restoreDefaultAndRaise(sig);
  errno = savedErrno;
}

// The dump path: log folder + the executable's name up to its first "." +
// ".dmp". False, with errno set, when it cannot be made.
bool buildDumpPath() {
  ssize_t n = ::readlink("/proc/self/exe", g_exePath, sizeof g_exePath - 1);
  if (n <= 0) return false;
  g_exePath[n] = '\0';
  std::string_view exe(g_exePath, static_cast<size_t>(n));
  std::string_view name = exe.substr(exe.rfind('/') + 1);
  name = name.substr(0, name.find('.'));

  std::string folder;
  if (!cxGetLogDirectory(&folder) || !cxCreateLogDirectory(folder)) {
    errno = ENOENT;
    return false;
  }
  std::string path = folder + std::string(name) + ".dmp";
  if (path.size() >= sizeof g_dumpPath) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(g_dumpPath, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

uint32_t cxCrashExceptionCode(int signal, int siCode, uintptr_t faultAddress,
                              uintptr_t stackPointer) {
  switch (signal) {
    case SIGSEGV: {
      uintptr_t distance =
          faultAddress > stackPointer ? faultAddress - stackPointer : stackPointer - faultAddress;
      return stackPointer != 0 && distance <= kStackReach ? 0xC00000FD : 0xC0000005;
    }
    case SIGBUS:
      return siCode == BUS_ADRALN ? 0x80000002 : 0xC0000006;
    case SIGFPE:
      switch (siCode) {
        case FPE_INTDIV:
          return 0xC0000094;
        case FPE_INTOVF:
          return 0xC0000095;
        case FPE_FLTDIV:
          return 0xC000008E;
        case FPE_FLTOVF:
          return 0xC0000091;
        case FPE_FLTUND:
          return 0xC0000093;
        case FPE_FLTRES:
          return 0xC000008F;
        case FPE_FLTSUB:
          return 0xC000008C;
        default:  // FPE_FLTINV, or sent by a process
          return 0xC0000090;
      }
    case SIGILL:
      return 0xC000001D;
    case SIGABRT:
      return 0xC0000409;
    case SIGTRAP:
      return siCode == TRAP_TRACE ? 0x80000004 : 0x80000003;
    default:
      return 0;
  }
}

bool cxCrashDumpThreadInit() {
  if (t_altStack.base != nullptr) return true;
  size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
  size_t mapped = kAltStackSize + page;
  void* base = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
  if (base == MAP_FAILED) return false;
  // A guard page below the stack turns an overflow of the handler into a
  // fault instead of a silent overwrite.
  ::mprotect(base, page, PROT_NONE);
  stack_t stack = {};
  stack.ss_sp = static_cast<char*>(base) + page;
  stack.ss_size = kAltStackSize;
  stack_t previous = {};
  if (::sigaltstack(&stack, &previous) != 0) {
    ::munmap(base, mapped);
    return false;
  }
  t_altStack.base = base;
  t_altStack.mapped = mapped;
  t_altStack.previous = previous;
  return true;
}

bool cxCrashDumpInstall() {
  bool havePath = buildDumpPath();
  if (!havePath) {
    CXLOG(kTag, CXLOG_ERROR, "failed to get dump file location %d",
          static_cast<int>(platform::win_error_from_errno(errno)));
  }
  g_haveDumpPath.store(havePath);
  if (!cxCrashDumpThreadInit()) {
    CXLOG(kTag, CXLOG_ERROR, "failed to set up the signal stack %d",
          static_cast<int>(platform::win_error_from_errno(errno)));
  }
  // The first unwind loads the unwinder, which allocates: never in a handler.
  void* frames[2];
  ::backtrace(frames, 2);

  struct sigaction action = {};
  action.sa_sigaction = crashHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int sig : kCrashSignals) sigaddset(&action.sa_mask, sig);
  for (int sig : kCrashSignals) ::sigaction(sig, &action, nullptr);
  return havePath;
}
