// GDeflate page encoder: near-optimal parsing with an iterated cost model.
//
// 1. A binary-tree match finder records, for every position of the page, the longest
//    matches at growing distances (the window is the whole page so far). Pages of
//    near-random bytes only look up the latest three- and four-byte matches, and keep
//    the longer.
// 2. A lazy parse over those matches (the longest match, unless the next position has
//    a clearly longer one) gives the page's first statistics.
// 3. The page is cut into blocks where the statistics of that parse change enough to pay
//    for another code (a shortest-path search over boundaries every 4 KiB).
// 4. Every block is parsed as a minimum-cost path, found backwards under a bit-cost
//    model: first the Huffman code of its share of the lazy parse, then the symbol
//    statistics of the previous round, for a few rounds while a round still gains 0.6%
//    (the first one measured against the lazy parse). Blocks whose bytes would cost no
//    more as literals alone, such as noisy pixels, price literals by their own counts in
//    the first round, and also try a first round from literals alone. Where the CPU has
//    512-bit vectors, each position weighs sixteen match lengths at a time, with the
//    same result. Near-random pages weigh only each position's one match at its full
//    length.
// 5. Each block takes the cheapest of dynamic codes, fixed codes and stored bytes by
//    exact bit count, and neighbouring blocks that cost less under one code than under
//    two become one block.
// 6. The bits are laid out over the lanes, and the page falls back to stored bytes when
//    that is not smaller.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_block_writer.h"
#include "umbracore/umbrautils/format/gdeflate_matchfinder.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"
#include "umbracore/umbrautils/format/gdeflate_parse_costs.h"

