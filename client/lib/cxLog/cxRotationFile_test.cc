#include "client/lib/cxLog/cxRotationFile.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "client/lib/cxLog/cxFileUtils.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempRoot;
using testing_support::WriteFile;

void Write(cxRotationFile& file, const std::string& text) {
  ASSERT_NE(file.stream(), nullptr);
  std::fwrite(text.data(), 1, text.size(), file.stream());
  std::fflush(file.stream());
}

TEST(CxRotationFileTest, SizeModeRotatesAtTheMaximumAndShiftsTheArchive) {
  for (int64_t size : {99, 100, 150}) {
    TempRoot root;
    std::string base = root.file("d.log"), old = root.file("d_old.log");
    WriteFile(root.file("d.1.log"), "previous archive");
    cxRotationFile file(100, 2);
    ASSERT_TRUE(file.init(base, old, ".log", false));
    ASSERT_NE(file.open(std::fopen(base.c_str(), "a"), "w"), nullptr);
    Write(file, std::string(size, 'x'));

    bool rotated = true;
    EXPECT_TRUE(file.rotateIfNeeded(0, &rotated));
    file.waitForArchiveRuns();
    Write(file, "fresh");
    EXPECT_EQ(rotated, size >= 100) << size;
    if (rotated) {
      EXPECT_EQ(ReadFile(base), "fresh");
      EXPECT_EQ(ReadFile(root.file("d.1.log")), std::string(size, 'x'));
      EXPECT_FALSE(cxFileExists(old));
    } else {
      EXPECT_EQ(ReadFile(base), std::string(size, 'x') + "fresh");
      EXPECT_EQ(ReadFile(root.file("d.1.log")), "previous archive");
    }
  }
}

TEST(CxRotationFileTest, CountingModeRotatesOnlyBeyondTheMaximum) {
  TempRoot root;
  std::string base = root.file("cap.pcap");
  cxRotationFile file(100, 3);
  ASSERT_TRUE(file.init(base, base + ".old.pcap", ".pcap", true));
  ASSERT_NE(file.open(nullptr, "wb"), nullptr);
  bool rotated = true;
  Write(file, std::string(100, 'a'));
  file.rotateIfNeeded(100, &rotated);
  EXPECT_FALSE(rotated);  // exactly the maximum
  Write(file, "b");
  file.rotateIfNeeded(1, &rotated);
  EXPECT_TRUE(rotated);  // the record that crosses the limit ends the full file
  file.waitForArchiveRuns();
  EXPECT_EQ(ReadFile(root.file("cap.1.pcap")), std::string(100, 'a') + "b");
  Write(file, "c");
  file.rotateIfNeeded(1, &rotated);
  EXPECT_FALSE(rotated);  // the counter starts again
  EXPECT_EQ(ReadFile(base), "c");
}

TEST(CxRotationFileTest, ThreeKeptFilesShiftArchiveOneToTwo) {
  TempRoot root;
  std::string base = root.file("cap.pcap"), old = base + ".old.pcap";
  WriteFile(root.file("cap.1.pcap"), "one");
  WriteFile(root.file("cap.2.pcap"), "two");
  WriteFile(old, "old");
  cxRotationFile file(100, 3);
  ASSERT_TRUE(file.init(base, old, ".pcap", false));  // archives the leftover old file
  EXPECT_EQ(ReadFile(root.file("cap.1.pcap")), "old");
  EXPECT_EQ(ReadFile(root.file("cap.2.pcap")), "one");
  EXPECT_FALSE(cxFileExists(old));
  EXPECT_FALSE(cxFileExists(root.file("cap.3.pcap")));
}

TEST(CxRotationFileTest, KeepBaseTurnsAnExistingFileIntoArchiveOne) {
  TempRoot root;
  std::string base = root.file("cap.pcap"), old = base + ".old.pcap";
  WriteFile(base, "last capture");
  WriteFile(root.file("cap.1.pcap"), "older capture");
  cxRotationFile file(100, 3);
  ASSERT_TRUE(file.init(base, old, ".pcap", true));
  EXPECT_FALSE(cxFileExists(base));
  EXPECT_EQ(ReadFile(root.file("cap.1.pcap")), "last capture");
  EXPECT_EQ(ReadFile(root.file("cap.2.pcap")), "older capture");
}

TEST(CxRotationFileTest, InitRefusesPathsWithoutStemOrExtension) {
  TempRoot root;
  cxRotationFile file(100, 2);
  EXPECT_FALSE(file.init(root.file("dir/"), root.file("o.log"), ".log", false));
  EXPECT_FALSE(file.init(root.file("noext"), root.file("o.log"), "", false));
  EXPECT_TRUE(file.init(root.file("noext"), root.file("o.log"), ".log", false));
  EXPECT_EQ(file.archivePath(1), root.file("noext.1.log"));
  EXPECT_TRUE(file.init(root.file("x.txt"), root.file("o.log"), ".log", false));
  EXPECT_EQ(file.archivePath(2), root.file("x.2.log"));  // the default extension wins
}

TEST(CxRotationFileTest, FailedMoveKeepsAppendingToTheFullFileAndRetriesLater) {
  TempRoot root;
  std::string base = root.file("d.log"), old = root.file("d_old.log");
  WriteFile(root.file("d.1.log"), "previous archive");
  cxRotationFile file(10, 2);
  file.setRetryInterval(std::chrono::milliseconds(200));
  ASSERT_TRUE(file.init(base, old, ".log", false));
  ASSERT_NE(file.open(nullptr, "w"), nullptr);
  // A non-empty directory at the old path makes the move fail.
  WriteFile(old + "/blocker", "");
  Write(file, std::string(10, 'x'));

  bool rotated = true;
  file.rotateIfNeeded(0, &rotated);
  EXPECT_FALSE(rotated);
  Write(file, "more");
  file.rotateIfNeeded(0, &rotated);  // inside the retry interval: no new attempt
  EXPECT_FALSE(rotated);
  Write(file, "again");
  file.waitForArchiveRuns();
  EXPECT_EQ(ReadFile(base), std::string(10, 'x') + "moreagain");  // nothing truncated
  EXPECT_EQ(ReadFile(root.file("d.1.log")), "previous archive");  // nothing archived

  std::filesystem::remove_all(old);
  std::this_thread::sleep_for(std::chrono::milliseconds(250));
  file.rotateIfNeeded(0, &rotated);
  EXPECT_TRUE(rotated);
  file.waitForArchiveRuns();
  EXPECT_EQ(ReadFile(root.file("d.1.log")), std::string(10, 'x') + "moreagain");
  EXPECT_EQ(ReadFile(base), "");
}

TEST(CxRotationFileTest, FollowsTheFileWhenAnotherWriterReplacedIt) {
  TempRoot root;
  std::string base = root.file("d.log");
  cxRotationFile file(1000, 2);
  ASSERT_TRUE(file.init(base, root.file("d_old.log"), ".log", false));
  ASSERT_NE(file.open(std::fopen(base.c_str(), "a"), "w"), nullptr);
  Write(file, "before ");
  std::filesystem::rename(base, root.file("elsewhere.log"));
  WriteFile(base, "theirs ");
  file.rotateIfNeeded(0);
  Write(file, "after");
  EXPECT_EQ(ReadFile(base), "theirs after");
  std::filesystem::remove(base);
  file.rotateIfNeeded(0);
  Write(file, "recreated");
  EXPECT_EQ(ReadFile(base), "recreated");
}

}  // namespace
