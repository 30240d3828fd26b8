#include "graph/packet.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "client/lib/cxLog/cxLog.h"
#include "graph/nameinfo.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::ReadFile;
using testing_support::TempRoot;

// Each test starts and ends with an empty pool and its own limit.
class PacketTest : public ::testing::Test {
 protected:
  void SetUp() override { init_pkt_pool_size(0); }
  void TearDown() override {
    Packet::static_cleanup();
    init_pkt_pool_size(0);
  }

  static std::vector<unsigned char> Pattern(uint32_t n, unsigned char seed = 1) {
    std::vector<unsigned char> bytes(n);
    for (uint32_t i = 0; i < n; ++i) bytes[i] = static_cast<unsigned char>(seed + i * 7);
    return bytes;
  }
  static std::vector<unsigned char> Bytes(const Packet* p) {
    return std::vector<unsigned char>(p->data(), p->end_data());
  }
  static bool AnnoIsZero(const Packet* p) {
    for (int i = 0; i < kAnnoSize; ++i)
      if (p->anno()[i] != 0) return false;
    return true;
  }
};

TEST_F(PacketTest, MakeLaysOutBufferAndClearsFields) {
  struct Case {
    uint32_t headroom, length, tailroom;
    bool with_data;
    uint32_t buffer_size;
  } cases[] = {
      {0, 0, 0, false, 2048},     {28, 64, 0, true, 2048},     {100, 1948, 0, true, 2048},
      {100, 1949, 0, true, 2049}, {10, 20, 3000, false, 3030}, {0, 2048, 1, true, 2049},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.headroom << "/" << c.length << "/" << c.tailroom);
    std::vector<unsigned char> bytes = Pattern(c.length);
    Packet* p =
        Packet::make(c.headroom, c.with_data ? bytes.data() : nullptr, c.length, c.tailroom);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->buffer_length(), c.buffer_size);
    EXPECT_EQ(p->headroom(), c.headroom);
    EXPECT_EQ(p->length(), c.length);
    EXPECT_EQ(p->tailroom(), c.buffer_size - c.headroom - c.length);
    EXPECT_EQ(p->data(), p->buffer() + c.headroom);
    EXPECT_EQ(p->end_buffer(), p->buffer() + c.buffer_size);
    if (c.with_data) {
      EXPECT_EQ(Bytes(p), bytes);
    }
    EXPECT_EQ(p->use_count(), 1u);
    EXPECT_FALSE(p->shared());
    EXPECT_TRUE(AnnoIsZero(p));
    EXPECT_NE(p->decap_mark_anno(), kDecapMark);
    EXPECT_EQ(p->mac_header(), nullptr);
    EXPECT_EQ(p->network_header(), nullptr);
    EXPECT_EQ(p->transport_header(), nullptr);
    EXPECT_EQ(p->timestamp(), Timestamp());
    EXPECT_EQ(p->packet_type(), 0);
    EXPECT_EQ(p->msgtype(), 0);
    EXPECT_EQ(p->next(), nullptr);
    EXPECT_EQ(p->prev(), nullptr);
    EXPECT_EQ(p->buffer_destructor(), nullptr);
    p->release();
  }
}

// With limit 0 every release frees; ASan's leak check sees anything kept.
TEST_F(PacketTest, LimitZeroPoolsNothing) {
  Packet* a = Packet::make(0, nullptr, 100);
  Packet* b = Packet::make(0, nullptr, 3000);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  a->release();
  b->release();
  EXPECT_EQ(Packet::pool_limit(), 0);
  EXPECT_EQ(Packet::pooled_packet_count(), 0);
  EXPECT_EQ(Packet::pooled_buffer_count(), 0);
}

