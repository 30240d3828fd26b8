// Crashes on purpose for the crash-dump tests: starts the log in
// $DOVADOD_ROOT, installs the crash handlers, writes "r" on standard output,
// waits for one byte on standard input, then fails as argv[1] says.
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include "client/lib/cxLog/cxCrashDump.h"
#include "client/lib/cxLog/cxLog.h"

namespace {

volatile int g_keepGoing = 1;

__attribute__((noinline)) int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (g_keepGoing == 0) return frame[0];
  return Recurse(depth + 1) + frame[0];  // no tail call: every level keeps its frame
}

// The sanitizers would report the store themselves instead of letting it fault.
__attribute__((noinline, no_sanitize_address, no_sanitize_undefined)) void WriteNull() {
  volatile int* target = nullptr;
  // Hidden from the optimiser, which would otherwise drop or replace the store.
  asm volatile("" : "+r"(target));
  *target = 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  std::string_view what = argv[1];
  cxLogProcessTag = "vedororore";
  if (!cxLogInit("cxtarndebuglog", "cxtarndebuglog_old")) return 3;
  cxLogThreshold = CXLOG_INFO;
  if (!cxCrashDumpInstall()) return 4;

  // Stands for key material: it must never reach the dump.
  auto secret = std::make_unique<char[]>(64);
  std::strcpy(secret.get(), "SECRET-");
  std::strcat(secret.get(), "KEY-MATERIAL-0123456789");

  if (::write(STDOUT_FILENO, "r", 1) != 1) return 5;
  char go = 0;
  if (::read(STDIN_FILENO, &go, 1) != 1) return 6;

  if (what == "null") WriteNull();
  if (what == "recursion") Recurse(0);
  if (what == "thread-recursion") {
    std::thread([] {
      cxCrashDumpThreadInit();
      Recurse(0);
    }).join();
  }
  if (what == "abort") std::abort();
  return secret[0] == 'S' ? 7 : 8;
}
