#include "platform/divert/netfilter_rules.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

extern char** environ;

namespace platform::divert::nf {
namespace {

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    size_t end = text.find('\n');
    if (end == std::string_view::npos) end = text.size();
    lines.push_back(text.substr(0, end));
    text.remove_prefix(end == text.size() ? end : end + 1);
  }
  return lines;
}

std::vector<std::string_view> split_words(std::string_view line) {
  std::vector<std::string_view> words;
  size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) words.push_back(line.substr(start, i - start));
  }
  return words;
}

// The queue number of one of our chain names; false for any other name.
bool parse_chain(std::string_view name, uint16_t* queue) {
  if (name.substr(0, kChainPrefix.size()) != kChainPrefix) return false;
  std::string_view digits = name.substr(kChainPrefix.size());
  if (digits.empty() || digits.size() > 5) return false;
  unsigned value = 0;
  auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (ec != std::errc() || end != digits.data() + digits.size() || value > 0xFFFF) return false;
  // Only the canonical spelling is ours ("DOVADOD_Q07" is someone else's).
  if (digits.size() > 1 && digits[0] == '0') return false;
  *queue = static_cast<uint16_t>(value);
  return true;
}

void close_fd(int* fd) {
  if (*fd < 0) return;
  ::close(*fd);
  *fd = -1;
}

}  // namespace

std::string chain_name(uint16_t queue) { return std::string(kChainPrefix) + std::to_string(queue); }

std::string install_script(uint16_t queue) {
  const std::string chain = chain_name(queue);
  char mark[32];
  snprintf(mark, sizeof(mark), "0x%x/0x%x", kReinjectMark, kReinjectMark);
  std::string s = "*raw\n";
  s += ":" + chain + " - [0:0]\n";
  s += "-A " + chain + " -m mark --mark " + mark + " -j RETURN\n";
  s += "-A " + chain + " -i lo -j RETURN\n";
  s += "-A " + chain + " -o lo -j RETURN\n";
  s += "-A " + chain + " -j NFQUEUE --queue-num " + std::to_string(queue) + " --queue-bypass\n";
  s += "-I OUTPUT -m addrtype --dst-type UNICAST -j " + chain + "\n";
  s += "-I PREROUTING ! -d 127.0.0.0/8 -m addrtype --dst-type LOCAL -j " + chain + "\n";
  s += "COMMIT\n";
  return s;
}

std::vector<uint16_t> our_chains(std::string_view saved) {
  std::vector<uint16_t> queues;
  bool in_raw = false;
  for (std::string_view line : split_lines(saved)) {
    if (line.size() > 1 && line[0] == '*') in_raw = (line == "*raw");
    if (!in_raw || line.empty() || line[0] != ':') continue;
    std::vector<std::string_view> words = split_words(line.substr(1));
    uint16_t queue = 0;
    if (!words.empty() && parse_chain(words[0], &queue)) queues.push_back(queue);
  }
  return queues;
}

std::string removal_script(std::string_view saved,
                           const std::function<bool(uint16_t queue)>& remove) {
  std::vector<std::string> chains;
  for (uint16_t queue : our_chains(saved)) {
    if (remove(queue)) chains.push_back(chain_name(queue));
  }
  if (chains.empty()) return {};
  auto doomed = [&chains](std::string_view name) {
    for (const std::string& c : chains) {
      if (c == name) return true;
    }
    return false;
  };

  std::string body;
  bool in_raw = false;
  for (std::string_view line : split_lines(saved)) {
    if (line.size() > 1 && line[0] == '*') in_raw = (line == "*raw");
    if (!in_raw || line.substr(0, 3) != "-A ") continue;
    // Rules inside a doomed chain go with -X after -F; rules elsewhere that
    // jump or go to it must be deleted first or -X fails.
    std::vector<std::string_view> words = split_words(line);
    if (words.size() < 2 || doomed(words[1])) continue;
    for (size_t i = 2; i + 1 < words.size(); ++i) {
      if ((words[i] == "-j" || words[i] == "-g") && doomed(words[i + 1])) {
        body += "-D ";
        body += line.substr(3);
        body += "\n";
        break;
      }
    }
  }
  for (const std::string& c : chains) body += "-F " + c + "\n";
  for (const std::string& c : chains) body += "-X " + c + "\n";
  return "*raw\n" + body + "COMMIT\n";
}

