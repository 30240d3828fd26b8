#include "client/lib/cxLog/cxPktDump.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>

#include "client/lib/cxLog/cxLog.h"
#include "platform/fs/open_file.h"

std::atomic<bool> cx_pktdump_queued{false};

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4;
constexpr uint16_t kPcapVersionMajor = 2;
constexpr uint16_t kPcapVersionMinor = 4;
constexpr mode_t kCaptureMode = 0600;

// Never destroyed: the "CX" writer, a static, may still write at exit, and
// detached archive threads hold the rotating file.
struct CaptureState {
  CaptureState() { rotation.setCreateMode(kCaptureMode); }

  std::recursive_mutex lock;  // every header and record, and the stream's changes
  cxRotationFile rotation{kCxPktDumpMaxFileSize, kCxPktDumpKeptFiles};
  std::string path;
  std::string oldPath;
  std::atomic<uint32_t> snapLength{0};
  std::atomic<bool> open{false};
};

CaptureState& capture() {
  static CaptureState* s = new CaptureState;
  return *s;
}

void putLe16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void putLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// The snap length the global header announces: the capture's, or 65535 (the
// most a 16-bit captured length can hold) for 0 and anything larger, so that
// readers never cut a record.
uint32_t headerSnapLength(uint32_t snapLength) {
  return snapLength == 0 || snapLength > 65535 ? 65535 : snapLength;
}

// Caller holds the capture lock.
bool writeGlobalHeader(FILE* stream, uint32_t snapLength) {
  uint8_t header[24];
  putLe32(header, kPcapMagic);
  putLe16(header + 4, kPcapVersionMajor);
  putLe16(header + 6, kPcapVersionMinor);
  putLe32(header + 8, 0);   // time-zone offset
  putLe32(header + 12, 0);  // timestamp accuracy
  putLe32(header + 16, headerSnapLength(snapLength));
  putLe32(header + 20, kCxPktDumpLinkTypeRaw);
  bool ok = std::fwrite(header, 1, sizeof header, stream) == sizeof header;
  return std::fflush(stream) == 0 && ok;
}

}  // namespace

cxRotationFile& cx_pktdump_rotation_file() { return capture().rotation; }

cxDumpAsync& cx_pktdump_writer() {
  static cxDumpAsync writer(
      "CX",
      [](const std::string& path, int snapLength, bool) {
        return cx_pktdump_init(path, snapLength > 0 ? static_cast<uint32_t>(snapLength) : 0);
      },
      [] { return cx_pktdump_close(); },
      [](const uint8_t* data, uint16_t length, const cxPktDumpRecordHeader* header) {
        return cx_pktdump_write(data, length, header);
      });
  return writer;
}

bool cx_pktdump_create_file(const std::string& path) {
  int fd = platform::open_no_links(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, kCaptureMode);
  if (fd < 0) {
    std::perror("Failed to open pktdump file");
    return false;
  }
  ::fchmod(fd, kCaptureMode);  // an existing file keeps its mode otherwise
  ::close(fd);
  return true;
}

bool cx_pktdump_init(const std::string& path, uint32_t snapLength) {
  CaptureState& c = capture();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  c.snapLength.store(snapLength);
  c.path = path;
  c.oldPath = path + ".old.pcap";
  c.rotation.init(c.path, c.oldPath, ".pcap", true);
  // A refused file is not opened a second way: the capture goes on without.
  if (cx_pktdump_create_file(c.path)) {
    if (FILE* stream = c.rotation.open(nullptr, "wb"); stream != nullptr) {
      writeGlobalHeader(stream, snapLength);
    }
  } else {
    c.rotation.close();
  }
  c.open.store(true);
  return true;
}

bool cx_pktdump_write(const uint8_t* data, uint16_t length, const cxPktDumpRecordHeader* header) {
  CaptureState& c = capture();
  if (!c.open.load()) return false;
  if (data == nullptr && length != 0) return false;

  cxPktDumpRecordHeader record;
  if (header != nullptr) {
    record = *header;
    // The header must not announce more bytes than the caller handed over.
    if (record.capturedLength > length) record.capturedLength = length;
  } else {
    struct timespec now;
    ::clock_gettime(CLOCK_REALTIME, &now);
    record.seconds = static_cast<uint32_t>(now.tv_sec);
    record.microseconds = static_cast<uint32_t>(now.tv_nsec / 1000000) * 1000;
    uint32_t snap = c.snapLength.load();
    record.capturedLength = snap != 0 && snap < length ? snap : length;
    record.wireLength = length;
  }
  uint8_t bytes[16];
  putLe32(bytes, record.seconds);
  putLe32(bytes + 4, record.microseconds);
  putLe32(bytes + 8, record.capturedLength);
  putLe32(bytes + 12, record.wireLength);
  size_t captured = static_cast<uint16_t>(record.capturedLength);

  std::lock_guard<std::recursive_mutex> guard(c.lock);
  FILE* stream = c.rotation.stream();
  if (!c.open.load() || stream == nullptr) return false;
  bool ok = std::fwrite(bytes, 1, sizeof bytes, stream) == sizeof bytes;
  ok = std::fflush(stream) == 0 && ok;
  if (captured != 0) ok = std::fwrite(data, 1, captured, stream) == captured && ok;
  ok = std::fflush(stream) == 0 && ok;
  return ok;
}

bool cx_pktdump_check_rotation(uint32_t capturedLength) {
  CaptureState& c = capture();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  // Nothing was written without a stream, and a zero count would ask the
  // file system for the size instead of counting.
  if (capturedLength == 0 || !c.open.load() || c.rotation.stream() == nullptr) return false;
  bool rotated = false;
  c.rotation.rotateIfNeeded(capturedLength, &rotated);
  if (rotated && c.rotation.stream() != nullptr) {
    writeGlobalHeader(c.rotation.stream(), c.snapLength.load());
  }
  return rotated;
}

bool cx_pktdump_close() {
  CaptureState& c = capture();
  std::lock_guard<std::recursive_mutex> guard(c.lock);
  c.open.store(false);
  c.rotation.close();
  return true;
}

bool cx_pktdump_uninit() {
  CXLOG("pktDump", CXLOG_INFO, "==>%s", "cx_pktdump_uninit");
  if (cx_pktdump_queued.load()) return cx_pktdump_writer().stopDump();
  return cx_pktdump_close();
}
