#include "umbracore/thread/run_context_system.h"

#include <new>

#include "umbracore/log/log.h"
#include "umbracore/platform/thread_platform.h"
#include "umbracore/profiling/profiler_system.h"
#include "umbracore/thread/locks.h"

namespace umbra {

namespace {

// Spare contexts are recycled through a free list and never freed one by one.
struct spare_pool_t {
  mutex_t lock;
  run_context_t* free_list = nullptr;
  u32 free_count = 0;
  run_context_t fallback;
};

spare_pool_t& spare_pool() {
  static spare_pool_t* pool = [] {
    spare_pool_t* created = new spare_pool_t();
    created->fallback.kind = RUN_CONTEXT_KIND_ALIEN;
    created->fallback.shared = true;
    created->fallback.thread_name.assign("Alien");
    return created;
  }();
  return *pool;
}

run_context_t* take_spare() {
  spare_pool_t& pool = spare_pool();
  mutex_guard_t guard(pool.lock);
  run_context_t* context = pool.free_list;
  if (context) {
    pool.free_list = context->next_spare;
    --pool.free_count;
  } else {
    context = new (std::nothrow) run_context_t();
    if (!context) return &pool.fallback;
  }
  context->next_spare = nullptr;
  context->current_task = nullptr;
  context->profiler_state = nullptr;
  context->kind = RUN_CONTEXT_KIND_ALIEN;
  context->marker = RUN_CONTEXT_SPARE_MARKER;
  context->thread_name.assign("Alien");
  return context;
}

void return_spare(run_context_t* context) {
  if (context->shared || context->marker != RUN_CONTEXT_SPARE_MARKER) return;
  profiler_release_run_context(context);
  spare_pool_t& pool = spare_pool();
  mutex_guard_t guard(pool.lock);
  context->current_task = nullptr;
  context->next_spare = pool.free_list;
  pool.free_list = context;
  ++pool.free_count;
}

// The calling thread's context. Only trivially destructible thread_local objects: what
// a thread gives back at its end goes through a thread-end slot.
struct thread_slot_t {
  run_context_t* context = nullptr;
  bool borrowed = false;
};

thread_local thread_slot_t t_slot;

void return_spare_at_thread_end(void* context) { return_spare(static_cast<run_context_t*>(context)); }

// Holds the spare a thread borrowed, so that the spare goes back when the thread ends.
struct borrowed_spares_t {
  platform::thread_value_t slot;
  bool ready = false;
  borrowed_spares_t() { ready = platform::thread_value_create(&slot, return_spare_at_thread_end); }
};

const platform::thread_value_t* borrowed_spares() {
  static const borrowed_spares_t spares;
  return spares.ready ? &spares.slot : nullptr;
}

void hold_borrowed(run_context_t* context) {
  t_slot.context = context;
  t_slot.borrowed = true;
  const platform::thread_value_t* slot = borrowed_spares();
  // Without a slot the spare stays with the thread: a lost spare, never a wrong one.
  if (slot) (void)platform::thread_value_set(*slot, context);
}

// Gives the thread's borrowed spare back now, not at its end.
void give_back_borrowed() {
  if (!t_slot.borrowed || !t_slot.context) return;
  const platform::thread_value_t* slot = borrowed_spares();
  if (slot) (void)platform::thread_value_set(*slot, nullptr);
  return_spare(t_slot.context);
}

run_context_t g_main_context;

}  // namespace

run_context_t* run_context_current() { return t_slot.context; }

run_context_t* run_context_acquire() {
  if (t_slot.context) return t_slot.context;
  log_warning("[thread] Detected an alien thread with missing run context priming.");
  run_context_t* context = take_spare();
  if (!context->shared) context->thread_id = platform::thread_current_id();
  hold_borrowed(context);
  return context;
}

void run_context_prime(run_context_t* context, u32 kind, const char* thread_name) {
  // A tracer left from an earlier thread of this context does not carry over.
  if (context->profiler_state) profiler_release_run_context(context);
  context->kind = kind;
  context->current_task = nullptr;
  context->thread_id = platform::thread_current_id();
  context->thread_name.assign(thread_name);
  give_back_borrowed();
  t_slot.context = context;
  t_slot.borrowed = false;
}

void run_context_unprime() {
  if (t_slot.borrowed && t_slot.context) {
    give_back_borrowed();
  } else if (t_slot.context) {
    profiler_release_run_context(t_slot.context);
  }
  t_slot.context = nullptr;
  t_slot.borrowed = false;
}

thread::task_t* run_context_enter_task(run_context_t* context, thread::task_t* task) {
  if (context->shared) return nullptr;
  thread::task_t* previous = context->current_task;
  context->current_task = task;
  return previous;
}

void run_context_leave_task(run_context_t* context, thread::task_t* previous) {
  if (context->shared) return;
  context->current_task = previous;
}

void run_context_startup_main_thread() {
  windows_verify_dll_tls(false);
  run_context_prime(&g_main_context, RUN_CONTEXT_KIND_MAIN, "Main");
}

void run_context_shutdown_main_thread() {
  if (t_slot.context == &g_main_context) run_context_unprime();
}

u32 run_context_spare_count() {
  spare_pool_t& pool = spare_pool();
  mutex_guard_t guard(pool.lock);
  return pool.free_count;
}

void windows_verify_dll_tls(bool code_in_dll) {
  // On Windows a DLL build needs DllMain to set up thread-local storage and this check
  // stops the process when the build flag and the integration disagree. Compiler
  // thread-locals work the same in shared objects on Linux: nothing to verify.
  (void)code_in_dll;
}

}  // namespace umbra
