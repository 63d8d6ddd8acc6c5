// GDeflate page decoder. Every lane keeps its own 64-bit bit buffer; the page's words
// are handed to the lanes strictly in the order in which they run short, so the only
// state shared between lanes is the read pointer. Huffman codes are decoded through
// two-level lookup tables whose entries carry the symbol's meaning directly.
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

// Table entry layout: bits 0-3 codeword length (for a subtable link: the main table's
// bits), bits 4-6 kind, bits 8-12 extra-bit count (subtable link: its index bits),
// bits 16-31 value (literal, length or distance base, subtable start, precode symbol).
enum : u32 {
  entry_literal = 0 << 4,  // also: a valid distance or precode symbol
  entry_length = 1 << 4,
  entry_end = 2 << 4,
  entry_subtable = 3 << 4,
  entry_invalid = 4 << 4,
  entry_kind_mask = 7 << 4,
};

constexpr u32 litlen_main_bits = 10;
constexpr u32 dist_main_bits = 8;
constexpr u32 precode_main_bits = gd_max_precode_len;
// Main table plus one subtable of the largest size for every symbol that could need one.
constexpr u32 litlen_table_size = (1u << litlen_main_bits) + gd_num_litlen_syms * (1u << (15 - litlen_main_bits));
constexpr u32 dist_table_size = (1u << dist_main_bits) + gd_num_dist_syms * (1u << (15 - dist_main_bits));
constexpr u32 precode_table_size = 1u << precode_main_bits;

constexpr u32 make_entry(u32 value, u32 extra, u32 kind) { return (value << 16) | (extra << 8) | kind; }

struct symbol_meanings_t {
  u32 litlen[gd_num_litlen_syms];
  u32 dist[gd_num_dist_syms];
  u32 precode[gd_num_precode_syms];

  symbol_meanings_t() {
    for (u32 s = 0; s < 256; ++s) litlen[s] = make_entry(s, 0, entry_literal);
    litlen[gd_end_of_block] = make_entry(0, 0, entry_end);
    for (u32 i = 0; i < gd_num_length_syms; ++i) {
      litlen[gd_first_length_sym + i] = make_entry(gd_length_base[i], gd_length_extra[i], entry_length);
    }
    // 286 and 287 take part in the code's shape but are never valid data.
    litlen[286] = litlen[287] = make_entry(0, 0, entry_invalid);
    for (u32 s = 0; s < gd_num_dist_syms; ++s) dist[s] = make_entry(gd_dist_base[s], gd_dist_extra[s], entry_literal);
    for (u32 s = 0; s < gd_num_precode_syms; ++s) precode[s] = make_entry(s, 0, entry_literal);
  }
};

const symbol_meanings_t& symbol_meanings() {
  static const symbol_meanings_t meanings;
  return meanings;
}

// Builds the lookup table of a canonical code. Over-subscribed codes fail; incomplete
// codes fail too, except a code without any codeword (every lookup then fails) and a
// code with a single 1-bit codeword, both of which valid streams contain.
bool build_decode_table(const u8* lens, u32 num_syms, const u32* meanings, u32 main_bits, u32* table,
                        u32 table_size) {
  u32 count[gd_max_codeword_len + 1] = {};
  for (u32 s = 0; s < num_syms; ++s) ++count[lens[s]];
  count[0] = 0;
  s32 left = 1;
  u32 max_len = 0;
  for (u32 len = 1; len <= gd_max_codeword_len; ++len) {
    left = (left << 1) - (s32)count[len];
    if (left < 0) return false;
    if (count[len]) max_len = len;
  }
  const u32 main_size = 1u << main_bits;
  for (u32 i = 0; i < main_size; ++i) table[i] = entry_invalid;
  if (left > 0) {
    u32 total = 0;
    for (u32 len = 1; len <= gd_max_codeword_len; ++len) total += count[len];
    if (total == 0) return true;
    if (!(total == 1 && count[1] == 1)) return false;
  }

  // Canonical codes: by length, then by symbol.
  u32 next_code[gd_max_codeword_len + 2] = {};
  u32 code = 0;
  for (u32 len = 1; len <= gd_max_codeword_len; ++len) {
    code = (code + count[len - 1]) << 1;
    next_code[len] = code;
  }
  const u32 sub_bits = max_len > main_bits ? max_len - main_bits : 0;
  u32 next_free = main_size;
  for (u32 s = 0; s < num_syms; ++s) {
    const u32 len = lens[s];
    if (len == 0) continue;
    const u32 rev = gd_reverse_bits(next_code[len]++, len);
    const u32 entry = meanings[s] | len;
    if (len <= main_bits) {
      for (u32 i = rev; i < main_size; i += 1u << len) table[i] = entry;
      continue;
    }
    const u32 prefix = rev & (main_size - 1);
    u32 link = table[prefix];
    if ((link & entry_kind_mask) != entry_subtable) {
      if (next_free + (1u << sub_bits) > table_size) return false;
      link = make_entry(next_free, sub_bits, entry_subtable) | main_bits;
      table[prefix] = link;
      for (u32 i = 0; i < (1u << sub_bits); ++i) table[next_free + i] = entry_invalid;
      next_free += 1u << sub_bits;
    }
    u32* sub = table + (link >> 16);
    for (u32 i = rev >> main_bits; i < (1u << sub_bits); i += 1u << (len - main_bits)) sub[i] = entry;
  }
  return true;
}

struct fixed_tables_t {
  u32 litlen[litlen_table_size];
  u32 dist[dist_table_size];