namespace umbra {
namespace {

// Search and parse limits: deeper searches and more rounds gain next to nothing on
// the data this encoder is measured on, and cost time.
constexpr u32 NICE_MATCH = 258;
// Flat areas of block-compressed textures (BC3's opaque alpha halves, say) put thousands
// of positions behind one eight-byte prefix, and a descent of 16 nodes often stops short
// of their longest match: such a texture came out 3% larger than at 32, and the corpus's
// BC3 textures 1.8%. 48 gains 0.2% more there; text and code seldom go that deep.
constexpr u32 MAX_SEARCH_DEPTH = 32;
constexpr u32 BLOCK_PASSES = 3;
// Another round only while the last one gained at least 0.6%: each round costs a whole
// parse of its block. On block-compressed textures the first round already gains less.
constexpr u32 MIN_GAIN_PERMILLE = 6;
// Block boundaries are weighed every SPLIT_STEP bytes. Every 2 KiB would make data that
// changes kind every few KiB 0.8% smaller, but the decoder builds its tables once per
// block, and decoding such data then takes 6% longer.
constexpr u32 SPLIT_STEP = 4096;
// Near-random pages gain next to nothing from finer boundaries (0.004% at 4 KiB), and
// the search over them costs about four times as much.
constexpr u32 SPARSE_SPLIT_STEP = 8192;
// Pages whose bytes carry more information than this (bits per byte; block-compressed
// textures with many endpoint bits) have few matches, and the latest position with the
// same first bytes gives nearly all the full search finds there, for less. Text, code,
// records and palette-like textures stay well below it.
constexpr double FULL_SEARCH_ENTROPY = 7.5;
// Blocks up to this size also try a parse made for the fixed code: only there can the
// dynamic header outweigh what the fixed code's worse fit costs.
constexpr u32 FIXED_TRY_LIMIT = 1024;

constexpr u32 PAGE_MAX = GDEFLATE_PAGE_SIZE;
constexpr u32 COST_UNIT = 16;  // costs are in 1/16 bit
// Matches stored per page position on average before only the longest is kept.
constexpr u32 CACHE_ENTRIES = PAGE_MAX * 8;
// Past that budget every position still keeps one match, and the finder writes a whole
// search before it is cut down: room for both, whatever the page holds.
constexpr u32 MATCH_STORE_SIZE = CACHE_ENTRIES + PAGE_MAX + MAX_SEARCH_DEPTH + 2;
constexpr u32 MAX_BLOCKS = PAGE_MAX / SPLIT_STEP + 1;
// Bit cost assumed for a symbol the current code or statistics do not have.
constexpr u32 UNUSED_LITLEN_BITS = 13;
constexpr u32 UNUSED_DIST_BITS = 10;
// A lazy parse defers a match when the next position's longest match is at least this
// much longer.
constexpr u32 LAZY_MARGIN = 2;
constexpr u32 SPLIT_SYMS = GD_NUM_LITLEN_SYMS + GD_NUM_DIST_SYMS;

struct block_t {
  u32 begin;  // byte range in the page
  u32 end;
  u32 first_token;
  u32 token_count;
  gd_block_type_t type;
  gd_code_t code;  // dynamic blocks
  gd_dynamic_header_t header;
  u64 seed_bits;     // the lazy parse's share of the block under the seed code
  u32 seed_matches;  // matches in that share
  u64 bits;          // the block as planned, of its type
  gd_block_stats_t stats;  // of the planned tokens (Huffman-coded blocks)
};

// Symbol counts of the lazy parse up to a split boundary.
struct split_counts_t {
  u32 counts[SPLIT_SYMS];
  u64 extra_bits;
};

}  // namespace

struct gdeflate_encoder_t {
  bool wide_parse;   // the parser may use 512-bit vectors
  bool full_search;  // this page's positions keep every match found, not just the longest
  gd_matchfinder_t finder;
  u32 match_begin[PAGE_MAX + 1];
  u32 match_store[MATCH_STORE_SIZE];
  u32 cost[PAGE_MAX + 1];
  u32 choice[PAGE_MAX + 1];
  u32 page_tokens[PAGE_MAX + 1];   // the lazy parse of the whole page
  u32 block_tokens[PAGE_MAX + 1];  // the final parse, block after block
  u32 trial_tokens[PAGE_MAX + 1];
  split_counts_t split_prefix[MAX_BLOCKS + 1];
  block_t blocks[MAX_BLOCKS];
  u32 block_count;
  gd_block_stats_t stats;
  gd_code_t code;
  gd_dynamic_header_t header;
  u8 stored_page[GDEFLATE_MAX_COMPRESSED_PAGE];
  gd_lane_scratch_t lane_scratch;
};

namespace {

// ---------------------------------------------------------------- match finding

// After a match of len bytes found at pos - 1: inside a long match the positions get no
// matches of their own, only the finder's tables are kept up to date. Returns the
// position after the match (pos itself for a shorter one).
u32 skip_long_match(gdeflate_encoder_t& e, const u8* in, u32 n, u32 pos, u32 len, u32 stored) {
  if (len < NICE_MATCH) return pos;
  const u32 end = pos - 1 + len;
  for (; pos < end; ++pos) {
    e.match_begin[pos] = stored;
    e.finder.skip(in, pos, n, NICE_MATCH, MAX_SEARCH_DEPTH);
  }
  return pos;
}

void find_all_matches(gdeflate_encoder_t& e, const u8* in, u32 n) {
  e.finder.reset(true);
  u32 stored = 0;
  u32 pos = 0;
  while (pos < n) {
    e.match_begin[pos] = stored;
    if (pos + 16 < n) e.finder.prefetch_heads(in, pos + 16, n);
    // The store always has room for one search past what is kept, so the finder writes
    // straight into it.
    u32* const found = e.match_store + stored;
    const u32 count = e.finder.find(in, pos, n, NICE_MATCH, MAX_SEARCH_DEPTH, found);
    ++pos;
    if (count == 0) continue;
    const u32 longest_entry = found[count - 1];
    if (stored + count <= CACHE_ENTRIES) {
      stored += count;
    } else {
      e.match_store[stored++] = longest_entry;
    }
    pos = skip_long_match(e, in, n, pos, longest_entry >> 16, stored);
  }
  e.match_begin[n] = stored;
}

// Near-random pages: one match at most per position, the longer of the latest three-
// and four-byte ones.
void find_nearest_matches(gdeflate_encoder_t& e, const u8* in, u32 n) {
  e.finder.reset(false);
  u32 stored = 0;
  u32 pos = 0;
  const u32 searchable = n >= 4 ? n - 3 : 0;  // positions with the four bytes a match needs
  while (pos < searchable) {
    e.match_begin[pos] = stored;
    if (pos + 16 < n) e.finder.prefetch_heads(in, pos + 16, n);
    const u32 entry = e.finder.nearest(in, pos, n);
    e.match_store[stored] = entry;
    stored += entry != 0;
    pos = skip_long_match(e, in, n, pos + 1, entry >> 16, stored);
  }
  for (; pos <= n; ++pos) e.match_begin[pos] = stored;
}

void find_matches(gdeflate_encoder_t& e, const u8* in, u32 n) {
  if (e.full_search) {
    find_all_matches(e, in, n);
  } else {
    find_nearest_matches(e, in, n);
  }
}

// ---------------------------------------------------------------- cost models

u32 symbol_cost(u8 len, u32 unused_bits) { return (len ? len : unused_bits) * COST_UNIT; }

void model_from_code(const gd_code_t& code, gd_cost_model_t& m) {
  for (u32 b = 0; b < 256; ++b) m.literal[b] = symbol_cost(code.litlen_lens[b], UNUSED_LITLEN_BITS);
  for (u32 l = GD_MIN_MATCH; l <= GD_MAX_SHORT_MATCH; ++l) {
    const u32 slot = gd_length_slot(l);
    m.length[l] = symbol_cost(code.litlen_lens[GD_FIRST_LENGTH_SYM + slot], UNUSED_LITLEN_BITS) +
                  GD_LENGTH_EXTRA[slot] * COST_UNIT;
  }
  m.long_length = symbol_cost(code.litlen_lens[GD_LONG_LENGTH_SYM], UNUSED_LITLEN_BITS) + 16 * COST_UNIT;
  for (u32 s = 0; s < GD_NUM_DIST_SYMS; ++s) {
    m.dist[s] = symbol_cost(code.dist_lens[s], UNUSED_DIST_BITS) + GD_DIST_EXTRA[s] * COST_UNIT;
  }
}

// Symbol costs from the statistics themselves, in fractions of a bit: between rounds
// they follow what the parse does more closely than whole-bit code lengths, which
// converges in fewer rounds.
u32 information_cost(u32 count, u64 total, u32 unused_bits) {
  if (count == 0) return unused_bits * COST_UNIT;
  const double bits = std::log2((double)total / count);
  return (u32)(std::clamp(bits, 1.0, (double)GD_MAX_CODEWORD_LEN) * COST_UNIT + 0.5);
}

void model_from_stats(const gd_block_stats_t& stats, gd_cost_model_t& m) {
  u64 litlen_total = 0;
  u64 dist_total = 0;
  for (u32 s = 0; s < GD_NUM_LITLEN_SYMS; ++s) litlen_total += stats.litlen[s];
  for (u32 s = 0; s < GD_NUM_DIST_SYMS; ++s) dist_total += stats.dist[s];
  for (u32 b = 0; b < 256; ++b) m.literal[b] = information_cost(stats.litlen[b], litlen_total, UNUSED_LITLEN_BITS);
  for (u32 l = GD_MIN_MATCH; l <= GD_MAX_SHORT_MATCH; ++l) {
    const u32 slot = gd_length_slot(l);
    m.length[l] = information_cost(stats.litlen[GD_FIRST_LENGTH_SYM + slot], litlen_total, UNUSED_LITLEN_BITS) +
                  GD_LENGTH_EXTRA[slot] * COST_UNIT;
  }
  m.long_length = information_cost(stats.litlen[GD_LONG_LENGTH_SYM], litlen_total, UNUSED_LITLEN_BITS) + 16 * COST_UNIT;
  for (u32 s = 0; s < GD_NUM_DIST_SYMS; ++s) {
    m.dist[s] = information_cost(stats.dist[s], dist_total, UNUSED_DIST_BITS) + GD_DIST_EXTRA[s] * COST_UNIT;
  }
}

// Entropy of the page's bytes in bits per byte.
double byte_entropy(const u8* in, u32 n) {
  u32 histogram[256] = {};
  for (u32 i = 0; i < n; ++i) ++histogram[in[i]];
  double total_bits = 0;
  for (u32 b = 0; b < 256; ++b) {
    if (histogram[b]) total_bits += std::log2((double)n / histogram[b]) * histogram[b];
  }
  return total_bits / n;
}

// The model of a block fixed-coded.
void fixed_code_model(gd_cost_model_t& m) { model_from_code(gd_fixed_code(), m); }

// ---------------------------------------------------------------- parsing

// Minimum-cost path over [begin, end) under the model; the tokens go to out and their
// statistics to e.stats. Returns the token count.
u32 find_min_cost_path(gdeflate_encoder_t& e, const u8* in, u32 begin, u32 end, const gd_cost_model_t& m,
                       u32* out) {
  const u32* const choice = e.choice;
  if (!e.full_search) {
    gd_cost_pass_longest(in, begin, end, e.match_begin, e.match_store, m, e.cost, e.choice);
  } else if (e.wide_parse) {
    gd_cost_pass_wide(in, begin, end, e.match_begin, e.match_store, m, e.cost, e.choice);
  } else {
    gd_cost_pass_scalar(in, begin, end, e.match_begin, e.match_store, m, e.cost, e.choice);
  }

  u32 count = 0;
  gd_block_stats_t& stats = e.stats;
  stats.clear();
  for (u32 pos = begin; pos < end;) {
    const u32 c = choice[pos];
    if (c == 0) {
      const u8 literal = in[pos++];
      out[count++] = literal;
      ++stats.litlen[literal];
    } else {
      out[count++] = c;
      stats.add(c);
      pos += c >> 16;
    }
  }
  return count;
}

// The longest recorded match at pos (capped at the page end), 0 if none or pos is the
// page end. Whether a position has one is a coin toss on textures: no branch on it.
inline u32 longest_match(const gdeflate_encoder_t& e, u32 pos, u32 n) {
  if (pos >= n) return 0;
  const u32 begin = e.match_begin[pos];
  const u32 end = e.match_begin[pos + 1];
  // Without a match this reads an earlier position's entry (or the first, set at
  // creation), and the result is discarded.
  const u32 entry = e.match_store[end != 0 ? end - 1 : 0];
  const u32 len = std::min(entry >> 16, n - pos);
  return begin != end && len >= GD_MIN_MATCH ? len << 16 | (entry & 0xFFFF) : 0;
}

// Lazy parse of the page into e.page_tokens; returns the token count. It only has to
// give the block splitter and the first models statistics of the right shape.
u32 lazy_parse(gdeflate_encoder_t& e, const u8* in, u32 n) {
  u32 count = 0;
  u32 pos = 0;
  u32 here = longest_match(e, 0, n);
  while (pos < n) {
    const u32 next = longest_match(e, pos + 1, n);
    // A literal unless there is a match here that the next position does not beat by
    // LAZY_MARGIN; written without a branch on it, for the same reason.
    const bool literal = here == 0 || (next >> 16) >= (here >> 16) + LAZY_MARGIN;
    e.page_tokens[count++] = literal ? in[pos] : here;
    pos += literal ? 1 : here >> 16;
    here = literal ? next : longest_match(e, pos, n);
  }
  return count;
}

// ---------------------------------------------------------------- block splitting

struct n_log2_n_table_t {
  float v[PAGE_MAX + 2];
  n_log2_n_table_t() {
    v[0] = 0;
    for (u32 i = 1; i < PAGE_MAX + 2; ++i) v[i] = (float)(i * std::log2((double)i));
  }
};
const float* n_log2_n() {
  static const n_log2_n_table_t table;
  return table.v;
}

// Estimated bits of one dynamic block with the given symbol counts: their entropy, the
// extra bits, and a header of a few bits per symbol in use.
float estimated_block_bits(const split_counts_t& to, const split_counts_t& from, const float* nlogn) {
  u32 lit_total = 1;  // end of block
  u32 dist_total = 0;
  float sum = 0;
  u32 used = 1;
  for (u32 s = 0; s < GD_NUM_LITLEN_SYMS; ++s) {
    const u32 c = to.counts[s] - from.counts[s];
    lit_total += c;
    sum += nlogn[c];
    used += c != 0;
  }
  for (u32 s = GD_NUM_LITLEN_SYMS; s < SPLIT_SYMS; ++s) {
    const u32 c = to.counts[s] - from.counts[s];
    dist_total += c;
    sum += nlogn[c];
    used += c != 0;
  }
  const float header = 3 + 14 + 19 * 3 + 4.0f * (float)used;
  return header + (float)(to.extra_bits - from.extra_bits) + nlogn[lit_total] + nlogn[dist_total] - sum;
}

// Chooses block boundaries on the lazy parse: a shortest path over boundaries every
// SPLIT_STEP (or SPARSE_SPLIT_STEP) bytes, moved to the next token start.
void split_page(gdeflate_encoder_t& e, u32 n, u32 token_count) {
  u32 bound_pos[MAX_BLOCKS + 1];
  split_counts_t* prefix = e.split_prefix;
  split_counts_t running = {};
  u32 bounds = 0;
  bound_pos[0] = 0;
  prefix[0] = running;
  u32 pos = 0;
  const u32 step = e.full_search ? SPLIT_STEP : SPARSE_SPLIT_STEP;
  u32 next_cut = step;
  for (u32 t = 0; t < token_count; ++t) {
    if (pos >= next_cut) {
      ++bounds;
      bound_pos[bounds] = pos;
      prefix[bounds] = running;
      while (next_cut <= pos) next_cut += step;
    }
    const u32 token = e.page_tokens[t];
    if (gd_is_literal(token)) {
      ++running.counts[token];
      ++pos;
    } else {
      const u32 len = token >> 16;
      const u32 ls = gd_length_slot(len);
      const u32 ds = gd_dist_slot(token & 0xFFFF);
      ++running.counts[GD_FIRST_LENGTH_SYM + ls];
      ++running.counts[GD_NUM_LITLEN_SYMS + ds];
      running.extra_bits += GD_LENGTH_EXTRA[ls] + GD_DIST_EXTRA[ds];
      pos += len;
    }
  }
  ++bounds;
  bound_pos[bounds] = n;
  prefix[bounds] = running;

  const float* nlogn = n_log2_n();
  float best[MAX_BLOCKS + 1];
  u32 from[MAX_BLOCKS + 1];
  best[0] = 0;
  for (u32 j = 1; j <= bounds; ++j) {
    best[j] = 3.4e38f;
    for (u32 i = 0; i < j; ++i) {
      const float c = best[i] + estimated_block_bits(prefix[j], prefix[i], nlogn);
      if (c < best[j]) {
        best[j] = c;
        from[j] = i;
      }
    }
  }
  u32 cuts[MAX_BLOCKS + 1];
  u32 count = 0;
  for (u32 j = bounds; j != 0; j = from[j]) cuts[count++] = j;
  e.block_count = count;
  for (u32 b = 0; b < count; ++b) {
    const u32 i = b == 0 ? 0 : cuts[count - b];
    const u32 j = cuts[count - 1 - b];
    block_t& blk = e.blocks[b];
    blk.begin = bound_pos[i];
    blk.end = bound_pos[j];
    // The block's share of the lazy parse seeds its own model.
    gd_block_stats_t& seed = e.stats;
    std::memcpy(seed.litlen, prefix[j].counts, sizeof(seed.litlen));
    for (u32 s = 0; s < GD_NUM_LITLEN_SYMS; ++s) seed.litlen[s] -= prefix[i].counts[s];
    for (u32 s = 0; s < GD_NUM_DIST_SYMS; ++s) {
      seed.dist[s] = prefix[j].counts[GD_NUM_LITLEN_SYMS + s] - prefix[i].counts[GD_NUM_LITLEN_SYMS + s];
    }
    seed.litlen[GD_END_OF_BLOCK] = 1;
    seed.extra_bits = prefix[j].extra_bits - prefix[i].extra_bits;
    blk.seed_matches = 0;
    for (u32 s = GD_FIRST_LENGTH_SYM; s < GD_NUM_LITLEN_SYMS; ++s) blk.seed_matches += seed.litlen[s];
    gd_build_dynamic_code(seed, blk.code);
    gd_build_dynamic_header(blk.code, e.header);
    blk.seed_bits = gd_dynamic_block_bits(seed, blk.code, e.header);
  }
}

// ---------------------------------------------------------------- block planning

// Bits of the block's bytes as literals alone under their own statistics; their counts
// go to histogram.
float literal_only_bits(const u8* in, const block_t& blk, u32 histogram[256]) {
  std::memset(histogram, 0, 256 * sizeof(u32));
  for (u32 i = blk.begin; i < blk.end; ++i) ++histogram[in[i]];
  const float* nlogn = n_log2_n();
  float bits = nlogn[blk.end - blk.begin];
  for (u32 b = 0; b < 256; ++b) bits -= nlogn[histogram[b]];
  return bits;
}

// One round: the block parsed under m into tokens, with e.stats, e.code and e.header
// for what it chose. Returns its bits as a dynamic block.
u64 parse_round(gdeflate_encoder_t& e, const u8* in, const block_t& blk, const gd_cost_model_t& m, u32* tokens,
                u32& count) {
  count = find_min_cost_path(e, in, blk.begin, blk.end, m, tokens);
  gd_build_dynamic_code(e.stats, e.code);
  gd_build_dynamic_header(e.code, e.header);
  return gd_dynamic_block_bits(e.stats, e.code, e.header);
}

// Makes the round just parsed into tokens the block's plan, whose tokens are at out.
void keep_round(gdeflate_encoder_t& e, block_t& blk, u32* out, const u32* tokens, u32 count) {
  if (tokens != out) std::memcpy(out, tokens, count * sizeof(u32));
  blk.token_count = count;
  blk.stats = e.stats;
  blk.code = e.code;
  blk.header = e.header;
}

// The first round of a block, from the code of its share of the lazy parse. The lazy
// parse takes every match it finds; on pixel data most of those are chance matches of
// three or four bytes, and its code prices literals so high that later rounds never
// come back from it (a noisy RGBA texture: 5% larger, and twice the rounds). Where the
// bytes would cost no more as literals alone than the lazy parse does, literals are
// priced by their own counts instead, and the round is also made from literals alone
// (matches priced as symbols not yet seen): pixel noise has two kinds of parse, a few
// long matches over literals and many short ones, each a fixed point of the rounds, and
// only the start decides which one they reach (grey noise: 2.4% smaller from literals,
// coloured noise 8% larger). The cheaper start is kept.
u64 first_round(gdeflate_encoder_t& e, const u8* in, block_t& blk, u32* out) {
  gd_cost_model_t m;
  model_from_code(blk.code, m);
  u32 histogram[256];
  const bool literal_heavy = literal_only_bits(in, blk, histogram) < (float)blk.seed_bits;
  if (literal_heavy) {
    const u64 symbols = (u64)(blk.end - blk.begin) + blk.seed_matches + 1;
    for (u32 b = 0; b < 256; ++b) m.literal[b] = information_cost(histogram[b], symbols, UNUSED_LITLEN_BITS);
  }
  u32 count = 0;
  u64 bits = parse_round(e, in, blk, m, out, count);
  keep_round(e, blk, out, out, count);
  if (!literal_heavy) return bits;

  gd_block_stats_t& literals = e.stats;
  literals.clear();
  std::memcpy(literals.litlen, histogram, sizeof(histogram));
  literals.litlen[GD_END_OF_BLOCK] = 1;
  model_from_stats(literals, m);
  const u64 other = parse_round(e, in, blk, m, e.trial_tokens, count);
  if (other < bits) {
    keep_round(e, blk, out, e.trial_tokens, count);
    bits = other;
  }
  return bits;
}

// Whether a round from before bits to bits gained too little for another.
bool small_gain(u64 before, u64 bits) { return bits < before && before - bits < before / 1000 * MIN_GAIN_PERMILLE; }

// Parses the block with its own model for a few rounds and keeps the cheapest parse
// and kind. blk.code holds the seed code on entry.
void plan_block(gdeflate_encoder_t& e, const u8* in, block_t& blk, u32 first_token) {
  u32* const out = e.block_tokens + first_token;
  blk.first_token = first_token;
  u64 best_bits = first_round(e, in, blk, out);
  // The first round is measured against the lazy parse it refines.
  bool done = small_gain(blk.seed_bits, best_bits);
  gd_cost_model_t model;
  for (u32 pass = 1; pass < BLOCK_PASSES && !done; ++pass) {
    model_from_stats(blk.stats, model);
    u32 count = 0;
    const u64 bits = parse_round(e, in, blk, model, e.trial_tokens, count);
    if (bits >= best_bits) break;
    done = small_gain(best_bits, bits);
    keep_round(e, blk, out, e.trial_tokens, count);
    best_bits = bits;
  }

  u64 fixed_bits = gd_huffman_block_bits(blk.stats, gd_fixed_code());
  const u32 size = blk.end - blk.begin;
  if (size <= FIXED_TRY_LIMIT) {
    // Small blocks may do better with a parse made for the fixed code.
    fixed_code_model(model);
    const u32 count = find_min_cost_path(e, in, blk.begin, blk.end, model, e.trial_tokens);
    const u64 bits = gd_huffman_block_bits(e.stats, gd_fixed_code());
    if (bits < fixed_bits && bits < best_bits) {
      std::memcpy(out, e.trial_tokens, count * sizeof(u32));
      blk.token_count = count;
      blk.stats = e.stats;
      fixed_bits = bits;
      best_bits = ~0ull;  // the dynamic code no longer matches these tokens
    }
  }
  const u64 stored_bits = gd_stored_bits(size);
  if (best_bits <= fixed_bits && best_bits < stored_bits) {
    blk.type = GD_BLOCK_DYNAMIC;
    blk.bits = best_bits;
  } else if (fixed_bits < stored_bits) {
    blk.type = GD_BLOCK_FIXED;
    blk.bits = fixed_bits;
  } else {
    blk.type = GD_BLOCK_STORED;
    blk.bits = stored_bits;
  }
}

// Joins neighbouring Huffman-coded blocks wherever one code for both costs fewer bits
// than their two codes. Boundaries are chosen on the lazy parse's statistics, which
// misjudge what a code costs on small or very compressible blocks (a BC7 texture of
// 128x128 came out 1.2% larger in three blocks than in one); this checks each boundary
// against the planned tokens. The tokens of neighbouring blocks lie back to back.
void merge_blocks(gdeflate_encoder_t& e) {
  u32 count = e.block_count;
  u32 b = 0;
  while (b + 1 < count) {
    block_t& first = e.blocks[b];
    const block_t& second = e.blocks[b + 1];
    if (first.type == GD_BLOCK_STORED || second.type == GD_BLOCK_STORED) {
      ++b;
      continue;
    }
    gd_block_stats_t& joined = e.stats;
    joined = first.stats;
    joined.add_block(second.stats);
    gd_build_dynamic_code(joined, e.code);
    gd_build_dynamic_header(e.code, e.header);
    const u64 dynamic_bits = gd_dynamic_block_bits(joined, e.code, e.header);
    const u64 fixed_bits = gd_huffman_block_bits(joined, gd_fixed_code());
    const u64 bits = std::min(dynamic_bits, fixed_bits);
    if (bits >= first.bits + second.bits) {
      ++b;
      continue;
    }
    first.end = second.end;
    first.token_count += second.token_count;
    first.type = dynamic_bits <= fixed_bits ? GD_BLOCK_DYNAMIC : GD_BLOCK_FIXED;
    first.bits = bits;
    first.stats = joined;
    first.code = e.code;
    first.header = e.header;
    --count;
    for (u32 k = b + 1; k < count; ++k) e.blocks[k] = e.blocks[k + 1];
  }
  e.block_count = count;
}

// ---------------------------------------------------------------- layout

u32 write_stored_page(gdeflate_encoder_t& e, const u8* in, u32 n, u8* out, u32 capacity) {
  gd_lane_writer_t w(out, capacity, e.lane_scratch);
  gd_write_stored_blocks(w, in, n, true);
  return w.finish();
}

u32 write_planned_page(gdeflate_encoder_t& e, const u8* in, u8* out, u32 capacity) {
  gd_lane_writer_t w(out, capacity, e.lane_scratch);
  for (u32 b = 0; b < e.block_count && !w.overflow(); ++b) {
    const block_t& blk = e.blocks[b];
    const bool final_block = b + 1 == e.block_count;
    const u32* tokens = e.block_tokens + blk.first_token;
    if (blk.type == GD_BLOCK_STORED) {
      gd_write_stored_blocks(w, in + blk.begin, blk.end - blk.begin, final_block);
    } else if (blk.type == GD_BLOCK_FIXED) {
      gd_write_huffman_block(w, final_block, gd_fixed_code(), nullptr, tokens, blk.token_count);
    } else {
      gd_write_huffman_block(w, final_block, blk.code, &blk.header, tokens, blk.token_count);
    }
  }
  return w.finish();
}

}  // namespace

gdeflate_encoder_t* gdeflate_encoder_create(bool portable_only) {
  void* block = std::malloc(sizeof(gdeflate_encoder_t));
  if (!block) return nullptr;
  gdeflate_encoder_t* encoder = new (block) gdeflate_encoder_t;
  encoder->wide_parse = !portable_only && gd_wide_parser_supported();
  encoder->match_store[0] = 0;
  return encoder;
}

void gdeflate_encoder_destroy(gdeflate_encoder_t* encoder) {
  if (!encoder) return;
  encoder->~gdeflate_encoder_t();
  std::free(encoder);
}

u32 gdeflate_encode_page(gdeflate_encoder_t& e, const u8* in, u32 n, u8* out, u32 capacity) {
  if (n == 0 || n > PAGE_MAX || capacity < GD_INITIAL_BYTES + 4) return 0;
  e.full_search = byte_entropy(in, n) < FULL_SEARCH_ENTROPY;
  find_matches(e, in, n);
  split_page(e, n, lazy_parse(e, in, n));

  u32 first_token = 0;
  for (u32 b = 0; b < e.block_count; ++b) {
    plan_block(e, in, e.blocks[b], first_token);
    first_token += e.blocks[b].token_count;
  }
  merge_blocks(e);

  u32 size = write_planned_page(e, in, out, capacity);
  // Stored bytes bound every page; take them whenever they are not larger.
  if (size == 0 || size > n) {
    const u32 stored = write_stored_page(e, in, n, e.stored_page, sizeof(e.stored_page));
    if (stored != 0 && (size == 0 || stored <= size) && stored <= capacity) {
      std::memcpy(out, e.stored_page, stored);
      size = stored;
    }
  }
  return size;
}

}  // namespace umbra
