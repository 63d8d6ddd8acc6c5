// GDeflate page decoder. Every lane keeps its own 64-bit bit buffer; the page's words
// are handed to the lanes strictly in the order in which they run short, so the only
// state shared between lanes is the read pointer.
//
// Symbols are decoded a round (32 lanes) at a time without branching on what they are:
// a lane that owes a distance looks in the distance table, any other lane in the
// literal/length table, and both tables' entries carry the value to add to the output
// position (1 for a literal, the length for a match, 0 for a distance). The copies of
// the matches whose distances arrived are done in order at the end of the round; only
// subtables, the end of a block and bad data leave the straight path.
//
// Everything that comes from the page is checked: a fetch past the page's end, an
// invalid or incomplete code, a symbol outside the alphabet, a distance before the
// page's start and any write past the page's output slot all fail the page.
#include <cstring>
#include <new>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/umbrautils/format/gdeflate_format.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace umbra {
namespace {

// Table entries (u32):
//   bits 0-3   codeword length
//   bits 4-6   kind: 0 value, 1 length (value that opens a match), 2 subtable link,
//              4 end of block, 6 invalid
//   bits 8-12  extra-bit count (subtable link: the subtable's index bits)
//   literal/length table: bits 16-23 literal byte, bits 24-31 base (1 for a literal)
//   distance table:       bits 16-31 base
//   subtable link:        bits 16-31 subtable start
//   code-length code:     bits 16-31 symbol
enum : u32 {
  kind_value = 0,
  kind_length = 1 << 4,
  kind_subtable = 2 << 4,
  kind_end = 4 << 4,
  kind_invalid = 6 << 4,
  kind_mask = 7 << 4,
  kind_special = 6 << 4,  // subtable, end or invalid
};

constexpr u32 main_bits = 10;  // both symbol tables, so one mask serves either
constexpr u32 main_mask = (1u << main_bits) - 1;
constexpr u32 precode_bits = gd_max_precode_len;
// Main table plus one subtable of the largest size for every symbol that could need one.
constexpr u32 litlen_table_size = (1u << main_bits) + gd_num_litlen_syms * (1u << (15 - main_bits));
constexpr u32 dist_table_size = (1u << main_bits) + gd_num_dist_syms * (1u << (15 - main_bits));
constexpr u32 precode_table_size = 1u << precode_bits;

struct symbol_meanings_t {
  u32 litlen[gd_num_litlen_syms];
  u32 dist[gd_num_dist_syms];
  u32 precode[gd_num_precode_syms];

  symbol_meanings_t() {
    for (u32 s = 0; s < 256; ++s) litlen[s] = 1u << 24 | s << 16 | kind_value;
    litlen[gd_end_of_block] = kind_end;
    for (u32 i = 0; i < gd_num_length_syms; ++i) {
      litlen[gd_first_length_sym + i] = gd_length_base[i] << 24 | (u32)gd_length_extra[i] << 8 | kind_length;
    }
    // 286 and 287 take part in the code's shape but are never valid data.
    litlen[286] = litlen[287] = kind_invalid;
    for (u32 s = 0; s < gd_num_dist_syms; ++s) dist[s] = gd_dist_base[s] << 16 | (u32)gd_dist_extra[s] << 8;
    for (u32 s = 0; s < gd_num_precode_syms; ++s) precode[s] = s << 16;
  }
};

const symbol_meanings_t& symbol_meanings() {
  static const symbol_meanings_t meanings;
  return meanings;
}

// Builds the lookup table of a canonical code. Over-subscribed codes fail; incomplete
// codes fail too, except a code without any codeword (every lookup then fails) and a
// code with a single 1-bit codeword, both of which valid streams contain.
bool build_decode_table(const u8* lens, u32 num_syms, const u32* meanings, u32 table_bits, u32* table,
                        u32 table_size) {
  u32 count[gd_max_codeword_len + 1] = {};
  for (u32 s = 0; s < num_syms; ++s) ++count[lens[s]];
  count[0] = 0;
  s32 left = 1;
  u32 max_len = 0;
  u32 total = 0;
  for (u32 len = 1; len <= gd_max_codeword_len; ++len) {
    left = (left << 1) - (s32)count[len];
    if (left < 0) return false;
    if (count[len]) max_len = len;
    total += count[len];
  }
  if (left > 0 && total != 0 && !(total == 1 && count[1] == 1)) return false;

  const u32 main_size = 1u << table_bits;
  for (u32 i = 0; i < main_size; ++i) table[i] = kind_invalid;
  u32 next_code[gd_max_codeword_len + 1] = {};
  u32 code = 0;
  for (u32 len = 1; len <= gd_max_codeword_len; ++len) {
    code = (code + count[len - 1]) << 1;
    next_code[len] = code;
  }
  const u32 sub_bits = max_len > table_bits ? max_len - table_bits : 0;
  u32 next_free = main_size;
  for (u32 s = 0; s < num_syms; ++s) {
    const u32 len = lens[s];
    if (len == 0) continue;
    const u32 rev = gd_reverse_bits(next_code[len]++, len);
    const u32 entry = meanings[s] | len;
    if (len <= table_bits) {
      for (u32 i = rev; i < main_size; i += 1u << len) table[i] = entry;
      continue;
    }
    const u32 prefix = rev & (main_size - 1);
    if ((table[prefix] & kind_mask) != kind_subtable) {
      if (next_free + (1u << sub_bits) > table_size) return false;
      table[prefix] = next_free << 16 | sub_bits << 8 | kind_subtable;
      for (u32 i = 0; i < (1u << sub_bits); ++i) table[next_free + i] = kind_invalid;
      next_free += 1u << sub_bits;
    }
    u32* sub = table + (table[prefix] >> 16);
    for (u32 i = rev >> table_bits; i < (1u << sub_bits); i += 1u << (len - table_bits)) sub[i] = entry;
  }
  return true;
}

struct fixed_tables_t {
  u32 litlen[litlen_table_size];
  u32 dist[dist_table_size];

