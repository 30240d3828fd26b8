// Paths reach the file helpers from settings and configuration files: whatever
// the text, the split must give back exactly the path it was given.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "client/lib/cxLog/cxFileUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string path(reinterpret_cast<const char*>(data), size);
  std::string folder, stem, extension;
  bool ok = splitFileNameAndExtension(path, &folder, &stem, &extension);
  if (ok != !path.empty()) std::abort();
  if (!ok) return 0;
  std::string normalised = path;
  for (char& c : normalised) {
    if (c == '\\') c = '/';
  }
  if (folder + stem + extension != normalised) std::abort();
  if (!extension.empty() && extension[0] != '.') std::abort();
  if (stem.find('/') != std::string::npos || extension.find('/') != std::string::npos) std::abort();
  if (!folder.empty() && folder.back() != '/') std::abort();
  if (!folder.empty() && stem.find('.') != std::string::npos) std::abort();
  return 0;
}
