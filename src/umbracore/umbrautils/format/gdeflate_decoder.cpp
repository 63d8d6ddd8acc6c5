// GDeflate page decoder. Every lane keeps its own 64-bit bit buffer; the page's words
// are handed to the lanes strictly in the order in which they run short, so the only
// state shared between lanes is the read pointer.
//
// A lane that owes a distance reads it from the distance table and copies its match at
// once (distances arrive in the order the matches began, so every earlier byte is
// final); any other lane reads the literal/length table, whose entries treat literals
// and lengths alike: a base, an extra-bit mask, the bits to consume and the literal
// byte, so that a literal is a length-1 step of the output without a branch.
//
// Where the CPU has 512-bit vectors, or else 256-bit ones, whole rounds of 32 lanes are
// decoded at once (gdeflate_decoder_wide.cpp, gdeflate_decoder_avx2.cpp); this file's
// lane-by-lane loops finish what they leave.
//
// Everything that comes from the page is checked: a fetch past the page's end, an
// invalid or incomplete code, a symbol outside the alphabet, a distance before the
// page's start and any write past the page's output slot all fail the page.
#include <cstring>
#include <new>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/umbrautils/format/gdeflate_decoder_state.h"
#include "umbracore/umbrautils/format/gdeflate_format.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace umbra {
namespace gd_decoder {
namespace {

struct symbol_meanings_t {
  entry_t litlen[GD_NUM_LITLEN_SYMS];
  entry_t dist[GD_NUM_DIST_SYMS];
  entry_t precode[GD_NUM_PRECODE_SYMS];

  symbol_meanings_t() {
    for (u32 s = 0; s < 256; ++s) litlen[s] = make_entry(1, 0, s, 0);
    litlen[GD_END_OF_BLOCK] = make_entry(0, 0, 0, KIND_END);
    for (u32 i = 0; i < GD_NUM_LENGTH_SYMS; ++i) {
      litlen[GD_FIRST_LENGTH_SYM + i] = make_entry(GD_LENGTH_BASE[i], GD_LENGTH_EXTRA[i], 0, KIND_LENGTH);
    }
    // 286 and 287 take part in the code's shape but are never valid data.
    litlen[286] = litlen[287] = make_entry(0, 0, 0, KIND_INVALID);
    for (u32 s = 0; s < GD_NUM_DIST_SYMS; ++s) dist[s] = make_entry(GD_DIST_BASE[s], GD_DIST_EXTRA[s], 0, 0);
    for (u32 s = 0; s < GD_NUM_PRECODE_SYMS; ++s) precode[s] = make_entry(s, 0, 0, 0);
  }
};

const symbol_meanings_t& symbol_meanings() {
  static const symbol_meanings_t meanings;
  return meanings;
}

// Builds the lookup table of a canonical code. Over-subscribed codes fail; incomplete
// codes fail too, except a code without any codeword (every lookup then fails) and a
// code with a single 1-bit codeword, both of which valid streams contain.
bool build_decode_table(const u8* lens, u32 num_syms, const entry_t* meanings, u32 table_bits, entry_t* table,
                        u32 table_size) {
  u32 count[GD_MAX_CODEWORD_LEN + 1] = {};
  for (u32 s = 0; s < num_syms; ++s) ++count[lens[s]];
  count[0] = 0;
  s32 left = 1;
  u32 max_len = 0;
  u32 total = 0;
  for (u32 len = 1; len <= GD_MAX_CODEWORD_LEN; ++len) {
    left = (left << 1) - (s32)count[len];
    if (left < 0) return false;
    if (count[len]) max_len = len;
    total += count[len];
  }
  if (left > 0 && total != 0 && !(total == 1 && count[1] == 1)) return false;

  // A complete code writes every entry of the table and its subtables; only the codes
  // allowed to be incomplete (none or a single codeword) leave entries to mark invalid.
  // Blocks are a few KiB, so filling the table twice showed in decoding time.
  const bool complete = left == 0;
  const entry_t invalid = make_entry(0, 0, 0, KIND_INVALID);
  const u32 main_size = 1u << table_bits;
  if (!complete) {
    for (u32 i = 0; i < main_size; ++i) table[i] = invalid;
  }
  u32 next_code[GD_MAX_CODEWORD_LEN + 1] = {};
  u32 code = 0;
  for (u32 len = 1; len <= GD_MAX_CODEWORD_LEN; ++len) {
    code = (code + count[len - 1]) << 1;
    next_code[len] = code;
  }
  const u32 sub_bits = max_len > table_bits ? max_len - table_bits : 0;
  u32 next_free = main_size;
  // Which main entries link to a subtable so far: the entries themselves may still
  // hold an earlier block's table.
  static_assert(PRECODE_BITS <= MAIN_BITS, "the precode table is the smaller one");
  u64 linked[(1u << MAIN_BITS) / 64] = {};
  for (u32 s = 0; s < num_syms; ++s) {
    const u32 len = lens[s];
    if (len == 0) continue;
    const u32 rev = gd_reverse_bits(next_code[len]++, len);
    // The extra bits' mask is (1 << extra) - 1.
    const u32 extra_mask = (u32)(meanings[s] >> 48);
    const u32 extra = extra_mask ? 32 - (u32)__builtin_clz(extra_mask) : 0;
    const entry_t entry = meanings[s] | len << 8 | (len + extra);
    if (len <= table_bits) {
      for (u32 i = rev; i < main_size; i += 1u << len) table[i] = entry;
      continue;
    }
    const u32 prefix = rev & (main_size - 1);
    if (!(linked[prefix / 64] >> (prefix % 64) & 1)) {
      linked[prefix / 64] |= 1ull << (prefix % 64);
      if (next_free + (1u << sub_bits) > table_size) return false;
      table[prefix] = make_entry(next_free, 0, 0, KIND_SUBTABLE) | sub_bits << 8;
      if (!complete) {
        for (u32 i = 0; i < (1u << sub_bits); ++i) table[next_free + i] = invalid;
      }
      next_free += 1u << sub_bits;
    }
    entry_t* sub = table + entry_base(table[prefix]);
    for (u32 i = rev >> table_bits; i < (1u << sub_bits); i += 1u << (len - table_bits)) sub[i] = entry;
  }
  return true;
}

struct fixed_tables_t {
  entry_t litlen[LITLEN_TABLE_SIZE];
  entry_t dist[DIST_TABLE_SIZE];

