#include "ostgraphsvc/graph/elements/policy/fpd_prefix_table.h"

#include <arpa/inet.h>

#include <new>
#include <utility>

#include "graph/ipaddress.h"
#include "graph/router_log.h"

PrefixTrieNode* PrefixTrieNode::make(int shift, int slot_count) {
  void* block = ::operator new(sizeof(PrefixTrieNode) + sizeof(Slot) * slot_count, std::nothrow);
  if (block == nullptr) return nullptr;
  auto* node = static_cast<PrefixTrieNode*>(block);
  node->chain_head = -1;
  node->shift = shift;
  node->slot_count = slot_count;
  node->nonempty = 0;
  Slot* slots = node->slots();
  for (int i = 0; i < slot_count; ++i) slots[i] = Slot{-1, 0, nullptr};
  return node;
}

PrefixTrieNode* PrefixTrieNode::change(PrefixTrieNode* node, uint32_t first, uint32_t size,
                                       int32_t key, uint32_t priority) {
  while (node != nullptr) {
    const int s = node->shift;
    const uint32_t f = first >> s;
    const uint32_t g = size >> s;
    const uint32_t low_bits = s == 0 ? 0 : (uint32_t{1} << s) - 1;
    first &= low_bits;
    size &= low_bits;
    Slot* slots = node->slots();
    if (g >= 1) {
      // A range that leaves the node is a prefix with host bits; refuse it
      // rather than write past the slots.
      if (f >= static_cast<uint32_t>(node->slot_count) ||
          g > static_cast<uint32_t>(node->slot_count) - f) {
        return nullptr;
      }
      for (uint32_t i = f; i < f + g; ++i) {
        if (slots[i].priority > priority) continue;
        if (slots[i].key < 0) ++node->nonempty;
        slots[i].key = key;
        slots[i].priority = priority;
      }
      return node;
    }
    if (f >= static_cast<uint32_t>(node->slot_count) || s < 4) return nullptr;
    if (slots[f].child == nullptr) {
      slots[f].child = make(s - 4, 16);
      if (slots[f].child == nullptr) return nullptr;
      ++node->nonempty;
    }
    node = slots[f].child;
  }
  return nullptr;
}

void PrefixTrieNode::free(PrefixTrieNode* node) {
  if (node == nullptr) return;
  if (node->nonempty != 0) {
    Slot* slots = node->slots();
    for (int i = 0; i < node->slot_count; ++i) free(slots[i].child);
  }
  ::operator delete(node);
}

namespace {

PrefixTrieNode* make_root() {
  PrefixTrieNode* root = PrefixTrieNode::make(24, 256);
  if (root == nullptr) throw std::bad_alloc();
  return root;
}

}  // namespace

FpdPrefixTable::FpdPrefixTable() : root_(make_root()) {}

FpdPrefixTable::~FpdPrefixTable() { PrefixTrieNode::free(root_); }

int FpdPrefixTable::add(const fpd_entry& e) {
  const uint32_t m = ntohl(e.mask);
  if (IPAddress::mask_to_prefix_len(IPAddress(e.mask)) < 0) {
    log_syslog_level(6, "FpdPrefixTable::add", __FILE__, __LINE__,
                     "FPD: non-contiguous mask %s for %s, entry skipped",
                     IPAddress(e.mask).to_string().c_str(),
                     IPAddress(e.address).to_string().c_str());
    return kRefused;
  }
  const uint32_t address = e.address & e.mask;

  int32_t slot;
  if (free_head_ >= 0) {
    slot = free_head_;
    free_head_ = entries_[slot].next;
  } else {
    slot = entries_.size();
    entries_.push_back(fpd_entry());
  }
  fpd_entry& placed = entries_[slot];
  placed.address = address;
  placed.mask = e.mask;
  placed.port_items = e.port_items;
  placed.protocol = e.protocol;
  placed.app_id = e.app_id;
  placed.category_id = e.category_id;
  placed.next = -1;

  int32_t* head = &default_entry_;
  if (m != 0) {
    PrefixTrieNode* node = PrefixTrieNode::change(root_, ntohl(address), 0u - m, slot, m);
    if (node == nullptr) {
      // Only a node allocation fails here; the slots set on the way down
      // belong to deeper prefixes, never to this slot, which goes back.
      placed.port_items.clear();
      placed.next = free_head_;
      free_head_ = slot;
      return kNoMemory;
    }
    head = &node->chain_head;
  }

  int32_t prev = -1;
  for (int32_t cur = *head; cur >= 0; prev = cur, cur = entries_[cur].next) {
    fpd_entry& old = entries_[cur];
    if (old.address != address || old.mask != e.mask) continue;
    // The new slot now owns the prefix's trie slots, so it takes the old
    // entry's place and contents, followed by the new port items.
    fpd_entry& merged = entries_[slot];
    Vector<fpd_port_item> items = std::move(old.port_items);
    for (const fpd_port_item& item : merged.port_items) items.push_back(item);
    merged.port_items = std::move(items);
    merged.protocol = old.protocol;
    merged.app_id = old.app_id;
    merged.category_id = old.category_id;
    merged.next = old.next;
    if (prev < 0) {
      *head = slot;
    } else {
      entries_[prev].next = slot;
    }
    old.port_items.clear();
    old.next = free_head_;
    free_head_ = cur;
    return kMerged;
  }
  if (prev < 0) {
    *head = slot;
  } else {
    entries_[prev].next = slot;
  }
  return 0;
}

const fpd_entry* FpdPrefixTable::find(uint32_t dst) const {
  int32_t k = default_entry_;
  uint32_t a = ntohl(dst);
  for (const PrefixTrieNode* node = root_; node != nullptr;) {
    const int s = node->shift;
    const PrefixTrieNode::Slot& slot = node->slots()[a >> s];
    if (slot.key >= 0) k = slot.key;
    a &= s == 0 ? 0 : (uint32_t{1} << s) - 1;
    node = slot.child;
  }
  if (k < 0) return nullptr;
  const fpd_entry& e = entries_[k];
  if (((dst ^ e.address) & e.mask) != 0) return nullptr;
  return &e;
}

int FpdPrefixTable::lookup(uint32_t dst, fpd_entry& out) const {
  const fpd_entry* e = find(dst);
  if (e == nullptr) return -1;
  out = *e;
  return 0;
}

void FpdPrefixTable::clear() {
  PrefixTrieNode* root = make_root();
  entries_.clear();
  PrefixTrieNode::free(root_);
  root_ = root;
  free_head_ = -1;
  default_entry_ = -1;
}
