#include "platform/registry/hive.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace platform::registry {
namespace {

using namespace std::string_literals;

std::unique_ptr<Node> parse(std::string_view text, std::vector<BadLine>* bad = nullptr) {
  auto root = std::make_unique<Node>();
  apply_reg_text(text, root.get(), bad);
  return root;
}

const Value& value_of(const Node& node, size_t index) {
  return *std::next(node.values().begin(), static_cast<std::ptrdiff_t>(index));
}

const Value* value_at(const Node& root, std::string_view path, std::string_view name) {
  std::vector<std::string> parts;
  if (!split_path(path, &parts)) return nullptr;
  const Node* node = root.find(parts);
  return node == nullptr ? nullptr : node->find_value(name);
}

TEST(HiveTest, WritesTheEditorsExportFormat) {
  Node root;
  Node* tarn = root.add_child("SOFTWARE")->add_child("Corvex")->add_child("tarn");
  tarn->set_value("workdir", 1, "/opt/corvex/tarn\0"s);
  tarn->set_value("", 1, "say \"hi\" C:\\x\0"s);
  tarn->set_value("KeepAlive", 4, "\x1e\0\0\0"s);
  tarn->set_value("Blob", 3, "\x01\xff"s);
  tarn->set_value("Paths", 7, "a\0b\0\0"s);
  tarn->set_value("Short", 4, "\x01"s);
  tarn->set_value("Line", 1, "a\nb\0"s);
  tarn->set_value("Empty", 1, ""s);
  root.find_child("software")->add_child("Empty Key");

  EXPECT_EQ(write_reg_text(root),
            "Windows Registry Editor Version 5.00\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex]\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Corvex\\tarn]\n"
            "\"workdir\"=\"/opt/corvex/tarn\"\n"
            "@=\"say \\\"hi\\\" C:\\\\x\"\n"
            "\"KeepAlive\"=dword:0000001e\n"
            "\"Blob\"=hex:01,ff\n"
            "\"Paths\"=hex(7):61,00,62,00,00\n"
            "\"Short\"=hex(4):01\n"
            "\"Line\"=hex(1):61,0a,62,00\n"
            "\"Empty\"=hex(1):\n"
            "\n"
            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Empty Key]\n"
            "\n");
}

TEST(HiveTest, LongHexListsWrapAndReadBack) {
  Node root;
  std::string data(100, '\x5a');
  root.add_child("K")->set_value("v", 0x20000, data);
  std::string text = write_reg_text(root);
  EXPECT_NE(text.find("\"v\"=hex(20000):5a,5a,"), std::string::npos);
  size_t longest = 0, start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    longest = std::max(longest, end - start);
  }
  EXPECT_LE(longest, 80u);
  std::vector<BadLine> bad;
  auto back = parse(text, &bad);
  EXPECT_TRUE(bad.empty());
  const Value* v = value_at(*back, "K", "V");
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(v->type, 0x20000u);
  EXPECT_EQ(v->data, data);
  EXPECT_EQ(write_reg_text(*back), text);
}

TEST(HiveTest, ReadsWhatAPersonTypes) {
  std::vector<BadLine> bad;
  auto root = parse(
      "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
      "; the service's settings\r\n"
      "[HKLM\\SOFTWARE\\Corvex\\\\tarn\\]\r\n"
      "  \"workdir\" = \"C:\\Program Files\\tarn\"  \r\n"
      "\"n\"=dword:1F\n"
      "\"b\"=hex:1,02 , 3,\n"
      "\"c\"=hex(2):41,\\\n"
      "    42,00\n"
      "\"WORKDIR\"=\"/opt/x\"\n"
      "[hkey_local_machine\\SOFTWARE\\corvex\\TARN\\sse]\n",
      &bad);
  EXPECT_TRUE(bad.empty());
  const Node* tarn = root->find({"software", "corvex", "tarn"});
  ASSERT_NE(tarn, nullptr);
  EXPECT_EQ(tarn->name(), "tarn");
  ASSERT_EQ(tarn->values().size(), 4u);
  // A later line for the same name replaces the value in its place.
  EXPECT_EQ(value_of(*tarn, 0).name, "workdir");
  EXPECT_EQ(value_of(*tarn, 0).data, "/opt/x\0"s);
  EXPECT_EQ(value_of(*tarn, 1).data, "\x1f\0\0\0"s);
  EXPECT_EQ(value_of(*tarn, 2).data, "\x01\x02\x03"s);
  EXPECT_EQ(value_of(*tarn, 3).type, 2u);
  EXPECT_EQ(value_of(*tarn, 3).data, "AB\0"s);
  ASSERT_EQ(tarn->children().size(), 1u);
  EXPECT_EQ(tarn->children().begin()->second->name(), "sse");
}

TEST(HiveTest, KeepsTheBackslashesOfAnUndoubledPath) {
  auto root = parse("[HKLM\\K]\n\"p\"=\"C:\\Program Files\\x\"\n");
  EXPECT_EQ(value_at(*root, "K", "p")->data, "C:\\Program Files\\x\0"s);
}

