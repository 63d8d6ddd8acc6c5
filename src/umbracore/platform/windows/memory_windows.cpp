// Windows gives large pages only to processes holding SeLockMemoryPrivilege, so runs are
// ordinary committed pages here; reusing them still spares the faults of fresh ones.
#include <cstdint>

#include "umbracore/platform/memory_platform.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {
namespace platform {

void* allocate_page_run(u64 size) {
  if (size == 0 || size > (u64)SIZE_MAX / 2) return nullptr;
  return VirtualAlloc(nullptr, (SIZE_T)page_run_length(size), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void free_page_run(void* pages, u64 size) {
  if (pages) VirtualFree(pages, 0, MEM_RELEASE);
}

}  // namespace platform
}  // namespace umbra
