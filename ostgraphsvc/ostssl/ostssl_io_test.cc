// Established connections: the packet cutter driven with byte strings, the
// write path and the wait thread over TLS on local socket pairs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "ostgraphsvc/graph/elements/local/tunnel_writer.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/ostssl/ostssl_listener_recorder.h"
#include "ostgraphsvc/ostssl/ostssl_tls_pair_testing.h"
#include "platform/clock/clock.h"
#include "tests/support/started_log.h"

namespace {

using ostssl_testing::Packet;
using ostssl_testing::TlsPair;
using testing_support::StartedLog;
using Bytes = std::vector<unsigned char>;

constexpr uint32_t kPathId = 0x11223344;
constexpr uint64_t kTick = 987654321;
uint64_t FixedTick() { return kTick; }

size_t Count(const std::string& text, const std::string& needle) {
  size_t n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

Bytes Join(const std::vector<Bytes>& parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// A received block as the consumer would see it.
struct Seen {
  int32_t type;
  std::string tag;
  Bytes data;
  uint64_t tick;
};

Seen Take(_QMSGBLOCK* b) {
  Seen s{b->msgtype, qmsgblock_tag(b), Bytes(b->data, b->data + b->data_length), b->enqueue_tick};
  qmsgblock_release(b);
  return s;
}

// Plays the consumer from inside on_ostssl_read: each call must find the
// queue holding only the blocks of earlier packets (it drains them), which
// shows that the listener runs before its own block is posted.
class CutterListener final : public ostssl_listener {
 public:
  explicit CutterListener(QMsgQueue* queue) : queue_(queue) {}
  bool on_ostssl_read(ostssl_conn_info* info) override {
    ++reads;
    EXPECT_EQ(info->path_id, kPathId);
    Drain();
    EXPECT_EQ(blocks.size() + 1, static_cast<size_t>(reads)) << "posted before its callback";
    return true;
  }
  bool on_ostssl_closed(ostssl_conn_info*) override { return true; }
  bool on_ostssl_timeout(ostssl_conn_info*) override { return true; }
  bool on_ostssl_connect(ostssl_conn_info*) override { return true; }
  int on_ostssl_sock_closed(ostssl_conn_info*) override {
    ++sock_closed;
    return 0;
  }
  void Drain() {
    while (_QMSGBLOCK* b = queue_->wait_for(0)) blocks.push_back(Take(b));
  }

  int reads = 0;
  int sock_closed = 0;
  std::vector<Seen> blocks;

 private:
  QMsgQueue* queue_;
};

class CutterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ostssl::reset_for_testing();
    set_tick_source(FixedTick);
    ostssl::set_receive_ring_for_testing(&ring_, &queue_);
    listener_.blocks.clear();
    listener_.reads = 0;
    listener_.sock_closed = 0;
    conn_ = ostssl::create();
    conn_->protocol = OSTSSL_PROTO_TLS;
    conn_->conn_info.path_id = kPathId;
    conn_->listener = &listener_;
    conn_->local_addr = "10.1.1.1";
    conn_->remote_host = "203.0.113.9";
  }
  void TearDown() override {
    listener_.Drain();
    ostssl::reset_for_testing();
    set_tick_source(nullptr);
  }
  void Feed(const Bytes& b) {
    conn_->onRead(b.data(), b.size());
    listener_.Drain();
  }
  // The packets delivered so far, without their path id.
  std::vector<Bytes> Packets() const {
    std::vector<Bytes> out;
    for (const Seen& s : listener_.blocks) out.emplace_back(s.data.begin() + 4, s.data.end());
    return out;
  }

  QMsgBlockPool ring_{4};
  QMsgQueue queue_;
  CutterListener listener_{&queue_};
  std::shared_ptr<ostssl> conn_;
};

TEST_F(CutterTest, OnePacketMakesOneBlockWithPathIdFirst) {
  const Bytes p = Packet(1400, 1);
  Feed(p);
  ASSERT_EQ(listener_.blocks.size(), 1u);
  const Seen& s = listener_.blocks[0];
  EXPECT_EQ(s.type, QMSG_PKT_OVERLAY);
  EXPECT_EQ(s.tag, "ostoverlay");
  ASSERT_EQ(s.data.size(), 1404u);
  EXPECT_EQ(Bytes(s.data.begin(), s.data.begin() + 4), (Bytes{0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(Bytes(s.data.begin() + 4, s.data.end()), p);
  EXPECT_EQ(s.tick, kTick);
  EXPECT_EQ(listener_.reads, 1);
}

TEST_F(CutterTest, TlsStreamCases) {
  struct Case {
    const char* name;
    std::vector<Bytes> records;
    std::vector<Bytes> packets;
    std::vector<size_t> after;  // packets delivered after each record
  };
  const Bytes a = Packet(60, 2), b = Packet(1500, 3), big = Packet(65535, 4);
  std::vector<Bytes> forty;
  for (uint32_t i = 0; i < 40; ++i) forty.push_back(Packet(20 + (i * 97) % 1481, 10 + i));
  const Bytes b1(b.begin(), b.begin() + 700), b2(b.begin() + 700, b.end());
  const Bytes head19(a.begin(), a.begin() + 19), rest19(a.begin() + 19, a.end());
  std::vector<Bytes> big_records;
  for (size_t at = 0; at < big.size(); at += 16384) {
    big_records.emplace_back(big.begin() + at, big.begin() + std::min(big.size(), at + 16384));
  }
  const std::vector<Case> cases = {
      {"19 bytes wait for more", {head19, rest19}, {a}, {0, 1}},
      {"split over two records", {b1, b2}, {b}, {0, 1}},
      {"two in one record", {Join({a, b})}, {a, b}, {2}},
      {"forty in one record", {Join(forty)}, forty, {40}},
      {"tail joins the next record", {Join({a, b1}), Join({b2, a})}, {a, b, a}, {1, 3}},
      {"65535 bytes over four records", big_records, {big}, {0, 0, 0, 1}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    for (size_t i = 0; i < c.records.size(); ++i) {
      Feed(c.records[i]);
      EXPECT_EQ(listener_.blocks.size(), c.after[i]) << "after record " << i;
    }
    EXPECT_EQ(Packets(), c.packets);
    EXPECT_EQ(conn_->read_buf_count, 0u);
    EXPECT_EQ(listener_.sock_closed, 0);
  }
}

TEST_F(CutterTest, BusyBlockDropsOnlyThatPacket) {
  StartedLog log(0);
  // Every block of the ring is still with the consumer.
  std::vector<_QMSGBLOCK*> held;
  while (_QMSGBLOCK* b = ring_.take()) held.push_back(b);
  ASSERT_EQ(held.size(), 4u);
  const Bytes a = Packet(300, 5), b = Packet(900, 6);
  const Bytes b1(b.begin(), b.begin() + 100), b2(b.begin() + 100, b.end());
  Feed(Join({a, b1}));
  EXPECT_TRUE(listener_.blocks.empty());
  EXPECT_EQ(conn_->read_drop_count, 1u);
  EXPECT_EQ(conn_->read_buf_count, b1.size()) << "the next packet's start is kept";
  for (_QMSGBLOCK* h : held) qmsgblock_release(h);
  Feed(b2);
  EXPECT_EQ(Packets(), std::vector<Bytes>{b});
  EXPECT_EQ(Count(log.text(), "ostssl: no message blocks available for the queue"), 1u);
}

TEST_F(CutterTest, DtlsRecordsStandAlone) {
  conn_->protocol = OSTSSL_PROTO_DTLS;
  const Bytes a = Packet(100, 7), b = Packet(200, 8), c = Packet(300, 9);
  Feed(Join({a, b, Bytes(c.begin(), c.begin() + 30)}));
  EXPECT_EQ(Packets(), (std::vector<Bytes>{a, b}));
  EXPECT_EQ(conn_->read_drop_count, 1u);
  // The rest of c would have completed it on a stream; a datagram starts clean.
  Feed(Join({Bytes(c.begin() + 30, c.end())}));
  Feed(c);
  Bytes bad = Packet(40, 10);
  bad[0] = 0x65;
  Feed(Join({bad, a}));
  Feed(Bytes(a.begin(), a.begin() + 10));
  Feed(b);
  EXPECT_EQ(Packets(), (std::vector<Bytes>{a, b, c, b}));
  EXPECT_EQ(listener_.sock_closed, 0);
}

TEST_F(CutterTest, BrokenStreamIsReportedOnce) {
  struct Case {
    const char* name;
    unsigned char byte0;
    uint16_t total;
  };
  for (const Case& c : {Case{"length 19", 0x45, 19}, Case{"first byte 0x65", 0x65, 60}}) {
    SCOPED_TRACE(c.name);
    TearDown();
    SetUp();
    StartedLog log(0);
    Bytes bad = Packet(60, 11);
    bad[0] = c.byte0;
    bad[2] = static_cast<unsigned char>(c.total >> 8);
    bad[3] = static_cast<unsigned char>(c.total);
    Feed(Join({Packet(40, 12), bad}));
    Feed(Packet(40, 13));
    EXPECT_EQ(listener_.blocks.size(), 1u);
    EXPECT_EQ(listener_.sock_closed, 1);
    EXPECT_EQ(conn_->closed.load(), 1);
    EXPECT_EQ(Count(log.text(), "tunnel stream broken"), 1u);
  }
}

// ---------------------------------------------------------------------------
// Writing

class WriteTest : public ::testing::Test {
 protected:
  void SetUp() override {
    signal(SIGPIPE, SIG_IGN);
    ostssl::reset_for_testing();
    ASSERT_TRUE(ostssl::data_pair().init("data"));
    ASSERT_TRUE(pair_.ok());
    pair_.Name("10.2.0.1", "198.51.100.2", kPathId);
    ostssl::sslCons().insert(pair_.key(), pair_.client());
  }
  void TearDown() override { ostssl::reset_for_testing(); }

  int Write(const Bytes& p) {
    return ostssl::ssl_write_packet(pair_.key().remote_wan_ip.addr(), pair_.key().local_ip.addr(),
                                    p.data(), static_cast<int>(p.size()));
  }
  // Wake-ups waiting on the data pair.
  int Wakeups() {
    int n = 0;
    char byte;
    while (recv(ostssl::data_pair().read_socket(), &byte, 1, MSG_DONTWAIT) == 1) ++n;
    return n;
  }
  // Writes packets until one would block; their bytes.
  std::string FillUntilBlocked(uint32_t* seed) {
    std::string sent;
    std::shared_ptr<ostssl> c = pair_.client();
    while (c->write_ready.load() == 1) {
      Bytes p = Packet(1400, (*seed)++);
      EXPECT_EQ(Write(p), 0);
      sent.append(p.begin(), p.end());
      if (sent.size() > (64u << 20)) break;
    }
    return sent;
  }

  TlsPair pair_{4096};
};

TEST_F(WriteTest, WouldBlockQueuesAndTheWaitThreadSendsInOrder) {
  StartedLog log(0);
  cxLogThreshold = CXLOG_DEBUG;
  std::shared_ptr<ostssl> c = pair_.client();
  uint32_t seed = 0;
  std::string sent = FillUntilBlocked(&seed);
  ASSERT_EQ(c->write_ready.load(), 0);
  EXPECT_EQ(c->pending.size(), 1u);
  EXPECT_EQ(Wakeups(), 1);
  // Later writes queue behind it.
  for (int i = 0; i < 119; ++i) {
    Bytes p = Packet(1400, seed++);
    int written = -5;
    EXPECT_EQ(c->ssl_write_data(p.data(), static_cast<int>(p.size()), &written), 10035);
    sent.append(p.begin(), p.end());
  }
  EXPECT_EQ(c->pending.size(), 120u);
  EXPECT_EQ(c->pending_bytes, 120u * 1400);
  EXPECT_EQ(Count(log.text(), "write not ready"), 11u);
  EXPECT_EQ(Wakeups(), 0);

  // A reader drains the server side while the wait thread's step runs.
  std::atomic<bool> stop{false};
  std::string received;
  std::thread reader([&] {
    while (!stop.load()) pair_.ServerRead(&received, 20);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_TRUE(c->onWriteReady());
  EXPECT_GE(c->pending.size(), 70u) << "at most 50 packets per round";
  EXPECT_EQ(c->write_ready.load(), 0);
  for (int round = 0; round < 200 && c->write_ready.load() == 0; ++round) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(c->onWriteReady());
  }
  EXPECT_EQ(c->write_ready.load(), 1);
  EXPECT_TRUE(c->pending.empty());
  EXPECT_EQ(c->pending_bytes, 0u);
  for (int i = 0; i < 400 && received.size() < sent.size(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  stop.store(true);
  reader.join();
  EXPECT_EQ(received.size(), sent.size());
  EXPECT_TRUE(received == sent) << "bytes differ or out of order";
  EXPECT_NE(log.text().find("Pending packet queue is empty"), std::string::npos);
}

TEST_F(WriteTest, PendingQueueIsCappedAtFourMebibytes) {
  std::shared_ptr<ostssl> c = pair_.client();
  uint32_t seed = 0;
  FillUntilBlocked(&seed);
  ASSERT_EQ(c->write_ready.load(), 0);
  const Bytes p = Packet(1400, 77);
  int results_10035 = 0, results_0 = 0;
  for (int i = 0; i < 3100; ++i) {
    int written = 0;
    int rc = c->ssl_write_data(p.data(), static_cast<int>(p.size()), &written);
    results_10035 += rc == 10035;
    results_0 += rc == 0;
  }
  EXPECT_LE(c->pending_bytes, kOstsslPendingLimit);
  EXPECT_GT(c->pending_bytes + 1400, kOstsslPendingLimit);
  EXPECT_EQ(static_cast<size_t>(results_0), c->pending_drop_count);
  EXPECT_GT(results_0, 0);
  EXPECT_EQ(results_10035 + 1, static_cast<int>(c->pending.size()));
}

TEST_F(WriteTest, ClosedConnectionAndUnknownPair) {
  StartedLog log(0);
  cxLogThreshold = CXLOG_DEBUG;
  std::shared_ptr<ostssl> c = pair_.client();
  c->closed.store(1);
  EXPECT_EQ(Write(Packet(100, 1)), 0);
  EXPECT_TRUE(c->pending.empty());
  std::string got;
  pair_.ServerRead(&got, 50);
  EXPECT_TRUE(got.empty());

  const Bytes p = Packet(100, 2);
  EXPECT_EQ(
      ostssl::ssl_write_packet(ostssl_testing::Addr("192.0.2.77"), pair_.key().local_ip.addr(),
                               p.data(), static_cast<int>(p.size())),
      -1);
  EXPECT_NE(log.text().find("ssl connection element not found for ip [192.0.2.77]"),
            std::string::npos);
}

TEST_F(WriteTest, CaptureDrainWritesThroughTheInstalledWriter) {
  // init_openssl installs the transport as the drain's writer.
  ASSERT_EQ(ostssl::init_openssl(), 0);
  TunnelPacketWriter* writer = tunnel_packet_writer();
  ASSERT_EQ(writer, ostssl::tunnel_writer());
  const Bytes p = Packet(500, 3);
  EXPECT_EQ(writer->write_packet(pair_.key().remote_wan_ip, pair_.key().local_ip, p.data(),
                                 static_cast<uint32_t>(p.size())),
            0);
  std::string got;
  pair_.ServerRead(&got, 1000);
  EXPECT_EQ(got, std::string(p.begin(), p.end()));
  ostssl::reset_for_testing();
  EXPECT_EQ(tunnel_packet_writer(), nullptr);
}

// ---------------------------------------------------------------------------
// The wait thread

class WaitThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // As the service does: a write to a peer that has gone must fail, not
    // end the process.
    signal(SIGPIPE, SIG_IGN);
    ostssl::reset_for_testing();
    ostssl::set_receive_ring_for_testing(&ring_, &queue_);
    ostssl::register_listener(&recorder_);
  }
  void TearDown() override { ostssl::reset_for_testing(); }

  std::shared_ptr<ostssl> Add(TlsPair* pair, const char* local, uint32_t path_id) {
    EXPECT_TRUE(pair->ok());
    pair->Name(local, "198.51.100.7", path_id);
    pair->client()->listener = &recorder_;
    ostssl::sslCons().insert(pair->key(), pair->client());
    return pair->client();
  }
  void StartAndWait() {
    ostssl::start_wait_thread();
    for (int i = 0; i < 500 && Running() == 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ASSERT_NE(Running(), 0);
    // The thread makes the data pair before it polls.
    for (int i = 0; i < 500 && ostssl::data_pair().read_socket() < 0; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  }
  static int Running() {
    std::lock_guard<std::mutex> lock(ostssl::wait_guard().mutex);
    return ostssl::wait_guard().running;
  }
  // The next block's packet and path id, waiting up to 5 s.
  bool NextBlock(Bytes* packet, uint32_t* path_id) {
    _QMSGBLOCK* b = queue_.wait_for(5000000);
    if (b == nullptr) return false;
    Seen s = Take(b);
    *path_id = static_cast<uint32_t>(s.data[0]) | s.data[1] << 8 | s.data[2] << 16 |
               static_cast<uint32_t>(s.data[3]) << 24;
    packet->assign(s.data.begin() + 4, s.data.end());
    return true;
  }
  size_t SockClosedCalls(uint32_t path_id) {
    size_t n = 0;
    for (const auto& call : recorder_.calls()) {
      n += call.op == ostssl_listener_recorder::Op::kSockClosed && call.path_id == path_id;
    }
    return n;
  }
  template <typename F>
  static bool Eventually(F f) {
    for (int i = 0; i < 1000; ++i) {
      if (f()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return f();
  }

  // More blocks than any test sends, so that a slow consumer drops nothing.
  QMsgBlockPool ring_{512};
  QMsgQueue queue_;
  ostssl_listener_recorder recorder_;
};

TEST_F(WaitThreadTest, SecondStartWaitsOnTheGuard) {
  StartAndWait();
  std::atomic<bool> second_done{false};
  std::thread second([&] {
    ostssl::ssl_wait();
    second_done.store(true);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_FALSE(second_done.load());
  ostssl::start_wait_thread();  // one runs: starts none
  while (!second_done.load()) ostssl::stop_wait_thread_for_testing();
  second.join();
  EXPECT_EQ(Running(), 0);
}

TEST_F(WaitThreadTest, ReadsPacketsAndDrainsPendingWrites) {
  TlsPair pair(8192);
  std::shared_ptr<ostssl> c = Add(&pair, "10.3.0.1", 0xabcd);
  StartAndWait();
  // Several packets per record, and records OpenSSL holds beyond one read.
  std::vector<Bytes> sent;
  for (uint32_t i = 0; i < 300; ++i) sent.push_back(Packet(20 + (i * 131) % 1481, i));
  std::thread writer([&] {
    for (size_t i = 0; i < sent.size(); i += 5) {
      Bytes record = Join({sent[i], sent[i + 1], sent[i + 2], sent[i + 3], sent[i + 4]});
      EXPECT_TRUE(pair.ServerWrite(record.data(), record.size()));
    }
  });
  for (const Bytes& expected : sent) {
    Bytes got;
    uint32_t path_id = 0;
    ASSERT_TRUE(NextBlock(&got, &path_id));
    EXPECT_EQ(path_id, 0xabcdu);
    ASSERT_EQ(got, expected) << "drops: " << c->read_drop_count;
  }
  writer.join();
  // Writes that block are finished by the wait thread.
  uint32_t seed = 1000;
  std::string out;
  while (c->write_ready.load() == 1) {
    Bytes p = Packet(1400, seed++);
    ostssl::ssl_write_packet(pair.key().remote_wan_ip.addr(), pair.key().local_ip.addr(), p.data(),
                             static_cast<int>(p.size()));
    out.append(p.begin(), p.end());
  }
  for (int i = 0; i < 200; ++i) {
    Bytes p = Packet(1400, seed++);
    ostssl::ssl_write_packet(pair.key().remote_wan_ip.addr(), pair.key().local_ip.addr(), p.data(),
                             static_cast<int>(p.size()));
    out.append(p.begin(), p.end());
  }
  std::string in;
  for (int i = 0; i < 1000 && in.size() < out.size(); ++i) pair.ServerRead(&in, 10);
  EXPECT_TRUE(in == out);
  EXPECT_TRUE(Eventually([&] { return c->write_ready.load() == 1; }));
}

TEST_F(WaitThreadTest, InvalidDescriptorEndsOnlyItsConnection) {
  TlsPair one, two;
  std::shared_ptr<ostssl> a = Add(&one, "10.4.0.1", 1);
  std::shared_ptr<ostssl> b = Add(&two, "10.4.0.2", 2);
  StartAndWait();
  // A descriptor closed behind the transport's back shows as POLLNVAL.
  close(a->sock);
  ostssl::data_pair().wakeupserver();
  EXPECT_TRUE(Eventually([&] { return SockClosedCalls(1) == 1; }));
  EXPECT_EQ(a->closed.load(), 1);
  const Bytes p = Packet(200, 1);
  ASSERT_TRUE(two.ServerWrite(p.data(), p.size()));
  Bytes got;
  uint32_t path_id = 0;
  ASSERT_TRUE(NextBlock(&got, &path_id));
  EXPECT_EQ(path_id, 2u);
  EXPECT_EQ(got, p);
  EXPECT_EQ(SockClosedCalls(2), 0u);
  EXPECT_EQ(b->closed.load(), 0);
  ostssl::stop_wait_thread_for_testing();
  {
    std::lock_guard<std::mutex> lock(a->mutex);
    a->sock = -1;  // already closed above
  }
}

TEST_F(WaitThreadTest, PeerCloseAndResetReachTheListenerOnce) {
  // close_notify over a socket pair; the listener's negative answer releases
  // the TLS state.
  recorder_.set_sock_closed_answer(-1);
  TlsPair notify;
  std::shared_ptr<ostssl> a = Add(&notify, "10.5.0.1", 11);
  // A TCP reset over loopback.
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  socklen_t length = sizeof(addr);
  getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
  int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  int server = accept(listener, nullptr, nullptr);
  close(listener);
  TlsPair reset(client, server);
  std::shared_ptr<ostssl> b = Add(&reset, "10.5.0.2", 12);
  StartAndWait();

  SSL_shutdown(notify.server());
  reset.ResetServer();
  EXPECT_TRUE(Eventually([&] { return SockClosedCalls(11) == 1 && SockClosedCalls(12) == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_EQ(SockClosedCalls(11), 1u);
  EXPECT_EQ(SockClosedCalls(12), 1u);
  // The negative answer released the TLS state (just after the call).
  EXPECT_TRUE(Eventually([&] {
    std::lock_guard<std::mutex> lock(a->mutex);
    return a->ssl == nullptr && a->sock == -1;
  }));
}

TEST_F(WaitThreadTest, ClosedConnectionIsNotPolled) {
  TlsPair pair;
  std::shared_ptr<ostssl> c = Add(&pair, "10.6.0.1", 21);
  c->closed.store(1);
  StartAndWait();
  const Bytes p = Packet(100, 1);
  ASSERT_TRUE(pair.ServerWrite(p.data(), p.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int unread = 0;
  ioctl(c->sock, FIONREAD, &unread);
  EXPECT_GT(unread, 0);
  EXPECT_EQ(queue_.wait_for(0), nullptr);
}

}  // namespace
