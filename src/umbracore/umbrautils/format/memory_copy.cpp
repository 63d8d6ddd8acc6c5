#include "umbracore/umbrautils/format/memory_copy.h"

#include <cstring>

#include "umbracore/log/assert.h"
#include "umbracore/timer/cpu.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define UMBRA_MEMORY_COPY_X86 1
#endif

namespace umbra {

namespace {

#if UMBRA_MEMORY_COPY_X86

// The library is built for the baseline instruction set; each kernel enables its own
// set, and is only entered after the processor was seen to offer it.

#define COPY_KERNEL copy_avx2
#define COPY_TARGET __attribute__((target("avx2")))
#define COPY_VECTOR __m256i
#define COPY_LOAD(p) _mm256_stream_load_si256(reinterpret_cast<const __m256i*>(p))
#define COPY_STORE(p, v) _mm256_stream_si256(reinterpret_cast<__m256i*>(p), v)
#define COPY_BLOCK 512
#include "umbracore/umbrautils/format/memory_copy_kernel.h"

// Non-temporal loads too.
#define COPY_KERNEL copy_sse41
#define COPY_TARGET __attribute__((target("sse4.1")))
#define COPY_VECTOR __m128i
#define COPY_LOAD(p) _mm_stream_load_si128(reinterpret_cast<__m128i*>(const_cast<u8*>(p)))
#define COPY_STORE(p, v) _mm_stream_si128(reinterpret_cast<__m128i*>(p), v)
#define COPY_BLOCK 256
#include "umbracore/umbrautils/format/memory_copy_kernel.h"

// Ordinary loads: SSE2 has no non-temporal one.
#define COPY_KERNEL copy_sse2
#define COPY_TARGET __attribute__((target("sse2")))
#define COPY_VECTOR __m128i
#define COPY_LOAD(p) _mm_load_si128(reinterpret_cast<const __m128i*>(p))
#define COPY_STORE(p, v) _mm_stream_si128(reinterpret_cast<__m128i*>(p), v)
#define COPY_BLOCK 256
#include "umbracore/umbrautils/format/memory_copy_kernel.h"

memory_copy_features_t detect_features() {
  memory_copy_features_t features;
  features.avx2 = cpu_has_feature(CPU_FEATURE_AVX2);
  features.sse41 = cpu_has_feature(CPU_FEATURE_SSE41);
  features.sse2 = cpu_has_feature(CPU_FEATURE_SSE2);
  return features;
}

#else

memory_copy_features_t detect_features() { return {false, false, false}; }

#endif

bool kernel_available(memory_copy_kernel_t kernel, const memory_copy_features_t& features) {
  switch (kernel) {
    case MEMORY_COPY_PLAIN:
      return true;
    case MEMORY_COPY_SSE2:
      return features.sse2;
    case MEMORY_COPY_SSE41:
      return features.sse41;
    case MEMORY_COPY_AVX2:
      return features.avx2;
  }
  return false;
}

}  // namespace

const memory_copy_features_t& memory_copy_cpu_features() {
  static const memory_copy_features_t features = detect_features();
  return features;
}

memory_copy_kernel_t memory_copy_select_kernel(const void* dst, const void* src,
                                               const memory_copy_features_t& features) {
  if (features.avx2 && memory_copy_is_aligned(dst, src, 32)) return MEMORY_COPY_AVX2;
  if (!memory_copy_is_aligned(dst, src, 16)) return MEMORY_COPY_PLAIN;
  if (features.sse41) return MEMORY_COPY_SSE41;
  if (features.sse2) return MEMORY_COPY_SSE2;
  return MEMORY_COPY_PLAIN;
}

void memory_copy_with_kernel(memory_copy_kernel_t kernel, void* dst, const void* src, size_t bytes) {
  UMBRA_ASSERT(kernel_available(kernel, memory_copy_cpu_features()), "Copy kernel %u is not available",
               static_cast<unsigned>(kernel));
  u8* to = static_cast<u8*>(dst);
  const u8* from = static_cast<const u8*>(src);
  switch (kernel) {
#if UMBRA_MEMORY_COPY_X86
    case MEMORY_COPY_AVX2:
      UMBRA_ASSERT(memory_copy_is_aligned(dst, src, 32), "Copy kernel %u needs 32-byte alignment", 3u);
      copy_avx2(to, from, bytes);
      return;
    case MEMORY_COPY_SSE41:
      UMBRA_ASSERT(memory_copy_is_aligned(dst, src, 16), "Copy kernel %u needs 16-byte alignment", 2u);
      copy_sse41(to, from, bytes);
      return;
    case MEMORY_COPY_SSE2:
      UMBRA_ASSERT(memory_copy_is_aligned(dst, src, 16), "Copy kernel %u needs 16-byte alignment", 1u);
      copy_sse2(to, from, bytes);
      return;
#endif
    default:
      if (bytes) std::memcpy(to, from, bytes);
      return;
  }
}

void memory_copy_streaming(void* dst, const void* src, size_t bytes) {
  memory_copy_with_kernel(memory_copy_select_kernel(dst, src, memory_copy_cpu_features()), dst, src, bytes);
}

}  // namespace umbra
