#include "umbracore/timer/process_clock.h"

#include "umbracore/thread/locks.h"
#include "umbracore/timer/timer_wall.h"

namespace umbra {

namespace {

struct process_clock_t {
  mutex_t lock;
  u64 microseconds = 0;
};

process_clock_t& process_clock() {
  static process_clock_t* instance = new process_clock_t();
  return *instance;
}

}  // namespace

u64 process_clock_advance() {
  process_clock_t& c = process_clock();
  mutex_guard_t guard(c.lock);
  c.microseconds += timer_elapsed_us();
  return c.microseconds;
}

u64 process_clock_now_us() {
  process_clock_t& c = process_clock();
  mutex_guard_t guard(c.lock);
  return c.microseconds;
}

void process_clock_reset() {
  process_clock_t& c = process_clock();
  mutex_guard_t guard(c.lock);
  c.microseconds = 0;
}

}  // namespace umbra
