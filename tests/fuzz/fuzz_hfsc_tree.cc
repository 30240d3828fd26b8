// HFSCSched over an arbitrary class tree and packet stream. The input up to
// its first NUL byte is the class-tree JSON (written to a file the element
// reads); the rest are records of a control byte (bit 0: replicate; the
// rest: how far the clock steps first), a priority byte, a traffic-class
// byte, a length byte and that many packet bytes. Packets sit in buffers
// that end where their data ends. Deadlines that came due run as the
// capture consumer would run them; held packets go with the router, so a
// leak is a LeakSanitizer error.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "graph/deadline_hook.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_core.h"
#include "ostgraphsvc/graph/elements/hfsc/hfsc_sched.h"
#include "tests/fuzz/element_fuzz.h"

namespace {

uint64_t fake_ns = 1'000'000'000;
uint64_t read_fake() { return fake_ns; }

class Source : public Element {
 public:
  const char* class_name() const override { return "Source"; }
  const char* port_count() const override { return "0/1"; }
  const char* processing() const override { return kPush; }
  void inject(Packet* p) { output(0).push(p); }
};

const char* tree_path() {
  static char path[64] = {};
  if (path[0] == '\0') {
    std::snprintf(path, sizeof(path), "/tmp/fuzz_hfsc_tree.%d.json", static_cast<int>(getpid()));
    std::atexit([] { unlink(tree_path()); });
  }
  return path;
}

bool write_tree(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(tree_path(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(data, 1, size, f) == size;
  return std::fclose(f) == 0 && ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  element_fuzz::start_framework();
  hfsc_set_clock_source(read_fake);
  deadline_set_clock_source(read_fake);

  const uint8_t* nul = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t tree_size = nul != nullptr ? static_cast<size_t>(nul - data) : size;
  if (!write_tree(data, tree_size)) return 0;

  {
    Router router(String(""));
    const String landmark("fuzz");
    auto* source = new Source;
    router.add_element(source, String("src"), String(""), landmark, 1);
    router.add_element(new HFSCSched, String("s"),
                       String("CONF ") + String(tree_path()) + String(", INTERFACE wan0, MODE GW"),
                       landmark, 2);
    router.add_element(new element_fuzz::Sink, String("sink"), String(""), landmark, 3);
    router.add_connection(0, 0, 1, 0);
    router.add_connection(1, 0, 2, 0);
    if (router.initialize(ErrorHandler::silent_handler()) >= 0) {
      size_t at = tree_size + (nul != nullptr ? 1 : 0);
      while (at + 4 <= size) {
        const uint8_t control = data[at];
        const uint8_t priority = data[at + 1];
        const uint8_t traffic_class = data[at + 2];
        uint32_t length = data[at + 3];
        at += 4;
        if (length > size - at) length = static_cast<uint32_t>(size - at);
        Packet* p = element_fuzz::exact_packet(data + at, length);
        at += length;
        // Steps from 100 us to about 0.8 s, so both held and idle classes
        // are seen.
        fake_ns += static_cast<uint64_t>(control >> 1) * (control & 0x80 ? 6'000'000 : 100'000);
        deadline_hook_run_due(deadline_now());
        if (p == nullptr) continue;
        p->set_replicate_anno(control & 1);
        p->set_sched_class_anno(priority);
        p->set_sched_subclass_anno(traffic_class);
        source->inject(p);
      }
      fake_ns += 1'000'000'000;
      deadline_hook_run_due(deadline_now());
    }
  }
  if (deadline_hook_listed() != 0) __builtin_trap();
  hfsc_set_clock_source(nullptr);
  deadline_set_clock_source(nullptr);
  return 0;
}