TEST_F(PacketTest, PoolKeepsObjectsAndDefaultBuffersUpToLimit) {
  init_pkt_pool_size(2);
  Packet* p[3];
  unsigned char* buffers[3];
  for (int i = 0; i < 3; ++i) {
    p[i] = Packet::make(100, nullptr, 1948);
    ASSERT_NE(p[i], nullptr);
    buffers[i] = p[i]->buffer();
  }
  for (Packet* q : p) q->release();
  EXPECT_EQ(Packet::pooled_packet_count(), 2);
  EXPECT_EQ(Packet::pooled_buffer_count(), 2);

  // Last in, first out: the second packet and buffer come back first.
  Packet* again = Packet::make(100, nullptr, 1948);
  EXPECT_EQ(again, p[1]);
  EXPECT_EQ(again->buffer(), buffers[1]);
  EXPECT_EQ(Packet::pooled_packet_count(), 1);
  EXPECT_EQ(Packet::pooled_buffer_count(), 1);

  // One byte more needs a fresh 2049-byte buffer, which is never pooled.
  Packet* big = Packet::make(100, nullptr, 1949);
  EXPECT_EQ(big, p[0]);
  EXPECT_EQ(big->buffer_length(), 2049u);
  EXPECT_EQ(Packet::pooled_packet_count(), 0);
  EXPECT_EQ(Packet::pooled_buffer_count(), 1);
  big->release();
  EXPECT_EQ(Packet::pooled_packet_count(), 1);
  EXPECT_EQ(Packet::pooled_buffer_count(), 1);
  again->release();
  EXPECT_EQ(Packet::pooled_packet_count(), 2);
  EXPECT_EQ(Packet::pooled_buffer_count(), 2);
}

TEST_F(PacketTest, RecycledPacketStartsClean) {
  init_pkt_pool_size(1);
  Packet* p = Packet::make(20, nullptr, 60);
  p->set_msgtype(2);
  p->set_decap_mark_anno(kDecapMark);
  std::memset(p->anno(), 0xAB, kAnnoSize);
  p->set_network_header(p->data(), 20);
  p->set_mac_header(p->data());
  p->set_timestamp(Timestamp::make_sec(5));
  p->set_packet_type(4);
  p->set_prev(p);
  p->release();

  Packet* q = Packet::make(20, nullptr, 60);
  ASSERT_EQ(q, p);
  EXPECT_EQ(q->msgtype(), 0);
  EXPECT_TRUE(AnnoIsZero(q));
  EXPECT_EQ(q->mac_header(), nullptr);
  EXPECT_EQ(q->network_header(), nullptr);
  EXPECT_EQ(q->transport_header(), nullptr);
  EXPECT_EQ(q->timestamp(), Timestamp());
  EXPECT_EQ(q->packet_type(), 0);
  EXPECT_EQ(q->next(), nullptr);
  EXPECT_EQ(q->prev(), nullptr);
  q->release();
}

TEST_F(PacketTest, CloneSharesBufferAndCountsUses) {
  init_pkt_pool_size(4);
  std::vector<unsigned char> bytes = Pattern(80);
  Packet* orig = Packet::make(40, bytes.data(), 80);
  orig->set_paint_anno(7);
  orig->set_msgtype(1);
  orig->set_timestamp(Timestamp::make_msec(1234));
  orig->set_network_header(orig->data(), 20);

  Packet* c1 = orig->clone();
  ASSERT_NE(c1, nullptr);
  EXPECT_EQ(c1->data(), orig->data());
  EXPECT_EQ(c1->buffer(), orig->buffer());
  EXPECT_EQ(c1->paint_anno(), 7);
  EXPECT_EQ(c1->msgtype(), 1);
  EXPECT_EQ(c1->timestamp(), Timestamp::make_msec(1234));
  EXPECT_EQ(c1->transport_header(), orig->data() + 20);
  EXPECT_EQ(c1->data_owner(), orig);
  EXPECT_EQ(c1->use_count(), 1u);
  EXPECT_EQ(orig->use_count(), 2u);
  EXPECT_TRUE(c1->shared());
  EXPECT_TRUE(orig->shared());

  // A clone of a clone borrows from the same owner.
  Packet* c2 = c1->clone();
  EXPECT_EQ(c2->data_owner(), orig);
  EXPECT_EQ(orig->use_count(), 3u);

  // Each moves its own pointers over the same bytes.
  c1->pull(14);
  c1->take(6);
  EXPECT_EQ(c1->length(), 60u);
  EXPECT_EQ(orig->length(), 80u);
  EXPECT_EQ(c1->data(), orig->data() + 14);

  // Releasing the original first leaves the buffer to the clones.
  orig->release();
  c2->release();
  EXPECT_EQ(Packet::pooled_packet_count(), 1);
  EXPECT_EQ(Packet::pooled_buffer_count(), 0);
  EXPECT_EQ(std::vector<unsigned char>(c1->data(), c1->end_data()),
            std::vector<unsigned char>(bytes.begin() + 14, bytes.end() - 6));
  c1->release();
  EXPECT_EQ(Packet::pooled_packet_count(), 3);
  EXPECT_EQ(Packet::pooled_buffer_count(), 1);
}

