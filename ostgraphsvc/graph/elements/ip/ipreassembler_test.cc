#include "ostgraphsvc/graph/elements/ip/ipreassembler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "graph/element_registry.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "tests/support/graph_harness.h"
#include "tests/support/source_dir.h"

namespace {

using testing_support::BuildIPv4;
using testing_support::ChecksumsValid;
using testing_support::FakeClock;
using testing_support::GraphHarness;
using testing_support::MakePacket;
using testing_support::PacketSpec;

using Bytes = std::vector<uint8_t>;

// The fragmenter makes fragments on sink port 0; the reassembler hands
// datagrams to port 1 and aged or reaped queues to port 2.
std::string Graph(const std::string& args = "") {
  return "fsrc :: TestSource; rsrc :: TestSource; sink :: TestSink;"
         "fsrc -> f :: OstrelIPFragmenter(1500) -> [0]sink;"
         "rsrc -> r :: IPReassembler(" +
         args + ") -> [1]sink; r[1] -> [2]sink;";
}

uint16_t Be16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] << 8 | b[at + 1]); }

Bytes BytesOf(const Packet* p) { return Bytes(p->network_header(), p->end_data()); }

Bytes Datagram(size_t payload, uint16_t id, size_t options = 0) {
  PacketSpec shape;
  shape.protocol = 17;
  shape.payload = payload;
  shape.ip_options = options;
  Bytes b = BuildIPv4(shape);
  if (options >= 12) {
    const Bytes security = {130, 11, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    std::copy(security.begin(), security.end(), b.begin() + 20);
  }
  b[4] = static_cast<uint8_t>(id >> 8);
  b[5] = static_cast<uint8_t>(id);
  recompute_checksums(b.data(), static_cast<uint32_t>(b.size()));
  return b;
}

std::vector<Bytes> Fragment(GraphHarness& h, const Bytes& d, uint16_t mtu) {
  Packet* p = MakePacket(d);
  p->set_mtu_anno(mtu);
  h.Push("fsrc", p);
  std::vector<Bytes> out;
  while (Packet* q = h.Take("sink", 0)) {
    out.push_back(BytesOf(q));
    q->release();
  }
  return out;
}

std::vector<Bytes> Drain(GraphHarness& h, int port) {
  std::vector<Bytes> out;
  while (Packet* q = h.Take("sink", port)) {
    std::string why;
    if (port == 1) {
      EXPECT_TRUE(ChecksumsValid(q, &why)) << why;
    }
    out.push_back(BytesOf(q));
    q->release();
  }
  return out;
}

// For classes whose rows the framework keeps, every element answers its row.
TEST(IPElementsTest, ClassesAnswerTheirRegistryRows) {
  GraphHarness h;
  ASSERT_TRUE(
      h.Load("s :: TestSource; k :: TestSink; s -> a :: OstrelIPFragmenter(1500) -> "
             "b :: OstrelTCPMSSFix(1300) -> c :: IPReassembler -> k;"))
      << h.messages();
  for (const char* name : {"a", "b", "c"}) {
    Element* e = h.Find(name);
    ASSERT_NE(e, nullptr);
    const ElementClassInfo* row =
        element_class_info(static_cast<uint64_t>(element_class_index(e->class_name())));
    ASSERT_NE(row, nullptr) << name;
    EXPECT_STREQ(e->port_count(), row->port_count) << name;
    EXPECT_STREQ(e->processing(), row->processing) << name;
    EXPECT_STREQ(e->flags(), row->flags) << name;
    EXPECT_EQ(e->configure_phase(), row->configure_phase) << name;
  }
}

IPReassembler* Reassembler(GraphHarness& h) { return static_cast<IPReassembler*>(h.Find("r")); }

TEST(IPReassemblerTest, RebuildsOutOfOrderWithTheFirstFragmentsHeaderAndAnnotations) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph())) << h.messages();
  const Bytes d = Datagram(4000 - 32 - 8, 7, 12);
  const std::vector<Bytes> frags = Fragment(h, d, 1500);
  ASSERT_EQ(frags.size(), 3u);
  for (size_t i : {2, 0, 1}) {
    Packet* p = MakePacket(frags[i]);
    p->set_paint_anno(static_cast<uint8_t>(10 + i));
    h.Push("rsrc", p);
    EXPECT_EQ(h.Received("sink", 1).size(), i == 1 ? 1u : 0u);
  }
  Packet* out = h.Take("sink", 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(BytesOf(out), d);
  EXPECT_EQ(out->paint_anno(), 10);
  EXPECT_EQ(out->ip_reassembler_anno(), 0u);
  EXPECT_TRUE(ChecksumsValid(out));
  out->release();
  IPReassembler* r = Reassembler(h);
  EXPECT_EQ(r->good(), 1u);
  EXPECT_EQ(r->frags_seen(), 3u);
  EXPECT_EQ(r->mem_used(), 0u);
  // Non-fragments pass untouched.
  const Bytes whole = Datagram(100, 8);
  h.Push("rsrc", MakePacket(whole));
  EXPECT_EQ(Drain(h, 1), std::vector<Bytes>{whole});
}

