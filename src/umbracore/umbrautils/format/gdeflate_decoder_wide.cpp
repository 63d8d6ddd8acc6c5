// Whole rounds of the page decoder in 512-bit vectors (gdeflate_decoder_rounds.h with
// eight lanes per vector): the masked operations and the compress and expand
// instructions do each step for eight lanes at once.
#include "umbracore/umbrautils/format/gdeflate_decoder_state.h"

#include "umbracore/umbrautils/format/gdeflate_wide.h"

#ifdef GD_WIDE_CODE
#define GD_WIDE_DECODER 1
#define GD_ROUNDS_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt,bmi,bmi2")))
#include "umbracore/umbrautils/format/gdeflate_decoder_rounds.h"
#endif

namespace umbra {
namespace gd_decoder {

#ifdef GD_WIDE_DECODER
bool wide_rounds_supported() {
  static const bool supported = gd_cpu_has_avx512_base() && cpu_has_feature(CPU_FEATURE_AVX512VBMI2);
  return supported;
}

namespace {

struct wide_ops_t {
  typedef u64 vec_t __attribute__((vector_size(64)));
  typedef u32 counts_t __attribute__((vector_size(32)));
  static constexpr u32 LANES = 8;

  template <u64 kind>
  GD_ROUNDS_TARGET u32 lanes_of_kind(vec_t e) const {
    return (u32)_mm512_test_epi64_mask((__m512i)e, _mm512_set1_epi64((long long)kind));
  }
  GD_ROUNDS_TARGET vec_t add_where(u32 m, vec_t x, vec_t y) const {
    return (vec_t)_mm512_mask_add_epi64((__m512i)x, (__mmask8)m, (__m512i)x, (__m512i)y);
  }
  GD_ROUNDS_TARGET vec_t keep_where(u32 m, vec_t x) const {
    return (vec_t)_mm512_maskz_mov_epi64((__mmask8)m, (__m512i)x);
  }
  GD_ROUNDS_TARGET u64 sum(vec_t x) const { return (u64)_mm512_reduce_add_epi64((__m512i)x); }
  GD_ROUNDS_TARGET vec_t gather(const entry_t* table, vec_t index) const {
    return (vec_t)_mm512_i64gather_epi64((__m512i)index, (const long long*)table, 8);
  }
  GD_ROUNDS_TARGET vec_t gather_where(u32 m, vec_t e, const entry_t* table, vec_t index) const {
    return (vec_t)_mm512_mask_i64gather_epi64((__m512i)e, (__mmask8)m, (__m512i)index, (const long long*)table, 8);
  }
  GD_ROUNDS_TARGET void pack_literals(const vec_t* entries, u32 lits, u8* out) const {
    __m128i bytes[GD_NUM_LANES / LANES];
    for (u32 v = 0; v < GD_NUM_LANES / LANES; ++v) bytes[v] = _mm512_cvtepi64_epi8((__m512i)(entries[v] >> 16));
    const __m128i low = _mm_unpacklo_epi64(bytes[0], bytes[1]);
    const __m128i high = _mm_unpacklo_epi64(bytes[2], bytes[3]);
    const __m256i all = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
    _mm256_store_si256((__m256i*)out, _mm256_maskz_compress_epi8(lits, all));
  }
  // One expand hands the next words to the short lanes in lane order.
  GD_ROUNDS_TARGET void refill(vec_t& bits, vec_t& count, const u8*& in) const {
    const __mmask8 short_lanes = _mm512_cmplt_epu64_mask((__m512i)count, _mm512_set1_epi64(32));
    const __m512i words = _mm512_cvtepu32_epi64(_mm256_loadu_si256((const __m256i*)in));
    bits |= (vec_t)_mm512_maskz_expand_epi64(short_lanes, words) << count;
    count = (vec_t)_mm512_mask_add_epi64((__m512i)count, short_lanes, (__m512i)count, _mm512_set1_epi64(32));
    in += 4 * __builtin_popcount(short_lanes);
  }
};

}  // namespace

bool page_decoder_t::decode_wide_rounds(const entry_t* litlen_table, const entry_t* dist_table, u8*& op) {
  return decode_rounds(wide_ops_t(), *this, litlen_table, dist_table, op);
}

#else

bool wide_rounds_supported() { return false; }

bool page_decoder_t::decode_wide_rounds(const entry_t*, const entry_t*, u8*&) { return true; }

#endif

}  // namespace gd_decoder
}  // namespace umbra
