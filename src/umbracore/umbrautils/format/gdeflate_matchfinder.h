// Binary-tree match finder over one page. Every position is inserted into a binary
// search tree of the earlier positions that share its first four bytes, ordered by the
// bytes that follow, so one descent finds the longest matches at growing distances.
// A separate table finds the nearest three-byte match among the latest two positions
// with the same three-byte hash: on pixel data the latest is often another string with
// that hash, and the older one gives 0.1-0.2% smaller textures.
// On near-random data the tree finds little that the latest position with the same
// four-byte hash does not (0.02% of the size of block-compressed textures, with an older
// candidate too), and costs more: there the four-byte table only remembers that position
// (reset(false)).
//
// Page positions fit in 16 bits, which keeps the tables small enough to stay in cache.
#pragma once

#include <cstring>

#include "umbracore/umbrautils/format/gdeflate_format.h"

namespace umbra {

class gd_matchfinder_t {
 public:
  static constexpr u32 HASH3_BITS = 16;
  static constexpr u32 HASH4_BITS = 16;
  static constexpr u32 MAX_POSITIONS = 65536;
  // Positions need 4 bytes to be inserted, so 65535 is never a node.
  static constexpr u16 NIL = 0xFFFF;
  // tree: the full search; otherwise the latest four-byte match, for the whole page.
  void reset(bool tree) {
    tree_ = tree;
    // Head entries hold position + 1, 0 meaning empty.
    std::memset(hash3_, 0, sizeof(hash3_));
    if (tree) std::memset(hash3_older_, 0, sizeof(hash3_older_));
    std::memset(hash4_, 0, sizeof(hash4_));
  }

  // Starts loading the table entries that position pos will need.
  void prefetch_heads(const u8* in, u32 pos, u32 n) const {
    if (n - pos >= 4) {
      __builtin_prefetch(&hash3_[hash3(in + pos)]);
      __builtin_prefetch(&hash4_[hash4(in + pos)]);
    }
  }
  // Inserts position pos of in[0, n) and stores in matches the matches found, as
  // (length << 16 | distance), lengths strictly increasing (the longest last); returns
  // how many. At most max_depth tree nodes are visited; a match of nice_len or more
  // ends the search and is extended as far as it goes. matches needs max_depth + 1
  // entries.
  u32 find(const u8* in, u32 pos, u32 n, u32 nice_len, u32 max_depth, u32* matches) {
    return advance<true>(in, pos, n, nice_len, max_depth, matches);
  }

  // The page without the tree (reset(false)): inserts position pos, which has at least
  // four bytes left, and returns the longer of the latest three- and four-byte matches
  // as (length << 16 | distance), 0 if none. On such pages whether a candidate matches
  // is a coin toss, so nothing here branches on it.
  u32 nearest(const u8* in, u32 pos, u32 n) {
    const u8* const cur = in + pos;
    const u32 word = load_le32(cur);
    const u32 h3 = hash3(cur);
    const u32 h4 = hash4(cur);
    const u32 near3 = hash3_[h3];
    const u32 near4 = hash4_[h4];
    hash3_[h3] = (u16)(pos + 1);
    hash4_[h4] = (u16)(pos + 1);
    // An empty head points at pos itself, and is then ruled out.
    const u32 at3 = near3 != 0 ? near3 - 1 : pos;
    const u32 at4 = near4 != 0 ? near4 - 1 : pos;
    const bool match3 = near3 != 0 && ((load_le32(in + at3) ^ word) & 0xFFFFFF) == 0;
    u32 max_len = n - pos;
    if (max_len > GD_MAX_MATCH) max_len = GD_MAX_MATCH;
    u32 len4;
    if (max_len >= 8) {
      const u64 x = (load_le64(in + at4) ^ load_le64(cur)) | (near4 == 0);
      len4 = x != 0 ? (u32)__builtin_ctzll(x) >> 3 : extend(in + at4, cur, 8, max_len);
    } else {
      len4 = near4 != 0 ? extend(in + at4, cur, 0, max_len) : 0;
    }
    const u32 entry3 = match3 ? 3u << 16 | (pos - at3) : 0;
    return len4 >= 4 ? len4 << 16 | (pos - at4) : entry3;
  }