TEST(IPReassemblerTest, DuplicatesChangeNothingButBytes) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph())) << h.messages();
  const Bytes d = Datagram(4000, 9);
  const std::vector<Bytes> frags = Fragment(h, d, 1500);
  for (size_t i : {1, 1, 0, 1, 0, 2}) h.Push("rsrc", MakePacket(frags[i]));
  EXPECT_EQ(Drain(h, 1), std::vector<Bytes>{d});
  EXPECT_EQ(Reassembler(h)->good(), 1u);
  EXPECT_EQ(Reassembler(h)->bad(), 0u);
}

TEST(IPReassemblerTest, BadFragmentsAreCounted) {
  struct Case {
    const char* name;
    uint16_t field;
    size_t payload;
    size_t truncate;
  } cases[] = {
      {"length 0", 0x2001, 0, 0},
      {"non-last not a multiple of 8", 0x2001, 1001, 0},
      {"end past 65535", 0x1FFF, 100, 0},
      {"truncated", 0x2000, 1000, 500},
  };
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph())) << h.messages();
  uint32_t bad = 0;
  for (const Case& c : cases) {
    PacketSpec shape;
    shape.protocol = 17;
    shape.fragment_offset = 1;
    shape.payload = c.payload;
    Bytes b = BuildIPv4(shape);
    b[6] = static_cast<uint8_t>(c.field >> 8);
    b[7] = static_cast<uint8_t>(c.field);
    recompute_checksums(b.data(), static_cast<uint32_t>(b.size()));
    if (c.truncate != 0) b.resize(c.truncate);
    h.Push("rsrc", MakePacket(b));
    EXPECT_EQ(Reassembler(h)->bad(), ++bad) << c.name;
  }
  EXPECT_EQ(Reassembler(h)->mem_used(), 0u);
  EXPECT_EQ(h.Count("sink"), 0u);
}

