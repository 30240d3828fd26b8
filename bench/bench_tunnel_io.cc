// An established TLS connection over a local socket pair, 64- and 1400-byte
// packets, in the same run:
// - receive: ssl_read, the cutter and the post of every packet as a block
//   (a consumer thread releases them) against a bare SSL_read-and-discard
//   loop over the same records. The peer writes a batch of records into the
//   socket before each timed pass (untimed), so only the reading side is
//   measured; times are per packet.
// - send: ssl_write_packet (table look-up, connection mutex, SSL_write; the
//   wait thread finishes writes that would block) against a bare SSL_write
//   with a poll on would-block; a peer thread reads and discards.
// Targets: receive at least 0.9x of the baseline's speed, send 0.95x; the
// counter heap_allocs_per_packet of the warm receive path must be 0.
//
// Run as root for socket buffers large enough to hold a whole batch
// (SO_SNDBUFFORCE); otherwise batches are smaller.
#include <benchmark/benchmark.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/counting_new.h"
#include "bench/ratio_reporter.h"
#include "client/lib/cxLog/cxLog.h"
#include "ostgraphsvc/ostssl/ostssl.h"
#include "ostgraphsvc/ostssl/ostssl_tls_pair_testing.h"

namespace {

using ostssl_testing::Packet;
using ostssl_testing::TlsPair;

constexpr int kSocketBuffer = 48 << 20;
constexpr int kSendSocketBuffer = 512 << 20;
constexpr size_t kRecordBytes = 16384;

// One connection in sslCons with its peer, over big socket buffers.
struct Rig {
  explicit Rig(int buffer) : pair(std::make_unique<TlsPair>(0)) {
    for (int fd : {pair->client()->sock, pair->server_fd()}) {
      setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &buffer, sizeof(buffer));
      setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &buffer, sizeof(buffer));
    }
    pair->Name("10.7.0.1", "198.51.100.70", 0x1234);
    ostssl::sslCons().insert(pair->key(), pair->client());
  }
  ~Rig() { ostssl::sslCons().erase(pair->key()); }
  std::unique_ptr<TlsPair> pair;
};

// A record's worth of packets of `size` bytes.
std::vector<unsigned char> RecordOf(size_t size, size_t* packets) {
  std::vector<unsigned char> record;
  *packets = 0;
  while (record.size() + size <= kRecordBytes) {
    std::vector<unsigned char> p = Packet(size, static_cast<uint32_t>(*packets));
    record.insert(record.end(), p.begin(), p.end());
    ++*packets;
  }
  return record;
}

// Records per batch: what the socket buffers hold with room to spare.
int RecordsPerBatch(int fd) {
  int size = 0;
  socklen_t length = sizeof(size);
  getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, &length);
  return std::max(8, std::min(1000, size / 2 / static_cast<int>(kRecordBytes + 64)));
}

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 5000) > 0;
}

