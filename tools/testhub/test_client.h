// A minimal overlay client for the hub's tests: one TLS or DTLS connection
// with a client certificate, over which a test sends hand-made overlay packets
// and reads what the hub sends back. Blocking calls with time-outs; one thread.
// The server's certificate is not checked (the hub is what is under test).
#ifndef TOOLS_TESTHUB_TEST_CLIENT_H_
#define TOOLS_TESTHUB_TEST_CLIENT_H_

#include <openssl/ssl.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "overlaystatemsg.pb.h"
#include "tools/testhub/codec/codec.h"

namespace testhub {

struct ClientOptions {
  bool dtls = false;
  std::string server;  // IPv4 text
  uint16_t port = 0;
  std::string cert;  // PEM files; empty: no client certificate
  std::string key;
  uint32_t overlay = 0;  // the client's overlay address (network-order bytes)
  uint32_t hub_overlay = 0;
};

class TestClient {
 public:
  explicit TestClient(ClientOptions options);
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;
  ~TestClient();

  // Connects and completes the handshake. False with `*error` on refusal.
  bool connect(std::string* error, int timeout_ms = 5000);
  std::string version() const;
  std::string cipher() const;

  // Sends one record as it stands.
  bool send_record(const uint8_t* data, size_t length);
  // Wraps `inner` in the given header and sends it.
  bool send_packet(const std::vector<uint8_t>& inner, const EncapParams& params);
  // A control message of `kind` carrying `seqnum` in a probe message.
  bool send_probe(uint32_t kind, uint32_t seqnum, HeaderKind header, uint8_t version = 1,
                  uint32_t sequence = 1);

  // Reads one record; false on time-out or close.
  // One control message in a 16-byte header.
  bool send_control(const OstrelOverlayStateMsg& msg);
  bool receive(std::vector<uint8_t>* record, int timeout_ms);
  // Reads records until a control message of `kind` arrives; its packet's
  // header and message are returned. Others are skipped.
  bool wait_control(uint32_t kind, OverlayHeader* header, OstrelOverlayStateMsg* msg,
                    int timeout_ms = 5000);
  // Reads records until a data packet arrives; returns its inner packet.
  bool wait_data(std::vector<uint8_t>* inner, OverlayHeader* header, int timeout_ms = 5000);

  // The sequence of the first 16-byte header read (0: none yet), whatever
  // packet carried it; the hub's periodic messages may come first.
  uint32_t first_full_sequence() const { return first_full_sequence_; }

 private:
  // Reads records until `take` accepts one of their packets; true then.
  bool wait_packet(const std::function<bool(const Decoded&)>& take, int timeout_ms);

  ClientOptions options_;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  int fd_ = -1;
  uint16_t id_ = 0;
  uint32_t first_full_sequence_ = 0;
};

}  // namespace testhub

#endif  // TOOLS_TESTHUB_TEST_CLIENT_H_
