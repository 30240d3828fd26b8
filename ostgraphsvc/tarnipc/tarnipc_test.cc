#include "ostgraphsvc/tarnipc/tarnipc.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "client/lib/cxLog/cxPktDump.h"
#include "ostgraphsvc/failclose/fail_close_mgr.h"
#include "platform/registry/registry.h"
#include "tests/support/started_log.h"

namespace {

namespace reg = platform::registry;
using testing_support::ReadFile;
using testing_support::StartedLog;

std::string Command(const std::string& subsystem, const std::string& command) {
  return R"({"65535": {"command_subsystem": ")" + subsystem + R"(", "command": ")" + command +
         R"("}})";
}

struct Queued {
  int32_t type;
  std::string tag;
  std::string data;
  bool operator==(const Queued& o) const {
    return type == o.type && tag == o.tag && data == o.data;
  }
};

class TarnIPCServerTest : public ::testing::Test {
 protected:
  TarnIPCServerTest() : log_(0), server_(&queue_, &failClose_) {}

  // Sends `text` and returns the block it queued, consumed and released.
  std::optional<Queued> Send(const std::string& text) {
    int32_t before = server_.pool().cursor();
    server_.tarn_equeue_msg(text);
    if (server_.pool().cursor() == before) return std::nullopt;
    _QMSGBLOCK* block = queue_.wait();
    Queued q{block->msgtype, qmsgblock_tag(block),
             std::string(reinterpret_cast<const char*>(block->data), block->data_length)};
    qmsgblock_release(block);
    return q;
  }
  std::string Log() const { return log_.text(); }

  StartedLog log_;
  QMsgQueue queue_;
  FailCloseMgr failClose_;
  TarnIPCServer server_;
};

TEST_F(TarnIPCServerTest, CommandsBecomeBlocks) {
  struct Case {
    std::string text;
    std::optional<Queued> queued;
  };
  const Case cases[] = {
      {Command("GraphReconfigure", "reconfigure"), Queued{4, "GraphReconfigure", "reconfigure"}},
      {Command("GraphCmd", "Start"), Queued{4, "GraphCmd", "Start"}},
      {Command("GraphCmd", "start"), Queued{5, "GraphCmd", "start"}},
      {Command("GraphCmd", "stop"), Queued{6, "GraphCmd", "stop"}},
      {Command("x", "set_fail_open"), Queued{17, "x", "set_fail_open"}},
      {Command("x", "set_dc_unmanaged"), Queued{22, "x", "set_dc_unmanaged"}},
      {Command("tunnel", "enable"), Queued{11, "tunnel", "enable"}},
      {Command("tunnel", "disable"), Queued{13, "tunnel", "disable"}},
      {Command("OstStats", "anything at all"), Queued{4, "OstStats", "anything at all"}},
      {Command("tunnel", "restart"), std::nullopt},
      {R"({"65535": {"command_subsystem": "GraphCmd", "command": 5}})", std::nullopt},
      {R"([{"65535": {"command_subsystem": "GraphCmd", "command": "start"}}])", std::nullopt},
      {R"({"65535": {"command_subsystem": "GraphCmd"})", std::nullopt},
      {R"({"1": {"command_subsystem": "GraphCmd", "command": "start"}})", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(Send(c.text), c.queued);
  }
  EXPECT_NE(Log().find("Received command reconfigure/GraphReconfigure"), std::string::npos);
  EXPECT_NE(Log().find("Got unknown command restart from client tunnel, ignored"),
            std::string::npos);
}

// The user's token travels as a command text: the log shows its length only.
TEST_F(TarnIPCServerTest, UserTokenIsLoggedByItsLengthOnly) {
  const std::string token = "eyJhbGciOiJIUzI1NiJ9.secret-part.signature";
  const std::string line =
      "Received command (" + std::to_string(token.size()) + " bytes)/GraphUserCmd";
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  do {
    EXPECT_TRUE(Send(Command("GraphUserCmd", token)).has_value());
    if (Log().find(line) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  const std::string log = Log();
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find("secret-part"), std::string::npos) << log;
}

// A line end inside a client's subsystem or command cannot forge a line.
TEST_F(TarnIPCServerTest, ClientTextIsEscapedInTheLog) {
  // JSON escapes: the parsed strings hold a real CR, LF and ESC.
  const std::string received = "Received command start\\r\\n forged\\x1B/Graph\\nCmd\n";
  // The line's call site may have spent its budget in an earlier test of this
  // process: sent again until a new second lets it through.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  do {
    EXPECT_TRUE(Send(Command("Graph\\nCmd", "start\\r\\n forged\\u001b")).has_value());
    if (Log().find(received) != std::string::npos) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  } while (std::chrono::steady_clock::now() < deadline);
  EXPECT_EQ(Send(Command("tunnel", "x\\n forged too")), std::nullopt);
  std::string log = Log();
  EXPECT_NE(log.find(received), std::string::npos) << log;
  EXPECT_NE(log.find("Got unknown command x\\n forged too from client tunnel, ignored\n"),
            std::string::npos);
  EXPECT_EQ(log.find("\n forged"), std::string::npos);
}

TEST_F(TarnIPCServerTest, ExhaustedRingDropsWithWarning) {
  std::vector<_QMSGBLOCK*> held;
  for (int i = 0; i < kIpcRingBlocks; ++i) {
    server_.tarn_equeue_msg(Command("GraphCmd", "c" + std::to_string(i)));
  }
  server_.tarn_equeue_msg(Command("GraphCmd", "one too many"));
  EXPECT_NE(Log().find("No free message block, command one too many/GraphCmd dropped"),
            std::string::npos);
  // Consuming the oldest block makes room for the next command, in order.
  _QMSGBLOCK* first = queue_.wait();
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(first->data), first->data_length), "c0");
  qmsgblock_release(first);
  for (int i = 1; i < kIpcRingBlocks; ++i) qmsgblock_release(queue_.wait());
  EXPECT_EQ(Send(Command("GraphCmd", "after")), (Queued{4, "GraphCmd", "after"}));
}

