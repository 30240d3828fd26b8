#include "ostgraphsvc/policy_slot/qoe_thresholds.h"

#include <cerrno>
#include <string>

#include "graph/json.h"
#include "graph/router_log.h"
#include "platform/fs/paths.h"
#include "platform/fs/read_file.h"

namespace {

constexpr qoe_class_threshold kStartValues[kQoeClassCount] = {
    {0, 0, 0, 0, 0.0, 0.0},       {30, 70, 10, 40, 0.3, 0.8},    {30, 80, 10, 30, 0.5, 1.0},
    {50, 90, 150, 180, 1.0, 2.5}, {60, 100, 150, 200, 1.0, 2.5},
};

constexpr size_t kMaxFileSize = size_t{64} << 20;

// A value the file gives: a number, string or boolean. Missing keys read as
// the shared null, and containers carry no number.
bool given(const Json& value) {
  return value.type() != Json::kNull && value.type() != Json::kArray &&
         value.type() != Json::kObject;
}

void read_int(const Json& level, int* out) {
  if (given(level)) *out = level.to_int();
}

void read_double(const Json& level, double* out) {
  if (given(level)) *out = level.to_double();
}

}  // namespace

qoe_class_threshold qoe_class_thresholds[kQoeClassCount] = {
    {0, 0, 0, 0, 0.0, 0.0},       {30, 70, 10, 40, 0.3, 0.8},    {30, 80, 10, 30, 0.5, 1.0},
    {50, 90, 150, 180, 1.0, 2.5}, {60, 100, 150, 200, 1.0, 2.5},
};

void reset_qoe_class_thresholds() {
  for (int i = 0; i < kQoeClassCount; ++i) qoe_class_thresholds[i] = kStartValues[i];
}

int load_qoe_thresholds() {
  const std::string path = platform::under_root("/opt/ostrel/etc/config/qoe_thresholds.json");
  std::string bytes;
  long long size = 0;
  int err = platform::read_file_no_links(path.c_str(), kMaxFileSize, &bytes, &size);
  if (err != 0) {
    if (err == EFBIG) {
      router_chatter("Unable to read file %s: %lld bytes, more than %zu", path.c_str(), size,
                     kMaxFileSize);
    }
    router_chatter("JSON config parse failed");
    return -1;
  }
  const Json doc = Json::parse(String(bytes.data(), static_cast<int>(bytes.size())));
  const bool container = doc.type() == Json::kArray || doc.type() == Json::kObject;
  if (doc.is_null() || (container && doc.size() == 0)) {
    router_chatter("JSON config parse failed");
    return -1;
  }
  static const char* const kClasses[] = {"voice", "video", "transactional", "bulk"};
  const Json& qoe = doc.get("qoe");
  for (int code = 1; code < kQoeClassCount; ++code) {
    const Json& cls = qoe.get(kClasses[code - 1]);
    qoe_class_threshold& t = qoe_class_thresholds[code];
    read_int(cls.get("latency").get("caution"), &t.latency_caution);
    read_int(cls.get("latency").get("unusable"), &t.latency_unusable);
    read_int(cls.get("jitter").get("caution"), &t.jitter_caution);
    read_int(cls.get("jitter").get("unusable"), &t.jitter_unusable);
    read_double(cls.get("loss").get("caution"), &t.loss_caution);
    read_double(cls.get("loss").get("unusable"), &t.loss_unusable);
  }
  return 0;
}
