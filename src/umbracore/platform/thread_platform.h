// The platform's threads and synchronisation objects, in the shape of the Windows calls
// the runtime was written against (CreateThread suspended, SetThreadPriority,
// SetThreadIdealProcessor, ResumeThread, SwitchToThread, semaphores, critical sections,
// condition variables). The POSIX build implements them with pthreads, the Windows
// build with the calls themselves. The lock objects are storage here: each
// implementation keeps its own objects in it and checks at compile time that they fit.
#pragma once

#include "umbracore/types.h"

namespace umbra {
namespace platform {

using thread_routine_t = void (*)(void* argument);

// Opaque handle of a created thread; 0 is "no thread".
using thread_handle_t = u64;

// CreateThread(..., CREATE_SUSPENDED, ...): the routine does not run before thread_resume.
// Returns false when the platform refuses the thread (the handle stays 0).
bool thread_create_suspended(thread_handle_t* handle, u64 stack_size, thread_routine_t routine, void* argument);
// Debugger/ps name; the platform keeps at most 15 bytes.
void thread_set_name(thread_handle_t handle, const char* name);
// SetThreadPriority: positive = highest, negative = below normal, 0 = normal.
// Applied when the thread resumes; a refusal (missing privilege) is ignored.
void thread_set_priority(thread_handle_t handle, s32 priority);
// SetThreadIdealProcessor: a scheduling hint, never a hard pin. False when the processor
// is not one the process may run on.
bool thread_set_ideal_processor(thread_handle_t handle, u32 processor);
// Same hint for the calling thread.
bool thread_set_current_ideal_processor(u32 processor);
void thread_resume(thread_handle_t handle);
// Waits for the thread's end and releases the handle.
void thread_join(thread_handle_t handle);
// SwitchToThread.
void thread_yield();
// Sleep: the calling thread gives up the processor for at least this long.
void thread_sleep_ms(u32 milliseconds);
// A number unique per live thread of the process (the kernel thread id).
u64 thread_current_id();
// The name the platform holds for the calling thread (empty when unknown).
void thread_get_current_name(char* buffer, u32 size);
// The calling thread's priority as thread_set_priority takes it: 1 highest, -1 below
// normal, 0 normal (other levels by their sign).
s32 thread_get_current_priority();

// A value of each thread's own, and a routine the system calls with it when a thread
// whose value is not null ends. This is how a thread's own resources are given back at
// its end: a C++ thread_local object with a destructor is not safe on every system (the
// Windows runtime frees a thread's thread_local storage before it runs their
// destructors). Slots are never freed. Whether the thread that ends the process gets its
// call depends on the system.
using thread_end_routine_t = void (*)(void* value);
struct thread_value_t {
  u64 opaque = 0;
};
// False when the system has no slot left.
bool thread_value_create(thread_value_t* slot, thread_end_routine_t at_thread_end);
void* thread_value_get(const thread_value_t& slot);
// False when the system could not store the value (it keeps the old one).
bool thread_value_set(const thread_value_t& slot, void* value);

// Critical section, recursive when asked for (a CRITICAL_SECTION on Windows, an SRW
// lock when not recursive; a pthread mutex elsewhere).
struct critical_section_t {
  alignas(8) unsigned char opaque[64];
};
void critical_section_init(critical_section_t* section, bool recursive);
void critical_section_destroy(critical_section_t* section);
void critical_section_enter(critical_section_t* section);
void critical_section_leave(critical_section_t* section);

// Condition variable bound to a critical section at wait time.
struct condition_variable_t {
  alignas(8) unsigned char opaque[48];
};
// false when the platform has no resources left for it.
bool condition_variable_init(condition_variable_t* condition);
void condition_variable_destroy(condition_variable_t* condition);
void condition_variable_sleep(condition_variable_t* condition, critical_section_t* section);
// The same with a time-out; false when it ran out before a wake-up.
bool condition_variable_sleep_for(condition_variable_t* condition, critical_section_t* section, u32 milliseconds);
void condition_variable_wake_one(condition_variable_t* condition);
void condition_variable_wake_all(condition_variable_t* condition);

// Counting semaphore (CreateSemaphore with a maximum count): waits block without spinning.
struct semaphore_t {
  alignas(8) unsigned char opaque[128];
};
void semaphore_init(semaphore_t* semaphore, u32 initial_count, u32 maximum_count);
void semaphore_destroy(semaphore_t* semaphore);
// ReleaseSemaphore: false (count unchanged) when the maximum would be exceeded.
bool semaphore_release(semaphore_t* semaphore, u32 count);
void semaphore_wait(semaphore_t* semaphore);

}  // namespace platform
}  // namespace umbra
