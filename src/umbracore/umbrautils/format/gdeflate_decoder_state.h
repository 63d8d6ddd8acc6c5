// State and table format of the GDeflate page decoder, shared by its lane-by-lane path
// (gdeflate_decoder.cpp) and its whole-round paths (gdeflate_decoder_rounds.h, built in
// 512-bit vectors by gdeflate_decoder_wide.cpp and in 256-bit vectors by
// gdeflate_decoder_avx2.cpp). Internal to the decoder.
#pragma once

#include <cstring>

#include "umbracore/umbrautils/format/gdeflate_format.h"

namespace umbra {
namespace gd_decoder {

// Table entries (u64):
//   bits 0-7    bits consumed: codeword and extra bits
//   bits 8-15   codeword length (subtable link: the subtable's index bits)
//   bits 16-23  literal byte
//   bits 24-31  kind: length (opens a match), subtable link, end of block, invalid
//   bits 32-47  base: 1 for a literal, the length or distance base, the code-length
//               symbol, the subtable's start
//   bits 48-63  mask of the extra bits
typedef u64 entry_t;
enum : u64 {
  KIND_LENGTH = 1ull << 24,
  KIND_SUBTABLE = 2ull << 24,
  KIND_END = 4ull << 24,
  KIND_INVALID = 8ull << 24,
  KIND_SPECIAL = KIND_SUBTABLE | KIND_END | KIND_INVALID,
};

constexpr entry_t make_entry(u32 base, u32 extra, u32 literal, u64 kind) {
  return (u64)((1u << extra) - 1) << 48 | (u64)base << 32 | kind | literal << 16;
}
inline u32 entry_base(entry_t e) { return (u32)(e >> 32) & 0xFFFF; }
inline u32 entry_consumed(entry_t e) { return (u32)e & 0xFF; }
inline u32 entry_codeword_len(entry_t e) { return (u32)(e >> 8) & 0xFF; }
// The entry's value: its base plus the extra bits that follow the codeword.
inline u32 entry_value(entry_t e, u64 bits) {
  return entry_base(e) + ((u32)(bits >> entry_codeword_len(e)) & (u32)(e >> 48));
}

constexpr u32 MAIN_BITS = 10;
constexpr u32 MAIN_MASK = (1u << MAIN_BITS) - 1;
constexpr u32 PRECODE_BITS = GD_MAX_PRECODE_LEN;
// Main table plus one subtable of the largest size for every symbol that could need one.
constexpr u32 LITLEN_TABLE_SIZE = (1u << MAIN_BITS) + GD_NUM_LITLEN_SYMS * (1u << (15 - MAIN_BITS));
constexpr u32 DIST_TABLE_SIZE = (1u << MAIN_BITS) + GD_NUM_DIST_SYMS * (1u << (15 - MAIN_BITS));
constexpr u32 PRECODE_TABLE_SIZE = 1u << PRECODE_BITS;

inline entry_t lookup(const entry_t* table, u64 bits) {
  entry_t e = table[bits & MAIN_MASK];
  if (e & KIND_SUBTABLE) {
    e = table[entry_base(e) + ((u32)(bits >> MAIN_BITS) & ((1u << entry_codeword_len(e)) - 1))];
  }
  return e;
}

// Copies a match of len bytes from dist bytes back, writing exactly [dst, dst + len):
// bytes after the match may already hold later literals of the same round.
inline void copy_match(u8* dst, u32 dist, u32 len) {
  const u8* src = dst - dist;
  if (dist >= len) {
    if (len >= 8) {
      if (len <= 16) {
        u64 a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + len - 8, 8);
        std::memcpy(dst, &a, 8);
        std::memcpy(dst + len - 8, &b, 8);
      } else {
        std::memcpy(dst, src, len);
      }
    } else if (len >= 4) {
      u32 a, b;
      std::memcpy(&a, src, 4);
      std::memcpy(&b, src + len - 4, 4);
      std::memcpy(dst, &a, 4);
      std::memcpy(dst + len - 4, &b, 4);
    } else {
      dst[0] = src[0];
      dst[1] = src[1];
      dst[2] = src[2];
    }
    return;
  }
  if (dist == 1) {
    std::memset(dst, src[0], len);
    return;
  }
  // Overlapping copy: the repeated pattern doubles with every step.
  u32 done = 0;
  u32 span = dist;
  while (done < len) {
    const u32 n = len - done < span ? len - done : span;
    std::memcpy(dst + done, dst + done - span, n);
    done += n;
    span += n;
  }
}

// True where the CPU runs the whole-round path in 512-bit vectors.
bool wide_rounds_supported();
// True where the CPU runs the whole-round path in 256-bit vectors.
bool avx2_rounds_supported();

// Which path decodes whole rounds.
enum round_path_t : u8 { ROUNDS_BY_LANE, ROUNDS_AVX2, ROUNDS_WIDE };

struct page_decoder_t {
  round_path_t rounds;
  u64 bits[GD_NUM_LANES];
  u32 count[GD_NUM_LANES];
  u32 owed_len[GD_NUM_LANES];  // 0: the lane owes no distance
  u8* owed_at[GD_NUM_LANES];   // where the owed match starts
  const u8* next;
  const u8* end;  // end of the page's whole words
  u8* out;
  u32 out_size;
  u32 pos;
  u8 lens[GD_NUM_LITLEN_SYMS + GD_NUM_DIST_SYMS];
  entry_t precode[PRECODE_TABLE_SIZE];
  entry_t litlen[LITLEN_TABLE_SIZE];
  entry_t dist[DIST_TABLE_SIZE];

