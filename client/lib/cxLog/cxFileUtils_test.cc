#include "client/lib/cxLog/cxFileUtils.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "platform/debug_output/debug_output.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::TempRoot;
using testing_support::WriteFile;

TEST(SplitFileNameAndExtensionTest, Table) {
  struct Case {
    const char* path;
    const char* folder;
    const char* stem;
    const char* extension;
  } cases[] = {
      {"C:\\logs\\a.b.log", "C:/logs/", "a", ".b.log"},  // first dot after a separator
      {"C:/x/y.log", "C:/x/", "y", ".log"},
      {"C:\\x\\", "C:/x/", "", ""},  // all folder
      {"/var/log/cxtarndebuglog.log", "/var/log/", "cxtarndebuglog", ".log"},
      {"/tmp/a.dir/noext", "/tmp/a.dir/", "noext", ""},
      {"/tmp/x/.hidden", "/tmp/x/", "", ".hidden"},
      {"a.b.log", "", "a.b", ".log"},  // last dot without a separator
      {"plain", "", "plain", ""},
      {"trailingdot.", "", "trailingdot", "."},
  };
  for (const Case& c : cases) {
    std::string folder = "x", stem = "x", extension = "x";
    ASSERT_TRUE(splitFileNameAndExtension(c.path, &folder, &stem, &extension)) << c.path;
    EXPECT_EQ(folder, c.folder) << c.path;
    EXPECT_EQ(stem, c.stem) << c.path;
    EXPECT_EQ(extension, c.extension) << c.path;
  }
}

TEST(SplitFileNameAndExtensionTest, OutputsAreOptionalButNotAllOfThem) {
  std::string stem;
  EXPECT_TRUE(splitFileNameAndExtension("/a/b.c", nullptr, &stem, nullptr));
  EXPECT_EQ(stem, "b");
  EXPECT_FALSE(splitFileNameAndExtension("/a/b.c", nullptr, nullptr, nullptr));
  EXPECT_FALSE(splitFileNameAndExtension("", nullptr, &stem, nullptr));
}

TEST(CxFileExistsTest, AnythingAtThePathCounts) {
  TempRoot root;
  WriteFile(root.file("f"), "x");
  EXPECT_TRUE(cxFileExists(root.file("f")));
  EXPECT_TRUE(cxFileExists(root.path()));
  EXPECT_FALSE(cxFileExists(root.file("missing")));
  EXPECT_FALSE(cxFileExists(root.file("f/below-a-file")));
  EXPECT_FALSE(cxIsWow64Process());
}

TEST(CxDeleteProtectedFileTest, DeletesOnlyThePlaceholderFile) {
  TempRoot root;
  platform::RecordingDebugOutput debug;
  platform::set_debug_output(&debug);

  std::string folder = root.file("logs/");
  std::filesystem::create_directories(folder);
  EXPECT_TRUE(cxDeleteProtectedFile(folder));  // nothing there

  WriteFile(folder + "logplaceholder", "");
  WriteFile(folder + "other", "");
  EXPECT_TRUE(cxDeleteProtectedFile(folder));  // doubled separator is fine
  EXPECT_FALSE(cxFileExists(folder + "logplaceholder"));
  EXPECT_TRUE(cxFileExists(folder + "other"));

  std::filesystem::create_directories(folder + "logplaceholder");
  EXPECT_TRUE(cxDeleteProtectedFile(folder));
  EXPECT_TRUE(std::filesystem::is_directory(folder + "logplaceholder"));

  platform::set_debug_output(nullptr);
  EXPECT_TRUE(debug.texts().empty());
}

}  // namespace
