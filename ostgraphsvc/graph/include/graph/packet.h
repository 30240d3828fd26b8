// Packet: the unit that elements hand to each other, its buffer and the
// per-packet annotation area.
//
// A Packet owns, or shares with its clones, one contiguous buffer laid out as
//   head ... data ... tail ... end
// (headroom = data - head, length = tail - data, tailroom = end - tail).
// Alongside it travel the located header pointers, a timestamp, the
// message-type byte of the block the packet came from and a 256-byte
// annotation area through which elements of different subsystems pass
// per-packet facts; the offsets below are the one layout the whole system
// agrees on.
//
// Ownership: whoever holds a Packet* holds one reference and must either pass
// it on or call release(). Clones share the buffer; the buffer's owner stays
// alive until the last clone is released. A packet is "shared" when it has
// more than one reference or borrows another packet's buffer; write through
// data() only on a packet that is not shared (make_unshared() first).
// Operations that may reallocate (make_unshared, push, put) return the packet
// to use from then on; on out-of-memory they release the packet they were
// given and return null.
//
// Scheduler entry: every packet carries one SchedQueueEntry so that a
// scheduler can queue it without allocating; make() and clone() give each
// packet object its own, empty, pointing back at that packet.
//
// Pool: released packet objects and default-size (2048-byte) buffers go to two
// free lists, each bounded by the limit that init_pkt_pool_size() sets (0
// until then, so nothing is pooled). Once the lists are warm, making and
// releasing default-size packets allocates nothing. Packet::static_cleanup()
// frees both lists at framework tear-down.
//
// Threads: none. The element graph runs on one thread; packets, the free
// lists and the "expensive" message counters have no lock.
#ifndef GRAPH_PACKET_H_
#define GRAPH_PACKET_H_

#include <cstdint>
#include <cstring>

#include "graph/ipaddress.h"
#include "graph/timestamp.h"

// Annotation area layout: byte offsets from the start of the area. Values are
// stored in host order unless noted. Rows whose meaning belongs to the
// elements that use them have fixed offsets and widths only.
inline constexpr int kAnnoSize = 256;
inline constexpr int kDstIPAnnoOffset = 0;                // 4, IPAddress (network order)
inline constexpr int kPaintAnnoOffset = 16;               // 1
inline constexpr int kICMPParamProbAnnoOffset = 17;       // 1
inline constexpr int kFixIPSrcAnnoOffset = 19;            // 1
inline constexpr int kAggregateAnnoOffset = 20;           // 4
inline constexpr int kRouteFlagsAnnoOffset = 27;          // 1
inline constexpr int kIPReassemblerAnnoOffset = 28;       // 4
inline constexpr int kIPReassemblerAuxAnnoOffset = 30;    // 2
inline constexpr int kOverlaySeqAnnoOffset = 36;          // 4
inline constexpr int kSNATPatternAnnoOffset = 52;         // 2
inline constexpr int kOverlayPathAnnoOffset = 56;         // 4
inline constexpr int kPolicyIndexAnnoOffset = 60;         // 1
inline constexpr int kRouteValueAnnoOffset = 61;          // 2, network order
inline constexpr int kRouteValue2AnnoOffset = 63;         // 1
inline constexpr int kRouteValue3AnnoOffset = 64;         // 1
inline constexpr int kOverlayPacketFlagsAnnoOffset = 66;  // 1
inline constexpr int kHopCountAnnoOffset = 67;            // 1
inline constexpr int kReplicateAnnoOffset = 68;           // 1
inline constexpr int kDirectionAnnoOffset = 71;           // 1
inline constexpr int kSchedClassAnnoOffset = 72;          // 1
inline constexpr int kSchedSubclassAnnoOffset = 73;       // 1
inline constexpr int kOverlayFlagsAnnoOffset = 74;        // 1
inline constexpr int kRouteTableAnnoOffset = 75;          // 1
inline constexpr int kMTUAnnoOffset = 77;                 // 2
inline constexpr int kFragmentAnnoOffset = 79;            // 1
inline constexpr int kFlowIndexAnnoOffset = 80;          // 4
inline constexpr int kInnerLengthAnnoOffset = 84;         // 2
inline constexpr int kNATFlushAnnoOffset = 90;            // 1
inline constexpr int kFlowByteAnnoOffset = 94;            // 1
inline constexpr int kDecapValueAnnoOffset = 95;          // 4
inline constexpr int kNextHopAnnoOffset = 99;             // 4, IPAddress (network order)
inline constexpr int kFlowQoSAnnoOffset = 104;            // 1
inline constexpr int kDSCPAnnoOffset = 105;               // 1
inline constexpr int kOverlayClassAnnoOffset = 107;       // 2
inline constexpr int kCaptureRecordAnnoOffset = 112;      // 8, pointer
inline constexpr int kPeerWanIPAnnoOffset = 120;          // 4, IPAddress (network order)
inline constexpr int kDecapMarkAnnoOffset = 124;          // 4
inline constexpr int kOverlayMsgTypeAnnoOffset = 128;     // 1
inline constexpr int kControlKindAnnoOffset = 129;        // 1
inline constexpr int kPeerLocalIPAnnoOffset = 130;        // 4, IPAddress (network order)

