// Whole rounds of the page decoder in 256-bit vectors, for CPUs without the 512-bit
// ones (gdeflate_decoder_rounds.h with four lanes per vector). Small tables stand in for
// the per-lane masks and the compress and expand instructions that 256-bit vectors lack.
#include "umbracore/umbrautils/format/gdeflate_decoder_state.h"

#include "umbracore/umbrautils/format/gdeflate_wide.h"

#ifdef GD_WIDE_CODE
#define GD_AVX2_DECODER 1
#define GD_ROUNDS_TARGET __attribute__((target("avx2,popcnt,bmi")))
#include "umbracore/umbrautils/format/gdeflate_decoder_rounds.h"
#endif

namespace umbra {
namespace gd_decoder {

#ifdef GD_AVX2_DECODER
bool avx2_rounds_supported() {
  static const bool supported = cpu_has_feature(CPU_FEATURE_AVX2) && cpu_has_feature(CPU_FEATURE_POPCNT) &&
                                cpu_has_feature(CPU_FEATURE_BMI1);
  return supported;
}

namespace {

struct round_tables_t {
  // Every 64-bit lane whose bit is set in the four-bit index, all ones.
  alignas(32) u64 lane_mask[16][4];
  // The same lanes' low halves only: where expanded words go.
  alignas(32) u64 low_half_mask[16][4];
  // 32-bit indices that give the k-th lane set in the index the k-th of four words.
  alignas(32) u32 expand[16][8];
  // Byte indices that pack the bytes set in the eight-bit index to the front.
  alignas(16) u8 compress[256][16];

  round_tables_t() {
    for (u32 m = 0; m < 16; ++m) {
      u32 rank = 0;
      for (u32 lane = 0; lane < 4; ++lane) {
        const bool set = (m >> lane) & 1;
        lane_mask[m][lane] = set ? ~0ull : 0;
        low_half_mask[m][lane] = set ? 0xFFFFFFFFull : 0;
        expand[m][2 * lane] = set ? rank : 0;
        expand[m][2 * lane + 1] = 0;
        rank += set;
      }
    }
    for (u32 m = 0; m < 256; ++m) {
      u32 k = 0;
      for (u32 byte = 0; byte < 8; ++byte) {
        if ((m >> byte) & 1) compress[m][k++] = (u8)byte;
      }
      while (k < 16) compress[m][k++] = 0x80;  // zero
    }
  }
};

const round_tables_t& round_tables() {
  static const round_tables_t tables;
  return tables;
}

struct avx2_ops_t {
  typedef u64 vec_t __attribute__((vector_size(32)));
  typedef u32 counts_t __attribute__((vector_size(16)));
  static constexpr u32 LANES = 4;
  const round_tables_t& t = round_tables();

  GD_ROUNDS_TARGET vec_t lane_mask(u32 m) const { return (vec_t)_mm256_load_si256((const __m256i*)t.lane_mask[m]); }

  // The lanes whose sign bit is set, as four bits.
  GD_ROUNDS_TARGET static u32 sign_bits(vec_t x) { return (u32)_mm256_movemask_pd(_mm256_castsi256_pd((__m256i)x)); }

