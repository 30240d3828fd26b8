#include "graph/framework_static.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "graph/argument_types.h"
#include "graph/element_registry.h"
#include "graph/error_handler.h"
#include "graph/handler.h"
#include "graph/lexer.h"
#include "graph/master.h"
#include "graph/nameinfo.h"
#include "graph/notifier.h"
#include "graph/router.h"
#include "graph/router_file.h"
#include "ostgraphsvc/graph/lib/element_registry_testing.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"
#include "tests/support/temp_root.h"

namespace {

using graph_testing::Messages;
using graph_testing::ScopedConstructors;
using graph_testing::Std;
using graph_testing::TableElement;

const Handler* FindGlobal(const char* name) { return Router::find_handler(nullptr, String(name)); }

void* UserData(uintptr_t n) { return reinterpret_cast<void*>(n); }

// Everything start-up makes is there, and clean-up leaves every global null
// (LeakSanitizer checks that nothing is left behind at exit).
TEST(FrameworkStaticTest, StartUpMakesAndCleanUpReleasesTheGlobals) {
  for (int round = 0; round < 2; ++round) {
    router_static_initialize();
    EXPECT_NE(NameRegistry::global, nullptr);
    int value = 0;
    EXPECT_TRUE(NameRegistry::query_int(NameDB::kAnnotationType, nullptr, String("PAINT"), &value));
    EXPECT_NE(cp_find_argument_type(String("int")), nullptr);
    EXPECT_NE(ErrorHandler::default_handler(), nullptr);
    EXPECT_NE(ErrorHandler::silent_handler(), nullptr);
    EXPECT_EQ(NotifierState::static_value, 5u);
    for (const char* name : {"classes", "packages", "version", "stop"})
      EXPECT_NE(FindGlobal(name), nullptr) << name;
    EXPECT_EQ(FindGlobal("classes")->flags(), Handler::kRead);
    EXPECT_EQ(FindGlobal("packages")->read_user_data(), UserData(1));
    ASSERT_NE(global_lexer(), nullptr);
    EXPECT_GE(global_lexer()->class_index(String("OstrelSNATIPMapper")), 0);

    router_static_cleanup();
    EXPECT_EQ(global_lexer(), nullptr);
    EXPECT_EQ(NameRegistry::global, nullptr);
    EXPECT_EQ(ErrorHandler::default_handler(), nullptr);
    EXPECT_EQ(ErrorHandler::silent_handler(), nullptr);
    EXPECT_EQ(Router::nglobal_handlers(), 0);
    EXPECT_EQ(cp_find_argument_type(String("int")), nullptr);
  }
}

TEST(FrameworkStaticTest, GlobalLists) {
  EXPECT_EQ(Std(read_global_list(nullptr, UserData(0))), "");
  router_static_initialize();
  // The Lexer's order; every registered class and "Error", one a line.
  std::string classes = Std(FindGlobal("classes")->invoke_read(nullptr, String()));
  ASSERT_FALSE(classes.empty());
  EXPECT_EQ(classes.back(), '\n');
  std::vector<std::string> lines;
  for (size_t begin = 0, end; (end = classes.find('\n', begin)) != std::string::npos;
       begin = end + 1)
    lines.push_back(classes.substr(begin, end - begin));
  std::vector<std::string> expected = {"Error"};
  for (int i = 0; i < kElementClassCount; ++i)
    expected.push_back(element_class_info(static_cast<uint64_t>(i))->name);
  std::sort(lines.begin(), lines.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(Std(FindGlobal("packages")->invoke_read(nullptr, String())), "");
  EXPECT_EQ(Std(read_global_list(nullptr, UserData(2))), "<error>\n");
  router_static_cleanup();
}

// Clean-up after loads that failed at each stage, and after a router that
// was built and deleted, releases everything.
TEST(FrameworkStaticTest, CleanUpAfterLoads) {
  testing_support::TempRoot root;
  testing_support::WriteFile(root.file("bad.graph"), "a :: Discard; a -> nowhere :: Nothing;\n");
  testing_support::WriteFile(root.file("good.graph"), "RatedSource -> Discard;\n");
  router_static_initialize();
  {
    ScopedConstructors classes({{13, TableElement<13>::make}, {14, TableElement<14>::make}});
    Messages messages;
    Master master;
    EXPECT_EQ(read_router_file(String(root.file("missing").c_str()), messages.errh(), &master),
              nullptr);
    EXPECT_EQ(read_router_file(String(root.path().c_str()), messages.errh(), &master), nullptr);
    std::unique_ptr<Router> bad(
        read_router_file(String(root.file("bad.graph").c_str()), messages.errh(), &master));
    ASSERT_NE(bad, nullptr);
    EXPECT_NE(messages.text().find("unknown element class"), std::string::npos);
    std::unique_ptr<Router> good(
        read_router_file(String(root.file("good.graph").c_str()), nullptr, nullptr));
    ASSERT_NE(good, nullptr);
    EXPECT_EQ(good->nelements(), 2);
    std::unique_ptr<Master> made(good->master());
    good.reset();
  }
  router_static_cleanup();
}

}  // namespace