// A last fragment ending inside data already held (or a fragment past a
// known end) is refused without touching the queue.
TEST(IPReassemblerTest, InconsistentEndsAreRefused) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph())) << h.messages();
  const std::vector<Bytes> frags = Fragment(h, Datagram(4000, 11), 1500);
  h.Push("rsrc", MakePacket(frags[1]));
  const std::string before = h.Read("r", "dump");
  PacketSpec shape;
  shape.protocol = 17;
  shape.fragment_offset = 185;
  shape.payload = 3;  // ends 3 bytes in, below the held end
  Bytes last = BuildIPv4(shape);
  last[4] = 0;
  last[5] = 11;
  recompute_checksums(last.data(), static_cast<uint32_t>(last.size()));
  h.Push("rsrc", MakePacket(last));
  EXPECT_EQ(h.Read("r", "dump").substr(h.Read("r", "dump").find("bad")),
            before.substr(before.find("bad")));
  // Complete it, then a second "last" past the now known end.
  h.Push("rsrc", MakePacket(frags[2]));
  shape.fragment_offset = 500;
  Bytes beyond = BuildIPv4(shape);
  beyond[4] = 0;
  beyond[5] = 11;
  recompute_checksums(beyond.data(), static_cast<uint32_t>(beyond.size()));
  h.Push("rsrc", MakePacket(beyond));
  EXPECT_EQ(Reassembler(h)->bad(), 0u);
  h.Push("rsrc", MakePacket(frags[0]));
  EXPECT_EQ(Drain(h, 1).size(), 1u);
  EXPECT_EQ(Reassembler(h)->mem_used(), 0u);
}

TEST(IPReassemblerTest, FloodIsReapedOldestFirstBelowLowMem) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("HIMEM 10000"))) << h.messages();
  IPReassembler* r = Reassembler(h);
  uint32_t failed = 0;
  for (uint16_t id = 1; id <= 30; ++id) {
    const uint32_t before = r->mem_used();
    const std::vector<Bytes> frags = Fragment(h, Datagram(3000, id), 1500);
    h.Push("rsrc", MakePacket(frags[0]));
    const uint32_t added = 1480 + 40;
    if (before > 10000) {
      EXPECT_LE(r->mem_used(), 7500 + added) << id;
      EXPECT_GT(r->failed(), failed);
    } else {
      EXPECT_EQ(r->mem_used(), before + added);
    }
    failed = r->failed();
    clock.advance_sec(1);
  }
  EXPECT_EQ(Drain(h, 2).size(), r->failed());
  // The newest datagram is still held, the oldest went first.
  const std::string dump = h.Read("r", "dump");
  EXPECT_NE(dump.find(" 30 (0,1480)"), std::string::npos) << dump;
  EXPECT_EQ(dump.find(" 1 (0,1480)"), std::string::npos) << dump;
}

TEST(IPReassemblerTest, AgesOnArrivalFromTheOpeningFragment) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph())) << h.messages();
  const std::vector<Bytes> a = Fragment(h, Datagram(4000, 21), 1500);
  const std::vector<Bytes> b = Fragment(h, Datagram(4000, 22), 1500);
  h.Push("rsrc", MakePacket(a[1]));  // a middle fragment opens the queue
  clock.advance_sec(30);
  h.Push("rsrc", MakePacket(b[0]));
  EXPECT_EQ(h.Received("sink", 2).size(), 0u);
  clock.advance_sec(11);
  h.Push("rsrc", MakePacket(b[1]));
  const std::vector<Bytes> aged = Drain(h, 2);
  ASSERT_EQ(aged.size(), 1u);
  EXPECT_EQ(aged[0][5], 21);
  EXPECT_EQ(Reassembler(h)->failed(), 0u);
  EXPECT_EQ(Reassembler(h)->mem_used(), 2960u + 40u);
}

TEST(IPReassemblerTest, DumpText) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph())) << h.messages();
  const std::vector<Bytes> a = Fragment(h, Datagram(4000, 0x0102), 1500);
  const std::vector<Bytes> b = Fragment(h, Datagram(4000, 0x0304), 1500);
  h.Push("rsrc", MakePacket(a[0]));
  h.Push("rsrc", MakePacket(a[2]));
  h.Push("rsrc", MakePacket(b[1]));
  EXPECT_EQ(h.Read("r", "dump"),
            "frags seen total:    3\n"
            "good reassemblies:   0\n"
            "failed reassemblies: 0\n"
            "bad fragments seen:  0\n"
            "cached chunk data:\n"
            " (10.0.0.2, 1234, 192.0.2.1, 80) 258 (0,1480) (2960,4008)\n"
            " (10.0.0.2, 0, 192.0.2.1, 0) 772 (1480,2960)\n");
}

