// GDeflate page encoder: near-optimal parsing with an iterated cost model.
//
// 1. A binary-tree match finder records, for every position of the page, the longest
//    matches at growing distances (the window is the whole page so far).
// 2. A minimum-cost path over those matches is found backwards under a bit-cost model;
//    the symbol statistics of the path give a Huffman code, whose lengths become the
//    next model. A few rounds settle on a good parse.
// 3. The page is cut into blocks where the statistics change enough to pay for another
//    code (a shortest-path search over 4 KiB steps), and every block is re-parsed with a
//    model of its own.
// 4. Each block takes the cheapest of dynamic codes, fixed codes and stored bytes by
//    exact bit count, the bits are laid out over the lanes, and the page falls back to
//    stored bytes when that is not smaller.
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_block_writer.h"
#include "umbracore/umbrautils/format/gdeflate_matchfinder.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace umbra {
namespace {

constexpr u32 page_max = gdeflate_page_size;
constexpr u32 cost_unit = 16;  // costs are in 1/16 bit
// Search limits of the match finder.
constexpr u32 nice_match = 258;
constexpr u32 max_search_depth = 48;
// Matches stored per page position on average before only the longest is kept.
constexpr u32 cache_entries = page_max * 8;
constexpr u32 page_passes = 2;
constexpr u32 block_passes = 4;
constexpr u32 split_step = 4096;
constexpr u32 max_blocks = page_max / split_step + 1;
// Bit cost assumed for a symbol the current code does not have.
constexpr u32 unused_litlen_bits = 13;
constexpr u32 unused_dist_bits = 10;

struct cost_model_t {
  u32 literal[256];
  u32 length[gd_max_short_match + 1];  // symbol and extra bits
  u32 long_length;                     // lengths above 258: symbol 285 and 16 extra bits
  u32 dist[gd_num_dist_syms];          // symbol and extra bits
};

struct block_t {
  u32 begin;  // byte range in the page
  u32 end;
  u32 first_token;
  u32 token_count;
  gd_block_type_t type;
};

}  // namespace

struct gdeflate_encoder_t {
  gd_matchfinder_t finder;
  u32 match_begin[page_max + 1];
  u32 match_store[cache_entries + 2 * max_search_depth + 2];
  u32 cost[page_max + 1];
  u32 choice[page_max + 1];
  u32 page_tokens[page_max + 1];    // the parse of the whole page
  u32 block_tokens[page_max + 1];   // the final parse, block after block
  u32 trial_tokens[page_max + 1];
  block_t blocks[max_blocks];
  u32 block_count;
  gd_block_stats_t stats;
  gd_code_t code;
  gd_dynamic_header_t header;
  u8 stored_page[gdeflate_max_compressed_page];
};

