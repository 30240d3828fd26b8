#include "tests/support/fake_proc.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <unistd.h>

#include <filesystem>

#include "tests/support/temp_root.h"

namespace testing_support {
namespace {

namespace fs = std::filesystem;

std::string ReadLink(const std::string& path) {
  char target[PATH_MAX];
  ssize_t n = ::readlink(path.c_str(), target, sizeof target);
  EXPECT_GT(n, 0) << path;
  return n > 0 ? std::string(target, static_cast<size_t>(n)) : std::string();
}

void Link(const std::string& target, const fs::path& at) {
  std::error_code ec;
  fs::remove(at, ec);
  fs::create_symlink(target, at);
}

}  // namespace

std::string BesideThisProgram(std::string_view name) {
  return (fs::path(ReadLink("/proc/self/exe")).parent_path() / name).string();
}

void PlantProcess(const std::string& sysroot, pid_t pid, const std::string& image) {
  const fs::path proc = fs::path(sysroot) / "proc";
  const std::string real = "/proc/" + std::to_string(pid);
  const fs::path dir = proc / std::to_string(pid);
  fs::create_directories(dir / "ns");
  Link("/proc/net", proc / "net");
  Link("/proc/self", proc / "self");
  Link(real + "/fd", dir / "fd");
  Link(image, dir / "exe");
  for (const char* ns : {"mnt", "user"}) Link(ReadLink(real + "/ns/" + ns), dir / "ns" / ns);
  WriteFile((dir / "status").string(), ReadFile(real + "/status"));
}

}  // namespace testing_support
