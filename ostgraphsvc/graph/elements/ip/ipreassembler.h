// IPReassembler: rebuilds IPv4 datagrams from their fragments within a
// memory budget (graph name "IPReassembler", ports 1/1-2, "a/ah").
//
// Non-fragments pass through. Each datagram being rebuilt is one queue
// packet holding the data received so far at its offsets; the received
// ranges form a chain of (offset, end) links whose first link is the
// queue's IPREASSEMBLER annotation and whose later links sit in the first
// four bytes of each gap, so no memory is taken per fragment. The complete
// datagram leaves in place of the fragment that completed it. A fragment
// whose bytes differ from data already received where they overlap drops
// the whole datagram (counted as bad); identical overlaps are harmless.
// Queues older than 30 s are dropped (output 1 when present) at checks made
// on fragment arrival at most every 10 s; when the held data passes HIMEM
// the oldest queues are reaped down to three quarters of it.
//
// Ownership: owns its queues until they leave or cleanup frees them.
// Threads: the packet thread.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IPREASSEMBLER_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IPREASSEMBLER_H_

#include <cstdint>

#include "graph/element.h"

class IPReassembler : public Element {
 public:
  static constexpr int kBuckets = 256;
  static constexpr uint32_t kDefaultHiMem = 256 * 1024;
  static constexpr int kExpireSeconds = 30;
  static constexpr int kCheckInterval = 10;
  // Bookkeeping charged per queue beyond its data.
  static constexpr uint32_t kQueueOverhead = 40;

  IPReassembler();
  ~IPReassembler() override;

  const char* class_name() const override { return "IPReassembler"; }
  const char* port_count() const override { return "1/1-2"; }
  const char* processing() const override { return "a/ah"; }
  // HIMEM, MAX_MTU_ANNO.
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void cleanup(CleanupStage stage) override;
  // "dump".
  void add_handlers() override;
  Packet* packet_action(Packet* p) override;

  String dump();
  uint32_t mem_used() const { return mem_used_; }
  uint32_t frags_seen() const { return frags_seen_; }
  uint32_t good() const { return good_; }
  uint32_t failed() const { return failed_; }
  uint32_t bad() const { return bad_; }

 private:
  struct Link {
    uint16_t offset;
    uint16_t end;
  };

  // Data bytes of a queue after its IP header.
  static uint32_t data_length(const Packet* q);
  static Link load_link(const unsigned char* at);
  static void store_link(unsigned char* at, Link link);

  // The queue of the fragment whose header is `ip`, or null; `prev` gets
  // the queue before it in its chain (null at the head).
  Packet* find_queue(const unsigned char* ip, Packet** prev);
  void relink(Packet* prev, Packet* q, Packet* next);
  void unlink(Packet* q);
  void drop_link(int bucket, Packet* prev, Packet* next, uint32_t held);
  void discard(Packet* q);
  void expire(int now);
  void reap(int now);
  void open_queue(Packet* p, const unsigned char* ip, uint32_t off, uint32_t end);
  // Whether [off, end) of a fragment, its data at `data`, differs from any
  // byte already received for queue `q`; gaps are not compared.
  static bool overlap_differs(const Packet* q, const unsigned char* data, uint32_t off,
                              uint32_t end);
  Packet* add_fragment(Packet* prev, Packet* q, Packet* p, uint32_t off, uint32_t end);
  void check();

  Packet* buckets_[kBuckets] = {};
  uint32_t mem_used_ = 0;
  uint32_t himem_ = kDefaultHiMem;
  uint32_t lowmem_ = kDefaultHiMem / 4 * 3;
  int mtu_anno_ = -1;
  int next_check_ = 0;
  uint32_t frags_seen_ = 0;
  uint32_t good_ = 0;
  uint32_t failed_ = 0;
  uint32_t bad_ = 0;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_IP_IPREASSEMBLER_H_
