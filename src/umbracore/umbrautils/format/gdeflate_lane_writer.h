// Lays out a page's bits over the 32 lanes. The writer mirrors the decoder: it tracks
// how many bits each lane will hold, and whenever a lane would drop below 32 it hands
// that lane the next word slot of the page, exactly when the decoder will fetch it.
// Each lane gathers its bits in a 64-bit accumulator and stores whole words into its
// slots in order, so every slot is written once.
#pragma once

#include "umbracore/umbrautils/format/gdeflate_format.h"

namespace umbra {

class gd_lane_writer_t {
 public:
  // out receives the page; capacity in bytes (at least the 128 bytes of the first words).
  gd_lane_writer_t(u8* out, u32 capacity) : out_(out), capacity_words_(capacity / 4) {
    overflow_ = capacity_words_ < gd_num_lanes;
    for (u32 lane = 0; lane < gd_num_lanes; ++lane) {
      acc_[lane] = 0;
      acc_bits_[lane] = 0;
      avail_[lane] = 32;
      slots_[lane][0] = overflow_ ? 0 : lane;
      head_[lane] = 0;
      tail_[lane] = 1;
    }
    words_ = overflow_ ? 0 : gd_num_lanes;
  }

  // Appends the low n (at most 31) bits of value to the lane. Whether a word fills up
  // goes either way at random, so nothing here branches on it: the word being filled
  // always has its slot already (a lane never holds fewer than 32 bits of slots ahead),
  // and storing it early only writes bits that the full store repeats.
  void put(u32 lane, u32 value, u32 n) {
    u64 acc = acc_[lane] | (u64)value << acc_bits_[lane];
    const u32 bits = acc_bits_[lane] + n;
    const u32 full = bits >= 32;
    gd_store_le32(out_ + 4 * (u64)slots_[lane][head_[lane] & 3], (u32)acc);
    head_[lane] += full;
    acc_[lane] = full ? acc >> 32 : acc;
    acc_bits_[lane] = bits - 32 * full;
    avail_[lane] -= n;
  }

  // The decoder's check(L): a lane below 32 bits takes the next word slot. Written
  // without a branch on the bit count for the same reason as put(); the ring entry at
  // tail is free whether or not it is taken.
  void check(u32 lane) {
    const u32 need = avail_[lane] < 32;
    const u32 room = words_ < capacity_words_;
    // Without room the page is dropped; slot 0 is a harmless place to keep writing.
    slots_[lane][tail_[lane] & 3] = room ? words_ : 0;
    tail_[lane] += need;
    words_ += need & room;
    overflow_ |= need & !room;
    avail_[lane] += (s32)(32 * need);
  }

  // Writes the lanes' last bits and zeroes the slots that never received any;
  // returns the page size in bytes (exactly the slots handed out), 0 on overflow.
  u32 finish() {
    if (overflow_) return 0;
    for (u32 lane = 0; lane < gd_num_lanes; ++lane) {
      u64 acc = acc_[lane];
      while (head_[lane] != tail_[lane]) {
        gd_store_le32(out_ + 4 * (u64)slots_[lane][head_[lane]++ & 3], (u32)acc);
        acc = 0;
      }
    }
    return 4 * words_;
  }

  bool overflow() const { return overflow_; }

 private:
  u8* out_;
  u32 capacity_words_;
  u32 words_;
  bool overflow_;
  u64 acc_[gd_num_lanes];
  u32 acc_bits_[gd_num_lanes];
  s32 avail_[gd_num_lanes];
  u32 head_[gd_num_lanes];  // next slot to fill
  u32 tail_[gd_num_lanes];  // next free place in the ring
  u32 slots_[gd_num_lanes][4];
};

}  // namespace umbra
