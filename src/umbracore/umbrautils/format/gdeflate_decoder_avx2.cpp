// Whole rounds of the page decoder in 256-bit vectors, for CPUs without the 512-bit
// ones: the steps of gdeflate_decoder_wide.cpp with the 32 lanes' bit buffers in eight
// vectors of four. Small tables stand in for the per-lane masks and the compress and
// expand instructions that 256-bit vectors lack.
#include "umbracore/umbrautils/format/gdeflate_decoder_state.h"

#include "umbracore/umbrautils/format/gdeflate_wide.h"

#ifdef GD_WIDE_CODE
#define GD_AVX2_DECODER 1
#define GD_AVX2_TARGET __attribute__((target("avx2,popcnt,bmi")))
#endif

#include <cstring>

namespace umbra {
namespace gd_decoder {

#ifdef GD_AVX2_DECODER
bool avx2_rounds_supported() {
  static const bool supported = cpu_has_feature(CPU_FEATURE_AVX2) && cpu_has_feature(CPU_FEATURE_POPCNT) &&
                                cpu_has_feature(CPU_FEATURE_BMI1);
  return supported;
}

namespace {

constexpr u32 vectors = gd_num_lanes / 4;  // four 64-bit lanes per vector

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

GD_AVX2_TARGET inline __m256i splat(u64 v) { return _mm256_set1_epi64x((long long)v); }
GD_AVX2_TARGET inline __m256i load(const u64* p) { return _mm256_load_si256((const __m256i*)p); }

// The lanes whose sign bit is set, as four bits.
GD_AVX2_TARGET inline u32 sign_bits(__m256i x) { return (u32)_mm256_movemask_pd(_mm256_castsi256_pd(x)); }

// The lanes whose entry has the given kind bit.
template <u64 kind>
GD_AVX2_TARGET inline u32 lanes_of_kind(__m256i e) {
  static_assert((kind & (kind - 1)) == 0, "one kind bit");
  return sign_bits(_mm256_slli_epi64(e, 63 - __builtin_ctzll(kind)));
}

// The lanes whose entry has any of the special kinds.
GD_AVX2_TARGET inline u32 special_lanes(__m256i e) {
  const __m256i none = _mm256_cmpeq_epi64(_mm256_and_si256(e, splat(KIND_SPECIAL)), _mm256_setzero_si256());
  return ~sign_bits(none) & 0xF;
}

// Table entries of all lanes, as in the 512-bit path.
GD_AVX2_TARGET inline void lookup_all(const round_tables_t& t, const entry_t* table, const __m256i* bits, u32 owed,
                                      s64 dist_offset, __m256i* entries) {
  const __m256i offset = splat((u64)dist_offset);
  const __m256i main = splat(main_mask);
  u32 links = 0;
  for (u32 v = 0; v < vectors; ++v) {
    const __m256i owes = load(t.lane_mask[(owed >> 4 * v) & 0xF]);
    const __m256i index = _mm256_add_epi64(_mm256_and_si256(bits[v], main), _mm256_and_si256(owes, offset));
    entries[v] = _mm256_i64gather_epi64((const long long*)table, index, 8);
    links |= lanes_of_kind<KIND_SUBTABLE>(entries[v]) << 4 * v;
  }
  if (links == 0) return;
  const __m256i one = splat(1);
  for (u32 v = 0; v < vectors; ++v) {
    const u32 link = (links >> 4 * v) & 0xF;
    if (!link) continue;
    const __m256i e = entries[v];
    const __m256i sub_bits = _mm256_and_si256(_mm256_srli_epi64(e, 8), splat(0xFF));
    const __m256i sub_mask = _mm256_sub_epi64(_mm256_sllv_epi64(one, sub_bits), one);
    __m256i index = _mm256_and_si256(_mm256_srli_epi64(bits[v], main_bits), sub_mask);
    index = _mm256_add_epi64(index, _mm256_and_si256(_mm256_srli_epi64(e, 32), splat(0xFFFF)));
    const __m256i owes = load(t.lane_mask[(owed >> 4 * v) & 0xF]);
    index = _mm256_add_epi64(index, _mm256_and_si256(owes, offset));
    entries[v] = _mm256_mask_i64gather_epi64(e, (const long long*)table, index, load(t.lane_mask[link]), 8);
  }
}

// Each lane's value (entry_value) for the given entries.
GD_AVX2_TARGET inline __m256i values(__m256i e, __m256i bits) {
  const __m256i codeword_len = _mm256_and_si256(_mm256_srli_epi64(e, 8), splat(0xFF));
  const __m256i base = _mm256_and_si256(_mm256_srli_epi64(e, 32), splat(0xFFFF));
  const __m256i extra = _mm256_and_si256(_mm256_srlv_epi64(bits, codeword_len), _mm256_srli_epi64(e, 48));
  return _mm256_add_epi64(base, extra);
}

// The literal bytes (entry bits 16-23) of eight lanes, in lane order in the low eight
// bytes: the first vector's lanes 0-1 and 2-3 sit in its two halves, the second's 4-5
// and 6-7 likewise, so each half moves its two bytes to their final places, and the
// halves are then folded together.
GD_AVX2_TARGET inline __m128i eight_literals(__m256i first, __m256i second) {
  const s8 z = -128;  // a zero byte
  const __m256i from_first = _mm256_setr_epi8(2, 10, z, z, z, z, z, z, z, z, z, z, z, z, z, z,  //
                                              z, z, 2, 10, z, z, z, z, z, z, z, z, z, z, z, z);
  const __m256i from_second = _mm256_setr_epi8(z, z, z, z, 2, 10, z, z, z, z, z, z, z, z, z, z,  //
                                               z, z, z, z, z, z, 2, 10, z, z, z, z, z, z, z, z);
  const __m256i both = _mm256_or_si256(_mm256_shuffle_epi8(first, from_first), _mm256_shuffle_epi8(second, from_second));
  return _mm_or_si128(_mm256_castsi256_si128(both), _mm256_extracti128_si256(both, 1));
}

// The literal bytes of the lanes in lits, packed in lane order into out (which takes
// eight bytes past the last).
GD_AVX2_TARGET inline void pack_literals(const round_tables_t& t, const __m256i* entries, u32 lits, u8* out) {
  u32 count = 0;
  for (u32 group = 0; group < gd_num_lanes / 8; ++group) {
    const u32 m = (lits >> 8 * group) & 0xFF;
    const __m128i bytes = eight_literals(entries[2 * group], entries[2 * group + 1]);
    const __m128i packed = _mm_shuffle_epi8(bytes, _mm_load_si128((const __m128i*)t.compress[m]));
    _mm_storel_epi64((__m128i*)(out + count), packed);
    count += (u32)__builtin_popcount(m);
  }
}

GD_AVX2_TARGET inline u64 sum_lanes(__m256i x) {
  const __m128i pair = _mm_add_epi64(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
  return (u64)_mm_cvtsi128_si64(pair) + (u64)_mm_extract_epi64(pair, 1);
}

// As the 512-bit path's decode_rounds.
GD_AVX2_TARGET bool decode_rounds(page_decoder_t& d, const entry_t* litlen_table, const entry_t* dist_table,
                                  u8*& op_ref) {
  const round_tables_t& t = round_tables();
  __m256i lane_bits[vectors], lane_count[vectors];
  for (u32 v = 0; v < vectors; ++v) {
    lane_bits[v] = _mm256_loadu_si256((const __m256i*)(d.bits + 4 * v));
    lane_count[v] = _mm256_cvtepu32_epi64(_mm_loadu_si128((const __m128i*)(d.count + 4 * v)));
  }
  u32 owed = d.owing_lanes();
  const s64 dist_offset = dist_table - litlen_table;
  u8* op = op_ref;
  u8* const out_end = d.out + d.out_size;
  const u8* in = d.next;
  alignas(32) u64 value[gd_num_lanes];
  // Literal bytes in lane order; the rest only pads the eight-byte and 32-byte stores.
  alignas(32) u8 literals[2 * gd_num_lanes] = {};

  while (d.end - in >= 4 * (s64)gd_num_lanes) {
    __m256i entries[vectors];
    lookup_all(t, litlen_table, lane_bits, owed, dist_offset, entries);
    u32 special = 0, lengths = 0;
    __m256i advance = _mm256_setzero_si256();
    for (u32 v = 0; v < vectors; ++v) {
      special |= special_lanes(entries[v]) << 4 * v;
      // Distance entries never carry the length kind.
      lengths |= lanes_of_kind<KIND_LENGTH>(entries[v]) << 4 * v;
      const __m256i val = values(entries[v], lane_bits[v]);
      _mm256_store_si256((__m256i*)(value + 4 * v), val);
      advance = _mm256_add_epi64(advance, _mm256_andnot_si256(load(t.lane_mask[(owed >> 4 * v) & 0xF]), val));
    }
    if (special != 0 || sum_lanes(advance) + 32 > (u64)(out_end - op)) break;

    // From here on the round is taken.
    pack_literals(t, entries, ~owed & ~lengths, literals);
    if (!d.write_round(owed, lengths, value, literals, op)) return false;

    // check() of every lane in lane order: the lanes that ran short take the next words.
    for (u32 v = 0; v < vectors; ++v) {
      const __m256i consumed = _mm256_and_si256(entries[v], splat(0xFF));
      const __m256i b = _mm256_srlv_epi64(lane_bits[v], consumed);
      const __m256i c = _mm256_sub_epi64(lane_count[v], consumed);
      const __m256i short_lanes = _mm256_cmpgt_epi64(splat(32), c);
      const u32 taking = sign_bits(short_lanes);
      const __m256i words = _mm256_castsi128_si256(_mm_loadu_si128((const __m128i*)in));
      const __m256i spread =
          _mm256_and_si256(_mm256_permutevar8x32_epi32(words, _mm256_load_si256((const __m256i*)t.expand[taking])),
                           load(t.low_half_mask[taking]));
      lane_bits[v] = _mm256_or_si256(b, _mm256_sllv_epi64(spread, c));
      lane_count[v] = _mm256_add_epi64(c, _mm256_and_si256(short_lanes, splat(32)));
      in += 4 * __builtin_popcount(taking);
    }
    owed = lengths;
  }

  const __m256i low_halves = _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7);
  for (u32 v = 0; v < vectors; ++v) {
    _mm256_storeu_si256((__m256i*)(d.bits + 4 * v), lane_bits[v]);
    const __m256i counts = _mm256_permutevar8x32_epi32(lane_count[v], low_halves);
    _mm_storeu_si128((__m128i*)(d.count + 4 * v), _mm256_castsi256_si128(counts));
  }
  d.next = in;
  op_ref = op;
  return true;
}

}  // namespace

bool page_decoder_t::decode_avx2_rounds(const entry_t* litlen_table, const entry_t* dist_table, u8*& op) {
  return decode_rounds(*this, litlen_table, dist_table, op);
}

#else

bool avx2_rounds_supported() { return false; }

bool page_decoder_t::decode_avx2_rounds(const entry_t*, const entry_t*, u8*&) { return true; }

#endif

}  // namespace gd_decoder
}  // namespace umbra
