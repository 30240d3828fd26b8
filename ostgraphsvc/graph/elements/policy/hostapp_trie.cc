#include "ostgraphsvc/graph/elements/policy/hostapp_trie.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

using Child = HostAppTrieNode::Child;

constexpr uint32_t kFirstTable = 8;

// Eight bytes at a time with a multiply-xorshift mix: the per-byte chain of
// a classic string hash costs more than the probe itself.
uint32_t label_hash(const char* data, int length) {
  constexpr uint64_t kMul = 0x9E3779B97F4A7C15ull;
  uint64_t h = static_cast<uint64_t>(length) * kMul;
  int at = 0;
  for (; at + 8 <= length; at += 8) {
    uint64_t word;
    std::memcpy(&word, data + at, 8);
    h = (h ^ word) * kMul;
    h ^= h >> 29;
  }
  if (at < length) {
    uint64_t word = 0;
    std::memcpy(&word, data + at, static_cast<size_t>(length - at));
    h = (h ^ word) * kMul;
    h ^= h >> 29;
  }
  h *= kMul;
  return static_cast<uint32_t>(h >> 32);
}

bool label_equals(const HostAppTrieNode* node, const char* data, int length) {
  return node->label_length == length &&
         std::memcmp(node->label(), data, static_cast<size_t>(length)) == 0;
}

HostAppTrieNode* find_child(const HostAppTrieNode* parent, const char* data, int length,
                            uint32_t hash) {
  if (parent->children == nullptr) {
    for (uint32_t i = 0; i < parent->child_count; ++i) {
      const Child& c = parent->inline_children[i];
      if (c.hash == hash && label_equals(c.node, data, length)) return c.node;
    }
    return nullptr;
  }
  const uint32_t mask = parent->child_capacity - 1;
  for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
    const Child& c = parent->children[i];
    if (c.node == nullptr) return nullptr;
    if (c.hash == hash && label_equals(c.node, data, length)) return c.node;
  }
}

void place_child(Child* table, uint32_t capacity, const Child& child) {
  const uint32_t mask = capacity - 1;
  uint32_t i = child.hash & mask;
  while (table[i].node != nullptr) i = (i + 1) & mask;
  table[i] = child;
}

// Adds a child; false when its index cannot grow.
bool add_child(HostAppTrieNode* parent, const Child& child) {
  if (parent->children == nullptr && parent->child_count < HostAppTrieNode::kInlineChildren) {
    parent->inline_children[parent->child_count++] = child;
    return true;
  }
  if (parent->children == nullptr || 2 * (parent->child_count + 1) > parent->child_capacity) {
    const uint32_t capacity =
        parent->children == nullptr ? kFirstTable : 2 * parent->child_capacity;
    auto* table = static_cast<Child*>(std::calloc(capacity, sizeof(Child)));
    if (table == nullptr) return false;
    if (parent->children == nullptr) {
      for (uint32_t i = 0; i < parent->child_count; ++i) {
        place_child(table, capacity, parent->inline_children[i]);
      }
    } else {
      for (uint32_t i = 0; i < parent->child_capacity; ++i) {
        if (parent->children[i].node != nullptr) place_child(table, capacity, parent->children[i]);
      }
    }
    std::free(parent->children);
    parent->children = table;
    parent->child_capacity = capacity;
  }
  place_child(parent->children, parent->child_capacity, child);
  ++parent->child_count;
  return true;
}

HostAppTrieNode* new_node(const char* label, int length) {
  void* block = std::calloc(1, sizeof(HostAppTrieNode) + static_cast<size_t>(length) + 1);
  if (block == nullptr) return nullptr;
  auto* node = static_cast<HostAppTrieNode*>(block);
  if (length > 0)
    std::memcpy(reinterpret_cast<char*>(node + 1), label, static_cast<size_t>(length));
  node->label_length = length;
  node->label_hash = label_hash(label, length);
  return node;
}

// The child of `parent` with this label, made when missing; null when it
// cannot be allocated.
HostAppTrieNode* find_or_add_child(HostAppTrieNode* parent, const char* data, int length) {
  const uint32_t hash = label_hash(data, length);
  if (HostAppTrieNode* child = find_child(parent, data, length, hash)) return child;
  HostAppTrieNode* child = new_node(data, length);
  if (child == nullptr) return nullptr;
  if (!add_child(parent, Child{hash, child})) {
    std::free(child);
    return nullptr;
  }
  return child;
}

