// Huffman code construction for the page encoder: optimal length-limited code lengths
// and the canonical codewords that go with them.
#pragma once

#include "umbracore/types.h"

namespace umbra {

// Optimal code lengths (at most max_len bits) for the given symbol frequencies; unused
// symbols get length 0. A single used symbol gets a 1-bit code with a second, unused
// 1-bit codeword beside it, so every code written is complete.
void gd_build_code_lengths(const u32* freq, u32 num_syms, u32 max_len, u8* lens);

// Canonical codewords for the lengths, bit-reversed so that they can be written
// least significant bit first.
void gd_build_codewords(const u8* lens, u32 num_syms, u32* codewords);

}  // namespace umbra