  fixed_tables_t() {
    u8 lens[GD_NUM_LITLEN_SYMS];
    for (u32 s = 0; s < GD_NUM_LITLEN_SYMS; ++s) lens[s] = gd_fixed_litlen_len(s);
    build_decode_table(lens, GD_NUM_LITLEN_SYMS, symbol_meanings().litlen, MAIN_BITS, litlen, LITLEN_TABLE_SIZE);
    std::memset(lens, GD_FIXED_DIST_LEN, GD_NUM_DIST_SYMS);
    build_decode_table(lens, GD_NUM_DIST_SYMS, symbol_meanings().dist, MAIN_BITS, dist, DIST_TABLE_SIZE);
  }
};

const fixed_tables_t& fixed_tables() {
  static const fixed_tables_t tables;
  return tables;
}

}  // namespace

bool page_decoder_t::decode_stored_block() {
  const u32 len = take(0, 16);
  if (len > out_size - pos) return false;
  u8* op = out + pos;
  for (u32 k = 0; k < len; ++k) {
    const u32 lane = k & (GD_NUM_LANES - 1);
    op[k] = (u8)bits[lane];
    bits[lane] >>= 8;
    count[lane] -= 8;
    if (!refill(lane)) return false;
  }
  pos += len;
  return true;
}

bool page_decoder_t::read_dynamic_header() {
  const u32 num_litlen = take(0, 5) + 257;
  const u32 num_dist = take(0, 5) + 1;
  const u32 num_precode = take(0, 4) + 4;
  if (!refill(0)) return false;

  u8 precode_lens[GD_NUM_PRECODE_SYMS] = {};
  for (u32 i = 0; i < num_precode; ++i) {
    precode_lens[GD_PRECODE_ORDER[i]] = (u8)take(i, 3);
    if (!refill(i)) return false;
  }
  if (!build_decode_table(precode_lens, GD_NUM_PRECODE_SYMS, symbol_meanings().precode, PRECODE_BITS, precode,
                          PRECODE_TABLE_SIZE)) {
    return false;
  }

  const u32 total = num_litlen + num_dist;
  u32 i = 0;
  for (u32 j = 0; i < total; ++j) {
    const u32 lane = j & (GD_NUM_LANES - 1);
    const entry_t e = precode[bits[lane] & (PRECODE_TABLE_SIZE - 1)];
    if (e & KIND_SPECIAL) return false;
    take(lane, entry_consumed(e));
    const u32 sym = entry_base(e);
    if (sym < 16) {
      lens[i++] = (u8)sym;
    } else {
      u32 repeat;
      u8 value = 0;
      if (sym == 16) {
        if (i == 0) return false;
        value = lens[i - 1];
        repeat = 3 + take(lane, 2);
      } else if (sym == 17) {
        repeat = 3 + take(lane, 3);
      } else {
        repeat = 11 + take(lane, 7);
      }
      // Runs past the announced count are never written by a sound encoder.
      if (repeat > total - i) return false;
      std::memset(lens + i, value, repeat);
      i += repeat;
    }
    if (!refill(lane)) return false;
  }
  // 286/287 may hold lengths (they shape the code) but decode as invalid.
  if (!build_decode_table(lens, num_litlen, symbol_meanings().litlen, MAIN_BITS, litlen, LITLEN_TABLE_SIZE)) {
    return false;
  }
  return build_decode_table(lens + num_litlen, num_dist, symbol_meanings().dist, MAIN_BITS, dist, DIST_TABLE_SIZE);
}

__attribute__((noinline)) bool page_decoder_t::decode_owed_distance(u32 lane, const entry_t* dist_table) {
  const u64 bb = bits[lane];
  const entry_t e = lookup(dist_table, bb);
  if (e & KIND_SPECIAL) return false;
  const u32 distance = entry_value(e, bb);
  bits[lane] = bb >> entry_consumed(e);
  count[lane] -= entry_consumed(e);
  u8* at = owed_at[lane];
  if (distance > (u64)(at - out)) return false;
  copy_match(at, distance, owed_len[lane]);
  owed_len[lane] = 0;
  return true;
}

// Decodes symbols until a lane reads the end of block (RUN_END, lane left at that lane).
// The unchecked run fetches words without testing the page's end: it goes round by
// round and stops with RUN_SHORT at the start of a round with fewer words left than
// lanes, since a round fetches at most one word per lane.
template <bool checked>
page_decoder_t::run_result_t page_decoder_t::decode_run(const entry_t* litlen_table, const entry_t* dist_table,
                                                        u8*& op_ref, u32& lane_ref) {
  u8* op = op_ref;
  u32 remaining = (u32)(out + out_size - op);
  const u8* in = next;
  const u8* const in_end = end;
  u32 lane = lane_ref;
  run_result_t result = RUN_END;
  for (;;) {
    if (!checked && lane == 0 && in_end - in < 4 * (s64)GD_NUM_LANES) {
      result = RUN_SHORT;
      break;
    }
    u64 bb = bits[lane];
    u32 cnt = count[lane];
    const u32 owed = owed_len[lane];
    if (owed == 0) {
      const entry_t e = lookup(litlen_table, bb);
      if (e & KIND_SPECIAL) {
        if (!(e & KIND_END)) return RUN_ERROR;
        bits[lane] = bb >> entry_consumed(e);
        count[lane] = cnt - entry_consumed(e);
        break;
      }
      // Literal or length alike: the value moves the output on (1 for a literal).
      const u32 value = entry_value(e, bb);
      bb >>= entry_consumed(e);
      cnt -= entry_consumed(e);
      if (value > remaining) return RUN_ERROR;
      remaining -= value;
      *op = (u8)(e >> 16);
      owed_len[lane] = (e & KIND_LENGTH) ? value : 0;
      owed_at[lane] = op;
      op += value;
    } else {
      // Kept out of line: the literal path above gets the registers.
      if (!decode_owed_distance(lane, dist_table)) return RUN_ERROR;
      bb = bits[lane];
      cnt = count[lane];
    }
    // check(lane), without a branch on the bit count.
    if (checked && in_end - in < 4) {
      if (cnt < 32) return RUN_ERROR;
    } else {
      const u32 need = cnt < 32;
      bb |= ((u64)load_le32(in) & (0 - (u64)need)) << cnt;
      in += need * 4;
      cnt += need * 32;
    }
    bits[lane] = bb;
    count[lane] = cnt;
    lane = (lane + 1) & (GD_NUM_LANES - 1);
  }
  next = in;
  op_ref = op;
  lane_ref = lane;
  return result;
}

// The symbol section of a fixed or dynamic block: lanes read in turn, a lane that read
// a length reads that match's distance on its next turn, and after the end-of-block
// symbol the distances still owed are read lane by lane from the lane after it.
bool page_decoder_t::decode_symbols(const entry_t* litlen_table, const entry_t* dist_table) {
  std::memset(owed_len, 0, sizeof(owed_len));
  u8* op = out + pos;
  u32 lane = 0;
  // The wide rounds stop at a round's start (lane 0); the lane-by-lane loops below
  // take it from there.
  if (rounds == ROUNDS_WIDE && !decode_wide_rounds(litlen_table, dist_table, op)) return false;
  if (rounds == ROUNDS_AVX2 && !decode_avx2_rounds(litlen_table, dist_table, op)) return false;
  run_result_t result = decode_run<false>(litlen_table, dist_table, op, lane);
  if (result == RUN_SHORT) result = decode_run<true>(litlen_table, dist_table, op, lane);
  if (result != RUN_END) return false;
  pos = (u32)(op - out);

  const u32 last = lane;
  if (!refill(last)) return false;
  for (u32 k = 1; k < GD_NUM_LANES; ++k) {
    const u32 l = (last + k) & (GD_NUM_LANES - 1);
    if (owed_len[l] != 0 && !decode_owed_distance(l, dist_table)) return false;
    if (!refill(l)) return false;
  }
  return true;
}

bool page_decoder_t::decode_page() {
  for (;;) {
    const u32 final_block = take(0, 1);
    const u32 type = take(0, 2);
    if (!refill(0)) return false;
    bool ok;
    if (type == GD_BLOCK_STORED) {
      ok = decode_stored_block();
    } else if (type == GD_BLOCK_FIXED) {
      ok = decode_symbols(fixed_tables().litlen, fixed_tables().dist);
    } else if (type == GD_BLOCK_DYNAMIC) {
      ok = read_dynamic_header() && decode_symbols(litlen, dist);
    } else {
      ok = false;
    }
    if (!ok) return false;
    if (final_block) return pos == out_size;
  }
}

}  // namespace gd_decoder

