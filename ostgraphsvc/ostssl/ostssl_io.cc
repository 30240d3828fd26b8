// Established connections: the wait thread, reading and cutting packets, and
// writing with a pending queue.
//
// Threads: the wait thread (`ssl_wait`) polls every open connection of
// sslCons, reads and cuts records (`ssl_read`, `onRead`), drains pending
// writes (`onWriteReady`) and reports broken connections (`onSockClosed`).
// The packet thread writes through `ssl_write_packet` / `ssl_write_data`.
// SSL calls, the socket and the pending queue of a connection are used under
// its mutex; sslCons's mutex is held only to build the poll set.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "graph/router_log.h"
#include "ostgraphsvc/graph/elements/local/tunnel_writer.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "platform/clock/clock.h"
#include "platform/error/win_error.h"

#define OSTSSL_LOG(level, tag, ...) \
  log_syslog_level((level), (tag), __FILE__, __LINE__, __VA_ARGS__)

// "(local->remote)" of a connection without copying its texts.
#define CONN_FMT "(%.*s->%.*s)"
#define CONN_ARGS(c) \
  (c).local_addr.length(), (c).local_addr.data(), (c).remote_host.length(), (c).remote_host.data()

namespace {

constexpr int kPollTimeoutMs = 50000;
constexpr int kMaxReadsPerRound = 64;
constexpr int kMaxWritesPerRound = 50;
constexpr size_t kMinPacket = 20;
constexpr uint64_t kDropLogPeriod = 1000;

struct WaitState {
  std::atomic<bool> stop{false};  // tests only
  std::atomic<QMsgBlockPool*> ring{nullptr};
  std::atomic<QMsgQueue*> queue{nullptr};
};

WaitState& wait_state() {
  static WaitState& state = *new WaitState;
  return state;
}

QMsgBlockPool& receive_ring() {
  QMsgBlockPool* ring = wait_state().ring.load(std::memory_order_acquire);
  return ring != nullptr ? *ring : g_transport_qmsg_pool;
}

QMsgQueue& receive_queue() {
  QMsgQueue* queue = wait_state().queue.load(std::memory_order_acquire);
  return queue != nullptr ? *queue : g_qmsg_queue;
}

std::string openssl_error_text() {
  unsigned long code = ERR_peek_last_error();
  if (code == 0) return std::string();
  char text[256];
  ERR_error_string_n(code, text, sizeof(text));
  return text;
}

// The transport as the capture element's drain sees it.
class OstsslTunnelWriter final : public TunnelPacketWriter {
 public:
  int write_packet(IPAddress wan, IPAddress local, const unsigned char* data,
                   uint32_t length) override {
    if (length > static_cast<uint32_t>(INT_MAX)) return -1;
    return ostssl::ssl_write_packet(wan.addr(), local.addr(), data, static_cast<int>(length));
  }
};

// One packet that found no block (or whose block could not be filled or
// queued) is counted; every 1000th is logged.
void count_block_drop(ostssl& c) {
  if (c.read_drop_count++ % kDropLogPeriod == 0) {
    OSTSSL_LOG(3, "ostssl::onRead", "ostssl: no message blocks available for the queue");
  }
}

// Posts `length` bytes at `packet` as one block of the transport ring.
void post_packet(ostssl& c, const unsigned char* packet, size_t length) {
  _QMSGBLOCK* block = receive_ring().take();
  if (block == nullptr) {
    count_block_drop(c);
    return;
  }
  uint8_t* data = qmsgblock_set_tag(block, "ostoverlay")
                      ? qmsgblock_reserve_data(block, static_cast<uint32_t>(length + 4))
                      : nullptr;
  if (data == nullptr) {
    qmsgblock_release(block);
    count_block_drop(c);
    return;
  }
  block->msgtype = QMSG_PKT_OVERLAY;
  const uint32_t path_id = c.conn_info.path_id;
  data[0] = static_cast<uint8_t>(path_id);
  data[1] = static_cast<uint8_t>(path_id >> 8);
  data[2] = static_cast<uint8_t>(path_id >> 16);
  data[3] = static_cast<uint8_t>(path_id >> 24);
  std::memcpy(data + 4, packet, length);
  block->enqueue_tick = GetTickCount64();
  if (c.listener != nullptr) c.listener->on_ostssl_read(&c.conn_info);
  if (!receive_queue().post(block)) count_block_drop(c);
}

// Posts every whole packet at the front of `bytes` (`count` of them); the
// number of bytes those packets took. A malformed header drops the rest of a
// DTLS datagram (all of it counts as taken); on TLS it sets `*broken`.
size_t cut_packets(ostssl& c, const unsigned char* bytes, size_t count, bool* broken) {
  const bool dtls = c.protocol == OSTSSL_PROTO_DTLS;
  size_t start = 0;
  while (count - start >= kMinPacket) {
    const unsigned char* p = bytes + start;
    const size_t total = static_cast<size_t>(p[2]) << 8 | p[3];
    if ((p[0] >> 4) != 4 || total < kMinPacket) {
      if (dtls) {
        // A datagram stands alone: drop what is left of it, framing is kept.
        ++c.read_drop_count;
        ROUTER_LOG_LIMITED(4, "ostssl::onRead",
                           CONN_FMT
                           " malformed packet in datagram (first byte 0x%02x, length "
                           "%zu), %zu bytes dropped",
                           CONN_ARGS(c), p[0], total, count - start);
        return count;
      }
      OSTSSL_LOG(3, "ostssl::onRead",
                 CONN_FMT
                 " tunnel stream broken (first byte 0x%02x, total length %zu), closing "
                 "the connection",
                 CONN_ARGS(c), p[0], total);
      *broken = true;
      return start;
    }
    if (count - start < total) break;
    post_packet(c, p, total);
    start += total;
  }
  return start;
}

}  // namespace

