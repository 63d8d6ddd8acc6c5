// Single pages, written bit by bit through our lane writer: the worked examples of the
// format come out byte for byte, and pages with one specific fault are refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_block_writer.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace {

using namespace umbra;

std::vector<u8> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<u8>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

// A page under construction.
struct page_t {
  std::vector<u8> bytes = std::vector<u8>(70000);
  std::unique_ptr<gd_lane_scratch_t> scratch = std::make_unique<gd_lane_scratch_t>();
  gd_lane_writer_t w{bytes.data(), (u32)bytes.size(), *scratch};

  std::vector<u8> finish() {
    bytes.resize(w.finish());
    return bytes;
  }
};

bool decode(const std::vector<u8>& page, u32 out_size, std::vector<u8>* out = nullptr) {
  std::vector<u8> exact(page);
  std::vector<u8> buffer(out_size);
  const bool ok = gdeflate_decode_page(exact.data(), exact.size(), buffer.data(), out_size);
  if (out) *out = buffer;
  return ok;
}

u32 match(u32 len, u32 dist) { return len << 16 | dist; }

TEST(gdeflate_page, stored_block_is_the_worked_example) {
  const u8 data[12] = {0xF0, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA, 0xFB};
  page_t p;
  gd_write_stored_blocks(p.w, data, 12, true);
  const std::vector<u8> page = p.finish();
  ASSERT_EQ(page.size(), 176u);
  std::vector<u8> expected(176, 0);
  store_le32(expected.data(), 0x07800061);
  for (u32 lane = 1; lane < 12; ++lane) expected[4 * lane] = data[lane];
  EXPECT_TRUE(page == expected);
  std::vector<u8> out;
  ASSERT_TRUE(decode(page, 12, &out));
  EXPECT_EQ(0, std::memcmp(out.data(), data, 12));
}

TEST(gdeflate_page, fixed_block_matches_the_reference_page) {
  // "abcabcabcabc" at level 1: four literals and one match whose distance is read in
  // the end-of-block pass.
  const std::vector<u8> reference = read_bytes(std::string(UMBRA_TEST_DATA_DIR) + "/gdeflate/v02_abc12.L1.gd");
  ASSERT_EQ(reference.size(), 164u);
  const u32 tokens[] = {'a', 'b', 'c', 'a', match(8, 3)};
  page_t p;
  gd_write_huffman_block(p.w, true, gd_fixed_code(), nullptr, tokens, 5);
  const std::vector<u8> page = p.finish();
  EXPECT_TRUE(page == std::vector<u8>(reference.begin() + 12, reference.end()));
  std::vector<u8> out;
  ASSERT_TRUE(decode(page, 12, &out));
  EXPECT_EQ(std::string(out.begin(), out.end()), "abcabcabcabc");
}

TEST(gdeflate_page, long_lengths_and_far_distances_round_trip) {
  // 258 as symbol 284 with extra 31, longer lengths as 285, distance symbols 30 and 31.
  std::vector<u8> expected(65536);
  for (u32 i = 0; i < 40000; ++i) expected[i] = (u8)(i * 2654435761u >> 13);
  std::memcpy(expected.data() + 40000, expected.data() + 100, 258);         // distance 39900: symbol 30
  std::memcpy(expected.data() + 40258, expected.data() + 0, 20000);         // distance 40258, length 20000
  std::memcpy(expected.data() + 60258, expected.data() + 0, 5278);          // distance 60258: symbol 31
  std::vector<u32> tokens;
  for (u32 i = 0; i < 40000; ++i) tokens.push_back(expected[i]);
  tokens.push_back(match(258, 39900));
  tokens.push_back(match(20000, 40258));
  tokens.push_back(match(5278, 60258));
  for (const gd_code_t* code : {&gd_fixed_code(), (const gd_code_t*)nullptr}) {
    gd_block_stats_t stats;
    stats.clear();
    stats.add_tokens(tokens.data(), (u32)tokens.size());
    gd_code_t dynamic;
    gd_dynamic_header_t header;
    gd_build_dynamic_code(stats, dynamic);
    gd_build_dynamic_header(dynamic, header);
    page_t p;
    gd_write_huffman_block(p.w, true, code ? *code : dynamic, code ? nullptr : &header, tokens.data(),
                           (u32)tokens.size());
    std::vector<u8> out;
    ASSERT_TRUE(decode(p.finish(), 65536, &out));
    EXPECT_TRUE(out == expected);
  }
}

TEST(gdeflate_page, symbols_outside_the_alphabet_fail) {
  for (u32 sym : {286u, 287u}) {
    page_t p;
    p.w.put(0, 1 | GD_BLOCK_FIXED << 1, 3);
    p.w.check(0);
    p.w.put(0, gd_fixed_code().litlen_codewords[sym], gd_fixed_code().litlen_lens[sym]);
    p.w.check(0);
    EXPECT_FALSE(decode(p.finish(), 100)) << sym;
  }
  page_t p;
  p.w.put(0, 1 | 3 << 1, 3);  // block type 3
  p.w.check(0);
  EXPECT_FALSE(decode(p.finish(), 100));
}