// Bits and values of the annotations above.
inline constexpr uint8_t kRouteFlagWalk = 0x01;              // route flags: walk the table
inline constexpr uint8_t kOverlayPacketControl = 0x01;       // overlay packet flags
inline constexpr uint8_t kOverlayFlagDecapsulated = 1 << 1;  // overlay flags
inline constexpr uint8_t kOverlayFlagEncapsulated = 1 << 2;  // overlay flags
inline constexpr uint8_t kDirectionOutbound = 1;
inline constexpr uint8_t kDirectionInbound = 2;
inline constexpr uint32_t kDecapMark = 0x12345678;  // came out of an overlay tunnel

class Packet;

// A packet's place in a scheduler queue. The scheduler owns the links while
// state is kSchedEntryQueued; the entry lives and dies with its packet.
inline constexpr uint8_t kSchedEntryQueued = 7;
struct SchedQueueEntry {
  SchedQueueEntry* next = nullptr;  // queue link
  int32_t length = 0;               // bytes charged to the scheduler
  uint32_t queue_id = 0;            // class handle the packet is queued to
  uint8_t state = 0;                // kSchedEntryQueued while in a class queue
  Packet* packet = nullptr;         // the packet that carries this entry
};

class Packet {
 public:
  static constexpr uint32_t kDefaultBufferSize = 2048;
  static constexpr uint32_t kMinUnsharedBufferSize = 64;

  // Called instead of freeing the buffer when set: (head, buffer size, arg).
  using BufferDestructor = void (*)(unsigned char* head, uint32_t size, void* arg);

  // A new packet of `length` bytes with `headroom` before and at least
  // `tailroom` after it; the buffer is never smaller than 2048 bytes. The
  // bytes are copied from `data` when it is not null, else left as the
  // buffer holds them. Every annotation byte, header pointer, the packet
  // type, timestamp, message type and links are 0. Null when memory runs out.
  static Packet* make(uint32_t headroom, const void* data, uint32_t length, uint32_t tailroom = 0);

  // Drops one reference; at zero returns the object (and a default-size
  // buffer it owns) to the pool, or frees them.
  void release();

  // A second packet over the same bytes with copies of every field; it moves
  // its own data and tail. Null when memory runs out.
  Packet* clone();

  // A packet that owns a private copy of the buffer, grown (or for negative
  // amounts shrunk, at most down to the data) by `extra_headroom` at the front
  // and `extra_tailroom` at the back; never smaller than 64 bytes. On out of
  // memory this packet is released and the result is null.
  Packet* make_unshared(int extra_headroom, int extra_tailroom);

  // Prepends / appends `n` bytes, in place when there is room and the packet
  // is not shared, else in a new buffer with 128 spare bytes. The result
  // replaces this packet; null (packet released) when memory runs out.
  Packet* push(uint32_t n);
  Packet* put(uint32_t n);
  // Removes `n` bytes at the front / back in place; more than the length is
  // logged and cut to the length.
  void pull(uint32_t n);
  void take(uint32_t n);

  unsigned char* data() const { return data_; }
  unsigned char* end_data() const { return tail_; }
  uint32_t length() const { return static_cast<uint32_t>(tail_ - data_); }
  uint32_t headroom() const { return static_cast<uint32_t>(data_ - head_); }
  uint32_t tailroom() const { return static_cast<uint32_t>(end_ - tail_); }
  unsigned char* buffer() const { return head_; }
  unsigned char* end_buffer() const { return end_; }
  uint32_t buffer_length() const { return static_cast<uint32_t>(end_ - head_); }

  uint32_t use_count() const { return use_count_; }
  bool shared() const { return use_count_ > 1 || data_owner_ != nullptr; }
  // The packet whose buffer this one borrows; null when it owns its buffer.
  Packet* data_owner() const { return data_owner_; }

