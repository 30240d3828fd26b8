// A network namespace of the test's own, for tests that need real interfaces
// (veth pairs: this kernel has no dummy type). It is made with `ip netns add`
// and removed again however the test ends; interfaces are configured with
// `ip -n`, so nothing touches the machine's own namespace. Needs root.
#ifndef TESTS_SUPPORT_NETNS_H_
#define TESTS_SUPPORT_NETNS_H_

#include <functional>
#include <string>
#include <vector>

namespace testing_support {

// Runs a program found on PATH, without a shell; true when it exits 0.
bool RunProgram(const std::vector<std::string>& args);

class TestNetns {
 public:
  // `tag` goes into the name, with the pid and a counter.
  explicit TestNetns(const std::string& tag);
  TestNetns(const TestNetns&) = delete;
  TestNetns& operator=(const TestNetns&) = delete;
  ~TestNetns();

  bool created() const { return created_; }
  const std::string& name() const { return name_; }

  // `ip -n <name> args...`.
  bool Ip(std::vector<std::string> args) const;

  // Runs `body` on a thread of its own that has entered the namespace (setns
  // moves only that thread; netlink and sockets opened there live in it).
  // False when the thread could not enter.
  bool RunInside(const std::function<void()>& body) const;

 private:
  std::string name_;
  bool created_ = false;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_NETNS_H_
