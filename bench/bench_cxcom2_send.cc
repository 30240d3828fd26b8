// CCXCom2::SendMsg of a 200-byte text to one client that keeps reading,
// against a plain send(2) of the same framed bytes on a loopback connection
// read the same way. The log threshold is below the SendMsg line's level, as
// a service that logs at warnings only.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "bench/ratio_reporter.h"
#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxcom2/CXCom2.h"
#include "client/lib/cxcom2/CXComWire.h"
#include "tests/support/fake_proc.h"

namespace {

class QuietListener : public ICXCom2Listener {
 public:
  virtual ~QuietListener() = default;
  void onMessage(const std::string&, const std::string&) override {}
};

const std::string kText(200, 's');
CCXCom2* g_server = nullptr;
int g_plain = -1;
std::string g_framed;

int Connect(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Reads and discards until the connection ends.
std::thread Drain(int fd) {
  return std::thread([fd] {
    char buffer[65536];
    while (::recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
  });
}

bool RecvExactly(int fd, char* data, size_t size) {
  size_t have = 0;
  while (have < size) {
    ssize_t n = ::recv(fd, data + have, size - have, 0);
    if (n <= 0) return false;
    have += static_cast<size_t>(n);
  }
  return true;
}

void BM_SendMsg(benchmark::State& state) {
  for (auto _ : state) {
    if (!g_server->SendMsg(kText, "stats")) {
      state.SkipWithError("SendMsg failed");
      break;
    }
  }
}
BENCHMARK(BM_SendMsg);

void BM_PlainSend(benchmark::State& state) {
  for (auto _ : state) {
    if (::send(g_plain, g_framed.data(), g_framed.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(g_framed.size())) {
      state.SkipWithError("send failed");
      break;
    }
  }
}
BENCHMARK(BM_PlainSend);

}  // namespace

int main(int argc, char** argv) {
  // The in-process client is admitted by what a system root of our own says
  // this process runs: an allowed program beside it.
  char sysroot[] = "/tmp/bench-cxcom2-XXXXXX";
  if (::mkdtemp(sysroot) == nullptr) return 1;
  ::setenv("DOVADOD_SYSROOT", sysroot, 1);
  testing_support::PlantProcess(sysroot, ::getpid(),
                                testing_support::BesideThisProgram("pellarui"));
  cxLogThreshold = CXLOG_WARN;
  cxComAppendFramedText(&g_framed, kText);

  CCXCom2 server;
  QuietListener listener;
  if (!server.initializeWinsock() || !server.startServer("127.0.0.1", 0, &listener)) return 1;
  for (int i = 0; i < 500 && server.boundPort() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  int client = Connect(server.boundPort());
  std::string handshake = cxComBuildClientHandshake(0, cxComTlv(kCxComTlvClientName, "stats"));
  char ack[kCxComHandshakeAck.size()];
  if (client < 0 || ::send(client, handshake.data(), handshake.size(), MSG_NOSIGNAL) < 0 ||
      !RecvExactly(client, ack, sizeof ack)) {
    std::perror("handshake");
    return 1;
  }
  // Registration follows the acknowledgement; wait until a send finds it.
  for (int i = 0; i < 500 && !server.SendMsg("", "stats"); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  g_server = &server;
  std::thread clientReader = Drain(client);

  int listenerFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof any;
  if (::bind(listenerFd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
      ::listen(listenerFd, 1) != 0 ||
      ::getsockname(listenerFd, reinterpret_cast<sockaddr*>(&any), &length) != 0) {
    std::perror("listener");
    return 1;
  }
  int plainReader = Connect(ntohs(any.sin_port));
  g_plain = ::accept4(listenerFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (plainReader < 0 || g_plain < 0) {
    std::perror("plain connection");
    return 1;
  }
  std::thread plainDrain = Drain(plainReader);

  int rc = bench::RunWithRatios(argc, argv, {{"BM_SendMsg", "BM_PlainSend"}});

  server.stop();
  ::shutdown(client, SHUT_RDWR);
  ::close(g_plain);
  clientReader.join();
  plainDrain.join();
  ::close(client);
  ::close(plainReader);
  ::close(listenerFd);
  std::filesystem::remove_all(sysroot);
  return rc;
}
