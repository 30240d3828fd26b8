// The capture rules of the netfilter backend, and the helpers that load and
// remove them with iptables-restore.
//
// Each open handle owns one chain in the raw table, "DOVADOD_Q<queue>", named
// after the netfilter queue the handle has bound:
//
//   -A DOVADOD_Q<n> -m mark --mark 0x20000000/0x20000000 -j RETURN
//   -A DOVADOD_Q<n> -i lo -j RETURN
//   -A DOVADOD_Q<n> -o lo -j RETURN
//   -A DOVADOD_Q<n> -j NFQUEUE --queue-num <n> --queue-bypass
//   -I OUTPUT -m addrtype --dst-type UNICAST -j DOVADOD_Q<n>
//   -I PREROUTING -m addrtype --dst-type LOCAL -j DOVADOD_Q<n>
//
// The raw table runs before conntrack and NAT. Packets we re-inject carry the
// mark bit and are never queued again; loopback, broadcast and multicast never
// reach the chain. `--queue-bypass` lets packets through when nobody listens on
// the queue, so a chain that outlives its process does not cut the host off.
//
// The queue is bound before the chain is loaded and the chain removed before
// the queue is released, so a chain whose queue has no listener belongs to a
// process that died: the next process's first open removes it.
//
// Rules are loaded with `/usr/sbin/iptables-restore --noflush -w`, executed
// directly (no shell), so each change is atomic. The text builders and the
// parser of `iptables-save` output are pure; `run_program` spawns.
// Thread-safe: no shared state.
#ifndef PLATFORM_DIVERT_NETFILTER_RULES_H_
#define PLATFORM_DIVERT_NETFILTER_RULES_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform::divert::nf {

// The mark bit our raw socket sets on re-injected packets (SO_MARK); only this
// bit is tested, so other users of the mark keep the remaining bits.
inline constexpr uint32_t kReinjectMark = 0x20000000;

inline constexpr std::string_view kChainPrefix = "DOVADOD_Q";
inline constexpr const char* kIptablesRestore = "/usr/sbin/iptables-restore";
inline constexpr const char* kIptablesSave = "/usr/sbin/iptables-save";

std::string chain_name(uint16_t queue);

// The iptables-restore input that creates the handle's chain and its jumps.
std::string install_script(uint16_t queue);

// The queue numbers of our chains declared in `iptables-save -t raw` output.
std::vector<uint16_t> our_chains(std::string_view saved);

// The iptables-restore input that removes every chain of ours for which
// `remove(queue)` is true, with every rule that jumps to it; empty when there
// is none. Built from the saved text, so jumps are removed exactly as they
// stand, whoever changed them.
std::string removal_script(std::string_view saved,
                           const std::function<bool(uint16_t queue)>& remove);

// The queue numbers that have a listener, from the kernel's queue list
// ("/proc/.../net/netfilter/nfnetlink_queue"; first column).
std::vector<uint16_t> live_queues(std::string_view proc_text);

// Queue-full and socket-full drops of `queue` from the same list; 0 when the
// queue is not listed.
uint64_t queue_drops(std::string_view proc_text, uint16_t queue);

// Runs `argv` (argv[0] an absolute path, no shell) with `input` on its stdin
// and stderr discarded; its stdout goes to `*output` when not null. Returns
// the exit status, or -1 when it could not be run or died by a signal.
int run_program(const std::vector<std::string>& argv, std::string_view input, std::string* output);

// Wrappers over run_program for the raw table. `save_raw` returns false when
// iptables-save fails.
bool save_raw(std::string* out);
bool restore(std::string_view script);

}  // namespace platform::divert::nf

#endif  // PLATFORM_DIVERT_NETFILTER_RULES_H_
