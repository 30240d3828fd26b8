// FailCloseMgr: whether fail-close is configured, whether it is in force now,
// and telling the capture element when that changes.
//
// Fail-close means that while no overlay tunnel is connected the capture
// element takes only private-range traffic and the policy blocks the rest.
// Configured comes from the registry test override "failclose_testing_variable"
// (anywhere under HKLM "SOFTWARE\Corvex\tarn") or else from
// "dcfg_client_config" / "fail_close" of the work directory's
// "ostrel-client-config.json". In force (effective) is configured and the
// tunnel down. Before `Initialize` both read true and updates are ignored.
//
// Threads: updates come from the packet thread, the transport's threads, the
// service thread and the IPC server thread. One mutex covers computing
// effective, calling the listener and bumping the policy table version, and
// also storing a new configured state with the update it triggers, so the
// listener's last value always equals effective. The flags are atomic so that
// the policy lookup reads them without the lock. The listener runs with the
// lock held and must not call back into the manager.
//
// Ownership: `GetInstance` returns the process-wide manager, never reset at
// stop. The listener is not owned; whoever registers it unregisters it before
// it goes. Tests may make their own managers.
#ifndef OSTGRAPHSVC_FAILCLOSE_FAIL_CLOSE_MGR_H_
#define OSTGRAPHSVC_FAILCLOSE_FAIL_CLOSE_MGR_H_

#include <atomic>
#include <mutex>

#include "ostgraphsvc/failclose/fail_close_update.h"

class FailCloseMgr {
 public:
  FailCloseMgr() = default;
  FailCloseMgr(const FailCloseMgr&) = delete;
  FailCloseMgr& operator=(const FailCloseMgr&) = delete;

  static FailCloseMgr& GetInstance();

  // Reads the configured state; effective starts equal to it. Updates are
  // applied from now on.
  void Initialize();

  // The configured state: the registry override when it can be read
  // ("enabled" or "disabled" in any letter case; anything else means not
  // configured, and the client file is then not read), else the client file.
  bool IsFCConfiguredTestingFunc();

  // The client file's "fail_close": its value when it is a boolean, false
  // otherwise and when the file does not parse.
  bool GetFailCloseConfiguration();

  // A new "tunnel down" verdict: effective := configured and `incoming`, the
  // listener gets effective, and when it answers true the registered policy
  // element's table version goes up. Ignored, with a log line, before
  // `Initialize`.
  void UpdateFailCloseEnabledStatus(bool incoming);

  // For the reconfigure command: stores `configured` when it differs from
  // the stored state and, in the same locked step, applies it as an update
  // with that value. True when it differed.
  bool ReplaceConfigured(bool configured);

  // The capture element; the last one registered wins. Unregistering another
  // listener than the current one changes nothing.
  void RegisterListener(IFailCloseUpdate* listener);
  void UnregisterListener(IFailCloseUpdate* listener);

  bool IsEffective() const { return effective_.load(); }
  bool IsConfigured() const { return configured_.load(); }
  bool IsInitialized() const { return initialised_.load(); }

 private:
  void updateLocked(bool incoming);

  std::mutex mu_;
  std::atomic<bool> effective_{true};
  std::atomic<bool> configured_{true};
  std::atomic<bool> initialised_{false};
  IFailCloseUpdate* listener_ = nullptr;  // guarded by mu_
};

#endif  // OSTGRAPHSVC_FAILCLOSE_FAIL_CLOSE_MGR_H_
