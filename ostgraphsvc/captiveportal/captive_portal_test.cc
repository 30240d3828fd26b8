#include "ostgraphsvc/captiveportal/captive_portal.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ostgraphsvc/captiveportal/tarn_status_monitor.h"
#include "ostgraphsvc/policy_slot/policy_slot.h"
#include "platform/registry/registry.h"
#include "tests/support/started_log.h"

namespace reg = platform::registry;
using testing_support::StartedLog;

namespace {

constexpr char kKey[] = "SOFTWARE\\Corvex\\tarn\\cpdetection";

void SetStatus(const std::string& text, const char* key = kKey) {
  reg::Key k;
  ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, key,
                            reg::kKeyAllAccess | reg::kKeyWow64_64Key, &k),
            0u);
  ASSERT_EQ(reg::set_value(k, "cpdetectionstatus", reg::kRegSz, text.c_str(),
                           static_cast<uint32_t>(text.size() + 1)),
            0u);
}

void DeleteStatus() {
  reg::Key k;
  ASSERT_EQ(reg::open_key(reg::RootKey::kLocalMachine, kKey,
                          reg::kKeyAllAccess | reg::kKeyWow64_64Key, &k),
            0u);
  ASSERT_EQ(reg::delete_value(k, "cpdetectionstatus"), 0u);
}

// The line router level 3 gives (service level 2).
std::string Line(const std::string& message) {
  return " vedororore 2 CaptivePortal::UpdateCaptivePortalStatus " + message + "\n";
}

template <typename Pred>
bool WaitFor(Pred pred, int ms) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

struct FakePolicy : OstPolicyTableVersion {
  FakePolicy() { register_policy_element(this); }
  ~FakePolicy() { unregister_policy_element(this); }
};

class CaptivePortalTest : public ::testing::Test {
 protected:
  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  FakePolicy policy_;
  CaptivePortal portal_;
};

TEST_F(CaptivePortalTest, StatusTextsSetOrKeepTheFlag) {
  struct Case {
    const char* text;  // null: the value is deleted
    bool before;
    bool after;
    std::string line;
  };
  const Case cases[] = {
      {"STARTED", false, true, "Captive Portal status changed to: started"},
      {"detected", true, true, "Captive Portal status changed to: detected"},
      {"started ", true, true,
       "Registry value 'started ' ignored (Unexpected Captive portal state found)"},
      {"", true, false, "Captive Portal status changed to: empty (expired state)"},
      {"Detected", false, true, "Captive Portal status changed to: detected"},
      {nullptr, true, true, "Failed to get captive portal status from registry (ret=1168, type=0)"},
      {"NotDetected", true, false, "Captive Portal status changed to: notdetected"},
      {"failed", false, false, "Captive Portal status changed to: failed"},
      {"started", false, true, "Captive Portal status changed to: started"},
      {"graceperiodexpired", true, false, "Captive Portal status changed to: graceperiodexpired"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text == nullptr ? "(deleted)" : c.text);
    if (c.text == nullptr) {
      DeleteStatus();
    } else {
      SetStatus(c.text);
    }
    ASSERT_EQ(portal_.IsCaptivePortalActive(), c.before);
    std::string before = log_.text();
    uint32_t version = policy_.policy_table_version();
    portal_.UpdateCaptivePortalStatus();
    EXPECT_EQ(portal_.IsCaptivePortalActive(), c.after);
    std::string added = log_.text().substr(before.size());
    EXPECT_NE(added.find(Line(c.line)), std::string::npos) << added;
    bool changed = c.before != c.after;
    EXPECT_EQ(added.find("New Captive portal state") != std::string::npos, changed) << added;
    EXPECT_EQ(policy_.policy_table_version(), version + (changed ? 1 : 0));
  }
}

TEST_F(CaptivePortalTest, FlagChangeLogsItsNewState) {
  SetStatus("detected");
  portal_.UpdateCaptivePortalStatus();
  SetStatus("failed");
  portal_.UpdateCaptivePortalStatus();
  std::string text = log_.text();
  EXPECT_NE(text.find(Line("New Captive portal state (enabled) for fail-close is set.")),
            std::string::npos);
  EXPECT_NE(text.find(Line("New Captive portal state (disabled) for fail-close is set.")),
            std::string::npos);
}

