// Vector: the framework's growable array.
//
// A pointer and two ints (so an empty Vector in a record allocates nothing).
// Growth doubles from 4 slots; `reserve` allocates exactly what it is asked.
// Pushes, inserts and resizes accept a value that lives inside the Vector
// itself: it is copied aside before the array can move. Trivially copyable
// element types move with memcpy/memmove. Pointers into a Vector stay valid
// until its next growth. Not thread-safe; allocation failure throws.
#ifndef GRAPH_VECTOR_H_
#define GRAPH_VECTOR_H_

#include <cstring>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

template <typename T>
class Vector {
 public:
  using value_type = T;
  using iterator = T*;
  using const_iterator = const T*;

  Vector() = default;
  Vector(const Vector& other) { *this = other; }
  Vector(Vector&& other) noexcept
      : array_(std::exchange(other.array_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)) {}
  ~Vector() {
    destroy(array_, array_ + size_);
    release(array_, capacity_);
  }

  Vector& operator=(const Vector& other);
  Vector& operator=(Vector&& other) noexcept {
    if (&other == this) return *this;
    destroy(array_, array_ + size_);
    release(array_, capacity_);
    array_ = std::exchange(other.array_, nullptr);
    size_ = std::exchange(other.size_, 0);
    capacity_ = std::exchange(other.capacity_, 0);
    return *this;
  }

  int size() const { return size_; }
  int capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  T* data() { return array_; }
  const T* data() const { return array_; }
  T& operator[](int i) { return array_[i]; }
  const T& operator[](int i) const { return array_[i]; }
  T& front() { return array_[0]; }
  const T& front() const { return array_[0]; }
  T& back() { return array_[size_ - 1]; }
  const T& back() const { return array_[size_ - 1]; }
  iterator begin() { return array_; }
  iterator end() { return array_ + size_; }
  const_iterator begin() const { return array_; }
  const_iterator end() const { return array_ + size_; }

  void push_back(const T& value) {
    if (size_ < capacity_) {
      new (array_ + size_) T(value);
      ++size_;
      return;
    }
    reserve_and_push(-1, &value);
  }
  void pop_back() {
    --size_;
    array_[size_].~T();
  }
  // Destroys the elements; keeps the array.
  void clear() {
    destroy(array_, array_ + size_);
    size_ = 0;
  }

  // Grows to `want` slots (one doubling step for a negative want), then
  // appends *value when given. Always true.
  bool reserve_and_push(int want, const T* value);
  bool reserve(int want) { return reserve_and_push(want, nullptr); }

  // Puts a copy of `value` before `position`; returns the new element's place.
  iterator insert(iterator position, const T& value);

  // Destroys the elements past n, or appends copies of `fill` up to n; grows
  // the capacity to exactly n when it is smaller.
  void resize(int n, const T& fill = T());

 private:
  static constexpr bool kPlain = std::is_trivially_copyable_v<T>;

  bool holds(const T* p) const { return p >= array_ && p < array_ + size_; }
  static void destroy(T* first, T* last) {
    if constexpr (!std::is_trivially_destructible_v<T>) {
      for (; first != last; ++first) first->~T();
    }
  }
  static void release(T* array, int capacity) {
    if (array != nullptr) std::allocator<T>().deallocate(array, static_cast<size_t>(capacity));
  }
  void reallocate(int capacity);

  T* array_ = nullptr;
  int size_ = 0;
  int capacity_ = 0;
};

template <typename T>
Vector<T>& Vector<T>::operator=(const Vector& other) {
  if (&other == this) return *this;
  clear();
  reserve(other.size_);
  for (int i = 0; i < other.size_; ++i) new (array_ + i) T(other.array_[i]);
  size_ = other.size_;
  return *this;
}

template <typename T>
void Vector<T>::reallocate(int capacity) {
  T* array = std::allocator<T>().allocate(static_cast<size_t>(capacity));
  if constexpr (kPlain) {
    if (size_ > 0)
      std::memcpy(static_cast<void*>(array), array_, sizeof(T) * static_cast<size_t>(size_));
  } else {
    for (int i = 0; i < size_; ++i) {
      new (array + i) T(std::move(array_[i]));
      array_[i].~T();
    }
  }
  release(array_, capacity_);
  array_ = array;
  capacity_ = capacity;
}

template <typename T>
bool Vector<T>::reserve_and_push(int want, const T* value) {
  if (value != nullptr && holds(value)) {
    T copy(*value);
    return reserve_and_push(want, &copy);
  }
  if (want < 0) want = capacity_ > 0 ? 2 * capacity_ : 4;
  if (capacity_ < want) reallocate(want);
  if (value != nullptr) {
    if (size_ == capacity_) reserve_and_push(-1, nullptr);
    new (array_ + size_) T(*value);
    ++size_;
  }
  return true;
}

template <typename T>
typename Vector<T>::iterator Vector<T>::insert(iterator position, const T& value) {
  int index = static_cast<int>(position - array_);
  if (holds(&value)) {
    T copy(value);
    return insert(array_ + index, copy);
  }
  if (size_ == capacity_) reserve_and_push(-1, nullptr);
  T* at = array_ + index;
  if constexpr (kPlain) {
    std::memmove(static_cast<void*>(at + 1), at, sizeof(T) * static_cast<size_t>(size_ - index));
  } else {
    for (T* p = array_ + size_; p != at; --p) {
      new (p) T(std::move(p[-1]));
      p[-1].~T();
    }
  }
  new (at) T(value);
  ++size_;
  return at;
}

template <typename T>
void Vector<T>::resize(int n, const T& fill) {
  if (holds(&fill)) {
    T copy(fill);
    resize(n, copy);
    return;
  }
  if (n < 0) n = 0;
  if (capacity_ < n) reallocate(n);
  if (n < size_) {
    destroy(array_ + n, array_ + size_);
  } else {
    for (int i = size_; i < n; ++i) new (array_ + i) T(fill);
  }
  size_ = n;
}

#endif  // GRAPH_VECTOR_H_
