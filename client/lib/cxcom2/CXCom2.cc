#include "client/lib/cxcom2/CXCom2.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstring>
#include <exception>

#include "client/lib/cxLog/cxCrashDump.h"
#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxWinUtils/cxtcpip.h"
#include "client/lib/cxcom2/CXComFrameParser.h"
#include "client/lib/cxcom2/CXComTextCutter.h"
#include "client/lib/cxcom2/CXComWire.h"
#include "client/lib/cxcom2/CXMsgNames.h"
#include "client/lib/cxmsg2/CXMsg2.h"
#include "platform/error/win_error.h"

namespace {

constexpr const char* kTag = "CXCOM2";
constexpr int kListenBacklog = 5;
constexpr size_t kReadChunk = 16 * 1024;
// One pass reads at most this much from a client, so that a fast sender
// neither starves the others nor piles up texts; a longer text is gathered
// over several passes.
constexpr size_t kReadBudget = 64 * 1024;
constexpr int kRefusedClient = -8;
// The pump's poll list: the stop event, the wake-up socket and the listening
// socket first, then one entry per client.
constexpr size_t kWakeSlot = 1;
constexpr size_t kListenSlot = 2;
constexpr size_t kFirstClientSlot = 3;

// Accept errors that repeat at once for every waiting connection.
bool IsOutOfResources(int error) {
  return error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM;
}

int LastError() { return static_cast<int>(platform::last_error()); }

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view WithoutExe(std::string_view path) {
  constexpr std::string_view kExe = ".exe";
  if (path.size() >= kExe.size() && path.substr(path.size() - kExe.size()) == kExe) {
    path.remove_suffix(kExe.size());
  }
  return path;
}

// GetModuleFileName: this process's executable, from the kernel's own view
// (never a test's sysroot).
bool ModuleFileName(std::string* path) {
  char buffer[PATH_MAX];
  ssize_t length = ::readlink("/proc/self/exe", buffer, sizeof buffer);
  if (length < 0) {
    platform::set_last_error_from_errno();
    return false;
  }
  if (static_cast<size_t>(length) == sizeof buffer) {
    platform::set_last_error(platform::kErrorFilenameExcedRange);
    return false;
  }
  path->assign(buffer, static_cast<size_t>(length));
  constexpr std::string_view kDeleted = " (deleted)";
  if (path->size() > kDeleted.size() && path->ends_with(kDeleted)) {
    path->resize(path->size() - kDeleted.size());
  }
  return true;
}

// atoi without its overflow: leading blanks, a sign, digits; saturates.
int LeadingNumber(std::string_view text) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = std::min<long long>(value * 10 + (text[i] - '0'), 1LL + INT_MAX);
  }
  if (negative) value = -value;
  return static_cast<int>(std::clamp<long long>(value, INT_MIN, INT_MAX));
}

// The name of the message id that is the text's first JSON key, for the log;
// empty when the text has no such key.
std::string MessageName(std::string_view text) {
  size_t open = text.find('"');
  if (open == std::string_view::npos) return {};
  size_t close = text.find("\":");
  if (close == std::string_view::npos || close <= open) return {};
  return cxMsgName(LeadingNumber(text.substr(open + 1, close - open - 1)));
}

int PollTimeout(std::chrono::steady_clock::time_point deadline) {
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<long long>(left.count(), 0));
}

void CloseSocket(int* socket) {
  if (*socket < 0) return;
  ::close(*socket);
  *socket = -1;
}

}  // namespace

bool cxComExeNamesEqual(std::string_view a, std::string_view b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  auto strip = [&lower](std::string_view name) {
    constexpr std::string_view kExe = ".exe";
    if (name.size() < kExe.size()) return name;
    for (size_t i = 0; i < kExe.size(); ++i) {
      if (lower(name[name.size() - kExe.size() + i]) != kExe[i]) return name;
    }
    name.remove_suffix(kExe.size());
    return name;
  };
  a = strip(a);
  b = strip(b);
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

bool cxComIsAllowedClient(std::string_view folder, std::string_view clientPath) {
  for (const char* allowed : kCxComAllowedClients) {
    if (cxComExeNamesEqual(clientPath, std::string(folder) + allowed)) return true;
  }
  return false;
}

CCXCom2::CCXCom2() { stopEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK); }

CCXCom2::~CCXCom2() {
  if (thread_.joinable()) stop();
  closeAllSockets();
  if (winsockResult_ == 0) {
    if (platform::wsa_cleanup() == 0) CXLOG(kTag, CXLOG_INFO, "WSA clean up");
    winsockResult_ = -1;
  }
  CloseSocket(&stopEvent_);
}

