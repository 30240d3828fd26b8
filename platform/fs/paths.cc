#include "platform/fs/paths.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/error/win_error.h"

namespace platform {
namespace {

std::string env_or(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return (value != nullptr && *value != '\0') ? std::string(value) : std::string(fallback);
}

std::string env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? std::string(value) : std::string();
}

}  // namespace

std::string root() { return env_or("DOVADOD_ROOT", "/"); }

std::string sysroot() { return env_or("DOVADOD_SYSROOT", "/"); }

std::string join(std::string_view a, std::string_view b) {
  if (a.empty()) return std::string(b);
  if (b.empty()) return std::string(a);
  while (a.size() > 1 && a.back() == '/') a.remove_suffix(1);
  while (!b.empty() && b.front() == '/') b.remove_prefix(1);
  std::string out(a);
  if (out.back() != '/') out.push_back('/');
  out.append(b);
  return out;
}

std::string under_root(std::string_view absolute_path) { return join(root(), absolute_path); }

std::string under_sysroot(std::string_view absolute_path) { return join(sysroot(), absolute_path); }

std::string named_object_dir() { return under_root("run/dovadod/global"); }

std::string named_object_path(std::string_view name, std::string_view suffix) {
  for (std::string_view prefix : {"Global\\", "Local\\"}) {
    if (name.substr(0, prefix.size()) == prefix) {
      name.remove_prefix(prefix.size());
      break;
    }
  }
  std::string file(name);
  for (char& c : file) {
    if (c == '/' || c == '\\') c = '_';
  }
  file.append(suffix);
  return join(named_object_dir(), file);
}

bool known_folder(KnownFolder folder, std::string* path) {
  std::string value;
  switch (folder) {
    case KnownFolder::kProgramData:
      value = under_root("var/log");
      break;
    case KnownFolder::kAppData:
      value = env("XDG_DATA_HOME");
      if (value.empty()) {
        std::string home = env("HOME");
        if (!home.empty()) value = join(home, ".local/share");
      }
      break;
    case KnownFolder::kTemp:
      value = env_or("TMPDIR", "/tmp");
      break;
  }
  if (value.empty()) {
    set_last_error(kErrorEnvvarNotFound);
    return false;
  }
  while (value.size() > 1 && value.back() == '/') value.pop_back();
  *path = std::move(value);
  return true;
}

uint32_t create_directories(const std::string& path, unsigned mode) {
  if (path.empty()) return kErrorPathNotFound;
  struct stat st;
  if (::stat(path.c_str(), &st) == 0) {
    return S_ISDIR(st.st_mode) ? kErrorAlreadyExists : kErrorFileExists;
  }
  // Walk down from the root, creating each missing component.
  for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
    std::string prefix = path.substr(0, pos);
    if (!prefix.empty() && ::mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) {
      return set_last_error_from_errno(errno);
    }
    if (pos == std::string::npos) break;
  }
  if (::stat(path.c_str(), &st) != 0) return set_last_error_from_errno(errno);
  if (!S_ISDIR(st.st_mode)) return kErrorPathNotFound;
  return kErrorSuccess;
}

}  // namespace platform