// A recycled packet and a clone each start with an empty scheduler entry of
// their own, so a queued original never lends its links to a clone.
TEST_F(PacketTest, EachPacketCarriesItsOwnSchedEntry) {
  init_pkt_pool_size(2);
  Packet* p = Packet::make(0, nullptr, 100);
  SchedQueueEntry* e = p->sched_entry();
  EXPECT_EQ(e->packet, p);
  EXPECT_EQ(e->next, nullptr);
  EXPECT_EQ(e->state, 0);
  e->next = e;
  e->length = 100;
  e->queue_id = 14;
  e->state = kSchedEntryQueued;

  Packet* c = p->clone();
  SchedQueueEntry* ce = c->sched_entry();
  EXPECT_NE(ce, e);
  EXPECT_EQ(ce->packet, c);
  EXPECT_EQ(ce->next, nullptr);
  EXPECT_EQ(ce->length, 0);
  EXPECT_EQ(ce->queue_id, 0u);
  EXPECT_EQ(ce->state, 0);
  EXPECT_EQ(e->queue_id, 14u);  // the original's entry is untouched
  c->release();
  p->release();

  Packet* q = Packet::make(0, nullptr, 10);
  ASSERT_TRUE(q == p || q == c);
  EXPECT_EQ(q->sched_entry()->packet, q);
  EXPECT_EQ(q->sched_entry()->next, nullptr);
  EXPECT_EQ(q->sched_entry()->queue_id, 0u);
  EXPECT_EQ(q->sched_entry()->state, 0);
  q->release();
}

TEST_F(PacketTest, MakeUnsharedCopiesIntoResizedBuffer) {
  // From headroom 100, length 50 in a 2048-byte buffer (tailroom 1898).
  // Negative amounts beyond the headroom or tailroom are cut to them.
  struct Case {
    int front, back;
    uint32_t size, headroom, tailroom;
  } cases[] = {
      {10, 20, 2078, 110, 1918},       {0, 0, 2048, 100, 1898}, {-50, -100, 1898, 50, 1798},
      {-200, 0, 1948, 0, 1898},        {0, -5000, 150, 100, 0}, {-100, -1898, 64, 0, 14},
      {-1000000, -1000000, 64, 0, 14},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.front << "," << c.back);
    std::vector<unsigned char> bytes = Pattern(50);
    Packet* p = Packet::make(100, bytes.data(), 50);
    p->set_mac_header(p->data() - 14);
    p->set_network_header(p->data(), 20);
    unsigned char* old_buffer = p->buffer();
    Packet* q = p->make_unshared(c.front, c.back);
    ASSERT_EQ(q, p);  // sole user: the same object
    EXPECT_NE(q->buffer(), old_buffer);
    EXPECT_EQ(q->buffer_length(), c.size);
    EXPECT_EQ(q->headroom(), c.headroom);
    EXPECT_EQ(q->tailroom(), c.tailroom);
    EXPECT_EQ(Bytes(q), bytes);
    EXPECT_EQ(q->mac_header(), q->data() - 14);
    EXPECT_EQ(q->network_header(), q->data());
    EXPECT_EQ(q->transport_header(), q->data() + 20);
    EXPECT_FALSE(q->shared());
    q->release();
  }
}

