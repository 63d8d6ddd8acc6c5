// Lays out a page's bits over the 32 lanes. The writer mirrors the decoder: it tracks
// how many bits each lane will hold, and whenever a lane would drop below 32 it hands
// that lane the next word of the page, exactly when the decoder will fetch it.
//
// Symbols go round the lanes, so per symbol the writer touches one lane's state and
// little else: each lane's words go to the lane's own column of a scratch table, and
// only the order in which lanes take page words is noted. finish() then deals the
// columns out to the page in that order.
#pragma once

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_format.h"

namespace umbra {

// Room for the largest page: a lane never has more words than the page.
struct gd_lane_scratch_t {
  static constexpr u32 MAX_WORDS = GDEFLATE_MAX_COMPRESSED_PAGE / 4;
  u32 rows[MAX_WORDS][GD_NUM_LANES];  // rows[k][lane]: the lane's k-th word
  u16 order[MAX_WORDS + 1];           // the lane that takes each page word; one spare
};

class gd_lane_writer_t {
 public:
  // out receives the page; capacity in bytes (at least the 128 bytes of the first
  // words; above the largest page size it makes no difference).
  gd_lane_writer_t(u8* out, u32 capacity, gd_lane_scratch_t& scratch) : out_(out), scratch_(scratch) {
    capacity_words_ = capacity / 4 < gd_lane_scratch_t::MAX_WORDS ? capacity / 4 : gd_lane_scratch_t::MAX_WORDS;
    overflow_ = capacity_words_ < GD_NUM_LANES;
    for (u32 lane = 0; lane < GD_NUM_LANES; ++lane) {
      lanes_[lane] = lane_t{0, 0, 1};
      scratch_.order[lane] = (u16)lane;
    }
    words_ = GD_NUM_LANES;
  }

  // Appends the low n (at most 31) bits of value to the lane. Whether a word fills up
  // goes either way at random, so nothing here branches on it: the word being filled is
  // stored on every call, and a full one is simply not stored again.
  void put(u32 lane, u32 value, u32 n) {
    lane_t& l = lanes_[lane];
    const u32 used = l.bits & 31;
    const u64 acc = l.acc | (u64)value << used;
    store(lane, l.bits >> 5, (u32)acc);
    l.acc = used + n >= 32 ? acc >> 32 : acc;
    l.bits += n;
  }

  // The decoder's check(L): a lane below 32 bits takes the next page word.
  void check(u32 lane) {
    lane_t& l = lanes_[lane];
    const u32 need = 32 * l.words - l.bits < 32;
    const u32 room = words_ < capacity_words_;
    // Noted whether or not the lane takes the word: a later one overwrites it if not.
    // Without room the page is dropped, and the spare entry takes the note.
    scratch_.order[room ? words_ : gd_lane_scratch_t::MAX_WORDS] = (u16)lane;
    words_ += need & room;
    overflow_ |= need & !room;
    l.words += need & room;
  }

  void put_checked(u32 lane, u32 value, u32 n) {
    put(lane, value, n);
    check(lane);
  }

  // Deals the lanes' words out to the page in the order they were taken; words a lane
  // took but never filled are zero. Returns the page size in bytes (exactly the words
  // taken), 0 on overflow.
  u32 finish() {
    if (overflow_) return 0;
    u32 next[GD_NUM_LANES];
    for (u32 lane = 0; lane < GD_NUM_LANES; ++lane) {
      const lane_t& l = lanes_[lane];
      // The word being filled, and any taken beyond it, were not stored yet.
      for (u32 k = l.bits >> 5; k < l.words; ++k) store(lane, k, k == l.bits >> 5 ? (u32)l.acc : 0);
      next[lane] = 0;
    }
    for (u32 w = 0; w < words_; ++w) {
      const u32 lane = scratch_.order[w];
      store_le32(out_ + 4 * (u64)w, scratch_.rows[next[lane]++][lane]);
    }
    return 4 * words_;
  }

  bool overflow() const { return overflow_; }

 private:
  struct lane_t {
    u64 acc;    // bits of the word being filled, and what spills past it
    u32 bits;   // bits written to the lane
    u32 words;  // page words the lane has taken
  };

  // Once the page has overflowed, a lane can write past its words: the last row then
  // takes it, and the page is dropped anyway. No lane owns that row on a page that
  // fits, since every other lane holds a word of it.
  void store(u32 lane, u32 row, u32 word) {
    scratch_.rows[row < gd_lane_scratch_t::MAX_WORDS ? row : gd_lane_scratch_t::MAX_WORDS - 1][lane] = word;
  }

  u8* out_;
  gd_lane_scratch_t& scratch_;
  u32 capacity_words_;
  u32 words_;
  u32 overflow_;
  lane_t lanes_[GD_NUM_LANES];
};

}  // namespace umbra
