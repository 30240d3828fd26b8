// A small IPC server for tests: runs the endpoint on 127.0.0.1 with a
// listener that answers every text "OK", and prints on stdout
//   "port <n>"                once it listens
//   "message <client> <text>" "new <client>" "invalid <path>"
//   "error <code> <client>"   "disconnect <code> <client>"
// for each listener call, then "stopped" after standard input reaches its
// end. Log lines go to standard error; $DOVADOD_ROOT must be writable (the
// log starts there), and $DOVADOD_SYSROOT is where client owners are looked
// up.
//
// cxcom2-server-peer [--port N] [--retry-ms MS] [--handshake-ms MS] [--level L]
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxcom2/CXCom2.h"
#include "client/lib/cxcom2/CXCom2RecordingListener.h"

namespace {

std::mutex g_out;

void Print(const char* format, const std::string& a, const std::string& b = {}) {
  std::lock_guard<std::mutex> guard(g_out);
  std::printf(format, a.c_str(), b.c_str());
  std::fflush(stdout);
}

void Show(const CXCom2Event& e) {
  switch (e.kind) {
    case CXCom2Event::kMessage:
      Print("message %s %s\n", e.client, e.text);
      return;
    case CXCom2Event::kNewClient:
      Print("new %s%s\n", e.client);
      return;
    case CXCom2Event::kInvalidClient:
      Print("invalid %s%s\n", e.client);
      return;
    case CXCom2Event::kError:
      Print("error %s %s\n", std::to_string(e.code), e.client);
      return;
    case CXCom2Event::kDisconnect:
      Print("disconnect %s %s\n", std::to_string(e.code), e.client);
      return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  int port = 0;
  int retryMs = CCXCom2::kRetryWaitMs;
  int handshakeMs = CCXCom2::kHandshakeTimeoutMs;
  int level = CXLOG_DEBUG;
  for (int i = 1; i + 1 < argc; i += 2) {
    int value = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--port") == 0) port = value;
    if (std::strcmp(argv[i], "--retry-ms") == 0) retryMs = value;
    if (std::strcmp(argv[i], "--handshake-ms") == 0) handshakeMs = value;
    if (std::strcmp(argv[i], "--level") == 0) level = value;
  }

  cxLogProcessTag = "vedororore";
  cxLogOutput = CXLOG_OUTPUT_STDERR;
  if (!cxLogInit("cxtarndebuglog", "cxtarndebuglog_old")) {
    std::fprintf(stderr, "cannot start the log\n");
    return 2;
  }
  cxLogFormatFlags = CXLOG_FMT_LEVEL_NUMBER;
  cxLogThreshold = level;

  CCXCom2 server;
  CXCom2RecordingListener listener;
  listener.answerWith(&server);
  listener.setObserver(Show);
  server.setRetryWaitMs(retryMs);
  server.setHandshakeTimeoutMs(handshakeMs);
  if (!server.initializeWinsock() ||
      !server.startServer("127.0.0.1", static_cast<uint16_t>(port), &listener)) {
    return 2;
  }
  for (int i = 0; i < 500 && server.boundPort() == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  Print("port %s%s\n", std::to_string(server.boundPort()));

  char buffer[64];
  while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
  }
  server.stop();
  Print("stopped%s%s\n", "");
  cxLogShutdown();
  return 0;
}
