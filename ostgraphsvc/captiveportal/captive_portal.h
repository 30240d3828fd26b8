// The captive-portal follower: keeps the flag "captive portal active" that
// the policy element consults while fail-close is in force, so that log-in
// traffic to a hotel or airport portal can pass.
//
// Another client component writes its verdict as the text value
// "cpdetectionstatus" somewhere under HKLM "SOFTWARE\Corvex\tarn\cpdetection\".
// `Initialize` reads it once and starts a `TarnStatusMonitor` on that key;
// every change reads it again. Status lines go to the router log with the tag
// "CaptivePortal::UpdateCaptivePortalStatus". A change of the flag bumps the
// policy table version of the registered policy element, so flows look their
// policy up again.
//
// The process uses the one instance `GetInstance` makes (destroyed at exit,
// which joins the monitor thread); tests may make their own.
//
// Threads: `Initialize` and `Stop` on the service's threads;
// `UpdateCaptivePortalStatus` on the service thread at start and on the
// monitor thread after changes; the flags may be read from any thread.
#ifndef OSTGRAPHSVC_CAPTIVEPORTAL_CAPTIVE_PORTAL_H_
#define OSTGRAPHSVC_CAPTIVEPORTAL_CAPTIVE_PORTAL_H_

#include <atomic>

#include "ostgraphsvc/captiveportal/tarn_status_monitor.h"

class CaptivePortal : public ITarnStatusMonitorListener {
 public:
  static constexpr char kRegistryPath[] = "SOFTWARE\\Corvex\\tarn\\cpdetection\\";
  static constexpr char kValueName[] = "cpdetectionstatus";

  CaptivePortal() = default;
  CaptivePortal(const CaptivePortal&) = delete;
  CaptivePortal& operator=(const CaptivePortal&) = delete;
  virtual ~CaptivePortal() = default;

  static CaptivePortal& GetInstance();

  // Marks the follower initialised, starts the monitor and reads the status
  // once. False when the monitor could not start (already logged); the status
  // is read all the same.
  bool Initialize();

  // The stop steps of the service: stops the monitor and clears the
  // initialised flag; the captive-portal flag keeps its last value.
  void Stop();

  // Reads the value and updates the flag.
  void UpdateCaptivePortalStatus();

  void OnTarnStatusChanged() override;

  bool IsCaptivePortalActive() const { return captivePortalActive_.load(); }
  bool IsInitialized() const { return initialized_.load(); }

 private:
  // Declared first so that it is destroyed last: its destructor joins a
  // thread that may still be updating the flags below.
  TarnStatusMonitor monitor_;
  std::atomic<bool> captivePortalActive_{false};
  std::atomic<bool> initialized_{false};
};

#endif  // OSTGRAPHSVC_CAPTIVEPORTAL_CAPTIVE_PORTAL_H_
