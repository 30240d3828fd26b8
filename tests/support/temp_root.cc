#include "tests/support/temp_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace testing_support {
namespace {

std::optional<std::string> getenvOpt(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void restore(const char* name, const std::optional<std::string>& value) {
  if (value) {
    ::setenv(name, value->c_str(), 1);
  } else {
    ::unsetenv(name);
  }
}

}  // namespace

TempRoot::TempRoot()
    : oldRoot_(getenvOpt("DOVADOD_ROOT")), oldSysroot_(getenvOpt("DOVADOD_SYSROOT")) {
  std::string pattern = (std::filesystem::temp_directory_path() / "dovadod-test-XXXXXX").string();
  char* made = ::mkdtemp(pattern.data());
  if (made == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = made;
  ::setenv("DOVADOD_ROOT", path_.c_str(), 1);
  ::setenv("DOVADOD_SYSROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
  restore("DOVADOD_ROOT", oldRoot_);
  restore("DOVADOD_SYSROOT", oldSysroot_);
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempRoot::file(std::string_view relative) const {
  return path_ + "/" + std::string(relative);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void WriteFile(const std::string& path, std::string_view content) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

}  // namespace testing_support