TEST_F(PacketTest, MakeUnsharedOfSharedPacketLeavesOthersAlone) {
  std::vector<unsigned char> bytes = Pattern(30);
  Packet* orig = Packet::make(10, bytes.data(), 30);
  Packet* c = orig->clone();

  // The original has two users: its result is a new object with its own copy.
  Packet* u = orig->make_unshared(4, 0);
  ASSERT_NE(u, nullptr);
  EXPECT_NE(u, orig);
  EXPECT_NE(u->buffer(), c->buffer());
  EXPECT_FALSE(u->shared());
  EXPECT_EQ(orig->use_count(), 1u);  // only the clone's borrow is left

  // The clone has one user but borrows: it keeps its object.
  Packet* v = c->make_unshared(0, 0);
  ASSERT_EQ(v, c);
  EXPECT_EQ(v->data_owner(), nullptr);
  EXPECT_FALSE(v->shared());

  u->data()[0] ^= 0xFF;
  EXPECT_EQ(Bytes(v), bytes);
  u->release();
  v->release();
}

struct DestructorCall {
  unsigned char* head = nullptr;
  uint32_t size = 0;
  void* arg = nullptr;
  int calls = 0;
};

void RecordAndFree(unsigned char* head, uint32_t size, void* arg) {
  auto* call = static_cast<DestructorCall*>(arg);
  *call = {head, size, arg, call->calls + 1};
  std::free(head);
}

TEST_F(PacketTest, BufferDestructorGetsBufferInsteadOfPool) {
  init_pkt_pool_size(4);
  DestructorCall call;
  Packet* p = Packet::make(0, nullptr, 100);
  unsigned char* head = p->buffer();
  p->set_buffer_destructor(RecordAndFree, &call);
  Packet* c = p->clone();
  EXPECT_EQ(c->buffer_destructor(), nullptr);
  p->release();
  EXPECT_EQ(call.calls, 0);
  c->release();
  EXPECT_EQ(call.calls, 1);
  EXPECT_EQ(call.head, head);
  EXPECT_EQ(call.size, 2048u);
  EXPECT_EQ(call.arg, &call);
  EXPECT_EQ(Packet::pooled_buffer_count(), 0);
  EXPECT_EQ(Packet::pooled_packet_count(), 2);

  // Reallocation hands the old buffer to the destructor too.
  DestructorCall moved;
  Packet* q = Packet::make(0, nullptr, 100);
  unsigned char* old = q->buffer();
  q->set_buffer_destructor(RecordAndFree, &moved);
  q = q->make_unshared(0, 8);
  EXPECT_EQ(moved.calls, 1);
  EXPECT_EQ(moved.head, old);
  EXPECT_EQ(moved.size, 2048u);
  EXPECT_EQ(q->buffer_destructor(), nullptr);
  q->release();
  EXPECT_EQ(moved.calls, 1);
}

// Lack of room logs only for the first five events of each kind, so this is
// the only test that pushes or puts without room.
class PacketLogTest : public PacketTest {
 protected:
  void SetUp() override {
    PacketTest::SetUp();
    cxLogProcessTag = "vedororore";
    cxLogOutput = CXLOG_OUTPUT_FILE;
    ASSERT_TRUE(cxLogInit("cxtarndebuglog", "cxtarndebuglog_old"));
    cxLogFormatFlags = CXLOG_FMT_LEVEL_NUMBER;
    cxLogThreshold = CXLOG_INFO;
  }
  void TearDown() override {
    cxLogShutdown();
    PacketTest::TearDown();
  }
  std::string Log() const {
    return ReadFile(root_.path() + "/var/log/Corvex/pellar/Logs/cxtarndebuglog.log");
  }
  static std::string Line(const std::string& text) { return " vedororore 4 graph " + text + "\n"; }

  TempRoot root_;
};

