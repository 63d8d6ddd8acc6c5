// The parser's backward pass in 512-bit vectors (see gdeflate_parse_costs.h): per
// position, sixteen match lengths are weighed at once, with exactly the result of the
// scalar search.
#include "umbracore/umbrautils/format/gdeflate_parse_costs.h"

#include "umbracore/umbrautils/format/gdeflate_wide.h"

#ifdef GD_WIDE_CODE
#define GD_WIDE_PARSER 1
#define GD_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512cd,popcnt,bmi,bmi2")))
#endif

namespace umbra {

#ifdef GD_WIDE_PARSER
bool gd_wide_parser_supported() {
  static const bool supported = gd_cpu_has_avx512_base() && cpu_has_feature(CPU_FEATURE_AVX512CD);
  return supported;
}

namespace {

// Eight 64-bit keys high << 32 | low.
GD_WIDE_TARGET inline __m512i keys(__m256i high, __m256i low) {
  return _mm512_or_si512(_mm512_slli_epi64(_mm512_cvtepu32_epi64(high), 32), _mm512_cvtepu32_epi64(low));
}

// gd_dist_slot of sixteen distances.
GD_WIDE_TARGET inline __m512i dist_slots(__m512i dists) {
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i d = _mm512_sub_epi32(dists, one);
  const __m512i high = _mm512_sub_epi32(_mm512_set1_epi32(31), _mm512_lzcnt_epi32(d));
  const __m512i second = _mm512_and_si512(_mm512_srlv_epi32(d, _mm512_sub_epi32(high, one)), one);
  const __m512i slot = _mm512_add_epi32(_mm512_slli_epi32(high, 1), second);
  return _mm512_mask_mov_epi32(slot, _mm512_cmplt_epu32_mask(d, _mm512_set1_epi32(4)), d);
}

// Sixteen lengths at a time without a branch per recorded match: each length finds its
// match by counting the recorded lengths below it.
GD_WIDE_TARGET u64 cheapest_match(const u32* match, u32 count, u32 limit, const gd_cost_model_t& m,
                                  const u32* cost_here, u32 top) {
  const __m512i one = _mm512_set1_epi32(1);
  const __m512i entries = _mm512_maskz_loadu_epi32((__mmask16)((1u << count) - 1), match);
  const __m512i lens = _mm512_min_epu32(_mm512_srli_epi32(entries, 16), _mm512_set1_epi32((int)limit));
  const __m512i dists = _mm512_and_si512(entries, _mm512_set1_epi32(0xFFFF));
  const __m512i slot = dist_slots(dists);
  const __m512i dcost = _mm512_permutex2var_epi32(_mm512_loadu_si512(m.dist), slot, _mm512_loadu_si512(m.dist + 16));

  // Keys as the scalar version builds them, cost << 32 | length << 16 | distance, so
  // that one unsigned minimum settles cost, then length.
  const __m512i lane = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  __m512i best = _mm512_set1_epi64(-1);
  for (u32 base = GD_MIN_MATCH; base <= top; base += 16) {
    const __m512i lengths = _mm512_add_epi32(_mm512_set1_epi32((int)base), lane);
    const u32 left = top - base + 1;
    const __mmask16 valid = left >= 16 ? (__mmask16)0xFFFF : (__mmask16)((1u << left) - 1);
    // Which recorded match serves each length: the number of them that are shorter.
    __m512i which = _mm512_setzero_si512();
    for (u32 i = 0; i < count; ++i) {
      const __m512i len_i = _mm512_permutexvar_epi32(_mm512_set1_epi32((int)i), lens);
      which = _mm512_mask_add_epi32(which, _mm512_cmpgt_epu32_mask(lengths, len_i), which, one);
    }
    const __m512i own =
        _mm512_add_epi32(_mm512_permutexvar_epi32(which, dcost), _mm512_maskz_loadu_epi32(valid, m.length + base));
    // Lengths past top cost the most there is.
    const __m512i cost =
        _mm512_mask_add_epi32(_mm512_set1_epi32(-1), valid, own, _mm512_maskz_loadu_epi32(valid, cost_here + base));
    const __m512i low = _mm512_or_si512(_mm512_slli_epi32(lengths, 16), _mm512_permutexvar_epi32(which, dists));
    const __m512i first_half = keys(_mm512_castsi512_si256(cost), _mm512_castsi512_si256(low));
    const __m512i second_half = keys(_mm512_extracti64x4_epi64(cost, 1), _mm512_extracti64x4_epi64(low, 1));
    best = _mm512_min_epu64(best, _mm512_min_epu64(first_half, second_half));
  }
  return (u64)_mm512_reduce_min_epu64(best);
}

// gd_cost_pass_scalar's loop, written out again here so that the whole pass is one
// function: the model's vectors and the constants stay in registers from position to
// position, which a call per position had cost 13-16% of the pass.
GD_WIDE_TARGET void cost_pass(const u8* in, u32 begin, u32 end, const u32* match_begin, const u32* match_store,
                              const gd_cost_model_t& m, u32* cost, u32* choice) {
  cost[end] = 0;
  u32 next_cost = 0;
  for (u32 pos = end; pos-- > begin;) {
    u64 best = (u64)(m.literal[in[pos]] + next_cost) << 32;
    const u32 first = match_begin[pos];
    const u32 count = match_begin[pos + 1] - first;
    if (count != 0) {
      const u32* const match = match_store + first;
      const u32 limit = end - pos;
      const u32 longest = match[count - 1] >> 16;
      const u32 top = longest < limit ? longest : limit;
      const u64 found = count <= 16 && top <= GD_MAX_SHORT_MATCH
                            ? cheapest_match(match, count, limit, m, cost + pos, top)
                            : gd_cheapest_match_scalar(match, match + count, limit, m, cost + pos);
      best = found < best ? found : best;
    }
    next_cost = (u32)(best >> 32);
    cost[pos] = next_cost;
    choice[pos] = (u32)best;
  }
}

}  // namespace

void gd_cost_pass_wide(const u8* in, u32 begin, u32 end, const u32* match_begin, const u32* match_store,
                       const gd_cost_model_t& m, u32* cost, u32* choice) {
  cost_pass(in, begin, end, match_begin, match_store, m, cost, choice);
}

#else

bool gd_wide_parser_supported() { return false; }

void gd_cost_pass_wide(const u8* in, u32 begin, u32 end, const u32* match_begin, const u32* match_store,
                       const gd_cost_model_t& m, u32* cost, u32* choice) {
  gd_cost_pass_scalar(in, begin, end, match_begin, match_store, m, cost, choice);
}

#endif

}  // namespace umbra
