// The service's side of the local IPC channel.
//
// Local client programs send command texts to the endpoint (127.0.0.1, port
// 4444, started by the capture element's selection hook). `TarnIPCListener`
// gets each text on the endpoint's server thread and hands it to
// `TarnIPCServer::tarn_equeue_msg`, which turns the command JSON
//   {"65535": {"command_subsystem": "...", "command": "..."}}
// into a message block on the packet queue (type from the command table, tag
// the subsystem, data the command bytes without a terminating zero) or, for
// the subsystem "pktDumpCommand", starts or stops the packet capture file at
// once. Every received text is answered "OK", whatever became of it.
//
// Ownership: `GetInstance` makes the process-wide server on its first call
// and keeps it to process exit. The server owns its endpoint and its ring of
// 128 blocks; the queue is not owned. Tests and fuzz targets may make servers
// of their own with their own queue.
//
// Threads: `tarn_equeue_msg` and `handlePktDumpCommand` run on one thread at a
// time (the endpoint's server thread): the ring is taken from by that thread
// only. The packet thread releases the blocks. `GetInstance` may be called
// from any thread.
#ifndef OSTGRAPHSVC_TARNIPC_TARNIPC_H_
#define OSTGRAPHSVC_TARNIPC_TARNIPC_H_

#include <atomic>
#include <string>

#include "client/lib/cxcom2/CXCom2.h"
#include "client/lib/cxcom2/ICXCom2Listener.h"
#include "ostgraphsvc/qmsg/qmsg.h"

class FailCloseMgr;

inline constexpr uint16_t kTarnIPCPort = 4444;

class TarnIPCListener final : public ICXCom2Listener {
 public:
  virtual ~TarnIPCListener() = default;
  void onMessage(const std::string& text, const std::string& clientName) override;
};

// The listener the selection hook gives the endpoint; lives to process exit.
extern TarnIPCListener g_tarn_ipc_listener;

// True while a packet capture started by "pktDumpCommand" runs.
extern std::atomic<bool> g_tarn_pktdump_running;

class TarnIPCServer {
 public:
  // The process-wide server, made on the first call with `queue`; a first
  // call without one uses the process-wide queue `g_qmsg_queue`. Later calls
  // ignore the argument.
  static TarnIPCServer& GetInstance(QMsgQueue* queue = nullptr);

  // A server posting to `queue` (null: `g_qmsg_queue`) and reading the
  // configured fail-close state from `failClose` (null: the process-wide
  // manager). Neither is owned.
  explicit TarnIPCServer(QMsgQueue* queue, FailCloseMgr* failClose = nullptr);
  TarnIPCServer(const TarnIPCServer&) = delete;
  TarnIPCServer& operator=(const TarnIPCServer&) = delete;

  CCXCom2& endpoint() { return endpoint_; }
  QMsgBlockPool& pool() { return pool_; }

  // Parses one command text, maps it and queues its block; malformed texts
  // are ignored without a log line.
  void tarn_equeue_msg(const std::string& text);
  // "start[;snaplen]" or "stop", split on ';' with empty tokens dropped.
  void handlePktDumpCommand(const std::string& command);

 private:
  CCXCom2 endpoint_;
  QMsgQueue* queue_;
  FailCloseMgr* failClose_;
  QMsgBlockPool pool_;
};

#endif  // OSTGRAPHSVC_TARNIPC_TARNIPC_H_
