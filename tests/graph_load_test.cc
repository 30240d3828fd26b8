// Graph files through the whole start-up path of the framework: read, parse,
// build and initialise, as the service does. Hostile texts must end in a
// refusal or a router, with a message at a file and line, quickly and within
// a small heap; memory running out at any allocation of a load must end in
// the load's error, never in an abort.
//
// The heap is watched through the global allocation functions, which this
// executable replaces: they count live bytes (for the peak) and can be told
// to fail the n-th allocation from now.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "graph/framework_static.h"
#include "graph/json.h"
#include "graph/master.h"
#include "graph/router.h"
#include "graph/router_file.h"
#include "ostgraphsvc/graph/lib/element_registry_testing.h"
#include "ostgraphsvc/graph/lib/graph_testing.h"
#include "tests/support/temp_root.h"
#include "tests/support/source_dir.h"

namespace {

std::atomic<long long> g_live_bytes{0};
std::atomic<long long> g_peak_bytes{0};
// Allocations until one fails; 0: none fails.
std::atomic<long> g_fail_countdown{0};

constexpr size_t kHeader = alignof(std::max_align_t);

void* allocate(size_t size) noexcept {
  long countdown = g_fail_countdown.load(std::memory_order_relaxed);
  if (countdown > 0 && g_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1)
    return nullptr;
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (block == nullptr) return nullptr;
  *reinterpret_cast<size_t*>(block) = size;
  const long long live =
      g_live_bytes.fetch_add(static_cast<long long>(size), std::memory_order_relaxed) +
      static_cast<long long>(size);
  long long peak = g_peak_bytes.load(std::memory_order_relaxed);
  while (live > peak && !g_peak_bytes.compare_exchange_weak(peak, live)) {
  }
  return block + kHeader;
}

void release(void* p) noexcept {
  if (p == nullptr) return;
  auto* block = static_cast<unsigned char*>(p) - kHeader;
  g_live_bytes.fetch_sub(static_cast<long long>(*reinterpret_cast<size_t*>(block)),
                         std::memory_order_relaxed);
  std::free(block);
}

void* allocate_or_throw(size_t size) {
  void* p = allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

void* operator new(size_t size) { return allocate_or_throw(size); }
void* operator new[](size_t size) { return allocate_or_throw(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return allocate(size); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }

namespace {

using graph_testing::Messages;
using graph_testing::ScopedConstructors;
using graph_testing::TableElement;
using testing_support::TempRoot;
using testing_support::WriteFile;

std::string DataDir() { return testing_support::SourceDir() + "/tests/data/graphs/"; }

String Str(const std::string& s) { return String(s.data(), static_cast<int>(s.size())); }

std::string Repeat(const std::string& piece, int n) {
  std::string out;
  out.reserve(piece.size() * static_cast<size_t>(n));
  for (int i = 0; i < n; ++i) out += piece;
  return out;
}

std::string Numbered(const std::string& before, const std::string& after, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) out += before + std::to_string(i) + after;
  return out;
}

class GraphLoadTest : public ::testing::Test {
 protected:
  GraphLoadTest() { router_static_initialize(); }
  ~GraphLoadTest() override { router_static_cleanup(); }

  struct Outcome {
    bool router = false;
    bool live = false;
    std::string messages;
    // Live elements while the router lived, beyond those before the load,
    // and the router's own count (its root included).
    int elements_added = 0;
    int router_elements = 0;
    void* attachment = nullptr;
  };

  // Reads `path`, and initialises the router when the read made one.
  Outcome Load(const std::string& path) {
    Outcome outcome;
    live_before_ = Element::live_elements();
    Messages messages;
    {
      Master master;
      Router* router = read_router_file(Str(path), messages.errh(), &master);
      outcome.router = router != nullptr;
      if (router != nullptr) {
        router->use();
        outcome.live = router->initialize(messages.errh()) == 0;
        outcome.elements_added = Element::live_elements() - live_before_;
        outcome.router_elements = router->nelements() + 1;
        outcome.attachment = router->find_attachment(String("config"));
        router->unuse();
      }
    }
    outcome.messages = messages.text();
    return outcome;
  }

  int live_before_ = 0;
  ScopedConstructors classes_{{13, TableElement<13>::make},
                              {14, TableElement<14>::make},
                              {15, TableElement<15>::make},
                              {29, TableElement<29>::make},
                              {31, TableElement<31>::make}};
};

struct DataCase {
  const char* file;
  bool live;
  // A line of the messages, "{data}" standing for the data folder.
  const char* message;
};

TEST_F(GraphLoadTest, DataFiles) {
  const DataCase cases[] = {
      {"chain.graph", true, ""},
      {"archive_gnu.ar", true, ""},
      {"archive_bsd.ar", true, ""},
      {"self_compound.graph", false,
       "{data}self_compound.graph:4: maximum compound element nesting depth exceeded\n"},
      // The library is the file itself, however the path to it is written.
      {"self_library.graph", true, ""},
  };
  for (const DataCase& c : cases) {
    const int live_before = Element::live_elements();
    const Outcome outcome = Load(DataDir() + c.file);
    // The process counts exactly the router's elements while it lives, and
    // none once it is gone; nothing stores an attachment.
    EXPECT_EQ(outcome.elements_added, outcome.router_elements) << c.file;
    EXPECT_EQ(Element::live_elements(), live_before) << c.file;
    EXPECT_EQ(outcome.attachment, nullptr) << c.file;
    std::string expected = c.message;
    if (size_t at = expected.find("{data}"); at != std::string::npos)
      expected.replace(at, 6, DataDir());
    EXPECT_TRUE(outcome.router) << c.file;
    EXPECT_EQ(outcome.live, c.live) << c.file << "\n" << outcome.messages;
    if (expected.empty()) {
      EXPECT_EQ(outcome.messages, "") << c.file;
    } else {
      EXPECT_NE(outcome.messages.find(expected), std::string::npos)
          << c.file << "\n"
          << outcome.messages.substr(0, 2000);
    }
  }
}

// "FILE:LINE: ..." (the file may be the one a line directive named).
bool IsPositioned(const std::string& line) {
  const size_t colon = line.find(": ");
  if (colon == std::string::npos) return false;
  size_t digits = colon;
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(line[digits - 1]))) --digits;
  return digits < colon && digits > 1 && line[digits - 1] == ':';
}

// A second of an optimised build; the sanitizers' debug build runs the same
// work several times slower.
#if defined(__SANITIZE_ADDRESS__)
constexpr auto kSecond = std::chrono::seconds(4);
#else
constexpr auto kSecond = std::chrono::seconds(1);
#endif

struct HostileCase {
  const char* what;
  std::function<std::string()> text;
  // Must appear in the messages, after "hostile.graph:LINE: ".
  const char* message;
  int line;
};

// Texts that once took seconds to minutes, gigabytes, millions of messages,
// a stack overflow or an abort. Each now ends within a second in at most
// 64 MB of heap, with a message at a file and line.
TEST_F(GraphLoadTest, HostileTextsAreBounded) {
  TempRoot root;
  const std::string self = root.file("hostile.graph");
  const std::string defines =
      "define($a0 " + std::string(1000, 'x') + Numbered(", $a", "", 0) +
      ", $a1 $a0$a0, $a2 $a1$a1, $a3 $a2$a2, $a4 $a3$a3, $a5 $a4$a4, $a6 $a5$a5, "
      "$a7 $a6$a6, $a8 $a7$a7, $a9 $a8$a8, $a10 $a9$a9);\n";
  std::string doubling;
  for (int i = 1; i <= 10; ++i)
    doubling += "elementclass L" + std::to_string(i) + " { input -> L" + std::to_string(i - 1) +
                " -> L" + std::to_string(i - 1) + " -> output }\n";
  const HostileCase cases[] = {
      {"port ranges",
       [] { return "a :: Paint;\nb :: Discard;\na[" + Repeat("0-65535, ", 350) + "0] -> b;\n"; },
       "too many ports in port list", 3},
      {"one high port on a placeholder", [] { return "x :: Nowhere;\nx[65535] -> Discard;\n"; },
       "65532 more outputs unused", 1},
      {"one high port on a compound input",
       [] { return "elementclass P { input[65535] -> output }\nRatedSource -> P -> Discard;\n"; },
       "65532 more inputs missing", 1},
      {"tunnel fan-out",
       [] {
         return "elementclass T { input -> output }\nt :: T;\n" +
                Numbered("s", " :: RatedSource -> t;\n", 5000) +
                Numbered("t -> d", " :: Discard;\n", 5000);
       },
       "too many connections in configuration", 2},
      {"tunnel endpoint per port", [] { return std::string("(=>[65535)->i"); }, "", 1},
      {"tunnel paths doubling through nested compounds",
       [] {
         std::string text = "elementclass D0 { input -> output }\n";
         for (int i = 1; i <= 40; ++i) {
           const std::string inner = "D" + std::to_string(i - 1);
           text += "elementclass D" + std::to_string(i) + " { input -> x :: " + inner +
                   " -> output; input -> x -> output }\n";
         }
         return text + "RatedSource -> D40 -> Discard;\n";
       },
       "", 0},
      {"flat class definitions",
       [] {
         return Numbered("elementclass C", " { input -> output }\n", 20000) +
                "RatedSource -> C19999 -> Discard;\n";
       },
       "", 0},
      {"expansion per line",
       [defines] { return defines + Numbered("e", " :: Paint($a10);\n", 200); },
       "variable expansion too large", 0},
      {"expansion through nested compounds",
       [defines, doubling] {
         return defines + "elementclass L0 { input -> Paint($a10) -> output }\n" + doubling +
                "RatedSource -> L10 -> Discard;\n";
       },
       "variable expansion too large", 0},
      {"line number near the int limit",
       [] { return "#line 2147483647\na :: Paint;\nb :: Discard;\na -> b;\n"; },
       "line number too large", 1},
      {"NUL byte", [] { return std::string("a :: Paint;\0\nb :: Nothing;\n", 27); },
       "NUL byte in configuration text ignored", 1},
      {"self library", [] { return std::string("require(library ./hostile.graph);\n"); }, "", 0},
      {"long file name in every message",
       [] {
         return "# 1 \"" + std::string(1 << 20, 'f') + "\"\n" + Repeat("x :: Nowhere;\n", 2000);
       },
       "file name too long", 1},
      {"deep groups", [] { return Repeat("(", 100000) + Repeat(")", 100000); },
       "maximum element group nesting depth exceeded", 1},
      {"deep classes", [] { return Repeat("elementclass X { ", 20000) + Repeat("}", 20000); },
       "maximum compound element nesting depth exceeded", 1},
  };
  for (const HostileCase& c : cases) {
    const std::string text = c.text();
    WriteFile(self, text);
    g_peak_bytes = g_live_bytes.load();
    const long long base = g_live_bytes.load();
    const auto start = std::chrono::steady_clock::now();
    const Outcome outcome = Load(self);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const long long peak = g_peak_bytes.load() - base;

    EXPECT_LT(elapsed, kSecond) << c.what;
    EXPECT_LT(peak, 64LL << 20) << c.what;
    // Messages grow with the text, not beyond.
    EXPECT_LT(outcome.messages.size(), std::max<size_t>(64 << 10, 4 * text.size()))
        << c.what << "\n"
        << outcome.messages.substr(0, 3000);
    const std::string at = self + ":" + (c.line > 0 ? std::to_string(c.line) + ":" : "");
    if (*c.message != '\0') {
      EXPECT_NE(outcome.messages.find(at), std::string::npos) << c.what << "\n"
                                                              << outcome.messages.substr(0, 600);
      EXPECT_NE(outcome.messages.find(c.message), std::string::npos)
          << c.what << "\n"
          << outcome.messages.substr(0, 600);
    }
    // Every message line is positioned, ahead of any context it carries.
    for (size_t pos = 0; pos < outcome.messages.size();) {
      size_t end = outcome.messages.find('\n', pos);
      if (end == std::string::npos) end = outcome.messages.size();
      const std::string line = outcome.messages.substr(pos, end - pos);
      const bool positioned = IsPositioned(line) || line.rfind("  ", 0) == 0 ||
                              line.rfind("Router could not be initialized", 0) == 0;
      EXPECT_TRUE(positioned) << c.what << ": " << line.substr(0, 200);
      if (!positioned) break;
      pos = end + 1;
    }
    RecordProperty(std::string("peak_kb_") + std::to_string(&c - cases),
                   static_cast<int>(peak >> 10));
  }
}

// Running out of memory at any allocation of a load gives the load's error
// and no router, or a router as if nothing had failed. Some of what a load
// had made when memory ran out may stay allocated, so the loads run in a
// child process whose end the leak check does not see.
void FailEveryAllocationOfALoad() {
  const std::string file = DataDir() + "compound.graph";
  int failures = 0;
  for (long n = 1;; ++n) {
    Messages messages;
    Router* router = nullptr;
    {
      Master master;
      const String name = Str(file);
      g_fail_countdown = n;
      try {
        router = read_router_file(name, messages.errh(), &master);
      } catch (const std::bad_alloc&) {
        g_fail_countdown = 0;
        ADD_FAILURE() << "allocation " << n << " escaped the load";
        break;
      }
      const bool failed = g_fail_countdown.load() == 0;
      g_fail_countdown = 0;
      delete router;
      if (!failed) break;
    }
    const std::string text = messages.text();
    if (router == nullptr) {
      ++failures;
      EXPECT_NE(text.find("out of memory"), std::string::npos) << n << ": " << text;
    }
  }
  EXPECT_GT(failures, 10);
}

TEST_F(GraphLoadTest, AllocationFailureIsTheLoadsError) {
  ASSERT_TRUE(Load(DataDir() + "compound.graph").live);
  std::fflush(nullptr);
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FailEveryAllocationOfALoad();
    ::_exit(::testing::Test::HasFailure() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  // A configuration file larger than the memory left is an unreadable one.
  TempRoot root;
  WriteFile(root.file("a.json"), "{\"a\": 1}");
  Json value;
  const String json = Str(root.file("a.json"));
  g_fail_countdown = 1;
  const int failed = Json::file_parse(json, value);
  g_fail_countdown = 0;
  EXPECT_EQ(failed, -1);
  EXPECT_EQ(Json::file_parse(json, value), 0);
}

}  // namespace