  // Takes over disposal of the buffer this packet owns (allocated with
  // malloc): `destructor` gets it instead of the pool or free().
  void set_buffer_destructor(BufferDestructor destructor, void* arg) {
    destructor_ = destructor;
    destructor_arg_ = arg;
  }
  BufferDestructor buffer_destructor() const { return destructor_; }
  void* buffer_destructor_arg() const { return destructor_arg_; }

  unsigned char* mac_header() const { return mac_header_; }
  unsigned char* network_header() const { return network_header_; }
  unsigned char* transport_header() const { return transport_header_; }
  void set_mac_header(unsigned char* p) { mac_header_ = p; }
  // The transport header starts right behind a network header of `length`.
  void set_network_header(unsigned char* p, uint32_t length) {
    network_header_ = p;
    transport_header_ = p + length;
  }
  void set_transport_header(unsigned char* p) { transport_header_ = p; }

  Timestamp timestamp() const { return timestamp_; }
  void set_timestamp(Timestamp t) { timestamp_ = t; }
  int packet_type() const { return packet_type_; }
  void set_packet_type(int type) { packet_type_ = type; }
  // Type of the message block the packet came from (1 captured, 2 from an
  // overlay connection, 3 overlay state or control, 4-6 and 17-22 commands).
  uint8_t msgtype() const { return msgtype_; }
  void set_msgtype(uint8_t type) { msgtype_ = type; }

  // Links for element queues; the pool uses next while a packet is free.
  Packet* next() const { return next_; }
  Packet* prev() const { return prev_; }
  void set_next(Packet* p) { next_ = p; }
  void set_prev(Packet* p) { prev_ = p; }

  // This packet's scheduler entry.
  SchedQueueEntry* sched_entry() { return &sched_entry_; }
  const SchedQueueEntry* sched_entry() const { return &sched_entry_; }

  // The raw annotation area and generic access in host order. Offsets are
  // not aligned, so every access copies.
  unsigned char* anno() { return anno_; }
  const unsigned char* anno() const { return anno_; }
  uint8_t anno_u8(int offset) const { return anno_[offset]; }
  void set_anno_u8(int offset, uint8_t v) { anno_[offset] = v; }
  uint16_t anno_u16(int offset) const { return get_anno<uint16_t>(offset); }
  void set_anno_u16(int offset, uint16_t v) { set_anno<uint16_t>(offset, v); }
  uint32_t anno_u32(int offset) const { return get_anno<uint32_t>(offset); }
  void set_anno_u32(int offset, uint32_t v) { set_anno<uint32_t>(offset, v); }
  uint64_t anno_u64(int offset) const { return get_anno<uint64_t>(offset); }
  void set_anno_u64(int offset, uint64_t v) { set_anno<uint64_t>(offset, v); }

