// The host-app trie: maps a DNS name, given as its labels from the top-level
// label down, to the application entry of the name or of the nearest
// wildcard above it.
//
// A name inserted with a last label beginning with "*" marks the node of the
// labels before it as a wildcard: it answers that domain itself and every
// name below it that has no more exact entry. A lookup answers the entry of
// the exact name when every label is found and its node ends a name, and
// otherwise falls back to the deepest wildcard passed on the way down.
// Labels compare as whole texts, case-sensitively. A query whose last label
// begins with "*" is a wildcard query: it answers the entry of the node of
// the labels before it.
//
// Each node indexes its children by label (a few inline, more in an
// open-addressing hash table), so insertion and lookup cost one probe per
// label however many labels share a parent; freeing walks the nodes with a work list threaded
// through them, so neither depth nor width grows the stack.
//
// Ownership: a node owns its children; its label and entry live inside it.
// The caller owns the root and frees it with `hostapp_trie_free`. Lookups
// never allocate.
//
// Threads: none of its own and no locks; one thread at a time.
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_HOSTAPP_TRIE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_HOSTAPP_TRIE_H_

#include <cstdint>

#include "graph/string.h"

struct hostapp_entry {
  int32_t app_id;
  int32_t category_id;
};

// One label of a name, borrowed for the call: the flow path points these
// into the name it has, without copying.
struct HostLabel {
  const char* data;
  int length;
};

struct HostAppTrieNode {
  // A child and the hash of its label, so that a probe that misses never
  // touches the child.
  struct Child {
    uint32_t hash;
    HostAppTrieNode* node;
  };
  static constexpr uint32_t kInlineChildren = 2;

  int32_t terminal;  // 1 when a name ends here
  int32_t wildcard;  // 1 when a name ending in "*" was inserted here
  int32_t has_entry;
  hostapp_entry entry_value;  // the entry, valid when has_entry
  int32_t label_length;
  uint32_t label_hash;
  // Children by label: up to kInlineChildren in `inline_children`, scanned;
  // beyond that open addressing over `children`, a power-of-two array at
  // most half full (null nodes empty).
  uint32_t child_count;
  uint32_t child_capacity;
  Child* children;
  Child inline_children[kInlineChildren];
  HostAppTrieNode* work_next;  // used only while freeing

  // The label follows the node in the same allocation, NUL-terminated; the
  // root's is empty.
  const char* label() const { return reinterpret_cast<const char*>(this + 1); }
  const hostapp_entry* entry() const { return has_entry ? &entry_value : nullptr; }
};

// A zeroed root node (no label), or null when it cannot be allocated.
HostAppTrieNode* hostapp_trie_new_node();

// Inserts the name of `n` labels (top-level first) with a copy of `entry`;
// an entry given earlier to the same name is replaced. With n = 0 nothing
// happens. A node, label or entry that cannot be allocated ends the
// insertion there; the labels inserted before stay.
void hostapp_trie_insert(HostAppTrieNode* root, const HostLabel* labels, int n,
                         const hostapp_entry& entry);
void hostapp_trie_insert(HostAppTrieNode* root, const String* labels, int n,
                         const hostapp_entry& entry);

// The entry answering the name, or null (also for a null root or n = 0).
const hostapp_entry* hostapp_trie_lookup(const HostAppTrieNode* root, const HostLabel* labels,
                                         int n);
const hostapp_entry* hostapp_trie_lookup(const HostAppTrieNode* root, const String* labels, int n);

// Frees the node and everything below it; null is allowed.
void hostapp_trie_free(HostAppTrieNode* node);

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_HOSTAPP_TRIE_H_
