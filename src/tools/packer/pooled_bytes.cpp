#include "tools/packer/pooled_bytes.h"

#include <cstdlib>
#include <cstring>

#include "umbracore/platform/memory_platform.h"
#include "umbracore/thread/locks.h"

namespace umbra {

namespace {

struct run_t {
  u8* data;
  u64 capacity;
};

// Released runs, handed out again smallest fitting first; a new run only when none fits.
class run_pool_t {
 public:
  ~run_pool_t() { trim(); }

  void trim() {
    mutex_guard_t guard(lock_);
    for (const run_t& run : free_) platform::free_page_run(run.data, run.capacity);
    free_.release_storage();
    retained_ = 0;
  }

  // A run of at least size bytes and at most limit.
  run_t take(u64 size, u64 limit) {
    const u64 length = platform::page_run_length(size);
    {
      mutex_guard_t guard(lock_);
      u64 best = free_.count();
      for (u64 i = 0; i < free_.count(); ++i) {
        const u64 capacity = free_[i].capacity;
        if (capacity >= size && capacity <= limit && (best == free_.count() || capacity < free_[best].capacity))
          best = i;
      }
      if (best != free_.count()) {
        const run_t run = free_[best];
        free_[best] = free_.last();
        free_.resize(free_.count() - 1);
        retained_ -= run.capacity;
        return run;
      }
    }
    return {static_cast<u8*>(platform::allocate_page_run(size)), length};
  }

  void give(const run_t& run) {
    {
      mutex_guard_t guard(lock_);
      if (retained_ + run.capacity <= POOLED_BYTES_RETAINED && free_.append(run)) {
        retained_ += run.capacity;
        return;
      }
    }
    platform::free_page_run(run.data, run.capacity);
  }

  u64 retained() {
    mutex_guard_t guard(lock_);
    return retained_;
  }

 private:
  mutex_t lock_;
  array_dyn_t<run_t> free_;
  u64 retained_ = 0;
};

run_pool_t& run_pool() {
  static run_pool_t pool;
  return pool;
}

}  // namespace

pooled_bytes_t& pooled_bytes_t::operator=(pooled_bytes_t&& other) noexcept {
  if (this != &other) {
    release_storage();
    take(other);
  }
  return *this;
}

bool pooled_bytes_t::request_capacity(u64 n) {
  if (n <= capacity_) return true;
  // Doubling keeps appends linear; runs come in whole granules anyway.
  u64 capacity = n;
  if (capacity_ != 0 && capacity_ <= (~0ull >> 1) && capacity_ * 2 > n) capacity = capacity_ * 2;
  return replace_storage(capacity, ~0ull);
}

void pooled_bytes_t::compact() {
  if (!pooled_ || count_ > capacity_ / 2) return;
  // Only a run that frees at least half of this one is worth the copy.
  replace_storage(count_, capacity_ / 2);
}

void pooled_bytes_t::release_storage() {
  if (pooled_) {
    run_pool().give({data_, capacity_});
  } else {
    std::free(data_);
  }
  data_ = nullptr;
  count_ = 0;
  capacity_ = 0;
  pooled_ = false;
}

bool pooled_bytes_t::replace_storage(u64 capacity, u64 limit) {
  run_t run{nullptr, capacity};
  const bool pooled = capacity >= POOLED_BYTES_MIN_SIZE;
  if (pooled) {
    run = run_pool().take(capacity, limit);
  } else if (capacity != 0) {
    run.data = static_cast<u8*>(std::malloc(capacity));
  }
  if (!run.data && capacity != 0) return false;
  if (count_) std::memcpy(run.data, data_, count_);
  const u64 count = count_;
  release_storage();
  data_ = run.data;
  count_ = count;
  capacity_ = run.capacity;
  pooled_ = pooled;
  return true;
}

void pooled_bytes_t::take(pooled_bytes_t& other) {
  data_ = other.data_;
  count_ = other.count_;
  capacity_ = other.capacity_;
  pooled_ = other.pooled_;
  other.data_ = nullptr;
  other.count_ = 0;
  other.capacity_ = 0;
  other.pooled_ = false;
}

u64 pooled_bytes_retained() { return run_pool().retained(); }

void pooled_bytes_trim() { run_pool().trim(); }

}  // namespace umbra
