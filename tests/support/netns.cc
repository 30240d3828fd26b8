#include "tests/support/netns.h"

#include <fcntl.h>
#include <sched.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

extern char** environ;

namespace testing_support {

bool RunProgram(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  pid_t pid = 0;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return false;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TestNetns::TestNetns(const std::string& tag) {
  static std::atomic<int> count{0};
  name_ = "dovadod-" + tag + "-" + std::to_string(::getpid()) + "-" + std::to_string(++count);
  created_ = RunProgram({"ip", "netns", "add", name_});
}

TestNetns::~TestNetns() {
  if (created_) RunProgram({"ip", "netns", "del", name_});
}

bool TestNetns::Ip(std::vector<std::string> args) const {
  args.insert(args.begin(), {"ip", "-n", name_});
  return RunProgram(args);
}

bool TestNetns::RunInside(const std::function<void()>& body) const {
  bool entered = false;
  std::thread([&] {
    int fd = ::open(("/run/netns/" + name_).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    entered = ::setns(fd, CLONE_NEWNET) == 0;
    ::close(fd);
    if (entered) body();
  }).join();
  return entered;
}

}  // namespace testing_support
