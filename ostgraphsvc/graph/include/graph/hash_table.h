// HashTable: the framework's keyed table.
//
// Entries are Pair<const K, V> with the chain link behind them, allocated from
// the table's own NodePool and chained in a HashContainer that starts with 63
// buckets. Iteration runs in bucket order, chain order within a bucket; an
// insert may rehash and so reorders iteration. Pointers to entries stay valid
// until the entry is erased. Keys hash with `hashcode(key)`. Not thread-safe.
#ifndef GRAPH_HASH_TABLE_H_
#define GRAPH_HASH_TABLE_H_

#include <new>
#include <utility>

#include "graph/hash_container.h"
#include "graph/node_pool.h"
#include "graph/string.h"

template <typename K, typename V>
struct Pair {
  K key;
  V value;
};

template <typename K, typename V>
class HashTable {
 public:
  using key_type = K;
  using mapped_type = V;
  using value_type = Pair<const K, V>;

  struct elt {
    using key_type = K;
    value_type pair;
    elt* hash_next;
    const K& hash_key() const { return pair.key; }
  };
  using container_type = HashContainer<elt>;

  class iterator {
   public:
    iterator() = default;
    value_type* get() const { return it_.live() ? &it_->pair : nullptr; }
    value_type* operator->() const { return &it_->pair; }
    value_type& operator*() const { return it_->pair; }
    bool live() const { return it_.live(); }
    explicit operator bool() const { return it_.live(); }
    void operator++() { ++it_; }
    friend bool operator==(const iterator& a, const iterator& b) { return a.it_ == b.it_; }

   private:
    friend class HashTable;
    explicit iterator(typename container_type::iterator it) : it_(it) {}
    typename container_type::iterator it_;
  };

  HashTable()
      : hc_(kInitialBuckets),
        name_(demangled_type_name(typeid(value_type))),
        pool_(sizeof(elt), name_) {}
  HashTable(const HashTable&) = delete;
  HashTable& operator=(const HashTable&) = delete;
  ~HashTable() {
    for (auto it = hc_.begin(); it.live();) {
      elt* e = hc_.erase(it);
      e->~elt();
      pool_.free(e);
    }
    pool_.clear();
  }

  uint64_t size() const { return hc_.size(); }
  bool empty() const { return hc_.empty(); }
  uint32_t bucket_count() const { return hc_.bucket_count(); }
  const String& name() const { return name_; }
  const NodePool& pool() const { return pool_; }

  iterator begin() { return iterator(hc_.begin()); }
  iterator end() { return iterator(hc_.end()); }

  // The entry of `key`, or an iterator that is not live.
  iterator find(const K& key) { return iterator(hc_.find(key)); }
  // The entry of `key`, made from `key` and `value` when absent.
  iterator find_insert(const K& key, const V& value) {
    auto it = hc_.find(key);
    if (!it.live()) {
      elt* e = new (pool_.allocate()) elt{value_type{key, value}, nullptr};
      hc_.set(it, e, true);
    }
    return iterator(it);
  }
  // Erases the entry and returns the one after it.
  iterator erase(iterator it) {
    elt* e = hc_.erase(it.it_);
    if (e != nullptr) {
      e->~elt();
      pool_.free(e);
    }
    return it;
  }

 private:
  static constexpr uint32_t kInitialBuckets = 63;

  container_type hc_;
  String name_;
  NodePool pool_;
};

#endif  // GRAPH_HASH_TABLE_H_
