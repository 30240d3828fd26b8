#include "client/lib/cxcom2/CXCom2RecordingListener.h"

#include <algorithm>

#include "client/lib/cxcom2/CXCom2.h"

void CXCom2RecordingListener::answerWith(CCXCom2* server, std::string answer) {
  std::lock_guard<std::mutex> guard(mutex_);
  server_ = server;
  answer_ = std::move(answer);
}

void CXCom2RecordingListener::declineName(std::string name) {
  std::lock_guard<std::mutex> guard(mutex_);
  declined_ = std::move(name);
}

void CXCom2RecordingListener::setObserver(std::function<void(const CXCom2Event&)> observer) {
  std::lock_guard<std::mutex> guard(mutex_);
  observer_ = std::move(observer);
}

void CXCom2RecordingListener::record(CXCom2Event event) {
  std::function<void(const CXCom2Event&)> observer;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back(event);
    observer = observer_;
  }
  changed_.notify_all();
  if (observer) observer(event);
}

void CXCom2RecordingListener::onMessage(const std::string& text, const std::string& clientName) {
  record({CXCom2Event::kMessage, clientName, text, 0});
  CCXCom2* server = nullptr;
  std::string answer;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    server = server_;
    answer = answer_;
  }
  // Not under our lock: SendMsg may report an error back into this listener.
  if (server != nullptr) server->SendMsg(answer, clientName);
}

void CXCom2RecordingListener::onError(int code, const std::string& clientName) {
  record({CXCom2Event::kError, clientName, {}, code});
}

void CXCom2RecordingListener::onDisconnect(int code, const std::string& clientName) {
  record({CXCom2Event::kDisconnect, clientName, {}, code});
}

bool CXCom2RecordingListener::onNewClient(const std::string& clientName) {
  record({CXCom2Event::kNewClient, clientName, {}, 0});
  std::lock_guard<std::mutex> guard(mutex_);
  return declined_.empty() || clientName != declined_;
}

void CXCom2RecordingListener::onInvalidClient(const std::string& executablePath,
                                              uint32_t processId) {
  record({CXCom2Event::kInvalidClient, executablePath, {}, static_cast<int>(processId)});
}

std::vector<CXCom2Event> CXCom2RecordingListener::events() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return events_;
}

size_t CXCom2RecordingListener::count(CXCom2Event::Kind kind) const {
  std::lock_guard<std::mutex> guard(mutex_);
  return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                           [&](const CXCom2Event& e) { return e.kind == kind; }));
}

bool CXCom2RecordingListener::waitFor(CXCom2Event::Kind kind, size_t n,
                                      std::chrono::milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    return static_cast<size_t>(std::count_if(events_.begin(), events_.end(),
                                             [&](const auto& e) { return e.kind == kind; })) >= n;
  });
}
