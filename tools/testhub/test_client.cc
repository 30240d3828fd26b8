#include "tools/testhub/test_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace testhub {
namespace {

int64_t now_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string ssl_error() {
  const unsigned long e = ERR_get_error();
  char buf[256] = "handshake failed";
  if (e != 0) ERR_error_string_n(e, buf, sizeof buf);
  ERR_clear_error();
  return buf;
}

}  // namespace

TestClient::TestClient(ClientOptions options) : options_(std::move(options)) {}

TestClient::~TestClient() {
  if (ssl_ != nullptr) {
    SSL_shutdown(ssl_);
    SSL_free(ssl_);
  }
  SSL_CTX_free(ctx_);
  if (fd_ >= 0) close(fd_);
  ERR_clear_error();
}

bool TestClient::connect(std::string* error, int timeout_ms) {
  ctx_ = SSL_CTX_new(options_.dtls ? DTLS_client_method() : TLS_client_method());
  SSL_CTX_set_verify(ctx_, SSL_VERIFY_NONE, nullptr);
  if (!options_.cert.empty() &&
      (SSL_CTX_use_certificate_chain_file(ctx_, options_.cert.c_str()) != 1 ||
       SSL_CTX_use_PrivateKey_file(ctx_, options_.key.c_str(), SSL_FILETYPE_PEM) != 1)) {
    *error = "cannot load the client certificate: " + ssl_error();
    return false;
  }
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(options_.port);
  inet_pton(AF_INET, options_.server.c_str(), &sa.sin_addr);
  fd_ = socket(AF_INET, (options_.dtls ? SOCK_DGRAM : SOCK_STREAM) | SOCK_CLOEXEC, 0);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    *error = std::string("cannot connect: ") + std::strerror(errno);
    return false;
  }
  // Short receive waits let the DTLS layer retransmit during the handshake.
  timeval tv{0, 200000};
  setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  ssl_ = SSL_new(ctx_);
  if (options_.dtls) {
    BIO* bio = BIO_new_dgram(fd_, BIO_NOCLOSE);
    BIO_ctrl(bio, BIO_CTRL_DGRAM_SET_CONNECTED, 0, &sa);
    SSL_set_bio(ssl_, bio, bio);
  } else {
    SSL_set_fd(ssl_, fd_);
  }
  const int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    ERR_clear_error();
    const int r = SSL_connect(ssl_);
    if (r == 1) break;
    const int e = SSL_get_error(ssl_, r);
    const bool retry = e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE ||
                       (e == SSL_ERROR_SYSCALL && (errno == EAGAIN || errno == EWOULDBLOCK));
    if (!retry || now_ms() > deadline) {
      *error = ssl_error();
      return false;
    }
    if (options_.dtls) DTLSv1_handle_timeout(ssl_);
  }
  // TLS 1.3 reports a refused client certificate only at the first read.
  if (!options_.dtls && SSL_version(ssl_) == TLS1_3_VERSION) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, 300) > 0) {
      char b;
      ERR_clear_error();
      const int n = SSL_peek(ssl_, &b, 1);
      if (n <= 0) {
        const int e = SSL_get_error(ssl_, n);
        if (e != SSL_ERROR_WANT_READ) {
          *error = ssl_error();
          return false;
        }
      }
    }
  }
  return true;
}

std::string TestClient::version() const { return ssl_ ? SSL_get_version(ssl_) : ""; }

std::string TestClient::cipher() const {
  return ssl_ ? SSL_CIPHER_get_name(SSL_get_current_cipher(ssl_)) : "";
}

bool TestClient::send_record(const uint8_t* data, size_t length) {
  ERR_clear_error();
  return SSL_write(ssl_, data, static_cast<int>(length)) == static_cast<int>(length);
}

bool TestClient::send_packet(const std::vector<uint8_t>& inner, const EncapParams& in) {
  std::vector<uint8_t> buf(kMaxEncapOverhead + inner.size());
  std::memcpy(buf.data() + kMaxEncapOverhead, inner.data(), inner.size());
  EncapParams p = in;
  p.id = id_++;
  if (p.src == 0) p.src = options_.overlay;
  if (p.dst == 0) p.dst = options_.hub_overlay;
  size_t total = 0;
  uint8_t* start = encapsulate(buf.data() + kMaxEncapOverhead, inner.size(), p, &total);
  return start != nullptr && send_record(start, total);
}

bool TestClient::send_probe(uint32_t kind, uint32_t seqnum, HeaderKind header, uint8_t version,
                            uint32_t sequence) {
  OstrelOverlayStateMsg msg;
  msg.set_osm_type(kind);
  msg.mutable_osm_probemsg()->set_seqnum(seqnum);
  std::vector<uint8_t> packet(kControlHeaderLength + msg.ByteSizeLong());
  write_control_packet(packet.data(), packet.size(), msg, id_++, options_.overlay,
                       options_.hub_overlay);
  EncapParams p;
  p.kind = header;
  p.version = version;
  p.control = true;
  p.sequence = sequence;
  return send_packet(packet, p);
}

bool TestClient::send_control(const OstrelOverlayStateMsg& msg) {
  std::vector<uint8_t> packet(kControlHeaderLength + msg.ByteSizeLong());
  write_control_packet(packet.data(), packet.size(), msg, id_++, options_.overlay,
                       options_.hub_overlay);
  EncapParams p;
  p.kind = HeaderKind::kFull;
  p.version = 1;
  p.control = true;
  return send_packet(packet, p);
}

bool TestClient::receive(std::vector<uint8_t>* record, int timeout_ms) {
  record->assign(kMaxRecordLength + 64, 0);
  const int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    if (SSL_pending(ssl_) == 0) {
      pollfd p{fd_, POLLIN, 0};
      const int64_t left = deadline - now_ms();
      if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) return false;
    }
    ERR_clear_error();
    const int n = SSL_read(ssl_, record->data(), static_cast<int>(record->size()));
    if (n > 0) {
      record->resize(static_cast<size_t>(n));
      return true;
    }
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_WANT_READ || (e == SSL_ERROR_SYSCALL && errno == EAGAIN)) continue;
    return false;
  }
}

bool TestClient::wait_packet(const std::function<bool(const Decoded&)>& take, int timeout_ms) {
  const int64_t deadline = now_ms() + timeout_ms;
  std::vector<uint8_t> record;
  while (receive(&record, static_cast<int>(std::max<int64_t>(0, deadline - now_ms())))) {
    size_t offset = 0;
    while (offset < record.size()) {
      Decoded d;
      if (decode_packet(record.data() + offset, record.size() - offset, &d) != Drop::kNone) break;
      offset += d.consumed;
      if (first_full_sequence_ == 0 && d.header.kind == HeaderKind::kFull)
        first_full_sequence_ = d.header.sequence;
      if (take(d)) return true;
    }
  }
  return false;
}

bool TestClient::wait_control(uint32_t kind, OverlayHeader* header, OstrelOverlayStateMsg* msg,
                              int timeout_ms) {
  return wait_packet(
      [&](const Decoded& d) {
        if (!d.header.control) return false;
        if (read_control_packet(d.inner, d.inner_length, msg) != Drop::kNone) return false;
        if (msg->osm_type() != kind) return false;
        *header = d.header;
        return true;
      },
      timeout_ms);
}

bool TestClient::wait_data(std::vector<uint8_t>* inner, OverlayHeader* header, int timeout_ms) {
  return wait_packet(
      [&](const Decoded& d) {
        if (d.header.control) return false;
        inner->assign(d.inner, d.inner + d.inner_length);
        *header = d.header;
        return true;
      },
      timeout_ms);
}

}  // namespace testhub