bool CCXCom2::initializeWinsock() {
  winsockResult_ = platform::wsa_startup(2, 2);
  if (winsockResult_ == 0) return true;
  CXLOG(kTag, CXLOG_ERROR, "WSAStartup Failed: %d", winsockResult_);
  return false;
}

bool CCXCom2::startServer(const std::string& host, uint16_t port, ICXCom2Listener* listener) {
  // Host and port belong to the server thread while it runs.
  if (running_.load() || thread_.joinable()) {
    CXLOG(kTag, CXLOG_ERROR, "attempt to start, Already Started");
    return false;
  }
  host_ = host;
  port_ = port;
  if (listener == nullptr) {
    CXLOG(kTag, CXLOG_ERROR, "unable to start, no listener");
    return false;
  }
  if (!initializeWinsock()) {
    CXLOG(kTag, CXLOG_ERROR, "unable to initialize, start failed");
    return false;
  }
  listener_ = listener;
  mode_ = kModeServer;
  CXLOG(kTag, CXLOG_INFO, "cxcom2 server started");
  return startServerThread() == 0;
}

int CCXCom2::startServerThread() {
  if (stopEvent_ < 0) stopEvent_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (stopEvent_ < 0) {
    CXLOG(kTag, CXLOG_ERROR, "start serverThread failed %s", std::strerror(errno));
    return -2;
  }
  // A restart after stop begins with the stop signal drained.
  uint64_t drained = 0;
  while (::read(stopEvent_, &drained, sizeof drained) > 0) {
  }
  stopRequested_.store(false);
  retryAbort_.store(false);
  // Set before the thread exists, so a quick stop cannot be overtaken.
  running_.store(true);
  try {
    thread_ = std::thread(&CCXCom2::serverThread, this);
  } catch (const std::exception& e) {
    running_.store(false);
    CXLOG(kTag, CXLOG_ERROR, "start serverThread failed %s", e.what());
    return -2;
  } catch (...) {
    running_.store(false);
    CXLOG(kTag, CXLOG_ERROR, "start serverThread failed %s", "Unknown exception");
    return -2;
  }
  return 0;
}

void CCXCom2::serverThread() {
  pthread_setname_np(pthread_self(), "cxcom2-server");  // for top -H and perf
  cxCrashDumpThreadInit();
  retryAbort_.store(false);
  for (bool first = true; !stopRequested_.load(); first = false) {
    if (!first && !waitBeforeRetry()) break;
    runCycle();
  }
  running_.store(false);
}

bool CCXCom2::waitBeforeRetry() {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(retryWaitMs_.load());
  while (!stopRequested_.load() && !retryAbort_.load()) {
    int timeout = PollTimeout(deadline);
    if (timeout == 0) break;
    platform::SocketSet stopSet;
    stopSet.add(stopEvent_);
    if (platform::select_sockets(&stopSet, nullptr, timeout) < 0) {
      // Cannot happen with a valid eventfd; never turn the wait into a spin.
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(timeout, 100)));
    }
  }
  return !stopRequested_.load();
}

void CCXCom2::runCycle() {
  if (!resolveRemoteHost()) return;

  int server = ::socket(resolved_.ss_family, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
  if (server < 0) {
    int error = static_cast<int>(platform::set_last_socket_error_from_errno());
    CXLOG(kTag, CXLOG_ERROR, "failed to create server socket %d", error);
    listener_->onError(error, "");
    return;
  }
  int on = 1;
  if (::setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    CXLOG(kTag, CXLOG_ERROR, "setsockopt failed");
  }
  if (::bind(server, reinterpret_cast<const sockaddr*>(&resolved_), resolvedLength_) != 0) {
    int error = static_cast<int>(platform::set_last_socket_error_from_errno());
    CXLOG(kTag, CXLOG_ERROR, "bind failed on sever socket %d", error);
    ::close(server);
    listener_->onError(error, "");
    return;
  }
  // A connection that goes away between readiness and accept must not block
  // the pump in accept.
  if (::listen(server, kListenBacklog) != 0 || !platform::set_non_blocking(server, true)) {
    int error = static_cast<int>(platform::set_last_socket_error_from_errno());
    CXLOG(kTag, CXLOG_ERROR, "listen() failed on server socket %d", error);
    ::close(server);
    listener_->onError(error, "");
    return;
  }
  sockaddr_storage bound{};
  socklen_t boundLength = sizeof bound;
  if (::getsockname(server, reinterpret_cast<sockaddr*>(&bound), &boundLength) == 0) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(bound);
    boundPort_.store(ntohs(in.sin_port));
  }
  ownSocket_ = server;

  if (!createSocketPair()) {
    int error = LastError();
    CXLOG(kTag, CXLOG_ERROR, "unable to start, failed to create socket pair");
    CloseSocket(&ownSocket_);
    boundPort_.store(0);
    listener_->onError(error, "");
    return;
  }

  running_.store(true);
  retryAbort_.store(false);
  int result = startServerMessagePump();
  if (result == 0) return;
  CXLOG(kTag, CXLOG_ERROR, "serverThread: startServerMessagePump failed %d", result);
  closeAllSockets();
  listener_->onError(result, "");
}

