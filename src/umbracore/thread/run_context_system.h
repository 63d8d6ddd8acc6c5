// Per-thread run contexts: what the thread executes now, which worker class it belongs
// to, and the profiler's per-thread state. Pool threads and the main thread are primed
// with one; any other thread that needs one borrows a spare.
#pragma once

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

namespace thread {
class task_t;
}

enum run_context_kind_t : u32 {
  RUN_CONTEXT_KIND_NONE = 0,
  RUN_CONTEXT_KIND_MAIN = 1,
  RUN_CONTEXT_KIND_NORMAL = 2,
  RUN_CONTEXT_KIND_IO = 3,
  RUN_CONTEXT_KIND_REALTIME = 4,
  RUN_CONTEXT_KIND_ALIEN = 6,  // a thread the pool did not create
};

constexpr u32 RUN_CONTEXT_SPARE_MARKER = 0xBD359A2Au;

struct run_context_t {
  thread::task_t* current_task = nullptr;
  u32 kind = RUN_CONTEXT_KIND_NONE;
  u32 marker = 0;  // RUN_CONTEXT_SPARE_MARKER on contexts of the spare pool
  u64 thread_id = 0;
  string_local_t<16> thread_name;
  // Owned by the profiler (its tracer buffer); the run-context system never touches it.
  void* profiler_state = nullptr;
  // Set on the shared fallback context: it records no current task, since several
  // threads may hold it at once.
  bool shared = false;
  run_context_t* next_spare = nullptr;
};

// The calling thread's context, or null when it has none.
run_context_t* run_context_current();
// The calling thread's context; a thread without one logs the alien-thread warning and
// is given a spare.
run_context_t* run_context_acquire();
// Makes context the calling thread's own (pool threads, the main thread).
void run_context_prime(run_context_t* context, u32 kind, const char* thread_name);
// Forgets the calling thread's primed context.
void run_context_unprime();

// Records the task that the calling thread executes; returns the previous one.
thread::task_t* run_context_enter_task(run_context_t* context, thread::task_t* task);
void run_context_leave_task(run_context_t* context, thread::task_t* previous);

// The main thread's context ("Main").
void run_context_startup_main_thread();
void run_context_shutdown_main_thread();

// Spare contexts in the pool, for tests.
u32 run_context_spare_count();

// Windows only: checks that the library's thread-local storage works the way it was
// built (inside a DLL or not). Thread-locals need no such check on Linux.
void windows_verify_dll_tls(bool code_in_dll);

}  // namespace umbra