TEST(HiveTest, SkipsAndReportsLinesItCannotRead) {
  std::vector<BadLine> bad;
  auto root = parse(
      "Windows Registry Editor Version 5.00\n"
      "\"early\"=\"no section yet\"\n"
      "[HKLM\\A]\n"
      "\"ok\"=\"1\"\n"
      "\"unclosed=\"x\"\n"
      "\"n\"=dword:123456789\n"
      "\"h\"=hex:1g\n"
      "\"t\"=\"x\" trailing\n"
      "plain words\n"
      "[HKEY_CURRENT_USER\\B]\n"
      "\"dropped\"=\"quietly\"\n"
      "[HKLM\\A\\" +
          std::string(256, 'k') +
          "]\n"
          "[HKLM\\A]\n"
          "\"cut\"=hex:01,\\\n",
      &bad);
  std::vector<int> lines;
  for (const BadLine& b : bad) lines.push_back(b.line);
  EXPECT_EQ(lines, (std::vector<int>{2, 5, 6, 7, 8, 9, 10, 12, 14}));
  EXPECT_EQ(bad[1].text, "\"unclosed=\"x\"");
  EXPECT_EQ(bad[7].text.size(), 256u);
  ASSERT_NE(value_at(*root, "A", "ok"), nullptr);
  EXPECT_EQ(root->children().size(), 1u);
  EXPECT_EQ(root->find_child("A")->values().size(), 1u);
}

TEST(HiveTest, KeepsCommentsAndUnreadableLinesInPlace) {
  std::vector<BadLine> bad;
  auto root = parse(
      "; before the header\n"
      "Windows Registry Editor Version 5.00\n"
      "\"early\"=\"no section yet\"\n"
      "[HKLM\\A]\n"
      "; about a\n"
      "\"a\"=\"1\"\n"
      "\"gone\"=-\n"
      "\"b\"=\"2\"\n"
      "; before the repeat\n"
      "\"a\"=\"3\"\n"
      "[-HKLM\\Old]\n"
      "\"x\"=\"y\"\n"
      "[HKLM\\B]\n"
      "\"h\"=hex:zz,\\\n"
      "\n"
      "\"c\"=dword:00000001\n",
      &bad);
  std::vector<int> lines;
  for (const BadLine& b : bad) lines.push_back(b.line);
  EXPECT_EQ(lines, (std::vector<int>{3, 7, 11, 14}));

  // A section line that cannot be read keeps the lines under it together,
  // after the last section read, so that they stay out of any key; a line left
  // hanging on "\" is kept apart from the next.
  const std::string written =
      "Windows Registry Editor Version 5.00\n"
      "\n"
      "; before the header\n"
      "\"early\"=\"no section yet\"\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\A]\n"
      "; about a\n"
      "\"a\"=\"3\"\n"
      "\"gone\"=-\n"
      "\"b\"=\"2\"\n"
      "; before the repeat\n"
      "[-HKLM\\Old]\n"
      "\"x\"=\"y\"\n"
      "\n"
      "[HKEY_LOCAL_MACHINE\\B]\n"
      "\"h\"=hex:zz,\\\n"
      "\n"
      "\"c\"=dword:00000001\n"
      "\n";
  EXPECT_EQ(write_reg_text(*root), written);
  bad.clear();
  auto again = parse(written, &bad);
  EXPECT_EQ(bad.size(), 4u);
  EXPECT_EQ(write_reg_text(*again), written);

  // A removed value's lines stay, before what followed it.
  Node* a = root->find_child("A");
  ASSERT_TRUE(a->delete_value("b"));
  ASSERT_TRUE(a->set_value("d", 1, "4\0"s));
  std::string text = write_reg_text(*root);
  EXPECT_NE(text.find("\"a\"=\"3\"\n\"d\"=\"4\"\n\"gone\"=-\n; before the repeat\n[-HKLM\\Old]\n"),
            std::string::npos)
      << text;
}

TEST(HiveTest, SubKeysSortAsWindowsComparesNames) {
  Node root;
  for (const char* name : {"b", "a_b", "aB", "A", "Z1"}) root.add_child(name);
  std::vector<std::string> order;
  for (const auto& [folded, child] : root.children()) order.push_back(child->name());
  EXPECT_EQ(order, (std::vector<std::string>{"A", "aB", "a_b", "b", "Z1"}));
  bool created = true;
  EXPECT_EQ(root.add_child("AB", &created)->name(), "aB");
  EXPECT_FALSE(created);
}

TEST(HiveTest, ValuesKeepCreationOrderAndFirstCase) {
  Node key;
  EXPECT_TRUE(key.set_value("Zeta", 1, "1"));
  EXPECT_TRUE(key.set_value("alpha", 1, "2"));
  EXPECT_TRUE(key.set_value("Mid", 1, "3"));
  EXPECT_TRUE(key.set_value("ZETA", 4, "4444"));
  EXPECT_FALSE(key.set_value("zeta", 4, "4444"));
  EXPECT_TRUE(key.delete_value("ALPHA"));
  EXPECT_FALSE(key.delete_value("alpha"));
  ASSERT_EQ(key.values().size(), 2u);
  EXPECT_EQ(value_of(key, 0).name, "Zeta");
  EXPECT_EQ(value_of(key, 0).data, "4444");
  EXPECT_EQ(key.find_value("mid"), &value_of(key, 1));
}

TEST(HiveTest, PathsFollowTheRegistryLimits) {
  std::vector<std::string> parts;
  EXPECT_TRUE(split_path("\\SOFTWARE\\\\Corvex\\", &parts));
  EXPECT_EQ(parts, (std::vector<std::string>{"SOFTWARE", "Corvex"}));
  EXPECT_TRUE(split_path(std::string(255, 'k'), &parts));
  EXPECT_FALSE(split_path(std::string(256, 'k'), &parts));
  EXPECT_FALSE(split_path("a\\b\tc", &parts));
  std::string deep;
  for (int i = 0; i < 512; ++i) deep += "k\\";
  EXPECT_TRUE(split_path(deep, &parts));
  EXPECT_FALSE(split_path(deep + "k", &parts));
  EXPECT_TRUE(valid_value_name(""));
  EXPECT_TRUE(valid_value_name(std::string(16383, 'v')));
  EXPECT_FALSE(valid_value_name(std::string(16384, 'v')));
  EXPECT_FALSE(valid_value_name("a\nb"));
}

}  // namespace
}  // namespace platform::registry
