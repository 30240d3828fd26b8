#include "ostgraphsvc/failclose/fail_close_mgr.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ostgraphsvc/failclose/recording_fail_close_update.h"
#include "ostgraphsvc/policy_slot/policy_slot.h"
#include "platform/registry/registry.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"

namespace reg = platform::registry;
using testing_support::StartedLog;
using testing_support::WriteFile;

namespace {

constexpr char kConfiguredTag[] = "FailCloseMgr::IsFCConfiguredTestingFunc";
constexpr char kClientTag[] = "FailCloseMgr::GetFailCloseConfiguration";
constexpr char kUpdateTag[] = "FailCloseMgr::UpdateFailCloseEnabledStatus";

void SetText(const std::string& path, const char* name, const std::string& text) {
  testing_support::SetRegText(path, name, text);
}

// " vedororore <service level> <tag> <message>" with router level 3 as 2 and 6 as 4.
std::string Line(int routerLevel, const std::string& tag, const std::string& message) {
  return " vedororore " + std::to_string(routerLevel == 3 ? 2 : 4) + " " + tag + " " + message +
         "\n";
}

struct FakePolicy : OstPolicyTableVersion {};

// Takes a moment before it records, as rebuilding a capture filter does, so
// that unordered updates would overtake each other.
class SlowListener : public RecordingFailCloseUpdate {
 public:
  bool UpdateFailClose(bool effective) override {
    std::this_thread::sleep_for(std::chrono::microseconds(20));
    return RecordingFailCloseUpdate::UpdateFailClose(effective);
  }
};

class FailCloseMgrTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string dir = log_.root().file("work");
    std::filesystem::create_directories(dir);
    clientFile_ = dir + "/ostrel-client-config.json";
    SetText("SOFTWARE\\Corvex\\tarn", "workdir", dir);
  }

  // The override sits in a sub-key: the search covers the whole tree.
  void SetOverride(const std::string& value) {
    SetText("SOFTWARE\\Corvex\\tarn\\qa", "failclose_testing_variable", value);
  }
  void DeleteOverride() {
    reg::Key key;
    ASSERT_EQ(reg::open_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn",
                            reg::kKeyAllAccess, &key),
              0u);
    reg::delete_tree(key, "qa");
  }
  void SetClientFailClose(const std::string& value) {
    WriteFile(clientFile_, R"({"dcfg_client_config": {"fail_close": )" + value + "}}");
  }
  bool Logged(const std::string& line) const { return log_.text().find(line) != std::string::npos; }

  StartedLog log_{CXLOG_FMT_LEVEL_NUMBER};
  std::string clientFile_;
  FailCloseMgr mgr_;
};

TEST_F(FailCloseMgrTest, ConfiguredFromRegistryOverrideElseClientFile) {
  struct File {
    std::optional<std::string> failClose;  // nullopt: no client file
    bool configured;
    std::string line;  // empty: no line of its own
  };
  const std::vector<File> files = {
      {"true", true, ""},
      {"false", false, ""},
      {R"("true")", false,
       Line(3, kClientTag, "fail close has invalid type (not boolean), assuming false!")},
      {std::nullopt, false,
       Line(3, kClientTag,
            "Client config parse failed, err=-1, assuming fail close configuration as false!")},
  };
  struct Override {
    std::optional<std::string> value;
    bool configured;
    std::string line;
  };
  const std::vector<Override> overrides = {
      {"ENABLED", true, Line(6, kConfiguredTag, "FailCloseMgr: failclose ENABLED via registry.")},
      {"disabled", false,
       Line(6, kConfiguredTag, "FailCloseMgr: failclose DISABLED via registry.")},
      {"yes", false,
       Line(3, kConfiguredTag,
            "FailCloseMgr: Invalid registry value: 'yes'. Defaulting to DISABLED.")},
      {std::nullopt, false,
       Line(3, kConfiguredTag,
            "FailCloseMgr: Could not read registry or invalid type. ret = 1168, type = 0")},
  };
  for (const Override& o : overrides) {
    for (const File& f : files) {
      SCOPED_TRACE(o.value.value_or("(no override)") + " / " + f.failClose.value_or("(no file)"));
      if (o.value) {
        SetOverride(*o.value);
      } else {
        DeleteOverride();
      }
      std::filesystem::remove(clientFile_);
      if (f.failClose) SetClientFailClose(*f.failClose);
      size_t start = log_.text().size();

      bool configured = mgr_.IsFCConfiguredTestingFunc();
      std::string logged = log_.text().substr(start);
      EXPECT_NE(logged.find(o.line), std::string::npos) << logged;
      if (o.value) {
        EXPECT_EQ(configured, o.configured);
        // An override, valid or not, keeps the client file unread.
        EXPECT_EQ(logged.find(kClientTag), std::string::npos) << logged;
        EXPECT_EQ(logged.find("Unable to open file"), std::string::npos) << logged;
      } else {
        EXPECT_EQ(configured, f.configured);
        if (!f.line.empty()) {
          EXPECT_NE(logged.find(f.line), std::string::npos) << logged;
        }
      }
    }
  }
}

TEST_F(FailCloseMgrTest, ClientFileWithoutFailClose) {
  WriteFile(clientFile_, R"({"dcfg_client_config": {"always_on": true}})");
  EXPECT_FALSE(mgr_.GetFailCloseConfiguration());
  EXPECT_TRUE(
      Logged(Line(6, kClientTag, "fail close not present in client config file, assuming false!")));
}

