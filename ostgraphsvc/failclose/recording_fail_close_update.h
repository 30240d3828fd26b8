// RecordingFailCloseUpdate: an IFailCloseUpdate for tests that records every
// value it receives and answers with a settable reply. Thread-safe.
#ifndef OSTGRAPHSVC_FAILCLOSE_RECORDING_FAIL_CLOSE_UPDATE_H_
#define OSTGRAPHSVC_FAILCLOSE_RECORDING_FAIL_CLOSE_UPDATE_H_

#include <mutex>
#include <vector>

#include "ostgraphsvc/failclose/fail_close_update.h"

class RecordingFailCloseUpdate : public IFailCloseUpdate {
 public:
  explicit RecordingFailCloseUpdate(bool answer = true) : answer_(answer) {}

  bool UpdateFailClose(bool effective) override {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(effective);
    return answer_;
  }

  void set_answer(bool answer) {
    std::lock_guard<std::mutex> lock(mu_);
    answer_ = answer;
  }
  std::vector<bool> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  mutable std::mutex mu_;
  bool answer_;
  std::vector<bool> calls_;
};

#endif  // OSTGRAPHSVC_FAILCLOSE_RECORDING_FAIL_CLOSE_UPDATE_H_
