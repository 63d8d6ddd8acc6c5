// Locks of the core runtime: an exclusive lock with a scoped guard, a condition variable
// bound to it, and the reader/writer lock that guards the unified device's mount list.
#pragma once

#include "umbracore/platform/thread_platform.h"
#include "umbracore/types.h"

namespace umbra {

// Exclusive, non-recursive lock.
class mutex_t {
 public:
  mutex_t();
  ~mutex_t();
  mutex_t(const mutex_t&) = delete;
  mutex_t& operator=(const mutex_t&) = delete;

  void lock();
  void unlock();

 private:
  friend class condition_t;
  platform::critical_section_t section_;
};

class mutex_guard_t {
 public:
  explicit mutex_guard_t(mutex_t& mutex) : mutex_(mutex) { mutex_.lock(); }
  ~mutex_guard_t() { mutex_.unlock(); }
  mutex_guard_t(const mutex_guard_t&) = delete;
  mutex_guard_t& operator=(const mutex_guard_t&) = delete;

 private:
  mutex_t& mutex_;
};

// Waits release the mutex while sleeping and hold it again on return; wake-ups may be
// spurious, so callers wait in a loop over their own condition.
class condition_t {
 public:
  condition_t();
  ~condition_t();
  condition_t(const condition_t&) = delete;
  condition_t& operator=(const condition_t&) = delete;

  void wait(mutex_t& mutex);
  // false when the time ran out first.
  bool wait_for(mutex_t& mutex, u32 milliseconds);
  void notify_one();
  void notify_all();

 private:
  platform::condition_variable_t condition_;
};

// Counting semaphore (initial count, maximum count); waits block without spinning.
class semaphore_t {
 public:
  semaphore_t(u32 initial_count, u32 maximum_count);
  ~semaphore_t();
  semaphore_t(const semaphore_t&) = delete;
  semaphore_t& operator=(const semaphore_t&) = delete;

  bool release(u32 count = 1);
  void wait();

 private:
  platform::semaphore_t semaphore_;
};

// Reader/writer lock. A writer waits until no reader is active. A reader that arrives
// while no reader is active and a writer waits, waits for that writer; a reader that
// arrives while other readers are active joins them, so a thread may take the shared
// lock again while it already holds it. The exclusive lock is not recursive.
class rw_lock_t {
 public:
  rw_lock_t();
  ~rw_lock_t();
  rw_lock_t(const rw_lock_t&) = delete;
  rw_lock_t& operator=(const rw_lock_t&) = delete;

  void lock_shared();
  void unlock_shared();
  void lock_exclusive();
  void unlock_exclusive();

  // For tests and diagnostics: counts read under the lock.
  u32 debug_waiting_writers();
  u32 debug_waiting_readers();
  u32 debug_active_readers();

 private:
  void unlock_any();

  platform::critical_section_t section_;
  platform::condition_variable_t readers_event_;
  platform::condition_variable_t writers_event_;
  u32 active_readers_ = 0;
  u32 waiting_readers_ = 0;
  u32 waiting_writers_ = 0;
  bool writer_holds_ = false;
};

class shared_lock_guard_t {
 public:
  explicit shared_lock_guard_t(rw_lock_t& lock) : lock_(lock) { lock_.lock_shared(); }
  ~shared_lock_guard_t() { lock_.unlock_shared(); }
  shared_lock_guard_t(const shared_lock_guard_t&) = delete;
  shared_lock_guard_t& operator=(const shared_lock_guard_t&) = delete;

 private:
  rw_lock_t& lock_;
};

class exclusive_lock_guard_t {
 public:
  explicit exclusive_lock_guard_t(rw_lock_t& lock) : lock_(lock) { lock_.lock_exclusive(); }
  ~exclusive_lock_guard_t() { lock_.unlock_exclusive(); }
  exclusive_lock_guard_t(const exclusive_lock_guard_t&) = delete;
  exclusive_lock_guard_t& operator=(const exclusive_lock_guard_t&) = delete;

 private:
  rw_lock_t& lock_;
};

}  // namespace umbra
