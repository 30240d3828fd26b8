#include "ostgraphsvc/graph/elements/policy/hostapp_trie.h"

#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <vector>

namespace {

std::vector<HostLabel> labels_of(const std::vector<std::string>& parts) {
  std::vector<HostLabel> labels;
  for (const std::string& p : parts)
    labels.push_back(HostLabel{p.data(), static_cast<int>(p.size())});
  return labels;
}

void insert(HostAppTrieNode* root, const std::vector<std::string>& parts, int app) {
  std::vector<HostLabel> labels = labels_of(parts);
  hostapp_trie_insert(root, labels.data(), static_cast<int>(labels.size()),
                      hostapp_entry{app, app * 10});
}

int lookup(const HostAppTrieNode* root, const std::vector<std::string>& parts) {
  std::vector<HostLabel> labels = labels_of(parts);
  const hostapp_entry* e =
      hostapp_trie_lookup(root, labels.data(), static_cast<int>(labels.size()));
  return e == nullptr ? -1 : e->app_id;
}

constexpr int kW = 1;
constexpr int kM = 2;

TEST(HostAppTrieTest, ExactNamesAndWildcards) {
  HostAppTrieNode* root = hostapp_trie_new_node();
  ASSERT_NE(root, nullptr);
  insert(root, {"com", "example", "*"}, kW);
  insert(root, {"com", "example", "mail"}, kM);
  insert(root, {"org", "site", "Mail"}, 3);
  insert(root, {"net", "*", "a"}, 4);  // "*" not last is a plain label

  const struct {
    std::vector<std::string> name;
    int app;
  } cases[] = {
      {{"com", "example", "mail"}, kM},
      {{"com", "example", "maps"}, kW},
      {{"com", "example"}, kW},
      {{"com", "example", "mail", "a"}, kW},
      {{"com", "other"}, -1},
      {{"com"}, -1},
      {{"org", "site", "Mail"}, 3},
      {{"org", "site", "mail"}, -1},  // case counts, no wildcard above
      {{"org", "Site", "Mail"}, -1},
      {{"com", "example", "*"}, kW},  // a wildcard query answers the node's entry
      {{"org", "site", "*"}, -1},
      {{"net", "*", "a"}, 4},
      {{"net", "x", "a"}, -1},
  };
  for (const auto& c : cases) {
    std::string shown;
    for (const std::string& p : c.name) shown += p + ".";
    EXPECT_EQ(lookup(root, c.name), c.app) << shown;
  }
  EXPECT_EQ(hostapp_trie_lookup(root, static_cast<const HostLabel*>(nullptr), 0), nullptr);
  EXPECT_EQ(hostapp_trie_lookup(nullptr, labels_of({"com"}).data(), 1), nullptr);

  // A name inserted again keeps the later entry.
  insert(root, {"com", "example", "mail"}, 7);
  EXPECT_EQ(lookup(root, {"com", "example", "mail"}), 7);
  hostapp_trie_free(root);
}

TEST(HostAppTrieTest, StringLabelsAnswerAsViews) {
  HostAppTrieNode* root = hostapp_trie_new_node();
  const String name[] = {"com", "example", "mail"};
  hostapp_trie_insert(root, name, 3, hostapp_entry{5, 6});
  const hostapp_entry* e = hostapp_trie_lookup(root, name, 3);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->category_id, 6);
  hostapp_trie_free(root);
}

// Many names under one first letter, and one very deep name: loading stays
// linear and freeing uses no recursion.
TEST(HostAppTrieTest, WideAndDeepTriesLoadAnswerAndFree) {
  constexpr int kNames = 100000;
  std::vector<std::string> names;
  for (int i = 0; i < kNames; ++i) names.push_back("a" + std::to_string(i));
  const auto start = std::chrono::steady_clock::now();
  for (int round = 0; round < 2; ++round) {  // load, then reload from scratch
    HostAppTrieNode* root = hostapp_trie_new_node();
    for (int i = 0; i < kNames; ++i) insert(root, {"com", names[i]}, i);
    for (int i = 0; i < kNames; i += 7) ASSERT_EQ(lookup(root, {"com", names[i]}), i);
    EXPECT_EQ(lookup(root, {"com", "a"}), -1);
    hostapp_trie_free(root);
  }
  std::vector<std::string> deep(200000, "a");
  HostAppTrieNode* root = hostapp_trie_new_node();
  insert(root, deep, 1);
  EXPECT_EQ(lookup(root, deep), 1);
  hostapp_trie_free(root);
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_LT(seconds, 30.0);  // a linear sibling chain needs hours here
}

}  // namespace
