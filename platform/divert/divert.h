// Packet diversion: the capture API the capture element calls.
//
// A handle is opened with a filter text; every host IPv4 packet that matches
// the filter is stolen from the host stack and handed to `WinDivertRecvEx` in
// batches with one 80-byte address record each; `WinDivertSendEx` puts packets
// back (outbound ones towards the network, inbound ones to the local stack).
// Packets that do not match are left to the host untouched.
//
// Two backends carry a handle: the netfilter queue (real use, needs
// CAP_NET_ADMIN and CAP_NET_RAW) and an in-process simulated network for tests,
// chosen with `platform::divert::use_simulated_backend` or the environment
// variable DOVADOD_DIVERT=simulated (read at each open).
//
// Errors: every call that fails returns false (or the invalid handle) and
// stores a Windows error number as the calling thread's last error
// (`platform::last_error()`): 87 bad parameter or refused filter, 5 missing
// privileges, 50 no queue target in the kernel, 6 stale or closed handle,
// 122 first packet larger than the receive buffer.
//
// Threads: every call may be made from any thread. `WinDivertClose` may run
// while other threads are inside `WinDivertRecvEx` or `WinDivertSendEx` on the
// same handle: a blocked receive returns false with 6, later calls on the
// handle fail with 6, and the handle's resources go when the last call leaves.
//
// Packet helpers work on caller buffers only and never read past `packetLen`.
#ifndef PLATFORM_DIVERT_DIVERT_H_
#define PLATFORM_DIVERT_DIVERT_H_

#include <cstddef>
#include <cstdint>

// A handle is a checked id: a stale value (closed, or never opened) is refused
// with 6, never mistaken for a later handle.
using WinDivertHandle = intptr_t;
inline constexpr WinDivertHandle kWinDivertInvalidHandle = -1;

enum WINDIVERT_LAYER : uint32_t {
  WINDIVERT_LAYER_NETWORK = 0,  // the only layer there is
};

inline constexpr int16_t WINDIVERT_PRIORITY_HIGHEST = 30000;
inline constexpr int16_t WINDIVERT_PRIORITY_LOWEST = -30000;

// Batch limits of one receive or send.
inline constexpr uint32_t WINDIVERT_BATCH_MAX = 255;
inline constexpr uint32_t WINDIVERT_MTU_MAX = 65535;

// The flag word of an address record.
inline constexpr uint32_t WINDIVERT_ADDRESS_LAYER_MASK = 0xFF;
inline constexpr uint32_t WINDIVERT_ADDRESS_OUTBOUND = 0x20000;
inline constexpr uint32_t WINDIVERT_ADDRESS_LOOPBACK = 0x40000;
inline constexpr uint32_t WINDIVERT_ADDRESS_IMPOSTOR = 0x80000;

// One packet's address record. A received record says where the packet was
// seen; a record passed to send says where the packet goes (outbound bit set:
// to the network through the interface; clear: to the local stack).
struct WINDIVERT_ADDRESS {
  int64_t Timestamp;  // CLOCK_MONOTONIC in nanoseconds when the packet was stolen
  uint32_t Flags;     // layer in the low byte, then the bits above
  uint32_t Reserved1;
  uint32_t IfIdx;     // interface the packet arrived on or leaves by
  uint32_t SubIfIdx;  // always 0
  uint8_t Reserved2[56];
};
static_assert(sizeof(WINDIVERT_ADDRESS) == 80);
static_assert(offsetof(WINDIVERT_ADDRESS, Timestamp) == 0);
static_assert(offsetof(WINDIVERT_ADDRESS, Flags) == 8);
static_assert(offsetof(WINDIVERT_ADDRESS, IfIdx) == 16);
static_assert(offsetof(WINDIVERT_ADDRESS, SubIfIdx) == 20);

// Protocol headers as they lie in a packet: multi-byte fields in network order.
// Packed, so a header pointer may point anywhere in a byte buffer.
struct __attribute__((packed)) WINDIVERT_IPHDR {
  uint8_t VersionHdrLength;  // version in the high nibble, header length in words in the low
  uint8_t TOS;
  uint16_t Length;
  uint16_t Id;
  uint16_t FragOff0;  // flags (reserved, DF, MF) and the fragment offset in 8-byte units
  uint8_t TTL;
  uint8_t Protocol;
  uint16_t Checksum;
  uint32_t SrcAddr;
  uint32_t DstAddr;
};
static_assert(sizeof(WINDIVERT_IPHDR) == 20);