// `ring_blocks` 0: the transport's own ring of 4096 blocks.
void Receive(benchmark::State& state, bool ours, int32_t ring_blocks = 0) {
  const size_t size = static_cast<size_t>(state.range(0));
  // The benchmark reads the connection itself.
  ostssl::stop_wait_thread_for_testing();
  Rig rig(kSocketBuffer);
  std::shared_ptr<ostssl> conn = rig.pair->client();
  std::unique_ptr<QMsgBlockPool> small;
  if (ring_blocks > 0) {
    small = std::make_unique<QMsgBlockPool>(ring_blocks);
    ostssl::set_receive_ring_for_testing(small.get(), &g_qmsg_queue);
  }
  size_t per_record = 0;
  const std::vector<unsigned char> record = RecordOf(size, &per_record);
  const int records = RecordsPerBatch(conn->sock);
  std::atomic<bool> stop{false};
  std::atomic<uint64_t> consumed{0};
  std::thread consumer([&] {
    while (!stop.load(std::memory_order_relaxed)) {
      if (_QMSGBLOCK* b = g_qmsg_queue.wait_for(1000)) {
        qmsgblock_release(b);
        consumed.fetch_add(1, std::memory_order_relaxed);
      }
    }
  });
  std::vector<unsigned char> buffer(kOstsslReadChunk);
  long allocations = 0;
  uint64_t packets = 0;
  bool warm = false;
  for (auto _ : state) {
    for (int r = 0; r < records; ++r) rig.pair->ServerWrite(record.data(), record.size());
    const size_t want = static_cast<size_t>(records) * record.size();
    const long before = bench_heap_allocations();
    const auto start = std::chrono::steady_clock::now();
    size_t got = 0;
    while (got < want) {
      int n = 0;
      int rc;
      if (ours) {
        rc = conn->ssl_read(buffer.data(), static_cast<int>(buffer.size()), &n);
        if (n > 0) conn->onRead(buffer.data(), static_cast<size_t>(n));
      } else {
        n = SSL_read(conn->ssl, buffer.data(), static_cast<int>(buffer.size()));
        rc = n > 0 ? 0 : 10035;
        if (n < 0) n = 0;
      }
      got += static_cast<size_t>(n);
      if (rc == 10035 && !WaitReadable(conn->sock)) break;
      if (rc == -1) break;
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    if (warm) allocations += bench_heap_allocations() - before;
    warm = true;
    state.SetIterationTime(std::chrono::duration<double>(elapsed).count() /
                           static_cast<double>(records * per_record));
    packets += static_cast<uint64_t>(records) * per_record;
  }
  // Blocks still with the consumer are counted once it has them all.
  for (int i = 0; ours && i < 2000 && consumed.load() + conn->read_drop_count < packets; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  stop.store(true);
  consumer.join();
  ostssl::set_receive_ring_for_testing(nullptr, nullptr);
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["records_per_batch"] = records;
  if (ours) {
    state.counters["heap_allocs_per_packet"] =
        static_cast<double>(allocations) / static_cast<double>(packets);
    state.counters["dropped"] = static_cast<double>(conn->read_drop_count);
  }
}

void BM_ReceiveOurs(benchmark::State& state) { Receive(state, true); }
void BM_ReceiveBareSslRead(benchmark::State& state) { Receive(state, false); }
// For comparison only: the same path with a ring of 256 blocks, whose blocks
// stay in the cache (the transport's ring cycles through about 85 MB).
void BM_ReceiveOursRing256(benchmark::State& state) { Receive(state, true, 256); }

void Send(benchmark::State& state, bool ours) {
  const size_t size = static_cast<size_t>(state.range(0));
  // Buffers that hold a whole run, so that no reader runs beside the writer
  // (its wake-ups would cost the writer more than the write itself).
  Rig rig(kSendSocketBuffer);
  std::shared_ptr<ostssl> conn = rig.pair->client();
  // The wait thread finishes the writes that would block; it polls what is
  // in sslCons when it starts.
  ostssl::stop_wait_thread_for_testing();
  ostssl::start_wait_thread();
  const std::vector<unsigned char> packet = Packet(size, 1);
  const uint32_t wan = rig.pair->key().remote_wan_ip.addr();
  const uint32_t local = rig.pair->key().local_ip.addr();
  const int length = static_cast<int>(packet.size());
  for (auto _ : state) {
    if (ours) {
      ostssl::ssl_write_packet(wan, local, packet.data(), length);
      continue;
    }
    for (;;) {
      const int n = SSL_write(conn->ssl, packet.data(), length);
      if (n > 0) break;
      pollfd p{conn->sock, POLLOUT, 0};
      poll(&p, 1, 1000);
    }
  }
  // Read what was sent; what is still queued goes out meanwhile.
  std::string sink;
  uint64_t bytes = 0;
  for (int idle = 0; idle < 20;) {
    sink.clear();
    rig.pair->ServerRead(&sink, 10);
    bytes += sink.size();
    idle = sink.empty() && conn->write_ready.load() == 1 ? idle + 1 : 0;
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
  state.counters["lost"] = static_cast<double>(state.iterations()) * static_cast<double>(size) -
                           static_cast<double>(bytes);
  state.counters["queued_writes"] = static_cast<double>(conn->write_not_ready_count);
}

void BM_SendOurs(benchmark::State& state) { Send(state, true); }
void BM_SendBareSslWrite(benchmark::State& state) { Send(state, false); }

BENCHMARK(BM_ReceiveOurs)->Arg(64)->Arg(1400)->UseManualTime()->Iterations(40);
BENCHMARK(BM_ReceiveBareSslRead)->Arg(64)->Arg(1400)->UseManualTime()->Iterations(40);
BENCHMARK(BM_ReceiveOursRing256)->Arg(64)->Arg(1400)->UseManualTime()->Iterations(40);
BENCHMARK(BM_SendOurs)->Arg(64)->Arg(1400)->Iterations(50000);
BENCHMARK(BM_SendBareSslWrite)->Arg(64)->Arg(1400)->Iterations(50000);

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  cxLogEnabled = false;
  ostssl::connection_pair().init("connection");
  return bench::RunWithRatios(
      argc, argv,
      {{"BM_ReceiveOurs/64/iterations:40/manual_time",
        "BM_ReceiveBareSslRead/64/iterations:40/manual_time"},
       {"BM_ReceiveOurs/1400/iterations:40/manual_time",
        "BM_ReceiveBareSslRead/1400/iterations:40/manual_time"},
       {"BM_ReceiveOursRing256/64/iterations:40/manual_time",
        "BM_ReceiveBareSslRead/64/iterations:40/manual_time"},
       {"BM_ReceiveOursRing256/1400/iterations:40/manual_time",
        "BM_ReceiveBareSslRead/1400/iterations:40/manual_time"},
       {"BM_SendOurs/64/iterations:50000", "BM_SendBareSslWrite/64/iterations:50000"},
       {"BM_SendOurs/1400/iterations:50000", "BM_SendBareSslWrite/1400/iterations:50000"}});
}