TEST_F(PacketLogTest, PushAndPutGrowInPlaceOrWithSpareRoom) {
  struct Case {
    bool push;
    bool cloned;
    uint32_t headroom, length, n;
    uint32_t size, new_headroom, new_tailroom;
    const char* message;  // null: none
  } cases[] = {
      {true, false, 20, 100, 20, 2048, 0, 1928, nullptr},
      {true, false, 10, 100, 20, 2196, 138, 1938, "expensive Packet::push; have 10 wanted 20"},
      {true, false, 10, 100, 21, 2196, 137, 1938, "expensive Packet::push; have 10 wanted 21"},
      {true, true, 40, 100, 20, 2196, 168, 1908, nullptr},
      {true, false, 0, 2048, 14, 2188, 126, 0, "expensive Packet::push; have 0 wanted 14"},
      {false, false, 0, 2000, 48, 2048, 0, 0, nullptr},
      {false, false, 0, 2000, 49, 2225, 0, 176, "expensive Packet::put; have 48 wanted 49"},
      {false, true, 0, 100, 10, 2186, 0, 2076, nullptr},
      {false, false, 0, 2048, 1, 2177, 0, 128, "expensive Packet::put; have 0 wanted 1"},
  };
  std::string expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << (c.push ? "push " : "put ") << c.n << " at " << c.headroom << "/" << c.length);
    std::vector<unsigned char> bytes = Pattern(c.length);
    Packet* p = Packet::make(c.headroom, bytes.data(), c.length);
    Packet* other = c.cloned ? p->clone() : nullptr;
    unsigned char* old_buffer = p->buffer();
    Packet* q = c.push ? p->push(c.n) : p->put(c.n);
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(q->buffer() == old_buffer, c.size == 2048);
    EXPECT_EQ(q->buffer_length(), c.size);
    EXPECT_EQ(q->headroom(), c.new_headroom);
    EXPECT_EQ(q->tailroom(), c.new_tailroom);
    EXPECT_EQ(q->length(), c.length + c.n);
    const unsigned char* old_data = c.push ? q->data() + c.n : q->data();
    EXPECT_EQ(std::vector<unsigned char>(old_data, old_data + c.length), bytes);
    if (other != nullptr) {
      EXPECT_EQ(Bytes(other), bytes);
    }
    if (c.message != nullptr) expected += Line(c.message);
    EXPECT_EQ(Log(), expected);
    q->release();
    if (other != nullptr) other->release();
  }

  // Up to the sixth event of each kind (three pushes and two puts so far):
  // the sixth is silent.
  for (int event = 4; event <= 6; ++event) {
    Packet* p = Packet::make(0, nullptr, 2048)->push(1);
    if (event <= 5) expected += Line("expensive Packet::push; have 0 wanted 1");
    p->release();
  }
  for (int event = 3; event <= 6; ++event) {
    Packet* p = Packet::make(0, nullptr, 2048)->put(1);
    if (event <= 5) expected += Line("expensive Packet::put; have 0 wanted 1");
    p->release();
  }
  EXPECT_EQ(Log(), expected);
}

TEST_F(PacketLogTest, PullAndTakeCutToLength) {
  struct Case {
    bool pull;
    uint32_t n, length;
    const char* message;
  } cases[] = {
      {true, 14, 50, nullptr},
      {true, 50, 50, nullptr},
      {true, 70, 50, "Packet::pull 70 > length 50"},
      {false, 6, 50, nullptr},
      {false, 51, 50, "Packet::take 51 > length 50"},
  };
  std::string expected;
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << (c.pull ? "pull " : "take ") << c.n);
    Packet* p = Packet::make(10, nullptr, 50);
    unsigned char* data = p->data();
    if (c.pull) {
      p->pull(c.n);
    } else {
      p->take(c.n);
    }
    uint32_t cut = c.n > c.length ? c.length : c.n;
    EXPECT_EQ(p->length(), c.length - cut);
    EXPECT_EQ(p->data(), c.pull ? data + cut : data);
    if (c.message != nullptr) expected += Line(c.message);
    EXPECT_EQ(Log(), expected);
    p->release();
  }
}

