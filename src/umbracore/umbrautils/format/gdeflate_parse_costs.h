// The bit-cost model of the page encoder's parser, the search for the cheapest match
// at one position and the backward pass built on it, the parser's inner loop. Costs
// are in 1/16 bit.
#pragma once

#include "umbracore/umbrautils/format/gdeflate_block_writer.h"
#include "umbracore/umbrautils/format/gdeflate_format.h"

namespace umbra {

struct gd_cost_model_t {
  u32 literal[256];
  u32 length[GD_MAX_SHORT_MATCH + 1];  // symbol and extra bits
  u32 long_length;                     // lengths above 258: symbol 285 and 16 extra bits
  u32 dist[GD_NUM_DIST_SYMS];          // symbol and extra bits
};

// The cheapest match at one position: (cost << 32 | length << 16 | distance) over every
// length from 3 up to each recorded match's length (capped at limit), where a length
// takes the nearest recorded distance that reaches it; the shortest length wins ties.
// The recorded matches are (length << 16 | distance), lengths increasing; cost_here[len]
// is the path cost from the match's end. ~0 when nothing fits.
inline u64 gd_cheapest_match_scalar(const u32* match, const u32* match_end, u32 limit, const gd_cost_model_t& m,
                                    const u32* cost_here) {
  u64 best = ~0ull;
  u32 len = GD_MIN_MATCH;
  for (; match != match_end; ++match) {
    const u32 dist = *match & 0xFFFF;
    u32 match_len = *match >> 16;
    if (match_len > limit) match_len = limit;
    const u32 dcost = m.dist[gd_dist_slot(dist)];
    const u32 short_end = match_len < GD_MAX_SHORT_MATCH ? match_len : GD_MAX_SHORT_MATCH;
    for (; len <= short_end; ++len) {
      const u64 v = (u64)(dcost + m.length[len] + cost_here[len]) << 32 | (len << 16 | dist);
      best = v < best ? v : best;
    }
    const u32 long_cost = dcost + m.long_length;
    for (; len <= match_len; ++len) {
      const u64 v = (u64)(long_cost + cost_here[len]) << 32 | (len << 16 | dist);
      best = v < best ? v : best;
    }
    if (match_len == limit) break;
  }
  return best;
}

// The cost of taking a position's one recorded match (length << 16 | distance) at its
// full length (capped at limit): (cost << 32 | length << 16 | distance), ~0 when there
// is none or it is too short. cost_here as in gd_cheapest_match_scalar.
inline u64 gd_full_match_cost(const u32* match, const u32* match_end, u32 limit, const gd_cost_model_t& m,
                              const u32* cost_here) {
  const u32 entry = match != match_end ? *match : 0;
  const u32 len = (entry >> 16) < limit ? entry >> 16 : limit;
  if (len < GD_MIN_MATCH) return ~0ull;
  const u32 dist = entry & 0xFFFF;
  const u32 length_cost = len <= GD_MAX_SHORT_MATCH ? m.length[len] : m.long_length;
  return (u64)(length_cost + m.dist[gd_dist_slot(dist)] + cost_here[len]) << 32 | (len << 16 | dist);
}

// The backward pass of the minimum-cost parse over [begin, end): cost[pos] becomes the
// cost of the cheapest path from pos to end (cost[end] = 0), choice[pos] its first step,
// 0 for a literal or length << 16 | distance. Position pos's recorded matches are
// match_store[match_begin[pos], match_begin[pos + 1]); cheapest is
// gd_cheapest_match_scalar or gd_full_match_cost.
template <u64 (*cheapest)(const u32*, const u32*, u32, const gd_cost_model_t&, const u32*)>
inline void gd_cost_pass(const u8* in, u32 begin, u32 end, const u32* match_begin, const u32* match_store,
                         const gd_cost_model_t& m, u32* cost, u32* choice) {
  cost[end] = 0;
  // The path cost from the next position stays in a register: the literal step is the
  // one dependency from position to position.
  u32 next_cost = 0;
  // Cost and choice share one word so that keeping the minimum needs no branch.
  for (u32 pos = end; pos-- > begin;) {
    u64 best = (u64)(m.literal[in[pos]] + next_cost) << 32;
    const u32* const match = match_store + match_begin[pos];
    const u32* const match_end = match_store + match_begin[pos + 1];
    const u64 found = cheapest(match, match_end, end - pos, m, cost + pos);
    best = found < best ? found : best;
    next_cost = (u32)(best >> 32);
    cost[pos] = next_cost;
    choice[pos] = (u32)best;
  }
}

inline void gd_cost_pass_scalar(const u8* in, u32 begin, u32 end, const u32* match_begin, const u32* match_store,
                                const gd_cost_model_t& m, u32* cost, u32* choice) {
  gd_cost_pass<gd_cheapest_match_scalar>(in, begin, end, match_begin, match_store, m, cost, choice);
}

// The pass for pages where each position keeps at most its longest match, weighed at its
// full length only: on near-random pages its shorter lengths win next to nothing (0.01%
// of the size).
inline void gd_cost_pass_longest(const u8* in, u32 begin, u32 end, const u32* match_begin, const u32* match_store,
                                 const gd_cost_model_t& m, u32* cost, u32* choice) {
  gd_cost_pass<gd_full_match_cost>(in, begin, end, match_begin, match_store, m, cost, choice);
}

// True where the CPU runs gd_cost_pass_wide.
bool gd_wide_parser_supported();

// gd_cost_pass_scalar with the same results, weighing sixteen match lengths at a time in
// 512-bit vectors (gdeflate_parse_costs_wide.cpp).
void gd_cost_pass_wide(const u8* in, u32 begin, u32 end, const u32* match_begin, const u32* match_store,
                       const gd_cost_model_t& m, u32* cost, u32* choice);

}  // namespace umbra
