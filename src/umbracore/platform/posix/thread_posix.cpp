// POSIX threads behind the Windows-shaped thread calls. A "suspended" thread is a pthread
// parked at a gate until thread_resume opens it, so that its priority and name are in
// place before the routine runs.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <new>

#include "umbracore/platform/thread_platform.h"

namespace umbra {
namespace platform {

namespace {

// Steps of nice standing in for THREAD_PRIORITY_HIGHEST and THREAD_PRIORITY_BELOW_NORMAL.
// Like those, they are relative: the process's own nice value plays the priority class, so
// that a tool started under `nice` keeps its below-normal workers below itself instead of
// pulling them up to an absolute value above it.
constexpr int NICE_STEP_HIGHEST = -5;
constexpr int NICE_STEP_BELOW_NORMAL = 5;
constexpr int NICE_MOST_FAVOURED = -20;
constexpr int NICE_LEAST_FAVOURED = 19;

struct posix_thread_t {
  pthread_t thread{};
  thread_routine_t routine = nullptr;
  void* argument = nullptr;
  pthread_mutex_t gate_lock = PTHREAD_MUTEX_INITIALIZER;
  pthread_cond_t gate_open = PTHREAD_COND_INITIALIZER;
  bool resumed = false;
  s32 priority = 0;
  s32 ideal_processor = -1;  // recorded only: Linux has no ideal-processor notion
};

posix_thread_t* from_handle(thread_handle_t handle) { return reinterpret_cast<posix_thread_t*>(handle); }

struct posix_semaphore_t {
  pthread_mutex_t lock;
  pthread_cond_t condition;
  u32 count;
  u32 maximum;
  u32 sleepers;
};

static_assert(sizeof(pthread_mutex_t) <= sizeof(critical_section_t::opaque), "critical section storage");
static_assert(sizeof(pthread_cond_t) <= sizeof(condition_variable_t::opaque), "condition storage");
static_assert(sizeof(posix_semaphore_t) <= sizeof(semaphore_t::opaque), "semaphore storage");

pthread_mutex_t* native(critical_section_t* section) { return reinterpret_cast<pthread_mutex_t*>(section->opaque); }
pthread_cond_t* native(condition_variable_t* condition) { return reinterpret_cast<pthread_cond_t*>(condition->opaque); }
posix_semaphore_t* native(semaphore_t* semaphore) { return reinterpret_cast<posix_semaphore_t*>(semaphore->opaque); }

// Timed waits run on the monotonic clock: a change of the calendar clock must not
// stretch or cut them.
bool init_monotonic_condition(pthread_cond_t* condition) {
  pthread_condattr_t attributes;
  if (pthread_condattr_init(&attributes) != 0) return false;
  pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
  bool ok = pthread_cond_init(condition, &attributes) == 0;
  pthread_condattr_destroy(&attributes);
  return ok;
}

timespec monotonic_deadline_after(u32 milliseconds) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  u64 nanoseconds = (u64)deadline.tv_nsec + (u64)(milliseconds % 1000) * 1000000ull;
  deadline.tv_sec += (time_t)(milliseconds / 1000 + nanoseconds / 1000000000ull);
  deadline.tv_nsec = (long)(nanoseconds % 1000000000ull);
  return deadline;
}

pid_t current_tid() { return (pid_t)syscall(SYS_gettid); }

// The main thread (its id is the process id) stands for the process.
int process_nice_value() {
  errno = 0;
  int nice_value = getpriority(PRIO_PROCESS, (id_t)getpid());
  return errno != 0 ? 0 : nice_value;
}

int nice_value_for(s32 priority, int process_nice) {
  int wanted = process_nice + (priority > 0 ? NICE_STEP_HIGHEST : NICE_STEP_BELOW_NORMAL);
  return wanted < NICE_MOST_FAVOURED ? NICE_MOST_FAVOURED : wanted > NICE_LEAST_FAVOURED ? NICE_LEAST_FAVOURED : wanted;
}

void apply_priority(s32 priority) {
  if (priority == 0) return;
  // Per-thread nice on Linux; raising needs privilege and is simply skipped without it.
  (void)setpriority(PRIO_PROCESS, (id_t)current_tid(), nice_value_for(priority, process_nice_value()));
}

void* thread_trampoline(void* raw) {
  posix_thread_t* self = static_cast<posix_thread_t*>(raw);
  pthread_mutex_lock(&self->gate_lock);
  while (!self->resumed) pthread_cond_wait(&self->gate_open, &self->gate_lock);
  s32 priority = self->priority;
  thread_routine_t routine = self->routine;
  void* argument = self->argument;
  pthread_mutex_unlock(&self->gate_lock);
  apply_priority(priority);
  routine(argument);
  return nullptr;
}

bool processor_allowed(u32 processor) {
  if (processor >= CPU_SETSIZE) return false;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) != 0) return false;
  return CPU_ISSET(processor, &set);
}

}  // namespace

