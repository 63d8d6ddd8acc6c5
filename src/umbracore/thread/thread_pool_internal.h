// Pieces of the pool that the serial task queue and the tests build on.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/timer/cpu.h"

namespace umbra {
namespace thread {

enum worker_class_index_t : u32 {
  WORKER_CLASS_NORMAL = 0,
  WORKER_CLASS_IO = 1,
  WORKER_CLASS_REALTIME = 2,
};

// Queues a task whose state the caller already moved to queued (1) and wakes the class.
void pool_enqueue_claimed_submission(task_t* task, u32 worker_class);
// Claims one pending run of a queued task for the calling thread (false when no run is
// pending). The caller must keep the task alive across the call; once claimed the task
// cannot finish before pool_run_claimed has run it.
bool pool_claim_pending_run(task_t* task);
void pool_run_claimed(task_t* task);

// Worker class serving a task priority: 0 IO, 1-2 normal, 3 realtime.
u32 worker_class_for_priority(u8 priority);

}  // namespace thread

// The processor (index into cpus) suggested for normal worker worker_index: the last
// physical cores first, leaving the first to the main thread; -1 when cpus is empty.
s32 thread_pool_worker_processor(const array_t<cpu_t>& cpus, u32 cores, u32 worker_index);

}  // namespace umbra
