// divert-loop: opens a divert handle and puts back every packet it receives,
// batch for batch, on one thread, until SIGINT/SIGTERM or the time is up.
// Prints one line of figures at the end. End-to-end tests and benchmarks use
// it as the capture path's fastest possible consumer.
//
//   divert-loop (--netns NAME | --here) [--filter TEXT] [--seconds N]
//
// It captures real traffic, so it enters the named network namespace first
// (/run/netns/NAME); `--here` says the caller has already put it into a
// namespace made for the purpose.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "platform/divert/divert.h"
#include "platform/error/win_error.h"
#include "tools/common/enter_netns.h"

namespace {

// The capture element's filter without exclusions.
constexpr const char* kBaseFilter = "(remotePort != 67) && ((impostor && inbound)? false : true)";

int usage() {
  fprintf(stderr, "usage: divert-loop (--netns NAME | --here) [--filter TEXT] [--seconds N]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::string netns;
  bool here = false;
  std::string filter = kBaseFilter;
  double seconds = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--here") {
      here = true;
    } else if (arg == "--netns" && has_value) {
      netns = argv[++i];
    } else if (arg == "--filter" && has_value) {
      filter = argv[++i];
    } else if (arg == "--seconds" && has_value) {
      char* end = nullptr;
      seconds = strtod(argv[++i], &end);
      if (end == argv[i] || *end != '\0' || seconds < 0) return usage();
    } else {
      return usage();
    }
  }
  if (netns.empty() == !here) return usage();
  if (!netns.empty() && !enter_netns(netns, "divert-loop")) return 1;

  // The signals are taken by a waiting thread that closes the handle, which
  // wakes the loop's blocked receive.
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGINT);
  sigaddset(&stop, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  const WinDivertHandle h = WinDivertOpen(filter.c_str(), WINDIVERT_LAYER_NETWORK, 0, 0);
  if (h == kWinDivertInvalidHandle) {
    fprintf(stderr, "divert-loop: open failed with error %u\n", platform::last_error());
    return 1;
  }
  // The only way the loop ends: the waiter closes the handle on a signal or
  // when the time is up.
  std::thread waiter([&] {
    if (seconds <= 0) {
      int sig = 0;
      sigwait(&stop, &sig);
    } else {
      const auto ns = static_cast<long long>(seconds * 1e9);
      timespec limit{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      while (sigtimedwait(&stop, nullptr, &limit) < 0 && errno == EINTR) {
      }
    }
    WinDivertClose(h);
  });
  printf("ready\n");
  fflush(stdout);

  std::vector<uint8_t> packets(WINDIVERT_BATCH_MAX * 1500);
  std::vector<WINDIVERT_ADDRESS> addrs(WINDIVERT_BATCH_MAX);
  uint64_t received = 0, batches = 0, bytes = 0, send_failures = 0;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    uint32_t len = 0;
    uint32_t addr_len = static_cast<uint32_t>(addrs.size() * sizeof(WINDIVERT_ADDRESS));
    if (!WinDivertRecvEx(h, packets.data(), static_cast<uint32_t>(packets.size()), &len, 0,
                         addrs.data(), &addr_len, nullptr)) {
      if (platform::last_error() == platform::kErrorInvalidHandle) break;
      continue;
    }
    ++batches;
    received += addr_len / sizeof(WINDIVERT_ADDRESS);
    bytes += len;
    if (!WinDivertSendEx(h, packets.data(), len, nullptr, 0, addrs.data(), addr_len, nullptr)) {
      ++send_failures;
    }
  }
  const double elapsed =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  waiter.join();

  printf("packets=%llu batches=%llu bytes=%llu per_recv=%.1f send_failures=%llu seconds=%.2f\n",
         static_cast<unsigned long long>(received), static_cast<unsigned long long>(batches),
         static_cast<unsigned long long>(bytes),
         batches == 0 ? 0.0 : static_cast<double>(received) / static_cast<double>(batches),
         static_cast<unsigned long long>(send_failures), elapsed);
  return 0;
}