bool CCXCom2::resolveRemoteHost() {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* result = nullptr;
  int rc = ::getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &result);
  if (rc != 0) {
    int error = static_cast<int>(platform::wsa_error_from_gai(rc));
    CXLOG(kTag, CXLOG_ERROR, "resolveRemoteHost() failed %d", error);
    listener_->onError(error, "");
    return false;
  }
  resolvedLength_ = std::min<socklen_t>(result->ai_addrlen, sizeof resolved_);
  std::memcpy(&resolved_, result->ai_addr, resolvedLength_);
  ::freeaddrinfo(result);
  return true;
}

bool CCXCom2::createSocketPair() {
  closeWakePair();
  int pair[2];
  if (platform::make_wakeup_pair(pair) != 0) {
    CXLOG(kTag, CXLOG_ERROR, "failed to create socket, err: %d", LastError());
    return false;
  }
  std::lock_guard<std::mutex> guard(wakeLock_);
  wakeRead_ = pair[0];
  wakeWrite_ = pair[1];
  return true;
}

void CCXCom2::closeWakePair() {
  std::lock_guard<std::mutex> guard(wakeLock_);
  CloseSocket(&wakeRead_);
  CloseSocket(&wakeWrite_);
}

void CCXCom2::closeAllSockets() {
  closeWakePair();
  CloseSocket(&ownSocket_);
  boundPort_.store(0);
  CXLOG(kTag, CXLOG_DEBUG, "closed all sockets");
}

int CCXCom2::startServerMessagePump() {
  acceptPausedUntil_ = {};
  int result = 0;
  std::vector<pollfd> polled;
  // poll has no set limit: every client is watched, whatever its number.
  for (;;) {
    bool paused = std::chrono::steady_clock::now() < acceptPausedUntil_;
    int timeout = paused ? PollTimeout(acceptPausedUntil_) : -1;
    polled.clear();
    polled.push_back({stopEvent_, POLLIN, 0});
    polled.push_back({wakeRead_, POLLIN, 0});
    // A negative descriptor is skipped by poll.
    polled.push_back({paused ? -1 : ownSocket_, POLLIN, 0});
    {
      std::lock_guard<std::mutex> guard(pendingLock_);
      for (const auto& [socket, client] : pumpClients_) {
        short events = pending_.contains(socket) ? POLLIN | POLLOUT : POLLIN;
        polled.push_back({socket, events, 0});
        // Texts left over from the budget are served without waiting.
        if (client.backlog) timeout = 0;
      }
    }
    for (const auto& [socket, pending] : handshakes_) {
      polled.push_back({socket, POLLIN, 0});
      int left = PollTimeout(pending.deadline);
      if (timeout < 0 || left < timeout) timeout = left;
    }

    int ready = ::poll(polled.data(), polled.size(), timeout);
    if (ready < 0) {
      if (errno == EINTR) continue;
      int error = static_cast<int>(platform::set_last_socket_error_from_errno());
      CXLOG(kTag, CXLOG_ERROR, "startServerMessagePump: select failed %d", error);
      listener_->onError(error, "");
      result = -1;
      break;
    }
    if (stopRequested_.load()) break;

    if (polled[kWakeSlot].revents != 0) {
      CXLOG(kTag, CXLOG_DEBUG, "startServerMessagePump: select wake up triggered");
      char discard[256];
      ssize_t got = platform::recv_socket(wakeRead_, discard, sizeof discard);
      if (got == 0) {
        CXLOG(kTag, CXLOG_ERROR, "socket pair recv Connection closed");
        result = ready;
        break;
      }
      if (got < 0 && platform::last_error() != platform::kWsaEwouldblock) {
        CXLOG(kTag, CXLOG_ERROR, "socket pair recv ret %d error %d", static_cast<int>(got),
              LastError());
        result = ready;
        break;
      }
      CXLOG(kTag, CXLOG_DEBUG, "socket pair recv ret %d", static_cast<int>(got));
    }

    for (size_t i = kFirstClientSlot; i < polled.size(); ++i) {
      if (handshakes_.contains(polled[i].fd)) {
        serveHandshake(polled[i].fd, polled[i].revents);
      } else {
        serveClient(polled[i].fd, polled[i].revents);
      }
    }
    expireHandshakes();
    if (polled[kListenSlot].revents != 0) acceptClient();
    if (stopRequested_.load()) break;
  }

  // The records go first: once a socket is closed its number may be reused.
  for (auto& [socket, client] : pumpClients_) {
    removeClient(socket);
    ::close(socket);
  }
  pumpClients_.clear();
  for (const auto& [socket, pending] : handshakes_) ::close(socket);
  handshakes_.clear();
  CXLOG(kTag, CXLOG_DEBUG, "startServerMessagePump ended");
  return result;
}