TunnelPacketWriter* ostssl::tunnel_writer() {
  static OstsslTunnelWriter& writer = *new OstsslTunnelWriter;
  return &writer;
}

void ostssl::set_receive_ring_for_testing(QMsgBlockPool* ring, QMsgQueue* queue) {
  wait_state().ring.store(ring, std::memory_order_release);
  wait_state().queue.store(queue, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Reading

int ostssl::ssl_read(unsigned char* buffer, int capacity, int* read) {
  std::lock_guard<std::mutex> guard(mutex);
  if (ssl == nullptr || buffer == nullptr || read == nullptr) {
    OSTSSL_LOG(3, "ostssl::ssl_read", "invalid params");
    return -1;
  }
  *read = 0;
  if (capacity <= 0) return 0;
  ERR_clear_error();
  errno = 0;
  const int rc = SSL_read(ssl, buffer, capacity);
  const int saved_errno = errno;
  if (rc > 0) {
    *read = rc;
    return 0;
  }
  const int err = SSL_get_error(ssl, rc);
  last_ssl_error = err;
  switch (err) {
    case SSL_ERROR_NONE:
      return 0;
    case SSL_ERROR_SSL:
    case SSL_ERROR_SYSCALL: {
      const uint32_t wsa = saved_errno != 0 ? platform::wsa_error_from_errno(saved_errno) : 0;
      if (err == SSL_ERROR_SYSCALL && wsa == platform::kWsaEwouldblock) return 10035;
      OSTSSL_LOG(3, "ostssl::ssl_read", CONN_FMT " failed, err: %d, ret: %d, errStr: %s",
                 CONN_ARGS(*this), err, rc, openssl_error_text().c_str());
      return -1;
    }
    case SSL_ERROR_ZERO_RETURN:
      OSTSSL_LOG(6, "ostssl::ssl_read", "peer closed the connection for pair " CONN_FMT,
                 CONN_ARGS(*this));
      return -1;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
    case SSL_ERROR_WANT_X509_LOOKUP:
      if (++would_block_count % would_block_log_period == 0) {
        OSTSSL_LOG(7, "ostssl::ssl_read",
                   CONN_FMT " Wouldblock, bytesRead: %d, err: %d. errStr: %s", CONN_ARGS(*this),
                   *read, err, openssl_error_text().c_str());
      }
      return 10035;
    default:
      OSTSSL_LOG(3, "ostssl::ssl_read", CONN_FMT " failed, err: %d", CONN_ARGS(*this), err);
      return -1;
  }
}

int ostssl::ssl_pending_bytes() {
  std::lock_guard<std::mutex> guard(mutex);
  return ssl != nullptr ? SSL_pending(ssl) : 0;
}

void ostssl::onRead(const unsigned char* data, size_t length) {
  if (data == nullptr || length == 0 || closed.load() != 0) return;
  bool broken = false;
  while (length > 0) {
    if (read_buf_count == 0) {
      // Whole packets are cut where the read put them; only a partial one
      // at the end is copied.
      const size_t used = cut_packets(*this, data, length, &broken);
      if (broken) break;
      data += used;
      length -= used;
      if (length == 0) return;
      if (protocol == OSTSSL_PROTO_DTLS) {
        // The record's tail is no whole packet; the next record starts afresh.
        ++read_drop_count;
        ROUTER_LOG_LIMITED(4, "ostssl::onRead", CONN_FMT " %zu bytes of a partial packet dropped",
                           CONN_ARGS(*this), length);
        return;
      }
      if (read_buf == nullptr) {
        read_buf.reset(new (std::nothrow) unsigned char[kOstsslReadBufferSize]);
        if (read_buf == nullptr) {
          OSTSSL_LOG(3, "ostssl::onRead", CONN_FMT " no memory for the read buffer",
                     CONN_ARGS(*this));
          return;
        }
      }
      // Less than one packet: below 20 bytes, or below its total length
      // (at most 65,535), so it fits.
      std::memcpy(read_buf.get(), data, length);
      read_buf_count = length;
      return;
    }
    // The buffer holds the start of a packet: add what completes it (its
    // header first when even that is missing), then cut it.
    unsigned char* buffer = read_buf.get();
    size_t target = kMinPacket;
    if (read_buf_count >= 4) {
      target = std::max(target, static_cast<size_t>(buffer[2]) << 8 | buffer[3]);
    }
    const size_t need = target > read_buf_count ? target - read_buf_count : 0;
    const size_t take = std::min(need, length);
    std::memcpy(buffer + read_buf_count, data, take);
    read_buf_count += take;
    data += take;
    length -= take;
    const size_t used = cut_packets(*this, buffer, read_buf_count, &broken);
    if (broken) break;
    if (used < read_buf_count) {
      // Still incomplete: the read ran out.
      if (used > 0) std::memmove(buffer, buffer + used, read_buf_count - used);
      read_buf_count -= used;
      if (length > 0 && need == 0) break;  // cannot happen: a cut always takes a whole packet
      continue;
    }
    read_buf_count = 0;
  }
  if (!broken) return;
  read_buf_count = 0;
  onSockClosed();
}

// ---------------------------------------------------------------------------
// Writing

int ostssl::ssl_write_packet(uint32_t remote_wan_ip, uint32_t local_ip, const unsigned char* data,
                             int length) {
  std::shared_ptr<ostssl> conn =
      sslCons().find(OstRemoteWANIPLocalIPPair{IPAddress(remote_wan_ip), IPAddress(local_ip)});
  if (conn == nullptr) {
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &remote_wan_ip, text, sizeof(text));
    OSTSSL_LOG(7, "ostssl::ssl_write_packet", "ssl connection element not found for ip [%s]", text);
    return -1;
  }
  int written = 0;
  conn->ssl_write_data(data, length, &written);
  return 0;
}

namespace {

// Appends a copy of the packet to the pending queue; false (counted, every
// 1000th logged) when that would pass the queue's limit. Mutex held.
bool queue_pending(ostssl& c, const unsigned char* data, int length) {
  const size_t n = static_cast<size_t>(length);
  if (c.pending_bytes + n > kOstsslPendingLimit) {
    if (c.pending_drop_count++ % kDropLogPeriod == 0) {
      OSTSSL_LOG(4, "ostssl::ssl_write_data",
                 CONN_FMT " pending queue full (%zu bytes), packet dropped, drops: %llu",
                 CONN_ARGS(c), c.pending_bytes,
                 static_cast<unsigned long long>(c.pending_drop_count));
    }
    return false;
  }
  c.pending.emplace_back(reinterpret_cast<const char*>(data), n);
  c.pending_bytes += n;
  return true;
}

}  // namespace

int ostssl::ssl_write_data(const unsigned char* data, int length, int* written) {
  int ignored = 0;
  if (written == nullptr) written = &ignored;
  *written = 0;
  if (data == nullptr || length < 0) {
    OSTSSL_LOG(3, "ostssl::ssl_write_data", "invalid params");
    return -1;
  }
  std::unique_lock<std::mutex> lock(mutex);
  if (closed.load() != 0) return 0;
  if (write_ready.load() == 0) {
    if (!queue_pending(*this, data, length)) return 0;
    if (++write_not_ready_count % write_not_ready_log_period == 0) {
      OSTSSL_LOG(7, "ostssl::ssl_write_data", "write not ready");
    }
    return 10035;
  }
  const int rc = ssl_write(data, length, written);
  if (rc != 10035) return rc;
  OSTSSL_LOG(7, "ostssl::ssl_write_data", "wrote %d bytes, reminder: %d", *written,
             length - *written);
  if (!queue_pending(*this, data, length)) return 0;
  write_ready.store(0);
  lock.unlock();
  // The wait thread puts the socket in its write set.
  data_pair().wakeupserver();
  return 0;
}

int ostssl::ssl_write(const unsigned char* data, int length, int* written) {
  const char* tag = "ostssl::ssl_write";
  if (ssl == nullptr || data == nullptr || written == nullptr) return -1;
  *written = 0;
  while (*written < length) {
    ERR_clear_error();
    errno = 0;
    const int rc = SSL_write(ssl, data + *written, length - *written);
    const int saved_errno = errno;
    if (rc > 0) {
      *written += rc;
      continue;
    }
    const int err = SSL_get_error(ssl, rc);
    switch (err) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
      case SSL_ERROR_WANT_X509_LOOKUP:
        OSTSSL_LOG(7, tag, "SSL_write: wouldblock, err: %d", err);
        return 10035;
      case SSL_ERROR_SSL:
      case SSL_ERROR_SYSCALL: {
        if (*written > 0) return 0;
        const uint32_t wsa = saved_errno != 0 ? platform::wsa_error_from_errno(saved_errno) : 0;
        if (wsa == platform::kWsaEwouldblock) return 10035;
        if (protocol == OSTSSL_PROTO_DTLS && wsa == platform::kWsaEmsgsize) {
          ROUTER_LOG_LIMITED(4, tag,
                             "SSL_write failed for ssl pair " CONN_FMT
                             " due to msg size %d is bigger than interface MTU",
                             CONN_ARGS(*this), length);
          return 0;
        }
        const unsigned long code = ERR_peek_last_error();
        OSTSSL_LOG(3, tag, "SSL_write failed for ssl pair " CONN_FMT ", err: %d, syserr: %d",
                   CONN_ARGS(*this), err, static_cast<int>(wsa));
        if (code != 0) {
          OSTSSL_LOG(3, tag, "SSL_write failed for ssl pair " CONN_FMT ", errStr: %s",
                     CONN_ARGS(*this), openssl_error_text().c_str());
        }
        return -1;
      }
      default:
        OSTSSL_LOG(3, tag, "SSL_write failed for ssl pair " CONN_FMT ", err: %d", CONN_ARGS(*this),
                   err);
        return -1;
    }
  }
  return 0;
}

