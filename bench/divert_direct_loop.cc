// divert_direct_loop: the baseline of the divert benchmark (divert_bench.sh).
// The shortest loop libmnl allows, sharing no code with platform/divert:
// recvmmsg of up to 255 queued packets, one batch drop verdict for them, and
// one sendmmsg of the same packets through a marked raw socket.
//
//   divert_direct_loop --netns NAME --queue N
//
// The caller loads the rules that feed queue N inside namespace NAME and stops
// the loop with SIGTERM; it then prints its packet and batch counts.
#include <arpa/inet.h>
#include <fcntl.h>
#include <libmnl/libmnl.h>
#include <linux/netfilter.h>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_queue.h>
#include <sched.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/common/enter_netns.h"

namespace {

constexpr unsigned kBatch = 255;
constexpr size_t kSlot = 65536 + 4096;
constexpr uint32_t kMark = 0x20000000;

volatile sig_atomic_t g_stop = 0;
void on_stop(int) { g_stop = 1; }

nlmsghdr* put_queue_header(char* buf, uint16_t type, uint16_t queue) {
  nlmsghdr* nlh = mnl_nlmsg_put_header(buf);
  nlh->nlmsg_type = static_cast<uint16_t>((NFNL_SUBSYS_QUEUE << 8) | type);
  nlh->nlmsg_flags = NLM_F_REQUEST;
  auto* gen = static_cast<nfgenmsg*>(mnl_nlmsg_put_extra_header(nlh, sizeof(nfgenmsg)));
  gen->nfgen_family = AF_UNSPEC;
  gen->version = NFNETLINK_V0;
  gen->res_id = htons(queue);
  return nlh;
}

bool config(mnl_socket* nl, uint16_t queue) {
  alignas(4) char buf[512];
  nlmsghdr* nlh = put_queue_header(buf, NFQNL_MSG_CONFIG, queue);
  nfqnl_msg_config_cmd cmd{};
  cmd.command = NFQNL_CFG_CMD_BIND;
  cmd.pf = htons(AF_INET);
  mnl_attr_put(nlh, NFQA_CFG_CMD, sizeof(cmd), &cmd);
  if (mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) < 0) return false;
  nlh = put_queue_header(buf, NFQNL_MSG_CONFIG, queue);
  nfqnl_msg_config_params params{};
  params.copy_range = htonl(0xFFFF);
  params.copy_mode = NFQNL_COPY_PACKET;
  mnl_attr_put(nlh, NFQA_CFG_PARAMS, sizeof(params), &params);
  mnl_attr_put_u32(nlh, NFQA_CFG_QUEUE_MAXLEN, htonl(4096));
  return mnl_socket_sendto(nl, nlh, nlh->nlmsg_len) >= 0;
}

struct Parsed {
  uint32_t id = 0;
  bool have_id = false;
  const uint8_t* payload = nullptr;
  uint16_t len = 0;
};

int attr_cb(const nlattr* attr, void* data) {
  auto* p = static_cast<Parsed*>(data);
  switch (mnl_attr_get_type(attr)) {
    case NFQA_PACKET_HDR:
      if (mnl_attr_get_payload_len(attr) >= sizeof(nfqnl_msg_packet_hdr)) {
        p->id =
            ntohl(static_cast<const nfqnl_msg_packet_hdr*>(mnl_attr_get_payload(attr))->packet_id);
        p->have_id = true;
      }
      break;
    case NFQA_PAYLOAD:
      p->payload = static_cast<const uint8_t*>(mnl_attr_get_payload(attr));
      p->len = mnl_attr_get_payload_len(attr);
      break;
    default:
      break;
  }
  return MNL_CB_OK;
}

}  // namespace

