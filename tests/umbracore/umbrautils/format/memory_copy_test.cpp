#include "umbracore/umbrautils/format/memory_copy.h"

#include <gtest/gtest.h>

#include <cstdlib>
#ifdef _WIN32
#include <malloc.h>
#endif
#include <cstring>
#include <vector>

#include "umbracore/timer/cpu.h"

namespace {

using umbra::memory_copy_features_t;
using umbra::memory_copy_kernel_t;
using umbra::u8;

// The Windows C library has no aligned_alloc (its free cannot take such blocks).
struct aligned_buffer_t {
#ifdef _WIN32
  explicit aligned_buffer_t(size_t n) : bytes(static_cast<u8*>(_aligned_malloc((n + 64 + 63) / 64 * 64, 64))) {}
  ~aligned_buffer_t() { _aligned_free(bytes); }
#else
  explicit aligned_buffer_t(size_t n) : bytes(static_cast<u8*>(std::aligned_alloc(64, (n + 64 + 63) / 64 * 64))) {}
  ~aligned_buffer_t() { std::free(bytes); }
#endif
  u8* bytes;
};

void fill(u8* p, size_t n, unsigned seed) {
  for (size_t i = 0; i < n; ++i) p[i] = static_cast<u8>(seed * 31 + i * 13 + (i >> 9));
}

bool kernel_runs_here(memory_copy_kernel_t kernel) {
  const memory_copy_features_t& f = umbra::memory_copy_cpu_features();
  switch (kernel) {
    case umbra::MEMORY_COPY_AVX2:
      return f.avx2;
    case umbra::MEMORY_COPY_SSE41:
      return f.sse41;
    case umbra::MEMORY_COPY_SSE2:
      return f.sse2;
    default:
      return true;
  }
}

// Sizes around every step of the kernels: the 512/256-byte loops, the 32/16-byte units
// and the byte tail.
const size_t COPY_SIZES[] = {0, 1, 15, 16, 17, 31, 33, 255, 256, 257, 511, 512, 513, 1000, 4095, 65536 + 77};

// Copies with `copy` at the given offset from 64-byte aligned buffers and compares the
// whole destination (including the byte after the range) with what memcpy gives.
template <class copy_function_t>
void check_copy(copy_function_t copy, size_t alignment_offset) {
  for (size_t n : COPY_SIZES) {
    SCOPED_TRACE(::testing::Message() << "bytes " << n << " offset " << alignment_offset);
    aligned_buffer_t src(n + alignment_offset), dst(n + alignment_offset + 1), expect(n + alignment_offset + 1);
    fill(src.bytes, n + alignment_offset, static_cast<unsigned>(n));
    std::memset(dst.bytes, 0xA5, n + alignment_offset + 1);
    std::memset(expect.bytes, 0xA5, n + alignment_offset + 1);
    std::memcpy(expect.bytes + alignment_offset, src.bytes + alignment_offset, n);
    copy(dst.bytes + alignment_offset, src.bytes + alignment_offset, n);
    ASSERT_EQ(std::memcmp(dst.bytes, expect.bytes, n + alignment_offset + 1), 0);
  }
}

void check_kernel(memory_copy_kernel_t kernel, size_t alignment_offset) {
  SCOPED_TRACE(::testing::Message() << "kernel " << kernel);
  check_copy([kernel](void* d, const void* s, size_t n) { umbra::memory_copy_with_kernel(kernel, d, s, n); },
             alignment_offset);
}

TEST(memory_copy, every_kernel_matches_memcpy) {
  const memory_copy_kernel_t kernels[] = {umbra::MEMORY_COPY_PLAIN, umbra::MEMORY_COPY_SSE2, umbra::MEMORY_COPY_SSE41,
                                          umbra::MEMORY_COPY_AVX2};
  for (memory_copy_kernel_t kernel : kernels) {
    if (!kernel_runs_here(kernel)) {
      // Only a run that turns instruction sets off may lack a kernel of this machine.
      if (!std::getenv(umbra::CPU_DISABLE_FEATURES_VARIABLE)) ADD_FAILURE() << "kernel " << kernel << " cannot run here";
      continue;
    }
    check_kernel(kernel, 0);
    // The 16-byte kernels also take pointers that are 16- but not 32-byte aligned.
    if (kernel != umbra::MEMORY_COPY_AVX2) check_kernel(kernel, 16);
  }
  check_kernel(umbra::MEMORY_COPY_PLAIN, 3);
}

TEST(memory_copy, streaming_copy_matches_memcpy_at_any_alignment) {
  for (size_t offset : {0, 1, 7, 16, 32, 48}) check_copy(umbra::memory_copy_streaming, offset);
  for (size_t src_offset : {0, 16, 5}) {
    for (size_t dst_offset : {0, 16, 9}) {
      const size_t n = 1237;
      aligned_buffer_t src(n + 64), dst(n + 64);
      fill(src.bytes, n + 64, 3);
      std::memset(dst.bytes, 0, n + 64);
      umbra::memory_copy_streaming(dst.bytes + dst_offset, src.bytes + src_offset, n);
      EXPECT_EQ(std::memcmp(dst.bytes + dst_offset, src.bytes + src_offset, n), 0) << src_offset << "/" << dst_offset;
    }
  }
}

TEST(memory_copy, kernel_choice_follows_alignment_and_features) {
  alignas(64) static u8 buffer[256];
  const memory_copy_features_t all = {true, true, true};
  const memory_copy_features_t no_avx2 = {false, true, true};
  const memory_copy_features_t sse2_only = {false, false, true};
  const memory_copy_features_t none = {false, false, false};
  struct choice_case_t {
    size_t dst_offset, src_offset;
    const memory_copy_features_t* features;
    memory_copy_kernel_t kernel;
  };
  const choice_case_t cases[] = {
      {0, 64, &all, umbra::MEMORY_COPY_AVX2},
      {32, 0, &all, umbra::MEMORY_COPY_AVX2},
      {16, 0, &all, umbra::MEMORY_COPY_SSE41},
      {0, 48, &all, umbra::MEMORY_COPY_SSE41},
      {0, 8, &all, umbra::MEMORY_COPY_PLAIN},
      {1, 0, &all, umbra::MEMORY_COPY_PLAIN},
      {0, 0, &no_avx2, umbra::MEMORY_COPY_SSE41},
      {0, 0, &sse2_only, umbra::MEMORY_COPY_SSE2},
      {16, 32, &sse2_only, umbra::MEMORY_COPY_SSE2},
      {0, 4, &sse2_only, umbra::MEMORY_COPY_PLAIN},
      {0, 0, &none, umbra::MEMORY_COPY_PLAIN},
  };
  for (const choice_case_t& c : cases) {
    EXPECT_EQ(umbra::memory_copy_select_kernel(buffer + c.dst_offset, buffer + c.src_offset, *c.features), c.kernel)
        << c.dst_offset << "/" << c.src_offset;
  }
}

TEST(memory_copy_death, kernels_refuse_misaligned_pointers) {
  alignas(64) static u8 buffer[256];
  if (umbra::memory_copy_cpu_features().avx2) {
    EXPECT_DEATH(umbra::memory_copy_with_kernel(umbra::MEMORY_COPY_AVX2, buffer + 16, buffer + 128, 32),
                 "needs 32-byte alignment");
  }
  if (umbra::memory_copy_cpu_features().sse2) {
    EXPECT_DEATH(umbra::memory_copy_with_kernel(umbra::MEMORY_COPY_SSE2, buffer + 8, buffer + 128, 32),
                 "needs 16-byte alignment");
  }
}

}  // namespace
