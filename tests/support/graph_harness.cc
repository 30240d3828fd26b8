#include "tests/support/graph_harness.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/handler.h"
#include "graph/lexer.h"
#include "graph/master.h"
#include "graph/router.h"
#include "graph/router_file.h"
#include "graph/timestamp.h"
#include "ostgraphsvc/graph/elements/elements.h"
#include "ostgraphsvc/graph/elements/ip/checksum.h"
#include "platform/divert/divert.h"

namespace testing_support {
namespace {

// ---- Clock ------------------------------------------------------------------

int64_t fake_msec = 0;

void fake_time(struct timespec* now) {
  now->tv_sec = static_cast<time_t>(fake_msec / 1000);
  now->tv_nsec = static_cast<long>(fake_msec % 1000) * 1000000L;
}

// ---- Test classes -----------------------------------------------------------

class TestSource : public Element {
 public:
  const char* class_name() const override { return "TestSource"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kPush; }
  void inject(Packet* p) { output(0).push(p); }
};

class TestSink : public Element {
 public:
  ~TestSink() override {
    for (auto& [port, packets] : received)
      for (Packet* p : packets) p->release();
  }
  const char* class_name() const override { return "TestSink"; }
  const char* port_count() const override { return "-/0"; }
  const char* processing() const override { return kPush; }
  void push(int port, Packet* p) override { received[port].push_back(p); }

  std::map<int, std::deque<Packet*>> received;
};

// Push in, pull out: holds what it is pushed until pulled.
class TestQueue : public Element {
 public:
  ~TestQueue() override {
    for (Packet* p : held) p->release();
  }
  const char* class_name() const override { return "TestQueue"; }
  const char* port_count() const override { return "1/1"; }
  const char* processing() const override { return "h/l"; }
  void push(int, Packet* p) override { held.push_back(p); }
  Packet* pull(int) override {
    if (held.empty()) return nullptr;
    Packet* p = held.front();
    held.pop_front();
    return p;
  }