  // Inserts position pos without reporting matches (inside a long match).
  void skip(const u8* in, u32 pos, u32 n, u32 nice_len, u32 max_depth) {
    advance<false>(in, pos, n, nice_len, max_depth, nullptr);
  }

 private:
  // Both read four bytes: positions are only hashed with four bytes left.
  static u32 hash3(const u8* p) { return ((load_le32(p) & 0xFFFFFF) * 0x1E35A7BDu) >> (32 - HASH3_BITS); }
  static u32 hash4(const u8* p) { return (load_le32(p) * 0x1E35A7BDu) >> (32 - HASH4_BITS); }

  // Length of the common prefix of a and b, known to be at least len, at most max_len.
  static u32 extend(const u8* a, const u8* b, u32 len, u32 max_len) {
    while (len + 8 <= max_len) {
      const u64 x = load_le64(a + len) ^ load_le64(b + len);
      if (x) return len + ((u32)__builtin_ctzll(x) >> 3);
      len += 8;
    }
    while (len < max_len && a[len] == b[len]) ++len;
    return len;
  }

  template <bool record>
  u32 advance(const u8* in, u32 pos, u32 n, u32 nice_len, u32 max_depth, u32* matches) {
    u32 max_len = n - pos;
    if (max_len < 4) return 0;
    if (max_len > GD_MAX_MATCH) max_len = GD_MAX_MATCH;
    const u32 nice = nice_len < max_len ? nice_len : max_len;
    const u8* cur = in + pos;
    u32 found = 0;

    const u32 h3 = hash3(cur);
    const u32 near3 = hash3_[h3];
    const u32 older3 = hash3_older_[h3];
    hash3_[h3] = (u16)(pos + 1);
    hash3_older_[h3] = (u16)near3;
    if (record && near3 != 0) {
      const u32 seq3 = load_le32(cur) & 0xFFFFFF;
      if ((load_le32(in + near3 - 1) & 0xFFFFFF) == seq3) {
        matches[found++] = 3u << 16 | (pos + 1 - near3);
      } else if (older3 != 0 && (load_le32(in + older3 - 1) & 0xFFFFFF) == seq3) {
        matches[found++] = 3u << 16 | (pos + 1 - older3);
      }
    }

    const u32 h4 = hash4(cur);
    u32 node = (u32)hash4_[h4] - 1;
    hash4_[h4] = (u16)(pos + 1);
    if (!tree_) return found;  // only the tables are kept up to date (see nearest())
    u16* pending_lt = &child_[2 * pos];
    u16* pending_gt = &child_[2 * pos + 1];
    if (node == 0xFFFFFFFFu) {
      *pending_lt = NIL;
      *pending_gt = NIL;
      return found;
    }
    u32 best_len = 3;
    u32 best_lt = 0;
    u32 best_gt = 0;
    u32 len = 0;
    u32 depth = max_depth;
    for (;;) {
      const u8* m = in + node;
      __builtin_prefetch(&child_[2 * node]);
      if (m[len] == cur[len]) {
        len = extend(m, cur, len + 1, record ? max_len : nice);
        if (record && len > best_len) {
          best_len = len;
          matches[found++] = len << 16 | (pos - node);
        }
        if (len >= nice) {
          *pending_lt = child_[2 * node];
          *pending_gt = child_[2 * node + 1];
          return found;
        }
      }
      if (m[len] < cur[len]) {
        *pending_lt = (u16)node;
        pending_lt = &child_[2 * node + 1];
        node = *pending_lt;
        best_lt = len;
        if (best_gt < len) len = best_gt;
      } else {
        *pending_gt = (u16)node;
        pending_gt = &child_[2 * node];
        node = *pending_gt;
        best_gt = len;
        if (best_lt < len) len = best_lt;
      }
      if (node == NIL || --depth == 0) break;
    }
    *pending_lt = NIL;
    *pending_gt = NIL;
    return found;
  }

  bool tree_ = true;
  u16 hash3_[1u << HASH3_BITS];
  u16 hash3_older_[1u << HASH3_BITS];  // what hash3_ held before (kept by the full search only)
  u16 hash4_[1u << HASH4_BITS];
  u16 child_[2 * MAX_POSITIONS];
};

}  // namespace umbra
