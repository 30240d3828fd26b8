// Bytes of the loopback IPC channel.
//
// A client opens with a length-prefixed handshake frame (signature, version,
// frame type, big-endian payload length, then TLV items, one of them its name);
// the server answers with the fixed 18-byte acknowledgement; after that both
// sides send texts behind a 4-byte big-endian length.
//
// The constants describe that layout. The builders make the client's side of it
// for test clients and tests (odd frames included: the payload is whatever bytes
// the caller gives, and bytes after the payload are allowed) and frame outgoing
// texts for the endpoint. All functions are pure and may be called from any
// thread; results are returned by value.
#ifndef CLIENT_LIB_CXCOM2_CXCOMWIRE_H_
#define CLIENT_LIB_CXCOM2_CXCOMWIRE_H_

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

inline constexpr std::string_view kCxComSignature = "C0rvexIO";
inline constexpr uint8_t kCxComVersion = 1;
inline constexpr size_t kCxComHeaderSize = 14;
inline constexpr size_t kCxComPrefixSize = 4;
// Largest handshake frame (value of its length prefix) the server reads.
inline constexpr uint32_t kCxComMaxFrameSize = 10000;

inline constexpr uint16_t kCxComTlvClientName = 0;
inline constexpr uint16_t kCxComTlvEnd = 1;
inline constexpr size_t kCxComTlvHeaderSize = 4;

// Length prefix 14, then the header: signature, version 1, frame type 1,
// payload length 0.
inline constexpr std::array<uint8_t, 18> kCxComHandshakeAck = {
    0x00, 0x00, 0x00, 0x0E, 'C',  '0',  'r',  'v',  'e',
    'x',  'I',  'O',  0x01, 0x01, 0x00, 0x00, 0x00, 0x00,
};

// One TLV item: type little-endian (the sender's x86 order), length big-endian,
// value. `value` longer than 65535 bytes is cut to 65535.
std::string cxComTlv(uint16_t type, std::string_view value);

// A whole client handshake as sent on the wire: length prefix, header with
// version 1, `frameType` and the payload's length, `payload` (usually TLVs from
// cxComTlv), then `trailing` bytes that belong to the frame but not to the
// payload (the start of the client's text stream). Callers keep the total
// within kCxComMaxFrameSize if the server is to read it.
std::string cxComBuildClientHandshake(uint8_t frameType, std::string_view payload,
                                      std::string_view trailing = {});

// Appends `text` behind its 4-byte big-endian length to `out`. False, and `out`
// unchanged, when the text is too long for a 32-bit length.
bool cxComAppendFramedText(std::string* out, std::string_view text);

#endif  // CLIENT_LIB_CXCOM2_CXCOMWIRE_H_
