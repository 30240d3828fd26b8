// FpdPrefixTable: the first-packet table of the application detection. For a
// destination IPv4 address it answers the entry of the longest matching
// prefix, whose port items say which application a port belongs to.
//
// The table stands on a multi-bit trie (`PrefixTrieNode`): a root of 256
// slots for address bits 31-24, then nodes of 16 slots for each further 4
// bits, seven levels at most. A prefix is kept in the level whose slot size
// is the largest one not above its range and fills the slots it covers; each
// slot remembers the mask of its owner, so a shorter prefix never takes slots
// from a longer one whatever the order of insertion. Entries live in one
// array; prefixes that end in the same node are chained through `next`, so
// that adding a prefix already present merges it into the existing entry:
// the entry keeps the application of its first addition and collects the
// port items of all of them, in order.
//
// Addresses and masks are in network order. `add` masks the address it is
// given (host bits would otherwise land in slots outside the prefix) and
// refuses a mask that is not a prefix.
//
// Ownership: the table owns its entries, their port items and the trie.
// `lookup` copies the entry; `find` answers a pointer into the table that
// stays valid until the next `add`, `clear` or destruction, and allocates
// nothing, for the packet path.
//
// Threads: none of its own and no locks; built and read on one thread at a
// time (the policy element's configure, then the packet thread).
#ifndef OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_FPD_PREFIX_TABLE_H_
#define OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_FPD_PREFIX_TABLE_H_

#include <cstdint>

#include "graph/vector.h"

// One port range of an application; a bound of 0xFFFF means any port, and
// an item with either bound 0xFFFF matches every port.
struct fpd_port_item {
  uint16_t high_port = 0xFFFF;
  uint16_t low_port = 0xFFFF;
  int32_t app_id = 0;
  int32_t category_id = 0;

  // True when the item's range holds `port`.
  bool matches(uint16_t port) const {
    if (high_port == 0xFFFF || low_port == 0xFFFF) return true;
    return port >= low_port && port <= high_port;
  }
};

struct fpd_entry {
  uint32_t address = 0;  // network order
  uint32_t mask = 0;     // network order
  Vector<fpd_port_item> port_items;
  int16_t protocol = -1;  // 6, 17, 1, or -1 for any
  int32_t app_id = 0;
  int32_t category_id = 0;
  int32_t next = -1;  // next entry of the same chain, or next free slot
};

// A trie node: a header and its slots in one allocation.
struct PrefixTrieNode {
  struct Slot {
    int32_t key;        // owning entry, -1 when none
    uint32_t priority;  // the owner's mask in host order, 0 when none
    PrefixTrieNode* child;
  };

  int32_t chain_head;  // first entry whose prefix ended in this node, or -1
  int32_t shift;       // an address's slot is (address >> shift)
  int32_t slot_count;  // 256 for the root, 16 below it
  int32_t nonempty;    // children made plus slots holding a key

  Slot* slots() { return reinterpret_cast<Slot*>(this + 1); }
  const Slot* slots() const { return reinterpret_cast<const Slot*>(this + 1); }

  // A node with every slot empty, or null when it cannot be allocated.
  static PrefixTrieNode* make(int shift, int slot_count);
  // Sets the slots of the range [first, first + size) (host order) to `key`
  // where their priority is at most `priority`, making the nodes on the way;
  // answers the node where the range's slots lie, or null when a node could
  // not be allocated.
  static PrefixTrieNode* change(PrefixTrieNode* node, uint32_t first, uint32_t size, int32_t key,
                                uint32_t priority);
  // Frees the node and everything below it. The depth is at most seven.
  static void free(PrefixTrieNode* node);
};

class FpdPrefixTable {
 public:
  static constexpr int kMerged = -17;
  static constexpr int kRefused = -22;
  static constexpr int kNoMemory = -12;

  FpdPrefixTable();
  ~FpdPrefixTable();
  FpdPrefixTable(const FpdPrefixTable&) = delete;
  FpdPrefixTable& operator=(const FpdPrefixTable&) = delete;

  // Adds a copy of `e` (its address masked first). 0 when added, kMerged
  // when merged into the entry of the same prefix; kRefused after logging
  // "FPD: non-contiguous mask %s for %s, entry skipped" when the mask is no
  // prefix; kNoMemory when a trie node could not be allocated (nothing is
  // added).
  int add(const fpd_entry& e);

  // 0 and a copy of the entry of the longest prefix holding `dst` (network
  // order), or -1.
  int lookup(uint32_t dst, fpd_entry& out) const;
  // The same entry without a copy, or null; valid until the table changes.
  const fpd_entry* find(uint32_t dst) const;

  // Empties the table and gives it a new empty root.
  void clear();

  int entry_count() const { return entries_.size(); }
  int default_entry() const { return default_entry_; }
  const fpd_entry& entry(int index) const { return entries_[index]; }
  const PrefixTrieNode* root() const { return root_; }

 private:
  int32_t free_head_ = -1;
  int32_t default_entry_ = -1;
  Vector<fpd_entry> entries_;
  PrefixTrieNode* root_;
};

#endif  // OSTGRAPHSVC_GRAPH_ELEMENTS_POLICY_FPD_PREFIX_TABLE_H_
