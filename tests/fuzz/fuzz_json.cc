// JSON texts come from configuration files and IPC commands: no text may
// crash the parser, and whatever it accepts must write back as text that
// parses to the same value.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "graph/json.h"
#include "graph/string.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > (1u << 20)) return 0;
  String text(reinterpret_cast<const char*>(data), static_cast<int>(size));
  Json value;
  if (!value.parse_text(text, 0, text.length())) return 0;

  String written = value.to_text();
  Json again = Json::parse(written);
  if (again.is_null() != value.is_null()) std::abort();
  if (again.type() != value.type() || again.size() != value.size()) std::abort();
  String rewritten = again.to_text();
  if (!(rewritten == written)) std::abort();

  // Reads never insert, and conversions never crash on parsed values.
  value.get("0").to_int();
  value.get("key").to_double();
  if (!(value.to_text() == written)) std::abort();
  Json copy = value;
  copy.append(1);
  copy.get_insert("k") = 2;
  if (!(value.to_text() == written)) std::abort();
  return 0;
}
