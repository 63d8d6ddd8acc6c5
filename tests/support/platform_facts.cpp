#include "support/platform_facts.h"

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#else
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "umbracore/platform/posix/registry_linux.h"
#endif

namespace umbra_test {

#ifdef _WIN32
namespace {

// Calls of newer systems than the oldest the tools run on, looked up as the layer does.
template <class function_t>
function_t kernel32_function(const char* name) {
  return reinterpret_cast<function_t>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name)));
}

}  // namespace
#endif

std::uint32_t nominal_cpu_mhz(std::uint32_t processor) {
#ifdef _WIN32
  wchar_t key[96];
  std::swprintf(key, 96, L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\%u", processor);
  DWORD value = 0;
  DWORD size = sizeof(value);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, key, L"~MHz", RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS) {
    return 0;
  }
  return value;
#else
  return umbra::platform::registry_nominal_cpu_mhz(processor);
#endif
}

std::string system_thread_name() {
#ifdef _WIN32
  using get_description_t = HRESULT(WINAPI*)(HANDLE, PWSTR*);
  static const auto get_description = kernel32_function<get_description_t>("GetThreadDescription");
  PWSTR description = nullptr;
  if (!get_description || FAILED(get_description(GetCurrentThread(), &description)) || !description) return "";
  std::string name;
  for (const wchar_t* unit = description; *unit; ++unit) name += *unit < 0x80 ? (char)*unit : '?';
  LocalFree(description);
  return name;
#else
  char name[16] = {};
  pthread_getname_np(pthread_self(), name, sizeof(name));
  return name;
#endif
}

int system_thread_urgency() {
#ifdef _WIN32
  return GetThreadPriority(GetCurrentThread());
#else
  return -getpriority(PRIO_PROCESS, (id_t)syscall(SYS_gettid));
#endif
}

std::size_t system_thread_stack_size() {
#ifdef _WIN32
  using stack_limits_t = VOID(WINAPI*)(PULONG_PTR, PULONG_PTR);
  static const auto stack_limits = kernel32_function<stack_limits_t>("GetCurrentThreadStackLimits");
  if (!stack_limits) return 0;
  ULONG_PTR low = 0, high = 0;
  stack_limits(&low, &high);
  return (std::size_t)(high - low);
#else
  std::size_t size = 0;
  pthread_attr_t attributes;
  if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
    pthread_attr_getstacksize(&attributes, &size);
    pthread_attr_destroy(&attributes);
  }
  return size;
#endif
}

bool system_thread_runs_anywhere() {
#ifdef _WIN32
  // Windows shows a thread's mask only by setting it: set the process's, and see
  // whether that was what it had.
  DWORD_PTR process = 0, system = 0;
  if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) return false;
  return SetThreadAffinityMask(GetCurrentThread(), process) == process;
#else
  cpu_set_t mine, process;
  if (sched_getaffinity(0, sizeof(mine), &mine) != 0 || sched_getaffinity(getpid(), sizeof(process), &process) != 0) {
    return false;
  }
  return CPU_EQUAL(&mine, &process);
#endif
}

}  // namespace umbra_test
