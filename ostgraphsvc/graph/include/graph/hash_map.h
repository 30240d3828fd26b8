// HashMap: a chained map whose nodes come from arenas shared by all maps of
// the same node size.
//
// A HashMap_Arena hands out fixed-size elements from blocks of 127, recycling
// freed ones through a free list; blocks return to the heap only when the
// arena's last reference goes. A HashMap_ArenaFactory keeps one arena per
// element size (sizes rounded up to 4 bytes below 256, to 128 bytes from 256).
// One process-wide factory is made by the first map that needs one and
// deleted by `HashMap_ArenaFactory::static_cleanup` at framework tear-down;
// an arena a live map still uses outlives its factory.
//
// Maps start with 127 buckets and rehash to 2 * count + 1 (at most 0x3fffff)
// when the entry count reaches twice the bucket count. `find` of an absent key
// gives null; `erase_if` removes entries without shrinking the buckets. Not thread-safe, except
// that the process-wide factory is made and deleted under a lock.
#ifndef GRAPH_HASH_MAP_H_
#define GRAPH_HASH_MAP_H_

#include <cstddef>
#include <cstdint>
#include <new>

#include "graph/hash_container.h"
#include "graph/hashcode.h"

class HashMap_Arena {
 public:
  static constexpr int kBlockElements = 127;

  explicit HashMap_Arena(size_t element_size);
  HashMap_Arena(const HashMap_Arena&) = delete;
  HashMap_Arena& operator=(const HashMap_Arena&) = delete;

  void* alloc();
  void free(void* element);
  size_t element_size() const { return element_size_; }
  int block_count() const { return nblocks_; }

  void use() { ++refcount_; }
  // Frees the arena and all its blocks with the last reference.
  void unuse();

 private:
  ~HashMap_Arena();

  void* free_ = nullptr;
  char* block_ = nullptr;
  int bytes_left_ = 0;  // in the current block, handed out from its end
  size_t element_size_;
  char** blocks_;
  int nblocks_ = 0;
  int block_slots_ = 8;
  int refcount_ = 0;
};

class HashMap_ArenaFactory {
 public:
  HashMap_ArenaFactory() = default;
  HashMap_ArenaFactory(const HashMap_ArenaFactory&) = delete;
  HashMap_ArenaFactory& operator=(const HashMap_ArenaFactory&) = delete;
  // Drops the factory's reference on each arena.
  virtual ~HashMap_ArenaFactory();

  // The shared arena for elements of `size` bytes; the caller counts its own
  // reference with `use`.
  virtual HashMap_Arena* get_arena(size_t size);

  static HashMap_ArenaFactory* process_factory();
  static void static_cleanup();

 private:
  struct Table {
    HashMap_Arena** slots = nullptr;
    int count = 0;
  };
  HashMap_Arena* get(Table& table, int index, size_t element_size);

  Table small_;
  Table large_;
};

template <typename K, typename V>
class HashMap {
 public:
  struct Node {
    K key;
    V value;
    Node* next;
  };

  explicit HashMap(HashMap_ArenaFactory* factory = nullptr)
      : buckets_(new Node*[kInitialBuckets]()),
        nbuckets_(kInitialBuckets),
        threshold_(2 * kInitialBuckets) {
    if (factory == nullptr) factory = HashMap_ArenaFactory::process_factory();
    arena_ = factory->get_arena(sizeof(Node));
    arena_->use();
  }
  HashMap(const HashMap&) = delete;
  HashMap& operator=(const HashMap&) = delete;
  ~HashMap() {
    for (uint32_t b = 0; b < nbuckets_; ++b) {
      for (Node* n = buckets_[b]; n != nullptr;) {
        Node* next = n->next;
        n->~Node();
        arena_->free(n);
        n = next;
      }
    }
    delete[] buckets_;
    arena_->unuse();
  }

  size_t size() const { return count_; }
  uint32_t bucket_count() const { return nbuckets_; }
  const HashMap_Arena* arena() const { return arena_; }

  // True when a new entry was made, false when an existing value was replaced.
  bool insert(const K& key, const V& value) {
    Node*& head = buckets_[hashcode(key) % nbuckets_];
    for (Node* n = head; n != nullptr; n = n->next) {
      if (hash_keys_equal(n->key, key)) {
        n->value = value;
        return false;
      }
    }
    if (count_ >= threshold_) {
      rehash();
      return insert_new(key, value);
    }
    head = new (arena_->alloc()) Node{key, value, head};
    ++count_;
    return true;
  }

  V* find(const K& key) {
    for (Node* n = buckets_[hashcode(key) % nbuckets_]; n != nullptr; n = n->next) {
      if (hash_keys_equal(n->key, key)) return &n->value;
    }
    return nullptr;
  }
  const V* find(const K& key) const { return const_cast<HashMap*>(this)->find(key); }

  // Calls f(key, value) for every entry, in bucket and chain order.
  template <typename F>
  void for_each(F f) const {
    for (uint32_t b = 0; b < nbuckets_; ++b)
      for (const Node* n = buckets_[b]; n != nullptr; n = n->next) f(n->key, n->value);
  }

  // Removes every entry for which pred(key, value) is true, walking in
  // bucket and chain order; answers how many went. The bucket array keeps
  // its size.
  template <typename F>
  size_t erase_if(F pred) {
    size_t removed = 0;
    for (uint32_t b = 0; b < nbuckets_; ++b) {
      for (Node** link = &buckets_[b]; *link != nullptr;) {
        Node* n = *link;
        if (!pred(n->key, n->value)) {
          link = &n->next;
          continue;
        }
        *link = n->next;
        n->~Node();
        arena_->free(n);
        --count_;
        ++removed;
      }
    }
    return removed;
  }

 private:
  static constexpr uint32_t kInitialBuckets = 127;
  static constexpr uint32_t kMaxBuckets = 0x3fffff;

  bool insert_new(const K& key, const V& value) {
    Node*& head = buckets_[hashcode(key) % nbuckets_];
    head = new (arena_->alloc()) Node{key, value, head};
    ++count_;
    return true;
  }

  void rehash() {
    uint32_t count = nbuckets_;
    if (count < kMaxBuckets) count = 2 * count + 1;
    if (count > kMaxBuckets) count = kMaxBuckets;
    threshold_ = count >= kMaxBuckets ? 0x7ffffffe : 2 * static_cast<size_t>(count);
    if (count == nbuckets_) return;
    Node** buckets = new Node*[count]();
    for (uint32_t b = 0; b < nbuckets_; ++b) {
      for (Node* n = buckets_[b]; n != nullptr;) {
        Node* next = n->next;
        Node*& head = buckets[hashcode(n->key) % count];
        n->next = head;
        head = n;
        n = next;
      }
    }
    delete[] buckets_;
    buckets_ = buckets;
    nbuckets_ = count;
  }

  Node** buckets_;
  uint32_t nbuckets_;
  size_t count_ = 0;
  size_t threshold_;
  HashMap_Arena* arena_;
};

#endif  // GRAPH_HASH_MAP_H_
