// HashContainer: the chain structure under the framework's hash tables.
//
// Buckets hold singly linked chains whose links live inside the entries, so
// the container itself allocates only its bucket array. Bucket counts are
// always 2^k - 1; the bucket index is hash mod count, computed with a
// precomputed divider instead of a division instruction. New entries go to
// the head of their bucket's chain. With `balance`, an insert that makes the
// size exceed twice the bucket count announces and performs a rehash to
// 2 * count + 1.
//
// The container owns neither the entries nor their keys: `set` and `erase`
// hand removed entries back to the caller. An adapter `A` tells an entry's key,
// its hash, key equality and the entry's link. Not thread-safe.
#ifndef GRAPH_HASH_CONTAINER_H_
#define GRAPH_HASH_CONTAINER_H_

#include <libdivide.h>

#include <cstdint>
#include <cstring>
#include <type_traits>
#include <typeinfo>

#include "graph/hashcode.h"
#include "graph/router_log.h"
#include "graph/string.h"

// Key equality of the hash tables: Strings compare length, then data
// pointers, then bytes.
template <typename K>
bool hash_keys_equal(const K& a, const K& b) {
  if constexpr (std::is_same_v<K, String>) {
    return a.length() == b.length() &&
           (a.data() == b.data() ||
            std::memcmp(a.data(), b.data(), static_cast<size_t>(a.length())) == 0);
  } else {
    return a == b;
  }
}

// The default adapter: the entry type has `key_type`, `hash_key()` and a
// `hash_next` link.
template <typename T>
struct HashContainer_adapter {
  using key_type = typename T::key_type;
  using key_const_reference = const key_type&;
  static T*& next(T* e) { return e->hash_next; }
  static key_const_reference key(const T* e) { return e->hash_key(); }
  static uint32_t hash(key_const_reference k) { return hashcode(k); }
  static bool equals(key_const_reference a, key_const_reference b) { return hash_keys_equal(a, b); }
};

template <typename T, typename A = HashContainer_adapter<T>>
class HashContainer {
 public:
  using key_type = typename A::key_type;
  using key_const_reference = typename A::key_const_reference;
  static constexpr uint32_t kMaxBuckets = 0xFFFFFFFF;

  // An entry (or none), the link that points at it, and its bucket. A find
  // that fails gives no entry and the head link of the key's bucket: where
  // `set` inserts.
  class iterator {
   public:
    iterator() = default;
    T* get() const { return element_; }
    T* operator->() const { return element_; }
    T& operator*() const { return *element_; }
    bool live() const { return element_ != nullptr; }
    explicit operator bool() const { return live(); }
    uint32_t bucket() const { return bucket_; }
    void operator++() {
      if (element_ == nullptr) return;
      pprev_ = &A::next(element_);
      element_ = *pprev_;
      if (element_ == nullptr) container_->seek(*this, bucket_ + 1);
    }
    friend bool operator==(const iterator& a, const iterator& b) {
      return a.element_ == b.element_;
    }

   private:
    friend class HashContainer;
    T* element_ = nullptr;
    T** pprev_ = nullptr;
    uint32_t bucket_ = 0;
    HashContainer* container_ = nullptr;
  };

  // One bucket, known to be empty.
  HashContainer() : HashContainer(1) {}
  // `nbuckets` of the form 2^k - 1.
  explicit HashContainer(uint32_t nbuckets)
      : buckets_(new T*[nbuckets]()),
        nbuckets_(nbuckets),
        first_bucket_(nbuckets),
        divider_(libdivide::libdivide_u32_gen(nbuckets)) {}
  HashContainer(const HashContainer&) = delete;
  HashContainer& operator=(const HashContainer&) = delete;
  ~HashContainer() { delete[] buckets_; }

  uint64_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  uint32_t bucket_count() const { return nbuckets_; }
  uint32_t bucket(key_const_reference key) const { return index_of(A::hash(key)); }

  iterator begin() {
    iterator it;
    it.container_ = this;
    seek(it, first_bucket_);
    first_bucket_ = it.bucket_;
    return it;
  }
  iterator end() {
    iterator it;
    it.container_ = this;
    it.bucket_ = nbuckets_;
    return it;
  }

