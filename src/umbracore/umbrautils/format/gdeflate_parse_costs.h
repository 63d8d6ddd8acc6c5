// The bit-cost model of the page encoder's parser and the search for the cheapest match
// at one position, the parser's inner loop. Costs are in 1/16 bit.
#pragma once

#include "umbracore/umbrautils/format/gdeflate_block_writer.h"
#include "umbracore/umbrautils/format/gdeflate_format.h"

namespace umbra {

struct gd_cost_model_t {
  u32 literal[256];
  u32 length[gd_max_short_match + 1];  // symbol and extra bits
  u32 long_length;                     // lengths above 258: symbol 285 and 16 extra bits
  u32 dist[gd_num_dist_syms];          // symbol and extra bits
};

// The cheapest match at one position: (cost << 32 | length << 16 | distance) over every
// length from 3 up to each recorded match's length (capped at limit), where a length
// takes the nearest recorded distance that reaches it; the shortest length wins ties.
// The recorded matches are (length << 16 | distance), lengths increasing; cost_here[len]
// is the path cost from the match's end. ~0 when nothing fits.
inline u64 gd_cheapest_match_scalar(const u32* match, const u32* match_end, u32 limit, const gd_cost_model_t& m,
                                    const u32* cost_here) {
  u64 best = ~0ull;
  u32 len = gd_min_match;
  for (; match != match_end; ++match) {
    const u32 dist = *match & 0xFFFF;
    u32 match_len = *match >> 16;
    if (match_len > limit) match_len = limit;
    const u32 dcost = m.dist[gd_dist_slot(dist)];
    const u32 short_end = match_len < gd_max_short_match ? match_len : gd_max_short_match;
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

// True where the CPU runs gd_cheapest_match_wide.
bool gd_wide_parser_supported();

// gd_cheapest_match_scalar in 512-bit vectors for 1 to 16 recorded matches whose
// lengths, capped at limit, end at top <= 258 (gdeflate_parse_costs_wide.cpp).
u64 gd_cheapest_match_wide(const u32* match, u32 count, u32 limit, const gd_cost_model_t& m, const u32* cost_here,
                           u32 top);

// The same result either way; wide only where gd_wide_parser_supported().
inline u64 gd_cheapest_match(bool wide, const u32* match, const u32* match_end, u32 limit, const gd_cost_model_t& m,
                             const u32* cost_here) {
  const u32 count = (u32)(match_end - match);
  if (count == 0) return ~0ull;
  const u32 longest = match_end[-1] >> 16;
  const u32 top = longest < limit ? longest : limit;
  if (wide && count <= 16 && top <= gd_max_short_match) {
    return gd_cheapest_match_wide(match, count, limit, m, cost_here, top);
  }
  return gd_cheapest_match_scalar(match, match_end, limit, m, cost_here);
}

}  // namespace umbra
