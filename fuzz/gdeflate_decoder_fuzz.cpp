// libFuzzer target for the GDeflate decoder: any byte string as a tile stream (decoded
// into a buffer of exactly the size its header announces) and as a single page, where
// the 512-bit, 256-bit and portable decoder paths must agree.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace umbra;
  u64 decoded = 0;
  if (gdeflate_decoded_size(data, size, decoded) && decoded <= (16u << 20)) {
    std::vector<u8> out(decoded);
    gdeflate_decompress(out.data(), decoded, data, size);
  }
  // The same bytes as one page, with the output slot size taken from the first bytes,
  // through every decoder path (the vector ones where the CPU has them): they must agree
  // on the verdict and, when the page is accepted, on every byte.
  if (size >= 2) {
    static gdeflate_decoder_t* wide = gdeflate_decoder_create();
    static gdeflate_decoder_t* avx2 = gdeflate_decoder_create(GDEFLATE_VECTORS_256);
    static gdeflate_decoder_t* portable = gdeflate_decoder_create(GDEFLATE_VECTORS_NONE);
    const u32 slot = (u32)(data[0] | data[1] << 8) + 1;
    std::vector<u8> a(slot), b(slot), c(slot);
    const bool ok_a = gdeflate_decode_page(*wide, data + 2, size - 2, a.data(), slot);
    const bool ok_b = gdeflate_decode_page(*avx2, data + 2, size - 2, b.data(), slot);
    const bool ok_c = gdeflate_decode_page(*portable, data + 2, size - 2, c.data(), slot);
    if (ok_a != ok_c || ok_b != ok_c || (ok_c && (a != c || b != c))) {
      std::fprintf(stderr, "decoder paths disagree\n");
      std::abort();
    }
  }
  return 0;
}
