#include "client/lib/cxLog/cxPktDump.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "client/lib/cxLog/cxFileUtils.h"
#include "tests/support/started_log.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing_support::ReadFile;
using testing_support::WriteFile;

using Bytes = std::vector<uint8_t>;

bool WaitUntil(const std::function<bool()>& done) {
  auto end = std::chrono::steady_clock::now() + 20s;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::string Le32(uint32_t v) {
  return {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16),
          static_cast<char>(v >> 24)};
}
uint32_t ReadLe32(const std::string& s, size_t at) {
  return static_cast<uint8_t>(s[at]) | static_cast<uint8_t>(s[at + 1]) << 8 |
         static_cast<uint8_t>(s[at + 2]) << 16 |
         static_cast<uint32_t>(static_cast<uint8_t>(s[at + 3])) << 24;
}

std::string GlobalHeader(uint32_t snap) {
  return std::string("\xd4\xc3\xb2\xa1\x02\x00\x04\x00", 8) + Le32(0) + Le32(0) + Le32(snap) +
         Le32(101);
}

std::string Text(const Bytes& b, size_t n) { return std::string(b.begin(), b.begin() + n); }

// An IPv4/UDP packet from 10.0.0.1:1000 to 10.0.0.2:2000 of `total` bytes.
Bytes Udp(size_t total, uint16_t id) {
  Bytes p(total);
  for (size_t i = 28; i < total; ++i) p[i] = static_cast<uint8_t>(i * 7 + id);
  const uint8_t ip[20] = {0x45,
                          0,
                          static_cast<uint8_t>(total >> 8),
                          static_cast<uint8_t>(total),
                          static_cast<uint8_t>(id >> 8),
                          static_cast<uint8_t>(id),
                          0,
                          0,
                          64,
                          17,
                          0,
                          0,
                          10,
                          0,
                          0,
                          1,
                          10,
                          0,
                          0,
                          2};
  std::copy(ip, ip + 20, p.begin());
  uint32_t sum = 0;
  for (int i = 0; i < 20; i += 2) sum += p[i] << 8 | p[i + 1];
  while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
  p[10] = static_cast<uint8_t>(~sum >> 8);
  p[11] = static_cast<uint8_t>(~sum);
  size_t udp = total - 20;
  const uint8_t ports[6] = {
      0x03, 0xE8, 0x07, 0xD0, static_cast<uint8_t>(udp >> 8), static_cast<uint8_t>(udp)};
  std::copy(ports, ports + 6, p.begin() + 20);
  return p;
}

unsigned ModeOf(const std::string& path) {
  struct stat st = {};
  ::stat(path.c_str(), &st);
  return st.st_mode & 0777;
}

// Output of a shell command, byte for byte.
std::string CommandOutput(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buf[4096];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, pipe)) > 0;) out.append(buf, n);
  ::pclose(pipe);
  return out;
}

class CxPktDumpTest : public ::testing::Test {
 protected:
  void TearDown() override {
    cx_pktdump_writer().stopDump();
    cx_pktdump_close();
    cx_pktdump_queued = false;
    cx_pktdump_rotation_file().waitForArchiveRuns();
  }

  std::string Folder() const { return log_.root().path() + "/var/log/Corvex/pellar/Logs/"; }
  std::string Capture() const { return Folder() + "tarnpktdump.pcap"; }

  // One capture as the packet-capture command runs it: flag, start, pushes,
  // then stop once the worker has written everything.
  void CaptureThroughWriter(const std::vector<Bytes>& packets, int snap) {
    cx_pktdump_queued = true;
    ASSERT_TRUE(cx_pktdump_writer().startDump(Capture(), snap));
    for (const Bytes& p : packets) {
      ASSERT_TRUE(cx_pktdump_writer().pushData(p.data(), static_cast<uint16_t>(p.size())));
    }
    ASSERT_TRUE(WaitUntil([] { return cx_pktdump_writer().pendingBytes() == 0; }));
    ASSERT_TRUE(cx_pktdump_uninit());
  }

  testing_support::StartedLog log_{0};
};

