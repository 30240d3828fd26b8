// The loopback IPC endpoint of the client library.
//
// `CCXCom2` serves the maker's local client programs over TCP. `startServer`
// starts one server thread, which runs in cycles: resolve the address, listen,
// then run the message pump until stop or failure. The pump accepts a client,
// checks the executable that owns the client's end of the connection (one of
// the allowed programs in this executable's folder; an owner that cannot be
// found is let in), then polls it with the others while its handshake (its
// name) arrives, so that a slow or silent client holds up no one; from then
// on it hands every length-prefixed text the client sends to the listener
// (the keep-alive CLIENT_PING excepted) and writes out what `SendMsg` had to
// queue. A failed
// cycle is reported through onError and retried after the retry wait, until
// `stop`.
//
// Limits: a handshake must arrive within the handshake deadline (30 s for the
// length and again for the frame) and be at most 10000 bytes; a client that
// announces a text over 1 MiB, or lets more than 16 MiB pile up for it, is
// dropped. At most 256 clients are served, those still in their handshake
// included; one more is closed at accept. The
// pump polls every client and, in one pass, hands the listener at most 64
// texts of one client before it serves the others. A client whose send fails
// (other than would-block) is closed and reported through onDisconnect with
// that error, so it costs nothing further. An accept that fails for want of
// descriptors or memory stops accepting for one second, with one log line.
//
// Threads and ownership: the listener is not owned and must outlive the
// server thread. The server thread makes every listener call except the
// onError calls of `SendMsg`. `SendMsg` may run on any thread, also inside a
// listener call: the client table's lock is recursive. `startServer` and
// `stop` belong to the owner's thread. Only the server thread closes client
// sockets, and a client's record leaves the tables before its socket is
// closed, so no send ever reaches a descriptor that has been reused.
#ifndef CLIENT_LIB_CXCOM2_CXCOM2_H_
#define CLIENT_LIB_CXCOM2_CXCOM2_H_

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "client/lib/cxcom2/ICXCom2Listener.h"
#include "platform/net/net.h"

// Executable names a client may run, in this executable's folder; compared
// ignoring case and a ".exe" suffix.
inline constexpr const char* kCxComAllowedClients[] = {"pellarui.exe", "zevudi.exe",
                                                       "vedororore.exe", "dovadod.exe"};

// True when two executable names or paths are equal ignoring ASCII letter
// case, with a trailing ".exe" (in any case) dropped on both sides. Allocates
// nothing, so the packet path may call it.
bool cxComExeNamesEqual(std::string_view a, std::string_view b);

// True when `clientPath` is `folder` (ending in "/") followed by one of the
// allowed names: equal ignoring case, with a trailing ".exe" dropped on both
// sides.
bool cxComIsAllowedClient(std::string_view folder, std::string_view clientPath);

class CCXCom2 {
 public:
  static constexpr int kModeServer = 0;
  static constexpr int kModeNotSet = 2;
  static constexpr uint16_t kDefaultPort = 57130;
  static constexpr int kRetryWaitMs = 10 * 1000;
  static constexpr int kHandshakeTimeoutMs = 30 * 1000;
  static constexpr uint32_t kMaxTextLength = 1024 * 1024;
  static constexpr size_t kMaxQueuedBytes = 16 * 1024 * 1024;
  static constexpr int kClientPingId = 124;
  static constexpr size_t kMaxClients = 256;
  static constexpr size_t kTextsPerPass = 64;
  static constexpr int kAcceptBackoffMs = 1000;

  CCXCom2();
  CCXCom2(const CCXCom2&) = delete;
  CCXCom2& operator=(const CCXCom2&) = delete;
  // Stops a server still running, then closes all sockets and cleans up.
  virtual ~CCXCom2();

  // WSAStartup 2.2, the result kept; false (logged) on failure.
  bool initializeWinsock();

  // Starts serving `host`:`port` (port 0 picks a free one, see boundPort) with
  // `listener`. False when already running, without a listener, or when the
  // thread could not be started.
  bool startServer(const std::string& host, uint16_t port, ICXCom2Listener* listener);

  // Starts the server thread: 0, or -2 when it could not be made.
  int startServerThread();

  // Frames `text` (any bytes) and sends it to every client named `clientName`,
  // or to all clients when the name is empty; what cannot go out at once is
  // queued. The result is that of the last client sent to: false when none
  // matched, the server is not running, or that send failed.
  virtual bool SendMsg(const std::string& text, const std::string& clientName);

