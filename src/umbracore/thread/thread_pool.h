// The worker pool and its tasks: four priority queues served by fixed worker classes;
// a thread that waits for a task that has not started runs it itself.
#pragma once

#include <atomic>

#include "umbracore/types.h"

namespace umbra {
namespace thread {

enum task_state_t : u32 {
  TASK_NEW = 0,
  TASK_QUEUED = 1,
  TASK_RUNNING = 2,
  TASK_FINISHED = 3,
  TASK_COLLECTED = 4,
};

class task_owner_t;

class task_t {
 public:
  // priority: queue index 0-3 (0 IO, 1-2 normal, 3 realtime); width: threads that may run it.
  explicit task_t(u8 priority = 1, u8 width = 1, const char* name = "task_t");
  virtual ~task_t();
  virtual void execute() = 0;

  task_t(const task_t&) = delete;
  task_t& operator=(const task_t&) = delete;

  // Makes a finished task submittable again (state new, not cancelled); the task must
  // not be queued or running.
  void reset();

  bool is_cancelled() const { return cancelled.load(std::memory_order_acquire) != 0; }
  u32 get_state() const { return state.load(std::memory_order_acquire); }
  const char* get_name() const { return name; }

  // Pool bookkeeping (guarded by the pool's task lock unless atomic).
  task_t* queue_prev = nullptr;
  task_t* queue_next = nullptr;
  task_owner_t* owner = nullptr;
  std::atomic<u32> state{TASK_NEW};
  std::atomic<u8> cancelled{0};
  u8 waiter = 0;
  u8 priority;
  u8 width;
  u8 pending_runs = 0;
  u8 running = 0;
  const char* name;
};

// Notified after every execution of a task it owns.
class task_owner_t {
 public:
  virtual ~task_owner_t() = default;
  virtual void on_task_completed(task_t* task) = 0;
};

void submit_normal(task_t* task);
void submit_io(task_t* task);
void submit_realtime(task_t* task);
void wait(task_t* task);
void cancel(task_t* task);
void cancel_and_wait(task_t* task);
bool is_submitted(const task_t* task);

// The task operations as one table: the pool's and the serial task queue's.
class task_table_t {
 public:
  virtual ~task_table_t() = default;
  virtual void submit_normal(task_t* task) = 0;
  virtual void submit_io(task_t* task) = 0;
  virtual void submit_realtime(task_t* task) = 0;
  virtual void wait(task_t* task) = 0;
  virtual void cancel(task_t* task) = 0;
  virtual void cancel_and_wait(task_t* task) = 0;
  virtual bool is_submitted(const task_t* task) = 0;
};

// The pool's table (the functions above).
task_table_t& pool_task_table();

}  // namespace thread

// How many normal workers the pool starts over the physical cores; chosen by main before
// start-up.
enum thread_pool_worker_strategy_t : u32 {
  WORKER_STRATEGY_ONE = 0,             // a single worker
  WORKER_STRATEGY_AT_MOST_TWO = 1,     // half the cores, at most two
  WORKER_STRATEGY_THREE_QUARTERS = 2,  // three quarters of the cores (the default)
  WORKER_STRATEGY_EVERY_CORE = 3,      // one per core (the tool's choice)
  WORKER_STRATEGY_OVERRIDE = 4,        // what an override count makes of any strategy
};
// The override count that leaves the strategy in charge.
constexpr u32 WORKER_COUNT_NO_OVERRIDE = 0xFFFFFFFFu;

void thread_pool_set_worker_strategy(u32 strategy);
void thread_pool_set_worker_count_override(u32 count);
// Worker count for a strategy/override over the given number of physical cores.
u32 thread_pool_compute_worker_count(u32 strategy, u32 override_count, u32 cores);
// Creates the workers (start-up) and stops and joins them (shutdown).
void thread_pool_startup();
void thread_pool_shutdown();
u32 thread_pool_worker_count();
// Applies the strategy to the processor table and starts the workers (thread_pool_startup).
void prepare_worker_for_all_class();
// Name of worker i of the pool ("Worker_%u", ...), empty when there is none.
const char* thread_pool_worker_name(u32 index);

}  // namespace umbra