  std::deque<Packet*> held;
};

// A pull input the test drives: `GraphHarness::Pull` pulls once.
class TestPuller : public Element {
 public:
  const char* class_name() const override { return "TestPuller"; }
  const char* port_count() const override { return "1/0"; }
  const char* processing() const override { return kPull; }
  Packet* pull_one() { return input(0).pull(); }
};

Element* make_source(uintptr_t) { return new TestSource; }
Element* make_sink(uintptr_t) { return new TestSink; }
Element* make_queue(uintptr_t) { return new TestQueue; }
Element* make_puller(uintptr_t) { return new TestPuller; }

// Collects what a handler reports, as a person reads it.
class TextErrors {
 public:
  TextErrors() : file_(open_memstream(&data_, &size_)), errh_(file_) {}
  TextErrors(const TextErrors&) = delete;
  TextErrors& operator=(const TextErrors&) = delete;
  ~TextErrors() {
    std::fclose(file_);
    std::free(data_);
  }
  ErrorHandler* errh() { return &errh_; }
  std::string text() {
    std::fflush(file_);
    return std::string(data_, size_);
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  FILE* file_;
  FileErrorHandler errh_;
};

void put16(std::vector<uint8_t>& b, size_t at, uint16_t v) {
  b[at] = static_cast<uint8_t>(v >> 8);
  b[at + 1] = static_cast<uint8_t>(v);
}

uint32_t parse_dotted(const std::string& text) {
  in_addr a{};
  if (inet_pton(AF_INET, text.c_str(), &a) != 1)
    throw std::invalid_argument("not a dotted quad: " + text);
  return a.s_addr;
}

}  // namespace

FakeClock::FakeClock(int64_t msec) {
  set_msec(msec);
  set_system_time_source(fake_time);
}

FakeClock::~FakeClock() { set_system_time_source(nullptr); }

void FakeClock::set_msec(int64_t msec) {
  msec_ = msec;
  fake_msec = msec;
}

std::vector<uint8_t> BuildIPv4(const PacketSpec& shape) {
  const size_t ihl = 20 + shape.ip_options;
  const bool later_fragment = shape.fragment_offset != 0;
  size_t l4 = 0;
  if (!later_fragment) {
    if (shape.protocol == 6) l4 = 20;
    if (shape.protocol == 17 || shape.protocol == 1) l4 = 8;
  }
  std::vector<uint8_t> b(ihl + l4 + shape.payload);
  b[0] = static_cast<uint8_t>(0x40 | (ihl / 4));
  put16(b, 2, static_cast<uint16_t>(b.size()));
  put16(b, 4, 0x4242);
  put16(
      b, 6,
      static_cast<uint16_t>((shape.more_fragments ? 0x2000 : 0) | (shape.fragment_offset & 0x1FFF)));
  b[8] = 64;
  b[9] = shape.protocol;
  const uint32_t src = parse_dotted(shape.src);
  const uint32_t dst = parse_dotted(shape.dst);
  std::memcpy(&b[12], &src, 4);
  std::memcpy(&b[16], &dst, 4);
  for (size_t i = 20; i < ihl; ++i) b[i] = 1;  // NOP options
  for (size_t i = ihl + l4; i < b.size(); ++i) b[i] = static_cast<uint8_t>(i * 13 + 5);
  if (!later_fragment) {
    if (shape.protocol == 6 || shape.protocol == 17) {
      put16(b, ihl, shape.sport);
      put16(b, ihl + 2, shape.dport);
    }
    if (shape.protocol == 6) {
      put16(b, ihl + 4, 0x1000);
      b[ihl + 12] = 0x50;
      b[ihl + 13] = shape.tcp_flags;
      put16(b, ihl + 14, 8192);
    }
    if (shape.protocol == 17) put16(b, ihl + 4, static_cast<uint16_t>(8 + shape.payload));
    if (shape.protocol == 1) {
      b[ihl] = shape.icmp_type;
      put16(b, ihl + 4, shape.icmp_id);
      put16(b, ihl + 6, 1);
    }
  }
  if (!recompute_checksums(b.data(), static_cast<uint32_t>(b.size())))
    throw std::logic_error("built a malformed packet");
  if (!later_fragment && shape.protocol == 17 && shape.udp_no_checksum) put16(b, ihl + 6, 0);
  if (shape.truncate != 0 && shape.truncate < b.size()) b.resize(shape.truncate);
  return b;
}

Packet* MakePacket(const std::vector<uint8_t>& bytes, bool zero_tailroom) {
  const uint32_t length = static_cast<uint32_t>(bytes.size());
  // The smallest unshared buffer is 64 bytes: short packets sit at its end.
  const uint32_t headroom = zero_tailroom && length < Packet::kMinUnsharedBufferSize
                                ? Packet::kMinUnsharedBufferSize - length
                                : 0;
  Packet* p = Packet::make(headroom, bytes.data(), length);
  if (p == nullptr) return nullptr;
  if (zero_tailroom) {
    p = p->make_unshared(0, -static_cast<int>(p->tailroom()));
    if (p == nullptr) return nullptr;
  }
  p->set_network_header(p->data(), 20);
  return p;
}

bool ChecksumsValid(const Packet* p, std::string* why) {
  const unsigned char* ip = p->network_header();
  if (ip == nullptr) {
    if (why) *why = "no network header";
    return false;
  }
  std::vector<uint8_t> original(ip, static_cast<const unsigned char*>(p->end_data()));
  std::vector<uint8_t> copy = original;
  if (!recompute_checksums(copy.data(), static_cast<uint32_t>(copy.size()))) {
    if (why) *why = "not well-formed IPv4";
    return false;
  }
  const size_t ihl = (original[0] & 0x0F) * 4u;
  const bool first = ((original[6] << 8 | original[7]) & 0x1FFF) == 0;
  if (first && original[9] == 17 && original.size() >= ihl + 8 && original[ihl + 6] == 0 &&
      original[ihl + 7] == 0) {
    copy[ihl + 6] = 0;
    copy[ihl + 7] = 0;
  }
  if (copy == original) return true;
  if (why) {
    char text[96];
    std::snprintf(text, sizeof text, "IP sum %02x%02x want %02x%02x", original[10], original[11],
                  copy[10], copy[11]);
    *why = text;
    for (size_t i = 0; i < copy.size(); ++i) {
      if (copy[i] == original[i]) continue;
      std::snprintf(text, sizeof text, "; byte %zu is %02x, a full sum gives %02x", i, original[i],
                    copy[i]);
      *why += text;
      break;
    }
  }
  return false;
}

std::string Dotted(uint32_t network_order_address) {
  char text[INET_ADDRSTRLEN];
  in_addr a{network_order_address};
  inet_ntop(AF_INET, &a, text, sizeof text);
  return text;
}

PacketTuple TupleOf(const Packet* p) {
  PacketTuple t;
  const unsigned char* ip = p->network_header();
  if (ip == nullptr || p->end_data() - ip < 20) return t;
  uint32_t a;
  std::memcpy(&a, ip + 12, 4);
  t.src = Dotted(a);
  std::memcpy(&a, ip + 16, 4);
  t.dst = Dotted(a);
  const size_t ihl = (ip[0] & 0x0F) * 4u;
  if ((ip[9] == 6 || ip[9] == 17) && p->end_data() - ip >= static_cast<long>(ihl + 4)) {
    t.sport = static_cast<uint16_t>(ip[ihl] << 8 | ip[ihl + 1]);
    t.dport = static_cast<uint16_t>(ip[ihl + 2] << 8 | ip[ihl + 3]);
  }
  return t;
}

GraphHarness::GraphHarness() {
  router_static_initialize();
  register_graph_elements();
  Lexer* lexer = make_global_lexer();
  lexer->add_class(String("TestSource"), make_source, 0, false);
  lexer->add_class(String("TestSink"), make_sink, 0, false);
  lexer->add_class(String("TestQueue"), make_queue, 0, false);
  lexer->add_class(String("TestPuller"), make_puller, 0, false);
  master_ = new Master;
}

GraphHarness::~GraphHarness() {
  DropRouter();
  delete master_;
  router_static_cleanup();
}

void GraphHarness::DropRouter() {
  delete router_;
  router_ = nullptr;
}

bool GraphHarness::Load(const std::string& text) {
  const std::string path = root_.file("graph" + std::to_string(++loads_) + ".graph");
  WriteFile(path, text);
  return LoadFile(path);
}

bool GraphHarness::LoadFile(const std::string& path) {
  DropRouter();
  TextErrors errors;
  ErrorHandler* errh = errors.errh();
  router_ = read_router_file(String(path.c_str()), errh, master_);
  bool ok = router_ != nullptr && errh->error_count() == 0;
  if (ok) ok = router_->initialize(errh) >= 0;
  messages_ = errors.text();
  return ok;
}

Element* GraphHarness::Find(const std::string& name) const {
  if (router_ == nullptr) return nullptr;
  return router_->find_element(String(name.c_str()), nullptr);
}

void GraphHarness::Push(const std::string& source, Packet* p) {
  auto* e = Find(source);
  if (e == nullptr || std::strcmp(e->class_name(), "TestSource") != 0)
    throw std::invalid_argument("no TestSource " + source);
  static_cast<TestSource*>(e)->inject(p);
}

Packet* GraphHarness::Pull(const std::string& puller) {
  auto* e = Find(puller);
  if (e == nullptr || std::strcmp(e->class_name(), "TestPuller") != 0)
    throw std::invalid_argument("no TestPuller " + puller);
  return static_cast<TestPuller*>(e)->pull_one();
}

std::deque<Packet*>& GraphHarness::Received(const std::string& sink, int port) {
  auto* e = Find(sink);
  if (e == nullptr || std::strcmp(e->class_name(), "TestSink") != 0)
    throw std::invalid_argument("no TestSink " + sink);
  return static_cast<TestSink*>(e)->received[port];
}

Packet* GraphHarness::Take(const std::string& sink, int port) {
  std::deque<Packet*>& packets = Received(sink, port);
  if (packets.empty()) return nullptr;
  Packet* p = packets.front();
  packets.pop_front();
  return p;
}

size_t GraphHarness::Count(const std::string& sink) {
  auto* e = Find(sink);
  if (e == nullptr || std::strcmp(e->class_name(), "TestSink") != 0)
    throw std::invalid_argument("no TestSink " + sink);
  size_t n = 0;
  for (const auto& [port, packets] : static_cast<TestSink*>(e)->received) n += packets.size();
  return n;
}

std::string GraphHarness::Read(const std::string& element, const std::string& handler,
                               const std::string& parameter) {
  Element* e = Find(element);
  if (e == nullptr) throw std::invalid_argument("no element " + element);
  const Handler* h = Router::find_handler(e, String(handler.c_str()));
  if (h == nullptr) throw std::invalid_argument("no handler " + element + "." + handler);
  String value = h->invoke_read(e, String(parameter.c_str()));
  return std::string(value.data(), static_cast<size_t>(value.length()));
}

int GraphHarness::Write(const std::string& element, const std::string& handler,
                        const std::string& value, std::string* errors) {
  Element* e = Find(element);
  if (e == nullptr) throw std::invalid_argument("no element " + element);
  const Handler* h = Router::find_handler(e, String(handler.c_str()));
  if (h == nullptr) throw std::invalid_argument("no handler " + element + "." + handler);
  TextErrors text;
  const int result = h->invoke_write(String(value.c_str()), e, text.errh());
  if (errors != nullptr) *errors = text.text();
  return result;
}

}  // namespace testing_support
