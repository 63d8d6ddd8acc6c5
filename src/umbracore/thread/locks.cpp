#include "umbracore/thread/locks.h"

#include "umbracore/log/assert.h"

namespace umbra {

mutex_t::mutex_t() { platform::critical_section_init(&section_, false); }
mutex_t::~mutex_t() { platform::critical_section_destroy(&section_); }
void mutex_t::lock() { platform::critical_section_enter(&section_); }
void mutex_t::unlock() { platform::critical_section_leave(&section_); }

condition_t::condition_t() { platform::condition_variable_init(&condition_); }
condition_t::~condition_t() { platform::condition_variable_destroy(&condition_); }
void condition_t::wait(mutex_t& mutex) { platform::condition_variable_sleep(&condition_, &mutex.section_); }
bool condition_t::wait_for(mutex_t& mutex, u32 milliseconds) {
  return platform::condition_variable_sleep_for(&condition_, &mutex.section_, milliseconds);
}
void condition_t::notify_one() { platform::condition_variable_wake_one(&condition_); }
void condition_t::notify_all() { platform::condition_variable_wake_all(&condition_); }

semaphore_t::semaphore_t(u32 initial_count, u32 maximum_count) {
  platform::semaphore_init(&semaphore_, initial_count, maximum_count);
}
semaphore_t::~semaphore_t() { platform::semaphore_destroy(&semaphore_); }
bool semaphore_t::release(u32 count) { return platform::semaphore_release(&semaphore_, count); }
void semaphore_t::wait() { platform::semaphore_wait(&semaphore_); }

rw_lock_t::rw_lock_t() {
  platform::critical_section_init(&section_, false);
  bool created = platform::condition_variable_init(&readers_event_);
  UMBRA_ASSERT(created, "%s", "Unable to create event.");
  created = platform::condition_variable_init(&writers_event_);
  UMBRA_ASSERT(created, "%s", "Unable to create event.");
}

rw_lock_t::~rw_lock_t() {
  platform::condition_variable_destroy(&writers_event_);
  platform::condition_variable_destroy(&readers_event_);
  platform::critical_section_destroy(&section_);
}

void rw_lock_t::lock_shared() {
  platform::critical_section_enter(&section_);
  // Readers only queue behind a writer when none of them is active: a reader that holds
  // the lock can take it again without deadlocking against a waiting writer.
  while (writer_holds_ || (active_readers_ == 0 && waiting_writers_ != 0)) {
    ++waiting_readers_;
    platform::condition_variable_sleep(&readers_event_, &section_);
    --waiting_readers_;
  }
  ++active_readers_;
  platform::critical_section_leave(&section_);
}

void rw_lock_t::lock_exclusive() {
  platform::critical_section_enter(&section_);
  while (writer_holds_ || active_readers_ != 0) {
    ++waiting_writers_;
    platform::condition_variable_sleep(&writers_event_, &section_);
    --waiting_writers_;
  }
  writer_holds_ = true;
  platform::critical_section_leave(&section_);
}

void rw_lock_t::unlock_shared() { unlock_any(); }
void rw_lock_t::unlock_exclusive() { unlock_any(); }

void rw_lock_t::unlock_any() {
  platform::critical_section_enter(&section_);
  if (writer_holds_) {
    writer_holds_ = false;
  } else {
    UMBRA_ASSERT(active_readers_ != 0, "%s", "[thread] Unlocking a reader/writer lock that is not held.");
    --active_readers_;
  }
  if (active_readers_ == 0) {
    if (waiting_writers_ != 0) {
      platform::condition_variable_wake_one(&writers_event_);
    } else if (waiting_readers_ != 0) {
      platform::condition_variable_wake_all(&readers_event_);
    }
  }
  platform::critical_section_leave(&section_);
}

u32 rw_lock_t::debug_waiting_writers() {
  platform::critical_section_enter(&section_);
  u32 value = waiting_writers_;
  platform::critical_section_leave(&section_);
  return value;
}

u32 rw_lock_t::debug_waiting_readers() {
  platform::critical_section_enter(&section_);
  u32 value = waiting_readers_;
  platform::critical_section_leave(&section_);
  return value;
}

u32 rw_lock_t::debug_active_readers() {
  platform::critical_section_enter(&section_);
  u32 value = active_readers_;
  platform::critical_section_leave(&section_);
  return value;
}

}  // namespace umbra