TEST_F(PacketLogTest, InitPoolSizeLogs) {
  init_pkt_pool_size(1000);
  EXPECT_EQ(Packet::pool_limit(), 1000);
  EXPECT_EQ(Log(), " vedororore 4 init_pkt_pool_size Initialized packet pool for 1000\n");
}

// Each named accessor writes exactly its bytes, in its byte order, and the
// generic accessor at the same offset reads them back. Rows that the
// annotation name table also names must agree with it.
TEST_F(PacketTest, NamedAnnotationsUseTheirOffsets) {
  const IPAddress ip(10, 1, 2, 3);
  int record = 0;
  struct Case {
    const char* what;
    int offset, width;
    const char* table_name;  // in kAnnotationNames, or null
    std::function<void(Packet*)> set;
    std::function<bool(const Packet*)> get_ok;
    std::vector<unsigned char> stored;  // empty: host order of the value set
    uint64_t value;
  };
  auto u8 = [](int off, const char* what, const char* table, void (Packet::*set)(uint8_t),
               uint8_t (Packet::*get)() const) {
    return Case{what,
                off,
                1,
                table,
                [set](Packet* p) { (p->*set)(0xA5); },
                [get](const Packet* p) { return (p->*get)() == 0xA5; },
                {},
                0xA5};
  };
  auto u16 = [](int off, const char* what, const char* table, void (Packet::*set)(uint16_t),
                uint16_t (Packet::*get)() const) {
    return Case{what,
                off,
                2,
                table,
                [set](Packet* p) { (p->*set)(0xBEEF); },
                [get](const Packet* p) { return (p->*get)() == 0xBEEF; },
                {},
                0xBEEF};
  };
  auto u32 = [](int off, const char* what, const char* table, void (Packet::*set)(uint32_t),
                uint32_t (Packet::*get)() const) {
    return Case{what,
                off,
                4,
                table,
                [set](Packet* p) { (p->*set)(0xDEADBEEF); },
                [get](const Packet* p) { return (p->*get)() == 0xDEADBEEF; },
                {},
                0xDEADBEEF};
  };
  auto addr = [ip](int off, const char* what, const char* table, void (Packet::*set)(IPAddress),
                   IPAddress (Packet::*get)() const) {
    return Case{what,
                off,
                4,
                table,
                [set, ip](Packet* p) { (p->*set)(ip); },
                [get, ip](const Packet* p) { return (p->*get)() == ip; },
                {10, 1, 2, 3},
                0};
  };
  const std::vector<Case> cases = {
      addr(0, "dst_ip", "DST_IP", &Packet::set_dst_ip_anno, &Packet::dst_ip_anno),
      u8(16, "paint", "PAINT", &Packet::set_paint_anno, &Packet::paint_anno),
      u8(17, "icmp_paramprob", "ICMP_PARAMPROB", &Packet::set_icmp_paramprob_anno,
         &Packet::icmp_paramprob_anno),
      u8(19, "fix_ip_src", "FIX_IP_SRC", &Packet::set_fix_ip_src_anno, &Packet::fix_ip_src_anno),
      u32(20, "aggregate", "AGGREGATE", &Packet::set_aggregate_anno, &Packet::aggregate_anno),
      u8(27, "route_flags", nullptr, &Packet::set_route_flags_anno, &Packet::route_flags_anno),
      u32(28, "ip_reassembler", "IPREASSEMBLER", &Packet::set_ip_reassembler_anno,
          &Packet::ip_reassembler_anno),
      u16(30, "ip_reassembler_aux", nullptr, &Packet::set_ip_reassembler_aux_anno,
          &Packet::ip_reassembler_aux_anno),
      u32(36, "overlay_seq", "SEQUENCE_NUMBER", &Packet::set_overlay_seq_anno,
          &Packet::overlay_seq_anno),
      u16(52, "snat_pattern", nullptr, &Packet::set_snat_pattern_anno, &Packet::snat_pattern_anno),
      u32(56, "overlay_path", nullptr, &Packet::set_overlay_path_anno, &Packet::overlay_path_anno),
      u8(60, "policy_index", nullptr, &Packet::set_policy_index_anno, &Packet::policy_index_anno),
      Case{"route_value",
           61,
           2,
           "VLAN_TCI",
           [](Packet* p) { p->set_route_value_anno(0x1234); },
           [](const Packet* p) { return p->route_value_anno() == 0x1234; },
           {0x12, 0x34},
           0},
      u8(63, "route_value2", nullptr, &Packet::set_route_value2_anno, &Packet::route_value2_anno),
      u8(64, "route_value3", nullptr, &Packet::set_route_value3_anno, &Packet::route_value3_anno),
      u8(66, "overlay_packet_flags", nullptr, &Packet::set_overlay_packet_flags_anno,
         &Packet::overlay_packet_flags_anno),
      u8(67, "hop_count", nullptr, &Packet::set_hop_count_anno, &Packet::hop_count_anno),
      u8(68, "replicate", nullptr, &Packet::set_replicate_anno, &Packet::replicate_anno),
      u8(71, "direction", nullptr, &Packet::set_direction_anno, &Packet::direction_anno),
      u8(72, "sched_class", nullptr, &Packet::set_sched_class_anno, &Packet::sched_class_anno),
      u8(73, "sched_subclass", nullptr, &Packet::set_sched_subclass_anno,
         &Packet::sched_subclass_anno),
      u8(74, "overlay_flags", nullptr, &Packet::set_overlay_flags_anno,
         &Packet::overlay_flags_anno),
      u8(75, "route_table", nullptr, &Packet::set_route_table_anno, &Packet::route_table_anno),
      u16(77, "mtu", nullptr, &Packet::set_mtu_anno, &Packet::mtu_anno),
      u8(79, "fragment", nullptr, &Packet::set_fragment_anno, &Packet::fragment_anno),
      u32(80, "flow_index", nullptr, &Packet::set_flow_index_anno, &Packet::flow_index_anno),
      u16(84, "inner_length", nullptr, &Packet::set_inner_length_anno, &Packet::inner_length_anno),
      u8(90, "nat_flush", nullptr, &Packet::set_nat_flush_anno, &Packet::nat_flush_anno),
      u8(94, "flow_byte", nullptr, &Packet::set_flow_byte_anno, &Packet::flow_byte_anno),
      u32(95, "decap_value", nullptr, &Packet::set_decap_value_anno, &Packet::decap_value_anno),
      addr(99, "next_hop", nullptr, &Packet::set_next_hop_anno, &Packet::next_hop_anno),
      u8(104, "flow_qos", nullptr, &Packet::set_flow_qos_anno, &Packet::flow_qos_anno),
      u8(105, "dscp", nullptr, &Packet::set_dscp_anno, &Packet::dscp_anno),
      u16(107, "overlay_class", nullptr, &Packet::set_overlay_class_anno,
          &Packet::overlay_class_anno),
      Case{"capture_record",
           112,
           8,
           nullptr,
           [&record](Packet* p) { p->set_capture_record_anno(&record); },
           [&record](const Packet* p) { return p->capture_record_anno() == &record; },
           {},
           reinterpret_cast<uintptr_t>(&record)},
      addr(120, "peer_wan_ip", nullptr, &Packet::set_peer_wan_ip_anno, &Packet::peer_wan_ip_anno),
      u32(124, "decap_mark", nullptr, &Packet::set_decap_mark_anno, &Packet::decap_mark_anno),
      u8(128, "overlay_msg_type", nullptr, &Packet::set_overlay_msg_type_anno,
         &Packet::overlay_msg_type_anno),
      u8(129, "control_kind", nullptr, &Packet::set_control_kind_anno, &Packet::control_kind_anno),
      addr(130, "peer_local_ip", nullptr, &Packet::set_peer_local_ip_anno,
           &Packet::peer_local_ip_anno),
  };
  const int named_offsets[] = {
      kDstIPAnnoOffset,         kPaintAnnoOffset,
      kICMPParamProbAnnoOffset, kFixIPSrcAnnoOffset,
      kAggregateAnnoOffset,     kRouteFlagsAnnoOffset,
      kIPReassemblerAnnoOffset, kIPReassemblerAuxAnnoOffset,
      kOverlaySeqAnnoOffset,    kSNATPatternAnnoOffset,
      kOverlayPathAnnoOffset,   kPolicyIndexAnnoOffset,
      kRouteValueAnnoOffset,    kRouteValue2AnnoOffset,
      kRouteValue3AnnoOffset,   kOverlayPacketFlagsAnnoOffset,
      kHopCountAnnoOffset,      kReplicateAnnoOffset,
      kDirectionAnnoOffset,     kSchedClassAnnoOffset,
      kSchedSubclassAnnoOffset, kOverlayFlagsAnnoOffset,
      kRouteTableAnnoOffset,    kMTUAnnoOffset,
      kFragmentAnnoOffset,      kFlowIndexAnnoOffset,
      kInnerLengthAnnoOffset,   kNATFlushAnnoOffset,
      kFlowByteAnnoOffset,      kDecapValueAnnoOffset,
      kNextHopAnnoOffset,       kFlowQoSAnnoOffset,
      kDSCPAnnoOffset,          kOverlayClassAnnoOffset,
      kCaptureRecordAnnoOffset, kPeerWanIPAnnoOffset,
      kDecapMarkAnnoOffset,     kOverlayMsgTypeAnnoOffset,
      kControlKindAnnoOffset,   kPeerLocalIPAnnoOffset,
  };
  ASSERT_EQ(std::size(named_offsets), cases.size());

  Packet* p = Packet::make(0, nullptr, 0);
  for (size_t i = 0; i < cases.size(); ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(c.what);
    EXPECT_EQ(named_offsets[i], c.offset);
    std::memset(p->anno(), 0, kAnnoSize);
    c.set(p);
    EXPECT_TRUE(c.get_ok(p));
    std::vector<unsigned char> stored = c.stored;
    if (stored.empty()) {
      stored.resize(c.width);
      std::memcpy(stored.data(), &c.value, c.width);  // little-endian host
    }
    std::vector<unsigned char> area(kAnnoSize, 0);
    std::copy(stored.begin(), stored.end(), area.begin() + c.offset);
    EXPECT_EQ(std::vector<unsigned char>(p->anno(), p->anno() + kAnnoSize), area);
    uint64_t generic = 0;
    switch (c.width) {
      case 1:
        generic = p->anno_u8(c.offset);
        break;
      case 2:
        generic = p->anno_u16(c.offset);
        break;
      case 4:
        generic = p->anno_u32(c.offset);
        break;
      case 8:
        generic = p->anno_u64(c.offset);
        break;
    }
    uint64_t raw = 0;
    std::memcpy(&raw, stored.data(), c.width);
    EXPECT_EQ(generic, raw);

    if (c.table_name == nullptr) continue;
    const StaticNameDB::Entry* entry = nullptr;
    for (const StaticNameDB::Entry& e : kAnnotationNames)
      if (std::strcmp(e.name, c.table_name) == 0) entry = &e;
    ASSERT_NE(entry, nullptr) << c.table_name;
    EXPECT_EQ(entry->value, static_cast<uint32_t>(c.width * 65536 + c.offset)) << c.table_name;
  }
  p->release();
}

TEST_F(PacketTest, GenericAnnotationSettersRoundTripUnaligned) {
  Packet* p = Packet::make(0, nullptr, 0);
  p->set_anno_u8(255, 0x11);
  p->set_anno_u16(1, 0x2233);
  p->set_anno_u32(3, 0x44556677);
  p->set_anno_u64(7, 0x8899AABBCCDDEEFFull);
  EXPECT_EQ(p->anno_u8(255), 0x11);
  EXPECT_EQ(p->anno_u16(1), 0x2233);
  EXPECT_EQ(p->anno_u32(3), 0x44556677u);
  EXPECT_EQ(p->anno_u64(7), 0x8899AABBCCDDEEFFull);
  p->release();
}

}  // namespace