TEST_F(FailCloseMgrTest, InitializeTakesConfiguredState) {
  EXPECT_TRUE(mgr_.IsEffective());
  EXPECT_TRUE(mgr_.IsConfigured());
  EXPECT_FALSE(mgr_.IsInitialized());
  SetOverride("Disabled");
  mgr_.Initialize();
  EXPECT_TRUE(mgr_.IsInitialized());
  EXPECT_FALSE(mgr_.IsConfigured());
  EXPECT_FALSE(mgr_.IsEffective());
}

TEST_F(FailCloseMgrTest, UpdateBeforeInitializeCallsNobody) {
  RecordingFailCloseUpdate listener;
  mgr_.RegisterListener(&listener);
  mgr_.UpdateFailCloseEnabledStatus(false);
  EXPECT_TRUE(listener.calls().empty());
  EXPECT_TRUE(mgr_.IsEffective());
  EXPECT_TRUE(Logged(Line(6, kUpdateTag,
                          "Failclose not initialized, ignoring update. Incoming: false, Current: "
                          "true")));
}

TEST_F(FailCloseMgrTest, EffectiveIsConfiguredAndTunnelDown) {
  RecordingFailCloseUpdate listener;
  mgr_.RegisterListener(&listener);
  SetOverride("disabled");
  mgr_.Initialize();
  mgr_.UpdateFailCloseEnabledStatus(true);
  EXPECT_FALSE(mgr_.IsEffective());
  EXPECT_EQ(listener.calls(), std::vector<bool>{false});

  SetOverride("enabled");
  mgr_.Initialize();
  mgr_.UpdateFailCloseEnabledStatus(true);
  mgr_.UpdateFailCloseEnabledStatus(false);
  EXPECT_EQ(listener.calls(), (std::vector<bool>{false, true, false}));
  EXPECT_FALSE(mgr_.IsEffective());

  // Without a listener the state still follows.
  mgr_.UnregisterListener(&listener);
  mgr_.UpdateFailCloseEnabledStatus(true);
  EXPECT_TRUE(mgr_.IsEffective());
  EXPECT_EQ(listener.calls().size(), 3u);
}

TEST_F(FailCloseMgrTest, LastRegisteredListenerWins) {
  RecordingFailCloseUpdate first;
  RecordingFailCloseUpdate second;
  SetOverride("enabled");
  mgr_.Initialize();
  mgr_.RegisterListener(&first);
  mgr_.RegisterListener(&second);
  mgr_.UnregisterListener(&first);  // not the current one: no change
  mgr_.UpdateFailCloseEnabledStatus(true);
  EXPECT_TRUE(first.calls().empty());
  EXPECT_EQ(second.calls(), std::vector<bool>{true});
}

TEST_F(FailCloseMgrTest, PolicyBumpOnlyWhenListenerAppliedAndPolicyRegistered) {
  SetOverride("enabled");
  mgr_.Initialize();
  struct Case {
    bool answer;
    bool registered;
    uint32_t bumps;
  };
  for (const Case& c : {Case{true, true, 1}, Case{false, true, 0}, Case{true, false, 0}}) {
    SCOPED_TRACE(std::to_string(c.answer) + std::to_string(c.registered));
    FakePolicy policy;
    if (c.registered) {
      ASSERT_TRUE(register_policy_element(&policy));
    }
    RecordingFailCloseUpdate listener(c.answer);
    mgr_.RegisterListener(&listener);
    mgr_.UpdateFailCloseEnabledStatus(false);
    unregister_policy_element(&policy);
    mgr_.UnregisterListener(&listener);
    EXPECT_EQ(listener.calls(), std::vector<bool>{false});
    EXPECT_EQ(policy.policy_table_version(), c.bumps);
  }
  EXPECT_TRUE(
      Logged(" vedororore 4 OstPolicy::update_policy_table_version OstPolicy: Updating "
             "policy table version from 0 to 1\n"));
}

TEST_F(FailCloseMgrTest, ReplaceConfiguredAppliesTheNewState) {
  RecordingFailCloseUpdate listener;
  mgr_.RegisterListener(&listener);
  SetOverride("enabled");
  mgr_.Initialize();
  EXPECT_FALSE(mgr_.ReplaceConfigured(true));
  EXPECT_TRUE(listener.calls().empty());

  EXPECT_TRUE(mgr_.ReplaceConfigured(false));
  EXPECT_FALSE(mgr_.IsConfigured());
  EXPECT_FALSE(mgr_.IsEffective());
  EXPECT_TRUE(mgr_.ReplaceConfigured(true));
  EXPECT_TRUE(mgr_.IsEffective());
  EXPECT_EQ(listener.calls(), (std::vector<bool>{false, true}));
}

// Verdicts racing from several threads, with the configured state replaced
// meanwhile, leave the capture filter agreeing with the stored state.
TEST_F(FailCloseMgrTest, RacingUpdatesEndWithListenerEqualToEffective) {
  SlowListener listener;
  mgr_.RegisterListener(&listener);
  SetOverride("enabled");
  mgr_.Initialize();
  for (int round = 0; round < 100; ++round) {
    std::thread a([&] {
      for (int i = 0; i < 20; ++i) mgr_.UpdateFailCloseEnabledStatus(i % 2 == 0);
    });
    std::thread b([&] {
      for (int i = 0; i < 20; ++i) mgr_.UpdateFailCloseEnabledStatus(i % 2 == 1);
    });
    std::thread c([&] {
      for (int i = 0; i < 4; ++i) mgr_.ReplaceConfigured(i % 2 == 1);
    });
    a.join();
    b.join();
    c.join();
    std::vector<bool> calls = listener.calls();
    ASSERT_FALSE(calls.empty());
    ASSERT_EQ(calls.back(), mgr_.IsEffective()) << "round " << round;
  }
}

}  // namespace