namespace {

// ---------------------------------------------------------------- match finding

void find_matches(gdeflate_encoder_t& e, const u8* in, u32 n) {
  e.finder.reset();
  u32 stored = 0;
  u32 found[max_search_depth + 2];
  u32 pos = 0;
  while (pos < n) {
    e.match_begin[pos] = stored;
    const u32 count = e.finder.find(in, pos, n, nice_match, max_search_depth, found);
    if (count == 0) {
      ++pos;
      continue;
    }
    if (stored + count <= cache_entries) {
      std::memcpy(e.match_store + stored, found, count * sizeof(u32));
      stored += count;
    } else {
      e.match_store[stored++] = found[count - 1];
    }
    const u32 longest = found[count - 1] >> 16;
    ++pos;
    if (longest >= nice_match) {
      // Inside a long match only the tree is kept up to date.
      const u32 end = pos - 1 + longest;
      for (; pos < end; ++pos) {
        e.match_begin[pos] = stored;
        e.finder.skip(in, pos, n, nice_match, max_search_depth);
      }
    }
  }
  e.match_begin[n] = stored;
}

// ---------------------------------------------------------------- cost models

u32 symbol_cost(u8 len, u32 unused_bits) { return (len ? len : unused_bits) * cost_unit; }

void model_from_code(const gd_code_t& code, cost_model_t& m) {
  for (u32 b = 0; b < 256; ++b) m.literal[b] = symbol_cost(code.litlen_lens[b], unused_litlen_bits);
  for (u32 l = gd_min_match; l <= gd_max_short_match; ++l) {
    const u32 slot = gd_length_slot(l);
    m.length[l] = symbol_cost(code.litlen_lens[gd_first_length_sym + slot], unused_litlen_bits) +
                  gd_length_extra[slot] * cost_unit;
  }
  m.long_length = symbol_cost(code.litlen_lens[gd_long_length_sym], unused_litlen_bits) + 16 * cost_unit;
  for (u32 s = 0; s < gd_num_dist_syms; ++s) {
    m.dist[s] = symbol_cost(code.dist_lens[s], unused_dist_bits) + gd_dist_extra[s] * cost_unit;
  }
}

// A first model from a greedy parse with the longest match everywhere.
void greedy_model(gdeflate_encoder_t& e, const u8* in, u32 begin, u32 end, cost_model_t& m) {
  e.stats.clear();
  for (u32 pos = begin; pos < end;) {
    const u32 mb = e.match_begin[pos];
    const u32 me = e.match_begin[pos + 1];
    u32 token = in[pos];
    if (me != mb) {
      const u32 best = e.match_store[me - 1];
      const u32 len = (best >> 16) < end - pos ? best >> 16 : end - pos;
      if (len >= gd_min_match) token = len << 16 | (best & 0xFFFF);
    }
    e.stats.add(token);
    pos += gd_token_length(token);
  }
  gd_build_dynamic_code(e.stats, e.code);
  model_from_code(e.code, m);
}

// ---------------------------------------------------------------- parsing

// Minimum-cost path over [begin, end) under the model; tokens go to out. Returns the count.
u32 find_min_cost_path(gdeflate_encoder_t& e, const u8* in, u32 begin, u32 end, const cost_model_t& m,
                       u32* out) {
  u32* const cost = e.cost;
  u32* const choice = e.choice;
  cost[end] = 0;
  for (u32 pos = end; pos-- > begin;) {
    u32 best = m.literal[in[pos]] + cost[pos + 1];
    u32 best_choice = 0;
    const u32 mb = e.match_begin[pos];
    const u32 me = e.match_begin[pos + 1];
    const u32 limit = end - pos;
    u32 len = gd_min_match;
    for (u32 k = mb; k < me; ++k) {
      u32 match_len = e.match_store[k] >> 16;
      const u32 dist = e.match_store[k] & 0xFFFF;
      if (match_len > limit) match_len = limit;
      const u32 dcost = m.dist[gd_dist_slot(dist)];
      const u32 short_end = match_len < gd_max_short_match ? match_len : gd_max_short_match;
      for (; len <= short_end; ++len) {
        const u32 c = dcost + m.length[len] + cost[pos + len];
        if (c < best) {
          best = c;
          best_choice = len << 16 | dist;
        }
      }
      const u32 long_cost = dcost + m.long_length;
      for (; len <= match_len; ++len) {
        const u32 c = long_cost + cost[pos + len];
        if (c < best) {
          best = c;
          best_choice = len << 16 | dist;
        }
      }
      if (match_len == limit) break;
    }
    cost[pos] = best;
    choice[pos] = best_choice;
  }
  u32 count = 0;
  for (u32 pos = begin; pos < end;) {
    const u32 c = choice[pos];
    if (c == 0) {
      out[count++] = in[pos++];
    } else {
      out[count++] = c;
      pos += c >> 16;
    }
  }
  return count;
}

// Iterates parse and model on [begin, end), starting from the given model; the best
// parse (by dynamic-block bits) is left in out. Returns its token count.
u32 optimize_range(gdeflate_encoder_t& e, const u8* in, u32 begin, u32 end, cost_model_t& m, u32 passes,
                   u32* out, u64* bits_out) {
  u64 best_bits = ~0ull;
  u32 best_count = 0;
  for (u32 pass = 0; pass < passes; ++pass) {
    u32* tokens = pass == 0 ? out : e.trial_tokens;
    const u32 count = find_min_cost_path(e, in, begin, end, m, tokens);
    e.stats.clear();
    e.stats.add_tokens(tokens, count);
    gd_build_dynamic_code(e.stats, e.code);
    gd_build_dynamic_header(e.code, e.header);
    const u64 bits = gd_dynamic_block_bits(e.stats, e.code, e.header);
    if (bits < best_bits) {
      if (tokens != out) std::memcpy(out, tokens, count * sizeof(u32));
      best_bits = bits;
      best_count = count;
    } else {
      break;
    }
    model_from_code(e.code, m);
  }
  if (bits_out) *bits_out = best_bits;
  return best_count;
}

// ---------------------------------------------------------------- block splitting

// n * log2(n), tabulated for the statistics of one page.
float n_log2_n(u32 n) {
  static const struct table_t {
    float v[page_max + 2];
    table_t() {
      v[0] = 0;
      for (u32 i = 1; i < page_max + 2; ++i) v[i] = (float)(i * std::log2((double)i));
    }
  } table;
  return table.v[n];
}

constexpr u32 split_syms = gd_num_litlen_syms + gd_num_dist_syms;

// Estimated bits of one dynamic block with the given symbol counts.
float estimated_block_bits(const u32* counts, u64 extra_bits) {
  float bits = (float)extra_bits + 3 + 14 + 19 * 3;
  u32 lit_total = 1;  // end of block
  u32 dist_total = 0;
  float lit_sum = 0;
  float dist_sum = 0;
  u32 used = 1;
  for (u32 s = 0; s < gd_num_litlen_syms; ++s) {
    const u32 c = counts[s];
    if (!c) continue;
    lit_total += c;
    lit_sum += n_log2_n(c);
    ++used;
  }
  for (u32 s = gd_num_litlen_syms; s < split_syms; ++s) {
    const u32 c = counts[s];
    if (!c) continue;
    dist_total += c;
    dist_sum += n_log2_n(c);
    ++used;
  }
  bits += n_log2_n(lit_total) - lit_sum + n_log2_n(dist_total) - dist_sum;
  return bits + 4.0f * (float)used;
}

// Chooses block boundaries on the page parse: a shortest path over boundaries at
// split_step bytes (moved to the next token start), each candidate block costed by the
// entropy of its symbols plus an estimate of its code's header.
void split_page(gdeflate_encoder_t& e, u32 n, u32 token_count) {
  u32 bound_pos[max_blocks + 1];
  u32 bound_token[max_blocks + 1];
  static_assert(sizeof(u32) * (max_blocks + 1) * split_syms < 200000, "split statistics stay small");
  u32 (*prefix)[split_syms] = reinterpret_cast<u32 (*)[split_syms]>(e.cost);  // free between parses
  u64 prefix_extra[max_blocks + 1];

  u32 bounds = 0;
  bound_pos[0] = 0;
  bound_token[0] = 0;
  std::memset(prefix[0], 0, sizeof(prefix[0]));
  prefix_extra[0] = 0;
  u32 pos = 0;
  u32 next_cut = split_step;
  u32 counts[split_syms] = {};
  u64 extra = 0;
  for (u32 t = 0; t < token_count; ++t) {
    if (pos >= next_cut) {
      ++bounds;
      bound_pos[bounds] = pos;
      bound_token[bounds] = t;
      std::memcpy(prefix[bounds], counts, sizeof(counts));
      prefix_extra[bounds] = extra;
      while (next_cut <= pos) next_cut += split_step;
    }
    const u32 token = e.page_tokens[t];
    if (gd_is_literal(token)) {
      ++counts[token];
    } else {
      const u32 ls = gd_length_slot(token >> 16);
      const u32 ds = gd_dist_slot(token & 0xFFFF);
      ++counts[gd_first_length_sym + ls];
      ++counts[gd_num_litlen_syms + ds];
      extra += gd_length_extra[ls] + gd_dist_extra[ds];
    }
    pos += gd_token_length(token);
  }
  ++bounds;
  bound_pos[bounds] = n;
  bound_token[bounds] = token_count;
  std::memcpy(prefix[bounds], counts, sizeof(counts));
  prefix_extra[bounds] = extra;

  float best[max_blocks + 1];
  u32 from[max_blocks + 1];
  best[0] = 0;
  for (u32 j = 1; j <= bounds; ++j) {
    best[j] = 3.4e38f;
    for (u32 i = 0; i < j; ++i) {
      u32 seg[split_syms];
      for (u32 s = 0; s < split_syms; ++s) seg[s] = prefix[j][s] - prefix[i][s];
      const float c = best[i] + estimated_block_bits(seg, prefix_extra[j] - prefix_extra[i]);
      if (c < best[j]) {
        best[j] = c;
        from[j] = i;
      }
    }
  }
  u32 cuts[max_blocks + 1];
  u32 count = 0;
  for (u32 j = bounds; j != 0; j = from[j]) cuts[count++] = j;
  e.block_count = count;
  for (u32 b = 0; b < count; ++b) {
    const u32 j = cuts[count - 1 - b];
    const u32 i = b == 0 ? 0 : cuts[count - b];
    e.blocks[b].begin = bound_pos[i];
    e.blocks[b].end = bound_pos[j];
  }
}

// ---------------------------------------------------------------- layout

u32 write_stored_page(const u8* in, u32 n, u8* out, u32 capacity) {
  gd_lane_writer_t w(out, capacity);
  gd_write_stored_blocks(w, in, n, true);
  return w.size();
}

u32 write_planned_page(gdeflate_encoder_t& e, const u8* in, u8* out, u32 capacity) {
  gd_lane_writer_t w(out, capacity);
  for (u32 b = 0; b < e.block_count && !w.overflow(); ++b) {
    const block_t& blk = e.blocks[b];
    const bool final_block = b + 1 == e.block_count;
    const u32* tokens = e.block_tokens + blk.first_token;
    if (blk.type == gd_block_stored) {
      gd_write_stored_blocks(w, in + blk.begin, blk.end - blk.begin, final_block);
    } else if (blk.type == gd_block_fixed) {
      gd_write_huffman_block(w, final_block, gd_fixed_code(), nullptr, tokens, blk.token_count);
    } else {
      e.stats.clear();
      e.stats.add_tokens(tokens, blk.token_count);
      gd_build_dynamic_code(e.stats, e.code);
      gd_build_dynamic_header(e.code, e.header);
      gd_write_huffman_block(w, final_block, e.code, &e.header, tokens, blk.token_count);
    }
  }
  return w.size();
}

// Parses one block with its own model and picks its kind by exact bit count.
void plan_block(gdeflate_encoder_t& e, const u8* in, block_t& blk, u32 first_page_token, u32 page_token_end,
                u32 first_out_token) {
  cost_model_t model;
  e.stats.clear();
  e.stats.add_tokens(e.page_tokens + first_page_token, page_token_end - first_page_token);
  gd_build_dynamic_code(e.stats, e.code);
  model_from_code(e.code, model);

  u32* out = e.block_tokens + first_out_token;
  u64 dynamic_bits = 0;
  const u32 count = optimize_range(e, in, blk.begin, blk.end, model, block_passes, out, &dynamic_bits);

  e.stats.clear();
  e.stats.add_tokens(out, count);
  const u64 fixed_bits = gd_huffman_block_bits(e.stats, gd_fixed_code());
  const u64 stored_bits = gd_stored_bits(blk.end - blk.begin);
  blk.first_token = first_out_token;
  blk.token_count = count;
  if (dynamic_bits <= fixed_bits && dynamic_bits < stored_bits) {
    blk.type = gd_block_dynamic;
  } else if (fixed_bits < stored_bits) {
    blk.type = gd_block_fixed;
  } else {
    blk.type = gd_block_stored;
  }
}

}  // namespace