void CCXCom2::acceptClient() {
  CXLOG(kTag, CXLOG_DEBUG, "new client");
  int rc = handleNewClient();
  // A back-off that has just begun has written its one line.
  if (rc != 0) reportNewClientFailure(rc, std::chrono::steady_clock::now() < acceptPausedUntil_);
}

void CCXCom2::reportNewClientFailure(int rc, bool logged) {
  if (stopRequested_.load()) return;
  if (!logged) {
    CXLOG_LIMITED(kTag, CXLOG_ERROR, "startServerMessagePump: handleNewClient failed %d", rc);
  }
  listener_->onError(rc, "");
}

void CCXCom2::serveClient(int socket, short events) {
  auto found = pumpClients_.find(socket);
  if (found == pumpClients_.end()) return;
  PumpClient& client = found->second;
  bool canWrite = (events & (POLLOUT | POLLERR | POLLHUP)) != 0;
  bool canRead = (events & (POLLIN | POLLERR | POLLHUP | POLLNVAL)) != 0;

  if (canWrite) {
    int error = flushOutput(socket);
    if (error != 0) {
      CXLOG_LIMITED(kTag, CXLOG_ERROR, "startServerMessagePump: cxsend failed for client %s",
                    cxLogEscape(client.name).c_str());
      dropPumpClient(socket, error);
      return;
    }
  }
  // While texts are left from the last pass nothing more is read, so that a
  // fast sender's input stays within one read budget.
  if (canRead && !client.backlog && doRead(socket, &client.input) != 0) {
    CXLOG_LIMITED(kTag, CXLOG_ERROR, "startServerMessagePump: Connection closed by client %s",
                  cxLogEscape(client.name).c_str());
    dropPumpClient(socket, platform::kWsaEconnreset);
    return;
  }
  if ((canRead || client.backlog) && !processReceivedData(socket, client)) {
    dropPumpClient(socket, platform::kWsaEconnreset);
  }
}

void CCXCom2::dropPumpClient(int socket, int error) {
  auto found = pumpClients_.find(socket);
  if (found == pumpClients_.end()) return;
  std::string name = std::move(found->second.name);
  // Only the one who takes the record out reports the client.
  bool reported = removeClient(socket);
  ::close(socket);
  pumpClients_.erase(found);
  if (reported) listener_->onDisconnect(error, name);
}

int CCXCom2::handleNewClient() {
  sockaddr_storage peer{};
  socklen_t peerLength = sizeof peer;
  int accepted =
      ::accept4(ownSocket_, reinterpret_cast<sockaddr*>(&peer), &peerLength, SOCK_CLOEXEC);
  if (accepted < 0) {
    int cause = errno;
    int error = static_cast<int>(platform::set_last_socket_error_from_errno());
    // Gone again before it was taken: nothing to accept.
    if (error == static_cast<int>(platform::kWsaEwouldblock)) return 0;
    if (IsOutOfResources(cause)) {
      // The connection stays queued and the listener readable: without a
      // pause every pass would fail again at once.
      acceptPausedUntil_ =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptBackoffMs);
      CXLOG(kTag, CXLOG_ERROR, "accept failed %d (%s), not accepting for %d ms", error,
            std::strerror(cause), kAcceptBackoffMs);
      return error;
    }
    CXLOG_LIMITED(kTag, CXLOG_ERROR, "accept failed %d", error);
    return error;
  }
  if (pumpClients_.size() + handshakes_.size() >= kMaxClients) {
    CXLOG_LIMITED(kTag, CXLOG_WARN, "%zu clients already, new connection closed", kMaxClients);
    ::close(accepted);
    return 0;
  }
  if (!isValidClient(peer)) {
    ::close(accepted);
    return kRefusedClient;
  }
  if (!setNonBlocking(accepted)) {
    int error = LastError();
    ::close(accepted);
    return error;
  }
  // Its handshake is read as it arrives, between the other clients' turns.
  HandshakeClient& pending = handshakes_[accepted];
  pending.deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(handshakeTimeoutMs_.load());
  pending.wanted = kCxComPrefixSize;
  return 0;
}

