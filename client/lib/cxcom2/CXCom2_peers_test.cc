// The endpoint between processes: the test server and client peers run as
// copies in folders of the test's own, since the server admits a client by
// the path of the executable that owns the client's end of the connection.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/temp_root.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::ReadFile;
using testing_support::TempRoot;

// A peer program with its standard output on a pipe, its standard error in a
// file and, if asked, its standard input on a pipe.
class Peer {
 public:
  Peer(const std::string& program, const std::vector<std::string>& args,
       const std::vector<std::string>& environment, const std::string& errorFile, bool withInput) {
    int out[2];
    int in[2] = {-1, -1};
    EXPECT_EQ(::pipe2(out, O_CLOEXEC), 0);
    if (withInput) {
      EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, errorFile.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (withInput) posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);

    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char*> argp;
    for (std::string& a : argv) argp.push_back(a.data());
    argp.push_back(nullptr);
    // The caller's variables win over the inherited ones.
    std::vector<std::string> env = environment;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string entry = *e;
      std::string name = entry.substr(0, entry.find('='));
      bool overridden = std::any_of(env.begin(), env.end(), [&](const std::string& mine) {
        return mine.compare(0, name.size() + 1, name + "=") == 0;
      });
      if (!overridden) env.push_back(entry);
    }
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    EXPECT_EQ(posix_spawn(&pid_, program.c_str(), &actions, nullptr, argp.data(), envp.data()), 0)
        << program;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    out_ = out[0];
    if (withInput) {
      ::close(in[0]);
      in_ = in[1];
    }
  }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;
  ~Peer() {
    closeInput();
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
  }

  pid_t pid() const { return pid_; }

  void closeInput() {
    if (in_ >= 0) ::close(in_);
    in_ = -1;
  }

  // The next line of output without its newline; nullopt at the end or on
  // time-out.
  std::optional<std::string> readLine(std::chrono::milliseconds timeout = 10s) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
      size_t end = buffered_.find('\n');
      if (end != std::string::npos) {
        std::string line = buffered_.substr(0, end);
        buffered_.erase(0, end + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd p{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[4096];
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffered_.append(chunk, static_cast<size_t>(n));
    }
  }

  // Every line up to the end of output, then the exit code (-1 when it did
  // not end in time).
  int finish(std::vector<std::string>* lines, std::chrono::milliseconds timeout = 10s) {
    while (auto line = readLine(timeout)) lines->push_back(*line);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(5ms);
    }
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string buffered_;
};

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

void CopyProgram(const std::string& from, const fs::path& to) {
  fs::create_directories(to.parent_path());
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
  fs::permissions(to, fs::perms::owner_all);
}

class CXCom2PeersTest : public ::testing::Test {
 protected:
  CXCom2PeersTest() : serverDir_(fs::path(root_.path()) / "opt/Corvex/Bin") {
    CopyProgram(CXCOM2_SERVER_PEER, serverDir_ / "dovadod");
  }

  // Starts the server peer; its port, or 0.
  uint16_t StartServer(const std::string& sysroot) {
    // A short handshake wait: a client wrongly served but silent shows soon.
    server_.emplace(
        (serverDir_ / "dovadod").string(),
        std::vector<std::string>{"--level", "5", "--handshake-ms", "2000"},
        std::vector<std::string>{"DOVADOD_ROOT=" + root_.path(), "DOVADOD_SYSROOT=" + sysroot},
        root_.file("server.log"), true);
    auto line = server_->readLine();
    if (!line || line->rfind("port ", 0) != 0) return 0;
    return static_cast<uint16_t>(std::stoi(line->substr(5)));
  }

  // Runs a client copy that sends "hello"; its exit code and output.
  int RunClient(const fs::path& program, uint16_t port, std::vector<std::string>* lines) {
    Peer client(program.string(), {std::to_string(port), "ui", "hello"}, {},
                root_.file("client.log"), false);
    return client.finish(lines);
  }

  // A connection made while the server is stopped, so that it is checked only
  // after ResumeServer, once the test has arranged who holds it. Inheritable.
  int ConnectWhilePaused(uint16_t port) {
    EXPECT_EQ(::kill(server_->pid(), SIGSTOP), 0);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
    return fd;
  }
  void ResumeServer() { EXPECT_EQ(::kill(server_->pid(), SIGCONT), 0); }

