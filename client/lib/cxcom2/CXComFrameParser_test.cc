#include "client/lib/cxcom2/CXComFrameParser.h"

#include <gtest/gtest.h>

#include <string>

#include "client/lib/cxcom2/CXComWire.h"
#include "tests/support/started_log.h"

using namespace std::string_literals;
using testing_support::StartedLog;

namespace {

constexpr int kLineFlags = CXLOG_FMT_LEVEL_NUMBER;
constexpr const char* kTooShort = "2 CXCOM2 buffer too short to get next TLV";
constexpr const char* kNoName =
    "2 CXCOM2 doHansshakefromServer: client Name not found in handshake msg";

// The frame as the parser gets it: without the length prefix.
std::string Frame(std::string_view payload, std::string_view trailing = {}, uint8_t type = 1) {
  return cxComBuildClientHandshake(type, payload, trailing).substr(kCxComPrefixSize);
}

std::string WithByte(std::string bytes, size_t offset, char value) {
  bytes[offset] = value;
  return bytes;
}

bool SetFrame(CCXComFrameParser& parser, const std::string& bytes) {
  return parser.setFrameBuffer(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TEST(CXComWireTest, BuildsExactBytes) {
  std::string ack(kCxComHandshakeAck.begin(), kCxComHandshakeAck.end());
  EXPECT_EQ(ack, "\x00\x00\x00\x0E"s + "C0rvexIO" + "\x01\x01\x00\x00\x00\x00"s);

  // Type little-endian, length big-endian, payload length covers only the
  // payload while the prefix counts the trailing bytes too.
  std::string handshake =
      cxComBuildClientHandshake(7, cxComTlv(0x0102, "ab") + cxComTlv(0, "ui"), "xyz");
  EXPECT_EQ(handshake, "\x00\x00\x00\x1D"s + "C0rvexIO" + "\x01\x07\x00\x00\x00\x0C"s +
                           "\x02\x01\x00\x02"s + "ab" + "\x00\x00\x00\x02"s + "ui" + "xyz");
}

TEST(CCXComFrameParserTest, ValidatesFramesAndFindsTheName) {
  const std::string kName = cxComTlv(0, "pellarui.exe");
  struct Case {
    const char* what;
    std::string frame;
    bool accepted;
    const char* name;     // nullptr: no name found
    const char* logLine;  // expected in the log
    bool logsShortTlv;    // whether the scan logs a short item
  };
  const Case cases[] = {
      {"empty", "", false, nullptr,
       "2 CXCOM2 CCXComFrameParser::setFrameBuffer(): frame size is too small", false},
      {"13 bytes", Frame("").substr(0, 13), false, nullptr,
       "2 CXCOM2 CCXComFrameParser::setFrameBuffer(): frame size is too small", false},
      {"bad signature", WithByte(Frame(kName), 7, 'o'), false, nullptr,
       "2 CXCOM2 CCXComFrameParser::setFrameBuffer(): Invalid Signature", false},
      {"version 2", WithByte(Frame(kName), 8, 2), false, nullptr,
       "2 CXCOM2 CCXComFrameParser::setFrameBuffer(): frame ver: 2, lib ver:1", false},
      // Signature is checked before the version.
      {"bad signature and version", WithByte(WithByte(Frame(kName), 0, 'X'), 8, 2), false, nullptr,
       "2 CXCOM2 CCXComFrameParser::setFrameBuffer(): Invalid Signature", false},
      {"payload longer than frame", WithByte(Frame(kName), 13, 17), false, nullptr,
       "2 CXCOM2 data size exceed framebuf size", false},
      {"payload length near 2^32", WithByte(Frame(kName), 10, '\xFF'), false, nullptr,
       "2 CXCOM2 data size exceed framebuf size", false},
      {"14 bytes, no payload", Frame(""), true, nullptr, kNoName, false},
      {"name", Frame(kName), true, "pellarui.exe", nullptr, false},
      {"empty name", Frame(cxComTlv(0, "")), true, "", nullptr, false},
      {"other types skipped", Frame(cxComTlv(7, "abc") + cxComTlv(0x0100, "x") + kName), true,
       "pellarui.exe", nullptr, false},
      {"end item first", Frame(cxComTlv(1, "") + kName), true, nullptr, kNoName, false},
      {"only other types", Frame(cxComTlv(9, "zz")), true, nullptr, kNoName, false},
      {"name runs past payload", Frame("\x00\x00\x00\x10"s + "abc"), true, nullptr, kTooShort,
       true},
      // The bytes after the payload are not part of the item.
      {"name runs into trailing bytes", Frame("\x00\x00\x00\x05"s + "abc", "de"), true, nullptr,
       kTooShort, true},
      {"one byte left", Frame(cxComTlv(9, "") + std::string(1, '\0')), true, nullptr, kTooShort,
       true},
      {"three bytes left", Frame(cxComTlv(9, "") + std::string(3, '\0')), true, nullptr, kTooShort,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    StartedLog log(kLineFlags);
    CCXComFrameParser parser;
    ASSERT_EQ(SetFrame(parser, c.frame), c.accepted);
    std::string name = "unchanged";
    bool found = cxComFindClientName(parser, &name);
    EXPECT_EQ(found, c.name != nullptr);
    EXPECT_EQ(name, c.name ? c.name : "unchanged");
    std::string text = log.text();
    if (c.logLine) {
      EXPECT_NE(text.find(c.logLine), std::string::npos) << text;
    }
    if (c.accepted) {
      EXPECT_EQ(text.find("setFrameBuffer"), std::string::npos) << text;
      EXPECT_EQ(text.find(kTooShort) != std::string::npos, c.logsShortTlv) << text;
    }
  }
}

TEST(CCXComFrameParserTest, KeepsExactlyHeaderAndPayload) {
  std::string payload = cxComTlv(0, "zevudi.exe");
  std::string frame = Frame(payload, "\x00\x00\x00\x02OK", 0x42);
  CCXComFrameParser parser;
  ASSERT_TRUE(SetFrame(parser, frame));
  ASSERT_EQ(parser.frameSize(), kCxComHeaderSize + payload.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(parser.frame()), parser.frameSize()),
            frame.substr(0, parser.frameSize()));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(parser.payload()), parser.payloadSize()),
            payload);
  EXPECT_EQ(parser.frameType(), 0x42);
  // The caller's buffer may go: the parser reads its own copy.
  frame.assign(frame.size(), '\0');
  CXComTlv tlv;
  ASSERT_TRUE(parser.getNextTLV(&tlv));
  EXPECT_EQ(tlv.type, 0);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(tlv.value), tlv.length), "zevudi.exe");
  EXPECT_EQ(parser.tlvBytesLeft(), 0u);
}

TEST(CCXComFrameParserTest, RefusedFrameDropsThePreviousOne) {
  CCXComFrameParser parser;
  ASSERT_TRUE(SetFrame(parser, Frame(cxComTlv(0, "old"))));
  ASSERT_FALSE(SetFrame(parser, WithByte(Frame(cxComTlv(0, "new")), 8, 3)));
  EXPECT_FALSE(parser.hasFrame());
  std::string name;
  EXPECT_FALSE(cxComFindClientName(parser, &name));
  EXPECT_TRUE(name.empty());
}
