// Page runs on POSIX: anonymous mappings; large ones cut to a large-page boundary, with
// the hint that transparent large pages may back them (Linux).
#include <sys/mman.h>

#include <cstdint>

#include "umbracore/mem.h"
#include "umbracore/platform/memory_platform.h"

namespace umbra {
namespace platform {

namespace {

void* map_pages(u64 length) {
  void* start = ::mmap(nullptr, (size_t)length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return start == MAP_FAILED ? nullptr : start;
}

// One large page more than asked, cut back to a large-page boundary: only aligned
// memory can be backed by large pages.
void* map_large_pages(u64 length) {
  const u64 mapped = length + PAGE_RUN_LARGE_PAGE;
  void* start = map_pages(mapped);
  if (!start) return nullptr;
  const uintptr_t base = (uintptr_t)start;
  const uintptr_t aligned = (uintptr_t)align_up((u64)base, PAGE_RUN_LARGE_PAGE);
  if (aligned != base) ::munmap(start, aligned - base);
  const uintptr_t end = aligned + (uintptr_t)length;
  if (end != base + mapped) ::munmap((void*)end, base + mapped - end);
#ifdef MADV_HUGEPAGE
  // A hint: where transparent large pages are off, the run is ordinary pages.
  ::madvise((void*)aligned, (size_t)length, MADV_HUGEPAGE);
#endif
  return (void*)aligned;
}

}  // namespace

void* allocate_page_run(u64 size) {
  if (size == 0 || size > (u64)SIZE_MAX / 2) return nullptr;
  const u64 length = page_run_length(size);
  return length >= PAGE_RUN_LARGE_PAGE ? map_large_pages(length) : map_pages(length);
}

void free_page_run(void* pages, u64 size) {
  if (pages) ::munmap(pages, (size_t)page_run_length(size));
}

}  // namespace platform
}  // namespace umbra
