#include "support/platform_facts.h"

#ifdef _WIN32
#include <windows.h>

#include <cwchar>
#else
#include "umbracore/platform/posix/registry_linux.h"
#endif

namespace umbra_test {

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

}  // namespace umbra_test