bool thread_create_suspended(thread_handle_t* handle, u64 stack_size, thread_routine_t routine, void* argument) {
  *handle = 0;
  posix_thread_t* block = new (std::nothrow) posix_thread_t();
  if (!block) return false;
  block->routine = routine;
  block->argument = argument;
  pthread_attr_t attributes;
  if (pthread_attr_init(&attributes) != 0) {
    delete block;
    return false;
  }
  bool ok = pthread_attr_setstacksize(&attributes, (size_t)stack_size) == 0 &&
            pthread_create(&block->thread, &attributes, thread_trampoline, block) == 0;
  pthread_attr_destroy(&attributes);
  if (!ok) {
    delete block;
    return false;
  }
  *handle = reinterpret_cast<thread_handle_t>(block);
  return true;
}

void thread_set_name(thread_handle_t handle, const char* name) {
  char truncated[16];
  std::strncpy(truncated, name, sizeof(truncated) - 1);
  truncated[sizeof(truncated) - 1] = 0;
  pthread_setname_np(from_handle(handle)->thread, truncated);
}

void thread_set_priority(thread_handle_t handle, s32 priority) {
  posix_thread_t* block = from_handle(handle);
  pthread_mutex_lock(&block->gate_lock);
  block->priority = priority;
  pthread_mutex_unlock(&block->gate_lock);
}

bool thread_set_ideal_processor(thread_handle_t handle, u32 processor) {
  if (!processor_allowed(processor)) return false;
  posix_thread_t* block = from_handle(handle);
  pthread_mutex_lock(&block->gate_lock);
  block->ideal_processor = (s32)processor;
  pthread_mutex_unlock(&block->gate_lock);
  return true;
}

bool thread_set_current_ideal_processor(u32 processor) { return processor_allowed(processor); }

void thread_resume(thread_handle_t handle) {
  posix_thread_t* block = from_handle(handle);
  pthread_mutex_lock(&block->gate_lock);
  block->resumed = true;
  pthread_cond_signal(&block->gate_open);
  pthread_mutex_unlock(&block->gate_lock);
}

void thread_join(thread_handle_t handle) {
  posix_thread_t* block = from_handle(handle);
  pthread_join(block->thread, nullptr);
  pthread_mutex_destroy(&block->gate_lock);
  pthread_cond_destroy(&block->gate_open);
  delete block;
}

void thread_yield() { sched_yield(); }

void thread_sleep_ms(u32 milliseconds) {
  timespec duration;
  duration.tv_sec = (time_t)(milliseconds / 1000);
  duration.tv_nsec = (long)(milliseconds % 1000) * 1000000L;
  while (nanosleep(&duration, &duration) != 0 && errno == EINTR) {
  }
}

u64 thread_current_id() { return (u64)current_tid(); }

void thread_get_current_name(char* buffer, u32 size) {
  if (size == 0) return;
  buffer[0] = 0;
  if (size < 16 || pthread_getname_np(pthread_self(), buffer, size) != 0) buffer[0] = 0;
}