TEST(gdeflate_page, distance_before_the_page_start_fails) {
  const u32 tokens[] = {'a', 'b', match(3, 3)};
  page_t p;
  gd_write_huffman_block(p.w, true, gd_fixed_code(), nullptr, tokens, 3);
  EXPECT_FALSE(decode(p.finish(), 5));
}

TEST(gdeflate_page, writes_past_the_output_slot_fail) {
  const u32 tokens[] = {'a', match(300, 1), 'b'};
  for (u32 out_size : {0u, 1u, 300u, 301u}) {
    page_t p;
    gd_write_huffman_block(p.w, true, gd_fixed_code(), nullptr, tokens, 3);
    EXPECT_FALSE(decode(p.finish(), out_size)) << out_size;
  }
  page_t p;
  gd_write_huffman_block(p.w, true, gd_fixed_code(), nullptr, tokens, 3);
  EXPECT_TRUE(decode(p.finish(), 302));
}

TEST(gdeflate_page, distance_from_an_empty_distance_code_fails) {
  const u32 tokens[] = {'a', match(3, 1)};
  gd_block_stats_t stats;
  stats.clear();
  stats.add_tokens(tokens, 2);
  gd_code_t code;
  gd_build_dynamic_code(stats, code);
  std::memset(code.dist_lens, 0, sizeof(code.dist_lens));
  gd_dynamic_header_t header;
  gd_build_dynamic_header(code, header);
  page_t p;
  gd_write_huffman_block(p.w, true, code, &header, tokens, 2);
  EXPECT_FALSE(decode(p.finish(), 4));
}

// A dynamic block of all 256 byte values: equal lengths, so the header uses repeats.
struct all_bytes_block_t {
  std::vector<u32> tokens;
  gd_code_t code;
  gd_dynamic_header_t header;

  all_bytes_block_t() {
    for (u32 b = 0; b < 256; ++b) tokens.push_back(b);
    gd_block_stats_t stats;
    stats.clear();
    stats.add_tokens(tokens.data(), 256);
    gd_build_dynamic_code(stats, code);
    gd_build_dynamic_header(code, header);
  }
  std::vector<u8> page() {
    page_t p;
    gd_write_huffman_block(p.w, true, code, &header, tokens.data(), 256);
    return p.finish();
  }
};

TEST(gdeflate_page, malformed_code_length_sections_fail) {
  all_bytes_block_t good;
  ASSERT_TRUE(decode(good.page(), 256));
  ASSERT_NE(good.header.precode_lens[16], 0);

  all_bytes_block_t repeat_first;  // symbol 16 with no length before it
  repeat_first.header.items[0] = 16;
  EXPECT_FALSE(decode(repeat_first.page(), 256));

  all_bytes_block_t run_too_long;  // a repeat past the announced count of lengths
  run_too_long.header.items[run_too_long.header.num_items - 1] = 16 | 3 << 8;
  EXPECT_FALSE(decode(run_too_long.page(), 256));

  all_bytes_block_t oversubscribed;  // a 9-bit code turned into an 8-bit one: too many codes
  u32* nine = std::find(oversubscribed.header.items, oversubscribed.header.items + oversubscribed.header.num_items, 9u);
  ASSERT_NE(nine, oversubscribed.header.items + oversubscribed.header.num_items);
  *nine = 8;
  EXPECT_FALSE(decode(oversubscribed.page(), 256));
}

TEST(gdeflate_page, page_that_ends_before_its_last_block_fails) {
  const u8 data[40] = {};
  page_t p;
  gd_write_stored_blocks(p.w, data, 40, false);  // not the final block, and nothing follows
  std::vector<u8> page = p.finish();
  EXPECT_FALSE(decode(page, 40));
  EXPECT_FALSE(decode(std::vector<u8>(page.begin(), page.begin() + 127), 0));
}

TEST(gdeflate_page, encoder_takes_stored_bytes_when_they_are_smaller) {
  // One byte: a stored page of 132 bytes beats a fixed block of 136.
  gdeflate_encoder_t* encoder = gdeflate_encoder_create();
  ASSERT_NE(encoder, nullptr);
  std::vector<u8> page(GDEFLATE_MAX_COMPRESSED_PAGE);
  const u8 one = 'A';
  EXPECT_EQ(gdeflate_encode_page(*encoder, &one, 1, page.data(), (u32)page.size()), 132u);
  // Incompressible full page: two stored blocks, the largest page there is.
  std::vector<u8> noise(65536);
  u32 x = 1;
  for (u8& b : noise) b = (u8)((x = x * 1103515245u + 12345u) >> 23);
  EXPECT_EQ(gdeflate_encode_page(*encoder, noise.data(), 65536, page.data(), (u32)page.size()),
            GDEFLATE_MAX_COMPRESSED_PAGE);
  // Too small an output buffer gives 0.
  EXPECT_EQ(gdeflate_encode_page(*encoder, noise.data(), 65536, page.data(), 60000), 0u);
  gdeflate_encoder_destroy(encoder);
}

