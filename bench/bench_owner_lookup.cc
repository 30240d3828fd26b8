// The owner of a loopback TCP endpoint with 1,000 other sockets open: the
// first lookup (nothing remembered, every descriptor walked) and a repeated one
// (one remembered owner re-checked), against one read and parse of
// /proc/net/tcp, which every lookup does anyway.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <vector>

#include "bench/ratio_reporter.h"
#include "client/lib/cxWinUtils/cxtcpip.h"
#include "platform/socket_owner/socket_owner.h"

namespace {

constexpr int kOtherPairs = 500;  // both ends open: 1,000 sockets

sockaddr_in g_target{};
uint32_t g_self = 0;

// A connection to `listener`; its client end's local address in `*local`.
bool Connect(int listener, std::vector<int>* fds, sockaddr_in* local) {
  sockaddr_in to{};
  socklen_t len = sizeof to;
  if (::getsockname(listener, reinterpret_cast<sockaddr*>(&to), &len) != 0) return false;
  int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (client < 0) return false;
  fds->push_back(client);
  if (::connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
  int server = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (server < 0) return false;
  fds->push_back(server);
  len = sizeof *local;
  return ::getsockname(client, reinterpret_cast<sockaddr*>(local), &len) == 0;
}

void BM_ReadProcNetTcp(benchmark::State& state) {
  std::vector<platform::SocketRow> rows;
  for (auto _ : state) {
    if (platform::read_socket_table(platform::SocketTable::kTcp, &rows) != 0) {
      state.SkipWithError("cannot read /proc/net/tcp");
      break;
    }
    benchmark::DoNotOptimize(rows.data());
  }
  state.counters["rows"] = static_cast<double>(rows.size());
}
BENCHMARK(BM_ReadProcNetTcp);

void BM_OwnerLookupCold(benchmark::State& state) {
  for (auto _ : state) {
    platform::clear_socket_owner_cache();
    if (cxGetTcpOwnerPid(reinterpret_cast<const sockaddr*>(&g_target)) != g_self) {
      state.SkipWithError("wrong owner");
      break;
    }
  }
}
BENCHMARK(BM_OwnerLookupCold);

void BM_OwnerLookupWarm(benchmark::State& state) {
  platform::clear_socket_owner_cache();
  cxGetTcpOwnerPid(reinterpret_cast<const sockaddr*>(&g_target));
  for (auto _ : state) {
    if (cxGetTcpOwnerPid(reinterpret_cast<const sockaddr*>(&g_target)) != g_self) {
      state.SkipWithError("wrong owner");
      break;
    }
  }
}
BENCHMARK(BM_OwnerLookupWarm);

}  // namespace

int main(int argc, char** argv) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 4096) {
    limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 4096);
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
  std::vector<int> fds;
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
      ::listen(listener, SOMAXCONN) != 0) {
    std::perror("listener");
    return 1;
  }
  sockaddr_in local{};
  for (int i = 0; i < kOtherPairs; ++i) {
    if (!Connect(listener, &fds, &local)) {
      std::perror("connect");
      return 1;
    }
  }
  if (!Connect(listener, &fds, &g_target)) {
    std::perror("connect");
    return 1;
  }
  g_self = static_cast<uint32_t>(::getpid());

  int rc = bench::RunWithRatios(
      argc, argv,
      {{"BM_OwnerLookupWarm", "BM_ReadProcNetTcp"}, {"BM_OwnerLookupCold", "BM_ReadProcNetTcp"}});
  for (int fd : fds) ::close(fd);
  ::close(listener);
  return rc;
}
