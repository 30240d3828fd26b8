#include "platform/named_mutex/named_mutex.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/error/win_error.h"
#include "tests/support/temp_root.h"

namespace platform {
namespace {

// True when another open file description could take the lock right now.
bool free_for_other_processes(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return false;
  bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return free;
}

TEST(NamedMutexTest, GlobalNameMapsToASharedLockFile) {
  testing_support::TempRoot root;
  EXPECT_EQ(NamedMutex::lock_path("Global\\cx_log_mutex"),
            root.path() + "/run/dovadod/global/cx_log_mutex.lock");
  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("Global\\cx_log_mutex"));
  struct stat st;
  ASSERT_EQ(::stat(NamedMutex::lock_path("Global\\cx_log_mutex").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0666u);
}

TEST(NamedMutexTest, RecursiveForItsOwnerAndExclusiveForOthers) {
  testing_support::TempRoot root;
  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("Global\\m"));
  std::string path = NamedMutex::lock_path("Global\\m");

  mutex.lock();
  mutex.lock();
  EXPECT_FALSE(free_for_other_processes(path));
  std::atomic<bool> other_got_it{false};
  std::thread other([&] {
    mutex.lock();
    other_got_it = true;
    mutex.unlock();
  });
  mutex.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(other_got_it);
  EXPECT_FALSE(free_for_other_processes(path));
  mutex.unlock();
  other.join();
  EXPECT_TRUE(other_got_it);
  EXPECT_TRUE(free_for_other_processes(path));
}

TEST(NamedMutexTest, ReleasedWhenTheOwningProcessDies) {
  testing_support::TempRoot root;
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    NamedMutex owner;
    owner.open("Global\\m");
    owner.lock();
    (void)!::write(ready[1], "x", 1);
    ::pause();
    ::_exit(0);
  }
  char byte;
  ASSERT_EQ(::read(ready[0], &byte, 1), 1);

  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("Global\\m"));
  std::atomic<bool> acquired{false};
  std::thread waiter([&] {
    mutex.lock();
    acquired = true;
    mutex.unlock();
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(acquired);
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  waiter.join();
  EXPECT_TRUE(acquired);
  ::close(ready[0]);
  ::close(ready[1]);
}

TEST(NamedMutexTest, TryLockNeverWaits) {
  testing_support::TempRoot root;
  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("Global\\m"));
  std::string path = NamedMutex::lock_path("Global\\m");

  // Another process's flock: refused, and the in-process lock is given back.
  int other = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(other, 0);
  ASSERT_EQ(::flock(other, LOCK_EX), 0);
  EXPECT_FALSE(mutex.try_lock());
  bool thread_refused = false;
  std::thread([&] { thread_refused = !mutex.try_lock(); }).join();
  EXPECT_TRUE(thread_refused);
  ::close(other);

  ASSERT_TRUE(mutex.try_lock());
  EXPECT_TRUE(mutex.try_lock());  // recursive for its owner
  EXPECT_FALSE(free_for_other_processes(path));
  bool other_thread_got_it = true;
  std::thread([&] { other_thread_got_it = mutex.try_lock(); }).join();
  EXPECT_FALSE(other_thread_got_it);
  mutex.unlock();
  mutex.unlock();
  EXPECT_TRUE(free_for_other_processes(path));
}

// The shared folder is writable by every account: a name planted there must
// neither be used nor have its target's mode changed.
TEST(NamedMutexTest, RefusesPlantedLockFiles) {
  testing_support::TempRoot root;
  NamedMutex first;
  ASSERT_TRUE(first.open("Global\\setup"));  // makes the shared folder
  const std::string path = NamedMutex::lock_path("Global\\m");
  const std::string victim = root.file("victim");
  testing_support::WriteFile(victim, "secret");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);

  struct Case {
    const char* what;
    bool (*plant)(const std::string& path, const std::string& victim);
  } cases[] = {
      {"hard link", [](const std::string& p,
                       const std::string& v) { return ::link(v.c_str(), p.c_str()) == 0; }},
      {"symbolic link", [](const std::string& p,
                           const std::string& v) { return ::symlink(v.c_str(), p.c_str()) == 0; }},
      {"fifo",
       [](const std::string& p, const std::string&) { return ::mkfifo(p.c_str(), 0666) == 0; }},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(c.plant(path, victim)) << c.what;
    NamedMutex mutex;
    EXPECT_FALSE(mutex.open("Global\\m")) << c.what;
    EXPECT_FALSE(mutex.is_open()) << c.what;
    if (std::string(c.what) != "symbolic link") {
      EXPECT_EQ(last_error(), kErrorAccessDenied) << c.what;
    }
    struct stat st;
    ASSERT_EQ(::stat(victim.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u) << c.what;
    ASSERT_EQ(::unlink(path.c_str()), 0);
  }

  // A lock file left by an earlier run is used as it is: its mode is not
  // changed again.
  testing_support::WriteFile(path, "");
  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  NamedMutex mutex;
  ASSERT_TRUE(mutex.open("Global\\m"));
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST(NamedMutexTest, WithoutALockFileStillSerialisesThreads) {
  NamedMutex mutex;  // never opened
  int counter = 0;
  std::thread threads[4];
  for (auto& t : threads) {
    t = std::thread([&] {
      for (int i = 0; i < 10000; ++i) {
        std::lock_guard<NamedMutex> guard(mutex);
        ++counter;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(counter, 40000);
}

}  // namespace
}  // namespace platform