  // Ends the server thread, wherever it waits, and releases the sockets.
  // False when not running. Must not be called from a listener call (it
  // cannot join its own thread): that is refused after asking the thread to
  // end, and a later stop from another thread completes it.
  bool stop();

  bool isRunning() const { return running_.load(); }
  int mode() const { return mode_; }
  // The port the listening socket is bound to; 0 while there is none.
  uint16_t boundPort() const { return boundPort_.load(); }

  // For tests: the pause between failed cycles and the handshake deadline.
  void setRetryWaitMs(int ms) { retryWaitMs_.store(ms); }
  void setHandshakeTimeoutMs(int ms) { handshakeTimeoutMs_.store(ms); }

 private:
  struct ClientRecord {
    std::string name;
    std::string output;  // framed bytes not yet sent, from outputStart on
    size_t outputStart = 0;
    int socket = -1;
    bool writable = true;
  };
  // A client that passed the owner check and whose handshake is still on its
  // way: the length prefix (step 1), then the frame (step 2).
  struct HandshakeClient {
    std::chrono::steady_clock::time_point deadline;  // of the current step
    int step = 1;
    size_t wanted = 0;  // bytes of the current step
    std::string bytes;  // received so far of the current step
  };
  // What only the pump touches of a client.
  struct PumpClient {
    std::string name;
    std::string input;     // received bytes not yet cut into texts
    bool backlog = false;  // complete texts wait in input beyond the last pass's budget
  };
  // A client to be taken out of the tables after a failed send.
  struct DroppedClient {
    int socket;
    int error;
    bool overflowed;  // too much queued: reported through onError
  };

  void serverThread();
  void runCycle();
  bool waitBeforeRetry();
  bool resolveRemoteHost();
  bool createSocketPair();
  void closeWakePair();
  void closeAllSockets();
  int startServerMessagePump();
  void serveClient(int socket, short events);
  void acceptClient();
  int handleNewClient();
  void reportNewClientFailure(int rc, bool logged);
  bool isValidClient(const sockaddr_storage& peer);
  bool setNonBlocking(int socket);
  void serveHandshake(int socket, short events);
  void expireHandshakes();
  std::optional<int> readHandshake(int socket, HandshakeClient& pending);
  void finishHandshake(int socket, int rc);
  int serverHandshake(int socket, const std::string& frame, std::string* name,
                      std::string* leftover);
  int admitClient(int socket, const std::string& name);
  void sendHandshakeAckfromServer(int socket);
  int doRead(int socket, std::string* input);
  bool processReceivedData(int socket, PumpClient& client);
  void dropPumpClient(int socket, int error);
  int flushOutput(int socket);
  bool removeClient(int socket);
  bool cxsend(int socket, const std::string& framed, std::vector<DroppedClient>* dropped);
  bool queueOutput(ClientRecord& record, const char* data, size_t size);
  void wakePump();

  int mode_ = kModeNotSet;
  int ownSocket_ = -1;
  std::atomic<bool> running_{false};
  uint16_t port_ = kDefaultPort;
  std::string host_ = "127.0.0.1";
  sockaddr_storage resolved_{};
  socklen_t resolvedLength_ = 0;
  ICXCom2Listener* listener_ = nullptr;
  std::atomic<bool> stopRequested_{false};

  // The pump watches the read end; SendMsg writes the write end so that the
  // pump rebuilds its write set. Guarded so that no writer meets a closed or
  // reused descriptor while the server thread replaces the pair.
  std::mutex wakeLock_;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  // Readable once stop is asked; ends the retry wait and the pump at once.
  int stopEvent_ = -1;

  std::thread thread_;

  // Lock order: clientLock_, then pendingLock_, then wakeLock_.
  std::mutex pendingLock_;
  std::set<int> pending_;  // clients with queued output, after a send would have blocked
  std::recursive_mutex clientLock_;
  std::unordered_map<int, ClientRecord> clients_;
  std::multimap<std::string, int> names_;  // equal names in registration order

  // Server thread only.
  std::map<int, PumpClient> pumpClients_;
  std::map<int, HandshakeClient> handshakes_;
  // While a failed accept's back-off lasts the listening socket is not polled.
  std::chrono::steady_clock::time_point acceptPausedUntil_{};

  std::atomic<bool> retryAbort_{false};
  int winsockResult_ = -1;
  std::atomic<uint16_t> boundPort_{0};
  std::atomic<int> retryWaitMs_{kRetryWaitMs};
  std::atomic<int> handshakeTimeoutMs_{kHandshakeTimeoutMs};
};

#endif  // CLIENT_LIB_CXCOM2_CXCOM2_H_
