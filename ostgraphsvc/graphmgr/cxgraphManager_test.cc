#include "ostgraphsvc/graphmgr/cxgraphManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "graph/confparse.h"
#include "graph/element.h"
#include "graph/error_handler.h"
#include "graph/framework_static.h"
#include "graph/lexer.h"
#include "graph/packet.h"
#include "graph/router.h"
#include "ostgraphsvc/graph/elements/local/fromdevice.h"
#include "platform/divert/divert.h"
#include "platform/divert/simulated.h"
#include "platform/divert/testing_packets.h"
#include "platform/registry/registry.h"
#include "tests/support/registry_values.h"
#include "tests/support/started_log.h"
#include "tests/support/unix_datagram.h"

using testing_support::CountOf;

namespace {

namespace fs = std::filesystem;
namespace reg = platform::registry;
namespace sim = platform::divert::sim;
using testing_support::ReadFile;
using testing_support::WriteFile;
using Clock = std::chrono::steady_clock;

constexpr char kTarn[] = "SOFTWARE\\Corvex\\tarn";
constexpr char kHeldLine[] = "Packet processor thread did not exit in time, stopping fromdevice.";

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// A host packet, outbound to a private address: captured with fail-close
// in force or not.
std::vector<uint8_t> HostPacket() {
  namespace t = platform::divert::testing;
  auto p = t::make_ipv4(17, "192.168.5.2", "10.1.2.3", 40);
  t::put16(p, 20, 5000);
  t::put16(p, 22, 443);
  t::put16(p, 24, 40);
  return p;
}

WINDIVERT_ADDRESS Outbound() {
  WINDIVERT_ADDRESS where{};
  where.Flags = WINDIVERT_ADDRESS_OUTBOUND;
  where.IfIdx = 3;
  return where;
}

bool Inject(const std::vector<uint8_t>& packet) {
  return sim::inject(packet.data(), static_cast<uint32_t>(packet.size()), Outbound());
}

// A sink that keeps the consumer inside its push for a while, and notes
// whether it was freed while a push was still running.
std::atomic<int> g_in_push{0};
std::atomic<bool> g_pushed{false};
std::atomic<bool> g_freed_during_push{false};
std::atomic<bool> g_freed{false};

class TestHold : public Element {
 public:
  // Well past the stop's 5000 ms wait, with room for a slow machine.
  static constexpr int kHoldMs = 8000;
  ~TestHold() override {
    g_freed_during_push = g_in_push.load() != 0;
    g_freed = true;
  }
  const char* class_name() const override { return "TestHold"; }
  const char* port_count() const override { return "1/0"; }
  const char* processing() const override { return kPush; }
  void push(int, Packet* p) override {
    ++g_in_push;
    g_pushed = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(kHoldMs));
    p->release();
    --g_in_push;
  }
};

Element* MakeHold(uintptr_t) { return new TestHold; }

// Runs the manager's loop on a thread of its own, as the service thread
// does; a test that ends early still stops and joins it.
class ServiceThread {
 public:
  explicit ServiceThread(cxgraphManager* m)
      : m_(m), thread_([this] {
          m_->Run();
          returned_ = true;
        }) {}
  ServiceThread(const ServiceThread&) = delete;
  ServiceThread& operator=(const ServiceThread&) = delete;
  ~ServiceThread() {
    if (!thread_.joinable()) return;
    m_->Stop();
    thread_.join();
  }
  void Join() { thread_.join(); }
  bool returned() const { return returned_.load(); }

 private:
  cxgraphManager* m_;
  std::atomic<bool> returned_{false};
  std::thread thread_;
};

class GraphManagerTest : public ::testing::Test {
 protected:
  GraphManagerTest() : log_(CXLOG_FMT_LEVEL_NUMBER) {
    workdir_ = log_.root().path() + "/workdir";
    fs::create_directories(workdir_);
    platform::divert::use_simulated_backend(true);
    sim::reset();
  }
  ~GraphManagerTest() override {
    sim::reset();
    platform::divert::use_simulated_backend(false);
    set_config_directory(nullptr);
  }

  void SetWorkDir() { testing_support::SetRegText(kTarn, "workdir", workdir_); }
  void WriteGraph(const std::string& text) { WriteFile(workdir_ + "/ostrel.graph", text); }
  // The shipped example work directory, copied so that the test reads what
  // the service ships.
  void CopyExample() {
    for (const auto& entry : fs::directory_iterator(DOVADOD_EXAMPLE_WORKDIR))
      fs::copy_file(entry.path(), workdir_ + "/" + entry.path().filename().string(),
                    fs::copy_options::overwrite_existing);
  }

