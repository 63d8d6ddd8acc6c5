// Writes DEFLATE blocks into the lanes of a page in the order the decoder reads them,
// and computes the exact bit cost of each block kind so that the encoder can choose.
#pragma once

#include "umbracore/umbrautils/format/gdeflate_format.h"
#include "umbracore/umbrautils/format/gdeflate_lane_writer.h"

namespace umbra {

// A token is a literal (its byte value, below 256) or a match (length << 16 | distance).
inline bool gd_is_literal(u32 token) { return token < 256; }
inline u32 gd_token_length(u32 token) { return gd_is_literal(token) ? 1 : token >> 16; }

struct gd_length_slot_table_t {
  u8 slot[GD_MAX_SHORT_MATCH + 1];
  constexpr gd_length_slot_table_t() : slot() {
    for (u32 i = 0; i + 1 < GD_NUM_LENGTH_SYMS; ++i) {
      const u32 last = GD_LENGTH_BASE[i] + (1u << GD_LENGTH_EXTRA[i]) - 1;
      for (u32 l = GD_LENGTH_BASE[i]; l <= last && l <= GD_MAX_SHORT_MATCH; ++l) slot[l] = (u8)i;
    }
  }
};
inline constexpr gd_length_slot_table_t GD_LENGTH_SLOTS{};

// Length symbol index (0 = symbol 257) of a match length; 258 is 284 with extra 31.
inline u32 gd_length_slot(u32 len) {
  return len <= GD_MAX_SHORT_MATCH ? GD_LENGTH_SLOTS.slot[len] : GD_NUM_LENGTH_SYMS - 1;
}

// Distance symbol of a distance (1..65536).
inline u32 gd_dist_slot(u32 dist) {
  const u32 d = dist - 1;
  if (d < 4) return d;
  const u32 top = 31 - (u32)__builtin_clz(d);
  return 2 * top + ((d >> (top - 1)) & 1);
}

// A Huffman code as the writer needs it.
struct gd_code_t {
  u8 litlen_lens[GD_NUM_LITLEN_SYMS];
  u32 litlen_codewords[GD_NUM_LITLEN_SYMS];
  u8 dist_lens[GD_NUM_DIST_SYMS];
  u32 dist_codewords[GD_NUM_DIST_SYMS];
};

// The code-length section of a dynamic block.
struct gd_dynamic_header_t {
  u32 num_litlen;
  u32 num_dist;
  u32 num_precode;
  u8 precode_lens[GD_NUM_PRECODE_SYMS];
  u32 precode_codewords[GD_NUM_PRECODE_SYMS];
  u32 items[GD_NUM_LITLEN_SYMS + GD_NUM_DIST_SYMS];  // symbol | extra value << 8
  u32 num_items;
  u32 bits;  // everything after the 3 block-header bits, up to the symbols
};

// Symbol frequencies of a block's tokens (end of block included).
struct gd_block_stats_t {
  u32 litlen[GD_NUM_LITLEN_SYMS];
  u32 dist[GD_NUM_DIST_SYMS];
  u64 extra_bits;

  void clear();
  void add(u32 token) {
    if (gd_is_literal(token)) {
      ++litlen[token];
      return;
    }
    const u32 ls = gd_length_slot(token >> 16);
    const u32 ds = gd_dist_slot(token & 0xFFFF);
    ++litlen[GD_FIRST_LENGTH_SYM + ls];
    ++dist[ds];
    extra_bits += GD_LENGTH_EXTRA[ls] + GD_DIST_EXTRA[ds];
  }
  void add_tokens(const u32* tokens, u32 count) {
    for (u32 i = 0; i < count; ++i) add(tokens[i]);
  }
  // Another block's symbols, as if both were one block (with one end of block).
  void add_block(const gd_block_stats_t& other) {
    for (u32 s = 0; s < GD_NUM_LITLEN_SYMS; ++s) litlen[s] += other.litlen[s];
    for (u32 s = 0; s < GD_NUM_DIST_SYMS; ++s) dist[s] += other.dist[s];
    litlen[GD_END_OF_BLOCK] = 1;
    extra_bits += other.extra_bits;
  }
};

// Optimal code for the frequencies (at most 15-bit codewords).
void gd_build_dynamic_code(const gd_block_stats_t& stats, gd_code_t& code);
const gd_code_t& gd_fixed_code();
void gd_build_dynamic_header(const gd_code_t& code, gd_dynamic_header_t& header);

// Exact bit counts, block header included (lane rounding aside).
u64 gd_huffman_block_bits(const gd_block_stats_t& stats, const gd_code_t& code);
u64 gd_dynamic_block_bits(const gd_block_stats_t& stats, const gd_code_t& code, const gd_dynamic_header_t& header);
u64 gd_stored_bits(u32 bytes);

void gd_write_stored_blocks(gd_lane_writer_t& w, const u8* data, u32 bytes, bool final_block);
void gd_write_huffman_block(gd_lane_writer_t& w, bool final_block, const gd_code_t& code,
                            const gd_dynamic_header_t* header, const u32* tokens, u32 count);

}  // namespace umbra
