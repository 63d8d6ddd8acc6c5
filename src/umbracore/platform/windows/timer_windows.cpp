// The performance counter: QueryPerformanceCounter and QueryPerformanceFrequency.
// Windows does not name the hardware behind it; the wall timer classifies it by its
// frequency.
#include <time.h>

#include "umbracore/platform/timer_platform.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {
namespace platform {

bool qpc_frequency(u64* frequency) {
  LARGE_INTEGER value;
  if (!QueryPerformanceFrequency(&value) || value.QuadPart <= 0) {
    *frequency = 0;
    return false;
  }
  *frequency = (u64)value.QuadPart;
  return true;
}

bool qpc_counter(u64* counter) {
  LARGE_INTEGER value;
  if (!QueryPerformanceCounter(&value)) {
    *counter = 0;
    return false;
  }
  *counter = (u64)value.QuadPart;
  return true;
}

u64 wall_clock_us() {
  using precise_time_t = VOID(WINAPI*)(LPFILETIME);
  // Windows 8 and later; before, the clock of the last timer tick.
  static const precise_time_t precise = reinterpret_cast<precise_time_t>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetSystemTimePreciseAsFileTime")));
  FILETIME now;
  if (precise) {
    precise(&now);
  } else {
    GetSystemTimeAsFileTime(&now);
  }
  u64 ticks = ((u64)now.dwHighDateTime << 32) | now.dwLowDateTime;
  constexpr u64 ticks_1601_to_1970 = 116444736000000000ull;
  return ticks > ticks_1601_to_1970 ? (ticks - ticks_1601_to_1970) / 10 : 0;
}

bool local_time(u64 unix_seconds, std::tm* out) {
  __time64_t seconds = (__time64_t)unix_seconds;
  return _localtime64_s(out, &seconds) == 0;
}

bool qpc_named_source(u32* source) {
  *source = 0;
  return false;
}

}  // namespace platform
}  // namespace umbra