s32 thread_get_current_priority() {
  errno = 0;
  int nice_value = getpriority(PRIO_PROCESS, (id_t)current_tid());
  if (errno != 0) return 0;
  int process_nice = process_nice_value();
  return nice_value < process_nice ? 1 : nice_value > process_nice ? -1 : 0;
}

static_assert(sizeof(pthread_key_t) <= sizeof(thread_value_t::opaque), "thread value storage");

bool thread_value_create(thread_value_t* slot, thread_end_routine_t at_thread_end) {
  pthread_key_t key;
  if (pthread_key_create(&key, at_thread_end) != 0) return false;
  slot->opaque = (u64)key;
  return true;
}

void* thread_value_get(const thread_value_t& slot) { return pthread_getspecific((pthread_key_t)slot.opaque); }

bool thread_value_set(const thread_value_t& slot, void* value) {
  return pthread_setspecific((pthread_key_t)slot.opaque, value) == 0;
}

void critical_section_init(critical_section_t* section, bool recursive) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  if (recursive) pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
  pthread_mutex_init(native(section), &attributes);
  pthread_mutexattr_destroy(&attributes);
}

void critical_section_destroy(critical_section_t* section) { pthread_mutex_destroy(native(section)); }
void critical_section_enter(critical_section_t* section) { pthread_mutex_lock(native(section)); }
void critical_section_leave(critical_section_t* section) { pthread_mutex_unlock(native(section)); }

bool condition_variable_init(condition_variable_t* condition) { return init_monotonic_condition(native(condition)); }
void condition_variable_destroy(condition_variable_t* condition) { pthread_cond_destroy(native(condition)); }
void condition_variable_sleep(condition_variable_t* condition, critical_section_t* section) {
  pthread_cond_wait(native(condition), native(section));
}
bool condition_variable_sleep_for(condition_variable_t* condition, critical_section_t* section, u32 milliseconds) {
  timespec deadline = monotonic_deadline_after(milliseconds);
  return pthread_cond_timedwait(native(condition), native(section), &deadline) != ETIMEDOUT;
}
void condition_variable_wake_one(condition_variable_t* condition) { pthread_cond_signal(native(condition)); }
void condition_variable_wake_all(condition_variable_t* condition) { pthread_cond_broadcast(native(condition)); }

void semaphore_init(semaphore_t* semaphore, u32 initial_count, u32 maximum_count) {
  posix_semaphore_t* s = native(semaphore);
  pthread_mutex_init(&s->lock, nullptr);
  pthread_cond_init(&s->condition, nullptr);
  s->count = initial_count;
  s->maximum = maximum_count;
  s->sleepers = 0;
}

void semaphore_destroy(semaphore_t* semaphore) {
  posix_semaphore_t* s = native(semaphore);
  pthread_cond_destroy(&s->condition);
  pthread_mutex_destroy(&s->lock);
}

bool semaphore_release(semaphore_t* semaphore, u32 count) {
  posix_semaphore_t* s = native(semaphore);
  pthread_mutex_lock(&s->lock);
  bool ok = count <= s->maximum - s->count;
  if (ok) {
    s->count += count;
    // Wake no more sleepers than there are new counts: a large release must not stampede.
    u32 wake = count < s->sleepers ? count : s->sleepers;
    for (u32 i = 0; i < wake; ++i) pthread_cond_signal(&s->condition);
  }
  pthread_mutex_unlock(&s->lock);
  return ok;
}

void semaphore_wait(semaphore_t* semaphore) {
  posix_semaphore_t* s = native(semaphore);
  pthread_mutex_lock(&s->lock);
  while (s->count == 0) {
    ++s->sleepers;
    pthread_cond_wait(&s->condition, &s->lock);
    --s->sleepers;
  }
  --s->count;
  pthread_mutex_unlock(&s->lock);
}

}  // namespace platform
}  // namespace umbra
