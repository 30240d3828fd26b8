#include "ostgraphsvc/graph/elements/policy/hostapp_trie.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

constexpr uint32_t kFirstCapacity = 4;

// FNV-1a: labels are short, and this needs no setup.
uint32_t label_hash(const char* data, int length) {
  uint32_t h = 2166136261u;
  for (int i = 0; i < length; ++i) {
    h ^= static_cast<unsigned char>(data[i]);
    h *= 16777619u;
  }
  return h;
}

bool label_equals(const HostAppTrieNode* node, const char* data, int length, uint32_t hash) {
  return node->label_hash == hash && node->label_length == length &&
         std::memcmp(node->label, data, static_cast<size_t>(length)) == 0;
}

HostAppTrieNode* find_child(const HostAppTrieNode* parent, const char* data, int length,
                            uint32_t hash) {
  if (parent->child_count == 0) return nullptr;
  const uint32_t mask = parent->child_capacity - 1;
  for (uint32_t i = hash & mask;; i = (i + 1) & mask) {
    HostAppTrieNode* child = parent->children[i];
    if (child == nullptr) return nullptr;
    if (label_equals(child, data, length, hash)) return child;
  }
}

void place_child(HostAppTrieNode** children, uint32_t capacity, HostAppTrieNode* child) {
  const uint32_t mask = capacity - 1;
  uint32_t i = child->label_hash & mask;
  while (children[i] != nullptr) i = (i + 1) & mask;
  children[i] = child;
}

// Makes room for one more child; false when the index cannot grow.
bool reserve_child(HostAppTrieNode* parent) {
  if (2 * (parent->child_count + 1) <= parent->child_capacity) return true;
  const uint32_t capacity =
      parent->child_capacity == 0 ? kFirstCapacity : 2 * parent->child_capacity;
  auto** children = static_cast<HostAppTrieNode**>(std::calloc(capacity, sizeof(HostAppTrieNode*)));
  if (children == nullptr) return false;
  for (uint32_t i = 0; i < parent->child_capacity; ++i) {
    if (parent->children[i] != nullptr) place_child(children, capacity, parent->children[i]);
  }
  std::free(parent->children);
  parent->children = children;
  parent->child_capacity = capacity;
  return true;
}

// The child of `parent` with this label, made when missing; null when it
// cannot be allocated.
HostAppTrieNode* find_or_add_child(HostAppTrieNode* parent, const char* data, int length) {
  const uint32_t hash = label_hash(data, length);
  if (HostAppTrieNode* child = find_child(parent, data, length, hash)) return child;
  if (!reserve_child(parent)) return nullptr;
  HostAppTrieNode* child = hostapp_trie_new_node();
  if (child == nullptr) return nullptr;
  child->label = static_cast<char*>(std::malloc(static_cast<size_t>(length) + 1));
  if (child->label == nullptr) {
    std::free(child);
    return nullptr;
  }
  std::memcpy(child->label, data, static_cast<size_t>(length));
  child->label[length] = '\0';
  child->label_length = length;
  child->label_hash = hash;
  place_child(parent->children, parent->child_capacity, child);
  ++parent->child_count;
  return child;
}

bool set_entry(HostAppTrieNode* node, const hostapp_entry& entry) {
  if (node->entry == nullptr) {
    node->entry = static_cast<hostapp_entry*>(std::malloc(sizeof(hostapp_entry)));
    if (node->entry == nullptr) return false;
  }
  *node->entry = entry;
  return true;
}

bool starts_with_star(const HostLabel& label) { return label.length > 0 && label.data[0] == '*'; }

}  // namespace

HostAppTrieNode* hostapp_trie_new_node() {
  return static_cast<HostAppTrieNode*>(std::calloc(1, sizeof(HostAppTrieNode)));
}

void hostapp_trie_insert(HostAppTrieNode* root, const HostLabel* labels, int n,
                         const hostapp_entry& entry) {
  if (root == nullptr || n <= 0) return;
  HostAppTrieNode* node = root;
  for (int i = 0; i < n; ++i) {
    const bool last = i == n - 1;
    if (last && starts_with_star(labels[i])) {
      if (!set_entry(node, entry)) return;
      node->wildcard = 1;
      node->terminal = 1;
      return;
    }
    node = find_or_add_child(node, labels[i].data, labels[i].length);
    if (node == nullptr) return;
  }
  if (!set_entry(node, entry)) return;
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
    if (wildcard_query && last) return node->entry;
    if (node->wildcard) wildcard = node;
    const HostAppTrieNode* child = find_child(node, labels[i].data, labels[i].length,
                                              label_hash(labels[i].data, labels[i].length));
    if (child == nullptr) return wildcard != nullptr ? wildcard->entry : nullptr;
    node = child;
    if (last && node->terminal) return node->entry;
  }
  return wildcard != nullptr ? wildcard->entry : nullptr;
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
    for (uint32_t i = 0; i < current->child_capacity; ++i) {
      HostAppTrieNode* child = current->children[i];
      if (child == nullptr) continue;
      child->work_next = work;
      work = child;
    }
    std::free(current->children);
    std::free(current->label);
    std::free(current->entry);
    std::free(current);
  }
}
