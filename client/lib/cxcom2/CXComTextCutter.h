// Cutting a client's received bytes into texts.
//
// After the handshake every text on the channel is a 4-byte big-endian length
// L followed by L bytes. `cxComCutTexts` takes the complete texts from the
// front of a client's input buffer and hands each to a callback, in order, as
// a view into the buffer; the consumed bytes are erased once when it returns,
// so the buffer is not shifted per text.
//
// A text is looked at only while the buffer holds at least 5 bytes (first
// text of a call) or more than 5 bytes (every further text of that call); so
// a lone empty text, or a 1-byte text behind another one, waits for more
// bytes. A text not yet complete waits; one whose length exceeds the caller's
// limit is reported instead and left in the buffer, with the texts before it
// consumed, so the caller can drop the client. A call delivers at most
// `maxTexts` texts; when a further one is complete it stops with kBudget, so
// that one sender cannot hold its reader, and the next call goes on where it
// stopped.
//
// The buffer belongs to the caller; the callback must not touch it (the views
// it gets point into it). One thread per buffer.
#ifndef CLIENT_LIB_CXCOM2_CXCOMTEXTCUTTER_H_
#define CLIENT_LIB_CXCOM2_CXCOMTEXTCUTTER_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

enum class CXComCutStatus {
  kWaiting,  // every complete text delivered; what is left waits for more bytes
  kTooLong,  // the text at the front announces more than the limit
  kBudget,   // maxTexts delivered; the next text is complete already
};

struct CXComCutResult {
  CXComCutStatus status = CXComCutStatus::kWaiting;
  size_t texts = 0;     // texts delivered by this call
  uint32_t length = 0;  // the announced length, for kTooLong
};

// No limit below what a 32-bit length can say.
inline constexpr uint32_t kCxComNoTextLimit = UINT32_MAX;

CXComCutResult cxComCutTexts(std::string& buffer, uint32_t maxTextLength,
                             const std::function<void(std::string_view text)>& onText,
                             size_t maxTexts = SIZE_MAX);

#endif  // CLIENT_LIB_CXCOM2_CXCOMTEXTCUTTER_H_
