// A record from a client as the test hub reads it: the input is one TLS
// record or DTLS datagram, in a buffer that ends where its data ends (zero
// tailroom), walked packet by packet through the decoder and the control
// reader. Every inner packet reported must lie inside the record, and
// protobuf's own log must stay silent.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <google/protobuf/stubs/logging.h>

#include "overlaystatemsg.pb.h"
#include "tools/testhub/codec/codec.h"

namespace {

void protobuf_logged(google::protobuf::LogLevel, const char* file, int line,
                     const std::string& message) {
  std::fprintf(stderr, "protobuf logged %s:%d %s\n", file, line, message.c_str());
  std::abort();
}

class Checker : public testhub::RecordSink {
 public:
  Checker(const uint8_t* begin, const uint8_t* end) : begin_(begin), end_(end) {}
  void on_data(const testhub::Decoded& p) override { check(p); }
  void on_control(const testhub::Decoded& p, const OstrelOverlayStateMsg& msg) override {
    check(p);
    if (!testhub::known_kind(msg.osm_type())) std::abort();
  }
  void on_drop(testhub::Drop reason) override {
    if (reason == testhub::Drop::kNone || reason >= testhub::Drop::kCount) std::abort();
  }

 private:
  void check(const testhub::Decoded& p) {
    if (p.inner < begin_ || p.inner + p.inner_length > end_) std::abort();
    // Touch every byte so ASan sees any slip.
    volatile uint8_t sum = 0;
    for (size_t i = 0; i < p.inner_length; ++i) sum = static_cast<uint8_t>(sum + p.inner[i]);
  }
  const uint8_t* begin_;
  const uint8_t* end_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool started = [] {
    google::protobuf::SetLogHandler(&protobuf_logged);
    return true;
  }();
  (void)started;
  if (size > testhub::kMaxRecordLength + 64) return 0;
  // A heap copy of exactly the input: no byte after the record is readable.
  uint8_t* record = static_cast<uint8_t*>(std::malloc(size == 0 ? 1 : size));
  if (size > 0) std::memcpy(record, data, size);
  static OstrelOverlayStateMsg scratch;
  Checker checker(record, record + size);
  testhub::read_record(record, size, &scratch, &checker);
  std::free(record);
  return 0;
}
