// A serial task queue: the tasks submitted to it run one after another on the pool,
// in submission order, except that a task someone waits for is started next.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/thread/locks.h"
#include "umbracore/thread/thread_pool.h"

namespace umbra {
namespace thread {

class task_queue_t final : public task_table_t, private task_owner_t {
 public:
  task_queue_t() = default;
  ~task_queue_t() override = default;
  task_queue_t(const task_queue_t&) = delete;
  task_queue_t& operator=(const task_queue_t&) = delete;

  // All three queue the task here; it reaches the pool by its own priority
  // (0 IO, 1-2 normal, 3 realtime) when its turn comes. Width must be 1.
  void submit_normal(task_t* task) override { submit(task); }
  void submit_io(task_t* task) override { submit(task); }
  void submit_realtime(task_t* task) override { submit(task); }
  void wait(task_t* task) override;
  void cancel(task_t* task) override;
  void cancel_and_wait(task_t* task) override;
  bool is_submitted(const task_t* task) override;

  void submit(task_t* task);
  // Tasks submitted here that have not reached the pool yet.
  u32 pending_count();

 private:
  struct entry_t {
    task_t* task = nullptr;
    task_owner_t* owner = nullptr;  // the task's own owner, notified after the queue
  };

  void on_task_completed(task_t* task) override;
  void start_locked(const entry_t& entry);
  // Index in pending_, or -1.
  s64 find_pending_locked(const task_t* task) const;

  mutex_t lock_;
  condition_t started_;  // a pending task moved to the pool
  array_dyn_t<entry_t> pending_;
  entry_t active_;
  bool busy_ = false;
};

}  // namespace thread
}  // namespace umbra
