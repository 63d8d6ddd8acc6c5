// Whole rounds of the page decoder in 512-bit vectors: the 32 lanes' bit buffers sit
// in four vectors, one gather finds every lane's table entry, and the words a round
// takes are spread over the lanes that ran short by one expand in lane order, which is
// exactly the order in which the lanes would fetch them one by one. Only the owed
// distances and the runs between the matches a round opens are handled per lane.
#include "umbracore/umbrautils/format/gdeflate_decoder_state.h"

#include "umbracore/umbrautils/format/gdeflate_wide.h"

#ifdef GD_WIDE_CODE
#define GD_WIDE_DECODER 1
#define GD_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt,bmi,bmi2")))
#endif

#include <cstring>

namespace umbra {
namespace gd_decoder {

#ifdef GD_WIDE_DECODER
bool wide_rounds_supported() {
  static const bool supported = gd_cpu_has_avx512_base() && cpu_has_feature(CPU_FEATURE_AVX512VBMI2);
  return supported;
}

namespace {

constexpr u32 vectors = gd_num_lanes / 8;  // eight 64-bit lanes per vector

GD_WIDE_TARGET inline __m512i splat(u64 v) { return _mm512_set1_epi64((long long)v); }

// Table entries of all lanes: literal/length entries, or distance entries for the lanes
// that owe one (the distance table is addressed from the literal/length table's start).
// Subtable links are followed; end-of-block and invalid entries are left for the caller.
GD_WIDE_TARGET inline void lookup_all(const entry_t* table, const __m512i* bits, u32 owed, s64 dist_offset,
                                  __m512i* entries) {
  const __m512i offset = splat((u64)dist_offset);
  const __m512i main = splat(main_mask);
  u32 links = 0;
  for (u32 v = 0; v < vectors; ++v) {
    __m512i index = _mm512_and_si512(bits[v], main);
    index = _mm512_mask_add_epi64(index, (__mmask8)(owed >> 8 * v), index, offset);
    entries[v] = _mm512_i64gather_epi64(index, (const long long*)table, 8);
    links |= (u32)_mm512_test_epi64_mask(entries[v], splat(KIND_SUBTABLE)) << 8 * v;
  }
  if (links == 0) return;
  const __m512i one = splat(1);
  for (u32 v = 0; v < vectors; ++v) {
    const __mmask8 link = (__mmask8)(links >> 8 * v);
    if (!link) continue;
    const __m512i e = entries[v];
    const __m512i sub_bits = _mm512_and_si512(_mm512_srli_epi64(e, 8), splat(0xFF));
    const __m512i sub_mask = _mm512_sub_epi64(_mm512_sllv_epi64(one, sub_bits), one);
    __m512i index = _mm512_and_si512(_mm512_srli_epi64(bits[v], main_bits), sub_mask);
    index = _mm512_add_epi64(index, _mm512_and_si512(_mm512_srli_epi64(e, 32), splat(0xFFFF)));
    index = _mm512_mask_add_epi64(index, (__mmask8)(owed >> 8 * v), index, offset);
    entries[v] = _mm512_mask_i64gather_epi64(e, link, index, (const long long*)table, 8);
  }
}

// Each lane's value (entry_value) for the given entries.
GD_WIDE_TARGET inline __m512i values(__m512i e, __m512i bits) {
  const __m512i codeword_len = _mm512_and_si512(_mm512_srli_epi64(e, 8), splat(0xFF));
  const __m512i base = _mm512_and_si512(_mm512_srli_epi64(e, 32), splat(0xFFFF));
  const __m512i extra = _mm512_and_si512(_mm512_srlv_epi64(bits, codeword_len), _mm512_srli_epi64(e, 48));
  return _mm512_add_epi64(base, extra);
}

// The literal bytes of the lanes in lits, packed in lane order.
GD_WIDE_TARGET inline __m256i packed_literals(const __m512i* entries, u32 lits) {
  __m128i bytes[vectors];
  for (u32 v = 0; v < vectors; ++v) bytes[v] = _mm512_cvtepi64_epi8(_mm512_srli_epi64(entries[v], 16));
  const __m128i low = _mm_unpacklo_epi64(bytes[0], bytes[1]);
  const __m128i high = _mm_unpacklo_epi64(bytes[2], bytes[3]);
  const __m256i all = _mm256_inserti128_si256(_mm256_castsi128_si256(low), high, 1);
  return _mm256_maskz_compress_epi8(lits, all);
}

// Decodes whole rounds while the page has a word left for every lane and the output
// slot has room for the round plus one 32-byte store. Returns false only for data that
// the lane-by-lane path would reject as well; any round it does not take (end of block,
// an invalid codeword, a buffer end near) is left untouched for that path.
GD_WIDE_TARGET bool decode_rounds(page_decoder_t& d, const entry_t* litlen_table, const entry_t* dist_table,
                                  u8*& op_ref) {
  __m512i lane_bits[vectors], lane_count[vectors];
  for (u32 v = 0; v < vectors; ++v) {
    lane_bits[v] = _mm512_loadu_si512(d.bits + 8 * v);
    lane_count[v] = _mm512_cvtepu32_epi64(_mm256_loadu_si256((const __m256i*)(d.count + 8 * v)));
  }
  u32 owed = d.owing_lanes();
  const s64 dist_offset = dist_table - litlen_table;
  u8* op = op_ref;
  u8* const out_end = d.out + d.out_size;
  const u8* in = d.next;
  alignas(64) u64 value[gd_num_lanes];
  // Literal bytes in lane order; the upper half only pads the 32-byte stores.
  alignas(32) u8 literals[2 * gd_num_lanes] = {};

  while (d.end - in >= 4 * (s64)gd_num_lanes) {
    __m512i entries[vectors];
    lookup_all(litlen_table, lane_bits, owed, dist_offset, entries);
    u32 special = 0, lengths = 0;
    u64 advance = 0;
    for (u32 v = 0; v < vectors; ++v) {
      special |= (u32)_mm512_test_epi64_mask(entries[v], splat(KIND_SPECIAL)) << 8 * v;
      // Distance entries never carry the length kind.
      lengths |= (u32)_mm512_test_epi64_mask(entries[v], splat(KIND_LENGTH)) << 8 * v;
      const __m512i val = values(entries[v], lane_bits[v]);
      _mm512_store_si512(value + 8 * v, val);
      advance += (u64)_mm512_mask_reduce_add_epi64((__mmask8)(~owed >> 8 * v), val);
    }
    if (special != 0 || advance + 32 > (u64)(out_end - op)) break;

    // From here on the round is taken.
    _mm256_store_si256((__m256i*)literals, packed_literals(entries, ~owed & ~lengths));
    if (!d.write_round(owed, lengths, value, literals, op)) return false;

    // check() of every lane in lane order: the lanes that ran short take the next words.
    for (u32 v = 0; v < vectors; ++v) {
      const __m512i consumed = _mm512_and_si512(entries[v], splat(0xFF));
      const __m512i b = _mm512_srlv_epi64(lane_bits[v], consumed);
      const __m512i c = _mm512_sub_epi64(lane_count[v], consumed);
      const __mmask8 short_lanes = _mm512_cmplt_epu64_mask(c, splat(32));
      const __m512i words = _mm512_cvtepu32_epi64(_mm256_loadu_si256((const __m256i*)in));
      const __m512i spread = _mm512_maskz_expand_epi64(short_lanes, words);
      lane_bits[v] = _mm512_or_si512(b, _mm512_sllv_epi64(spread, c));
      lane_count[v] = _mm512_mask_add_epi64(c, short_lanes, c, splat(32));
      in += 4 * __builtin_popcount(short_lanes);
    }
    owed = lengths;
  }

  for (u32 v = 0; v < vectors; ++v) {
    _mm512_storeu_si512(d.bits + 8 * v, lane_bits[v]);
    _mm256_storeu_si256((__m256i*)(d.count + 8 * v), _mm512_cvtepi64_epi32(lane_count[v]));
  }
  d.next = in;
  op_ref = op;
  return true;
}

}  // namespace

bool page_decoder_t::decode_wide_rounds(const entry_t* litlen_table, const entry_t* dist_table, u8*& op) {
  return decode_rounds(*this, litlen_table, dist_table, op);
}

#else

bool wide_rounds_supported() { return false; }

bool page_decoder_t::decode_wide_rounds(const entry_t*, const entry_t*, u8*&) { return true; }

#endif

}  // namespace gd_decoder
}  // namespace umbra