  fixed_tables_t() {
    u8 lens[gd_num_litlen_syms];
    for (u32 s = 0; s < gd_num_litlen_syms; ++s) lens[s] = gd_fixed_litlen_len(s);
    build_decode_table(lens, gd_num_litlen_syms, symbol_meanings().litlen, main_bits, litlen, litlen_table_size);
    std::memset(lens, gd_fixed_dist_len, gd_num_dist_syms);
    build_decode_table(lens, gd_num_dist_syms, symbol_meanings().dist, main_bits, dist, dist_table_size);
  }
};

const fixed_tables_t& fixed_tables() {
  static const fixed_tables_t tables;
  return tables;
}

inline u32 resolve_subtable(const u32* table, u32 e, u64 bits) {
  return table[(e >> 16) + ((u32)(bits >> main_bits) & ((1u << ((e >> 8) & 31)) - 1))];
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

struct page_decoder_t {
  u64 bits[gd_num_lanes];
  u32 count[gd_num_lanes];
  u32 owed_len[gd_num_lanes];  // 0: the lane owes no distance
  u32 owed_start[gd_num_lanes];
  // Matches whose distance arrived in the current round, in arrival order.
  u32 copy_start[gd_num_lanes];
  u32 copy_dist[gd_num_lanes];
  u32 copy_len[gd_num_lanes];
  const u8* next;
  const u8* end;  // end of the page's whole words
  u8* out;
  u32 out_size;
  u32 pos;
  u8 scratch;  // where a distance's non-literal goes
  u8 lens[gd_num_litlen_syms + gd_num_dist_syms];
  u32 precode[precode_table_size];
  u32 litlen[litlen_table_size];
  u32 dist[dist_table_size];

  // check(L): a lane that holds fewer than 32 bits takes the next word of the page.
  bool refill(u32 lane) {
    if (count[lane] >= 32) return true;
    if (end - next < 4) return false;
    bits[lane] |= (u64)gd_load_le32(next) << count[lane];
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

  bool copy_queued(u32 queued) {
    for (u32 i = 0; i < queued; ++i) {
      if (copy_dist[i] > copy_start[i]) return false;
      copy_match(out + copy_start[i], copy_dist[i], copy_len[i]);
    }
    return true;
  }

  bool decode_stored_block();
  bool read_dynamic_header();
  bool decode_symbols(const u32* litlen_table, const u32* dist_table);
  bool decode_owed_distance(u32 lane, const u32* dist_table);
  bool decode_page();
};

bool page_decoder_t::decode_stored_block() {
  const u32 len = take(0, 16);
  if (len > out_size - pos) return false;
  u8* op = out + pos;
  for (u32 k = 0; k < len; ++k) {
    const u32 lane = k & (gd_num_lanes - 1);
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

  u8 precode_lens[gd_num_precode_syms] = {};
  for (u32 i = 0; i < num_precode; ++i) {
    precode_lens[gd_precode_order[i]] = (u8)take(i, 3);
    if (!refill(i)) return false;
  }
  if (!build_decode_table(precode_lens, gd_num_precode_syms, symbol_meanings().precode, precode_bits, precode,
                          precode_table_size)) {
    return false;
  }

  const u32 total = num_litlen + num_dist;
  u32 i = 0;
  for (u32 j = 0; i < total; ++j) {
    const u32 lane = j & (gd_num_lanes - 1);
    const u32 e = precode[bits[lane] & (precode_table_size - 1)];
    if ((e & kind_mask) != kind_value) return false;
    take(lane, e & 15);
    const u32 sym = e >> 16;
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
  if (!build_decode_table(lens, num_litlen, symbol_meanings().litlen, main_bits, litlen, litlen_table_size)) {
    return false;
  }
  return build_decode_table(lens + num_litlen, num_dist, symbol_meanings().dist, main_bits, dist, dist_table_size);
}

bool page_decoder_t::decode_owed_distance(u32 lane, const u32* dist_table) {
  const u64 bb = bits[lane];
  u32 e = dist_table[bb & main_mask];
  if ((e & kind_mask) == kind_subtable) e = resolve_subtable(dist_table, e, bb);
  if ((e & kind_mask) != kind_value) return false;
  const u32 n = e & 15;
  const u32 x = (e >> 8) & 31;
  const u32 distance = (e >> 16) + ((u32)(bb >> n) & ((1u << x) - 1));
  bits[lane] = bb >> (n + x);
  count[lane] -= n + x;
  const u32 start = owed_start[lane];
  if (distance > start) return false;
  copy_match(out + start, distance, owed_len[lane]);
  owed_len[lane] = 0;
  return true;
}

// The symbol section of a fixed or dynamic block: lanes read in turn, a lane that read
// a length reads that match's distance on its next turn, and after the end-of-block
// symbol the distances still owed are read lane by lane from the lane after it.
bool page_decoder_t::decode_symbols(const u32* litlen_table, const u32* dist_table) {
  std::memset(owed_len, 0, sizeof(owed_len));
  u8* const base = out;
  u8* const out_end = out + out_size;
  u8* op = out + pos;
  const u8* in = next;
  const u8* const in_end = end;
  u32 last = 0;  // the lane that read the end of block
  for (bool ended = false; !ended;) {
    // A round fetches at most one word per lane: with that many left, no fetch is checked.
    const bool plenty = in_end - in >= 4 * (s64)gd_num_lanes;
    u32 queued = 0;
    u32 lane = 0;
    for (; lane < gd_num_lanes; ++lane) {
      u64 bb = bits[lane];
      u32 cnt = count[lane];
      const u32 owed = owed_len[lane];
      const u32* table = owed ? dist_table : litlen_table;
      u32 e = table[bb & main_mask];
      if (e & kind_special) {
        if ((e & kind_mask) == kind_subtable) e = resolve_subtable(table, e, bb);
        if (e & kind_special) {
          if ((e & kind_mask) != kind_end || owed) return false;
          const u32 n = e & 15;
          bits[lane] = bb >> n;
          count[lane] = cnt - n;
          ended = true;
          break;
        }
      }
      const u32 n = e & 15;
      const u32 x = (e >> 8) & 31;
      const u32 value = (e >> (owed ? 16 : 24)) + ((u32)(bb >> n) & ((1u << x) - 1));
      bb >>= n + x;
      cnt -= n + x;

      // A distance queues its match's copy; a literal or length moves the output on.
      copy_start[queued] = owed_start[lane];
      copy_dist[queued] = value;
      copy_len[queued] = owed;
      queued += owed != 0;
      const u32 advance = owed ? 0 : value;
      if (advance > (u64)(out_end - op)) return false;
      *(owed ? &scratch : op) = (u8)(e >> 16);
      owed_len[lane] = (e & kind_length) ? value : 0;
      owed_start[lane] = (u32)(op - base);
      op += advance;

      // check(lane), without a branch on the bit count.
      if (plenty || in_end - in >= 4) {
        const u32 need = cnt < 32;
        bb |= ((u64)gd_load_le32(in) & (0 - (u64)need)) << cnt;
        in += need * 4;
        cnt += need * 32;
      } else if (cnt < 32) {
        return false;
      }
      bits[lane] = bb;
      count[lane] = cnt;
    }
    if (!copy_queued(queued)) return false;
    last = lane;
  }
  next = in;
  pos = (u32)(op - base);

  if (!refill(last)) return false;
  for (u32 k = 1; k < gd_num_lanes; ++k) {
    const u32 l = (last + k) & (gd_num_lanes - 1);
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
    if (type == gd_block_stored) {
      ok = decode_stored_block();
    } else if (type == gd_block_fixed) {
      ok = decode_symbols(fixed_tables().litlen, fixed_tables().dist);
    } else if (type == gd_block_dynamic) {
      ok = read_dynamic_header() && decode_symbols(litlen, dist);
    } else {
      ok = false;
    }
    if (!ok) return false;
    if (final_block) return pos == out_size;
  }
}

}  // namespace

bool gdeflate_decode_page(const u8* page, u64 page_size, u8* out, u32 out_size) {
  if (page_size < gd_initial_bytes) return false;
  // The tables are too large for the small stacks some worker threads run on.
  auto_ptr_t<page_decoder_t> state(new (std::nothrow) page_decoder_t);
  if (!state) return false;
  page_decoder_t& d = *state;
  for (u32 lane = 0; lane < gd_num_lanes; ++lane) {
    d.bits[lane] = gd_load_le32(page + 4 * lane);
    d.count[lane] = 32;
  }
  d.next = page + gd_initial_bytes;
  d.end = page + gd_initial_bytes + ((page_size - gd_initial_bytes) & ~(u64)3);
  d.out = out;
  d.out_size = out_size;
  d.pos = 0;
  return d.decode_page();
}

}  // namespace umbra
