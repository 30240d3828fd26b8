// The settings store reads a hive file that a person may have edited: whatever
// the text, reading must not fail, and what it writes back must read again
// into a tree that writes the very same text.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/registry/hive.h"

using platform::registry::apply_reg_text;
using platform::registry::BadLine;
using platform::registry::Node;
using platform::registry::write_reg_text;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  Node first;
  std::vector<BadLine> bad;
  size_t bad_count = apply_reg_text(text, &first, &bad);
  if (bad.size() != std::min(bad_count, platform::registry::kMaxReportedBadLines)) std::abort();
  for (const BadLine& b : bad) {
    if (b.line < 1 || b.text.size() > 256) std::abort();
  }
  std::string written = write_reg_text(first);

  // Unreadable lines are written back as they were, so they are unreadable
  // again; every value and kept line comes back in its place.
  Node second;
  if (apply_reg_text(written, &second, nullptr) != bad_count) std::abort();
  if (write_reg_text(second) != written) std::abort();
  return 0;
}
