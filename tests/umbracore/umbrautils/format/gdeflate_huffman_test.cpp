// Code lengths: complete codes within the limit, and no costlier than the best code an
// exhaustive search finds, both where the limit binds and where it does not.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <vector>

#include "umbracore/umbrautils/format/gdeflate_huffman.h"
#include "support/test_rng.h"

namespace {

using namespace umbra;

struct lengths_case_t {
  const char* name;
  std::vector<u32> freq;
  u32 max_len;
};

u64 cost(const std::vector<u32>& freq, const std::vector<u8>& lens) {
  u64 total = 0;
  for (size_t s = 0; s < freq.size(); ++s) total += (u64)freq[s] * lens[s];
  return total;
}

// The cheapest lengths of at most max_len bits that satisfy Kraft, over every
// assignment that gives more frequent symbols no longer codes (small alphabets only).
u64 best_cost(std::vector<u32> freq, u32 max_len) {
  freq.erase(std::remove(freq.begin(), freq.end(), 0u), freq.end());
  std::sort(freq.rbegin(), freq.rend());
  u64 best = ~0ull;
  std::function<void(size_t, u32, double, u64)> search = [&](size_t i, u32 shortest, double kraft, u64 sum) {
    if (kraft > 1.0 + 1e-12 || sum >= best) return;
    if (i == freq.size()) {
      best = sum;
      return;
    }
    for (u32 len = shortest; len <= max_len; ++len) search(i + 1, len, kraft + std::ldexp(1.0, -(int)len), sum + (u64)freq[i] * len);
  };
  search(0, 1, 0.0, 0);
  return best;
}

std::vector<u32> fibonacci(u32 n) {
  std::vector<u32> f = {1, 1};
  while (f.size() < n) f.push_back(f[f.size() - 1] + f[f.size() - 2]);
  return f;
}

TEST(gdeflate_code_lengths, complete_and_cheapest) {
  const std::vector<lengths_case_t> cases = {
      {"two symbols", {5, 9}, 15},
      {"one far symbol", {0, 0, 0, 7}, 15},
      {"uniform", std::vector<u32>(12, 3), 15},
      {"skewed, limit idle", {1, 1, 2, 3, 5, 8, 13, 21, 34}, 15},
      {"fibonacci, limit binds", fibonacci(12), 6},
      {"fibonacci, tight limit", fibonacci(10), 4},
      {"gaps and ties", {0, 4, 4, 0, 4, 1, 1, 0, 9, 9}, 3},
  };
  for (const lengths_case_t& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<u8> lens(c.freq.size());
    gd_build_code_lengths(c.freq.data(), (u32)c.freq.size(), c.max_len, lens.data());
    const u32 used = (u32)std::count_if(c.freq.begin(), c.freq.end(), [](u32 f) { return f != 0; });
    // A lone symbol gets a partner codeword, symbol 0 or else 1, to keep the code complete.
    const size_t partner = used == 1 && c.freq[0] == 0 ? 0 : 1;
    double kraft = 0;
    for (size_t s = 0; s < lens.size(); ++s) {
      EXPECT_LE(lens[s], c.max_len);
      EXPECT_EQ(lens[s] != 0, c.freq[s] != 0 || (used == 1 && s == partner));
      if (lens[s]) kraft += std::ldexp(1.0, -(int)lens[s]);
    }
    EXPECT_DOUBLE_EQ(kraft, 1.0);
    if (used > 1) {
      EXPECT_EQ(cost(c.freq, lens), best_cost(c.freq, c.max_len));
    }
  }
}

// Random frequencies over a full literal alphabet, from flat to steep: the limit binds on
// some and not on others, and every code is complete and within it.
TEST(gdeflate_code_lengths, random_alphabets_stay_complete) {
  umbra_test::rng_t rng{31};
  for (int round = 0; round < 200; ++round) {
    std::vector<u32> freq(286);
    const u32 spread = 1 + rng.below(20);
    for (u32& f : freq) f = rng.below(4) == 0 ? 0 : 1 + rng.below(1u << spread);
    const u32 max_len = round % 2 ? 15 : 9;
    std::vector<u8> lens(freq.size());
    gd_build_code_lengths(freq.data(), (u32)freq.size(), max_len, lens.data());
    double kraft = 0;
    for (size_t s = 0; s < lens.size(); ++s) {
      ASSERT_LE(lens[s], max_len);
      ASSERT_EQ(lens[s] != 0, freq[s] != 0);
      if (lens[s]) kraft += std::ldexp(1.0, -(int)lens[s]);
    }
    ASSERT_DOUBLE_EQ(kraft, 1.0);
  }
}

}  // namespace
