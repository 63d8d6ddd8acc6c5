#include "umbracore/thread/task_queue.h"

#include "umbracore/log/assert.h"
#include "umbracore/thread/thread_pool_internal.h"

namespace umbra {
namespace thread {

void task_queue_t::submit(task_t* task) {
  // Runs of a wider task would overlap the next task of the queue.
  UMBRA_ASSERT(task->width == 1, "[thread] Serial task queue runs tasks of width 1 only ('%s').", task->name);
  mutex_guard_t guard(lock_);
  if (task->state.load(std::memory_order_acquire) != TASK_NEW) return;  // already submitted in this cycle
  task->state.store(TASK_QUEUED, std::memory_order_release);
  entry_t entry;
  entry.task = task;
  entry.owner = task->owner;
  task->owner = this;
  if (!busy_) {
    busy_ = true;
    start_locked(entry);
    return;
  }
  entry_t* queued = pending_.append(entry);
  UMBRA_ASSERT(queued != nullptr, "[thread] Serial task queue could not hold task '%s'.", task->name);
}

void task_queue_t::start_locked(const entry_t& entry) {
  active_ = entry;
  pool_enqueue_claimed_submission(entry.task, worker_class_for_priority(entry.task->priority));
  started_.notify_all();
}

s64 task_queue_t::find_pending_locked(const task_t* task) const {
  for (u64 i = 0; i < pending_.count(); ++i) {
    if (pending_[i].task == task) return (s64)i;
  }
  return -1;
}

void task_queue_t::on_task_completed(task_t* task) {
  task_owner_t* owner = nullptr;
  {
    mutex_guard_t guard(lock_);
    UMBRA_ASSERT(active_.task == task, "[thread] Serial task queue completed task '%s' out of turn.", task->name);
    owner = active_.owner;
    task->owner = owner;
    active_ = entry_t();
    if (pending_.empty()) {
      busy_ = false;
    } else {
      // First come, first started; a waiter moves its task to the front.
      entry_t next = pending_[0];
      pending_.remove(0);
      start_locked(next);
    }
  }
  if (owner) owner->on_task_completed(task);
}

void task_queue_t::wait(task_t* task) {
  lock_.lock();
  for (;;) {
    s64 index = find_pending_locked(task);
    if (index < 0) break;
    entry_t waited = pending_[(u64)index];
    for (u64 i = (u64)index; i > 0; --i) pending_[i] = pending_[i - 1];
    pending_[0] = waited;
    // The task ahead may sit in a queue that no worker serves; running it here lets the
    // waited task start. It cannot finish while this lock is held, so it is alive.
    task_t* ahead = active_.task;
    if (ahead && pool_claim_pending_run(ahead)) {
      lock_.unlock();
      pool_run_claimed(ahead);
      lock_.lock();
      continue;
    }
    started_.wait(lock_);
  }
  lock_.unlock();
  thread::wait(task);
}

void task_queue_t::cancel(task_t* task) { thread::cancel(task); }

void task_queue_t::cancel_and_wait(task_t* task) {
  cancel(task);
  wait(task);
}

bool task_queue_t::is_submitted(const task_t* task) { return thread::is_submitted(task); }

u32 task_queue_t::pending_count() {
  mutex_guard_t guard(lock_);
  return (u32)pending_.count();
}

}  // namespace thread
}  // namespace umbra