  fixed_tables_t() {
    u8 lens[gd_num_litlen_syms];
    for (u32 s = 0; s < gd_num_litlen_syms; ++s) lens[s] = gd_fixed_litlen_len(s);
    build_decode_table(lens, gd_num_litlen_syms, symbol_meanings().litlen, litlen_main_bits, litlen,
                       litlen_table_size);
    std::memset(lens, gd_fixed_dist_len, gd_num_dist_syms);
    build_decode_table(lens, gd_num_dist_syms, symbol_meanings().dist, dist_main_bits, dist, dist_table_size);
  }
};

const fixed_tables_t& fixed_tables() {
  static const fixed_tables_t tables;
  return tables;
}

inline u32 lookup(const u32* table, u32 main_bits, u64 bits) {
  u32 e = table[bits & ((1u << main_bits) - 1)];
  if ((e & entry_kind_mask) == entry_subtable) {
    e = table[(e >> 16) + ((u32)(bits >> main_bits) & ((1u << ((e >> 8) & 31)) - 1))];
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

struct page_decoder_t {
  u64 bits[gd_num_lanes];
  u32 count[gd_num_lanes];
  u32 pending_len[gd_num_lanes];   // 0: no distance owed by this lane
  u32 pending_start[gd_num_lanes];
  const u8* next;
  const u8* end;  // end of the page's whole words
  u8* out;
  u32 out_size;
  u32 pos;
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
  if (!build_decode_table(precode_lens, gd_num_precode_syms, symbol_meanings().precode, precode_main_bits, precode,
                          precode_table_size)) {
    return false;
  }

  const u32 total = num_litlen + num_dist;
  u32 i = 0;
  for (u32 j = 0; i < total; ++j) {
    const u32 lane = j & (gd_num_lanes - 1);
    const u32 e = precode[bits[lane] & (precode_table_size - 1)];
    if ((e & entry_kind_mask) != entry_literal) return false;
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
  if (!build_decode_table(lens, num_litlen, symbol_meanings().litlen, litlen_main_bits, litlen, litlen_table_size)) {
    return false;
  }
  return build_decode_table(lens + num_litlen, num_dist, symbol_meanings().dist, dist_main_bits, dist,
                            dist_table_size);
}

bool page_decoder_t::decode_owed_distance(u32 lane, const u32* dist_table) {
  u64 bb = bits[lane];
  const u32 e = lookup(dist_table, dist_main_bits, bb);
  if ((e & entry_kind_mask) != entry_literal) return false;
  const u32 n = e & 15;
  const u32 x = (e >> 8) & 31;
  const u32 dist = (e >> 16) + ((u32)(bb >> n) & ((1u << x) - 1));
  bits[lane] = bb >> (n + x);
  count[lane] -= n + x;
  const u32 start = pending_start[lane];
  if (dist > start) return false;
  copy_match(out + start, dist, pending_len[lane]);
  pending_len[lane] = 0;
  return true;
}

// The symbol section of a fixed or dynamic block: lanes read in turn, a lane that read
// a length reads that match's distance on its next turn, and after the end-of-block
// symbol the distances still owed are read lane by lane from the lane after it.
bool page_decoder_t::decode_symbols(const u32* litlen_table, const u32* dist_table) {
  std::memset(pending_len, 0, sizeof(pending_len));
  u8* const base = out;
  u8* const out_end = out + out_size;
  u8* op = out + pos;
  const u8* in = next;
  const u8* const in_end = end;
  u32 lane = 0;
  for (;;) {
    u64 bb = bits[lane];
    u32 cnt = count[lane];
    const u32 owed = pending_len[lane];
    if (owed == 0) {
      const u32 e = lookup(litlen_table, litlen_main_bits, bb);
      const u32 n = e & 15;
      if ((e & entry_kind_mask) == entry_literal) {
        if (op == out_end) return false;
        *op++ = (u8)(e >> 16);
        bb >>= n;
        cnt -= n;
      } else if ((e & entry_kind_mask) == entry_length) {
        const u32 x = (e >> 8) & 31;
        const u32 len = (e >> 16) + ((u32)(bb >> n) & ((1u << x) - 1));
        bb >>= n + x;
        cnt -= n + x;
        if (len > (u64)(out_end - op)) return false;
        pending_len[lane] = len;
        pending_start[lane] = (u32)(op - base);
        op += len;
      } else if ((e & entry_kind_mask) == entry_end) {
        bits[lane] = bb >> n;
        count[lane] = cnt - n;
        break;
      } else {
        return false;
      }
    } else {
      const u32 e = lookup(dist_table, dist_main_bits, bb);
      if ((e & entry_kind_mask) != entry_literal) return false;
      const u32 n = e & 15;
      const u32 x = (e >> 8) & 31;
      const u32 dist = (e >> 16) + ((u32)(bb >> n) & ((1u << x) - 1));
      bb >>= n + x;
      cnt -= n + x;
      const u32 start = pending_start[lane];
      if (dist > start) return false;
      copy_match(base + start, dist, owed);
      pending_len[lane] = 0;
    }
    // check(lane), without a branch on the bit count while whole words remain.
    if (in_end - in >= 4) {
      const u32 need = cnt < 32;
      bb |= ((u64)gd_load_le32(in) & (0 - (u64)need)) << cnt;
      in += need * 4;
      cnt += need * 32;
    } else if (cnt < 32) {
      return false;
    }
    bits[lane] = bb;
    count[lane] = cnt;
    lane = (lane + 1) & (gd_num_lanes - 1);
  }
  next = in;
  pos = (u32)(op - base);

  const u32 last = lane;
  if (!refill(last)) return false;
  for (u32 k = 1; k < gd_num_lanes; ++k) {
    const u32 l = (last + k) & (gd_num_lanes - 1);
    if (pending_len[l] != 0 && !decode_owed_distance(l, dist_table)) return false;
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
