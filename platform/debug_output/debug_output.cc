#include "platform/debug_output/debug_output.h"

#include <syslog.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<DebugOutput*> g_sink{nullptr};

}  // namespace

void output_debug_string(const char* text) {
  if (DebugOutput* sink = g_sink.load(std::memory_order_acquire)) {
    sink->write(text);
    return;
  }
  ::syslog(LOG_USER | LOG_DEBUG, "%s", text);
}

DebugOutput* set_debug_output(DebugOutput* sink) {
  return g_sink.exchange(sink, std::memory_order_acq_rel);
}

void RecordingDebugOutput::write(std::string_view text) {
  std::lock_guard<std::mutex> guard(mu_);
  texts_.emplace_back(text);
}

std::vector<std::string> RecordingDebugOutput::texts() const {
  std::lock_guard<std::mutex> guard(mu_);
  return texts_;
}

}  // namespace platform
