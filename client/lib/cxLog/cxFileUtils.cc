#include "client/lib/cxLog/cxFileUtils.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "client/lib/cxLog/cxLog.h"
#include "platform/error/win_error.h"

namespace {

constexpr char kPlaceholderName[] = "logplaceholder";

}  // namespace

bool cxIsWow64Process() { return false; }

bool cxFileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool splitFileNameAndExtension(const std::string& path, std::string* folder, std::string* stem,
                               std::string* extension) {
  if (path.empty() || (folder == nullptr && stem == nullptr && extension == nullptr)) return false;
  std::string copy = path;
  std::replace(copy.begin(), copy.end(), '\\', '/');

  std::string out_folder, out_stem, out_extension;
  size_t sep = copy.rfind('/');
  if (sep != std::string::npos) {
    if (sep + 1 == copy.size()) {
      out_folder = copy;
    } else {
      out_folder = copy.substr(0, sep + 1);
      std::string rest = copy.substr(sep + 1);
      size_t dot = rest.find('.');
      out_stem = rest.substr(0, dot);
      if (dot != std::string::npos) out_extension = rest.substr(dot);
    }
  } else {
    size_t dot = copy.rfind('.');
    out_stem = copy.substr(0, dot);
    if (dot != std::string::npos) out_extension = copy.substr(dot);
  }
  if (folder != nullptr) *folder = std::move(out_folder);
  if (stem != nullptr) *stem = std::move(out_stem);
  if (extension != nullptr) *extension = std::move(out_extension);
  return true;
}

bool cxDeleteProtectedFile(const std::string& folder) {
  std::string path = folder + "/" + kPlaceholderName;
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return true;
  if (::unlink(path.c_str()) != 0) {
    cxLogDebugString("cxUtils", __FILE__, __LINE__, CXLOG_DEBUG,
                     "failed to delete protected file = %d",
                     static_cast<int>(platform::set_last_error_from_errno(errno)));
    return false;
  }
  return true;
}
