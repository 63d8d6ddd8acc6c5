// Lays out a page's bits over the 32 lanes. The writer mirrors the decoder: it tracks
// how many bits each lane will hold, and whenever a lane would drop below 32 it hands
// that lane the next word slot of the page, exactly when the decoder will fetch it.
#pragma once

#include <cstring>

#include "umbracore/umbrautils/format/gdeflate_format.h"

namespace umbra {

class gd_lane_writer_t {
 public:
  // out receives the page; capacity in bytes (at least the 128 bytes of the first words).
  gd_lane_writer_t(u8* out, u32 capacity) : out_(out), capacity_words_(capacity / 4) {
    overflow_ = capacity_words_ < gd_num_lanes;
    if (overflow_) return;
    std::memset(out_, 0, gd_initial_bytes);
    for (u32 lane = 0; lane < gd_num_lanes; ++lane) {
      written_[lane] = 0;
      avail_[lane] = 32;
      slots_[lane] = 1;
      ring_[lane][0] = lane;
    }
    words_ = gd_num_lanes;
  }

  // Appends the low n (at most 31) bits of value to the lane.
  void put(u32 lane, u32 value, u32 n) {
    const u32 at = written_[lane];
    const u32 shift = at & 31;
    u8* word = out_ + 4 * (u64)ring_[lane][(at >> 5) & 3];
    const u64 v = (u64)value << shift;
    gd_store_le32(word, gd_load_le32(word) | (u32)v);
    if (shift + n > 32) {
      u8* next_word = out_ + 4 * (u64)ring_[lane][((at >> 5) + 1) & 3];
      gd_store_le32(next_word, gd_load_le32(next_word) | (u32)(v >> 32));
    }
    written_[lane] = at + n;
    avail_[lane] -= n;
  }

  // The decoder's check(L): a lane below 32 bits takes the next word slot.
  void check(u32 lane) {
    if (avail_[lane] >= 32) return;
    if (words_ == capacity_words_) {
      overflow_ = true;
      // Keep writing somewhere harmless; the page is discarded.
      words_ = 0;
    }
    const u32 slot = words_++;
    gd_store_le32(out_ + 4 * (u64)slot, 0);
    ring_[lane][slots_[lane] & 3] = slot;
    ++slots_[lane];
    avail_[lane] += 32;
  }

  bool overflow() const { return overflow_; }
  // Page size in bytes: exactly the word slots handed out.
  u32 size() const { return overflow_ ? 0 : 4 * words_; }

 private:
  u8* out_;
  u32 capacity_words_;
  u32 words_ = 0;
  bool overflow_ = false;
  u32 written_[gd_num_lanes];
  s32 avail_[gd_num_lanes];
  u32 slots_[gd_num_lanes];
  u32 ring_[gd_num_lanes][4];  // slot numbers of the lane's last four words
};

}  // namespace umbra
