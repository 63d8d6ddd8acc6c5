// Block layout over the lanes. Fixed and dynamic blocks share the symbol schedule: the
// lanes take the symbols in turn, a lane that wrote a length writes that match's
// distance on its next turn, and the distances still owed at the end of the block
// follow the end-of-block symbol from the lane after it onwards.
#include "umbracore/umbrautils/format/gdeflate_block_writer.h"

#include <cstring>

#include "umbracore/umbrautils/format/gdeflate_huffman.h"

namespace umbra {

void gd_block_stats_t::clear() {
  std::memset(litlen, 0, sizeof(litlen));
  std::memset(dist, 0, sizeof(dist));
  extra_bits = 0;
  litlen[GD_END_OF_BLOCK] = 1;
}

void gd_build_dynamic_code(const gd_block_stats_t& stats, gd_code_t& code) {
  gd_build_code_lengths(stats.litlen, GD_NUM_LITLEN_SYMS, GD_MAX_CODEWORD_LEN, code.litlen_lens);
  gd_build_code_lengths(stats.dist, GD_NUM_DIST_SYMS, GD_MAX_CODEWORD_LEN, code.dist_lens);
  gd_build_codewords(code.litlen_lens, GD_NUM_LITLEN_SYMS, code.litlen_codewords);
  gd_build_codewords(code.dist_lens, GD_NUM_DIST_SYMS, code.dist_codewords);
}

const gd_code_t& gd_fixed_code() {
  static const struct fixed_t {
    gd_code_t code;
    fixed_t() {
      for (u32 s = 0; s < GD_NUM_LITLEN_SYMS; ++s) code.litlen_lens[s] = gd_fixed_litlen_len(s);
      std::memset(code.dist_lens, GD_FIXED_DIST_LEN, sizeof(code.dist_lens));
      gd_build_codewords(code.litlen_lens, GD_NUM_LITLEN_SYMS, code.litlen_codewords);
      gd_build_codewords(code.dist_lens, GD_NUM_DIST_SYMS, code.dist_codewords);
    }
  } fixed;
  return fixed.code;
}

// Run-length codes the code lengths with symbols 16 (repeat the previous 3-6 times),
// 17 (3-10 zeros) and 18 (11-138 zeros); runs may cross into the distance lengths.
void gd_build_dynamic_header(const gd_code_t& code, gd_dynamic_header_t& h) {
  u32 num_litlen = GD_NUM_LITLEN_SYMS;
  while (num_litlen > 257 && code.litlen_lens[num_litlen - 1] == 0) --num_litlen;
  u32 num_dist = GD_NUM_DIST_SYMS;
  while (num_dist > 1 && code.dist_lens[num_dist - 1] == 0) --num_dist;
  h.num_litlen = num_litlen;
  h.num_dist = num_dist;

  u8 lens[GD_NUM_LITLEN_SYMS + GD_NUM_DIST_SYMS];
  std::memcpy(lens, code.litlen_lens, num_litlen);
  std::memcpy(lens + num_litlen, code.dist_lens, num_dist);
  const u32 total = num_litlen + num_dist;

  u32 freq[GD_NUM_PRECODE_SYMS] = {};
  u32 n = 0;
  for (u32 i = 0; i < total;) {
    const u8 len = lens[i];
    u32 run = 1;
    while (i + run < total && lens[i + run] == len) ++run;
    i += run;
    if (len == 0) {
      while (run >= 11) {
        const u32 r = run < 138 ? run : 138;
        h.items[n++] = 18 | (r - 11) << 8;
        run -= r;
      }
      if (run >= 3) {
        h.items[n++] = 17 | (run - 3) << 8;
        run = 0;
      }
    } else {
      h.items[n++] = len;
      --run;
      while (run >= 3) {
        const u32 r = run < 6 ? run : 6;
        h.items[n++] = 16 | (r - 3) << 8;
        run -= r;
      }
    }
    while (run--) h.items[n++] = len;
  }
  h.num_items = n;
  for (u32 k = 0; k < n; ++k) ++freq[h.items[k] & 0xFF];

  gd_build_code_lengths(freq, GD_NUM_PRECODE_SYMS, GD_MAX_PRECODE_LEN, h.precode_lens);
  gd_build_codewords(h.precode_lens, GD_NUM_PRECODE_SYMS, h.precode_codewords);
  u32 num_precode = GD_NUM_PRECODE_SYMS;
  while (num_precode > 4 && h.precode_lens[GD_PRECODE_ORDER[num_precode - 1]] == 0) --num_precode;
  h.num_precode = num_precode;

  u32 bits = 5 + 5 + 4 + 3 * num_precode;
  static const u8 item_extra[3] = {2, 3, 7};
  for (u32 k = 0; k < n; ++k) {
    const u32 sym = h.items[k] & 0xFF;
    bits += h.precode_lens[sym] + (sym >= 16 ? item_extra[sym - 16] : 0);
  }
  h.bits = bits;
}

u64 gd_huffman_block_bits(const gd_block_stats_t& stats, const gd_code_t& code) {
  u64 bits = 3 + stats.extra_bits;
  for (u32 s = 0; s < GD_NUM_LITLEN_SYMS; ++s) bits += (u64)stats.litlen[s] * code.litlen_lens[s];
  for (u32 s = 0; s < GD_NUM_DIST_SYMS; ++s) bits += (u64)stats.dist[s] * code.dist_lens[s];
  return bits;
}

u64 gd_dynamic_block_bits(const gd_block_stats_t& stats, const gd_code_t& code, const gd_dynamic_header_t& header) {
  return gd_huffman_block_bits(stats, code) + header.bits;
}

u64 gd_stored_bits(u32 bytes) {
  const u32 blocks = bytes == 0 ? 1 : (bytes + GD_MAX_STORED_BLOCK - 1) / GD_MAX_STORED_BLOCK;
  return (u64)blocks * (3 + 16) + 8ull * bytes;
}

void gd_write_stored_blocks(gd_lane_writer_t& w, const u8* data, u32 bytes, bool final_block) {
  do {
    const u32 len = bytes < GD_MAX_STORED_BLOCK ? bytes : GD_MAX_STORED_BLOCK;
    bytes -= len;
    w.put(0, (final_block && bytes == 0 ? 1u : 0u) | GD_BLOCK_STORED << 1, 3);
    w.check(0);
    w.put(0, len, 16);
    for (u32 k = 0; k < len; ++k) {
      const u32 lane = k & (GD_NUM_LANES - 1);
      w.put(lane, data[k], 8);
      w.check(lane);
    }
    data += len;
  } while (bytes != 0);
}

namespace {

void write_dynamic_header(gd_lane_writer_t& w, const gd_dynamic_header_t& h) {
  w.put(0, (h.num_litlen - 257) | (h.num_dist - 1) << 5 | (h.num_precode - 4) << 10, 14);
  w.check(0);
  for (u32 i = 0; i < h.num_precode; ++i) {
    w.put(i, h.precode_lens[GD_PRECODE_ORDER[i]], 3);
    w.check(i);
  }
  static const u8 item_extra[3] = {2, 3, 7};
  for (u32 k = 0; k < h.num_items; ++k) {
    const u32 lane = k & (GD_NUM_LANES - 1);
    const u32 sym = h.items[k] & 0xFF;
    const u32 len = h.precode_lens[sym];
    u32 value = h.precode_codewords[sym];
    u32 bits = len;
    if (sym >= 16) {
      value |= (h.items[k] >> 8) << len;
      bits += item_extra[sym - 16];
    }
    w.put(lane, value, bits);
    w.check(lane);
  }
}

}  // namespace

void gd_write_huffman_block(gd_lane_writer_t& w, bool final_block, const gd_code_t& code,
                            const gd_dynamic_header_t* header, const u32* tokens, u32 count) {
  w.put(0, (final_block ? 1u : 0u) | (header ? GD_BLOCK_DYNAMIC : GD_BLOCK_FIXED) << 1, 3);
  w.check(0);
  if (header) write_dynamic_header(w, *header);

  // Per lane, the distance it owes (codeword and extra bits) and its bit count.
  u32 owed_value[GD_NUM_LANES];
  u32 owed_bits[GD_NUM_LANES] = {};
  u32 lane = 0;
  auto pay_owed = [&](u32 l) {
    w.put(l, owed_value[l], owed_bits[l]);
    w.check(l);
    owed_bits[l] = 0;
  };
  for (u32 i = 0; i < count; ++i) {
    while (owed_bits[lane]) {
      pay_owed(lane);
      lane = (lane + 1) & (GD_NUM_LANES - 1);
    }
    const u32 token = tokens[i];
    if (gd_is_literal(token)) {
      w.put(lane, code.litlen_codewords[token], code.litlen_lens[token]);
    } else {
      const u32 len = token >> 16;
      const u32 dist = token & 0xFFFF;
      const u32 ls = gd_length_slot(len);
      const u32 sym = GD_FIRST_LENGTH_SYM + ls;
      const u32 lbits = code.litlen_lens[sym];
      w.put(lane, code.litlen_codewords[sym] | (len - GD_LENGTH_BASE[ls]) << lbits, lbits + GD_LENGTH_EXTRA[ls]);
      const u32 ds = gd_dist_slot(dist);
      const u32 dbits = code.dist_lens[ds];
      owed_value[lane] = code.dist_codewords[ds] | (dist - GD_DIST_BASE[ds]) << dbits;
      owed_bits[lane] = dbits + GD_DIST_EXTRA[ds];
    }
    w.check(lane);
    lane = (lane + 1) & (GD_NUM_LANES - 1);
  }
  while (owed_bits[lane]) {
    pay_owed(lane);
    lane = (lane + 1) & (GD_NUM_LANES - 1);
  }
  w.put(lane, code.litlen_codewords[GD_END_OF_BLOCK], code.litlen_lens[GD_END_OF_BLOCK]);
  w.check(lane);
  for (u32 k = 1; k < GD_NUM_LANES; ++k) {
    const u32 l = (lane + k) & (GD_NUM_LANES - 1);
    if (owed_bits[l]) pay_owed(l);
  }
}

}  // namespace umbra
