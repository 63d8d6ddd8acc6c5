// Bulk copies of texture data. Texture bytes are written once and not read back soon, so
// the copy bypasses the cache with non-temporal stores when both pointers allow it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "umbracore/types.h"

namespace umbra {

enum memory_copy_kernel_t : u32 {
  MEMORY_COPY_PLAIN = 0,  // ordinary memory copy
  MEMORY_COPY_SSE2 = 1,   // 16-byte loads, 16-byte non-temporal stores
  MEMORY_COPY_SSE41 = 2,  // 16-byte non-temporal loads and stores
  MEMORY_COPY_AVX2 = 3,   // 32-byte non-temporal loads and stores
};

// The instruction sets the kernels may use.
struct memory_copy_features_t {
  bool avx2;
  bool sse41;
  bool sse2;
};

// What this processor offers (read once).
const memory_copy_features_t& memory_copy_cpu_features();

inline bool memory_copy_is_aligned(const void* dst, const void* src, std::uintptr_t alignment) {
  return ((reinterpret_cast<std::uintptr_t>(dst) | reinterpret_cast<std::uintptr_t>(src)) & (alignment - 1)) == 0;
}

// The kernel for this pair of pointers on a processor with the given features.
memory_copy_kernel_t memory_copy_select_kernel(const void* dst, const void* src,
                                               const memory_copy_features_t& features);

// Runs one kernel. The pointers must meet its alignment (32 bytes for AVX2, 16 for the
// SSE kernels) and the processor must offer its instructions; stops the process otherwise.
void memory_copy_with_kernel(memory_copy_kernel_t kernel, void* dst, const void* src, size_t bytes);

// Copies with the best kernel for these pointers on this processor; the ranges must not overlap.
void memory_copy_streaming(void* dst, const void* src, size_t bytes);

}  // namespace umbra