TEST_F(CxPktDumpTest, CaptureFileHoldsExactlyTheHeaderAndTheCutRecord) {
  struct Case {
    int snap;
    size_t length;
    uint32_t headerSnap;
    uint32_t captured;
  } cases[] = {
      {0, 60, 65535, 60},
      {96, 1500, 96, 96},
      {96, 60, 96, 60},
      {70000, 3000, 65535, 3000},
  };
  for (const Case& c : cases) {
    Bytes packet = Udp(c.length, 1);
    uint32_t before = static_cast<uint32_t>(std::time(nullptr));
    CaptureThroughWriter({packet}, c.snap);
    std::string file = ReadFile(Capture());
    ASSERT_EQ(file.size(), 24 + 16 + c.captured) << c.snap << "/" << c.length;
    EXPECT_EQ(file.substr(0, 24), GlobalHeader(c.headerSnap));
    EXPECT_GE(ReadLe32(file, 24), before);
    EXPECT_LE(ReadLe32(file, 24), static_cast<uint32_t>(std::time(nullptr)));
    EXPECT_EQ(ReadLe32(file, 28) % 1000, 0u);
    EXPECT_EQ(ReadLe32(file, 32), c.captured);
    EXPECT_EQ(ReadLe32(file, 36), c.length);
    EXPECT_EQ(file.substr(40), Text(packet, c.captured));
    EXPECT_EQ(ModeOf(Capture()), 0600u);
  }
}

TEST_F(CxPktDumpTest, PastTheLimitTheNextRecordStartsAFileWithItsOwnHeader) {
  ASSERT_TRUE(cx_pktdump_init(Capture(), 0));
  Bytes p1 = Udp(60, 1), p2 = Udp(60, 2), p3 = Udp(60, 3);
  ASSERT_TRUE(cx_pktdump_write(p1.data(), 60));
  // Counted bytes stand in for the 100 MiB a real capture would write.
  EXPECT_FALSE(cx_pktdump_check_rotation(kCxPktDumpMaxFileSize - 60));
  EXPECT_FALSE(cx_pktdump_check_rotation(60));  // exactly at the limit
  ASSERT_TRUE(cx_pktdump_write(p2.data(), 60));
  EXPECT_TRUE(cx_pktdump_check_rotation(60));
  ASSERT_TRUE(cx_pktdump_write(p3.data(), 60));
  cx_pktdump_rotation_file().waitForArchiveRuns();

  std::string full = ReadFile(Folder() + "tarnpktdump.1.pcap");
  ASSERT_EQ(full.size(), 24u + 2 * 76);
  EXPECT_EQ(full.substr(0, 24), GlobalHeader(65535));
  EXPECT_EQ(full.substr(40, 60), Text(p1, 60));
  EXPECT_EQ(full.substr(116, 60), Text(p2, 60));
  std::string fresh = ReadFile(Capture());
  ASSERT_EQ(fresh.size(), 24u + 76);
  EXPECT_EQ(fresh.substr(0, 24), GlobalHeader(65535));
  EXPECT_EQ(fresh.substr(40), Text(p3, 60));
  EXPECT_EQ(ModeOf(Capture()), 0600u);
  EXPECT_FALSE(cxFileExists(Capture() + ".old.pcap"));
}

TEST_F(CxPktDumpTest, EachStartMovesThePreviousCaptureToArchiveOne) {
  WriteFile(Capture(), "left from before");
  ::chmod(Capture().c_str(), 0644);
  CaptureThroughWriter({Udp(60, 1)}, 0);
  EXPECT_EQ(ReadFile(Folder() + "tarnpktdump.1.pcap"), "left from before");
  EXPECT_EQ(ModeOf(Capture()), 0600u);
  std::string first = ReadFile(Capture());

  CaptureThroughWriter({Udp(70, 2)}, 0);
  std::string second = ReadFile(Capture());
  CaptureThroughWriter({Udp(80, 3)}, 0);
  EXPECT_EQ(ReadFile(Folder() + "tarnpktdump.2.pcap"), first);
  EXPECT_EQ(ReadFile(Folder() + "tarnpktdump.1.pcap"), second);
  EXPECT_EQ(ReadFile(Capture()).size(), 24u + 16 + 80);
  // A capture's byte count starts again with its new file.
  EXPECT_FALSE(cx_pktdump_check_rotation(1));
}

