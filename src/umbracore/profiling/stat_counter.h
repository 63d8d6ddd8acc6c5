// Named statistics counters: static objects that link themselves into one process-wide
// list while the program starts, are updated with relaxed atomic additions from any
// thread, and are reported by the profiler as counter events.
#pragma once

#include <atomic>

#include "umbracore/types.h"

namespace umbra {

class stat_counter_t {
 public:
  // Only for objects of static storage duration: the list is not locked, it is built
  // while the program starts and only read afterwards.
  stat_counter_t(const char* name);  // implicit: arrays of counters are brace-initialised
  ~stat_counter_t();
  stat_counter_t(const stat_counter_t&) = delete;
  stat_counter_t& operator=(const stat_counter_t&) = delete;

  void add(u64 amount) { value_.fetch_add(amount, std::memory_order_relaxed); }
  void sub(u64 amount) { value_.fetch_sub(amount, std::memory_order_relaxed); }
  u64 load() const { return value_.load(std::memory_order_relaxed); }
  const char* name() const { return name_; }
  stat_counter_t* next() const { return next_; }

  // The value last written into the trace; touched by the profiler only, under its lock.
  u64 reported = 0;
  bool ever_reported = false;

 private:
  const char* name_;
  // 64 bits: byte counts of a few gigabytes would wrap a 32-bit value.
  std::atomic<u64> value_{0};
  stat_counter_t* next_ = nullptr;
};

// The first counter of the list (in registration order), null when there is none.
stat_counter_t* stat_counter_first();
u32 stat_counter_count();
// The counter at position index of the list, null past the end.
stat_counter_t* stat_counter_at(u32 index);
stat_counter_t* stat_counter_find(const char* name);

}  // namespace umbra