  std::string Log() const { return log_.text(); }
  bool Logged(int level, const std::string& tag, const std::string& message) const {
    return Log().find(" vedororore " + std::to_string(level) + " " + tag + " " + message + "\n") !=
           std::string::npos;
  }

  // Starts with stderr (the framework's error handler) captured.
  bool StartCapturing(cxgraphManager* m, std::string* errors) {
    ::testing::internal::CaptureStderr();
    const bool ok = m->Start();
    *errors = ::testing::internal::GetCapturedStderr();
    return ok;
  }

  std::string BypassStatus() const {
    char data[64] = {};
    uint32_t size = sizeof data;
    uint32_t type = 0;
    if (reg::get_value(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn\\sse",
                       reg::kKeyWow64_64Key, "tarninternetbypass", reg::kRrfRtAny, &type, data,
                       &size) != 0)
      return "<missing>";
    return data;
  }

  // A torn-down manager holds nothing and the framework is cleaned up.
  static void ExpectTornDown(const cxgraphManager& m) {
    EXPECT_EQ(m.router(), nullptr);
    EXPECT_EQ(m.master(), nullptr);
    EXPECT_EQ(global_lexer(), nullptr);
    EXPECT_EQ(ErrorHandler::default_handler(), nullptr);
  }

  testing_support::StartedLog log_;
  std::string workdir_;
};

TEST_F(GraphManagerTest, NoWorkDirectory) {
  cxgraphManager m;
  EXPECT_FALSE(m.Start());
  EXPECT_TRUE(Logged(1, "graphmgr", "failed to get tarn config path")) << Log();
  ExpectTornDown(m);
  m.Run();  // nothing to run
  EXPECT_FALSE(m.Stop());
}

TEST_F(GraphManagerTest, GraphWithoutElements) {
  SetWorkDir();
  WriteGraph("// nothing here\n");
  cxgraphManager m;
  std::string errors;
  EXPECT_FALSE(StartCapturing(&m, &errors));
  EXPECT_EQ(errors, "ostrel.graph: configuration has no elements, exiting\n");
  EXPECT_EQ(m.work_directory(), workdir_);
  ExpectTornDown(m);
}

TEST_F(GraphManagerTest, GraphThatDoesNotBuild) {
  struct Case {
    const char* name;
    const char* graph;  // null: no file
    const char* message;
  };
  const Case cases[] = {
      {"missing", nullptr, "/ostrel.graph: No such file or directory\n"},
      {"syntax", "fd :: FromDevice -> ;\n", "/ostrel.graph:1: syntax error near ';'\n"},
      {"unknown class", "fd :: FromDevice -> NoSuchClass;\n",
       "/ostrel.graph:1: undeclared element 'NoSuchClass'\n"},
      {"output without capture", "td :: OstrelToDevice; RatedSource -> td;\n",
       "/ostrel.graph:1: While initializing 'td :: OstrelToDevice':\n  unspecified error\n"
       "Router could not be initialized!\n"},
  };
  SetWorkDir();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove(workdir_ + "/ostrel.graph");
    if (c.graph != nullptr) WriteGraph(c.graph);
    cxgraphManager m;
    std::string errors;
    EXPECT_FALSE(StartCapturing(&m, &errors));
    EXPECT_EQ(errors, workdir_ + c.message);
    ExpectTornDown(m);
  }
  EXPECT_EQ(CountOf(Log(), " vedororore 4 graphmgr graph router failed to initialize\n"),
            std::size(cases))
      << Log();
}

// The shipped work directory: start, run, a packet through the graph, stop.
TEST_F(GraphManagerTest, ExampleWorkDirectoryRunsAndStops) {
  CopyExample();
  SetWorkDir();
  {
    cxgraphManager m;
    std::string errors;
    ASSERT_TRUE(StartCapturing(&m, &errors)) << errors << Log();
    EXPECT_EQ(errors, "");
    EXPECT_TRUE(Logged(4, "graphmgr", "router file full path " + workdir_ + "/ostrel.graph"))
        << Log();
    EXPECT_EQ(CountOf(Log(), " vedororore 4 init_pkt_pool_size Initialized packet pool for 1000\n"),
              1u)
        << Log();

    ServiceThread service(&m);
    ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; })) << Log();
    EXPECT_FALSE(service.returned());

    const auto packet = HostPacket();
    ASSERT_TRUE(Inject(packet)) << Log();
    std::vector<platform::divert::SimPacket> back;
    EXPECT_TRUE(WaitFor([&] {
      for (auto& p : sim::take_delivered()) back.push_back(std::move(p));
      return !back.empty();
    }));
    ASSERT_EQ(back.size(), 1u);
    EXPECT_TRUE(back[0].reinjected);
    EXPECT_EQ(back[0].bytes.size(), packet.size());

    const auto start = Clock::now();
    EXPECT_FALSE(m.Stop());
    EXPECT_LT(SecondsSince(start), 1.0);
    service.Join();
    EXPECT_TRUE(service.returned());
    EXPECT_EQ(Log().find("did not exit in time"), std::string::npos);
    EXPECT_EQ(BypassStatus(), "");
    EXPECT_EQ(destination_internet_flag.load(), 0);
    EXPECT_NE(m.router(), nullptr);  // freed by the destructor, not under the loop
  }
  EXPECT_EQ(sim::open_handles(), 0u);
  EXPECT_EQ(global_lexer(), nullptr);
}

