// queue-floor: the least work a netfilter-queue capture can do. It binds a
// queue the way the capture backend does, loads the backend's rule shape for
// it, and accepts every batch it reads with one NF_ACCEPT batch verdict; it
// copies, steals and re-injects nothing. The service benchmark measures
// against it as the floor any capture costs. Rules go on SIGINT/SIGTERM.
//
//   queue-floor (--netns NAME | --here)
//
// It captures real traffic, so it enters the named network namespace first
// (/run/netns/NAME); `--here` says the caller has already put it into a
// namespace made for the purpose.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sys/mman.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/divert/divert.h"
#include "platform/divert/netfilter_queue.h"
#include "platform/divert/netfilter_rules.h"
#include "tools/common/enter_netns.h"

namespace {

namespace nf = platform::divert::nf;

// The backend's queue range and depth, so the kernel side matches.
constexpr uint16_t kFirstQueue = 30000;
constexpr uint32_t kQueueCount = 1024;
constexpr uint32_t kQueueMaxLen = 4096;
constexpr size_t kSlot = 65536 + 4096;
constexpr unsigned kBatch = WINDIVERT_BATCH_MAX;

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

int usage() {
  fprintf(stderr, "usage: queue-floor (--netns NAME | --here)\n");
  return 2;
}

bool remove_rules(uint16_t queue) {
  std::string saved;
  if (!nf::save_raw(&saved)) return false;
  const std::string script = nf::removal_script(saved, [queue](uint16_t q) { return q == queue; });
  return script.empty() || nf::restore(script);
}

}  // namespace

int main(int argc, char** argv) {
  std::string netns;
  bool here = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--here") {
      here = true;
    } else if (arg == "--netns" && i + 1 < argc) {
      netns = argv[++i];
    } else {
      return usage();
    }
  }
  if (netns.empty() == !here) return usage();
  if (!netns.empty() && !enter_netns(netns, "queue-floor")) return 1;

  struct sigaction sa {};
  sa.sa_handler = on_stop;  // no SA_RESTART: a blocked receive returns EINTR
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  nf::QueueSocket queue;
  if (const int err = queue.open(kFirstQueue, kQueueCount, kQueueMaxLen); err != 0) {
    fprintf(stderr, "queue-floor: cannot bind a queue: %s\n", strerror(err));
    return 1;
  }
  const int fd = queue.fd();
  // A signal that lands between the stop check and the receive would
  // otherwise wait for the next packet.
  timeval tick{0, 200000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tick, sizeof(tick));

  void* mem = mmap(nullptr, kSlot * kBatch, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mem == MAP_FAILED) {
    perror("queue-floor: mmap");
    return 1;
  }
  auto* slots = static_cast<uint8_t*>(mem);
  static mmsghdr msgs[kBatch];
  static iovec iovs[kBatch];
  for (unsigned i = 0; i < kBatch; ++i) {
    iovs[i] = {slots + i * kSlot, kSlot};
    msgs[i].msg_hdr.msg_iov = &iovs[i];
    msgs[i].msg_hdr.msg_iovlen = 1;
  }

  if (!remove_rules(queue.queue()) || !nf::restore(nf::install_script(queue.queue()))) {
    fprintf(stderr, "queue-floor: cannot load the rules\n");
    remove_rules(queue.queue());
    return 1;
  }
  printf("ready queue=%u\n", queue.queue());
  fflush(stdout);

  unsigned long long packets = 0, batches = 0, bytes = 0;
  alignas(4) uint8_t verdict[nf::kVerdictMessageSize];
  while (!g_stop) {
    const int n = recvmmsg(fd, msgs, kBatch, MSG_WAITFORONE, nullptr);
    if (n <= 0) continue;
    bool any = false;
    uint32_t last_id = 0;
    for (int m = 0; m < n; ++m) {
      const uint8_t* p = slots + static_cast<size_t>(m) * kSlot;
      size_t left = msgs[m].msg_len;
      while (left > 0) {
        nf::QueuedPacket pkt;
        int code = 0;
        size_t used = 0;
        const nf::MessageKind kind = nf::parse_message(p, left, &pkt, &code, &used);
        if (kind == nf::MessageKind::kMalformed || used == 0) break;
        p += used;
        left -= used;
        if (kind != nf::MessageKind::kPacket) continue;
        // Ids rise in queue order, so the batch verdict for the last covers all.
        last_id = pkt.id;
        any = true;
        ++packets;
        bytes += pkt.original_len;
      }
    }
    if (!any) continue;
    size_t len = 0;
    nf::put_verdict(verdict, sizeof(verdict), &len, queue.queue(), last_id, nf::kVerdictAccept,
                    true);
    queue.send(verdict, len);
    ++batches;
  }

  // The rules go before the queue: a queue without a listener would make the
  // kernel bypass, but a chain without its process is clutter.
  const bool removed = remove_rules(queue.queue());
  printf("packets=%llu batches=%llu bytes=%llu per_recv=%.1f\n", packets, batches, bytes,
         batches == 0 ? 0.0 : static_cast<double>(packets) / static_cast<double>(batches));
  munmap(mem, kSlot * kBatch);
  if (!removed) {
    fprintf(stderr, "queue-floor: could not remove the rules of queue %u\n", queue.queue());
    return 1;
  }
  return 0;
}