  // Stops the server peer; its output after the port line.
  std::vector<std::string> StopServer() {
    server_->closeInput();
    std::vector<std::string> lines;
    EXPECT_EQ(server_->finish(&lines), 0);
    return lines;
  }

  TempRoot root_;
  fs::path serverDir_;
  std::optional<Peer> server_;
};

TEST_F(CXCom2PeersTest, OnlyAllowedProgramsInTheServersFolderAreServed) {
  const fs::path otherDir = fs::path(root_.path()) / "elsewhere";
  struct Case {
    fs::path program;
    bool served;
  } cases[] = {
      {serverDir_ / "pellarui", true},
      {serverDir_ / "PellarUI", true},
      // The server's own program, which only root may hold a client with.
      {serverDir_ / "dovadod.exe", ::geteuid() == 0},
      {serverDir_ / "pellar", false},  // a prefix of an allowed name
      {otherDir / "pellarui", false},
  };
  for (const Case& c : cases) CopyProgram(CXCOM2_CLIENT_PEER, c.program);

  uint16_t port = StartServer("/");
  ASSERT_NE(port, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.program.string());
    std::vector<std::string> lines;
    int code = RunClient(c.program, port, &lines);
    if (c.served) {
      EXPECT_EQ(code, 0);
      EXPECT_EQ(lines, (std::vector<std::string>{"ack", "text OK"}));
      // Answered, then the client closes.
      ASSERT_EQ(server_->readLine(), "new ui");
      ASSERT_EQ(server_->readLine(), "message ui hello");
      ASSERT_EQ(server_->readLine(), "disconnect 10054 ui");
      continue;
    }
    EXPECT_EQ(code, 3);
    EXPECT_EQ(lines, (std::vector<std::string>{"closed"}));
    // The owner's path comes lower-cased from the lookup.
    std::string path = Lower(c.program.string());
    ASSERT_EQ(server_->readLine(), "invalid " + path);
    ASSERT_EQ(server_->readLine(), "error -8 ");
  }
  EXPECT_EQ(StopServer(), std::vector<std::string>{"stopped"});

  std::string log = ReadFile(root_.file("server.log"));
  for (const Case& c : cases) {
    std::string line = "3 CXCOM2 invalid client connection from " + Lower(c.program.string());
    EXPECT_EQ(log.find(line + "\n") != std::string::npos, !c.served) << line;
  }
  EXPECT_NE(log.find("5 CXCOM2 module filename is " + (serverDir_ / "dovadod").string()),
            std::string::npos);
}

TEST_F(CXCom2PeersTest, AClientWhoseOwnerCannotBeFoundIsRefused) {
  // An empty system root: no socket tables, so no owner to check.
  fs::path program = fs::path(root_.path()) / "elsewhere/pellar";
  CopyProgram(CXCOM2_CLIENT_PEER, program);
  uint16_t port = StartServer(root_.path());
  ASSERT_NE(port, 0);
  std::vector<std::string> lines;
  EXPECT_EQ(RunClient(program, port, &lines), 3);
  EXPECT_EQ(lines, (std::vector<std::string>{"closed"}));
  EXPECT_EQ(server_->readLine(), "error -8 ");
  StopServer();
  EXPECT_NE(ReadFile(root_.file("server.log")).find("3 CXCOM2 cannot get client name"),
            std::string::npos);
}

