// A listener that records what the IPC endpoint reports, for tests and the
// test server peer.
//
// Every call is appended to an event list that any thread may read or wait
// on. With `answerWith` set, each text is answered with `SendMsg` of the
// answer to its sender from inside onMessage, as the service's command server
// answers "OK"; `declineName` makes onNewClient turn that name away. The
// endpoint is not owned. Thread-safe.
#ifndef CLIENT_LIB_CXCOM2_CXCOM2RECORDINGLISTENER_H_
#define CLIENT_LIB_CXCOM2_CXCOM2RECORDINGLISTENER_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "client/lib/cxcom2/ICXCom2Listener.h"

class CCXCom2;

struct CXCom2Event {
  enum Kind { kMessage, kError, kDisconnect, kNewClient, kInvalidClient };
  Kind kind = kMessage;
  std::string client;  // client name, or the executable path for kInvalidClient
  std::string text;    // kMessage
  int code = 0;        // kError, kDisconnect; the process id for kInvalidClient
};

class CXCom2RecordingListener : public ICXCom2Listener {
 public:
  virtual ~CXCom2RecordingListener() = default;

  void answerWith(CCXCom2* server, std::string answer = "OK");
  void declineName(std::string name);
  // Called with each event after it is recorded (on the reporting thread).
  void setObserver(std::function<void(const CXCom2Event&)> observer);

  void onMessage(const std::string& text, const std::string& clientName) override;
  void onError(int code, const std::string& clientName) override;
  void onDisconnect(int code, const std::string& clientName) override;
  bool onNewClient(const std::string& clientName) override;
  void onInvalidClient(const std::string& executablePath, uint32_t processId) override;

  std::vector<CXCom2Event> events() const;
  size_t count(CXCom2Event::Kind kind) const;
  // Waits until at least `n` events of `kind` were recorded; false on time-out.
  bool waitFor(CXCom2Event::Kind kind, size_t n,
               std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  void record(CXCom2Event event);

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<CXCom2Event> events_;
  CCXCom2* server_ = nullptr;
  std::string answer_;
  std::string declined_;
  std::function<void(const CXCom2Event&)> observer_;
};

#endif  // CLIENT_LIB_CXCOM2_CXCOM2RECORDINGLISTENER_H_
