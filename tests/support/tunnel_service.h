// The built service on the tunnel fixture: `dovadod -console` in the client
// namespace "c" on a work directory of the test's own, with what the tunnel
// tests read while it runs (its log, the hubs' statistics, the
// path-statistics page, pings through the tunnel).
//
// A TunnelServiceTest is a TunnelTest with a temporary root of its own (the
// service's DOVADOD_ROOT) and at most one service at a time, killed at
// TearDown when the test left it running. Needs root, as TunnelTest does.
#ifndef TESTS_SUPPORT_TUNNEL_SERVICE_H_
#define TESTS_SUPPORT_TUNNEL_SERVICE_H_

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/temp_root.h"
#include "tests/support/tunnel_fixture.h"

namespace testing_support {

// The client's and the hubs' tenant, and the client's overlay address.
inline constexpr char kTenant[] = "tenant-a";
inline constexpr char kClientOverlay[] = "100.64.0.10";
// The port every test hub listens on.
inline constexpr int kHubPort = 443;
// The network-disconnect event that the tunnel adapter's owner creates.
inline constexpr char kDisconnectEvent[] =
    "Global\\netdisconnect-61c66bde-6541-4b08-bed9-ab292de901b6";
// The client's static virtual address, on tarnif.
inline constexpr char kClientVip[] = "100.64.1.10";
// The log line of a path that came up, up to the peer's id.
inline constexpr char kConnectedLine[] = "Tunnel status: Connected, add_path peer id ";

// A test hub in h: its leaf folder, TUN and socket name, its address on h0
// and its overlay address (on its TUN).
struct HubSite {
  const char* name;
  const char* wan;
  const char* overlay;
};
inline constexpr HubSite kHubA{"huba", "198.51.100.1", "100.64.0.1"};
inline constexpr HubSite kHubB{"hubb", "198.51.100.3", "100.64.0.3"};

// The seconds from `start` until now.
double Since(std::chrono::steady_clock::time_point start);

// Polls `done` every 50 ms until it holds (true) or `limit` passed (false).
bool WaitFor(const std::function<bool()>& done, std::chrono::milliseconds limit);

class TunnelServiceTest : public TunnelTest {
 protected:
  // `program`: the service's executable; `hub_program`: the test hub that
  // the HubSite overloads start.
  explicit TunnelServiceTest(std::string program, std::string hub_program = {})
      : program_(std::move(program)), hub_program_(std::move(hub_program)) {}

  void TearDown() override;

  // The client's side as the tunnel adapter's owner and an administrator
  // leave it: a leaf "client" of kTenant; tarnif up with the overlay /16
  // routed to it; the work directory "work" (workdir_), a copy of `example`
  // with the client's certificates, capturing tarnif only; the settings
  // store pointing at it, with a keepalive time-out of 3 s.
  void PrepareClient(const std::string& example);

  // A hub's leaf `name` of kTenant, with `overlay` as its address.
  void MakeHubLeaf(const std::string& name, const std::string& overlay);
  // Starts test hub `program` in h as `name` (its leaf, TUN and control
  // socket) on `wan`:kHubPort with `overlay` on its TUN, the keys of
  // `extra` laid over that; its number, or -1 after a failed expectation.
  int StartHub(const std::string& program, const std::string& name, const std::string& wan,
               const std::string& overlay, const nlohmann::json& extra);
  // Hub `name`'s entries in the overlay file, in group "g1" ("hubs"): its
  // next hop (with its public key) and its remote-site entry.
  nlohmann::json NextHop(const std::string& name, const std::string& wan,
                         const std::string& overlay) const;
  static nlohmann::json RemoteHub(const std::string& overlay);

  // Leaves for kHubA and kHubB, B's address on h0, the client prepared on
  // `example` (PrepareClient) and kClientVip on tarnif, as the adapter's
  // owner leaves it.
  void PrepareHubSites(const std::string& example);
  // The overlay file's document: `hubs` in one group, in order (the first
  // primary), with kClientVip as the static virtual address.
  nlohmann::json Overlay(const std::vector<HubSite>& hubs, bool tls_only) const;
  void WriteOverlay(const nlohmann::json& overlay) const;
  // Starts hub_program as `hub`, with kClientVip mapped to the client and
  // the keys of `extra`; its number, or -1 after a failed expectation.
  int StartHub(const HubSite& hub, const nlohmann::json& extra = nlohmann::json::object());
  // The one established connection in a hub's `stats` that carries 16-byte
  // headers both ways (the client's version exchange is done), or null.
  static const nlohmann::json* Ready(const nlohmann::json& stats);
  bool WaitReady(int hub, std::chrono::milliseconds limit);
  // Waits for the `nth` (from 1) connected-path line with `role` to `hub`;
  // the seconds since `from`, or -1 after `limit`.
  double WaitConnected(const HubSite& hub, const std::string& role, size_t nth,
                       std::chrono::steady_clock::time_point from, std::chrono::milliseconds limit);

  // Puts the service and `client_peer` (the IPC test client) into one folder
  // of the root, the client named "pellarui", since the IPC server takes
  // commands only from the maker's client programs beside its own
  // executable; later starts run the service from there.
  void InstallIpcClient(const std::string& client_peer);
  // Sends the IPC command `command` of `subsystem` from c as that client;
  // true once the service answered "OK".
  bool SendIpc(const std::string& subsystem, const std::string& command);

  // Runs the service in c with the real kernel views and the netfilter
  // backend; waits for its packet thread (started_, then packet_thread_).
  // Fails fatally: call it under ASSERT_NO_FATAL_FAILURE.
  void StartService();
  bool Running();
  // SIGTERM; the exit code (128 + signal when a signal ended it) once it
  // ended within `limit`, else -1 (killed).
  int StopService(std::chrono::seconds limit = std::chrono::seconds(15));
  // Everything the service printed so far.
  std::string Log() const;

  // Hub `hub`'s "stats" answer; an empty object, and a failure, when it
  // does not answer.
  nlohmann::json Stats(int hub);
  // Sends `command` to hub `hub`; a failure unless it answers "ok".
  void Ctl(int hub, const std::string& command);

  // `count` echo requests in c from `from` to `to`, each waited for `wait`
  // seconds; the replies received. What ping printed goes to last_ping_.
  int PingFrom(const std::string& from, const std::string& to, int count, const char* wait = "2");

  // The path-statistics page: its JSON text (after the 4-byte little-endian
  // length), or empty while the service has not written it.
  static std::string PageText();

  std::string workdir_;
  std::string last_ping_;  // what the last PingFrom printed
  pid_t service_ = -1;
  std::chrono::steady_clock::time_point started_;
  std::chrono::steady_clock::time_point packet_thread_;  // when the packet thread ran
  TempRoot root_;

 private:
  std::string program_;
  std::string hub_program_;
  std::string ipc_client_;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TUNNEL_SERVICE_H_
