// Processes planted in the fake /proc of a test's system root, for code that
// admits a process by what /proc says it runs.
#ifndef TESTS_SUPPORT_FAKE_PROC_H_
#define TESTS_SUPPORT_FAKE_PROC_H_

#include <sys/types.h>

#include <string>
#include <string_view>

namespace testing_support {

// `name` in the folder of the running test program.
std::string BesideThisProgram(std::string_view name);

// Makes the live process `pid` appear under `sysroot`/proc running `image`:
// its descriptors, namespaces and status are the real ones, only the
// executable is planted. The socket tables and /proc/self are the real ones
// too. Leaves the environment alone.
void PlantProcess(const std::string& sysroot, pid_t pid, const std::string& image);

}  // namespace testing_support

#endif  // TESTS_SUPPORT_FAKE_PROC_H_