bool CCXCom2::isValidClient(const sockaddr_storage& peer) {
  // The client's end is the one connected to our listening address; another
  // socket may share its local port.
  sockaddr_storage own{};
  socklen_t ownLength = sizeof own;
  std::vector<platform::SocketHolder> holders;
  if (::getsockname(ownSocket_, reinterpret_cast<sockaddr*>(&own), &ownLength) != 0 ||
      !cxGetTcpHolders(reinterpret_cast<const sockaddr*>(&peer),
                       reinterpret_cast<const sockaddr*>(&own), &holders) ||
      holders.empty()) {
    // No process to vouch for, e.g. a socket parked in flight between two.
    CXLOG_LIMITED(kTag, CXLOG_WARN, "cannot get client name");
    return false;
  }
  std::string module;
  if (!ModuleFileName(&module)) {
    CXLOG(kTag, CXLOG_ERROR, "GetModuleFileName failed %d", LastError());
    return false;
  }
  CXLOG(kTag, CXLOG_DEBUG, "module filename is %s", module.c_str());
  std::string folder = Lower(std::string_view(module).substr(0, module.rfind('/') + 1));
  const std::string self = Lower(module);
  // Every holder can talk over the connection, so every one must pass.
  for (const platform::SocketHolder& holder : holders) {
    std::string clientPath = Lower(holder.image);
    CXLOG_LIMITED(kTag, CXLOG_INFO, "client app name is %s", cxLogEscape(clientPath).c_str());
    // Another mount namespace can put any program at an allowed path, and any
    // account can run our own program and stop it holding a connection.
    if (holder.own_namespaces && cxComIsAllowedClient(folder, clientPath) &&
        (holder.root || WithoutExe(clientPath) != WithoutExe(self))) {
      continue;
    }
    listener_->onInvalidClient(clientPath, holder.pid);
    CXLOG_LIMITED(kTag, CXLOG_WARN, "invalid client connection from %s",
                  cxLogEscape(clientPath).c_str());
    return false;
  }
  return true;
}

bool CCXCom2::setNonBlocking(int socket) {
  if (platform::set_non_blocking(socket, true)) return true;
  CXLOG(kTag, CXLOG_ERROR, "failed to set socket to non-blocking: %d", LastError());
  return false;
}

void CCXCom2::serveHandshake(int socket, short events) {
  auto found = handshakes_.find(socket);
  if (events == 0 || found == handshakes_.end()) return;
  CXLOG_LIMITED(kTag, CXLOG_INFO, "doHandshakefromServer: select %d completed, ret: 1",
                found->second.step);
  std::optional<int> rc = readHandshake(socket, found->second);
  if (rc) finishHandshake(socket, *rc);
}

void CCXCom2::expireHandshakes() {
  auto now = std::chrono::steady_clock::now();
  std::vector<int> expired;
  for (const auto& [socket, pending] : handshakes_) {
    if (pending.deadline > now) continue;
    CXLOG_LIMITED(kTag, CXLOG_ERROR, "doHandshakefromServer: select %d failed, ret: 0, err: 0",
                  pending.step);
    expired.push_back(socket);
  }
  for (int socket : expired) finishHandshake(socket, platform::kWsaEconnreset);
}