  // Named annotations (see the offsets above).
  IPAddress dst_ip_anno() const { return get_anno<IPAddress>(kDstIPAnnoOffset); }
  void set_dst_ip_anno(IPAddress a) { set_anno(kDstIPAnnoOffset, a); }
  uint8_t paint_anno() const { return anno_[kPaintAnnoOffset]; }
  void set_paint_anno(uint8_t v) { anno_[kPaintAnnoOffset] = v; }
  uint8_t icmp_paramprob_anno() const { return anno_[kICMPParamProbAnnoOffset]; }
  void set_icmp_paramprob_anno(uint8_t v) { anno_[kICMPParamProbAnnoOffset] = v; }
  uint8_t fix_ip_src_anno() const { return anno_[kFixIPSrcAnnoOffset]; }
  void set_fix_ip_src_anno(uint8_t v) { anno_[kFixIPSrcAnnoOffset] = v; }
  uint32_t aggregate_anno() const { return get_anno<uint32_t>(kAggregateAnnoOffset); }
  void set_aggregate_anno(uint32_t v) { set_anno(kAggregateAnnoOffset, v); }
  uint8_t route_flags_anno() const { return anno_[kRouteFlagsAnnoOffset]; }
  void set_route_flags_anno(uint8_t v) { anno_[kRouteFlagsAnnoOffset] = v; }
  uint32_t ip_reassembler_anno() const { return get_anno<uint32_t>(kIPReassemblerAnnoOffset); }
  void set_ip_reassembler_anno(uint32_t v) { set_anno(kIPReassemblerAnnoOffset, v); }
  uint16_t ip_reassembler_aux_anno() const {
    return get_anno<uint16_t>(kIPReassemblerAuxAnnoOffset);
  }
  void set_ip_reassembler_aux_anno(uint16_t v) { set_anno(kIPReassemblerAuxAnnoOffset, v); }
  uint32_t overlay_seq_anno() const { return get_anno<uint32_t>(kOverlaySeqAnnoOffset); }
  void set_overlay_seq_anno(uint32_t v) { set_anno(kOverlaySeqAnnoOffset, v); }
  uint16_t snat_pattern_anno() const { return get_anno<uint16_t>(kSNATPatternAnnoOffset); }
  void set_snat_pattern_anno(uint16_t v) { set_anno(kSNATPatternAnnoOffset, v); }
  uint32_t overlay_path_anno() const { return get_anno<uint32_t>(kOverlayPathAnnoOffset); }
  void set_overlay_path_anno(uint32_t v) { set_anno(kOverlayPathAnnoOffset, v); }
  uint8_t policy_index_anno() const { return anno_[kPolicyIndexAnnoOffset]; }
  void set_policy_index_anno(uint8_t v) { anno_[kPolicyIndexAnnoOffset] = v; }
  // Stored in network order, returned in host order.
  uint16_t route_value_anno() const;
  void set_route_value_anno(uint16_t v);
  uint8_t route_value2_anno() const { return anno_[kRouteValue2AnnoOffset]; }
  void set_route_value2_anno(uint8_t v) { anno_[kRouteValue2AnnoOffset] = v; }
  uint8_t route_value3_anno() const { return anno_[kRouteValue3AnnoOffset]; }
  void set_route_value3_anno(uint8_t v) { anno_[kRouteValue3AnnoOffset] = v; }
  uint8_t overlay_packet_flags_anno() const { return anno_[kOverlayPacketFlagsAnnoOffset]; }
  void set_overlay_packet_flags_anno(uint8_t v) { anno_[kOverlayPacketFlagsAnnoOffset] = v; }
  uint8_t hop_count_anno() const { return anno_[kHopCountAnnoOffset]; }
  void set_hop_count_anno(uint8_t v) { anno_[kHopCountAnnoOffset] = v; }
  uint8_t replicate_anno() const { return anno_[kReplicateAnnoOffset]; }
  void set_replicate_anno(uint8_t v) { anno_[kReplicateAnnoOffset] = v; }
  uint8_t direction_anno() const { return anno_[kDirectionAnnoOffset]; }
  void set_direction_anno(uint8_t v) { anno_[kDirectionAnnoOffset] = v; }
  uint8_t sched_class_anno() const { return anno_[kSchedClassAnnoOffset]; }
  void set_sched_class_anno(uint8_t v) { anno_[kSchedClassAnnoOffset] = v; }
  uint8_t sched_subclass_anno() const { return anno_[kSchedSubclassAnnoOffset]; }
  void set_sched_subclass_anno(uint8_t v) { anno_[kSchedSubclassAnnoOffset] = v; }
  uint8_t overlay_flags_anno() const { return anno_[kOverlayFlagsAnnoOffset]; }
  void set_overlay_flags_anno(uint8_t v) { anno_[kOverlayFlagsAnnoOffset] = v; }
  uint8_t route_table_anno() const { return anno_[kRouteTableAnnoOffset]; }
  void set_route_table_anno(uint8_t v) { anno_[kRouteTableAnnoOffset] = v; }
  uint16_t mtu_anno() const { return get_anno<uint16_t>(kMTUAnnoOffset); }
  void set_mtu_anno(uint16_t v) { set_anno(kMTUAnnoOffset, v); }
  uint8_t fragment_anno() const { return anno_[kFragmentAnnoOffset]; }
  void set_fragment_anno(uint8_t v) { anno_[kFragmentAnnoOffset] = v; }
  uint32_t flow_index_anno() const { return get_anno<uint32_t>(kFlowIndexAnnoOffset); }
  void set_flow_index_anno(uint32_t v) { set_anno(kFlowIndexAnnoOffset, v); }
  uint16_t inner_length_anno() const { return get_anno<uint16_t>(kInnerLengthAnnoOffset); }
  void set_inner_length_anno(uint16_t v) { set_anno(kInnerLengthAnnoOffset, v); }
  uint8_t nat_flush_anno() const { return anno_[kNATFlushAnnoOffset]; }
  void set_nat_flush_anno(uint8_t v) { anno_[kNATFlushAnnoOffset] = v; }
  uint8_t flow_byte_anno() const { return anno_[kFlowByteAnnoOffset]; }
  void set_flow_byte_anno(uint8_t v) { anno_[kFlowByteAnnoOffset] = v; }
  uint32_t decap_value_anno() const { return get_anno<uint32_t>(kDecapValueAnnoOffset); }
  void set_decap_value_anno(uint32_t v) { set_anno(kDecapValueAnnoOffset, v); }
  IPAddress next_hop_anno() const { return get_anno<IPAddress>(kNextHopAnnoOffset); }
  void set_next_hop_anno(IPAddress a) { set_anno(kNextHopAnnoOffset, a); }
  uint8_t flow_qos_anno() const { return anno_[kFlowQoSAnnoOffset]; }
  void set_flow_qos_anno(uint8_t v) { anno_[kFlowQoSAnnoOffset] = v; }
  uint8_t dscp_anno() const { return anno_[kDSCPAnnoOffset]; }
  void set_dscp_anno(uint8_t v) { anno_[kDSCPAnnoOffset] = v; }
  uint16_t overlay_class_anno() const { return get_anno<uint16_t>(kOverlayClassAnnoOffset); }
  void set_overlay_class_anno(uint16_t v) { set_anno(kOverlayClassAnnoOffset, v); }
  // Set on a packet that carries a capture address record. Never read
  // through: a copied annotation area leaves it pointing into the packet it
  // was copied from.
  void* capture_record_anno() const { return get_anno<void*>(kCaptureRecordAnnoOffset); }
  void set_capture_record_anno(void* p) { set_anno(kCaptureRecordAnnoOffset, p); }
  IPAddress peer_wan_ip_anno() const { return get_anno<IPAddress>(kPeerWanIPAnnoOffset); }
  void set_peer_wan_ip_anno(IPAddress a) { set_anno(kPeerWanIPAnnoOffset, a); }
  uint32_t decap_mark_anno() const { return get_anno<uint32_t>(kDecapMarkAnnoOffset); }
  void set_decap_mark_anno(uint32_t v) { set_anno(kDecapMarkAnnoOffset, v); }
  uint8_t overlay_msg_type_anno() const { return anno_[kOverlayMsgTypeAnnoOffset]; }
  void set_overlay_msg_type_anno(uint8_t v) { anno_[kOverlayMsgTypeAnnoOffset] = v; }
  uint8_t control_kind_anno() const { return anno_[kControlKindAnnoOffset]; }
  void set_control_kind_anno(uint8_t v) { anno_[kControlKindAnnoOffset] = v; }
  IPAddress peer_local_ip_anno() const { return get_anno<IPAddress>(kPeerLocalIPAnnoOffset); }
  void set_peer_local_ip_anno(IPAddress a) { set_anno(kPeerLocalIPAnnoOffset, a); }