bool ostssl::onWriteReady() {
  const char* tag = "ostssl::onWriteReady";
  std::unique_lock<std::mutex> lock(mutex);
  OSTSSL_LOG(7, tag, "Entering onWriteReady queue size %d", static_cast<int>(pending.size()));
  if (pending.empty()) {
    OSTSSL_LOG(7, tag, "Pending packet queue is empty");
    write_ready.store(1);
    return true;
  }
  int tried = 0;
  while (tried < kMaxWritesPerRound) {
    ++tried;
    const std::string& front = pending.front();
    int written = 0;
    const int rc = ssl_write(reinterpret_cast<const unsigned char*>(front.data()),
                             static_cast<int>(front.size()), &written);
    if (rc == 0) {
      pending_bytes -= front.size();
      pending.pop_front();
      if (pending.empty()) {
        OSTSSL_LOG(7, tag, "Pending packet queue is empty");
        write_ready.store(1);
        return true;
      }
      continue;
    }
    if (rc == 10035) {
      lock.unlock();
      data_pair().wakeupserver();
      OSTSSL_LOG(7, tag, "Exiting onWriteReady packet processed counter %d", tried);
      return true;
    }
    OSTSSL_LOG(3, tag, "ssl_write failed, err: %d", rc);
    return false;
  }
  OSTSSL_LOG(7, tag, "Exiting onWriteReady packet processed counter %d", tried);
  return true;
}

