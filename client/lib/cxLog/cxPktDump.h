// Packet capture files: classic little-endian pcap with microsecond stamps and
// raw-IP records (link type 101), in a rotating file of 104,857,600 bytes with
// three files kept (the base, then <stem>.1.pcap and <stem>.2.pcap).
//
// A capture is started by the packet-capture command: it sets
// `cx_pktdump_queued`, then calls `startDump` of the "CX" writer
// (`cx_pktdump_writer`) with the capture path and the snap length. The
// writer's worker opens the file with `cx_pktdump_init`, writes each queued
// packet with `cx_pktdump_write` and checks rotation after it, and closes with
// `cx_pktdump_close`. Without the queued flag the packet path may call
// `cx_pktdump_write` directly (no header: it stamps the packet itself).
//
// Each start moves the previous capture to archive 1 and begins a new file,
// which, like every file a rotation opens, starts with the 24-byte global
// header. Files are created with mode 0600: packets are private.
//
// Threads: every header and record is written under one recursive lock, so a
// record's header and data stay together; `cx_pktdump_queued`, the snap
// length and the open flag are atomic. The messages carry the tag "pktDump".
#ifndef CLIENT_LIB_CXLOG_CXPKTDUMP_H_
#define CLIENT_LIB_CXLOG_CXPKTDUMP_H_

#include <atomic>
#include <cstdint>
#include <string>

#include "client/lib/cxLog/cxDumpAsync.h"
#include "client/lib/cxLog/cxRotationFile.h"

inline constexpr int64_t kCxPktDumpMaxFileSize = 104857600;
inline constexpr int kCxPktDumpKeptFiles = 3;
inline constexpr uint32_t kCxPktDumpLinkTypeRaw = 101;

// Set by the IPC thread before it starts a capture through the "CX" writer;
// read by the packet threads and by `cx_pktdump_uninit`.
extern std::atomic<bool> cx_pktdump_queued;

// The "CX" writer, made on first use with the three callbacks below.
cxDumpAsync& cx_pktdump_writer();

// Sets up the capture at `path` (the old path is path + ".old.pcap"), writes
// the global header and marks the capture open; true. When the file cannot be
// created the capture stays open without a stream and refuses records.
bool cx_pktdump_init(const std::string& path, uint32_t snapLength);

// Writes one record: the given header (its captured length no more than
// `length`) or, with none, one stamped now and cut to the snap length. False
// when the capture is not open or has no stream.
bool cx_pktdump_write(const uint8_t* data, uint16_t length,
                      const cxPktDumpRecordHeader* header = nullptr);

// Counts `capturedLength` written bytes; past the size limit moves the file
// aside and starts the next one with its own global header. True when it
// rotated. Bytes are counted only while there is a stream to write to.
bool cx_pktdump_check_rotation(uint32_t capturedLength);

// Marks the capture closed and closes the stream; true.
bool cx_pktdump_close();

// Creates or empties `path` with mode 0600; a link, FIFO or file with a
// second name there is refused (Permission denied). On failure prints
// "Failed to open pktdump file: <reason>" on standard error and returns false.
bool cx_pktdump_create_file(const std::string& path);

// Stops the capture: through the "CX" writer when `cx_pktdump_queued` is set
// (its worker closes after its last record), else by closing at once.
bool cx_pktdump_uninit();

// The rotating file under the capture.
cxRotationFile& cx_pktdump_rotation_file();

#endif  // CLIENT_LIB_CXLOG_CXPKTDUMP_H_
