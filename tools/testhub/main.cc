// testhub CONFIG.json       runs one hub until `quit` or SIGTERM
// testhub ctl SOCKET COMMAND prints the hub's one-line JSON answer
#include <signal.h>

#include <cstdio>
#include <string>

#include "tools/testhub/config.h"
#include "tools/testhub/ctl.h"
#include "tools/testhub/hub.h"

int main(int argc, char** argv) {
  if (argc >= 4 && std::string(argv[1]) == "ctl") {
    std::string command = argv[3];
    for (int i = 4; i < argc; ++i) command += std::string(" ") + argv[i];
    std::string answer, error;
    if (!testhub::ctl_request(argv[2], command, &answer, &error)) {
      std::fprintf(stderr, "testhub ctl: %s\n", error.c_str());
      return 1;
    }
    std::printf("%s\n", answer.c_str());
    return 0;
  }
  if (argc != 2) {
    std::fprintf(stderr, "usage: testhub CONFIG.json | testhub ctl SOCKET COMMAND\n");
    return 2;
  }
  testhub::HubConfig config;
  std::string error;
  if (!testhub::load_config(argv[1], &config, &error)) {
    std::fprintf(stderr, "testhub: %s\n", error.c_str());
    return 1;
  }
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  sigprocmask(SIG_BLOCK, &set, nullptr);
  signal(SIGPIPE, SIG_IGN);
  testhub::Hub hub(config);
  if (!hub.start(&error)) {
    std::fprintf(stderr, "testhub: %s\n", error.c_str());
    return 1;
  }
  std::printf("testhub: listening on %s port %u\n", config.wanip.c_str(), hub.port());
  std::fflush(stdout);
  return hub.run();
}
