// Typed arrays: an abstract base owning data/count/capacity, a heap-backed growable
// array and a fixed-capacity array with inline storage. Out-of-range access stops the
// process; growth failure is reported to the caller.
#pragma once

#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "umbracore/log/assert.h"
#include "umbracore/types.h"

namespace umbra {

#define UMBRA_ARRAY_INDEX_MESSAGE "Index outside array boundaries"
#define UMBRA_ARRAY_ITERATOR_MESSAGE "Iterator outside array boundaries"

template <class T>
class array_t {
 public:
  using value_type = T;

  virtual ~array_t() = default;
  virtual void release_storage() {
    destroy_range(0, count_);
    count_ = 0;
  }
  virtual void compact() {}
  virtual bool request_capacity(u64 n) = 0;

  array_t(const array_t&) = delete;
  array_t& operator=(const array_t&) = delete;

  u64 count() const { return count_; }
  u64 capacity() const { return capacity_; }
  bool empty() const { return count_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T* begin() { return data_; }
  T* end() { return data_ + count_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + count_; }

  T& operator[](u64 index) {
    check_index(index);
    return data_[index];
  }
  const T& operator[](u64 index) const {
    check_index(index);
    return data_[index];
  }
  T* element_at(u64 index) {
    check_index(index);
    return data_ + index;
  }
  const T* element_at(u64 index) const {
    check_index(index);
    return data_ + index;
  }
  T* element_at_or_end(u64 index) {
    UMBRA_ASSERT(index <= count_, "%s: %llu > %llu", UMBRA_ARRAY_INDEX_MESSAGE, (unsigned long long)index,
                 (unsigned long long)count_);
    return data_ + index;
  }
  const T* element_at_or_end(u64 index) const {
    UMBRA_ASSERT(index <= count_, "%s: %llu > %llu", UMBRA_ARRAY_INDEX_MESSAGE, (unsigned long long)index,
                 (unsigned long long)count_);
    return data_ + index;
  }
  T& last() { return (*this)[count_ - 1]; }
  const T& last() const { return (*this)[count_ - 1]; }

  u64 index_of(const T* element) const {
    UMBRA_ASSERT(element >= data_ && element < data_ + count_, "%s: 0x%p <> [0x%p, 0x%p)",
                 UMBRA_ARRAY_ITERATOR_MESSAGE, (const void*)element, (const void*)data_,
                 (const void*)(data_ + count_));
    return (u64)(element - data_);
  }

  void copy_in(u64 index, const T& value) {
    check_index(index);
    data_[index] = value;
  }
  void move_in(u64 index, T&& value) {
    check_index(index);
    data_[index] = std::move(value);
  }

  // Removes the element and keeps the order of the rest.
  void remove(u64 index) {
    check_index(index);
    for (u64 i = index; i + 1 < count_; ++i) data_[i] = std::move(data_[i + 1]);
    destroy_range(count_ - 1, count_);
    --count_;
  }
  // Moves the last element into the hole; order is not kept.
  void remove_fast(u64 index) {
    check_index(index);
    if (index != count_ - 1) data_[index] = std::move(data_[count_ - 1]);
    destroy_range(count_ - 1, count_);
    --count_;
  }

  T* append(const T& value) {
    if (!request_capacity(count_ + 1)) return nullptr;
    T* slot = data_ + count_;
    new (slot) T(value);
    ++count_;
    return slot;
  }
  T* append(T&& value) {
    if (!request_capacity(count_ + 1)) return nullptr;
    T* slot = data_ + count_;
    new (slot) T(std::move(value));
    ++count_;
    return slot;
  }
  template <class... Args>
  T* emplace(Args&&... args) {
    if (!request_capacity(count_ + 1)) return nullptr;
    T* slot = data_ + count_;
    new (slot) T(std::forward<Args>(args)...);
    ++count_;
    return slot;
  }

  // Appends n elements copied from block; nothing is appended when growth fails.
  bool append_block(const T* block, u64 n) {
    if (n == 0) return true;
    if (count_ + n < count_ || !request_capacity(count_ + n)) return false;
    for (u64 i = 0; i < n; ++i) new (data_ + count_ + i) T(block[i]);
    count_ += n;
    return true;
  }

  bool resize(u64 n) {
    if (n <= count_) {
      destroy_range(n, count_);
      count_ = n;
      return true;
    }
    if (n > capacity_ && !request_capacity(n)) return false;
    for (u64 i = count_; i < n; ++i) new (data_ + i) T();
    count_ = n;
    return true;
  }
  bool resize(u64 n, const T& fill) {
    if (n <= count_) return resize(n);
    if (n > capacity_ && !request_capacity(n)) return false;
    for (u64 i = count_; i < n; ++i) new (data_ + i) T(fill);
    count_ = n;
    return true;
  }
  // Grows without value-initialising new trivially constructible elements.
  bool resize_uninitialized(u64 n) {
    static_assert(std::is_trivially_default_constructible<T>::value, "plain elements only");
    if (n <= count_) return resize(n);
    if (n > capacity_ && !request_capacity(n)) return false;
    count_ = n;
    return true;
  }
  void clear() { resize(0); }

 protected:
  array_t() = default;

  void check_index(u64 index) const {
    UMBRA_ASSERT(index < count_, "%s: %llu >= %llu", UMBRA_ARRAY_INDEX_MESSAGE, (unsigned long long)index,
                 (unsigned long long)count_);
  }
  void destroy_range(u64 from, u64 to) {
    if (!std::is_trivially_destructible<T>::value) {
      for (u64 i = from; i < to; ++i) data_[i].~T();
    }
  }

  T* data_ = nullptr;
  u64 count_ = 0;
  u64 capacity_ = 0;
};

// Heap array with doubling growth; allocation failure is reported, never thrown.
template <class T>
class array_dyn_t final : public array_t<T> {
  using base = array_t<T>;

