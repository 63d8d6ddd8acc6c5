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

__attribute__((target("avx2"))) void copy_avx2(u8* dst, const u8* src, size_t bytes) {
  while (bytes >= 512) {
    for (size_t i = 0; i < 512; i += 32) {
      const __m256i v = _mm256_stream_load_si256(reinterpret_cast<const __m256i*>(src + i));
      _mm256_stream_si256(reinterpret_cast<__m256i*>(dst + i), v);
    }
    dst += 512;
    src += 512;
    bytes -= 512;
  }
  while (bytes >= 32) {
    const __m256i v = _mm256_stream_load_si256(reinterpret_cast<const __m256i*>(src));
    _mm256_stream_si256(reinterpret_cast<__m256i*>(dst), v);
    dst += 32;
    src += 32;
    bytes -= 32;
  }
  while (bytes--) *dst++ = *src++;
  _mm_sfence();
}

__attribute__((target("sse4.1"))) void copy_sse41(u8* dst, const u8* src, size_t bytes) {
  while (bytes >= 256) {
    for (size_t i = 0; i < 256; i += 16) {
      const __m128i v = _mm_stream_load_si128(reinterpret_cast<__m128i*>(const_cast<u8*>(src + i)));
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), v);
    }
    dst += 256;
    src += 256;
    bytes -= 256;
  }
  while (bytes >= 16) {
    const __m128i v = _mm_stream_load_si128(reinterpret_cast<__m128i*>(const_cast<u8*>(src)));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), v);
    dst += 16;
    src += 16;
    bytes -= 16;
  }
  while (bytes--) *dst++ = *src++;
  _mm_sfence();
}

__attribute__((target("sse2"))) void copy_sse2(u8* dst, const u8* src, size_t bytes) {
  while (bytes >= 256) {
    for (size_t i = 0; i < 256; i += 16) {
      const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(src + i));
      _mm_stream_si128(reinterpret_cast<__m128i*>(dst + i), v);
    }
    dst += 256;
    src += 256;
    bytes -= 256;
  }
  while (bytes >= 16) {
    const __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(src));
    _mm_stream_si128(reinterpret_cast<__m128i*>(dst), v);
    dst += 16;
    src += 16;
    bytes -= 16;
  }
  while (bytes--) *dst++ = *src++;
  _mm_sfence();
}

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