TEST_F(CxPktDumpTest, RecordsAreRefusedOnceClosedAndNeverAnnounceMoreThanGiven) {
  ASSERT_TRUE(cx_pktdump_init(Capture(), 0));
  Bytes p = Udp(60, 1);
  cxPktDumpRecordHeader header{1700000000, 123000, 100, 1500};  // claims more than handed over
  ASSERT_TRUE(cx_pktdump_write(p.data(), 60, &header));
  std::string file = ReadFile(Capture());
  ASSERT_EQ(file.size(), 24u + 16 + 60);
  EXPECT_EQ(file.substr(24, 16), Le32(1700000000) + Le32(123000) + Le32(60) + Le32(1500));

  EXPECT_TRUE(cx_pktdump_close());
  EXPECT_FALSE(cx_pktdump_write(p.data(), 60));
  EXPECT_FALSE(cx_pktdump_check_rotation(kCxPktDumpMaxFileSize + 1));
  EXPECT_EQ(ReadFile(Capture()), file);
}

TEST_F(CxPktDumpTest, UninitStopsTheWriterOnlyWhenTheCaptureIsQueued) {
  Bytes p = Udp(60, 1);
  // Flag clear: the capture is closed at once and a running writer is left alone.
  ASSERT_TRUE(cx_pktdump_writer().startDump(Capture(), 0));
  ASSERT_TRUE(WaitUntil([&] { return cx_pktdump_write(p.data(), 60); }));  // opened by the worker
  EXPECT_TRUE(cx_pktdump_uninit());
  EXPECT_FALSE(cx_pktdump_write(p.data(), 60));
  EXPECT_FALSE(cx_pktdump_writer().stopped());
  cx_pktdump_writer().stopDump();

  // Flag set: the writer stops, and its worker closes the capture.
  cx_pktdump_queued = true;
  ASSERT_TRUE(cx_pktdump_writer().startDump(Capture(), 0));
  ASSERT_TRUE(WaitUntil([&] { return ReadFile(Capture()).size() == 24; }));
  EXPECT_TRUE(cx_pktdump_uninit());
  EXPECT_TRUE(cx_pktdump_writer().stopped());
  EXPECT_FALSE(cx_pktdump_write(p.data(), 60));
  EXPECT_THAT(log_.text(), HasSubstr(" vedororore pktDump ==>cx_pktdump_uninit\n"
                                     " vedororore cxLogAsync [CX]: ==> cxDumpAsync::stopDump\n"));
}

TEST_F(CxPktDumpTest, UncreatableFileLeavesTheCaptureRefusingRecords) {
  std::string path = Folder() + "missing/tarnpktdump.pcap";
  testing::internal::CaptureStderr();
  EXPECT_TRUE(cx_pktdump_init(path, 0));
  EXPECT_THAT(testing::internal::GetCapturedStderr(),
              HasSubstr("Failed to open pktdump file: No such file or directory\n"));
  Bytes p = Udp(60, 1);
  EXPECT_FALSE(cx_pktdump_write(p.data(), 60));
  EXPECT_FALSE(cx_pktdump_check_rotation(kCxPktDumpMaxFileSize + 1));
}

TEST_F(CxPktDumpTest, TcpdumpReadsEveryPacketAndCopiesTheFileByteForByte) {
  ASSERT_EQ(std::system("command -v tcpdump >/dev/null"), 0) << "tcpdump is not installed";
  std::vector<Bytes> packets;
  for (uint16_t i = 0; i < 1000; ++i) packets.push_back(Udp(28 + i % 1400, i));
  CaptureThroughWriter(packets, 0);
  std::string listing = CommandOutput("tcpdump -n -r '" + Capture() + "' 2>/dev/null");
  EXPECT_EQ(std::count(listing.begin(), listing.end(), '\n'), 1000);
  EXPECT_THAT(listing, HasSubstr("IP 10.0.0.1.1000 > 10.0.0.2.2000: UDP, length 0\n"));

  CaptureThroughWriter({Udp(3000, 7)}, 0);
  std::string file = ReadFile(Capture());
  ASSERT_EQ(file.size(), 24u + 16 + 3000);
  EXPECT_EQ(CommandOutput("tcpdump -r '" + Capture() + "' -w - 2>/dev/null"), file);
}

}  // namespace
