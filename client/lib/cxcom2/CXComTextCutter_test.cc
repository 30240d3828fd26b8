#include "client/lib/cxcom2/CXComTextCutter.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "client/lib/cxcom2/CXComWire.h"

namespace {

std::string Framed(std::string_view text) {
  std::string out;
  EXPECT_TRUE(cxComAppendFramedText(&out, text));
  return out;
}

struct Cut {
  CXComCutResult result;
  std::vector<std::string> texts;
};

Cut CutAll(std::string& buffer, uint32_t limit = kCxComNoTextLimit, size_t maxTexts = SIZE_MAX) {
  Cut cut;
  cut.result = cxComCutTexts(
      buffer, limit, [&](std::string_view text) { cut.texts.emplace_back(text); }, maxTexts);
  return cut;
}

}  // namespace

TEST(CXComTextCutterTest, CutsWhatIsCompleteInOneCall) {
  const std::string kEmpty = Framed("");
  const std::string kHugePrefix("\xFF\xFF\xFF\xFF", 4);
  struct Case {
    const char* what;
    std::string input;
    uint32_t limit;
    std::vector<std::string> texts;
    std::string left;
    CXComCutStatus status;
    uint32_t length;
  };
  // clang-format off
  const Case cases[] = {
      {"two texts", Framed("{\"65535\":{}}") + Framed("OK"), kCxComNoTextLimit,
       {"{\"65535\":{}}", "OK"}, "", CXComCutStatus::kWaiting, 0},
      {"prefix alone", Framed("abc").substr(0, 4), kCxComNoTextLimit, {}, Framed("abc").substr(0, 4),
       CXComCutStatus::kWaiting, 0},
      {"half a text", Framed("abcdef").substr(0, 7), kCxComNoTextLimit, {},
       Framed("abcdef").substr(0, 7), CXComCutStatus::kWaiting, 0},
      {"lone empty text", kEmpty, kCxComNoTextLimit, {}, kEmpty, CXComCutStatus::kWaiting, 0},
      {"empty text and one byte", kEmpty + "x", kCxComNoTextLimit, {""}, "x",
       CXComCutStatus::kWaiting, 0},
      {"empty text first of two", kEmpty + Framed("ab"), kCxComNoTextLimit, {"", "ab"}, "",
       CXComCutStatus::kWaiting, 0},
      {"one-byte first text", Framed("x"), kCxComNoTextLimit, {"x"}, "", CXComCutStatus::kWaiting,
       0},
      {"one-byte second text", Framed("ab") + Framed("x"), kCxComNoTextLimit, {"ab"}, Framed("x"),
       CXComCutStatus::kWaiting, 0},
      {"empty second text", Framed("ab") + kEmpty, kCxComNoTextLimit, {"ab"}, kEmpty,
       CXComCutStatus::kWaiting, 0},
      {"length near 2^32", kHugePrefix + "some bytes", kCxComNoTextLimit, {},
       kHugePrefix + "some bytes", CXComCutStatus::kWaiting, 0},
      {"at the limit", Framed("12345"), 5, {"12345"}, "", CXComCutStatus::kWaiting, 0},
      {"over the limit", Framed("ok") + Framed("123456"), 5, {"ok"}, Framed("123456"),
       CXComCutStatus::kTooLong, 6},
      // Reported as soon as the prefix is seen, not after 2^32 bytes.
      {"over the limit, incomplete", kHugePrefix + "x", 10000, {}, kHugePrefix + "x",
       CXComCutStatus::kTooLong, 0xFFFFFFFF},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string buffer = c.input;
    Cut cut = CutAll(buffer, c.limit);
    EXPECT_EQ(cut.texts, c.texts);
    EXPECT_EQ(cut.result.texts, c.texts.size());
    EXPECT_EQ(buffer, c.left);
    EXPECT_EQ(cut.result.status, c.status);
    EXPECT_EQ(cut.result.length, c.length);
  }
}

TEST(CXComTextCutterTest, WaitingBytesCompleteInLaterCalls) {
  std::string stream = Framed("{\"124\":{}}") + Framed("x") + Framed("");
  std::string buffer;
  std::vector<std::string> texts;
  auto feed = [&](size_t from, size_t to) {
    buffer.append(stream, from, to - from);
    Cut cut = CutAll(buffer);
    texts.insert(texts.end(), cut.texts.begin(), cut.texts.end());
  };
  feed(0, 8);  // first text split
  EXPECT_TRUE(texts.empty());
  EXPECT_EQ(buffer, stream.substr(0, 8));
  feed(8, 19);  // completes it; the 1-byte text behind it waits
  EXPECT_EQ(texts, (std::vector<std::string>{"{\"124\":{}}"}));
  EXPECT_EQ(buffer, Framed("x"));
  feed(19, 22);  // now first of its call: delivered
  EXPECT_EQ(texts, (std::vector<std::string>{"{\"124\":{}}", "x"}));
  EXPECT_EQ(buffer, Framed("").substr(0, 3));
  feed(22, 23);  // a lone empty text waits
  EXPECT_EQ(texts.size(), 2u);
  EXPECT_EQ(buffer, Framed(""));
  // The empty text goes once more bytes arrive; the 1-byte text behind it,
  // second of the call, waits again.
  buffer += Framed("y");
  Cut cut = CutAll(buffer);
  EXPECT_EQ(cut.texts, (std::vector<std::string>{""}));
  EXPECT_EQ(buffer, Framed("y"));
}

// A call stops at its budget only when another text is ready; the next call
// goes on with it as if the first had not stopped.
TEST(CXComTextCutterTest, BudgetStopsAtACompleteTextOnly) {
  const std::string stream = Framed("a") + Framed("bb") + Framed("x") + Framed("cc");
  struct Case {
    const char* what;
    std::string input;
    std::vector<std::string> texts;
    std::string left;
    CXComCutStatus status;
  } cases[] = {
      {"next complete", stream, {"a", "bb"}, Framed("x") + Framed("cc"), CXComCutStatus::kBudget},
      {"next incomplete",
       Framed("a") + Framed("bb") + Framed("cc").substr(0, 5),
       {"a", "bb"},
       Framed("cc").substr(0, 5),
       CXComCutStatus::kWaiting},
      {"next too long",
       Framed("a") + Framed("bb") + Framed("123456"),
       {"a", "bb"},
       Framed("123456"),
       CXComCutStatus::kTooLong},
      {"nothing behind", Framed("a") + Framed("bb"), {"a", "bb"}, "", CXComCutStatus::kWaiting},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string buffer = c.input;
    Cut cut = CutAll(buffer, 5, 2);
    EXPECT_EQ(cut.texts, c.texts);
    EXPECT_EQ(buffer, c.left);
    EXPECT_EQ(cut.result.status, c.status);
  }
  std::string buffer = stream;
  CutAll(buffer, 5, 2);
  Cut rest = CutAll(buffer, 5, 2);
  EXPECT_EQ(rest.texts, (std::vector<std::string>{"x", "cc"}));
  EXPECT_EQ(rest.result.status, CXComCutStatus::kWaiting);
}

TEST(CXComTextCutterTest, ThrowingCallbackDoesNotReplayTexts) {
  std::string buffer = Framed("a1") + Framed("b2") + Framed("c3");
  int calls = 0;
  auto onText = [&](std::string_view text) {
    ++calls;
    if (text == "b2") throw std::runtime_error("listener failed");
  };
  EXPECT_THROW(cxComCutTexts(buffer, kCxComNoTextLimit, onText), std::runtime_error);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(buffer, Framed("c3"));
}
