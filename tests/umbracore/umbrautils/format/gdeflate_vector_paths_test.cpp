// The page codec's vector paths (512-bit, and for the decoder 256-bit too, each taken
// where the CPU has them) and its portable paths must agree. The decoders give the same
// verdict on every page, and the same bytes when they accept it; pages of several kinds
// are damaged in many ways, so that all meet the end of a block, invalid codewords, bad
// distances and cut pages at every point of a round. Output slots are exact heap buffers, so the address sanitizer
// sees any write or read past them. The encoders write the very same pages.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "support/test_rng.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace {

using namespace umbra;

using umbra_test::rng_t;

// Texture-like blocks with matches of every length class, text, byte runs and noise.
std::vector<u8> make_page_input(rng_t& rng, u32 kind, u32 n) {
  static const char* words[] = {"lane", "page", "the", "round", "texture", "of", "window", "distance"};
  std::vector<u8> v;
  while (v.size() < n) {
    switch (kind) {
      case 0:  // 16-byte blocks, half of them repeated from the left neighbour
        for (u32 k = 0; k < 16; ++k) {
          v.push_back(v.size() >= 16 && rng.below(2) ? v[v.size() - 16] : (u8)(rng.below(4) ? k * 7 : rng.next()));
        }
        break;
      case 1: {
        const char* w = words[rng.below(8)];
        v.insert(v.end(), w, w + std::strlen(w));
        v.push_back(' ');
        break;
      }
      case 2:
        v.insert(v.end(), 1 + rng.below(rng.below(8) ? 40 : 3000), (u8)rng.below(3));
        break;
      default:
        v.push_back((u8)rng.next());
        break;
    }
  }
  v.resize(n);
  return v;
}

// Round r's page: the four kinds in turn, full pages for the first four rounds, then
// random sizes.
struct page_case_t {
  u32 kind;
  u32 n;
  std::vector<u8> input;
};
page_case_t page_case(rng_t& rng, u32 round) {
  const u32 kind = round % 4;
  const u32 n = round < 4 ? 65536 : 1 + rng.below(65536);
  return {kind, n, make_page_input(rng, kind, n)};
}

struct decoders_t {
  gdeflate_decoder_t* wide = gdeflate_decoder_create();
  gdeflate_decoder_t* avx2 = gdeflate_decoder_create(GDEFLATE_VECTORS_256);
  gdeflate_decoder_t* portable = gdeflate_decoder_create(GDEFLATE_VECTORS_NONE);
  ~decoders_t() {
    gdeflate_decoder_destroy(wide);
    gdeflate_decoder_destroy(avx2);
    gdeflate_decoder_destroy(portable);
  }
};

bool decode(gdeflate_decoder_t& decoder, const std::vector<u8>& page, u32 out_size, std::vector<u8>& out) {
  const std::unique_ptr<u8[]> exact_page(new u8[page.size() ? page.size() : 1]);
  if (!page.empty()) std::memcpy(exact_page.get(), page.data(), page.size());
  const std::unique_ptr<u8[]> slot(new u8[out_size]);
  const bool ok = gdeflate_decode_page(decoder, exact_page.get(), page.size(), slot.get(), out_size);
  out.assign(slot.get(), slot.get() + out_size);
  return ok;
}

// Every path decodes the page; returns the shared verdict.
bool decode_both_agree(decoders_t& d, const std::vector<u8>& page, u32 out_size) {
  std::vector<u8> a, b, c;
  const bool wide_ok = decode(*d.wide, page, out_size, a);
  const bool avx2_ok = decode(*d.avx2, page, out_size, b);
  const bool portable_ok = decode(*d.portable, page, out_size, c);
  EXPECT_EQ(wide_ok, portable_ok);
  EXPECT_EQ(avx2_ok, portable_ok);
  if (portable_ok) {
    EXPECT_TRUE(wide_ok && a == c);
    EXPECT_TRUE(avx2_ok && b == c);
  }
  return portable_ok;
}

TEST(gdeflate_vector_paths, decoders_agree_on_sound_and_damaged_pages) {
  decoders_t d;
  ASSERT_TRUE(d.wide && d.avx2 && d.portable);
  gdeflate_encoder_t* encoder = gdeflate_encoder_create();
  ASSERT_TRUE(encoder);
  rng_t rng{77};
  std::vector<u8> page(70000);
  u32 accepted_damage = 0, damaged = 0;
  for (u32 round = 0; round < 16; ++round) {
    const page_case_t c = page_case(rng, round);
    const u32 n = c.n;
    const std::vector<u8>& input = c.input;
    SCOPED_TRACE("kind " + std::to_string(c.kind) + ", " + std::to_string(n) + " bytes");
    const u32 size = gdeflate_encode_page(*encoder, input.data(), n, page.data(), (u32)page.size());
    ASSERT_NE(size, 0u);
    const std::vector<u8> sound(page.begin(), page.begin() + size);
    std::vector<u8> out;
    ASSERT_TRUE(decode(*d.wide, sound, n, out));
    EXPECT_TRUE(out == input);
    ASSERT_TRUE(decode_both_agree(d, sound, n));
    // Too small an output slot, and a page cut short anywhere.
    EXPECT_FALSE(decode_both_agree(d, sound, n - 1 + (n == 1)));
    for (u32 i = 0; i < 40; ++i) {
      const std::vector<u8> cut(sound.begin(), sound.begin() + rng.below(size));
      decode_both_agree(d, cut, n);
    }
    // Bit flips, and runs of random bytes, anywhere in the page.
    for (u32 i = 0; i < 150; ++i, ++damaged) {
      std::vector<u8> bad(sound);
      const u32 at = rng.below(size);
      if (i % 2) {
        bad[at] ^= (u8)(1u << rng.below(8));
      } else {
        for (u32 k = at; k < size && k < at + 1 + rng.below(64); ++k) bad[k] = (u8)rng.next();
      }
      accepted_damage += decode_both_agree(d, bad, n);
    }
  }
  gdeflate_encoder_destroy(encoder);
  EXPECT_LT(accepted_damage, damaged);
}

TEST(gdeflate_vector_paths, encoders_write_the_same_pages) {
  gdeflate_encoder_t* wide = gdeflate_encoder_create();
  gdeflate_encoder_t* portable = gdeflate_encoder_create(true);
  ASSERT_TRUE(wide && portable);
  rng_t rng{5};
  std::vector<u8> a(70000), b(70000);
  for (u32 round = 0; round < 12; ++round) {
    const page_case_t c = page_case(rng, round);
    const u32 n = c.n;
    const std::vector<u8>& input = c.input;
    SCOPED_TRACE("kind " + std::to_string(c.kind) + ", " + std::to_string(n) + " bytes");
    const u32 size_a = gdeflate_encode_page(*wide, input.data(), n, a.data(), (u32)a.size());
    const u32 size_b = gdeflate_encode_page(*portable, input.data(), n, b.data(), (u32)b.size());
    ASSERT_EQ(size_a, size_b);
    EXPECT_EQ(0, std::memcmp(a.data(), b.data(), size_a));
  }
  gdeflate_encoder_destroy(wide);
  gdeflate_encoder_destroy(portable);
}

}  // namespace
