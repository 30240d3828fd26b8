// Hermetic roots for tests.
//
// A TempRoot makes a fresh temporary directory, points DOVADOD_ROOT and
// DOVADOD_SYSROOT at it for its lifetime (restoring the old values after) and
// removes it again. Not thread-safe: it changes the environment.
#ifndef TESTS_SUPPORT_TEMP_ROOT_H_
#define TESTS_SUPPORT_TEMP_ROOT_H_

#include <optional>
#include <string>
#include <string_view>

namespace testing_support {

class TempRoot {
 public:
  TempRoot();
  TempRoot(const TempRoot&) = delete;
  TempRoot& operator=(const TempRoot&) = delete;
  ~TempRoot();

  const std::string& path() const { return path_; }
  // `relative` below the root.
  std::string file(std::string_view relative) const;

 private:
  std::string path_;
  std::optional<std::string> oldRoot_;
  std::optional<std::string> oldSysroot_;
};

std::string ReadFile(const std::string& path);
void WriteFile(const std::string& path, std::string_view content);

}  // namespace testing_support

#endif  // TESTS_SUPPORT_TEMP_ROOT_H_