  // Pool state, for tests and statistics.
  static int pool_limit();
  static int pooled_packet_count();
  static int pooled_buffer_count();
  // Frees both free lists (framework tear-down); the limit stays.
  static void static_cleanup();

  Packet(const Packet&) = delete;
  Packet& operator=(const Packet&) = delete;

 private:
  Packet() = default;
  ~Packet() = default;

  template <typename T>
  T get_anno(int offset) const {
    T v;
    std::memcpy(&v, anno_ + offset, sizeof(T));
    return v;
  }
  template <typename T>
  void set_anno(int offset, T v) {
    std::memcpy(anno_ + offset, &v, sizeof(T));
  }

  static Packet* make_slow(uint32_t headroom, const void* data, uint32_t length, uint64_t need);
  void init(unsigned char* buffer, uint32_t size, uint32_t headroom, uint32_t length);
  static Packet* take_object();
  static void put_object(Packet* p);
  void release_data();

  uint8_t flags_ = 0;
  uint8_t msgtype_ = 0;
  uint32_t use_count_ = 0;
  Packet* data_owner_ = nullptr;
  unsigned char* head_ = nullptr;
  unsigned char* data_ = nullptr;
  unsigned char* tail_ = nullptr;
  unsigned char* end_ = nullptr;
  unsigned char anno_[kAnnoSize] = {};
  unsigned char* mac_header_ = nullptr;
  unsigned char* network_header_ = nullptr;
  unsigned char* transport_header_ = nullptr;
  int packet_type_ = 0;
  Timestamp timestamp_;
  Packet* next_ = nullptr;
  Packet* prev_ = nullptr;
  BufferDestructor destructor_ = nullptr;
  void* destructor_arg_ = nullptr;
  SchedQueueEntry sched_entry_;
};

// Sets the size limit of each free list (the service sets 1000 before it
// builds the router) and logs it.
void init_pkt_pool_size(int n);

#endif  // GRAPH_PACKET_H_