void set_entry(HostAppTrieNode* node, const hostapp_entry& entry) {
  node->entry_value = entry;
  node->has_entry = 1;
}

bool starts_with_star(const HostLabel& label) { return label.length > 0 && label.data[0] == '*'; }

}  // namespace

HostAppTrieNode* hostapp_trie_new_node() { return new_node("", 0); }

void hostapp_trie_insert(HostAppTrieNode* root, const HostLabel* labels, int n,
                         const hostapp_entry& entry) {
  if (root == nullptr || n <= 0) return;
  HostAppTrieNode* node = root;
  for (int i = 0; i < n; ++i) {
    if (i == n - 1 && starts_with_star(labels[i])) {
      set_entry(node, entry);
      node->wildcard = 1;
      node->terminal = 1;
      return;
    }
    node = find_or_add_child(node, labels[i].data, labels[i].length);
    if (node == nullptr) return;
  }
  set_entry(node, entry);
  node->terminal = 1;
}

void hostapp_trie_insert(HostAppTrieNode* root, const String* labels, int n,
                         const hostapp_entry& entry) {
  if (n <= 0) return;
  HostLabel* views = new (std::nothrow) HostLabel[static_cast<size_t>(n)];
  if (views == nullptr) return;
  for (int i = 0; i < n; ++i) views[i] = HostLabel{labels[i].data(), labels[i].length()};
  hostapp_trie_insert(root, views, n, entry);
  delete[] views;
}

const hostapp_entry* hostapp_trie_lookup(const HostAppTrieNode* root, const HostLabel* labels,
                                         int n) {
  if (root == nullptr || n <= 0) return nullptr;
  const bool wildcard_query = starts_with_star(labels[n - 1]);
  const HostAppTrieNode* node = root;
  const HostAppTrieNode* wildcard = nullptr;
  for (int i = 0; i < n; ++i) {
    const bool last = i == n - 1;
    if (wildcard_query && last) return node->entry();
    if (node->wildcard) wildcard = node;
    const HostAppTrieNode* child = find_child(node, labels[i].data, labels[i].length,
                                              label_hash(labels[i].data, labels[i].length));
    if (child == nullptr) return wildcard != nullptr ? wildcard->entry() : nullptr;
    node = child;
    if (last && node->terminal) return node->entry();
  }
  return wildcard != nullptr ? wildcard->entry() : nullptr;
}

const hostapp_entry* hostapp_trie_lookup(const HostAppTrieNode* root, const String* labels, int n) {
  constexpr int kOnStack = 128;
  if (n <= 0) return nullptr;
  if (n > kOnStack) {
    // More labels than a host name can have: rare enough to take the heap.
    HostLabel* heap = new (std::nothrow) HostLabel[static_cast<size_t>(n)];
    if (heap == nullptr) return nullptr;
    for (int i = 0; i < n; ++i) heap[i] = HostLabel{labels[i].data(), labels[i].length()};
    const hostapp_entry* found = hostapp_trie_lookup(root, heap, n);
    delete[] heap;
    return found;
  }
  HostLabel views[kOnStack];
  for (int i = 0; i < n; ++i) views[i] = HostLabel{labels[i].data(), labels[i].length()};
  return hostapp_trie_lookup(root, views, n);
}

void hostapp_trie_free(HostAppTrieNode* node) {
  if (node == nullptr) return;
  node->work_next = nullptr;
  HostAppTrieNode* work = node;
  while (work != nullptr) {
    HostAppTrieNode* current = work;
    work = current->work_next;
    const Child* children =
        current->children != nullptr ? current->children : current->inline_children;
    const uint32_t slots =
        current->children != nullptr ? current->child_capacity : current->child_count;
    for (uint32_t i = 0; i < slots; ++i) {
      HostAppTrieNode* child = children[i].node;
      if (child == nullptr) continue;
      child->work_next = work;
      work = child;
    }
    std::free(current->children);
    std::free(current);
  }
}