  template <u64 kind>
  GD_ROUNDS_TARGET u32 lanes_of_kind(vec_t e) const {
    if constexpr ((kind & (kind - 1)) == 0) return sign_bits(e << (63 - __builtin_ctzll(kind)));
    const __m256i none = _mm256_cmpeq_epi64(_mm256_and_si256((__m256i)e, _mm256_set1_epi64x((long long)kind)),
                                            _mm256_setzero_si256());
    return ~sign_bits((vec_t)none) & 0xF;
  }
  GD_ROUNDS_TARGET vec_t add_where(u32 m, vec_t x, vec_t y) const { return x + (lane_mask(m) & y); }
  GD_ROUNDS_TARGET vec_t keep_where(u32 m, vec_t x) const { return lane_mask(m) & x; }
  GD_ROUNDS_TARGET u64 sum(vec_t x) const {
    const __m128i pair = _mm_add_epi64(_mm256_castsi256_si128((__m256i)x), _mm256_extracti128_si256((__m256i)x, 1));
    return (u64)_mm_cvtsi128_si64(pair) + (u64)_mm_extract_epi64(pair, 1);
  }
  GD_ROUNDS_TARGET vec_t gather(const entry_t* table, vec_t index) const {
    return (vec_t)_mm256_i64gather_epi64((const long long*)table, (__m256i)index, 8);
  }
  GD_ROUNDS_TARGET vec_t gather_where(u32 m, vec_t e, const entry_t* table, vec_t index) const {
    return (vec_t)_mm256_mask_i64gather_epi64((__m256i)e, (const long long*)table, (__m256i)index,
                                              (__m256i)lane_mask(m), 8);
  }

  // The literal bytes (entry bits 16-23) of eight lanes, in lane order in the low eight
  // bytes: the first vector's lanes 0-1 and 2-3 sit in its two halves, the second's 4-5
  // and 6-7 likewise, so each half moves its two bytes to their final places, and the
  // halves are then folded together.
  GD_ROUNDS_TARGET static __m128i eight_literals(vec_t first, vec_t second) {
    const s8 z = -128;  // a zero byte
    const __m256i from_first = _mm256_setr_epi8(2, 10, z, z, z, z, z, z, z, z, z, z, z, z, z, z,  //
                                                z, z, 2, 10, z, z, z, z, z, z, z, z, z, z, z, z);
    const __m256i from_second = _mm256_setr_epi8(z, z, z, z, 2, 10, z, z, z, z, z, z, z, z, z, z,  //
                                                 z, z, z, z, z, z, 2, 10, z, z, z, z, z, z, z, z);
    const __m256i both = _mm256_or_si256(_mm256_shuffle_epi8((__m256i)first, from_first),
                                         _mm256_shuffle_epi8((__m256i)second, from_second));
    return _mm_or_si128(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1));
  }
  GD_ROUNDS_TARGET void pack_literals(const vec_t* entries, u32 lits, u8* out) const {
    u32 count = 0;
    for (u32 group = 0; group < GD_NUM_LANES / 8; ++group) {
      const u32 m = (lits >> 8 * group) & 0xFF;
      const __m128i bytes = eight_literals(entries[2 * group], entries[2 * group + 1]);
      const __m128i packed = _mm_shuffle_epi8(bytes, _mm_load_si128((const __m128i*)t.compress[m]));
      _mm_storel_epi64((__m128i*)(out + count), packed);
      count += (u32)__builtin_popcount(m);
    }
  }
  // A table of word indices stands in for the expand instruction.
  GD_ROUNDS_TARGET void refill(vec_t& bits, vec_t& count, const u8*& in) const {
    const vec_t short_lanes = (vec_t)_mm256_cmpgt_epi64(_mm256_set1_epi64x(32), (__m256i)count);
    const u32 taking = sign_bits(short_lanes);
    const __m256i words = _mm256_castsi128_si256(_mm_loadu_si128((const __m128i*)in));
    const __m256i spread = _mm256_permutevar8x32_epi32(words, _mm256_load_si256((const __m256i*)t.expand[taking]));
    bits |= ((vec_t)spread & (vec_t)_mm256_load_si256((const __m256i*)t.low_half_mask[taking])) << count;
    count += short_lanes & 32;
    in += 4 * __builtin_popcount(taking);
  }
};

}  // namespace

bool page_decoder_t::decode_avx2_rounds(const entry_t* litlen_table, const entry_t* dist_table, u8*& op) {
  return decode_rounds(avx2_ops_t(), *this, litlen_table, dist_table, op);
}

#else

bool avx2_rounds_supported() { return false; }

bool page_decoder_t::decode_avx2_rounds(const entry_t*, const entry_t*, u8*&) { return true; }

#endif

}  // namespace gd_decoder
}  // namespace umbra
