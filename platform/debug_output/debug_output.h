// The debugger-output sink (OutputDebugStringA).
//
// Text handed to `output_debug_string` goes to the current sink: by default
// syslog at debug level, where a debugging user can watch it with journalctl;
// tests install a `RecordingDebugOutput` to read it back. Thread-safe; a sink
// installed with `set_debug_output` must outlive its use.
#ifndef PLATFORM_DEBUG_OUTPUT_DEBUG_OUTPUT_H_
#define PLATFORM_DEBUG_OUTPUT_DEBUG_OUTPUT_H_

#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class DebugOutput {
 public:
  virtual ~DebugOutput() = default;
  virtual void write(std::string_view text) = 0;
};

void output_debug_string(const char* text);

// Installs `sink` (nullptr: syslog again) and returns the previous one
// (nullptr for syslog).
DebugOutput* set_debug_output(DebugOutput* sink);

// Records every text, for tests.
class RecordingDebugOutput : public DebugOutput {
 public:
  void write(std::string_view text) override;
  std::vector<std::string> texts() const;

 private:
  mutable std::mutex mu_;
  std::vector<std::string> texts_;
};

}  // namespace platform

#endif  // PLATFORM_DEBUG_OUTPUT_DEBUG_OUTPUT_H_
