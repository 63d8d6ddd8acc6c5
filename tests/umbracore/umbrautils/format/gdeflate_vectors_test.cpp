// The published codec's streams in tests/data/gdeflate: every reference stream must
// decode to its input, every damaged one must fail, and our own stream for every input
// must decode again, lay out its header like the reference and be no larger than the
// reference's highest level plus 0.5%.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "umbracore/umbrautils/format/gdeflate.h"

namespace {

using umbra::u32;
using umbra::u64;
using umbra::u8;

const std::string VECTORS_DIR = std::string(UMBRA_TEST_DATA_DIR) + "/gdeflate/";

std::vector<u8> read_bytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<u8>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

struct manifest_row_t {
  std::string stream;
  std::string input;
  u64 input_size;
  u32 level;
  u64 stream_size;
  u32 pages;
  u32 word_at_4;
};

std::vector<manifest_row_t> read_manifest() {
  std::ifstream f(VECTORS_DIR + "manifest.tsv");
  std::vector<manifest_row_t> rows;
  std::string line;
  std::getline(f, line);  // column names
  while (std::getline(f, line)) {
    std::istringstream fields(line);
    manifest_row_t row;
    std::string sha, word;
    fields >> row.stream >> row.input >> row.input_size >> sha >> row.level >> row.stream_size >> row.pages >> word;
    row.word_at_4 = (u32)std::stoul(word, nullptr, 16);
    rows.push_back(row);
  }
  return rows;
}

bool decodes_to(const std::vector<u8>& stream, const std::vector<u8>& expected) {
  std::vector<u8> out(expected.size() + 1, 0xAA);
  if (!umbra::gdeflate_decompress(out.data(), expected.size(), stream.data(), stream.size())) return false;
  // Nothing may be written past the expected size.
  return std::equal(expected.begin(), expected.end(), out.begin()) && out.back() == 0xAA;
}

TEST(gdeflate_vectors, manifest_lists_every_reference_stream) {
  const auto rows = read_manifest();
  ASSERT_EQ(rows.size(), 30u);
}

TEST(gdeflate_vectors, reference_streams_decode_to_their_inputs) {
  for (const manifest_row_t& row : read_manifest()) {
    SCOPED_TRACE(row.stream);
    const std::vector<u8> stream = read_bytes(VECTORS_DIR + row.stream);
    const std::vector<u8> input = read_bytes(VECTORS_DIR + row.input);
    ASSERT_EQ(stream.size(), row.stream_size);
    ASSERT_EQ(input.size(), row.input_size);
    EXPECT_TRUE(decodes_to(stream, input));
    u64 size = 0;
    EXPECT_TRUE(umbra::gdeflate_decoded_size(stream.data(), stream.size(), size));
    EXPECT_EQ(size, row.input_size);
  }
}

TEST(gdeflate_vectors, special_streams_decode) {
  const struct {
    const char* stream;
    const char* expected;
  } cases[] = {
      {"s1_padded_pages.gd", "v07_text65537.bin"},
      {"s2_mixed_blocks.gd", "s2_mixed_blocks.bin"},
      {"s3_eob_lane31.gd", "s3_eob_lane31.bin"},
      {"s4_single_codeword.gd", "s4_single_codeword.bin"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stream);
    EXPECT_TRUE(decodes_to(read_bytes(VECTORS_DIR + c.stream), read_bytes(VECTORS_DIR + c.expected)));
  }
}

TEST(gdeflate_vectors, damaged_streams_fail) {
  const struct {
    const char* stream;
    u64 size;
  } cases[] = {
      {"x1_btype3.gd", 65536},
      {"x2_precode.gd", 163840},
      {"x3_table_cut.gd", 65537},
      {"x4_stored_len.gd", 48},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stream);
    const std::vector<u8> stream = read_bytes(VECTORS_DIR + c.stream);
    ASSERT_FALSE(stream.empty());
    std::vector<u8> out(c.size);
    EXPECT_FALSE(umbra::gdeflate_decompress(out.data(), out.size(), stream.data(), stream.size()));
  }
}

TEST(gdeflate_vectors, our_streams_decode_and_are_no_larger_than_the_highest_reference_level) {
  u64 ours_total = 0;
  u64 reference_total = 0;
  for (const manifest_row_t& row : read_manifest()) {
    if (row.level != 12) continue;
    SCOPED_TRACE(row.input);
    const std::vector<u8> input = read_bytes(VECTORS_DIR + row.input);
    umbra::array_dyn_t<u8> ours;
    ASSERT_TRUE(umbra::gdeflate_compress(input.data(), input.size(), ours));
    const std::vector<u8> stream(ours.begin(), ours.end());
    EXPECT_TRUE(decodes_to(stream, input));

    // Same container layout as the reference: id, magic, page count, header word.
    ASSERT_GE(stream.size(), 8u + 4u * row.pages);
    EXPECT_EQ(stream[0], 4);
    EXPECT_EQ(stream[1], 0xFB);
    EXPECT_EQ(stream[2] | stream[3] << 8, (int)row.pages);
    EXPECT_EQ((u32)(stream[4] | stream[5] << 8 | stream[6] << 16 | (u32)stream[7] << 24), row.word_at_4);

    EXPECT_LE(stream.size() * 1000, row.stream_size * 1005)
        << "ours " << stream.size() << " bytes, reference level 12 " << row.stream_size;
    std::printf("  %-22s reference L12 %7llu  ours %7llu  (%+.2f%%)\n", row.input.c_str(),
                (unsigned long long)row.stream_size, (unsigned long long)stream.size(),
                100.0 * ((double)stream.size() / (double)row.stream_size - 1));
    ours_total += stream.size();
    reference_total += row.stream_size;
  }
  std::printf("  %-22s reference L12 %7llu  ours %7llu  (%+.2f%%)\n", "all", (unsigned long long)reference_total,
              (unsigned long long)ours_total, 100.0 * ((double)ours_total / (double)reference_total - 1));
}

}  // namespace
