// What the 512-bit code paths of the codec share: the intrinsics header (without the
// warnings GCC 12 gives for them) and the run-time check of the common AVX-512 subsets.
// Each path adds the subsets of its own and falls back to portable code without them.
#pragma once

#if defined(__x86_64__) && defined(__GNUC__)
// GCC 12's 512-bit intrinsics start from deliberately undefined vectors and warn about it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#ifndef __clang__
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop
#define GD_WIDE_CODE 1

#include "umbracore/timer/cpu.h"

namespace umbra {

// The subsets every 512-bit path is compiled for, with the bit instructions they also use.
inline bool gd_cpu_has_avx512_base() {
  return cpu_has_feature(CPU_FEATURE_AVX512F) && cpu_has_feature(CPU_FEATURE_AVX512BW) &&
         cpu_has_feature(CPU_FEATURE_AVX512VL) && cpu_has_feature(CPU_FEATURE_POPCNT) &&
         cpu_has_feature(CPU_FEATURE_BMI1) && cpu_has_feature(CPU_FEATURE_BMI2);
}

}  // namespace umbra
#endif
