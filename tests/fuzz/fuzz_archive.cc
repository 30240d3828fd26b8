// A graph file may be an archive of members: whatever its bytes, cutting it
// into members must stay inside the text and give members that lie in it.
#include <cstdint>
#include <cstdlib>

#include "graph/error_handler.h"
#include "graph/router_file.h"
#include "graph/string.h"
#include "graph/vector.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65536) return 0;
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  Vector<ArchiveMember> members;
  SilentErrorHandler errh;
  parse_config_archive(text, members, &errh);
  for (const ArchiveMember& member : members) {
    if (member.data.length() > text.length()) std::abort();
    if (member.data.length() > 0 &&
        (member.data.begin() < text.begin() || member.data.end() > text.end())) {
      std::abort();
    }
  }
  return 0;
}
