// Whole pages straight from the system, for large buffers that a tool fills and drops
// over and over. Where the system can, the pages are backed by large pages: a fault
// then maps 2 MiB instead of 4 KiB, which is most of what touching fresh memory costs.
#pragma once

#include "umbracore/types.h"

namespace umbra {
namespace platform {

// Runs of at least a large page (2 MiB on x86-64) come in whole large pages; smaller
// ones in 64 KiB steps (the allocation granule of Windows), as ordinary pages.
constexpr u64 PAGE_RUN_LARGE_PAGE = 2ull << 20;
constexpr u64 PAGE_RUN_SMALL_STEP = 64ull << 10;

// The length of the run allocate_page_run gives for size bytes.
constexpr u64 page_run_length(u64 size) {
  const u64 step = size >= PAGE_RUN_LARGE_PAGE ? PAGE_RUN_LARGE_PAGE : PAGE_RUN_SMALL_STEP;
  return (size + step - 1) & ~(step - 1);
}

// page_run_length(size) bytes of readable and writable pages, or nullptr when the
// system refuses them (or size is 0).
void* allocate_page_run(u64 size);
// Gives back a run from allocate_page_run, with the size it was asked with.
void free_page_run(void* pages, u64 size);

}  // namespace platform
}  // namespace umbra
