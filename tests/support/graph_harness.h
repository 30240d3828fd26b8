// A harness for element tests: the framework started with every element
// class registered, two test-only classes to feed and collect packets, graph
// loading through the framework's own file reader and router initialise,
// packet builders, a full checksum check and a fake framework clock.
//
//   GraphHarness h;
//   ASSERT_TRUE(h.Load("src :: TestSource; sink :: TestSink; src -> rw :: IPRewriter(...) ...;"));
//   h.Push("src", MakePacket(BuildIPv4(PacketSpec{})));
//   Packet* out = h.Take("sink", 0);
//
// "TestSource" (no inputs, one push output): `Push` hands it a packet, which
// it pushes on. "TestSink" (any inputs, no outputs): keeps every packet per
// input port until taken or the harness goes. "TestQueue" (push input, pull
// output) holds what it is pushed until pulled; "TestPuller" (one pull
// input, no outputs) pulls once per `Pull`.
//
// Ownership: the harness owns the Master, the router, the packets its sinks
// hold and a temporary root (DOVADOD_ROOT) in which graph texts are written.
// It starts the framework in its constructor and cleans it up in its
// destructor, so only one harness may live at a time. Packets that `Take`
// returns belong to the caller.
//
// Threads: the test's thread.
#ifndef TESTS_SUPPORT_GRAPH_HARNESS_H_
#define TESTS_SUPPORT_GRAPH_HARNESS_H_

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "tests/support/temp_root.h"

class Master;
class Router;

namespace testing_support {

// Collects what an element reports to its error handler, a line each.
class CollectErrors : public ErrorHandler {
 public:
  void* emit(const String& line, void* user_data, bool) override {
    text += std::string(line.data(), static_cast<size_t>(line.length())) + "\n";
    return user_data;
  }
  std::string text;
};

// The framework clock at a fixed time of the test's choosing while it
// lives; the real clock again afterwards.
class FakeClock {
 public:
  explicit FakeClock(int64_t msec = 1000000);
  FakeClock(const FakeClock&) = delete;
  FakeClock& operator=(const FakeClock&) = delete;
  ~FakeClock();

  void set_msec(int64_t msec);
  void advance_msec(int64_t msec) { set_msec(msec_ + msec); }
  void advance_sec(int64_t sec) { advance_msec(sec * 1000); }
  int64_t msec() const { return msec_; }

 private:
  int64_t msec_ = 0;
};

// What `BuildIPv4` makes. Addresses as dotted text; ports in host order.
struct PacketSpec {
  uint8_t protocol = 6;
  std::string src = "10.0.0.2";
  uint16_t sport = 1234;
  std::string dst = "192.0.2.1";
  uint16_t dport = 80;
  uint8_t tcp_flags = 0x02;  // SYN
  size_t payload = 0;
  // Bytes of IPv4 options (a multiple of 4, at most 40).
  size_t ip_options = 0;
  // In 8-byte units; a nonzero offset carries no transport header.
  uint16_t fragment_offset = 0;
  bool more_fragments = false;
  // Leaves the UDP checksum 0 ("none").
  bool udp_no_checksum = false;
  uint8_t icmp_type = 8;
  uint16_t icmp_id = 7;
  // Keeps only this many bytes (0: the whole packet); checksums are
  // computed before the cut.
  size_t truncate = 0;
};

// An IPv4 packet with every checksum computed (the divert layer's sum).
std::vector<uint8_t> BuildIPv4(const PacketSpec& shape);

// A packet holding `bytes` with its network header at the start. With
// `zero_tailroom` the buffer ends where the data ends, so that a read past
// the packet is an AddressSanitizer error.
Packet* MakePacket(const std::vector<uint8_t>& bytes, bool zero_tailroom = true);

// Every checksum of the packet (IPv4 header, and ICMP/TCP/UDP of a first
// fragment; a UDP checksum of 0 counts as none) equals a full
// recomputation. False with the reason otherwise.
bool ChecksumsValid(const Packet* p, std::string* why = nullptr);

// The packet's tuple, for comparisons; ports 0 when there is no TCP/UDP
// header.
struct PacketTuple {
  std::string src;
  uint16_t sport = 0;
  std::string dst;
  uint16_t dport = 0;
  friend bool operator==(const PacketTuple&, const PacketTuple&) = default;
};
PacketTuple TupleOf(const Packet* p);
std::string Dotted(uint32_t network_order_address);

class GraphHarness {
 public:
  GraphHarness();
  GraphHarness(const GraphHarness&) = delete;
  GraphHarness& operator=(const GraphHarness&) = delete;
  ~GraphHarness();

  // Reads the graph text (written to a file of the temporary root) or file
  // and initialises the router. False when reading or initialising
  // reported an error; `messages` has them either way. A second load
  // replaces the first router.
  bool Load(const std::string& text);
  bool LoadFile(const std::string& path);
  const std::string& messages() const { return messages_; }

  Router* router() const { return router_; }
  Element* Find(const std::string& name) const;

  // Hands `p` to the named TestSource, which pushes it on output 0.
  void Push(const std::string& source, Packet* p);
  // Pulls once through the named TestPuller; the packet (or null) is the
  // caller's.
  Packet* Pull(const std::string& puller);
  // The packets a TestSink received on `port`, oldest first.
  std::deque<Packet*>& Received(const std::string& sink, int port);
  // The oldest packet of the sink's port, now the caller's; null when none.
  Packet* Take(const std::string& sink, int port);
  // Packets held by the sink on all ports.
  size_t Count(const std::string& sink);

  // Handler access; `errors` gets what a write reported.
  std::string Read(const std::string& element, const std::string& handler,
                   const std::string& parameter = "");
  int Write(const std::string& element, const std::string& handler, const std::string& value,
            std::string* errors = nullptr);

 private:
  void DropRouter();

  TempRoot root_;
  Master* master_ = nullptr;
  Router* router_ = nullptr;
  std::string messages_;
  int loads_ = 0;
};

}  // namespace testing_support

#endif  // TESTS_SUPPORT_GRAPH_HARNESS_H_