std::vector<uint16_t> live_queues(std::string_view proc_text) {
  std::vector<uint16_t> queues;
  for (std::string_view line : split_lines(proc_text)) {
    std::vector<std::string_view> words = split_words(line);
    if (words.empty()) continue;
    unsigned value = 0;
    auto [end, ec] = std::from_chars(words[0].data(), words[0].data() + words[0].size(), value);
    if (ec != std::errc() || end != words[0].data() + words[0].size() || value > 0xFFFF) continue;
    queues.push_back(static_cast<uint16_t>(value));
  }
  return queues;
}

uint64_t queue_drops(std::string_view proc_text, uint16_t queue) {
  for (std::string_view line : split_lines(proc_text)) {
    std::vector<std::string_view> words = split_words(line);
    // queue, portid, total, copy mode, copy range, queue dropped, user dropped, ...
    if (words.size() < 7) continue;
    unsigned number = 0;
    auto r = std::from_chars(words[0].data(), words[0].data() + words[0].size(), number);
    if (r.ec != std::errc() || number != queue) continue;
    uint64_t total = 0;
    for (size_t i = 5; i <= 6; ++i) {
      uint64_t value = 0;
      auto v = std::from_chars(words[i].data(), words[i].data() + words[i].size(), value);
      if (v.ec == std::errc()) total += value;
    }
    return total;
  }
  return 0;
}

int run_program(const std::vector<std::string>& argv, std::string_view input, std::string* output) {
  if (argv.empty() || argv[0].empty() || argv[0][0] != '/') return -1;
  // A socket pair rather than a pipe for stdin: MSG_NOSIGNAL keeps a child
  // that exits early from killing us with SIGPIPE.
  int in_pair[2] = {-1, -1};
  int out_pair[2] = {-1, -1};
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in_pair) != 0) return -1;
  if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, out_pair) != 0) {
    close_fd(&in_pair[0]);
    close_fd(&in_pair[1]);
    return -1;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pair[1], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pair[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close_fd(&in_pair[1]);
  close_fd(&out_pair[1]);
  if (rc != 0) {
    close_fd(&in_pair[0]);
    close_fd(&out_pair[0]);
    return -1;
  }

  size_t written = 0;
  if (input.empty()) shutdown(in_pair[0], SHUT_WR);
  char buf[4096];
  while (out_pair[0] >= 0) {
    pollfd fds[2] = {{out_pair[0], POLLIN, 0}, {-1, POLLOUT, 0}};
    if (in_pair[0] >= 0 && written < input.size()) fds[1].fd = in_pair[0];
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[1].revents != 0) {
      ssize_t n = send(in_pair[0], input.data() + written, input.size() - written,
                       MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) written += static_cast<size_t>(n);
      if (n < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
      if (written == input.size()) close_fd(&in_pair[0]);
    }
    if (fds[0].revents == 0) continue;
    ssize_t n = read(out_pair[0], buf, sizeof(buf));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    if (output != nullptr) output->append(buf, static_cast<size_t>(n));
  }
  close_fd(&in_pair[0]);
  close_fd(&out_pair[0]);

  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  if (!WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

bool save_raw(std::string* out) {
  out->clear();
  return run_program({kIptablesSave, "-t", "raw"}, {}, out) == 0;
}

bool restore(std::string_view script) {
  return run_program({kIptablesRestore, "--noflush", "-w"}, script, nullptr) == 0;
}

}  // namespace platform::divert::nf
