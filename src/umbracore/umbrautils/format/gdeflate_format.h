// Constants and symbol tables of the GDeflate page bit stream, shared by the page
// encoder and the page decoder. The length/distance alphabet is the 64 KiB-window one:
// length symbol 285 carries 16 extra bits and distance symbols 30 and 31 exist.
#pragma once

#include <cstring>

#include "umbracore/mem.h"
#include "umbracore/types.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the page words are read as native little-endian integers");

namespace umbra {

constexpr u32 GD_NUM_LANES = 32;
constexpr u32 GD_INITIAL_BYTES = 4 * GD_NUM_LANES;  // one word per lane at the start of a page
constexpr u32 GD_MAX_CODEWORD_LEN = 15;
constexpr u32 GD_MAX_PRECODE_LEN = 7;
constexpr u32 GD_NUM_LITLEN_SYMS = 288;
constexpr u32 GD_NUM_DIST_SYMS = 32;
constexpr u32 GD_NUM_PRECODE_SYMS = 19;
constexpr u32 GD_END_OF_BLOCK = 256;
constexpr u32 GD_FIRST_LENGTH_SYM = 257;
constexpr u32 GD_LONG_LENGTH_SYM = 285;  // base 3, 16 extra bits
constexpr u32 GD_NUM_LENGTH_SYMS = 29;   // 257 .. 285
constexpr u32 GD_MIN_MATCH = 3;
// Longest match our encoder writes (the published encoder's limit as well).
constexpr u32 GD_MAX_MATCH = 65535;
// Lengths up to here have a symbol of their own; longer ones use symbol 285.
constexpr u32 GD_MAX_SHORT_MATCH = 258;
constexpr u32 GD_MAX_STORED_BLOCK = 65535;

enum gd_block_type_t : u32 {
  GD_BLOCK_STORED = 0,
  GD_BLOCK_FIXED = 1,
  GD_BLOCK_DYNAMIC = 2,
};

// Order in which the code-length code's lengths are transmitted.
constexpr u8 GD_PRECODE_ORDER[GD_NUM_PRECODE_SYMS] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};

// Length symbols 257..285.
constexpr u32 GD_LENGTH_BASE[GD_NUM_LENGTH_SYMS] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                                    31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 3};
constexpr u8 GD_LENGTH_EXTRA[GD_NUM_LENGTH_SYMS] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                                    2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 16};

// Distance symbols 0..31.
constexpr u32 GD_DIST_BASE[GD_NUM_DIST_SYMS] = {1,    2,    3,    4,    5,    7,     9,     13,    17,    25,   33,
                                                49,   65,   97,   129,  193,  257,   385,   513,   769,   1025, 1537,
                                                2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577, 32769, 49153};
constexpr u8 GD_DIST_EXTRA[GD_NUM_DIST_SYMS] = {0, 0, 0, 0, 1, 1, 2,  2,  3,  3,  4,  4,  5,  5,  6,  6,
                                                7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13, 14, 14};

// The fixed code's lengths (RFC 1951 section 3.2.6); every distance code is 5 bits.
inline u8 gd_fixed_litlen_len(u32 sym) { return sym < 144 ? 8 : sym < 256 ? 9 : sym < 280 ? 7 : 8; }
constexpr u8 GD_FIXED_DIST_LEN = 5;

// Reverses the low len bits of code: DEFLATE sends a codeword's most significant bit first.
inline u32 gd_reverse_bits(u32 code, u32 len) {
  u32 r = 0;
  for (u32 i = 0; i < len; ++i) {
    r = (r << 1) | (code & 1);
    code >>= 1;
  }
  return r;
}

}  // namespace umbra
