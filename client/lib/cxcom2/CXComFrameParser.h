// The server's reader of a client's handshake frame.
//
// `setFrameBuffer` checks the received frame bytes (the bytes after the length
// prefix) and keeps its own copy of exactly the header and the payload; the
// caller's buffer is not referenced afterwards. Bytes the client put after the
// payload are not part of the copy: in the received buffer they start at
// `frameSize()` and are the first bytes of the client's text stream.
//
// `getNextTLV` walks the payload's items from a cursor that starts at the
// payload; the value it yields points into the parser's copy and stays valid
// until the next `setFrameBuffer` or the parser's end. `cxComFindClientName`
// is the handshake's scan for the client name.
//
// Refusals are logged under "CXCOM2" at level 2. A parser belongs to one
// thread at a time (the endpoint's server thread during a handshake).
#ifndef CLIENT_LIB_CXCOM2_CXCOMFRAMEPARSER_H_
#define CLIENT_LIB_CXCOM2_CXCOMFRAMEPARSER_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct CXComTlv {
  uint16_t type = 0;
  uint16_t length = 0;
  const uint8_t* value = nullptr;
};

class CCXComFrameParser {
 public:
  // Checks, in this order: at least 14 bytes, the signature, version 1, and a
  // payload length that fits in `size` - 14. On success keeps the first
  // 14 + payload length bytes and puts the TLV cursor at the payload. On
  // refusal logs why and holds no frame (a stale one must not be scanned).
  bool setFrameBuffer(const uint8_t* frame, size_t size);

  // The next item at the cursor, moving the cursor past it. False, with
  // "buffer too short to get next TLV" logged, when the bytes left cannot
  // hold a type, a length, or the value that length announces.
  bool getNextTLV(CXComTlv* tlv);

  bool hasFrame() const { return !frame_.empty(); }
  const uint8_t* frame() const { return frame_.data(); }
  // 14 + payload length, or 0 without a frame.
  size_t frameSize() const { return frame_.size(); }
  uint8_t frameType() const;
  const uint8_t* payload() const;
  size_t payloadSize() const;
  // Payload bytes not yet passed by the TLV cursor.
  size_t tlvBytesLeft() const { return frame_.size() - cursor_; }

 private:
  std::vector<uint8_t> frame_;
  size_t cursor_ = 0;  // offset into frame_
};

// Scans the TLVs from the parser's cursor as the server handshake does: a
// type-0 item gives the name (its value bytes as they are); a type-1 item,
// the end of the payload or a short item ends the scan without a name, which
// is logged as "doHansshakefromServer: client Name not found in handshake msg".
bool cxComFindClientName(CCXComFrameParser& parser, std::string* name);

#endif  // CLIENT_LIB_CXCOM2_CXCOMFRAMEPARSER_H_
