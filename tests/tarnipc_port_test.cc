// The IPC command server on its real port, 4444, driven by the test client
// over loopback. Tests of this file share one ctest resource lock on the port.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "ostgraphsvc/tarnipc/tarnipc.h"
#include "tests/support/fake_proc.h"
#include "tests/support/started_log.h"

namespace {

using testing_support::StartedLog;

std::string Command(const std::string& subsystem, const std::string& command) {
  return R"({"65535": {"command_subsystem": ")" + subsystem + R"(", "command": ")" + command +
         R"("}})";
}

// Runs the test client with `texts`, shown in the log's system root as an
// allowed program of this one's folder; its standard output.
std::string RunClient(const StartedLog& log, const std::vector<std::string>& texts) {
  int out[2];
  int go[2];
  if (::pipe(out) != 0) return "";
  if (::pipe(go) != 0) return "";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::close(out[0]);
    ::close(out[1]);
    // Connects only once it is planted.
    ::close(go[1]);
    char byte;
    if (::read(go[0], &byte, 1) != 1) ::_exit(127);
    std::vector<std::string> args = {CXCOM2_CLIENT_PEER, "4444", "ipc-test"};
    args.insert(args.end(), texts.begin(), texts.end());
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(go[0]);
  testing_support::PlantProcess(log.root().path(), pid,
                                testing_support::BesideThisProgram("pellarui"));
  (void)!::write(go[1], "g", 1);
  ::close(go[1]);
  std::string output;
  char chunk[4096];
  for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) {
    output.append(chunk, static_cast<size_t>(n));
  }
  ::close(out[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  return output;
}

std::string Repeat(const std::string& line, int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += line;
  return text;
}

TEST(TarnIPCPortTest, CommandsAreQueuedAndAnsweredOK) {
  StartedLog log(0);
  // The statistics element may ask first, without a queue: the server then
  // posts to the process-wide one.
  TarnIPCServer& server = TarnIPCServer::GetInstance(nullptr);
  ASSERT_TRUE(server.endpoint().initializeWinsock());
  ASSERT_TRUE(server.endpoint().startServer("127.0.0.1", kTarnIPCPort, &g_tarn_ipc_listener));
  for (int i = 0; i < 500 && server.endpoint().boundPort() != kTarnIPCPort; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(server.endpoint().boundPort(), kTarnIPCPort);

  std::vector<std::string> texts = {
      Command("GraphReconfigure", "reconfigure"),
      Command("GraphCmd", "Start"),
      Command("tunnel", "enable"),
      Command("tunnel", "disable"),
      Command("tunnel", "other"),
      R"({"65535": {"command_subsystem": "GraphCmd", "command": 7}})",
      R"([1, 2])",
      "not json",
  };
  EXPECT_EQ(RunClient(log, texts), "ack\n" + Repeat("text OK\n", 8));
  struct Want {
    int32_t type;
    const char* tag;
    const char* data;
  };
  const Want wants[] = {{4, "GraphReconfigure", "reconfigure"},
                        {4, "GraphCmd", "Start"},
                        {11, "tunnel", "enable"},
                        {13, "tunnel", "disable"}};
  for (const Want& w : wants) {
    _QMSGBLOCK* block = g_qmsg_queue.wait();
    EXPECT_EQ(block->msgtype, w.type);
    EXPECT_STREQ(qmsgblock_tag(block), w.tag);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->data), block->data_length), w.data);
    qmsgblock_release(block);
  }

  // 129 commands nobody consumes: the last finds no block but is still
  // answered, and the log names it.
  std::vector<std::string> flood;
  for (int i = 0; i < 129; ++i) flood.push_back(Command("GraphCmd", "n" + std::to_string(i)));
  EXPECT_EQ(RunClient(log, flood), "ack\n" + Repeat("text OK\n", 129));
  EXPECT_NE(log.text().find("No free message block, command n128/GraphCmd dropped"),
            std::string::npos);
  for (int i = 0; i < 128; ++i) {
    _QMSGBLOCK* block = g_qmsg_queue.wait();
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block->data), block->data_length),
              "n" + std::to_string(i));
    qmsgblock_release(block);
  }
  EXPECT_TRUE(server.endpoint().stop());
}

}  // namespace
