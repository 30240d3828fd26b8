// Crash dumps and the critical exception line.
//
// `cxCrashDumpInstall` (once, by the host, after `cxLogInit`) catches SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGTRAP on an alternate stack. The
// handler logs "Critical Exception received: %8X" with the exception code of
// the signal (`cxCrashExceptionCode`), writes <executable stem>.dmp (mode
// 0600) into the log folder (a link or FIFO at that name is refused, error 5),
// logs where it went or why it failed, restores the
// default action and re-raises, so the process dies of its signal. The dump is
// text: signal, code, fault address, registers, backtrace and the memory map;
// it holds no memory contents, which may include keys.
//
// Everything the handler needs is prepared at install: the dump path, the
// main thread's alternate stack, the unwinder. The handler itself makes only
// async-signal-safe calls and writes its lines only when the log lock is free
// at once, so it never waits for a thread or process that holds the log. Each
// handler runs once (SA_RESETHAND) with the other crash signals blocked: a
// fault inside it ends the process instead of looping. A second thread that
// faults meanwhile waits for the first to end the process.
//
// Alternate stacks are per thread: threads the service starts call
// `cxCrashDumpThreadInit` first, or a stack overflow on them kills the process
// without a dump. Handled exceptions (the Windows first-chance ones) have no
// Linux counterpart; only fatal signals are seen.
#ifndef CLIENT_LIB_CXLOG_CXCRASHDUMP_H_
#define CLIENT_LIB_CXLOG_CXCRASHDUMP_H_

#include <cstdint>

// Installs the handlers; false when the dump location could not be found (the
// handlers are installed anyway and log "Could not get the dump file location"
// on a crash).
bool cxCrashDumpInstall();

// Gives the calling thread its own alternate signal stack, released when the
// thread ends. Idempotent; false when the stack cannot be made.
bool cxCrashDumpThreadInit();

// The Windows exception code of a crash signal: SIGSEGV 0xC0000005, or
// 0xC00000FD when the fault lies near the stack pointer; SIGBUS 0x80000002 for
// misalignment, else 0xC0000006; SIGFPE by its cause (0xC0000094 integer
// divide by zero, 0xC0000095 integer overflow, 0xC000008E-0xC0000093 the
// floating-point faults, 0xC000008C subscript out of range); SIGILL
// 0xC000001D; SIGABRT 0xC0000409; SIGTRAP 0x80000003, or 0x80000004 when
// single-stepping. 0 for any other signal.
uint32_t cxCrashExceptionCode(int signal, int siCode, uintptr_t faultAddress,
                              uintptr_t stackPointer);

#endif  // CLIENT_LIB_CXLOG_CXCRASHDUMP_H_
