// A monitor for tests: records the calls it gets, in order ("clear",
// "change"), and publishes itself for its lifetime, restoring the monitor it
// replaced when it goes.
#ifndef LIB_INTERFACEMONITOR_RECORDING_INTERFACE_MONITOR_H_
#define LIB_INTERFACEMONITOR_RECORDING_INTERFACE_MONITOR_H_

#include <mutex>
#include <string>
#include <vector>

#include "lib/interfacemonitor/ost_interface_monitor.h"

class RecordingInterfaceMonitor : public OstInterfaceMonitor {
 public:
  RecordingInterfaceMonitor() : previous_(SetInstance(this)) {}
  ~RecordingInterfaceMonitor() override { SetInstance(previous_); }

  void clearInterfaces() override { record("clear"); }
  void handleInterfaceChange() override { record("change"); }

  std::vector<std::string> calls() const {
    std::lock_guard<std::mutex> lock(mu_);
    return calls_;
  }

 private:
  void record(const char* call) {
    std::lock_guard<std::mutex> lock(mu_);
    calls_.push_back(call);
  }

  OstInterfaceMonitor* previous_;
  mutable std::mutex mu_;
  std::vector<std::string> calls_;
};

#endif  // LIB_INTERFACEMONITOR_RECORDING_INTERFACE_MONITOR_H_