struct __attribute__((packed)) WINDIVERT_ICMPHDR {
  uint8_t Type;
  uint8_t Code;
  uint16_t Checksum;
  uint32_t Body;
};
static_assert(sizeof(WINDIVERT_ICMPHDR) == 8);

struct __attribute__((packed)) WINDIVERT_TCPHDR {
  uint16_t SrcPort;
  uint16_t DstPort;
  uint32_t SeqNum;
  uint32_t AckNum;
  uint8_t HdrLength;  // data offset in words in the high nibble
  uint8_t Flags;
  uint16_t Window;
  uint16_t Checksum;
  uint16_t UrgPtr;
};
static_assert(sizeof(WINDIVERT_TCPHDR) == 20);

struct __attribute__((packed)) WINDIVERT_UDPHDR {
  uint16_t SrcPort;
  uint16_t DstPort;
  uint16_t Length;
  uint16_t Checksum;
};
static_assert(sizeof(WINDIVERT_UDPHDR) == 8);

// Header length in bytes.
inline uint32_t WinDivertIpHdrLength(const WINDIVERT_IPHDR* h) {
  return (h->VersionHdrLength & 0x0Fu) * 4u;
}
inline uint32_t WinDivertTcpHdrLength(const WINDIVERT_TCPHDR* h) {
  return (h->HdrLength >> 4) * 4u;
}

// Flags of `WinDivertHelperCalcChecksums`: which checksums to leave alone.
inline constexpr uint64_t WINDIVERT_HELPER_NO_IP_CHECKSUM = 1;
inline constexpr uint64_t WINDIVERT_HELPER_NO_ICMP_CHECKSUM = 2;
inline constexpr uint64_t WINDIVERT_HELPER_NO_TCP_CHECKSUM = 8;
inline constexpr uint64_t WINDIVERT_HELPER_NO_UDP_CHECKSUM = 16;

// ERROR_INSUFFICIENT_BUFFER: the first queued packet was larger than the
// receive buffer; it was dropped (and counted) so the handle cannot stall.
inline constexpr uint32_t kWinDivertErrorInsufficientBuffer = 122;

// ERROR_NO_DATA: a receive after WinDivertShutdown found nothing left.
inline constexpr uint32_t kWinDivertErrorNoData = 232;

enum WINDIVERT_SHUTDOWN : uint32_t {
  WINDIVERT_SHUTDOWN_RECV = 0x1,  // the only kind there is
};

// Opens a handle that steals the host IPv4 packets `filter` matches. `layer`
// and `flags` must be 0, `priority` within +-30000. The filter is compiled
// once here; a text the filter language refuses fails with 87 and installs
// nothing (`WinDivertHelperCheckFilter` gives the reason). Returns
// kWinDivertInvalidHandle on failure.
WinDivertHandle WinDivertOpen(const char* filter, WINDIVERT_LAYER layer, int16_t priority,
                              uint64_t flags);

// Receives a batch: blocks until one packet has been stolen, then takes
// without blocking as many further queued packets as fit whole into both
// areas, at most 255. Packets are laid out back to back in `pPacket`, each
// delimited by its IPv4 total length, with the i-th record in `pAddr[i]`.
// `*pAddrLen` is the byte size of the record area on entry (a multiple of 80,
// at least 80) and the bytes written on return; `*pRecvLen` the packet bytes.
// `flags` must be 0 and `lpOverlapped` null. A handle closed before or during
// the call fails with 6.
bool WinDivertRecvEx(WinDivertHandle handle, void* pPacket, uint32_t packetLen, uint32_t* pRecvLen,
                     uint64_t flags, WINDIVERT_ADDRESS* pAddr, uint32_t* pAddrLen,
                     void* lpOverlapped);

// Sends a batch: `pPacket` holds up to 255 IPv4 packets back to back, split
// by their IPv4 total lengths, and `pAddr` one record per packet (`addrLen`
// bytes, a multiple of 80). A batch that does not split exactly into that
// many well-framed packets fails with 87 and nothing is sent. `*pSendLen`
// (optional) receives the bytes sent. `flags` must be 0, `lpOverlapped` null.
bool WinDivertSendEx(WinDivertHandle handle, const void* pPacket, uint32_t packetLen,
                     uint32_t* pSendLen, uint64_t flags, const WINDIVERT_ADDRESS* pAddr,
                     uint32_t addrLen, void* lpOverlapped);

// Stops the handle capturing (any thread): no packet is stolen from here on,
// a blocked receive wakes, and receives return what was stolen before, then
// fail with 232 once nothing is left. Sends keep working until the close, so
// a capture can hand back everything it took before closing. `how` must be
// WINDIVERT_SHUTDOWN_RECV (else 87); a stale handle fails with 6. Shutting
// down twice is harmless.
bool WinDivertShutdown(WinDivertHandle handle, WINDIVERT_SHUTDOWN how);