// A stop that comes before the service thread reaches the loop: the loop
// returns at once and nothing is left behind.
TEST_F(GraphManagerTest, StopBeforeRun) {
  CopyExample();
  SetWorkDir();
  cxgraphManager m;
  std::string errors;
  ASSERT_TRUE(StartCapturing(&m, &errors)) << errors;
  EXPECT_FALSE(m.Stop());
  m.Run();
  EXPECT_EQ(sim::open_handles(), 0u);
  EXPECT_EQ(BypassStatus(), "");
}

// A worker that a fail-close change started is stopped when a manager that
// never ran goes.
TEST_F(GraphManagerTest, DestructionWithoutStopEndsWorker) {
  CopyExample();
  SetWorkDir();
  {
    cxgraphManager m;
    std::string errors;
    ASSERT_TRUE(StartCapturing(&m, &errors)) << errors;
    Element* e = m.router()->find_element(String("fromdevice"), nullptr);
    auto* fd = e != nullptr ? static_cast<FromDevice*>(e->cast("FromDevice")) : nullptr;
    ASSERT_NE(fd, nullptr);
    fd->UpdateFailClose(false);
    ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; })) << Log();
  }
  EXPECT_EQ(sim::open_handles(), 0u);
}

// Every capture element is stopped, in index order.
TEST_F(GraphManagerTest, TwoCaptureElementsBothStop) {
  CopyExample();
  SetWorkDir();
  WriteGraph(
      "a :: FromDevice -> ha :: OstrelToHost;\n"
      "b :: FromDevice -> hb :: OstrelToHost;\n");
  cxgraphManager m;
  std::string errors;
  ASSERT_TRUE(StartCapturing(&m, &errors)) << errors;
  {
    ServiceThread service(&m);
    ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; })) << Log();
  }
  for (const char* name : {"a", "b"}) {
    Element* e = m.router()->find_element(String(name), nullptr);
    auto* fd = e != nullptr ? static_cast<FromDevice*>(e->cast("FromDevice")) : nullptr;
    ASSERT_NE(fd, nullptr) << name;
    EXPECT_FALSE(fd->thread_running()) << name;
  }
  // Each stop records the empty bypass status once.
  EXPECT_EQ(CountOf(Log(), "Set new tarninternetbypass status \"\""), 2u) << Log();
  EXPECT_EQ(BypassStatus(), "");
}

// A stop while the consumer is held inside an element's push gives up
// waiting after about 5 s, and the graph is freed only after the worker
// has ended.
TEST_F(GraphManagerTest, StopGivesUpOnHeldConsumer) {
  CopyExample();
  SetWorkDir();
  WriteGraph("fd :: FromDevice -> hold :: TestHold;\n");
  g_in_push = 0;
  g_pushed = false;
  g_freed = false;
  g_freed_during_push = false;
  // Start reuses the class table made here.
  make_global_lexer()->add_class(String("TestHold"), MakeHold, 0, false);
  {
    cxgraphManager m;
    std::string errors;
    ASSERT_TRUE(StartCapturing(&m, &errors)) << errors;
    ServiceThread service(&m);
    ASSERT_TRUE(WaitFor([] { return sim::open_handles() == 1; })) << Log();
    ASSERT_TRUE(Inject(HostPacket()));
    ASSERT_TRUE(WaitFor([] { return g_pushed.load(); }));

    const auto start = Clock::now();
    m.Stop();
    const double took = SecondsSince(start);
    EXPECT_GT(took, 4.5);
    EXPECT_LT(took, 7.5);
    EXPECT_TRUE(Logged(4, "FromDevice::exit", kHeldLine)) << Log();
    EXPECT_EQ(g_in_push.load(), 1);
    service.Join();
    EXPECT_FALSE(g_freed.load());
  }
  EXPECT_TRUE(g_freed.load());
  EXPECT_FALSE(g_freed_during_push.load());
}

}  // namespace
