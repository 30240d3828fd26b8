// The network of the tunnel's end-to-end tests: a client namespace "c" and a
// hub namespace "h" (each a TestNetns) joined by a veth pair, c0
// 198.51.100.10/24 in c and h0 198.51.100.1/24 in h (more hub addresses on
// request), c's default route via 198.51.100.1, and in c the persistent TUN
// "tarnif" (alias "WinTun Tunnel", MTU 1300, left down) that the test owns as
// the tunnel adapter's owner would. Beside it a temporary root holding a CA
// made with certkit ("ca"), the leaves and work directories the test asks
// for, hub configurations and logs.
//
// Hubs run in h from a configuration text the test shapes: StartHub writes
// it to a file, starts the program with that file as its one argument, and
// waits until the Unix socket named by the configuration's "control" key
// accepts a connection. A hub dies with the test process (parent-death
// signal), so StartHub must be called from the thread that lives as long as
// the fixture (the test's main thread).
//
// Everything made is removed by the destructor: hubs are sent SIGTERM (then
// SIGKILL after 10 s), the namespaces go, and so does the root. Namespaces
// that a crashed earlier run left behind (their pid no longer alive) are
// removed by the next Up. Root only: TunnelTest skips with a message
// otherwise. Not thread-safe.
#ifndef TESTS_SUPPORT_TUNNEL_FIXTURE_H_
#define TESTS_SUPPORT_TUNNEL_FIXTURE_H_

#include <sys/types.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/netns.h"
#include "tools/certkit/certkit.h"

namespace testing_support {

inline constexpr char kTunnelClientAddress[] = "198.51.100.10";
inline constexpr char kTunnelHubAddress[] = "198.51.100.1";
inline constexpr char kTunnelAdapter[] = "tarnif";
inline constexpr char kTunnelAdapterAlias[] = "WinTun Tunnel";

class TunnelNetns {
 public:
  TunnelNetns() = default;
  TunnelNetns(const TunnelNetns&) = delete;
  TunnelNetns& operator=(const TunnelNetns&) = delete;
  ~TunnelNetns();

  // Makes the namespaces, the veth pair, the route, tarnif, the root and its
  // CA. False with the reason; what was made is still removed by the
  // destructor.
  bool Up(std::string* error);

  const TestNetns& client() const { return *client_; }
  const TestNetns& hub() const { return *hub_; }
  const std::string& root() const { return root_; }
  // `relative` below the root.
  std::string path(const std::string& relative) const;

  // Another address (/24) on h0, for a second hub or a second link.
  bool AddHubAddress(const std::string& address, std::string* error);

  // certkit in the root: folders root/<name>; the CA "ca" exists after Up.
  bool MakeCa(const std::string& name, const certkit::CaOptions& options, std::string* error);
  bool MakeLeaf(const std::string& ca, const std::string& name, const certkit::LeafOptions& options,
                std::string* error);
  bool MakeWorkdir(const std::string& ca, const std::string& leaf, const std::string& workdir,
                   std::string* error);

  // Starts `program` in h on a copy of `config` (JSON text, written to
  // root/hub<N>.json; the hub's output goes to root/hub<N>.log). Returns the
  // hub's number once its control socket accepts a connection, or -1 with
  // the reason and the log when it exited or did not answer within
  // `timeout`; a hub that did not answer is killed.
  int StartHub(const std::string& program, const std::string& config, std::string* error,
               std::chrono::milliseconds timeout = std::chrono::seconds(20));
  pid_t HubPid(int hub) const;
  std::string HubControl(int hub) const;  // the "control" socket path
  std::string HubLog(int hub) const;      // everything it printed so far
  // Its exit status (the code, or 128 + signal) once it has ended within
  // `timeout`; -1 while it still runs.
  int WaitHub(int hub, std::chrono::milliseconds timeout);
  // SIGTERM, then SIGKILL when it has not ended after `timeout`; the exit
  // status as WaitHub gives it (137 after the SIGKILL).
  int StopHub(int hub, std::chrono::milliseconds timeout = std::chrono::seconds(10));

  // Runs `args` (PATH lookup, no shell) in `netns` (null: the test's own
  // namespace) with standard input from /dev/null, and returns standard
  // output and error together. `*exit_code` gets the exit status as WaitHub
  // gives it; a program still running after `timeout` is killed with its
  // process group and gets -1.
  static std::string Run(const TestNetns* netns, const std::vector<std::string>& args,
                         int* exit_code = nullptr,
                         std::chrono::milliseconds timeout = std::chrono::seconds(30));

 private:
  struct Hub {
    pid_t pid = -1;
    int status = -1;  // once reaped
    std::string control;
    std::string log;
  };

  std::unique_ptr<TestNetns> client_;
  std::unique_ptr<TestNetns> hub_;
  std::string root_;
  std::vector<Hub> hubs_;
};

// Sends `command` and a newline to the stream socket at `socket` and reads
// one line back (without its newline, at most 1 MiB) into `*answer`. False
// with the reason when the socket does not answer within `timeout`.
bool HubCtl(const std::string& socket, const std::string& command, std::string* answer,
            std::string* error, std::chrono::milliseconds timeout = std::chrono::seconds(5));

// A test on a TunnelNetns that is up: skipped without root.
class TunnelTest : public testing::Test {
 protected:
  void SetUp() override;

  TunnelNetns net_;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TUNNEL_FIXTURE_H_
