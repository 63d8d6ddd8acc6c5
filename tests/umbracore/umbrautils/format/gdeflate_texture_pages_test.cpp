// GDeflate pages of texture data, laid out as image entries lay them out, against
// libdeflate level 12 over the same 64 KiB pages: within 1%, plus the slack GDeflate's
// 32 lanes leave at the end of every page (each holds 32 to 63 bits it never reads).
// Every case is one an earlier encoder lost on: noisy pixels parsed as chance matches
// (6% larger), BC3's opaque alpha halves hiding the longest matches from a shallow tree
// search (3%), and a small texture cut into blocks whose codes cost more than they save.
#include <gtest/gtest.h>
#include <libdeflate.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/run_tool.h"
#include "support/test_rng.h"
#include "support/texture_files.h"
#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace {

using umbra::u32;
using umbra::u64;
using umbra::u8;
using umbra_test::rng_t;

// The lanes' average slack at a page's end: 32 lanes of (32 + 63) / 2 bits.
constexpr u64 LANE_SLACK = 32 * 95 / 2 / 8;

// Grey RGBA pixels with noise of about 8 levels (a sum of four uniform bytes), opaque.
std::string grey_pixel_noise() {
  rng_t rng{15};
  std::string pixels;
  for (u32 i = 0; i < 65536 / 4; ++i) {
    for (int channel = 0; channel < 3; ++channel) {
      const u64 r = rng.next();
      const int sum = (int)(r & 255) + (int)(r >> 8 & 255) + (int)(r >> 16 & 255) + (int)(r >> 24 & 255);
      pixels.push_back((char)std::clamp(128 + (sum - 510) * 8 / 148, 0, 255));
    }
    pixels.push_back((char)255);
  }
  return pixels;
}

// A 256x256 BC3 level: nearly all alpha halves opaque (ff ff and zero indices), colour
// endpoints from a smooth field, random indices.
std::string bc3_opaque_alpha() {
  rng_t rng{3};
  std::string blocks;
  const auto rgb565 = [](int r, int g, int b) {
    const auto c = [](int v) { return std::clamp(v, 0, 255); };
    return (u32)(c(r) >> 3 << 11 | c(g) >> 2 << 5 | c(b) >> 3);
  };
  for (int by = 0; by < 64; ++by) {
    for (int bx = 0; bx < 64; ++bx) {
      const int base = 100 + std::abs(bx * 3 % 80 - 40) + std::abs(by * 2 % 60 - 30);
      const int amp = 4 + (int)rng.below(16);
      u32 c0 = rgb565(base + amp, base + amp / 2 + 10, base - 20 + amp);
      u32 c1 = rgb565(base - amp, base - amp / 2, base - 20 - amp);
      if (c0 < c1) std::swap(c0, c1);
      if (rng.below(20) < 19) {
        blocks.append("\xff\xff\0\0\0\0\0\0", 8);
      } else {
        blocks.push_back((char)std::min(255, 200 + amp));
        blocks.push_back((char)(200 - amp));
        for (int k = 0; k < 6; ++k) blocks.push_back((char)rng.next());
      }
      const u32 indices = (u32)rng.next();
      const u32 words[2] = {c0 | c1 << 16, indices};
      blocks.append((const char*)words, sizeof(words));
    }
  }
  return blocks;
}

// The levels of a DDS fixture laid out as an image entry.
std::string laid_out_fixture(const char* name, u32 header, umbra_test::surface_kind_t kind, u32 size, u32 mips) {
  const std::string file = umbra_test::read_file(umbra_test::texture_fixture(name));
  return umbra_test::expected_entry_data(kind, size, size, mips, 1, file.substr(header));
}

struct texture_case_t {
  const char* name;
  std::string data;
};

TEST(gdeflate_texture_pages, stay_within_one_percent_of_libdeflate_level_12) {
  const texture_case_t cases[] = {
      {"grey pixel noise", grey_pixel_noise()},
      {"BC3 with opaque alpha", bc3_opaque_alpha()},
      {"BC7 128x128 from pixels",
       laid_out_fixture("dds/bc7_mode6_decal_128x128_mips.dds", 148, {16, true}, 128, 8)},
      {"BC1 256x256 from nvcompress", laid_out_fixture("dds/nvtt_bc1_256x256_mips.dds", 128, {8, true}, 256, 9)},
  };
  umbra::gdeflate_encoder_t* encoder = umbra::gdeflate_encoder_create();
  ASSERT_NE(encoder, nullptr);
  libdeflate_compressor* peer = libdeflate_alloc_compressor(12);
  ASSERT_NE(peer, nullptr);
  std::vector<u8> page(std::max<size_t>(umbra::GDEFLATE_MAX_COMPRESSED_PAGE,
                                        libdeflate_deflate_compress_bound(peer, umbra::GDEFLATE_PAGE_SIZE)));
  for (const texture_case_t& c : cases) {
    const u8* bytes = (const u8*)c.data.data();
    u64 ours = 0, theirs = 0, pages = 0;
    for (size_t at = 0; at < c.data.size(); at += umbra::GDEFLATE_PAGE_SIZE, ++pages) {
      const u32 n = (u32)std::min<size_t>(umbra::GDEFLATE_PAGE_SIZE, c.data.size() - at);
      const u32 size = umbra::gdeflate_encode_page(*encoder, bytes + at, n, page.data(), (u32)page.size());
      ASSERT_NE(size, 0u) << c.name;
      ours += size;
      theirs += libdeflate_deflate_compress(peer, bytes + at, n, page.data(), page.size());
    }
    EXPECT_LE(ours, theirs + theirs / 100 + pages * LANE_SLACK)
        << c.name << ": ours " << ours << ", libdeflate-12 " << theirs << " over " << pages << " page(s)";
  }
  libdeflate_free_compressor(peer);
  umbra::gdeflate_encoder_destroy(encoder);
}

}  // namespace
