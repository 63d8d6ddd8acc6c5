// Threads and synchronisation on the Windows calls themselves: CreateThread suspended
// with the record's stack size, SetThreadPriority and SetThreadIdealProcessor before
// ResumeThread; SRW locks and CRITICAL_SECTIONs with condition variables; kernel
// semaphores; fiber-local slots for what a thread gives back at its end.
#include <cstring>
#include <new>

#include "umbracore/log/assert.h"
#include "umbracore/platform/thread_platform.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {
namespace platform {

namespace {

constexpr u32 NAME_BYTES = 16;

struct win_thread_t {
  HANDLE handle = nullptr;
  thread_routine_t routine = nullptr;
  void* argument = nullptr;
  char name[NAME_BYTES] = {};
};

// The name as the layer gave it, for thread_get_current_name on systems without
// thread descriptions.
thread_local char t_thread_name[NAME_BYTES] = {};

// A lock is an SRW lock unless it must be recursive, which only a CRITICAL_SECTION is.
struct win_section_t {
  union {
    SRWLOCK srw;
    CRITICAL_SECTION critical;
  };
  bool recursive;
};

struct win_semaphore_t {
  HANDLE handle;
};

static_assert(sizeof(win_section_t) <= sizeof(critical_section_t::opaque), "critical section storage");
static_assert(sizeof(CONDITION_VARIABLE) <= sizeof(condition_variable_t::opaque), "condition storage");
static_assert(sizeof(win_semaphore_t) <= sizeof(semaphore_t::opaque), "semaphore storage");

win_thread_t* from_handle(thread_handle_t handle) { return reinterpret_cast<win_thread_t*>(handle); }
win_section_t* native(critical_section_t* section) { return reinterpret_cast<win_section_t*>(section->opaque); }
CONDITION_VARIABLE* native(condition_variable_t* condition) {
  return reinterpret_cast<CONDITION_VARIABLE*>(condition->opaque);
}
win_semaphore_t* native(semaphore_t* semaphore) { return reinterpret_cast<win_semaphore_t*>(semaphore->opaque); }

// Thread descriptions came with Windows 10 1607: looked up, not linked.
using set_description_t = HRESULT(WINAPI*)(HANDLE, PCWSTR);
using get_description_t = HRESULT(WINAPI*)(HANDLE, PWSTR*);

template <class T>
T kernel32_function(const char* name) {
  HMODULE module = GetModuleHandleW(L"kernel32.dll");
  return module ? reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

DWORD WINAPI thread_trampoline(LPVOID raw) {
  win_thread_t* self = static_cast<win_thread_t*>(raw);
  std::memcpy(t_thread_name, self->name, sizeof(t_thread_name));
  self->routine(self->argument);
  return 0;
}

bool processor_allowed(u32 processor) {
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (processor >= sizeof(DWORD_PTR) * 8 || !GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask)) {
    return false;
  }
  return (process_mask >> processor) & 1;
}

int windows_priority(s32 priority) {
  return priority > 0 ? THREAD_PRIORITY_HIGHEST : priority < 0 ? THREAD_PRIORITY_BELOW_NORMAL : THREAD_PRIORITY_NORMAL;
}

void copy_name(char* to, u32 size, const char* from) {
  if (size == 0) return;
  u32 n = 0;
  while (n + 1 < size && from[n]) {
    to[n] = from[n];
    ++n;
  }
  to[n] = 0;
}

}  // namespace

bool thread_create_suspended(thread_handle_t* handle, u64 stack_size, thread_routine_t routine, void* argument) {
  *handle = 0;
  win_thread_t* block = new (std::nothrow) win_thread_t();
  if (!block) return false;
  block->routine = routine;
  block->argument = argument;
  DWORD id = 0;
  block->handle = CreateThread(nullptr, (SIZE_T)stack_size, thread_trampoline, block,
                               CREATE_SUSPENDED | STACK_SIZE_PARAM_IS_A_RESERVATION, &id);
  if (!block->handle) {
    delete block;
    return false;
  }
  *handle = reinterpret_cast<thread_handle_t>(block);
  return true;
}

void thread_set_name(thread_handle_t handle, const char* name) {
  win_thread_t* block = from_handle(handle);
  copy_name(block->name, sizeof(block->name), name);
  static const set_description_t set_description = kernel32_function<set_description_t>("SetThreadDescription");
  wide_text_t text;
  if (set_description && wide_from_utf8(text, block->name)) set_description(block->handle, wide(text));
}

void thread_set_priority(thread_handle_t handle, s32 priority) {
  // A refusal leaves the thread at normal priority, as on other systems.
  (void)SetThreadPriority(from_handle(handle)->handle, windows_priority(priority));
}

bool thread_set_ideal_processor(thread_handle_t handle, u32 processor) {
  if (!processor_allowed(processor)) return false;
  return SetThreadIdealProcessor(from_handle(handle)->handle, processor) != (DWORD)-1;
}

bool thread_set_current_ideal_processor(u32 processor) {
  if (!processor_allowed(processor)) return false;
  return SetThreadIdealProcessor(GetCurrentThread(), processor) != (DWORD)-1;
}

void thread_resume(thread_handle_t handle) { ResumeThread(from_handle(handle)->handle); }

void thread_join(thread_handle_t handle) {
  win_thread_t* block = from_handle(handle);
  WaitForSingleObject(block->handle, INFINITE);
  CloseHandle(block->handle);
  delete block;
}

void thread_yield() { SwitchToThread(); }

void thread_sleep_ms(u32 milliseconds) { Sleep(milliseconds); }

u64 thread_current_id() { return (u64)GetCurrentThreadId(); }

void thread_get_current_name(char* buffer, u32 size) {
  if (size == 0) return;
  buffer[0] = 0;
  if (t_thread_name[0]) {
    copy_name(buffer, size, t_thread_name);
    return;
  }
  static const get_description_t get_description = kernel32_function<get_description_t>("GetThreadDescription");
  PWSTR description = nullptr;
  if (!get_description || FAILED(get_description(GetCurrentThread(), &description)) || !description) return;
  array_dyn_t<char> text;
  if (utf8_from_wide(text, description)) copy_name(buffer, size, text.data());
  LocalFree(description);
}

s32 thread_get_current_priority() {
  int priority = GetThreadPriority(GetCurrentThread());
  if (priority == THREAD_PRIORITY_ERROR_RETURN) return 0;
  return priority > THREAD_PRIORITY_NORMAL ? 1 : priority < THREAD_PRIORITY_NORMAL ? -1 : 0;
}

// Fiber-local storage: the system calls a slot's routine when a thread with a value in
// it ends, before the runtime's thread-exit work (which is what frees thread_local
// storage).
bool thread_value_create(thread_value_t* slot, thread_end_routine_t at_thread_end) {
  // The routine has the callback's signature: x64 has a single calling convention.
  PFLS_CALLBACK_FUNCTION callback = at_thread_end;
  DWORD index = FlsAlloc(callback);
  if (index == FLS_OUT_OF_INDEXES) return false;
  slot->opaque = (u64)index;
  return true;
}

void* thread_value_get(const thread_value_t& slot) { return FlsGetValue((DWORD)slot.opaque); }

bool thread_value_set(const thread_value_t& slot, void* value) {
  return FlsSetValue((DWORD)slot.opaque, value) != FALSE;
}

void critical_section_init(critical_section_t* section, bool recursive) {
  win_section_t* s = native(section);
  s->recursive = recursive;
  if (recursive) {
    InitializeCriticalSection(&s->critical);
  } else {
    InitializeSRWLock(&s->srw);
  }
}

void critical_section_destroy(critical_section_t* section) {
  win_section_t* s = native(section);
  if (s->recursive) DeleteCriticalSection(&s->critical);
}

void critical_section_enter(critical_section_t* section) {
  win_section_t* s = native(section);
  if (s->recursive) {
    EnterCriticalSection(&s->critical);
  } else {
    AcquireSRWLockExclusive(&s->srw);
  }
}

void critical_section_leave(critical_section_t* section) {
  win_section_t* s = native(section);
  if (s->recursive) {
    LeaveCriticalSection(&s->critical);
  } else {
    ReleaseSRWLockExclusive(&s->srw);
  }
}

bool condition_variable_init(condition_variable_t* condition) {
  InitializeConditionVariable(native(condition));
  return true;
}

void condition_variable_destroy(condition_variable_t* condition) { (void)condition; }

bool condition_variable_sleep_for(condition_variable_t* condition, critical_section_t* section, u32 milliseconds) {
  win_section_t* s = native(section);
  DWORD timeout = milliseconds == INFINITE ? INFINITE - 1 : milliseconds;
  BOOL woken = s->recursive ? SleepConditionVariableCS(native(condition), &s->critical, timeout)
                            : SleepConditionVariableSRW(native(condition), &s->srw, timeout, 0);
  return woken || GetLastError() != ERROR_TIMEOUT;
}

void condition_variable_sleep(condition_variable_t* condition, critical_section_t* section) {
  win_section_t* s = native(section);
  if (s->recursive) {
    SleepConditionVariableCS(native(condition), &s->critical, INFINITE);
  } else {
    SleepConditionVariableSRW(native(condition), &s->srw, INFINITE, 0);
  }
}

void condition_variable_wake_one(condition_variable_t* condition) { WakeConditionVariable(native(condition)); }
void condition_variable_wake_all(condition_variable_t* condition) { WakeAllConditionVariable(native(condition)); }

void semaphore_init(semaphore_t* semaphore, u32 initial_count, u32 maximum_count) {
  constexpr u32 largest = 0x7FFFFFFF;  // the count is a LONG
  LONG maximum = (LONG)(maximum_count < largest ? maximum_count : largest);
  LONG initial = (LONG)(initial_count < (u32)maximum ? initial_count : (u32)maximum);
  native(semaphore)->handle = CreateSemaphoreW(nullptr, initial, maximum, nullptr);
  UMBRA_ASSERT(native(semaphore)->handle, "%s", "[thread] Unable to create semaphore.");
}

void semaphore_destroy(semaphore_t* semaphore) {
  if (native(semaphore)->handle) CloseHandle(native(semaphore)->handle);
}

bool semaphore_release(semaphore_t* semaphore, u32 count) {
  if (count == 0) return true;
  if (count > 0x7FFFFFFFu) return false;
  return ReleaseSemaphore(native(semaphore)->handle, (LONG)count, nullptr) != FALSE;
}

void semaphore_wait(semaphore_t* semaphore) { WaitForSingleObject(native(semaphore)->handle, INFINITE); }

}  // namespace platform
}  // namespace umbra
