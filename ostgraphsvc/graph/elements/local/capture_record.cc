#include "ostgraphsvc/graph/elements/local/capture_record.h"

#include <cstring>

void set_capture_record(Packet* p, const WINDIVERT_ADDRESS& record) {
  unsigned char* copy = p->anno() + kCaptureRecordCopyAnnoOffset;
  std::memcpy(copy, &record, sizeof record);
  p->set_capture_record_anno(copy);
}

bool capture_record_of(const Packet* p, WINDIVERT_ADDRESS* out) {
  if (p->capture_record_anno() == nullptr) return false;
  std::memcpy(out, p->anno() + kCaptureRecordCopyAnnoOffset, sizeof *out);
  return true;
}