std::optional<int> CCXCom2::readHandshake(int socket, HandshakeClient& pending) {
  // Never more than the current step wants: bytes behind the frame are texts,
  // read once the client is served. Bounded by the frame's size limit.
  for (;;) {
    size_t have = pending.bytes.size();
    pending.bytes.resize(pending.wanted);
    ssize_t got = platform::recv_socket(socket, pending.bytes.data() + have, pending.wanted - have);
    pending.bytes.resize(have + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (got == 0) {
      CXLOG(kTag, CXLOG_ERROR, "doHandshakefromServer: recv %d connection reset", pending.step);
      return platform::kWsaEconnreset;
    }
    if (got < 0) {
      int error = LastError();
      if (error == static_cast<int>(platform::kWsaEwouldblock)) return std::nullopt;
      CXLOG(kTag, CXLOG_ERROR, "doHandshakefromServer: recv %d failed %d", pending.step, error);
      // Any failure on the frame itself counts as a lost connection.
      return pending.step == 1 ? error : static_cast<int>(platform::kWsaEconnreset);
    }
    if (pending.bytes.size() < pending.wanted) continue;
    if (pending.step == 2) return 0;
    const auto* prefix = reinterpret_cast<const unsigned char*>(pending.bytes.data());
    uint32_t length = (uint32_t{prefix[0]} << 24) | (uint32_t{prefix[1]} << 16) |
                      (uint32_t{prefix[2]} << 8) | uint32_t{prefix[3]};
    if (length > kCxComMaxFrameSize) {
      CXLOG(kTag, CXLOG_ERROR, "Not enough buffer to process incoming message.");
      return -1;
    }
    if (length == 0) {
      CXLOG(kTag, CXLOG_ERROR, "doHandshakefromServer: recv 2 connection reset");
      return platform::kWsaEconnreset;
    }
    // The frame has a deadline of its own.
    pending.step = 2;
    pending.wanted = length;
    pending.bytes.clear();
    pending.deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(handshakeTimeoutMs_.load());
  }
}

void CCXCom2::finishHandshake(int socket, int rc) {
  auto found = handshakes_.find(socket);
  std::string frame = std::move(found->second.bytes);
  handshakes_.erase(found);
  PumpClient client;
  if (rc != 0) {
    CXLOG(kTag, CXLOG_ERROR, "Recv Hanshale from Client failed - %d", rc);
  } else {
    rc = serverHandshake(socket, frame, &client.name, &client.input);
  }
  if (rc != 0) {
    CXLOG(kTag, CXLOG_ERROR, "handleNewClient: doHandshakefromServer failed");
  } else {
    rc = admitClient(socket, client.name);
  }
  if (rc != 0) {
    ::close(socket);
    reportNewClientFailure(rc, false);
    return;
  }
  PumpClient& added = pumpClients_[socket] = std::move(client);
  if (!processReceivedData(socket, added)) dropPumpClient(socket, platform::kWsaEconnreset);
}

int CCXCom2::serverHandshake(int socket, const std::string& frame, std::string* name,
                             std::string* leftover) {
  CCXComFrameParser parser;
  if (!parser.setFrameBuffer(reinterpret_cast<const uint8_t*>(frame.data()), frame.size())) {
    CXLOG(kTag, CXLOG_ERROR, "doHandshakefromServer: failed");
    return -1;
  }
  if (!cxComFindClientName(parser, name)) return -1;
  leftover->assign(frame, parser.frameSize());
  sendHandshakeAckfromServer(socket);
  return 0;
}

int CCXCom2::admitClient(int socket, const std::string& name) {
  if (!listener_->onNewClient(name)) {
    CXLOG(kTag, CXLOG_INFO, "New client closed by user");
    return -1;
  }
  std::lock_guard<std::recursive_mutex> guard(clientLock_);
  ClientRecord& record = clients_[socket];
  record.name = name;
  record.socket = socket;
  record.writable = true;
  names_.emplace(name, socket);
  return 0;
}

void CCXCom2::sendHandshakeAckfromServer(int socket) {
  const auto* ack = reinterpret_cast<const char*>(kCxComHandshakeAck.data());
  if (platform::send_socket(socket, ack, kCxComPrefixSize) !=
      static_cast<ssize_t>(kCxComPrefixSize)) {
    CXLOG(kTag, CXLOG_ERROR, "sendHandshakeAckfromServer 1 failed to send msg %d", LastError());
    return;
  }
  if (platform::send_socket(socket, ack + kCxComPrefixSize, kCxComHeaderSize) !=
      static_cast<ssize_t>(kCxComHeaderSize)) {
    CXLOG(kTag, CXLOG_ERROR, "sendHandshakeAckfromServer 2 failed to send msg %d", LastError());
  }
}

int CCXCom2::doRead(int socket, std::string* input) {
  size_t budget = kReadBudget;
  while (budget > 0) {
    size_t old = input->size();
    input->resize(old + kReadChunk);
    ssize_t got = platform::recv_socket(socket, input->data() + old, kReadChunk);
    input->resize(old + static_cast<size_t>(std::max<ssize_t>(got, 0)));
    if (got > 0) {
      budget -= std::min(budget, static_cast<size_t>(got));
      continue;
    }
    if (got == 0) return platform::kWsaEconnreset;
    int error = LastError();
    if (error == static_cast<int>(platform::kWsaEwouldblock)) return 0;
    CXLOG(kTag, CXLOG_ERROR, "recv failed %d", error);
    return platform::kWsaEconnreset;
  }
  return 0;
}

bool CCXCom2::processReceivedData(int socket, PumpClient& client) {
  bool gone = false;
  auto onText = [&](std::string_view view) {
    // A send from inside the listener may have dropped this very client:
    // the rest of its texts are not worth a call.
    if (gone) return;
    {
      std::lock_guard<std::recursive_mutex> guard(clientLock_);
      gone = !clients_.contains(socket);
    }
    if (gone) return;
    std::string text(view);
    CXMsg2 message;
    if (message.attach(text) && message.getMsgId() == kClientPingId) return;
    listener_->onMessage(text, client.name);
  };
  CXComCutResult cut = cxComCutTexts(client.input, kMaxTextLength, onText, kTextsPerPass);
  client.backlog = cut.status == CXComCutStatus::kBudget;
  if (gone) return false;
  if (cut.status != CXComCutStatus::kTooLong) return true;
  CXLOG_LIMITED(kTag, CXLOG_ERROR,
                "processReceivedData: text of %u bytes from client %s exceeds %u bytes", cut.length,
                cxLogEscape(client.name).c_str(), kMaxTextLength);
  return false;
}

int CCXCom2::flushOutput(int socket) {
  std::lock_guard<std::recursive_mutex> clientGuard(clientLock_);
  auto found = clients_.find(socket);
  if (found == clients_.end()) return 0;
  ClientRecord& record = found->second;
  int error = 0;
  while (record.outputStart < record.output.size()) {
    ssize_t sent = platform::send_socket(socket, record.output.data() + record.outputStart,
                                         record.output.size() - record.outputStart);
    if (sent < 0) {
      error = LastError();
      CXLOG_LIMITED(kTag, CXLOG_ERROR, "cxsend: send failed: %d", error);
      break;
    }
    record.outputStart += static_cast<size_t>(sent);
  }
  if (record.outputStart == record.output.size()) {
    record.output.clear();
    record.outputStart = 0;
  } else if (record.outputStart > record.output.size() / 2) {
    record.output.erase(0, record.outputStart);
    record.outputStart = 0;
  }
  if (error == static_cast<int>(platform::kWsaEwouldblock)) {
    record.writable = false;
    return 0;
  }
  if (error != 0) return error;
  record.writable = true;
  std::lock_guard<std::mutex> pendingGuard(pendingLock_);
  pending_.erase(socket);
  return 0;
}

bool CCXCom2::removeClient(int socket) {
  std::lock_guard<std::recursive_mutex> guard(clientLock_);
  auto found = clients_.find(socket);
  if (found == clients_.end()) return false;
  auto [first, last] = names_.equal_range(found->second.name);
  for (auto entry = first; entry != last; ++entry) {
    if (entry->second != socket) continue;
    names_.erase(entry);
    break;
  }
  clients_.erase(found);
  std::lock_guard<std::mutex> pendingGuard(pendingLock_);
  pending_.erase(socket);
  return true;
}

bool CCXCom2::queueOutput(ClientRecord& record, const char* data, size_t size) {
  size_t queued = record.output.size() - record.outputStart;
  if (queued + size > kMaxQueuedBytes) return false;
  record.output.append(data, size);
  return true;
}

bool CCXCom2::cxsend(int socket, const std::string& framed, std::vector<DroppedClient>* dropped) {
  auto found = clients_.find(socket);
  if (found == clients_.end()) return false;
  ClientRecord& record = found->second;

  // A client that stopped reading would otherwise hold memory without end.
  auto overflow = [&]() {
    CXLOG_LIMITED(kTag, CXLOG_ERROR,
                  "cxsend: more than %zu bytes queued for client %s, dropping it", kMaxQueuedBytes,
                  cxLogEscape(record.name).c_str());
    dropped->push_back({socket, static_cast<int>(platform::kWsaEnobufs), true});
    return false;
  };

  // Already pending: the pump sends the queue when the socket has room.
  if (!record.writable) {
    return queueOutput(record, framed.data(), framed.size()) || overflow();
  }

  size_t sent = 0;
  while (sent < framed.size()) {
    ssize_t n = platform::send_socket(socket, framed.data() + sent, framed.size() - sent);
    if (n < 0) break;
    sent += static_cast<size_t>(n);
  }
  if (sent == framed.size()) return true;
  int error = LastError();
  CXLOG_LIMITED(kTag, CXLOG_ERROR, "cxsend: send failed: %d", error);
  if (error != static_cast<int>(platform::kWsaEwouldblock)) {
    // The peer is gone; left in the tables it would fail every later send.
    dropped->push_back({socket, error, false});
    return false;
  }
  {
    std::lock_guard<std::mutex> guard(pendingLock_);
    pending_.insert(socket);
  }
  record.writable = false;
  if (!queueOutput(record, framed.data() + sent, framed.size() - sent)) return overflow();
  // The pump's poll list does not have this socket's output yet.
  wakePump();
  return true;
}

void CCXCom2::wakePump() {
  std::lock_guard<std::mutex> guard(wakeLock_);
  if (wakeWrite_ < 0) return;
  ssize_t sent = platform::send_socket(wakeWrite_, " ", 1);
  CXLOG(kTag, CXLOG_DEBUG, "%d Bytes sent to wake up select", static_cast<int>(sent));
}

bool CCXCom2::SendMsg(const std::string& text, const std::string& clientName) {
  if (!running_.load()) {
    CXLOG(kTag, CXLOG_ERROR, "SendMsg: Client/Server not running");
    return false;
  }
  std::string framed;
  if (!cxComAppendFramedText(&framed, text)) {
    CXLOG(kTag, CXLOG_ERROR, "SendMsg: text of %zu bytes is too long", text.size());
    return false;
  }

  std::lock_guard<std::recursive_mutex> guard(clientLock_);
  // A listener called from cxsend may send again and drop clients, so the
  // targets are chosen first and looked up again one by one.
  std::vector<int> targets;
  if (clientName.empty()) {
    for (const auto& [name, socket] : names_) targets.push_back(socket);
  } else {
    // Looked up, not scanned: each answer to a client goes through here.
    auto [first, last] = names_.equal_range(clientName);
    for (auto entry = first; entry != last; ++entry) targets.push_back(entry->second);
  }
  bool result = false;
  int count = 0;
  std::vector<DroppedClient> dropped;
  for (int socket : targets) {
    if (clients_.find(socket) == clients_.end()) continue;
    result = cxsend(socket, framed, &dropped);
    ++count;
  }
  // Still under the lock: the pump closes a socket only after its record is
  // gone, so the socket shut down here is the client's own. The pump then
  // reads the end of the stream and closes it.
  for (const DroppedClient& gone : dropped) {
    auto found = clients_.find(gone.socket);
    if (found == clients_.end()) continue;
    std::string name = found->second.name;
    removeClient(gone.socket);
    ::shutdown(gone.socket, SHUT_RDWR);
    // Reported after the record is out, so that a send from the listener
    // does not meet the client again.
    if (gone.overflowed) {
      listener_->onError(gone.error, name);
    } else {
      listener_->onDisconnect(gone.error, name);
    }
  }
  CXLOG_LIMITED(kTag, CXLOG_INFO, "message %s sent from server to \"%s\" client with count %d",
                MessageName(text).c_str(),
                clientName.empty() ? "ALL" : cxLogEscape(clientName).c_str(), count);
  if (!dropped.empty()) wakePump();
  return result;
}

bool CCXCom2::stop() {
  if (!running_.load() && !thread_.joinable()) {
    CXLOG(kTag, CXLOG_INFO, "cxcom2 is not running");
    return false;
  }
  stopRequested_.store(true);
  retryAbort_.store(true);
  running_.store(false);
  uint64_t one = 1;
  if (stopEvent_ >= 0 && ::write(stopEvent_, &one, sizeof one) < 0) {
    CXLOG(kTag, CXLOG_ERROR, "stop event failed, err: %d",
          static_cast<int>(platform::set_last_error_from_errno()));
  }
  {
    std::lock_guard<std::mutex> guard(wakeLock_);
    if (wakeWrite_ >= 0) {
      ssize_t sent = platform::send_socket(wakeWrite_, " ", 1);
      if (sent < 0) {
        CXLOG(kTag, CXLOG_ERROR, "wake up select failed, err: %d", LastError());
      } else {
        CXLOG(kTag, CXLOG_INFO, "%d Bytes sent to wake up select", static_cast<int>(sent));
      }
    }
  }
  if (std::this_thread::get_id() == thread_.get_id()) {
    CXLOG(kTag, CXLOG_ERROR, "stop: the server thread cannot join itself");
    return false;
  }
  if (thread_.joinable()) thread_.join();
  closeAllSockets();
  if (winsockResult_ == 0) {
    if (platform::wsa_cleanup() == 0) CXLOG(kTag, CXLOG_INFO, "WSA clean up");
    winsockResult_ = -1;
  }
  CXLOG(kTag, CXLOG_INFO, "CCXCom2 stopped");
  return true;
}
