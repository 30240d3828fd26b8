#include "ostgraphsvc/graph/elements/user/ostuser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "graph/master.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::GraphHarness;
using testing_support::MakePacket;

Packet* Payload(const std::string& text) {
  return MakePacket(std::vector<uint8_t>(text.begin(), text.end()), false);
}

class OstUserTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(
        h.Load("src :: TestSource; src2 :: TestSource; src -> u :: OstUser(any, thing);"
               "src2 -> u2 :: OstUser;"))
        << h.messages();
    u = static_cast<OstUser*>(h.Find("u"));
  }
  void Send(const std::string& text) { h.Push("src", Payload(text)); }

  testing_support::StartedLog log{0};
  GraphHarness h;
  OstUser* u = nullptr;
};

TEST_F(OstUserTest, NoneWordsDisableOthersEnable) {
  ASSERT_EQ(registered_token_holder(), u);
  struct Case {
    const char* payload;
    bool enabled;
  } cases[] = {{"secret", true}, {"none", false}, {"nonesuch", true},
               {"", false},      {"NoNe", false}, {"NONE!", true}};
  for (const Case& k : cases) {
    Send(k.payload);
    EXPECT_EQ(u->enabled, k.enabled ? 1 : 0) << k.payload;
    EXPECT_EQ(std::string(u->token.c_str()), k.enabled ? k.payload : "") << k.payload;
  }
}

TEST_F(OstUserTest, VersionCountsChangesAndNoneAlwaysChanges) {
  Send("zq7");
  Send("zq7");
  EXPECT_EQ(u->version, 1u);
  Send("NONE");
  Send("NONE");
  EXPECT_EQ(u->version, 3u);
  const std::string text = log.text();
  EXPECT_NE(text.find("User auth enabled. len: 3. token updated, ver 1 changed 1"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("User auth enabled. len: 3. token updated, ver 1 changed 0"),
            std::string::npos);
  EXPECT_NE(text.find("User auth disabled. ctx: NONE len: 4 ver 3 changed :1"), std::string::npos);
  EXPECT_EQ(text.find("zq7"), std::string::npos);  // the token is never logged
}

TEST_F(OstUserTest, SecondInstanceNotRegisteredAndRegistrationDroppedWithRouter) {
  h.Push("src2", Payload("other"));
  EXPECT_EQ(registered_token_holder(), u);
  EXPECT_EQ(u->enabled, 0);
  ASSERT_TRUE(h.Load("src :: TestSource; src -> again :: OstUser;")) << h.messages();
  EXPECT_EQ(registered_token_holder(), h.Find("again"));
}

}  // namespace

namespace {

// Run by the Master's loop until the rated source asks it to stop.
TEST(OstTimerSampleTest, PrintsIntervalsInARunningLoop) {
  GraphHarness h;
  ASSERT_TRUE(h.Load("OstTimerSample; s :: RatedSource(RATE 4, LIMIT 6, STOP true) -> Discard;"))
      << h.messages();
  ::testing::internal::CaptureStdout();
  h.router()->activate();
  EXPECT_TRUE(h.router()->master()->thread(0)->run());
  const std::string out = ::testing::internal::GetCapturedStdout();
  size_t lines = 0;
  for (size_t at = out.find("rescheduling after "); at != std::string::npos;
       at = out.find("rescheduling after ", at + 1)) {
    ++lines;
    const size_t end = out.find(" ms\n", at);
    ASSERT_NE(end, std::string::npos) << out;
    const int ms = std::stoi(out.substr(at + 19, end - at - 19));
    EXPECT_GE(ms, 0);
    EXPECT_LT(ms, 1000);
  }
  // About 1.25 s of loop: the first run and one a second later.
  EXPECT_GE(lines, 2u) << out;
  EXPECT_LE(lines, 3u) << out;
}

}  // namespace