// ---------------------------------------------------------------------------
// Closing

void ostssl::onSockClosed() {
  int s;
  {
    // A tear-down on another thread marks the connection closed under the
    // same mutex: whichever comes first is the only one the listener hears.
    std::lock_guard<std::mutex> guard(mutex);
    if (closed.load() != 0) return;
    closed.store(1);
    s = sock;
    // Nothing will write them now.
    pending.clear();
    pending_bytes = 0;
  }
  OSTSSL_LOG(6, "ostssl::onSockClosed", "on socket [%d] close for pair " CONN_FMT, s,
             CONN_ARGS(*this));
  if (listener == nullptr) {
    OSTSSL_LOG(3, "ostssl::onSockClosed", "No listener registered for socket close event");
    ssl_cleanup();
    return;
  }
  if (listener->on_ostssl_sock_closed(&conn_info) < 0) ssl_cleanup();
}

// ---------------------------------------------------------------------------
// The wait thread

void ostssl::start_wait_thread() {
  ostssl_wait_guard& guard = wait_guard();
  {
    std::lock_guard<std::mutex> lock(guard.mutex);
    if (guard.running != 0 || guard.starting) return;
    guard.starting = true;
  }
  std::thread(&ostssl::ssl_wait).detach();
}

void ostssl::stop_wait_thread_for_testing() {
  ostssl_wait_guard& guard = wait_guard();
  std::unique_lock<std::mutex> lock(guard.mutex);
  if (guard.running == 0 && !guard.starting) return;
  wait_state().stop.store(true);
  while (guard.running != 0 || guard.starting) {
    lock.unlock();
    data_pair().wakeupserver();
    lock.lock();
    guard.cv.wait_for(lock, std::chrono::milliseconds(10));
  }
  wait_state().stop.store(false);
}