// Records the ring cursor at the moment fail-close changes.
class CursorAtUpdate : public IFailCloseUpdate {
 public:
  explicit CursorAtUpdate(TarnIPCServer* server) : server_(server) {}
  bool UpdateFailClose(bool effective) override {
    calls.push_back({effective, server_->pool().cursor()});
    return true;
  }
  std::vector<std::pair<bool, int32_t>> calls;

 private:
  TarnIPCServer* server_;
};

TEST_F(TarnIPCServerTest, ReconfigureRereadsFailCloseFirst) {
  failClose_.Initialize();
  ASSERT_FALSE(failClose_.IsConfigured());
  CursorAtUpdate listener(&server_);
  failClose_.RegisterListener(&listener);

  // Unchanged override: no update.
  EXPECT_TRUE(Send(Command("GraphReconfigure", "reconfigure")));
  EXPECT_TRUE(listener.calls.empty());

  reg::Key key;
  ASSERT_EQ(reg::create_key(reg::RootKey::kLocalMachine, "SOFTWARE\\Corvex\\tarn",
                            reg::kKeyAllAccess | reg::kKeyWow64_64Key, &key),
            0u);
  const char kEnabled[] = "enabled";
  ASSERT_EQ(
      reg::set_value(key, "failclose_testing_variable", reg::kRegSz, kEnabled, sizeof kEnabled),
      0u);
  int32_t cursor = server_.pool().cursor();
  EXPECT_TRUE(Send(Command("GraphReconfigure", "reconfigure")));
  ASSERT_EQ(listener.calls.size(), 1u);
  EXPECT_TRUE(listener.calls[0].first);
  EXPECT_EQ(listener.calls[0].second, cursor);  // before the block was taken
  EXPECT_TRUE(failClose_.IsConfigured());
  // Other commands never look at it.
  ASSERT_EQ(reg::set_value(key, "failclose_testing_variable", reg::kRegSz, "disabled", 9), 0u);
  EXPECT_TRUE(Send(Command("GraphReconfigure", "start")));
  EXPECT_EQ(listener.calls.size(), 1u);
  failClose_.UnregisterListener(&listener);
}

uint32_t Le32(const std::string& bytes, size_t at) {
  uint32_t v = 0;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

bool TcpdumpReads(const std::string& path) {
  pid_t pid = ::fork();
  if (pid == 0) {
    int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    ::execlp("tcpdump", "tcpdump", "-n", "-r", path.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST_F(TarnIPCServerTest, PacketDumpCommands) {
  const std::string path = log_.root().path() + "/var/log/Corvex/pellar/Logs/tarnpktdump.pcap";
  struct Case {
    const char* command;
    const char* logged;
  };
  const Case invalid[] = {{";;", "invalid pkt dump sub command"},
                          {"", "invalid pkt dump sub command"},
                          {"begin", "invalid pkt dump sub command"}};
  for (const Case& c : invalid) {
    SCOPED_TRACE(c.command);
    EXPECT_EQ(Send(Command("pktDumpCommand", c.command)), std::nullopt);
  }
  EXPECT_FALSE(g_tarn_pktdump_running.load());

  EXPECT_EQ(Send(Command("pktDumpCommand", "start;200")), std::nullopt);
  EXPECT_TRUE(g_tarn_pktdump_running.load());
  EXPECT_NE(Log().find("start packet dump. slen = 200"), std::string::npos);
  EXPECT_NE(Log().find("==>cx_pktdump_init"), std::string::npos);
  server_.tarn_equeue_msg(Command("pktDumpCommand", "start;300"));
  EXPECT_NE(Log().find("Packet dump is already in-progress."), std::string::npos);
  EXPECT_EQ(Log().find("slen = 300"), std::string::npos);

  std::vector<uint8_t> packet(300, 0);
  packet[0] = 0x45;
  packet[2] = 300 >> 8;
  packet[3] = 300 & 0xFF;
  packet[8] = 64;
  packet[9] = 17;
  ASSERT_TRUE(cx_pktdump_writer().pushData(packet.data(), 300));
  // A stop discards what the writer has not written yet.
  for (int i = 0; i < 200 && ReadFile(path).size() < 240u; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  server_.tarn_equeue_msg(Command("pktDumpCommand", "stop"));
  EXPECT_FALSE(g_tarn_pktdump_running.load());
  EXPECT_NE(Log().find("stop packet dump."), std::string::npos);

  std::string bytes = ReadFile(path);
  ASSERT_EQ(bytes.size(), 24u + 16u + 200u);
  EXPECT_EQ(Le32(bytes, 24 + 8), 200u);   // captured
  EXPECT_EQ(Le32(bytes, 24 + 12), 300u);  // on the wire
  EXPECT_TRUE(TcpdumpReads(path));

  // A snap length that is not one number falls back to the default.
  for (const char* command : {"start;x", "start;1;2"}) {
    SCOPED_TRACE(command);
    server_.tarn_equeue_msg(Command("pktDumpCommand", command));
    EXPECT_TRUE(g_tarn_pktdump_running.load());
    server_.tarn_equeue_msg(Command("pktDumpCommand", "stop"));
  }
  size_t zero = 0;
  for (size_t at = Log().find("start packet dump. slen = 0"); at != std::string::npos;
       at = Log().find("start packet dump. slen = 0", at + 1)) {
    ++zero;
  }
  EXPECT_EQ(zero, 2u);
}

}  // namespace
