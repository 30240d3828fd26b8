// Test and benchmark helper: an established TLS connection between a client
// `ostssl` and a server SSL object over a local socket pair (or any two
// connected sockets), without certificates (anonymous ECDH at security level
// 0, TLS 1.2), so that read and write paths can be driven without a hub.
//
// Ownership: the client side (SSL, context, socket) is handed to the
// `ostssl`, which frees it; the server side belongs to the TlsPair. Not for
// service code.
#ifndef OSTGRAPHSVC_OSTSSL_OSTSSL_TLS_PAIR_TESTING_H_
#define OSTGRAPHSVC_OSTSSL_OSTSSL_TLS_PAIR_TESTING_H_

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ostgraphsvc/ostssl/ostssl.h"

namespace ostssl_testing {

inline void SetNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

inline uint32_t Addr(const char* dotted) {
  in_addr a{};
  inet_pton(AF_INET, dotted, &a);
  return a.s_addr;
}

// An IPv4-looking packet of `size` bytes (20 at least): version 4, the total
// length in bytes 2-3, then bytes that depend on `seed`.
inline std::vector<unsigned char> Packet(size_t size, uint32_t seed) {
  std::vector<unsigned char> p(size);
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<unsigned char>(seed * 31 + i * 7);
  p[0] = 0x45;
  p[2] = static_cast<unsigned char>(size >> 8);
  p[3] = static_cast<unsigned char>(size);
  return p;
}

class TlsPair {
 public:
  // Over a fresh AF_UNIX stream pair whose buffers are `buffer` bytes (0:
  // the defaults).
  explicit TlsPair(int buffer = 0) {
    int fds[2];
    ok_ = socketpair(AF_UNIX, SOCK_STREAM, 0, fds) == 0;
    if (!ok_) return;
    if (buffer > 0) {
      for (int fd : fds) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof(buffer));
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
      }
    }
    Start(fds[0], fds[1]);
  }
  // Over two connected sockets; takes both.
  TlsPair(int client_fd, int server_fd) { Start(client_fd, server_fd); }
  TlsPair(const TlsPair&) = delete;
  TlsPair& operator=(const TlsPair&) = delete;
  ~TlsPair() {
    if (server_ != nullptr) SSL_free(server_);
    if (server_ctx_ != nullptr) SSL_CTX_free(server_ctx_);
    if (server_fd_ >= 0) close(server_fd_);
  }

  bool ok() const { return ok_; }
  // The client connection, ready to go into sslCons under its key
  // (`remote` WAN address, `local` address).
  std::shared_ptr<ostssl> client() const { return client_; }
  SSL* server() const { return server_; }
  int server_fd() const { return server_fd_; }
  OstRemoteWANIPLocalIPPair key() const {
    return OstRemoteWANIPLocalIPPair{IPAddress(client_->remote_wan_ip),
                                     IPAddress(Addr(local_text_.c_str()))};
  }

  // Names the client's addresses (dotted) and its path id.
  void Name(const std::string& local, const std::string& remote, uint32_t path_id) {
    local_text_ = local;
    client_->local_addr = String(local.data(), static_cast<int>(local.size()));
    client_->remote_host = String(remote.data(), static_cast<int>(remote.size()));
    client_->local_addr.c_str();
    client_->remote_host.c_str();
    client_->remote_wan_ip = Addr(remote.c_str());
    client_->conn_info.path_id = path_id;
  }

  // Closes the server's socket with a reset (TCP) or a plain close.
  void ResetServer() {
    linger hard{1, 0};
    setsockopt(server_fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof(hard));
    close(server_fd_);
    server_fd_ = -1;
  }

  // Writes all of `data` from the server, waiting while the socket is full.
  bool ServerWrite(const unsigned char* data, size_t length) {
    size_t done = 0;
    while (done < length) {
      int rc = SSL_write(server_, data + done, static_cast<int>(length - done));
      if (rc > 0) {
        done += static_cast<size_t>(rc);
        continue;
      }
      int err = SSL_get_error(server_, rc);
      if (err != SSL_ERROR_WANT_WRITE && err != SSL_ERROR_WANT_READ) return false;
      pollfd p{server_fd_, static_cast<short>(err == SSL_ERROR_WANT_WRITE ? POLLOUT : POLLIN), 0};
      if (poll(&p, 1, 5000) <= 0) return false;
    }
    return true;
  }

  // Reads what the server can get now (waiting at most `timeout_ms` for the
  // first byte) and appends it to `out`. False on close or error.
  bool ServerRead(std::string* out, int timeout_ms) {
    unsigned char buf[16384];
    bool first = true;
    for (;;) {
      int rc = SSL_read(server_, buf, sizeof(buf));
      if (rc > 0) {
        out->append(reinterpret_cast<char*>(buf), static_cast<size_t>(rc));
        first = false;
        continue;
      }
      int err = SSL_get_error(server_, rc);
      if (err != SSL_ERROR_WANT_READ) return false;
      if (!first) return true;
      pollfd p{server_fd_, POLLIN, 0};
      if (poll(&p, 1, timeout_ms) <= 0) return true;
      first = false;
    }
  }

 private:
  void Start(int client_fd, int server_fd) {
    server_fd_ = server_fd;
    SetNonBlocking(client_fd);
    SetNonBlocking(server_fd);
    SSL_CTX* client_ctx = SSL_CTX_new(TLS_client_method());
    server_ctx_ = SSL_CTX_new(TLS_server_method());
    for (SSL_CTX* ctx : {client_ctx, server_ctx_}) {
      SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
      SSL_CTX_set_cipher_list(ctx, "AECDH-AES128-SHA:@SECLEVEL=0");
      SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
    SSL* client = SSL_new(client_ctx);
    server_ = SSL_new(server_ctx_);
    SSL_set_fd(client, client_fd);
    SSL_set_fd(server_, server_fd);
    SSL_set_connect_state(client);
    SSL_set_accept_state(server_);
    bool client_done = false, server_done = false;
    for (int round = 0; round < 2000 && !(client_done && server_done); ++round) {
      if (round > 0) {
        // Over TCP the other side's bytes may take a moment.
        pollfd p[2] = {{client_fd, POLLIN, 0}, {server_fd, POLLIN, 0}};
        poll(p, 2, 5);
      }
      if (!client_done) {
        int rc = SSL_do_handshake(client);
        client_done = rc == 1;
        if (rc <= 0 && SSL_get_error(client, rc) != SSL_ERROR_WANT_READ &&
            SSL_get_error(client, rc) != SSL_ERROR_WANT_WRITE) {
          break;
        }
      }
      if (!server_done) {
        int rc = SSL_do_handshake(server_);
        server_done = rc == 1;
        if (rc <= 0 && SSL_get_error(server_, rc) != SSL_ERROR_WANT_READ &&
            SSL_get_error(server_, rc) != SSL_ERROR_WANT_WRITE) {
          break;
        }
      }
    }
    ok_ = client_done && server_done;
    client_ = ostssl::create();
    client_->ssl_ctx = client_ctx;
    client_->ssl = client;
    client_->sock = client_fd;
    client_->protocol = OSTSSL_PROTO_TLS;
    client_->state = OSTSSL_CONNECTED;
  }

  bool ok_ = false;
  std::shared_ptr<ostssl> client_;
  SSL_CTX* server_ctx_ = nullptr;
  SSL* server_ = nullptr;
  int server_fd_ = -1;
  std::string local_text_ = "0.0.0.0";
};

}  // namespace ostssl_testing

#endif  // OSTGRAPHSVC_OSTSSL_OSTSSL_TLS_PAIR_TESTING_H_