void ostssl::ssl_wait() {
  const char* tag = "ostssl::ssl_wait";
  ostssl_wait_guard& guard = wait_guard();
  {
    std::unique_lock<std::mutex> lock(guard.mutex);
    guard.cv.wait(lock, [&] { return guard.running == 0; });
    guard.running = -1;
    guard.starting = false;
  }
  WaitState& ws = wait_state();
  std::unique_ptr<unsigned char[]> buffer(new unsigned char[kOstsslReadChunk]());
  OSTSSL_LOG(6, tag, "ostssl::wait thread started...");
  SocketPair& pair = data_pair();
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<ostssl>> conns;    // conns[i] polls at fds[i + 1]
  std::vector<std::shared_ptr<ostssl>> invalid;  // open but without socket
  if (!pair.init("data")) {
    OSTSSL_LOG(3, tag, "Error in initializing data socket pair, cannot run ssl_wait thread");
    closeAllConns();
  } else {
    while (!ws.stop.load()) {
      fds.clear();
      conns.clear();
      invalid.clear();
      fds.push_back(pollfd{pair.read_socket(), POLLIN, 0});
      {
        ssl_conn_table& table = sslCons();
        std::lock_guard<std::recursive_mutex> tguard(table.mutex);
        for (auto it = table.table.begin(); it.live(); ++it) {
          const std::shared_ptr<ostssl>& c = it->value;
          if (c->closed.load() != 0) continue;
          int s;
          {
            std::lock_guard<std::mutex> cguard(c->mutex);
            s = c->sock;
          }
          if (s < 0) {
            OSTSSL_LOG(3, tag, "Invalid socket [%d] for " CONN_FMT ". ", s, CONN_ARGS(*c));
            invalid.push_back(c);
            continue;
          }
          short events = POLLIN;
          if (c->write_ready.load() == 0) events |= POLLOUT;
          fds.push_back(pollfd{s, events, 0});
          conns.push_back(c);
        }
      }
      for (const auto& c : invalid) c->onSockClosed();
      int n;
      do {
        n = poll(fds.data(), fds.size(), kPollTimeoutMs);
      } while (n < 0 && errno == EINTR);
      if (n < 0) {
        OSTSSL_LOG(3, tag, "select failed, closing all the connections, err: %d",
                   static_cast<int>(platform::wsa_error_from_errno(errno)));
        closeAllConns();
        pair.close();
        OSTSSL_LOG(6, tag, "ostssl::wait thread exiting!");
        break;
      }
      if (n == 0) {
        OSTSSL_LOG(6, tag, "No tunnel packet received, timeout");
        continue;
      }
      if (fds[0].revents != 0) {
        if (!pair.readfromserversocket()) {
          OSTSSL_LOG(3, tag,
                     "Signal received on data sock pair with error, we will close all "
                     "connections in ssl_tbl. ostssl::wait thread exiting!");
          closeAllConns();
          break;
        }
        OSTSSL_LOG(7, tag,
                   "Signal received on data sock pair, we will repopulating all sockets in "
                   "ssl_tbl");
      }
      for (size_t i = 1; i < fds.size(); ++i) {
        const short revents = fds[i].revents;
        if (revents == 0) continue;
        ostssl& c = *conns[i - 1];
        if (c.closed.load() != 0) continue;
        if ((revents & (POLLNVAL | POLLERR)) != 0) {
          c.onSockClosed();
          continue;
        }
        if ((revents & (POLLIN | POLLHUP)) != 0) {
          bool failed = false;
          bool got = false;
          for (int round = 0; round < kMaxReadsPerRound; ++round) {
            int read = 0;
            const int rc = c.ssl_read(buffer.get(), static_cast<int>(kOstsslReadChunk), &read);
            if (read > 0) {
              got = true;
              c.onRead(buffer.get(), static_cast<size_t>(read));
            }
            if (rc == -1) {
              OSTSSL_LOG(3, tag, "ssl_read failed, err: %d", c.last_ssl_error);
              failed = true;
              break;
            }
            // Records OpenSSL already decrypted do not show in poll().
            if (rc == 10035 || c.closed.load() != 0 || c.ssl_pending_bytes() <= 0) break;
          }
          // A hang-up with nothing left to read is the end of the connection.
          if (failed || ((revents & POLLHUP) != 0 && !got)) {
            c.onSockClosed();
            continue;
          }
        }
        if ((revents & POLLOUT) != 0 && c.closed.load() == 0 && !c.onWriteReady()) {
          c.onSockClosed();
        }
      }
    }
  }
  conns.clear();
  buffer.reset();
  std::lock_guard<std::mutex> lock(guard.mutex);
  guard.running = 0;
  guard.cv.notify_all();
}