TEST(IPReassemblerTest, MaxMTUAnnotation) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph("MAX_MTU_ANNO 77"))) << h.messages();
  const std::vector<Bytes> a = Fragment(h, Datagram(4000, 31), 1500);
  ASSERT_EQ(a.size(), 3u);
  for (const Bytes& f : a) h.Push("rsrc", MakePacket(f));
  Packet* out = h.Take("sink", 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->mtu_anno(), 1500);
  out->release();
  const std::vector<Bytes> b = Fragment(h, Datagram(4000, 32), 1500);
  h.Push("rsrc", MakePacket(b[1]));
  h.Push("rsrc", MakePacket(b[0]));
  h.Push("rsrc", MakePacket(b[2]));
  out = h.Take("sink", 1);
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->mtu_anno(), 20 + 2960);
  out->release();
}

size_t HeaderLength(const Bytes& f) { return (f[0] & 0x0Fu) * 4u; }
size_t DataOffset(const Bytes& f) { return (Be16(f, 6) & 0x1FFFu) * 8u; }

// The fragment whose data holds byte `x` of the datagram's data.
size_t Covering(const std::vector<Bytes>& frags, size_t x) {
  for (size_t i = 0; i < frags.size(); ++i) {
    const size_t off = DataOffset(frags[i]);
    if (off <= x && x < off + frags[i].size() - HeaderLength(frags[i])) return i;
  }
  ADD_FAILURE() << "no fragment holds byte " << x;
  return 0;
}

Bytes Flipped(Bytes f, size_t x) {
  f[HeaderLength(f) + x - DataOffset(f)] ^= 0x5A;
  return f;
}

