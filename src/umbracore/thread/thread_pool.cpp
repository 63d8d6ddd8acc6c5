// The worker pool: four FIFO priority queues under one task lock, three worker classes
// woken by counting semaphores, and waiters that run unstarted tasks themselves.
#include "umbracore/thread/thread_pool.h"

#include <new>

#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/thread_platform.h"
#include "umbracore/profiling/stat_counter.h"
#include "umbracore/thread/locks.h"
#include "umbracore/thread/run_context_system.h"
#include "umbracore/thread/thread.h"
#include "umbracore/thread/thread_pool_internal.h"

namespace umbra {
namespace thread {

namespace {

constexpr u32 QUEUE_COUNT = 4;
constexpr u32 CLASS_COUNT = 3;
constexpr u32 MAX_WORKERS = 128;
constexpr u32 SEMAPHORE_MAXIMUM = 0x7FFFFFFFu;

struct worker_class_t {
  const char* name_prefix;  // threads are named "<prefix>_<index in class>"
  u32 run_context_kind;
  u8 queues[2];  // scanned in this order
  u8 queue_count;
  semaphore_t semaphore{0, SEMAPHORE_MAXIMUM};
  u32 thread_count = 0;
};

struct worker_thread_t {
  worker_class_t* worker_class = nullptr;
  thread_t thread;
  run_context_t context;
};

struct pool_t {
  mutex_t task_lock;
  condition_t task_finished;
  task_t* head[QUEUE_COUNT] = {};
  task_t* tail[QUEUE_COUNT] = {};
  worker_class_t classes[CLASS_COUNT] = {
      {"Worker", RUN_CONTEXT_KIND_NORMAL, {2, 1}, 2},
      {"IO_Worker", RUN_CONTEXT_KIND_IO, {0, 0}, 1},
      {"RT_Worker", RUN_CONTEXT_KIND_REALTIME, {3, 3}, 1},
  };
  worker_thread_t* workers = nullptr;  // normal, then IO, then realtime; fixed after start-up
  u32 worker_count = 0;
  bool stopping = false;  // under task_lock
  u32 strategy = WORKER_STRATEGY_THREE_QUARTERS;
  u32 override_count = WORKER_COUNT_NO_OVERRIDE;
};

stat_counter_t g_tasks_submitted("thread.tasks.submitted");
stat_counter_t g_task_runs("thread.tasks.runs");
// Runs made by a thread that waited for the task instead of a worker.
stat_counter_t g_task_runs_by_waiters("thread.tasks.runs_by_waiters");

pool_t& pool() {
  // Never destroyed: tasks may still be unlinked by destructors during process exit.
  static pool_t* instance = new pool_t();
  return *instance;
}

void queue_append(pool_t& p, task_t* task) {
  u32 q = task->priority;
  task->queue_next = nullptr;
  task->queue_prev = p.tail[q];
  if (p.tail[q]) {
    p.tail[q]->queue_next = task;
  } else {
    p.head[q] = task;
  }
  p.tail[q] = task;
}

void queue_unlink(pool_t& p, task_t* task) {
  u32 q = task->priority;
  if (task->queue_prev) {
    task->queue_prev->queue_next = task->queue_next;
  } else {
    p.head[q] = task->queue_next;
  }
  if (task->queue_next) {
    task->queue_next->queue_prev = task->queue_prev;
  } else {
    p.tail[q] = task->queue_prev;
  }
  task->queue_prev = nullptr;
  task->queue_next = nullptr;
}

task_t* take_for_class(pool_t& p, const worker_class_t& worker_class) {
  for (u8 i = 0; i < worker_class.queue_count; ++i) {
    task_t* head = p.head[worker_class.queues[i]];
    if (head) return head;
  }
  return nullptr;
}

// Task lock held.
void claim_run_locked(pool_t& p, task_t* task) {
  if (--task->pending_runs == 0) queue_unlink(p, task);
  ++task->running;
  task->state.store(TASK_RUNNING, std::memory_order_release);
}

// Task lock held. Nothing touches the task after its state turns finished: a waiter may
// free it at once.
void finish_run_locked(pool_t& p, task_t* task) {
  if (task->pending_runs != 0) {
    // One finished run ends the task: runs that have not started are dropped.
    task->pending_runs = 0;
    queue_unlink(p, task);
  }
  if (--task->running == 0) {
    bool wake = task->waiter != 0;
    task->waiter = 0;
    task->state.store(TASK_FINISHED, std::memory_order_release);
    if (wake) p.task_finished.notify_all();
  }
}

void execute_claimed(task_t* task) {
  g_task_runs.add(1);
  run_context_t* context = run_context_acquire();
  task_t* previous = run_context_enter_task(context, task);
  task->execute();
  run_context_leave_task(context, previous);
  if (task->owner) task->owner->on_task_completed(task);
}

// Task lock held on entry and on return; released while the task executes.
void run_task_locked(pool_t& p, task_t* task) {
  claim_run_locked(p, task);
  p.task_lock.unlock();
  execute_claimed(task);
  p.task_lock.lock();
  finish_run_locked(p, task);
}

void submit_to_class(task_t* task, u32 class_index) {
  UMBRA_ASSERT(task->priority < QUEUE_COUNT, "[thread] Invalid task priority %u.", (unsigned)task->priority);
  pool_t& p = pool();
  p.task_lock.lock();
  if (task->state.load(std::memory_order_acquire) != TASK_NEW) {
    p.task_lock.unlock();
    return;  // already submitted in this cycle
  }
  task->state.store(TASK_QUEUED, std::memory_order_release);
  p.task_lock.unlock();
  pool_enqueue_claimed_submission(task, class_index);
}

void worker_main(void* argument) {
  worker_thread_t* self = static_cast<worker_thread_t*>(argument);
  worker_class_t& worker_class = *self->worker_class;
  run_context_prime(&self->context, worker_class.run_context_kind, self->thread.name.c_str());
  pool_t& p = pool();
  bool draining = false;
  bool ran = false;
  for (;;) {
    // While stopping, a worker drains its queues without waiting: the wake-ups released
    // at shutdown may already have been spent on tasks. After a run it looks for more
    // work before sleeping: a wide task releases one wake-up fewer than its runs, so a
    // worker that took one of its runs may have spent the wake-up of another task.
    if (!draining && !ran) worker_class.semaphore.wait();
    p.task_lock.lock();
    task_t* task = take_for_class(p, worker_class);
    if (!task) {
      bool stop = p.stopping;
      p.task_lock.unlock();
      if (stop) break;
      ran = false;
      continue;
    }
    run_task_locked(p, task);
    ran = true;
    draining = p.stopping;
    p.task_lock.unlock();
  }
  run_context_unprime();
}

class pool_table_t final : public task_table_t {
 public:
  void submit_normal(task_t* task) override { submit_to_class(task, WORKER_CLASS_NORMAL); }
  void submit_io(task_t* task) override { submit_to_class(task, WORKER_CLASS_IO); }
  void submit_realtime(task_t* task) override { submit_to_class(task, WORKER_CLASS_REALTIME); }
  void wait(task_t* task) override { thread::wait(task); }
  void cancel(task_t* task) override { thread::cancel(task); }
  void cancel_and_wait(task_t* task) override { thread::cancel_and_wait(task); }
  bool is_submitted(const task_t* task) override { return thread::is_submitted(task); }
};

}  // namespace

task_t::task_t(u8 priority_index, u8 task_width, const char* task_name)
    : priority(priority_index), width(task_width == 0 ? 1 : task_width), name(task_name) {}

task_t::~task_t() {
  pool_t& p = pool();
  mutex_guard_t guard(p.task_lock);
  // A queued task that is dropped unrun must not stay linked into the pool's queue.
  if (pending_runs != 0) {
    pending_runs = 0;
    queue_unlink(p, this);
  }
  UMBRA_ASSERT(running == 0, "[thread] Task '%s' destroyed while it runs.", name);
}

void task_t::reset() {
  pool_t& p = pool();
  mutex_guard_t guard(p.task_lock);
  u32 current = state.load(std::memory_order_acquire);
  UMBRA_ASSERT(current == TASK_NEW || current >= TASK_FINISHED, "[thread] Task '%s' reset while submitted.", name);
  UMBRA_ASSERT(running == 0 && pending_runs == 0, "[thread] Task '%s' reset while submitted.", name);
  waiter = 0;
  cancelled.store(0, std::memory_order_release);
  state.store(TASK_NEW, std::memory_order_release);
}

u32 worker_class_for_priority(u8 priority) {
  if (priority == 0) return WORKER_CLASS_IO;
  if (priority == 3) return WORKER_CLASS_REALTIME;
  return WORKER_CLASS_NORMAL;
}

void pool_enqueue_claimed_submission(task_t* task, u32 worker_class) {
  UMBRA_ASSERT(task->priority < QUEUE_COUNT, "[thread] Invalid task priority %u.", (unsigned)task->priority);
  pool_t& p = pool();
  p.task_lock.lock();
  g_tasks_submitted.add(1);
  task->pending_runs = task->width == 0 ? 1 : task->width;
  task->running = 0;
  task->waiter = 0;
  queue_append(p, task);
  u32 wake = task->pending_runs > 1 ? task->pending_runs - 1u : 1u;
  p.task_lock.unlock();
  p.classes[worker_class].semaphore.release(wake);
}

bool pool_claim_pending_run(task_t* task) {
  pool_t& p = pool();
  mutex_guard_t guard(p.task_lock);
  if (task->pending_runs == 0) return false;
  claim_run_locked(p, task);
  return true;
}

void pool_run_claimed(task_t* task) {
  pool_t& p = pool();
  g_task_runs_by_waiters.add(1);
  execute_claimed(task);
  mutex_guard_t guard(p.task_lock);
  finish_run_locked(p, task);
}

void submit_normal(task_t* task) { submit_to_class(task, WORKER_CLASS_NORMAL); }
void submit_io(task_t* task) { submit_to_class(task, WORKER_CLASS_IO); }
void submit_realtime(task_t* task) { submit_to_class(task, WORKER_CLASS_REALTIME); }

void wait(task_t* task) {
  if (task->state.load(std::memory_order_acquire) >= TASK_FINISHED) {
    task->state.store(TASK_COLLECTED, std::memory_order_release);
    return;
  }
  pool_t& p = pool();
  p.task_lock.lock();
  // Work queued for a class without threads still completes: the waiter runs it.
  if (task->pending_runs != 0) {
    g_task_runs_by_waiters.add(1);
    run_task_locked(p, task);
  }
  while (task->running != 0) {
    task->waiter = 1;
    p.task_finished.wait(p.task_lock);
  }
  task->state.store(TASK_COLLECTED, std::memory_order_release);
  p.task_lock.unlock();
}

void cancel(task_t* task) { task->cancelled.store(1, std::memory_order_release); }

void cancel_and_wait(task_t* task) {
  cancel(task);
  wait(task);
}

bool is_submitted(const task_t* task) { return task->state.load(std::memory_order_acquire) >= TASK_QUEUED; }

task_table_t& pool_task_table() {
  static pool_table_t table;
  return table;
}

}  // namespace thread

using thread::pool;

void thread_pool_set_worker_strategy(u32 strategy) { pool().strategy = strategy; }
void thread_pool_set_worker_count_override(u32 count) { pool().override_count = count; }

u32 thread_pool_compute_worker_count(u32 strategy, u32 override_count, u32 cores) {
  u32 count = 0;
  if (override_count != WORKER_COUNT_NO_OVERRIDE) {
    count = override_count;
  } else {
    switch (strategy) {
      case WORKER_STRATEGY_ONE:
        count = 1;
        break;
      case WORKER_STRATEGY_AT_MOST_TWO:
        count = (cores + 1) / 2 < 2 ? (cores + 1) / 2 : 2;
        break;
      case WORKER_STRATEGY_THREE_QUARTERS:
        count = (u64)cores * 3 < 4 ? 1 : (u32)((u64)cores * 3 / 4);
        break;
      case WORKER_STRATEGY_EVERY_CORE:
        count = cores;
        break;
      default:
        UMBRA_FAIL("%s", "Unknown worker strategy selected.");
    }
  }
  return count < thread::MAX_WORKERS ? count : thread::MAX_WORKERS;
}

s32 thread_pool_worker_processor(const array_t<cpu_t>& cpus, u32 cores, u32 worker_index) {
  if (cpus.empty()) return -1;
  if (worker_index < cores) {
    u32 wanted_core = cores - worker_index - 1;
    for (u64 i = 0; i < cpus.count(); ++i) {
      if (cpus[i].core == wanted_core && !cpus[i].is_secondary()) return (s32)i;
    }
  }
  return 0;
}

void prepare_worker_for_all_class() {
  thread::pool_t& p = pool();
  if (p.workers) return;
  const array_t<cpu_t>& cpus = cpu_list();
  u32 cores = cpus.empty() ? 1 : cpu_count_physical_cores(cpus);
  bool overridden = p.override_count != WORKER_COUNT_NO_OVERRIDE;
  u32 strategy = overridden ? WORKER_STRATEGY_OVERRIDE : p.strategy;
  u32 normal = thread_pool_compute_worker_count(p.strategy, p.override_count, cores);
  u32 counts[thread::CLASS_COUNT] = {normal, 0, 0};
  u32 total = normal;

  p.stopping = false;
  p.worker_count = total;
  if (total != 0) {
    p.workers = new thread::worker_thread_t[total];
  }
  u32 next = 0;
  for (u32 c = 0; c < thread::CLASS_COUNT; ++c) {
    thread::worker_class_t& worker_class = p.classes[c];
    worker_class.thread_count = counts[c];
    for (u32 i = 0; i < counts[c]; ++i) {
      thread::worker_thread_t& worker = p.workers[next++];
      worker.worker_class = &worker_class;
      worker.thread.name.format("%s_%u", worker_class.name_prefix, i);
      if (c == thread::WORKER_CLASS_NORMAL && strategy != WORKER_STRATEGY_OVERRIDE) {
        s32 cpu_index = thread_pool_worker_processor(cpus, cores, i);
        if (cpu_index >= 0) worker.thread.processor = (s32)cpus[(u64)cpu_index].processor_number;
      }
    }
  }
  // Every record is complete before the first thread can read the array.
  for (u32 i = 0; i < total; ++i) p.workers[i].thread.start(thread::worker_main, &p.workers[i]);
  if (!cpus.empty()) (void)platform::thread_set_current_ideal_processor(cpus[0].processor_number);
}

void thread_pool_startup() { prepare_worker_for_all_class(); }

void thread_pool_shutdown() {
  thread::pool_t& p = pool();
  if (!p.workers && p.worker_count == 0) return;
  p.task_lock.lock();
  p.stopping = true;
  p.task_lock.unlock();
  for (thread::worker_class_t& worker_class : p.classes) {
    if (worker_class.thread_count != 0) worker_class.semaphore.release(worker_class.thread_count);
  }
  for (u32 i = 0; i < p.worker_count; ++i) p.workers[i].thread.join();
  delete[] p.workers;
  p.workers = nullptr;
  p.worker_count = 0;
  for (thread::worker_class_t& worker_class : p.classes) worker_class.thread_count = 0;
  p.task_lock.lock();
  p.stopping = false;
  p.task_lock.unlock();
}

u32 thread_pool_worker_count() { return pool().worker_count; }

const char* thread_pool_worker_name(u32 index) {
  thread::pool_t& p = pool();
  if (index >= p.worker_count || !p.workers) return "";
  return p.workers[index].thread.name.c_str();
}

}  // namespace umbra