int main(int argc, char** argv) {
  std::string netns;
  long queue = -1;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (strcmp(argv[i], "--netns") == 0) netns = argv[i + 1];
    if (strcmp(argv[i], "--queue") == 0) queue = strtol(argv[i + 1], nullptr, 10);
  }
  if (netns.empty() || queue < 0 || queue > 65535) {
    fprintf(stderr, "usage: divert_direct_loop --netns NAME --queue N\n");
    return 2;
  }
  if (!enter_netns(netns, "divert_direct_loop")) return 1;

  struct sigaction sa {};
  sa.sa_handler = on_stop;  // no SA_RESTART: the blocked recvmmsg returns EINTR
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);

  mnl_socket* nl = mnl_socket_open(NETLINK_NETFILTER);
  if (nl == nullptr || mnl_socket_bind(nl, 0, MNL_SOCKET_AUTOPID) < 0) {
    perror("netlink");
    return 1;
  }
  const int fd = mnl_socket_get_fd(nl);
  int rcvbuf = 16 << 20, on = 1;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof(rcvbuf));
  setsockopt(fd, SOL_NETLINK, NETLINK_NO_ENOBUFS, &on, sizeof(on));
  if (!config(nl, static_cast<uint16_t>(queue))) {
    perror("queue config");
    return 1;
  }
  const int raw = socket(AF_INET, SOCK_RAW, IPPROTO_RAW);
  uint32_t mark = kMark;
  if (raw < 0 || setsockopt(raw, SOL_SOCKET, SO_MARK, &mark, sizeof(mark)) != 0) {
    perror("raw socket");
    return 1;
  }

  auto* slots = static_cast<uint8_t*>(mmap(nullptr, kSlot * kBatch, PROT_READ | PROT_WRITE,
                                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0));
  static mmsghdr in[kBatch], out[kBatch];
  static iovec in_iov[kBatch], out_iov[kBatch];
  static sockaddr_in to[kBatch];
  for (unsigned i = 0; i < kBatch; ++i) {
    in_iov[i] = {slots + i * kSlot, kSlot};
    in[i].msg_hdr.msg_iov = &in_iov[i];
    in[i].msg_hdr.msg_iovlen = 1;
  }
  printf("ready\n");
  fflush(stdout);

  unsigned long long packets = 0, batches = 0;
  alignas(4) char verdict[256];
  while (!g_stop) {
    const int n = recvmmsg(fd, in, kBatch, MSG_WAITFORONE, nullptr);
    if (n <= 0) continue;
    unsigned count = 0;
    uint32_t last_id = 0;
    for (int i = 0; i < n; ++i) {
      const auto* nlh = reinterpret_cast<const nlmsghdr*>(in_iov[i].iov_base);
      if (!mnl_nlmsg_ok(nlh, static_cast<int>(in[i].msg_len))) continue;
      if (nlh->nlmsg_type != ((NFNL_SUBSYS_QUEUE << 8) | NFQNL_MSG_PACKET)) continue;
      Parsed p;
      mnl_attr_parse(nlh, sizeof(nfgenmsg), attr_cb, &p);
      if (!p.have_id) continue;
      last_id = p.id;
      if (p.payload == nullptr || p.len < 20) continue;
      to[count] = sockaddr_in{};
      to[count].sin_family = AF_INET;
      memcpy(&to[count].sin_addr, p.payload + 16, 4);
      out_iov[count] = {const_cast<uint8_t*>(p.payload), p.len};
      out[count].msg_hdr = msghdr{};
      out[count].msg_hdr.msg_name = &to[count];
      out[count].msg_hdr.msg_namelen = sizeof(sockaddr_in);
      out[count].msg_hdr.msg_iov = &out_iov[count];
      out[count].msg_hdr.msg_iovlen = 1;
      ++count;
    }
    nlmsghdr* nlh =
        put_queue_header(verdict, NFQNL_MSG_VERDICT_BATCH, static_cast<uint16_t>(queue));
    nfqnl_msg_verdict_hdr vh{htonl(NF_DROP), htonl(last_id)};
    mnl_attr_put(nlh, NFQA_VERDICT_HDR, sizeof(vh), &vh);
    mnl_socket_sendto(nl, nlh, nlh->nlmsg_len);
    for (unsigned off = 0; off < count;) {
      const int sent = sendmmsg(raw, out + off, count - off, 0);
      off += sent > 0 ? static_cast<unsigned>(sent) : 1;  // skip a packet the kernel refuses
    }
    packets += count;
    ++batches;
  }
  printf("packets=%llu batches=%llu per_recv=%.1f\n", packets, batches,
         batches == 0 ? 0.0 : static_cast<double>(packets) / static_cast<double>(batches));
  munmap(slots, kSlot * kBatch);
  close(raw);
  mnl_socket_close(nl);
  return 0;
}