TEST_F(CaptivePortalTest, FollowsWritesOfAnotherProcess) {
  SetStatus("notdetected");
  ASSERT_TRUE(portal_.Initialize());
  EXPECT_TRUE(portal_.IsInitialized());
  EXPECT_FALSE(portal_.IsCaptivePortalActive());
  // Let the monitor arm its watch before the write.
  ASSERT_TRUE(
      WaitFor([&] { return log_.text().find("thread started.") != std::string::npos; }, 2000));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    reg::Key k;
    uint32_t rc = reg::open_key(reg::RootKey::kLocalMachine, kKey,
                                reg::kKeyAllAccess | reg::kKeyWow64_64Key, &k);
    const char text[] = "Detected";
    if (rc == 0) rc = reg::set_value(k, "cpdetectionstatus", reg::kRegSz, text, sizeof text);
    _exit(rc == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_TRUE(WaitFor([&] { return portal_.IsCaptivePortalActive(); }, 1000));

  // The notification is armed anew after each change.
  SetStatus("failed");
  EXPECT_TRUE(WaitFor([&] { return !portal_.IsCaptivePortalActive(); }, 1000));

  portal_.Stop();
  EXPECT_FALSE(portal_.IsInitialized());
  EXPECT_NE(log_.text().find("tarnregmon Got tarn registry change notification."),
            std::string::npos);
}

TEST_F(CaptivePortalTest, StopWithTheKeyAbsentIsPrompt) {
  ASSERT_TRUE(portal_.Initialize());
  ASSERT_TRUE(
      WaitFor([&] { return log_.text().find("thread started.") != std::string::npos; }, 2000));
  auto start = std::chrono::steady_clock::now();
  portal_.Stop();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2000));
  std::string text = log_.text();
  EXPECT_NE(text.find("tarnregmon Got tarn reg monitor exit event."), std::string::npos);
  EXPECT_NE(text.find("tarnregmon TARN Registry Monitor thread stopped."), std::string::npos);
  EXPECT_EQ(text.find("opening key"), std::string::npos);
  // A stopped follower cannot be started again.
  EXPECT_FALSE(portal_.Initialize());
  EXPECT_NE(log_.text().find("TARN status monitor listener is already registered, path "
                             "SOFTWARE\\Corvex\\tarn\\cpdetection\\\n"),
            std::string::npos);
}

// The process-wide instance is destroyed at exit, after its monitor ran;
// LeakSanitizer checks that nothing of it is left.
TEST(CaptivePortalInstanceTest, OneInstanceStartsAndStops) {
  StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
  SetStatus("Started");
  CaptivePortal& portal = CaptivePortal::GetInstance();
  EXPECT_EQ(&portal, &CaptivePortal::GetInstance());
  // Only the first run in a process starts the monitor: a stopped one stays
  // stopped. The status is read either way.
  portal.Initialize();
  EXPECT_TRUE(portal.IsInitialized());
  EXPECT_TRUE(portal.IsCaptivePortalActive());
  portal.Stop();
  EXPECT_FALSE(portal.IsInitialized());
  EXPECT_TRUE(portal.IsCaptivePortalActive());
}

struct CountingListener final : ITarnStatusMonitorListener {
  std::atomic<int> calls{0};
  void OnTarnStatusChanged() override { ++calls; }
};

TEST(TarnStatusMonitorTest, StartRefusals) {
  StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
  CountingListener listener;
  TarnStatusMonitor monitor;
  EXPECT_TRUE(monitor.Stop());  // never started
  EXPECT_FALSE(monitor.Start(nullptr, "SOFTWARE\\X"));
  EXPECT_FALSE(monitor.Start(&listener, ""));
  EXPECT_TRUE(monitor.Start(&listener, "SOFTWARE\\X"));
  EXPECT_FALSE(monitor.Start(&listener, "SOFTWARE\\Y"));
  EXPECT_TRUE(monitor.Stop());
  EXPECT_TRUE(monitor.Stop());
  std::string text = log.text();
  for (const char* line :
       {" vedororore 2 tarnregmon TARN status monitor listener not set, monitoring is not "
        "started\n",
        " vedororore 2 tarnregmon TARN status monitor registry path is empty\n",
        " vedororore 4 tarnregmon Starting TARN Registry Monitor thread registry path "
        "SOFTWARE\\X.\n",
        " vedororore 2 tarnregmon TARN status monitor listener is already registered, path "
        "SOFTWARE\\X\n"}) {
    EXPECT_NE(text.find(line), std::string::npos) << line;
  }
}

// A listener slower than the stop's bound: Stop returns in time and the
// destructor still waits for the thread, so it never touches a dead listener.
TEST(TarnStatusMonitorTest, DestructorJoinsASlowListener) {
  StartedLog log(CXLOG_FMT_LEVEL_NUMBER);
  SetStatus("a", "SOFTWARE\\Slow");
  struct Slow final : ITarnStatusMonitorListener {
    std::atomic<bool> entered{false};
    std::atomic<bool> finished{false};
    void OnTarnStatusChanged() override {
      entered = true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2500));
      finished = true;
    }
  } slow;
  {
    TarnStatusMonitor monitor;
    ASSERT_TRUE(monitor.Start(&slow, "SOFTWARE\\Slow"));
    ASSERT_TRUE(
        WaitFor([&] { return log.text().find("thread started.") != std::string::npos; }, 2000));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    SetStatus("b", "SOFTWARE\\Slow");
    ASSERT_TRUE(WaitFor([&] { return slow.entered.load(); }, 2000));
    auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(monitor.Stop());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2300));
  }
  EXPECT_TRUE(slow.finished);
}

}  // namespace
