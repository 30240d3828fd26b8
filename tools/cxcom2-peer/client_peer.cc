// A small IPC client for tests: connects to 127.0.0.1:<port>, sends its
// handshake with <name>, sends each <text> framed, and prints on stdout what
// happens:
//   "ack"          the server's acknowledgement arrived
//   "text <bytes>" one framed text from the server, on one line
//   "closed"       the server closed the connection
//   "timeout"      nothing more arrived within the wait
// It reads until it has as many texts as it sent (or --expect N), then exits
// 0. Exit 3 when the connection closed before the acknowledgement (a refused
// client), 4 on a wrong acknowledgement, 5 on time-out, 2 on other errors.
//
// With --fd it talks over the connected socket <fd> it inherited instead of
// connecting (port is then ignored), as a process handed a connection would.
//
// cxcom2-client-peer <port> <name> [--expect N] [--wait-ms MS] [--fd FD] [text...]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "client/lib/cxcom2/CXComWire.h"

namespace {

int g_waitMs = 5000;

bool SendAll(int fd, const std::string& bytes) {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// 1 when `size` bytes arrived, 0 when the peer closed first, -1 on time-out
// or error.
int RecvAll(int fd, char* data, size_t size) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(g_waitMs);
  size_t have = 0;
  while (have < size) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) return -1;
    ssize_t n = ::recv(fd, data + have, size - have, 0);
    if (n == 0) return 0;
    // A refused client may see a reset instead of an orderly close.
    if (n < 0) return errno == ECONNRESET ? 0 : -1;
    have += static_cast<size_t>(n);
  }
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s <port> <name> [--expect N] [--wait-ms MS] [text...]\n",
                 argv[0]);
    return 2;
  }
  int port = std::atoi(argv[1]);
  std::string name = argv[2];
  std::vector<std::string> texts;
  int expect = -1;
  int fd = -1;
  for (int i = 3; i < argc; ++i) {
    if (std::strcmp(argv[i], "--expect") == 0 && i + 1 < argc) {
      expect = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--wait-ms") == 0 && i + 1 < argc) {
      g_waitMs = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--fd") == 0 && i + 1 < argc) {
      fd = std::atoi(argv[++i]);
    } else {
      texts.emplace_back(argv[i]);
    }
  }
  if (expect < 0) expect = static_cast<int>(texts.size());

  if (fd < 0) {
    fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
      std::perror("connect");
      return 2;
    }
  }
  // A refused client is closed before it writes; its handshake may then fail.
  SendAll(fd, cxComBuildClientHandshake(0, cxComTlv(kCxComTlvClientName, name)));

  char ack[kCxComHandshakeAck.size()];
  int rc = RecvAll(fd, ack, sizeof ack);
  if (rc == 0) {
    std::printf("closed\n");
    return 3;
  }
  if (rc < 0) {
    std::printf("timeout\n");
    return 5;
  }
  if (std::memcmp(ack, kCxComHandshakeAck.data(), sizeof ack) != 0) {
    std::printf("bad ack\n");
    return 4;
  }
  std::printf("ack\n");
  std::fflush(stdout);

  std::string framed;
  for (const std::string& text : texts) cxComAppendFramedText(&framed, text);
  if (!SendAll(fd, framed)) {
    std::perror("send");
    return 2;
  }
  for (int received = 0; received < expect; ++received) {
    unsigned char prefix[4];
    rc = RecvAll(fd, reinterpret_cast<char*>(prefix), sizeof prefix);
    if (rc <= 0) {
      std::printf(rc == 0 ? "closed\n" : "timeout\n");
      return rc == 0 ? 0 : 5;
    }
    uint32_t length = (uint32_t{prefix[0]} << 24) | (uint32_t{prefix[1]} << 16) |
                      (uint32_t{prefix[2]} << 8) | uint32_t{prefix[3]};
    std::string text(length, '\0');
    if (RecvAll(fd, text.data(), length) != 1) {
      std::printf("timeout\n");
      return 5;
    }
    std::printf("text %s\n", text.c_str());
    std::fflush(stdout);
  }
  ::close(fd);
  return 0;
}
