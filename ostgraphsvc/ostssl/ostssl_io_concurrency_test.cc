// For 10 s the packet thread writes to four established connections while
// the wait thread reads them (their peers send too), a consumer releases the
// blocks, and a third thread tears one connection down and adds another.
// Meant for ThreadSanitizer: the connection mutexes, the table, the pending
// queues, the write-ready and closed flags and the ring all meet here.
// Connections run over local socket pairs; no root needed.
#include <openssl/ssl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/ostssl/ostssl_tls_pair_testing.h"
#include "tests/support/started_log.h"

namespace {

using ostssl_testing::Packet;
using ostssl_testing::TlsPair;

// Counts what it hears; reads no field that a tear-down writes.
class CountingListener final : public ostssl_listener {
 public:
  bool on_ostssl_read(ostssl_conn_info*) override {
    reads.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  bool on_ostssl_closed(ostssl_conn_info*) override {
    closes.fetch_add(1, std::memory_order_relaxed);
    return true;
  }
  bool on_ostssl_timeout(ostssl_conn_info*) override { return true; }
  bool on_ostssl_connect(ostssl_conn_info*) override { return true; }
  int on_ostssl_sock_closed(ostssl_conn_info*) override {
    sock_closed.fetch_add(1, std::memory_order_relaxed);
    return -1;
  }

  std::atomic<uint64_t> reads{0};
  std::atomic<uint64_t> closes{0};
  std::atomic<uint64_t> sock_closed{0};
};

TEST(OstsslIoConcurrencyTest, WritesReadsAndTearDownsTogether) {
  signal(SIGPIPE, SIG_IGN);
  testing_support::StartedLog log(0);
  ostssl::reset_for_testing();
  // Tear-downs wake the connect thread's pair (none runs here).
  ASSERT_TRUE(ostssl::connection_pair().init("connection"));
  QMsgBlockPool ring(512);
  QMsgQueue queue;
  ostssl::set_receive_ring_for_testing(&ring, &queue);
  CountingListener listener;
  ostssl::register_listener(&listener);

  // Slot i holds a connection whose peer side the peer thread serves; the
  // tear-down thread replaces slots under `slots_mutex`.
  struct Slot {
    std::unique_ptr<TlsPair> pair;
    std::atomic<uint64_t> key{0};  // remote WAN << 32 | local, for the writer
  };
  std::mutex slots_mutex;
  Slot slots[4];
  uint32_t next_local = 1;
  auto make = [&](Slot* slot) {
    auto pair = std::make_unique<TlsPair>(16384);
    EXPECT_TRUE(pair->ok());
    const std::string local = "10.9.0." + std::to_string(next_local++ % 250 + 1);
    pair->Name(local, "198.51.100.9", next_local);
    pair->client()->listener = &listener;
    ostssl::sslCons().insert(pair->key(), pair->client());
    slot->key.store(static_cast<uint64_t>(pair->key().remote_wan_ip.addr()) << 32 |
                    pair->key().local_ip.addr());
    slot->pair = std::move(pair);
  };
  for (Slot& s : slots) make(&s);
  ostssl::start_wait_thread();

  std::atomic<bool> stop{false};
  std::atomic<uint64_t> written{0}, consumed{0}, peer_bytes{0};

  std::thread consumer([&] {
    while (!stop.load()) {
      if (_QMSGBLOCK* b = queue.wait_for(10000)) {
        EXPECT_EQ(b->msgtype, QMSG_PKT_OVERLAY);
        EXPECT_GE(b->data_length, 24u);
        qmsgblock_release(b);
        consumed.fetch_add(1, std::memory_order_relaxed);
      }
    }
  });
  std::thread packet_thread([&] {
    const std::vector<unsigned char> p = Packet(600, 1);
    while (!stop.load()) {
      for (Slot& s : slots) {
        const uint64_t key = s.key.load();
        if (ostssl::ssl_write_packet(static_cast<uint32_t>(key >> 32), static_cast<uint32_t>(key),
                                     p.data(), static_cast<int>(p.size())) == 0) {
          written.fetch_add(1, std::memory_order_relaxed);
        }
      }
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  std::thread peers([&] {
    std::vector<unsigned char> record;
    for (uint32_t i = 0; i < 3; ++i) {
      const std::vector<unsigned char> p = Packet(100 + i * 400, i);
      record.insert(record.end(), p.begin(), p.end());
    }
    while (!stop.load()) {
      {
        std::lock_guard<std::mutex> lock(slots_mutex);
        for (Slot& s : slots) {
          std::string in;
          s.pair->ServerRead(&in, 0);
          peer_bytes.fetch_add(in.size(), std::memory_order_relaxed);
          SSL_write(s.pair->server(), record.data(), static_cast<int>(record.size()));
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  std::thread churn([&] {
    uint32_t round = 0;
    while (!stop.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      std::lock_guard<std::mutex> lock(slots_mutex);
      Slot& s = slots[round++ % 4];
      ostssl::ssl_deprovision_tunnel_to_peer(s.pair->key());
      make(&s);
      ostssl::data_pair().wakeupserver();
    }
  });

  std::this_thread::sleep_for(std::chrono::seconds(10));
  stop.store(true);
  churn.join();
  peers.join();
  packet_thread.join();
  ostssl::stop_wait_thread_for_testing();
  consumer.join();
  while (_QMSGBLOCK* b = queue.wait_for(0)) qmsgblock_release(b);

  EXPECT_GT(written.load(), 1000u);
  EXPECT_GT(consumed.load(), 1000u);
  EXPECT_GT(peer_bytes.load(), 100000u);
  EXPECT_GE(listener.closes.load(), 50u);
  EXPECT_EQ(ostssl::sslCons().size(), 4u);
  ostssl::reset_for_testing();
  for (Slot& s : slots) s.pair.reset();
}

}  // namespace