  // check(L): a lane that holds fewer than 32 bits takes the next word of the page.
  bool refill(u32 lane) {
    if (count[lane] >= 32) return true;
    if (end - next < 4) return false;
    bits[lane] |= (u64)load_le32(next) << count[lane];
    next += 4;
    count[lane] += 32;
    return true;
  }

  u32 take(u32 lane, u32 n) {
    const u32 v = (u32)bits[lane] & ((1u << n) - 1);
    bits[lane] >>= n;
    count[lane] -= n;
    return v;
  }

  bool decode_stored_block();
  bool read_dynamic_header();
  bool decode_symbols(const entry_t* litlen_table, const entry_t* dist_table);
  enum run_result_t { RUN_END, RUN_SHORT, RUN_ERROR };
  template <bool checked>
  run_result_t decode_run(const entry_t* litlen_table, const entry_t* dist_table, u8*& op, u32& lane);
  bool decode_owed_distance(u32 lane, const entry_t* dist_table);
  // The lanes that owe a distance, one bit each.
  u32 owing_lanes() const {
    u32 owed = 0;
    for (u32 lane = 0; lane < GD_NUM_LANES; ++lane) owed |= (u32)(owed_len[lane] != 0) << lane;
    return owed;
  }
  inline bool write_round(u32 owed, u32 lengths, const u64* value, const u8* literals, u8*& op);
  // Whole rounds in 512-bit vectors (gdeflate_decoder_wide.cpp), from lane 0 of a
  // round; stops at a round's start when the block ends or a buffer end comes near.
  // False only for data that the lane-by-lane path would reject as well.
  bool decode_wide_rounds(const entry_t* litlen_table, const entry_t* dist_table, u8*& op);
  // The same in 256-bit vectors (gdeflate_decoder_avx2.cpp).
  bool decode_avx2_rounds(const entry_t* litlen_table, const entry_t* dist_table, u8*& op);
  bool decode_page();
};

// The output of a whole round of the vector paths, once every lane's entry is known:
// the matches of the distances owed from the last round first (every byte before each of
// them is final), then this round's literals in runs between the matches it opens, each
// run one 32-byte store whose tail is overwritten by what follows. value holds each
// lane's entry value; literals the literal bytes in lane order, readable 32 bytes past
// the last. The caller has made sure that the round and one more store fit the output.
// False for a distance before the page's start.
inline bool page_decoder_t::write_round(u32 owed, u32 lengths, const u64* value, const u8* literals, u8*& op) {
  for (u32 m = owed; m != 0; m &= m - 1) {
    const u32 lane = (u32)__builtin_ctz(m);
    u8* at = owed_at[lane];
    if (value[lane] > (u64)(at - out)) return false;
    copy_match(at, (u32)value[lane], owed_len[lane]);
    owed_len[lane] = 0;
  }
  const u32 lits = ~owed & ~lengths;
  u32 written = 0;
  for (u32 m = lengths; m != 0; m &= m - 1) {
    const u32 lane = (u32)__builtin_ctz(m);
    const u32 run = (u32)__builtin_popcount(lits & ((1u << lane) - 1)) - written;
    std::memcpy(op, literals + written, 32);
    op += run;
    written += run;
    owed_at[lane] = op;
    owed_len[lane] = (u32)value[lane];
    op += value[lane];
  }
  std::memcpy(op, literals + written, 32);
  op += (u32)__builtin_popcount(lits) - written;
  return true;
}

}  // namespace gd_decoder
}  // namespace umbra
