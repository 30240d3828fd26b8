// A stand-in for a hub in the tunnel fixture's own test: reads the
// configuration file it is given, exits at once with the code in "exit" when
// there is one, never answers with "mute", and otherwise serves its "control" socket one line at a
// time: "netns" answers the inode of its network namespace, "quit" answers "bye" and ends it with
// 0, anything else answers "unknown".
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  std::ifstream in(argv[1]);
  std::stringstream text;
  text << in.rdbuf();
  nlohmann::json config = nlohmann::json::parse(text.str(), nullptr, false);
  if (!config.is_object()) return 2;
  if (config.contains("exit")) {
    std::fprintf(stderr, "fake hub: told to exit\n");
    return config["exit"].get<int>();
  }
  if (config.contains("mute")) {
    while (true) ::pause();
  }
  std::string path = config.value("control", "");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) return 2;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  int server = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ::unlink(path.c_str());
  if (::bind(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return 1;
  struct stat netns {};
  ::stat("/proc/self/ns/net", &netns);
  // Written before listen(): the fixture's readiness check is a connect, and
  // the test reads this line as soon as that succeeds.
  std::printf("fake hub: listening\n");
  std::fflush(stdout);
  if (::listen(server, 8) != 0) return 1;
  while (true) {
    int client = ::accept(server, nullptr, nullptr);
    if (client < 0) continue;
    std::string line;
    char c;
    while (line.size() < 256 && ::read(client, &c, 1) == 1 && c != '\n') line += c;
    std::string answer = "unknown\n";
    if (line == "netns") answer = std::to_string(netns.st_ino) + "\n";
    if (line == "quit") answer = "bye\n";
    // The fixture's readiness check connects and hangs up at once.
    if (::send(client, answer.data(), answer.size(), MSG_NOSIGNAL) < 0 && !line.empty())
      std::perror("fake hub: send");
    ::close(client);
    if (line == "quit") break;
  }
  ::close(server);
  ::unlink(path.c_str());
  return 0;
}