gdeflate_encoder_t* gdeflate_encoder_create() {
  void* block = std::malloc(sizeof(gdeflate_encoder_t));
  return block ? new (block) gdeflate_encoder_t : nullptr;
}

void gdeflate_encoder_destroy(gdeflate_encoder_t* encoder) {
  if (!encoder) return;
  encoder->~gdeflate_encoder_t();
  std::free(encoder);
}

u32 gdeflate_encode_page(gdeflate_encoder_t& e, const u8* in, u32 n, u8* out, u32 capacity) {
  if (n == 0 || n > page_max || capacity < gd_initial_bytes + 4) return 0;
  find_matches(e, in, n);

  cost_model_t model;
  greedy_model(e, in, 0, n, model);
  const u32 page_token_count = optimize_range(e, in, 0, n, model, page_passes, e.page_tokens, nullptr);
  split_page(e, n, page_token_count);

  u32 page_token = 0;
  u32 out_token = 0;
  for (u32 b = 0; b < e.block_count; ++b) {
    block_t& blk = e.blocks[b];
    // The page parse's tokens inside the block seed the block's model.
    u32 pos = blk.begin;
    u32 first = page_token;
    while (page_token < page_token_count && pos < blk.end) pos += gd_token_length(e.page_tokens[page_token++]);
    plan_block(e, in, blk, first, page_token, out_token);
    out_token += blk.token_count;
  }

  u32 size = write_planned_page(e, in, out, capacity);
  // Stored bytes bound every page; take them whenever they are not larger.
  if (size == 0 || size > n) {
    const u32 stored = write_stored_page(in, n, e.stored_page, sizeof(e.stored_page));
    if (stored != 0 && (size == 0 || stored <= size) && stored <= capacity) {
      std::memcpy(out, e.stored_page, stored);
      size = stored;
    }
  }
  return size;
}

}  // namespace umbra
