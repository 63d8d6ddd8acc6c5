// Code lengths: the unlimited optimum in linear time, and package-merge, the optimum
// under the length limit, where the unlimited one exceeds it. Both run several times
// per block, so their cost shows.
#include "umbracore/umbrautils/format/gdeflate_huffman.h"

#include <algorithm>

#include "umbracore/umbrautils/format/gdeflate_format.h"

namespace umbra {
namespace {

constexpr u32 MAX_SYMS = GD_NUM_LITLEN_SYMS;

// Optimal unlimited code lengths for n >= 2 weights sorted ascending, in place (Moffat
// and Katajainen): w[i] becomes the length of the i-th lightest symbol.
void minimum_redundancy_lengths(u64* w, u32 n) {
  // Pairing left to right; a paired internal node keeps its parent's index.
  w[0] += w[1];
  u32 root = 0;
  u32 leaf = 2;
  for (u32 next = 1; next < n - 1; ++next) {
    if (leaf >= n || w[root] < w[leaf]) {
      w[next] = w[root];
      w[root++] = next;
    } else {
      w[next] = w[leaf++];
    }
    if (leaf >= n || (root < next && w[root] < w[leaf])) {
      w[next] += w[root];
      w[root++] = next;
    } else {
      w[next] += w[leaf++];
    }
  }
  // Internal depths right to left, then the leaves' depths from them.
  w[n - 2] = 0;
  for (u32 next = n - 2; next-- > 0;) w[next] = w[w[next]] + 1;
  u32 available = 1;
  u32 used = 0;
  u64 depth = 0;
  s64 internal = (s64)n - 2;
  s64 next = (s64)n - 1;
  while (available > 0) {
    while (internal >= 0 && w[internal] == depth) {
      ++used;
      --internal;
    }
    while (available > used) {
      w[next--] = depth;
      --available;
    }
    available = 2 * used;
    ++depth;
    used = 0;
  }
}

// Package-merge over the n >= 2 used symbols sorted by frequency: the optimal code
// under the length limit.
void package_merge_lengths(const u32* freq, const u16* sorted, u32 n, u32 max_len, u8* lens) {
  // Level k's list merges the leaves with the pairs of level k-1's list; only whether
  // each item is a leaf is kept, which is all the selection below needs.
  u64 weights[2][2 * MAX_SYMS];
  u8 is_leaf[GD_MAX_CODEWORD_LEN + 1][2 * MAX_SYMS];
  u32 size[GD_MAX_CODEWORD_LEN + 1];
  for (u32 j = 0; j < n; ++j) {
    weights[0][j] = freq[sorted[j]];
    is_leaf[1][j] = 1;
  }
  size[1] = n;
  for (u32 level = 2; level <= max_len; ++level) {
    const u64* prev = weights[level & 1];
    u64* cur = weights[(level + 1) & 1];
    const u32 pairs = size[level - 1] / 2;
    u32 li = 0, pi = 0, k = 0;
    while (li < n || pi < pairs) {
      const u64 pw = pi < pairs ? prev[2 * pi] + prev[2 * pi + 1] : ~0ull;
      if (li < n && freq[sorted[li]] <= pw) {
        cur[k] = freq[sorted[li++]];
        is_leaf[level][k++] = 1;
      } else {
        cur[k] = pw;
        ++pi;
        is_leaf[level][k++] = 0;
      }
    }
    size[level] = k;
  }
  // The first 2n - 2 items of the last list are chosen; every chosen leaf adds one bit.
  u32 chosen = 2 * n - 2;
  for (u32 level = max_len; level >= 1 && chosen; --level) {
    u32 leaves = 0;
    for (u32 k = 0; k < chosen; ++k) leaves += is_leaf[level][k];
    for (u32 j = 0; j < leaves; ++j) ++lens[sorted[j]];
    chosen = 2 * (chosen - leaves);
  }
}

}  // namespace

void gd_build_code_lengths(const u32* freq, u32 num_syms, u32 max_len, u8* lens) {
  u16 sorted[MAX_SYMS];
  u32 n = 0;
  for (u32 s = 0; s < num_syms; ++s) {
    lens[s] = 0;
    if (freq[s]) sorted[n++] = (u16)s;
  }
  if (n == 0) return;
  if (n == 1) {
    lens[sorted[0]] = 1;
    lens[sorted[0] == 0 ? 1 : 0] = 1;
    return;
  }
  // By frequency, ties by symbol: one key per symbol sorts without the temporary buffer
  // a stable sort allocates on every call.
  u64 keys[MAX_SYMS];
  for (u32 j = 0; j < n; ++j) keys[j] = (u64)freq[sorted[j]] << 16 | sorted[j];
  std::sort(keys, keys + n);
  for (u32 j = 0; j < n; ++j) sorted[j] = (u16)keys[j];

  // The unlimited optimum costs a fraction of the limited search and is nearly always
  // within the limit, and then it is the limited optimum too.
  u64 lengths[MAX_SYMS];
  for (u32 j = 0; j < n; ++j) lengths[j] = keys[j] >> 16;
  minimum_redundancy_lengths(lengths, n);
  if (lengths[0] <= max_len) {
    for (u32 j = 0; j < n; ++j) lens[sorted[j]] = (u8)lengths[j];
    return;
  }
  package_merge_lengths(freq, sorted, n, max_len, lens);
}

void gd_build_codewords(const u8* lens, u32 num_syms, u32* codewords) {
  u32 count[GD_MAX_CODEWORD_LEN + 1] = {};
  for (u32 s = 0; s < num_syms; ++s) ++count[lens[s]];
  count[0] = 0;
  u32 next_code[GD_MAX_CODEWORD_LEN + 1] = {};
  u32 code = 0;
  for (u32 len = 1; len <= GD_MAX_CODEWORD_LEN; ++len) {
    code = (code + count[len - 1]) << 1;
    next_code[len] = code;
  }
  for (u32 s = 0; s < num_syms; ++s) {
    codewords[s] = lens[s] ? gd_reverse_bits(next_code[lens[s]]++, lens[s]) : 0;
  }
}

}  // namespace umbra
