#include "client/lib/cxcom2/CXMsgNames.h"

#include <gtest/gtest.h>

#include <climits>
#include <set>
#include <string>

namespace {

TEST(CXMsgNamesTest, NamesIdsAtAndAroundTheEdges) {
  struct Case {
    int id;
    const char* name;
  } cases[] = {
      {INT_MIN, "Unknown"},
      {-1, "Unknown"},
      {0, "Unknown"},
      {100, "Unknown"},
      {101, "GET_UA"},
      {124, "CLIENT_PING"},
      {165, "SET_LINUX_KEY"},
      {183, "TARN_REG_REQUEST"},
      {212, "PARTNER_BRANDING_ENCRYPTION_TOKEN"},
      {213, "PINNED_POP_STATUS"},
      {214, "RESP_PINNED_POP_STATUS"},
      {215, "Unknown"},
      {65535, "Unknown"},
      {INT_MAX, "Unknown"},
  };
  for (const Case& c : cases) EXPECT_STREQ(cxMsgName(c.id), c.name) << c.id;
}

TEST(CXMsgNamesTest, EveryNamedIdHasItsOwnName) {
  std::set<std::string> seen;
  for (int id = kCxMsgFirstNamedId; id < kCxMsgFirstNamedId + kCxMsgNameCount; ++id) {
    const char* name = cxMsgName(id);
    ASSERT_NE(name, nullptr) << id;
    EXPECT_STRNE(name, "") << id;
    EXPECT_STRNE(name, "Unknown") << id;
    EXPECT_TRUE(seen.insert(name).second) << "duplicate " << name << " at " << id;
  }
  EXPECT_EQ(seen.size(), 114u);
}

}  // namespace
