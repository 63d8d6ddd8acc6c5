// Texture copies: each streaming kernel against memcpy on a level-sized aligned copy, and
// the re-pitch of an RGBA 1000x1000 level (4000-byte rows) into 256-byte aligned rows.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <cstring>

#include "umbracore/umbrautils/format/format_tools.h"
#include "umbracore/umbrautils/format/memory_copy.h"

namespace {

using namespace umbra;

struct buffers_t {
  explicit buffers_t(size_t n)
      : size(n), src(static_cast<u8*>(std::aligned_alloc(64, n))), dst(static_cast<u8*>(std::aligned_alloc(64, n))) {
    std::memset(src, 0x5A, n);
    std::memset(dst, 0, n);
  }
  ~buffers_t() {
    std::free(src);
    std::free(dst);
  }
  size_t size;
  u8* src;
  u8* dst;
};

bool kernel_runs_here(memory_copy_kernel_t kernel) {
  const memory_copy_features_t& f = memory_copy_cpu_features();
  return kernel == MEMORY_COPY_PLAIN || (kernel == MEMORY_COPY_SSE2 && f.sse2) ||
         (kernel == MEMORY_COPY_SSE41 && f.sse41) || (kernel == MEMORY_COPY_AVX2 && f.avx2);
}

void bm_copy_kernel(benchmark::State& state) {
  const auto kernel = static_cast<memory_copy_kernel_t>(state.range(0));
  if (!kernel_runs_here(kernel)) {
    state.SkipWithError("kernel not available on this processor");
    return;
  }
  buffers_t b(static_cast<size_t>(state.range(1)));
  for (auto _ : state) {
    memory_copy_with_kernel(kernel, b.dst, b.src, b.size);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(1));
}
// Kernels 0 plain, 1 SSE2, 2 SSE4.1, 3 AVX2; 512 KiB (BC1 1024x1024) and 16 MiB.
BENCHMARK(bm_copy_kernel)->ArgsProduct({{0, 1, 2, 3}, {512 << 10, 16 << 20}});

void bm_repitch_rgba_level(benchmark::State& state) {
  const unsigned width = 1000, height = 1000;
  const unsigned tight = surface_get_image_pitch(format_t::R8G8B8A8_UNORM, width, 1);
  const unsigned padded = surface_get_image_pitch(format_t::R8G8B8A8_UNORM, width, 256);
  buffers_t src(size_t(tight) * height), dst(size_t(padded) * height);
  for (auto _ : state) {
    texture_image_simple_copy(dst.dst, src.src, width, height, format_t::R8G8B8A8_UNORM, padded, tight, false);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * tight * height);
}
BENCHMARK(bm_repitch_rgba_level);

}  // namespace