TEST_F(CXCom2PeersTest, AConnectionInFlightBetweenProcessesIsRefused) {
  uint16_t port = StartServer("/");
  ASSERT_NE(port, 0);
  int fd = ConnectWhilePaused(port);
  // Parked in a Unix socket's queue with no copy left: no process holds it.
  int pair[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  char byte = 0;
  iovec data{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr message{};
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  cmsghdr* header = CMSG_FIRSTHDR(&message);
  header->cmsg_level = SOL_SOCKET;
  header->cmsg_type = SCM_RIGHTS;
  header->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(header), &fd, sizeof fd);
  EXPECT_EQ(::sendmsg(pair[0], &message, 0), 1);
  ::close(fd);
  ResumeServer();
  EXPECT_EQ(server_->readLine(), "error -8 ");
  ::close(pair[0]);
  ::close(pair[1]);
  StopServer();
  EXPECT_NE(ReadFile(root_.file("server.log")).find("3 CXCOM2 cannot get client name"),
            std::string::npos);
}

TEST_F(CXCom2PeersTest, EveryProcessHoldingTheConnectionMustBeAllowed) {
  const fs::path allowed = serverDir_ / "pellarui";
  CopyProgram(CXCOM2_CLIENT_PEER, allowed);
  uint16_t port = StartServer("/");
  ASSERT_NE(port, 0);
  int fd = ConnectWhilePaused(port);
  // The allowed program is started first, so a walk in process order meets it
  // before the other holder.
  Peer client(allowed.string(), {"0", "ui", "--fd", std::to_string(fd), "hello"}, {},
              root_.file("client.log"), false);
  const std::string sleep = fs::canonical("/bin/sleep").string();
  Peer other(sleep, {"30"}, {}, root_.file("other.log"), false);
  ::close(fd);
  ResumeServer();
  std::vector<std::string> lines;
  EXPECT_EQ(client.finish(&lines), 3);
  EXPECT_EQ(lines, (std::vector<std::string>{"closed"}));
  EXPECT_EQ(server_->readLine(), "invalid " + Lower(sleep));
  EXPECT_EQ(server_->readLine(), "error -8 ");
}

TEST_F(CXCom2PeersTest, AProgramMountedAtAnAllowedPathInAnotherNamespaceIsRefused) {
  if (std::system("unshare -Urm true 2>/dev/null") != 0) {
    GTEST_SKIP() << "cannot make a user and mount namespace here";
  }
  // The allowed path exists only as a mount point; the program bound over it
  // in the client's own namespace is any program at all.
  const fs::path allowed = serverDir_ / "pellarui";
  const fs::path planted = fs::path(root_.path()) / "elsewhere/planted";
  CopyProgram(CXCOM2_CLIENT_PEER, planted);
  testing_support::WriteFile(allowed.string(), "");
  uint16_t port = StartServer("/");
  ASSERT_NE(port, 0);
  Peer client("/usr/bin/unshare",
              {"-Urm", "sh", "-c", R"(mount --bind "$0" "$1" && exec "$1" "$2" ui hello)",
               planted.string(), allowed.string(), std::to_string(port)},
              {}, root_.file("client.log"), false);
  std::vector<std::string> lines;
  EXPECT_EQ(client.finish(&lines), 3);
  EXPECT_EQ(lines, (std::vector<std::string>{"closed"}));
  EXPECT_EQ(server_->readLine(), "invalid " + Lower(allowed.string()));
  EXPECT_EQ(server_->readLine(), "error -8 ");
}

TEST_F(CXCom2PeersTest, TheServersOwnProgramRunByAnotherAccountIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "running a program as another account needs root";
  // The account must reach the program.
  const fs::path program = serverDir_ / "dovadod";
  for (fs::path p = program; p != fs::path(root_.path()).parent_path(); p = p.parent_path()) {
    ASSERT_EQ(::chmod(p.c_str(), 0755), 0) << p;
  }
  uint16_t port = StartServer("/");
  ASSERT_NE(port, 0);
  int fd = ConnectWhilePaused(port);
  // The account execs the program with the connection and is held stopped
  // there (traced, so it stops at the exec before running any of it).
  struct Holder {
    ~Holder() {
      if (pid <= 0) return;
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
    }
    pid_t pid = -1;
  } holder;
  holder.pid = ::fork();
  if (holder.pid == 0) {
    if (::setgroups(0, nullptr) == 0 && ::setresgid(65534, 65534, 65534) == 0 &&
        ::setresuid(65534, 65534, 65534) == 0 &&
        ::ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) == 0) {
      ::execl(program.c_str(), program.c_str(), nullptr);
    }
    ::_exit(127);
  }
  ::close(fd);
  ASSERT_GT(holder.pid, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(holder.pid, &status, 0), holder.pid);
  ASSERT_TRUE(WIFSTOPPED(status)) << status;
  ResumeServer();
  EXPECT_EQ(server_->readLine(), "invalid " + Lower(program.string()));
  EXPECT_EQ(server_->readLine(), "error -8 ");
}

}  // namespace
