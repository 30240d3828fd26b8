// A watcher of one settings-store key that tells a listener after every
// change of the key's values (log tag "tarnregmon").
//
// `Start` hands the monitor a listener and a key path (under HKLM, in the
// view `cxUse64BitRegistryView` chooses) and starts one thread, which opens
// the key, arms a change watch on it, waits for a change or the exit event,
// calls the listener and re-arms. While the key does not exist the thread
// retries every 25000 ms, waking at once when the monitor is stopped.
//
// Ownership: the listener is not owned and must outlive the monitor's thread.
// A monitor runs at most once: `Stop` does not clear the listener, so a later
// `Start` is refused.
//
// Threads: `Start` and `Stop` belong to the owner's thread; the listener is
// called on the monitor thread. `Stop` waits at most 2000 ms; a thread still
// running then (a listener that takes long) is joined by the destructor, so
// it never outlives the listener's owner.
#ifndef OSTGRAPHSVC_CAPTIVEPORTAL_TARN_STATUS_MONITOR_H_
#define OSTGRAPHSVC_CAPTIVEPORTAL_TARN_STATUS_MONITOR_H_

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

class ITarnStatusMonitorListener {
 public:
  virtual void OnTarnStatusChanged() = 0;

 protected:
  ~ITarnStatusMonitorListener() = default;
};

class TarnStatusMonitor {
 public:
  TarnStatusMonitor();
  ~TarnStatusMonitor();
  TarnStatusMonitor(const TarnStatusMonitor&) = delete;
  TarnStatusMonitor& operator=(const TarnStatusMonitor&) = delete;

  // False (and an error line) without a listener, with one already
  // registered, or with an empty path; otherwise starts the thread.
  bool Start(ITarnStatusMonitorListener* listener, const std::string& registryPath);

  // Signals the thread and waits up to 2000 ms for it to end. Always true.
  bool Stop();

 private:
  void MonitorThread();
  void SetExitEvent();
  // Waits for the exit event up to `timeoutMs`: 1 signalled, 0 timed out,
  // -1 failed (errno kept).
  int WaitExitEvent(int timeoutMs);

  int exitEvent_ = -1;  // eventfd; reading it resets it, as an auto-reset event
  std::thread monitorThread_;
  ITarnStatusMonitorListener* listener_ = nullptr;
  std::string registryPath_;

  std::mutex doneMutex_;
  std::condition_variable doneCv_;
  bool threadDone_ = false;
};

#endif  // OSTGRAPHSVC_CAPTIVEPORTAL_TARN_STATUS_MONITOR_H_