  iterator find(key_const_reference key) {
    iterator it;
    it.container_ = this;
    it.bucket_ = bucket(key);
    it.pprev_ = &buckets_[it.bucket_];
    for (T* e = *it.pprev_; e != nullptr; it.pprev_ = &A::next(e), e = *it.pprev_) {
      if (A::equals(A::key(e), key)) {
        it.element_ = e;
        return it;
      }
    }
    it.pprev_ = &buckets_[it.bucket_];
    return it;
  }

  // Puts `element` where `it` points: inserts when `it` holds no entry,
  // replaces when it holds one, erases when `element` is null. Returns the
  // entry that was there. After an erase `it` holds the next entry.
  T* set(iterator& it, T* element, bool balance = false);
  T* erase(iterator& it) { return set(it, nullptr); }

  // Rehashes to the smallest 2^k - 1 that is at least `n`.
  void rehash(uint32_t n);

 private:
  uint32_t index_of(uint32_t hash) const {
    return hash - libdivide::libdivide_u32_do(hash, &divider_) * nbuckets_;
  }
  // Points `it` at the first entry of the first non-empty bucket from `b`
  // on, or at the end.
  void seek(iterator& it, uint32_t b) const {
    for (; b < nbuckets_; ++b) {
      if (buckets_[b] != nullptr) {
        it.element_ = buckets_[b];
        it.pprev_ = &buckets_[b];
        it.bucket_ = b;
        return;
      }
    }
    it.element_ = nullptr;
    it.pprev_ = nullptr;
    it.bucket_ = nbuckets_;
  }
  void announce_rehash() const;

  T** buckets_;
  uint32_t nbuckets_;
  uint32_t first_bucket_;  // no entry lies below it
  uint64_t size_ = 0;
  libdivide::libdivide_u32_t divider_;
};

template <typename T, typename A>
T* HashContainer<T, A>::set(iterator& it, T* element, bool balance) {
  T* old = it.element_;
  if (old == element) return old;
  if (element == nullptr) {
    --size_;
    T* next = A::next(old);
    *it.pprev_ = next;
    it.element_ = next;
    if (next == nullptr) seek(it, it.bucket_ + 1);
    return old;
  }
  if (old != nullptr) {
    A::next(element) = A::next(old);
    *it.pprev_ = element;
    it.element_ = element;
    return old;
  }
  ++size_;
  if (balance && size_ > 2 * static_cast<uint64_t>(nbuckets_) && nbuckets_ != kMaxBuckets) {
    announce_rehash();
    rehash(nbuckets_ + 1);
    it.bucket_ = bucket(A::key(element));
    it.pprev_ = &buckets_[it.bucket_];
  }
  A::next(element) = *it.pprev_;
  if (*it.pprev_ == nullptr) first_bucket_ = 0;
  *it.pprev_ = element;
  it.element_ = element;
  return nullptr;
}

template <typename T, typename A>
void HashContainer<T, A>::announce_rehash() const {
  String tag = demangled_type_name(typeid(HashContainer)) + "::set";
  log_syslog_level(6, tag.c_str(), __FILE__, __LINE__,
                   "HTBL: size %d nbuckets %d (max:%d). About to rehash to %d",
                   static_cast<int>(size_), static_cast<int>(nbuckets_), -1,
                   static_cast<int>(nbuckets_ + 1));
}

template <typename T, typename A>
void HashContainer<T, A>::rehash(uint32_t n) {
  uint32_t count = 1;
  while (count < n && count != kMaxBuckets) count = 2 * count + 1;
  if (count == nbuckets_) return;
  T** old = buckets_;
  uint32_t old_count = nbuckets_;
  buckets_ = new T*[count]();
  nbuckets_ = count;
  first_bucket_ = 0;
  divider_ = libdivide::libdivide_u32_gen(count);
  for (uint32_t b = 0; b < old_count; ++b) {
    for (T* e = old[b]; e != nullptr;) {
      T* next = A::next(e);
      T*& head = buckets_[bucket(A::key(e))];
      A::next(e) = head;
      head = e;
      e = next;
    }
  }
  delete[] old;
}

#endif  // GRAPH_HASH_CONTAINER_H_
