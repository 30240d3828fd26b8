// The packet path's share of a capture: a burst of 10,000 pushes of
// 1,500-byte packets into the "CX" writer while its worker writes the capture
// file, against malloc, memcpy and free of the same bytes. Between bursts the
// clock stops until the worker has written everything.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "bench/ratio_reporter.h"
#include "client/lib/cxLog/cxLog.h"
#include "client/lib/cxLog/cxPktDump.h"

namespace {

constexpr int kBurst = 10000;
constexpr size_t kPacket = 1500;

std::string g_root;

std::vector<uint8_t> Packet() {
  std::vector<uint8_t> p(kPacket);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i);
  return p;
}

void BM_PushData(benchmark::State& state) {
  std::vector<uint8_t> packet = Packet();
  cxDumpAsync& writer = cx_pktdump_writer();
  cx_pktdump_queued = true;
  if (!writer.startDump(g_root + "/tarnpktdump.pcap", 0)) {
    state.SkipWithError("capture did not start");
    return;
  }
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) writer.pushData(packet.data(), kPacket);
    state.PauseTiming();
    while (writer.pendingBytes() != 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
    state.ResumeTiming();
  }
  if (writer.dropped() != 0) state.SkipWithError("packets were dropped");
  cx_pktdump_uninit();
}
BENCHMARK(BM_PushData);

void BM_MallocCopyFree(benchmark::State& state) {
  std::vector<uint8_t> packet = Packet();
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) {
      void* copy = std::malloc(kPacket);
      benchmark::DoNotOptimize(copy);
      std::memcpy(copy, packet.data(), kPacket);
      benchmark::ClobberMemory();
      std::free(copy);
    }
  }
}
BENCHMARK(BM_MallocCopyFree);

}  // namespace

int main(int argc, char** argv) {
  char pattern[] = "/tmp/dovadod-bench-XXXXXX";
  g_root = ::mkdtemp(pattern);
  ::setenv("DOVADOD_ROOT", g_root.c_str(), 1);
  cxLogProcessTag = "vedororore";
  if (!cxLogInit("cxtarndebuglog", "cxtarndebuglog_old")) return 1;

  int rc = bench::RunWithRatios(argc, argv, {{"BM_PushData", "BM_MallocCopyFree"}});
  cx_pktdump_rotation_file().waitForArchiveRuns();
  cxLogShutdown();
  std::filesystem::remove_all(g_root);
  return rc;
}