struct gdeflate_decoder_t {
  gd_decoder::page_decoder_t state;
};

gdeflate_decoder_t* gdeflate_decoder_create(gdeflate_vectors_t vectors) {
  gdeflate_decoder_t* decoder = new (std::nothrow) gdeflate_decoder_t;
  if (!decoder) return nullptr;
  using namespace gd_decoder;
  const bool wide = vectors == GDEFLATE_VECTORS_BEST && wide_rounds_supported();
  const bool avx2 = vectors != GDEFLATE_VECTORS_NONE && avx2_rounds_supported();
  decoder->state.rounds = wide ? ROUNDS_WIDE : avx2 ? ROUNDS_AVX2 : ROUNDS_BY_LANE;
  return decoder;
}

void gdeflate_decoder_destroy(gdeflate_decoder_t* decoder) { delete decoder; }

bool gdeflate_decode_page(gdeflate_decoder_t& decoder, const u8* page, u64 page_size, u8* out, u32 out_size) {
  if (page_size < GD_INITIAL_BYTES) return false;
  gd_decoder::page_decoder_t& d = decoder.state;
  for (u32 lane = 0; lane < GD_NUM_LANES; ++lane) {
    d.bits[lane] = load_le32(page + 4 * lane);
    d.count[lane] = 32;
  }
  d.next = page + GD_INITIAL_BYTES;
  d.end = page + GD_INITIAL_BYTES + ((page_size - GD_INITIAL_BYTES) & ~(u64)3);
  d.out = out;
  d.out_size = out_size;
  d.pos = 0;
  return d.decode_page();
}

bool gdeflate_decode_page(const u8* page, u64 page_size, u8* out, u32 out_size) {
  // The tables are too large for the small stacks some worker threads run on.
  auto_ptr_t<gdeflate_decoder_t> decoder(gdeflate_decoder_create());
  if (!decoder) return false;
  return gdeflate_decode_page(*decoder, page, page_size, out, out_size);
}

}  // namespace umbra