 public:
  array_dyn_t() = default;
  array_dyn_t(array_dyn_t&& other) noexcept { take(other); }
  array_dyn_t& operator=(array_dyn_t&& other) noexcept {
    if (this != &other) {
      release_storage();
      take(other);
    }
    return *this;
  }
  ~array_dyn_t() override { release_storage(); }

  void release_storage() override {
    base::destroy_range(0, base::count_);
    std::free(base::data_);
    base::data_ = nullptr;
    base::count_ = 0;
    base::capacity_ = 0;
  }

  void compact() override {
    if (base::capacity_ == base::count_) return;
    if (base::count_ == 0) {
      std::free(base::data_);
      base::data_ = nullptr;
      base::capacity_ = 0;
      return;
    }
    T* block = static_cast<T*>(std::malloc(base::count_ * sizeof(T)));
    if (!block) return;
    move_elements(block);
    base::capacity_ = base::count_;
  }

  bool request_capacity(u64 n) override {
    if (n <= base::capacity_) return true;
    u64 new_capacity = base::capacity_ == 0 ? n : base::capacity_;
    while (new_capacity < n) {
      if (new_capacity > (~0ull >> 1)) return false;
      new_capacity *= 2;
    }
    if (new_capacity > (~0ull) / sizeof(T)) return false;
    T* block = static_cast<T*>(std::malloc(new_capacity * sizeof(T)));
    if (!block) return false;
    move_elements(block);
    base::capacity_ = new_capacity;
    return true;
  }

 private:
  void move_elements(T* block) {
    if (std::is_trivially_copyable<T>::value) {
      if (base::count_) std::memcpy(static_cast<void*>(block), static_cast<const void*>(base::data_), base::count_ * sizeof(T));
    } else {
      for (u64 i = 0; i < base::count_; ++i) {
        new (block + i) T(std::move(base::data_[i]));
        base::data_[i].~T();
      }
    }
    std::free(base::data_);
    base::data_ = block;
  }
  void take(array_dyn_t& other) {
    base::data_ = other.data_;
    base::count_ = other.count_;
    base::capacity_ = other.capacity_;
    other.data_ = nullptr;
    other.count_ = 0;
    other.capacity_ = 0;
  }
};

// Fixed-capacity array; its N slots live inside the object.
template <class T, u64 N>
class array_local_t final : public array_t<T> {
  using base = array_t<T>;

 public:
  array_local_t() {
    base::data_ = reinterpret_cast<T*>(storage_);
    base::capacity_ = N;
  }
  ~array_local_t() override { base::destroy_range(0, base::count_); }
  bool request_capacity(u64 n) override { return n <= N; }

 private:
  alignas(T) unsigned char storage_[N * sizeof(T)];
};

// Single-owner pointer; destroys its object through the virtual destructor.
template <class T>
class auto_ptr_t {
 public:
  auto_ptr_t() = default;
  explicit auto_ptr_t(T* p) : p_(p) {}
  auto_ptr_t(auto_ptr_t&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  template <class U, class = typename std::enable_if<std::is_convertible<U*, T*>::value>::type>
  auto_ptr_t(auto_ptr_t<U>&& other) noexcept : p_(other.detach()) {}
  auto_ptr_t& operator=(auto_ptr_t&& other) noexcept {
    if (this != &other) reset(other.detach());
    return *this;
  }
  auto_ptr_t(const auto_ptr_t&) = delete;
  auto_ptr_t& operator=(const auto_ptr_t&) = delete;
  ~auto_ptr_t() { reset(); }

  void reset(T* p = nullptr) {
    T* old = p_;
    p_ = p;
    delete old;
  }
  T* detach() {
    T* p = p_;
    p_ = nullptr;
    return p;
  }
  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  T* p_ = nullptr;
};

}  // namespace umbra
