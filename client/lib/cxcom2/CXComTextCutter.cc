#include "client/lib/cxcom2/CXComTextCutter.h"

#include "client/lib/cxcom2/CXComWire.h"

namespace {

// Erases the consumed front when the cut ends, also when the callback throws,
// so no text is ever delivered twice.
class ConsumedFront {
 public:
  explicit ConsumedFront(std::string& buffer) : buffer_(buffer) {}
  ConsumedFront(const ConsumedFront&) = delete;
  ConsumedFront& operator=(const ConsumedFront&) = delete;
  ~ConsumedFront() { buffer_.erase(0, offset); }

  size_t offset = 0;

 private:
  std::string& buffer_;
};

uint32_t ReadBigEndian32(const char* p) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | uint32_t{b[3]};
}

}  // namespace

CXComCutResult cxComCutTexts(std::string& buffer, uint32_t maxTextLength,
                             const std::function<void(std::string_view text)>& onText,
                             size_t maxTexts) {
  CXComCutResult result;
  ConsumedFront consumed(buffer);
  // The first text of a call needs 5 bytes, every further one more than 5.
  size_t needed = kCxComPrefixSize + 1;
  while (buffer.size() - consumed.offset >= needed) {
    size_t left = buffer.size() - consumed.offset;
    const char* front = buffer.data() + consumed.offset;
    uint32_t length = ReadBigEndian32(front);
    if (length > maxTextLength) {
      result.status = CXComCutStatus::kTooLong;
      result.length = length;
      return result;
    }
    if (left < kCxComPrefixSize + uint64_t{length}) return result;
    if (result.texts == maxTexts) {
      result.status = CXComCutStatus::kBudget;
      return result;
    }
    consumed.offset += kCxComPrefixSize + length;
    ++result.texts;
    onText(std::string_view(front + kCxComPrefixSize, length));
    needed = kCxComPrefixSize + 2;
  }
  return result;
}