// Random datagrams, fragmented at random MTUs, their fragments interleaved.
// Honest ones come with duplicates and pieces of a second fragmentation,
// all agreeing on their bytes: each comes back once, byte for byte. Forged
// ones carry one piece differing in a byte from a fragment either already
// held or arriving later, both before the datagram could complete: the
// whole datagram is dropped and counted, and its remaining fragments open
// a queue that never completes. What is left over ages out.
TEST(IPReassemblerTest, PropertyEveryDatagramComesBackOnceUnlessForged) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.Load(Graph())) << h.messages();
  IPReassembler* r = Reassembler(h);
  std::mt19937 rng(31);
  auto pick = [&rng](size_t lo, size_t hi) {
    return std::uniform_int_distribution<size_t>(lo, hi)(rng);
  };
  ErrorHandler* errh = ErrorHandler::default_handler();
  ASSERT_NE(errh, nullptr);
  const int errors = errh->error_count();
  uint32_t forged = 0;
  for (int round = 0; round < 20; ++round) {
    std::vector<Bytes> datagrams;
    std::vector<std::vector<Bytes>> streams;
    for (uint16_t n = 0; n < 8; ++n) {
      const size_t options = pick(0, 2) * 12;
      const auto id = static_cast<uint16_t>(round * 64 + n);
      const Bytes d = Datagram(pick(1, 6000), id, options);
      const std::vector<Bytes> a = Fragment(h, d, static_cast<uint16_t>(pick(68, 1500)));
      const std::vector<Bytes> b = Fragment(h, d, static_cast<uint16_t>(pick(68, 1500)));
      std::vector<Bytes> s;
      if (a.size() < 2 || rng() % 3 != 0) {
        datagrams.push_back(d);
        s = a;
        // Only one piece with offset 0 exists, so only one copy completes.
        for (size_t i = 1; i < a.size(); ++i) {
          if (rng() % 3 == 0) s.push_back(a[i]);
        }
        for (size_t i = 1; i < b.size(); ++i) {
          if (rng() % 2 == 0) s.push_back(b[i]);
        }
        std::shuffle(s.begin(), s.end(), rng);
      } else {
        ++forged;
        const size_t x = pick(0, d.size() - HeaderLength(d) - 1);
        const size_t c = Covering(a, x);
        std::vector<size_t> order(a.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::shuffle(order.begin(), order.end(), rng);
        // The fragment at x is not the last to arrive, so the datagram
        // cannot complete before both it and the forgery are in.
        if (order.back() == c) std::swap(order.back(), order[pick(0, order.size() - 2)]);
        for (size_t i : order) s.push_back(a[i]);
        const auto at =
            static_cast<size_t>(std::find(order.begin(), order.end(), c) - order.begin());
        if (b.size() > 1 && rng() % 2 == 0) {
          // A piece of the other fragmentation, overlapping held data.
          s.insert(s.begin() + static_cast<std::ptrdiff_t>(pick(at + 1, s.size() - 1)),
                   Flipped(b[Covering(b, x)], x));
        } else {
          // Held first, then the real fragment overlaps it.
          s.insert(s.begin() + static_cast<std::ptrdiff_t>(pick(0, at)), Flipped(a[c], x));
        }
      }
      streams.push_back(s);
    }
    // Interleave, each datagram's fragments keeping their order.
    std::vector<size_t> next(streams.size(), 0);
    for (;;) {
      std::vector<size_t> open;
      for (size_t i = 0; i < streams.size(); ++i) {
        if (next[i] < streams[i].size()) open.push_back(i);
      }
      if (open.empty()) break;
      const size_t i = open[pick(0, open.size() - 1)];
      h.Push("rsrc", MakePacket(streams[i][next[i]++]));
    }
    std::vector<Bytes> out = Drain(h, 1);
    std::sort(out.begin(), out.end());
    std::sort(datagrams.begin(), datagrams.end());
    ASSERT_EQ(out, datagrams) << "round " << round;
    ASSERT_EQ(r->bad(), forged) << "round " << round;
    // One fresh queue after the check drops every leftover.
    clock.advance_sec(31);
    h.Push("rsrc", MakePacket(Fragment(h, Datagram(3000, 60000), 1500)[0]));
    Drain(h, 2);
    ASSERT_EQ(r->mem_used(), 1480u + 40u) << h.Read("r", "dump");
  }
  EXPECT_GT(forged, 20u);
  EXPECT_EQ(r->failed(), 0u);
  // The queue self-check found nothing wrong along the way.
  EXPECT_EQ(errh->error_count(), errors);
}

}  // namespace

namespace {

TEST(PathMTUGraphTest, ClampsFragmentsRebuildsAndRefuses) {
  FakeClock clock;
  GraphHarness h;
  ASSERT_TRUE(h.LoadFile(testing_support::SourceDir() + "/tests/data/graphs/elements/path_mtu.graph"))
      << h.messages();
  PacketSpec syn;
  syn.payload = 4;
  Bytes s = BuildIPv4(syn);
  s[32] = 0x60;
  const Bytes mss = {2, 4, 0x05, 0xB4};
  std::copy(mss.begin(), mss.end(), s.begin() + 40);
  recompute_checksums(s.data(), static_cast<uint32_t>(s.size()));
  h.Push("src", MakePacket(s));
  std::vector<Bytes> out = Drain(h, 0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(Be16(out[0], 42), 1360);

  const Bytes big = Datagram(5000, 77);
  h.Push("src", MakePacket(big));
  EXPECT_EQ(Drain(h, 0), std::vector<Bytes>{big});

  Bytes df = Datagram(2000, 78);
  df[6] |= 0x40;
  recompute_checksums(df.data(), static_cast<uint32_t>(df.size()));
  h.Push("src", MakePacket(df));
  out = Drain(h, 1);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0][20], 3);
  EXPECT_EQ(out[0][21], 4);
  EXPECT_EQ(Be16(out[0], 26), 1400);
  EXPECT_EQ(Bytes(out[0].begin() + 28, out[0].begin() + 48), Bytes(df.begin(), df.begin() + 20));
}

}  // namespace
