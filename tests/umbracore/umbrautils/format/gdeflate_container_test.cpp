// The tile stream around the pages: header fields at the page boundaries, the limits of
// the compress side, and hostile headers and page tables on the decompress side.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>
#include <vector>

#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/gdeflate_page.h"

namespace {

using umbra::u32;
using umbra::u64;
using umbra::u8;

u32 le32(const std::vector<u8>& s, size_t at) {
  return (u32)s[at] | (u32)s[at + 1] << 8 | (u32)s[at + 2] << 16 | (u32)s[at + 3] << 24;
}
void put_le32(std::vector<u8>& s, size_t at, u32 v) {
  for (u32 i = 0; i < 4; ++i) s[at + i] = (u8)(v >> (8 * i));
}

std::vector<u8> text_input(size_t n) {
  static const char sample[] = "every page starts again at lane zero; the lanes take words in turn. ";
  std::vector<u8> data(n);
  for (size_t i = 0; i < n; ++i) data[i] = (u8)sample[(i * 7 + i / 97) % (sizeof(sample) - 1)];
  return data;
}

std::vector<u8> compress(const std::vector<u8>& input) {
  umbra::array_dyn_t<u8> out;
  EXPECT_TRUE(umbra::gdeflate_compress(input.data(), input.size(), out));
  return std::vector<u8>(out.begin(), out.end());
}

bool decompress(const std::vector<u8>& stream, u64 out_size) {
  std::vector<u8> out(out_size ? out_size : 1);
  return umbra::gdeflate_decompress(out.data(), out_size, stream.data(), stream.size());
}

// Builds a tile stream from pages given as (input bytes) with a free header word.
std::vector<u8> assemble(const std::vector<std::vector<u8>>& pages, u32 header_word) {
  std::vector<u8> s(8 + 4 * pages.size());
  s[0] = 4;
  s[1] = 0xFB;
  s[2] = (u8)pages.size();
  s[3] = (u8)(pages.size() >> 8);
  put_le32(s, 4, header_word);
  u32 offset = 0;
  for (size_t i = 0; i < pages.size(); ++i) {
    if (i > 0) put_le32(s, 8 + 4 * i, offset);
    offset += (u32)pages[i].size();
    s.insert(s.end(), pages[i].begin(), pages[i].end());
  }
  if (!pages.empty()) put_le32(s, 8, (u32)pages.back().size());
  return s;
}

std::vector<u8> encode_page(const std::vector<u8>& input) {
  umbra::gdeflate_encoder_t* encoder = umbra::gdeflate_encoder_create();
  std::vector<u8> page(umbra::GDEFLATE_MAX_COMPRESSED_PAGE);
  const u32 size =
      umbra::gdeflate_encode_page(*encoder, input.data(), (u32)input.size(), page.data(), (u32)page.size());
  umbra::gdeflate_encoder_destroy(encoder);
  page.resize(size);
  return page;
}

TEST(gdeflate_container, header_at_page_boundaries) {
  const struct {
    size_t n;
    u32 pages;
    u32 word;
  } cases[] = {
      {1, 1, 0x00000005},      {65535, 1, 0x0003FFFD}, {65536, 1, 0x00000001},
      {65537, 2, 0x00000005},  {163840, 3, 0x00020001},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.n);
    const std::vector<u8> input = text_input(c.n);
    const std::vector<u8> stream = compress(input);
    ASSERT_GE(stream.size(), 8u + 4 * c.pages);
    EXPECT_EQ(stream[0], 4);
    EXPECT_EQ(stream[1], 0xFB);
    EXPECT_EQ((u32)(stream[2] | stream[3] << 8), c.pages);
    EXPECT_EQ(le32(stream, 4), c.word);
    // Entry 0 is the last page's size, entry i the offset of page i; the pages fill the rest.
    u32 last_offset = c.pages > 1 ? le32(stream, 8 + 4 * (c.pages - 1)) : 0;
    EXPECT_EQ(8 + 4 * c.pages + last_offset + le32(stream, 8), stream.size());
    std::vector<u8> back(c.n);
    ASSERT_TRUE(umbra::gdeflate_decompress(back.data(), back.size(), stream.data(), stream.size()));
    EXPECT_TRUE(back == input);
  }
}

TEST(gdeflate_container, compress_refuses_what_a_stream_cannot_hold) {
  const u8 byte = 1;
  umbra::array_dyn_t<u8> out;
  EXPECT_FALSE(umbra::gdeflate_compress(&byte, 0, out));
  // 65535 full pages plus one byte: the page count no longer fits; refused before any read.
  EXPECT_FALSE(umbra::gdeflate_compress(&byte, 65535ull * 65536 + 1, out));
  EXPECT_EQ(out.count(), 0u);
}

TEST(gdeflate_container, compress_appends_to_what_the_array_holds) {
  const std::vector<u8> input = text_input(5000);
  umbra::array_dyn_t<u8> out;
  const u8 prefix[3] = {9, 8, 7};
  ASSERT_TRUE(out.append_block(prefix, 3));
  ASSERT_TRUE(umbra::gdeflate_compress(input.data(), input.size(), out));
  EXPECT_EQ(out[0], 9);
  std::vector<u8> back(input.size());
  EXPECT_TRUE(umbra::gdeflate_decompress(back.data(), back.size(), out.data() + 3, out.count() - 3));
  EXPECT_TRUE(back == input);
}

