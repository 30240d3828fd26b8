// Bytes from a peer reach the packet cutter as TLS or DTLS records cut at
// any point. The cutter must never read past what it was given, and every
// packet it delivers must be a whole IPv4 packet exactly as long as its own
// total length; over TLS, what it delivered and what it still holds must be
// the stream fed so far (unless it dropped a packet or ended the stream).
//
// Input: byte 0 bit 0 picks DTLS; then records, each a 2-byte length (taken
// modulo 16,385 and cut to what is left) and its bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "ostgraphsvc/ostssl/ostssl.h"

namespace {

class Checker final : public ostssl_listener {
 public:
  bool on_ostssl_read(ostssl_conn_info*) override { return true; }
  bool on_ostssl_closed(ostssl_conn_info*) override { return true; }
  bool on_ostssl_timeout(ostssl_conn_info*) override { return true; }
  bool on_ostssl_connect(ostssl_conn_info*) override { return true; }
  int on_ostssl_sock_closed(ostssl_conn_info*) override { return 0; }
};

QMsgBlockPool& ring() {
  static QMsgBlockPool& r = *new QMsgBlockPool(1024);
  return r;
}
QMsgQueue& queue() {
  static QMsgQueue& q = *new QMsgQueue;
  return q;
}

// Checks and releases every queued block; appends the packets to `out`.
void drain(std::string* out) {
  while (_QMSGBLOCK* b = queue().wait_for(0)) {
    if (b->msgtype != QMSG_PKT_OVERLAY || b->data_length < 24) std::abort();
    const uint8_t* p = b->data + 4;
    const size_t length = b->data_length - 4;
    if ((p[0] >> 4) != 4 || (static_cast<size_t>(p[2]) << 8 | p[3]) != length) std::abort();
    out->append(reinterpret_cast<const char*>(p), length);
    qmsgblock_release(b);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  static Checker checker;
  ostssl::set_receive_ring_for_testing(&ring(), &queue());
  std::shared_ptr<ostssl> conn = ostssl::create();
  const bool dtls = (data[0] & 1) != 0;
  conn->protocol = dtls ? OSTSSL_PROTO_DTLS : OSTSSL_PROTO_TLS;
  conn->listener = &checker;
  std::string fed, delivered;
  size_t at = 1;
  while (at + 2 <= size) {
    size_t length = (static_cast<size_t>(data[at]) << 8 | data[at + 1]) % 16385;
    at += 2;
    length = std::min(length, size - at);
    // A copy of exactly the record, so that a read past it is seen.
    std::unique_ptr<unsigned char[]> record(new unsigned char[length > 0 ? length : 1]);
    if (length > 0) std::memcpy(record.get(), data + at, length);
    conn->onRead(record.get(), length);
    fed.append(reinterpret_cast<const char*>(data + at), length);
    at += length;
    drain(&delivered);
    if (conn->read_buf_count > kOstsslReadBufferSize) std::abort();
    if (dtls && conn->read_buf_count != 0) std::abort();
    if (!dtls && conn->read_drop_count == 0 && conn->closed.load() == 0) {
      std::string held(reinterpret_cast<const char*>(conn->read_buf.get()), conn->read_buf_count);
      if (delivered + held != fed) std::abort();
    }
  }
  return 0;
}