// Closes the handle (any thread, also while other calls on it run); its
// capture is removed at once. Packets it handed out and never put back are
// dropped: they were consumed. A stale handle fails with 6.
bool WinDivertClose(WinDivertHandle handle);

// Parses the packet at the front of `pPacket`. Succeeds only for well-formed
// IPv4: version 4, a header length of at least 20 within the total length,
// the total length within `packetLen`, and for a first (or whole) ICMP, TCP or
// UDP packet a transport header that fits (TCP: its data offset, UDP: its
// length field between 8 and the IPv4 payload). Later fragments carry no
// transport header; other protocols succeed with the IPv4 payload as data.
// On success the outputs point into `pPacket`: the IPv4 header, the protocol,
// the one transport header present (the others null), the data after the
// headers, and `*ppNext`/`*pNextLen` the bytes after this packet (null and 0
// when none). On failure every output is null or 0 except the next-packet pair
// when the IPv4 framing (version, header and total length) was sound, so that
// a walker can step over a packet with a bad transport header. Every output
// pointer may be null.
bool WinDivertHelperParsePacket(void* pPacket, uint32_t packetLen, WINDIVERT_IPHDR** ppIpHdr,
                                uint8_t* pProtocol, WINDIVERT_ICMPHDR** ppIcmpHdr,
                                WINDIVERT_TCPHDR** ppTcpHdr, WINDIVERT_UDPHDR** ppUdpHdr,
                                void** ppData, uint32_t* pDataLen, void** ppNext,
                                uint32_t* pNextLen);

// Recomputes the checksums of the one packet at the front of `pPacket`
// (bounded by its IPv4 total length) in place, except those `flags` excludes.
// Fragments keep their transport checksum; a UDP checksum that comes to 0 is
// written 0xFFFF. `pAddr` is accepted for the shape of the call and not used.
// Fails with 87 for a null or malformed packet or unknown flag bits.
bool WinDivertHelperCalcChecksums(void* pPacket, uint32_t packetLen, WINDIVERT_ADDRESS* pAddr,
                                  uint64_t flags);

// Compiles `filter` without opening anything. On refusal returns false and
// sets `*errorStr` (a static text for the log) and `*errorPos` (byte offset in
// the text); both outputs may be null.
bool WinDivertHelperCheckFilter(const char* filter, const char** errorStr, uint32_t* errorPos);

namespace platform::divert {

// Per-handle counters, for diagnostics and tests.
struct DivertCounters {
  uint64_t seen = 0;          // packets the filter was evaluated on
  uint64_t stolen = 0;        // matched and taken from the host stack
  uint64_t received = 0;      // handed out by WinDivertRecvEx
  uint64_t reinjected = 0;    // put back by WinDivertSendEx
  uint64_t overflow = 0;      // matched but dropped: receive queue full
  uint64_t oversize = 0;      // too big to capture or receive (passed or dropped, per backend)
  uint64_t send_dropped = 0;  // given to send but not delivered (MTU with DF, socket error)
  uint64_t by_verdict = 0;    // of the reinjected, those that went back in place of the original
  uint64_t expired = 0;       // handed out and never put back in time: dropped
  uint64_t checksum_dropped = 0;  // inbound TCP/UDP with a wrong checksum on arrival: dropped
};

// Reads the counters of an open handle; false with 6 for a stale one.
bool get_counters(WinDivertHandle handle, DivertCounters* out);

// Closes the handle as `WinDivertClose` does and reads its counters after the
// close, so they include what the close dropped: the handle's last counters,
// which no later call can read. A send another thread is inside at that
// moment may still add to the handle's own counters. False with 6 for a stale
// handle, 87 (nothing closed) for a null `out`.
bool close_with_counters(WinDivertHandle handle, DivertCounters* out);

// The caller is done with the packets that came with these records (some or
// all of one receive): any of them not put back by now was consumed, and the
// handle lets it go at once rather than when a later receive's packets come
// back or at close. Records of packets already put back, of another handle or
// of none are skipped. False with 6 for a stale handle, 87 for a null array.
bool release_received(WinDivertHandle handle, const WINDIVERT_ADDRESS* records, uint32_t count);

// Testing API: makes every later open use the simulated network (true) or the
// default choice again (false: simulated only when DOVADOD_DIVERT=simulated).
void use_simulated_backend(bool on);

}  // namespace platform::divert

#endif  // PLATFORM_DIVERT_DIVERT_H_