// Pages spread over threads: whichever thread takes which page, the stream is that of
// the pages encoded one by one, in order, behind a prefix the array already held.
TEST(gdeflate_container, pages_compressed_on_many_threads_give_the_one_stream) {
  std::vector<u8> input = text_input(9 * 65536 + 1234);
  for (size_t i = 2 * 65536; i < 4 * 65536; ++i) input[i] = (u8)(i * 2654435761u >> 13);  // pages of another size
  std::vector<std::vector<u8>> pages;
  for (size_t first = 0; first < input.size(); first += 65536) {
    const size_t end = std::min(input.size(), first + 65536);
    pages.push_back(encode_page(std::vector<u8>(input.begin() + first, input.begin() + end)));
  }
  std::vector<u8> expected = {5, 6};
  const std::vector<u8> stream = assemble(pages, 1 | (1234u << 2));
  expected.insert(expected.end(), stream.begin(), stream.end());

  for (int threads : {1, 2, 5}) {
    umbra::array_dyn_t<u8> out;
    ASSERT_TRUE(out.append_block(expected.data(), 2));
    umbra::gdeflate_paged_compressor_t compressor;
    ASSERT_TRUE(compressor.begin(input.data(), input.size(), out));
    EXPECT_EQ(compressor.page_count(), 10u);
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) workers.emplace_back([&compressor] { compressor.compress_pages(); });
    for (auto& worker : workers) worker.join();
    EXPECT_FALSE(compressor.has_pages_left());
    compressor.compress_pages();  // too late: nothing left to take
    ASSERT_TRUE(compressor.finish());
    EXPECT_TRUE(std::vector<u8>(out.begin(), out.end()) == expected) << threads << " threads";
  }
}

// A stream whose pages were never all compressed is no stream: out is given back as it was.
TEST(gdeflate_container, finish_without_every_page_fails_and_restores_the_array) {
  const std::vector<u8> input = text_input(3 * 65536);
  umbra::array_dyn_t<u8> out;
  const u8 prefix = 42;
  ASSERT_TRUE(out.append_block(&prefix, 1));
  umbra::gdeflate_paged_compressor_t compressor;
  ASSERT_TRUE(compressor.begin(input.data(), input.size(), out));
  EXPECT_TRUE(compressor.has_pages_left());
  EXPECT_FALSE(compressor.finish());
  EXPECT_EQ(out.count(), 1u);
  EXPECT_EQ(out[0], 42);
}

TEST(gdeflate_container, zero_pages_decode_to_nothing) {
  std::vector<u8> stream = {4, 0xFB, 0, 0, 1, 0, 0, 0};
  EXPECT_TRUE(umbra::gdeflate_decompress(nullptr, 0, stream.data(), stream.size()));
  u64 size = 1;
  EXPECT_TRUE(umbra::gdeflate_decoded_size(stream.data(), stream.size(), size));
  EXPECT_EQ(size, 0u);
  // An empty stream cannot fill a buffer that expects bytes.
  EXPECT_FALSE(decompress(stream, 10));
}

TEST(gdeflate_container, hostile_headers_and_tables_fail) {
  const std::vector<u8> input = text_input(65536 * 2 + 300);
  const std::vector<u8> good = compress(input);
  ASSERT_TRUE(decompress(good, input.size()));
  const u32 entry1 = le32(good, 12);
  const u32 entry2 = le32(good, 16);

  struct damage_t {
    const char* what;
    size_t at;
    u32 value;
    bool word;
  } cases[] = {
      {"id", 0, 5, false},
      {"magic", 1, 0xFA, false},
      {"page count up", 2, 4, false},
      {"page count down", 2, 2, false},
      {"page size index", 4, 0x00000002 | (300 << 2), true},
      {"last page size", 4, 0x00000001 | (301 << 2), true},
      {"last size field beyond 16 bits", 4, 0x00000001 | (0x10000 << 2), true},
      {"page 1 offset backwards", 12, 0, true},
      {"page 2 before page 1", 16, entry1 - 4, true},
      {"page 2 offset past the end", 16, (u32)good.size(), true},
      {"last page past the end", 8, (u32)(good.size() - 12 - entry2 + 4), true},
      {"page 1 shorter than a page's first words", 16, entry1 + 64, true},
      {"huge last page", 8, 0xFFFFFFFFu, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<u8> bad(good);
    if (c.word) {
      put_le32(bad, c.at, c.value);
    } else {
      bad[c.at] = (u8)c.value;
    }
    EXPECT_FALSE(decompress(bad, input.size()));
  }
  // Shorter streams than the header and table fail without reading past them.
  for (size_t n = 0; n < 8 + 12; ++n) {
    std::vector<u8> part(good.begin(), good.begin() + n);
    EXPECT_FALSE(decompress(part, input.size()));
  }
}

TEST(gdeflate_container, every_page_must_fill_exactly_its_slot) {
  const std::vector<u8> full = text_input(65536);
  const std::vector<u8> short_input(full.begin(), full.begin() + 1000);
  const std::vector<u8> tail = {'x', 'y', 'z'};
  // A first page that yields fewer than 65536 bytes, the hole left for the caller.
  EXPECT_FALSE(decompress(assemble({encode_page(short_input), encode_page(tail)}, 1 | 3 << 2), 65536 + 3));
  // A last page that yields more than the header announces.
  EXPECT_FALSE(decompress(assemble({encode_page(full), encode_page(tail)}, 1 | 2 << 2), 65536 + 2));
  // ... or fewer.
  EXPECT_FALSE(decompress(assemble({encode_page(full), encode_page(tail)}, 1 | 4 << 2), 65536 + 4));
  // The same pages with the right header decode.
  EXPECT_TRUE(decompress(assemble({encode_page(full), encode_page(tail)}, 1 | 3 << 2), 65536 + 3));
}

}  // namespace