// Near-random pages take a cheaper search than text; it must still find their repeats,
// near and far, and switching between the searches from page to page must leave no
// trace: a reused encoder gives what a fresh one gives.
TEST(gdeflate_page, near_random_pages_find_their_repeats_whatever_came_before) {
  std::vector<u8> halves(65536), mutated(65536), text(65536);
  u32 x = 5;
  auto next = [&x] { return (u8)((x = x * 1103515245u + 12345u) >> 23); };
  for (u32 i = 0; i < 32768; ++i) halves[i] = next();
  std::copy(halves.begin(), halves.begin() + 32768, halves.begin() + 32768);
  for (u32 i = 0; i < mutated.size(); ++i) mutated[i] = i < 1000 || next() < 4 ? next() : mutated[i - 1000];
  for (u32 i = 0; i < text.size(); ++i) text[i] = (u8)("lane word round page "[i % 20] + (i / 997) % 3);

  auto encode = [](gdeflate_encoder_t* encoder, const std::vector<u8>& in) {
    std::vector<u8> page(GDEFLATE_MAX_COMPRESSED_PAGE);
    page.resize(gdeflate_encode_page(*encoder, in.data(), (u32)in.size(), page.data(), (u32)page.size()));
    return page;
  };
  std::vector<std::vector<u8>> fresh;
  for (const std::vector<u8>* in : {&halves, &mutated, &text}) {
    gdeflate_encoder_t* encoder = gdeflate_encoder_create();
    ASSERT_NE(encoder, nullptr);
    fresh.push_back(encode(encoder, *in));
    gdeflate_encoder_destroy(encoder);
  }
  // The second half is one long repeat; the mutated copy repeats 1000 bytes back with
  // about one byte in 64 changed.
  EXPECT_LT(fresh[0].size(), 32768u + 1024u);
  EXPECT_LT(fresh[1].size(), 65536u / 4);

  gdeflate_encoder_t* encoder = gdeflate_encoder_create();
  ASSERT_NE(encoder, nullptr);
  const std::vector<const std::vector<u8>*> order = {&text, &halves, &text, &mutated, &halves};
  const std::vector<u32> which = {2, 0, 2, 1, 0};
  for (u32 k = 0; k < order.size(); ++k) {
    const std::vector<u8> page = encode(encoder, *order[k]);
    EXPECT_EQ(page, fresh[which[k]]) << "page " << k;
    std::vector<u8> out;
    ASSERT_TRUE(decode(page, 65536, &out)) << "page " << k;
    EXPECT_EQ(out, *order[k]) << "page " << k;
  }
  gdeflate_encoder_destroy(encoder);
}

// One decoder state serves page after page: nothing of a failed or earlier page may
// leak into the next one.
TEST(gdeflate_page, decoder_state_carries_nothing_between_pages) {
  std::vector<u8> text(50000), pattern(65536);
  for (u32 i = 0; i < text.size(); ++i) text[i] = (u8)("lane word round page "[i % 20] + (i / 997) % 3);
  for (u32 i = 0; i < pattern.size(); ++i) pattern[i] = (u8)((i * 7) ^ (i >> 9));
  gdeflate_encoder_t* encoder = gdeflate_encoder_create();
  ASSERT_NE(encoder, nullptr);
  std::vector<u8> page_a(GDEFLATE_MAX_COMPRESSED_PAGE), page_b(GDEFLATE_MAX_COMPRESSED_PAGE);
  page_a.resize(gdeflate_encode_page(*encoder, text.data(), (u32)text.size(), page_a.data(), (u32)page_a.size()));
  page_b.resize(
      gdeflate_encode_page(*encoder, pattern.data(), (u32)pattern.size(), page_b.data(), (u32)page_b.size()));
  gdeflate_encoder_destroy(encoder);
  ASSERT_GT(page_a.size(), 128u);
  ASSERT_GT(page_b.size(), 128u);

  gdeflate_decoder_t* decoder = gdeflate_decoder_create();
  ASSERT_NE(decoder, nullptr);
  std::vector<u8> out(65536);
  // Cut off mid-page, then the same page whole, then another page.
  std::vector<u8> cut(page_a.begin(), page_a.begin() + page_a.size() / 2);
  EXPECT_FALSE(gdeflate_decode_page(*decoder, cut.data(), cut.size(), out.data(), (u32)text.size()));
  ASSERT_TRUE(gdeflate_decode_page(*decoder, page_a.data(), page_a.size(), out.data(), (u32)text.size()));
  EXPECT_EQ(0, std::memcmp(out.data(), text.data(), text.size()));
  ASSERT_TRUE(gdeflate_decode_page(*decoder, page_b.data(), page_b.size(), out.data(), (u32)pattern.size()));
  EXPECT_TRUE(out == pattern);
  gdeflate_decoder_destroy(decoder);
}

}  // namespace
