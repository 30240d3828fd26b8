// Rate elements built on the framework's TokenBucket (millisecond ticks,
// refilled from the framework clock).
//
// BandwidthRatedSplitter passes traffic up to a byte rate on output 0 and
// sends the excess to output 1 (or frees it); it needs no timer because the
// bucket refills whenever a packet arrives. Its burst always carries 65,536
// bytes of slack, since a packet passes only while that much remains.
//
// RatedSource emits clones of one fixed packet at a packet rate (or a byte
// rate), up to a limit; with a push output a task emits and a timer wakes the
// task when the next token is due, with a pull output the puller drives it.
// With STOP it asks the router to stop once the limit is reached.
//
// Ownership: RatedSource owns its template packet. Threads: the graph's
// thread (tasks and timers run on the router thread).
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_RATED_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_RATED_H_

#include <cstdint>

#include "graph/element.h"
#include "graph/task.h"
#include "graph/timer.h"
#include "graph/token_bucket.h"

class ErrorHandler;

// The bandwidth-mode argument reader shared by rated elements.
struct RatedUnqueue {
  // RATE (first positional) and INTERFACE, then BURST_DURATION and
  // BURST_BYTES; assigns `bucket` and stores the burst (65,536 bytes of
  // slack included). -1 after an error.
  static int configure_helper_ex(Element* e, Vector<String>& conf, ErrorHandler* errh,
                                 TokenBucket* bucket, uint32_t* burst, String* interface);
  // The bucket's rate in tokens per second; 0xFFFFFFFF when it does not fit.
  static uint32_t bucket_rate(const TokenBucket& bucket);
};

class BandwidthRatedSplitter : public Element {
 public:
  static constexpr uint32_t kSlack = 65536;

  const char* class_name() const override { return "BandwidthRatedSplitter"; }
  const char* port_count() const override { return "1/1-2"; }
  const char* processing() const override { return kPush; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  bool can_live_reconfigure() const override { return true; }
  void add_handlers() override;
  void push(int port, Packet* p) override;

  uint32_t burst() const { return burst_; }
  const TokenBucket& bucket() const { return bucket_; }

 private:
  static String read_rate(Element* e, void*);

  String interface_;
  TokenBucket bucket_;
  uint32_t burst_ = 1;
  bool started_ = false;
};

class RatedSource : public Element {
 public:
  static constexpr uint32_t kNoLimit = 0xFFFFFFFF;

  RatedSource() : task_(this), timer_(&task_) {}
  ~RatedSource() override;

  const char* class_name() const override { return "RatedSource"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kAgnostic; }
  int configure(Vector<String>& conf, ErrorHandler* errh) override;
  int initialize(ErrorHandler* errh) override;
  void add_handlers() override;
  bool run_task(Task* task) override;
  Packet* pull(int port) override;

  uint32_t count() const { return count_; }
  const TokenBucket& bucket() const { return bucket_; }
  uint32_t burst() const { return burst_; }
  const Packet* packet() const { return packet_; }

 private:
  static String read_handler(Element* e, void* data);
  static int write_handler(const String& value, Element* e, void* data, ErrorHandler* errh);
  // Null (and an error) when out of memory.
  Packet* build(const String& data, int datasize, uint32_t headroom) const;
  // The next clone to emit, or null; handles the limit and STOP.
  Packet* next_packet();
  void fill_one();
  void wake();

  String data_;
  int datasize_ = -1;
  Packet* packet_ = nullptr;
  TokenBucket bucket_;
  uint32_t burst_ = 2;
  uint32_t limit_ = kNoLimit;
  uint32_t count_ = 0;
  bool active_ = true;
  bool stop_ = false;
  Task task_;
  Timer timer_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_STANDARD_RATED_H_
