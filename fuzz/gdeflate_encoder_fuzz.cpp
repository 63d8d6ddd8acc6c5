// libFuzzer target for the GDeflate page encoder: any byte string of 1 to 65536 bytes is
// encoded as one page by the wide-vector and the portable encoder, which must write the
// same page; the page must decode to the input; and an output room one word short of
// the page must make the encoder report 0 without writing past it. The first byte picks
// how the rest is stretched (as is, or repeated up to a page) so that long matches and
// near-random pages with repeats come up as often as short inputs do.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace {

void fail(const char* what) {
  std::fprintf(stderr, "%s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace umbra;
  if (size < 2) return 0;
  // Stretched: the bytes repeated until the page is full, with every 251st byte of a
  // repeat changed so that the matches end at varying places.
  std::vector<u8> input(data + 1, data + size);
  if ((data[0] & 1) && input.size() < GDEFLATE_PAGE_SIZE) {
    const size_t period = input.size();
    for (size_t i = period; i < GDEFLATE_PAGE_SIZE; ++i) {
      input.push_back(i % 251 == 0 ? (u8)(input[i - period] + 1) : input[i - period]);
    }
  }
  if (input.size() > GDEFLATE_PAGE_SIZE) input.resize(GDEFLATE_PAGE_SIZE);
  const u32 n = (u32)input.size();

  static gdeflate_encoder_t* wide = gdeflate_encoder_create();
  static gdeflate_encoder_t* portable = gdeflate_encoder_create(true);
  static gdeflate_decoder_t* decoder = gdeflate_decoder_create();
  std::vector<u8> a(GDEFLATE_MAX_COMPRESSED_PAGE), b(GDEFLATE_MAX_COMPRESSED_PAGE);
  const u32 size_a = gdeflate_encode_page(*wide, input.data(), n, a.data(), (u32)a.size());
  const u32 size_b = gdeflate_encode_page(*portable, input.data(), n, b.data(), (u32)b.size());
  if (size_a == 0 || size_a != size_b || std::memcmp(a.data(), b.data(), size_a) != 0) fail("encoders differ");

  std::unique_ptr<u8[]> out(new u8[n]);
  if (!gdeflate_decode_page(*decoder, a.data(), size_a, out.get(), n) || std::memcmp(out.get(), input.data(), n) != 0) {
    fail("page does not decode to its input");
  }
  // One word short: exactly that room on the heap, so a stray write shows.
  const u32 short_room = size_a - 4;
  std::unique_ptr<u8[]> room(new u8[short_room ? short_room : 1]);
  if (gdeflate_encode_page(*wide, input.data(), n, room.get(), short_room) != 0) fail("page written past its room");
  return 0;
}
