#include "ostgraphsvc/graph/elements/ip/tcpmssfix.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "platform/fs/paths.h"
#include "tests/support/graph_harness.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

std::string Graph(const std::string& args) {
  return "src :: TestSource; sink :: TestSink; src -> m :: OstrelTCPMSSFix(" + args + ") -> sink;";
}

// A TCP segment with the given flags and options (padded to 4 bytes).
std::vector<uint8_t> Segment(uint8_t flags, std::vector<uint8_t> options) {
  while (options.size() % 4) options.push_back(0);
  PacketSpec shape;
  shape.tcp_flags = flags;
  shape.payload = options.size() + 10;
  std::vector<uint8_t> b = BuildIPv4(shape);
  std::copy(options.begin(), options.end(), b.begin() + 40);
  b[32] = static_cast<uint8_t>((20 + options.size()) / 4 << 4);
  recompute_checksums(b.data(), static_cast<uint32_t>(b.size()));
  return b;
}

const std::vector<uint8_t> kMSS1460 = {2, 4, 0x05, 0xB4};

std::vector<uint8_t> Through(GraphHarness& h, Packet* p) {
  h.Push("src", p);
  Packet* out = h.Take("sink", 0);
  EXPECT_NE(out, nullptr);
  if (out == nullptr) return {};
  std::string why;
  EXPECT_TRUE(ChecksumsValid(out, &why)) << why;
  std::vector<uint8_t> b(out->network_header(), out->end_data());
  out->release();
  return b;
}

uint16_t MSS(const std::vector<uint8_t>& b, size_t at = 42) {
  return static_cast<uint16_t>(b[at] << 8 | b[at + 1]);
}

TEST(OstrelTCPMSSFixTest, ClampsTheMSSToTheMTULessForty) {
  struct Case {
    uint16_t mtu_anno;
    uint16_t mss;
    uint16_t expect;
  } cases[] = {
      {1300, 1460, 1260},
      {1300, 1200, 1200},
      {1300, 1260, 1260},
      {0, 1460, 1360},
      // Modulo 65536: an MTU below 40 clamps only huge values.
      {20, 1460, 1460},
      {20, 65530, 65516},
  };
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("1400"))) << h.messages();
  for (const Case& c : cases) {
    Packet* p = MakePacket(
        Segment(0x02, {2, 4, static_cast<uint8_t>(c.mss >> 8), static_cast<uint8_t>(c.mss)}));
    p->set_mtu_anno(c.mtu_anno);
    EXPECT_EQ(MSS(Through(h, p)), c.expect) << c.mtu_anno << " " << c.mss;
  }
}

TEST(OstrelTCPMSSFixTest, WindowScaleOnlyOnInitialSynsAndNeverAdded) {
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("1300, WINDOW_SCALING 9"))) << h.messages();
  // NOP first puts the MSS value at an odd offset.
  const std::vector<uint8_t> options = {1, 3, 3, 2, 2, 4, 0x05, 0xB4};
  const std::vector<uint8_t> syn = Through(h, MakePacket(Segment(0x02, options)));
  EXPECT_EQ(syn[43], 9);
  EXPECT_EQ(MSS(syn, 46), 1260);
  const std::vector<uint8_t> synack = Through(h, MakePacket(Segment(0x12, options)));
  EXPECT_EQ(synack[43], 2);
  EXPECT_EQ(MSS(synack, 46), 1260);
  const std::vector<uint8_t> plain = Segment(0x02, kMSS1460);
  const std::vector<uint8_t> out = Through(h, MakePacket(plain));
  EXPECT_EQ(out.size(), plain.size());
  EXPECT_EQ(MSS(out), 1260);
}

// Packets that need no change leave as they came: not copied, same bytes.
TEST(OstrelTCPMSSFixTest, UntouchedPacketsAreNotCopied) {
  PacketSpec later;
  later.fragment_offset = 3;
  later.payload = 40;
  PacketSpec udp;
  udp.protocol = 17;
  const std::vector<uint8_t> inputs[] = {
      Segment(0x10, kMSS1460), Segment(0x02, {2, 4, 0x01, 0x00}), BuildIPv4(later),
      BuildIPv4(udp),          Segment(0x02, {2, 5, 0x05, 0xB4}),
  };
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("1300"))) << h.messages();
  for (const std::vector<uint8_t>& bytes : inputs) {
    Packet* p = MakePacket(bytes);
    Packet* keep = p->clone();
    h.Push("src", p);
    Packet* out = h.Take("sink", 0);
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(out->data(), keep->data());
    EXPECT_EQ(std::vector<uint8_t>(out->data(), out->end_data()), bytes);
    out->release();
    keep->release();
  }
  // A shared SYN that changes is copied; the other holder keeps its bytes.
  const std::vector<uint8_t> syn = Segment(0x02, kMSS1460);
  Packet* p = MakePacket(syn);
  Packet* keep = p->clone();
  EXPECT_EQ(MSS(Through(h, p)), 1260);
  EXPECT_EQ(std::vector<uint8_t>(keep->data(), keep->end_data()), syn);
  keep->release();
}

class TCPParamsTest : public ::testing::Test {
 protected:
  void WriteParams(const std::string& text) {
    const std::string path = platform::under_root(OstrelTCPMSSFix::kParamsPath);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
  }
  std::string Path() const { return platform::under_root(OstrelTCPMSSFix::kParamsPath); }
};

TEST_F(TCPParamsTest, WindowScaleFromTheParametersFile) {
  struct Case {
    const char* file;  // null: no file
    const char* args;
    uint32_t expect;
    bool from_file_line;
  } cases[] = {
      {R"({"wsfactor": 7})", "1300", 7, true},
      {R"({"wsfactor": 14, "other": 1})", "1300", 14, true},
      {R"({"wsfactor": "9"})", "1300", 0, true},
      {R"({"wsfactor": 7})", "1300, WINDOW_SCALING 3", 3, true},
      {"not json", "1300", 0, false},
      {nullptr, "0", 0, false},
  };
  for (const Case& c : cases) {
    testing_support::StartedLog log(0);
    std::string path;
    {
      GraphHarness h;
      path = Path();
      if (c.file != nullptr) WriteParams(c.file);
      ASSERT_TRUE(h.Load(Graph(c.args))) << h.messages();
      auto* m = static_cast<OstrelTCPMSSFix*>(h.Find("m"));
      EXPECT_EQ(m->window_scale(), c.expect) << c.args;
      EXPECT_EQ(m->mtu(), 1300u);
    }
    const std::string text = log.text();
    const std::string final_line = "TCPMSSFIX: ws factor: " + std::to_string(c.expect);
    EXPECT_NE(text.find(final_line), std::string::npos) << text;
    EXPECT_EQ(text.find("TCPMSSFIX: ws factor from file:") != std::string::npos, c.from_file_line)
        << text;
    if (!c.from_file_line) {
      EXPECT_NE(text.find("No tcp params configuration " + path), std::string::npos) << text;
    }
  }
}

}  // namespace
