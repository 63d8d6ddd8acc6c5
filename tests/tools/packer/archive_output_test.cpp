// The staged writer must place every byte exactly where a direct write would have, across
// staging-buffer boundaries and with both buffers in turn.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/packer/archive_output.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace {

std::vector<umbra::u8> pattern(size_t size, umbra::u8 seed) {
  std::vector<umbra::u8> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = (umbra::u8)(seed + i * 7 + (i >> 11));
  return bytes;
}

std::vector<umbra::u8> contents(umbra::file_t* file) {
  std::vector<umbra::u8> bytes(file->get_size());
  EXPECT_TRUE(file->read_at(bytes.data(), bytes.size(), 0));
  return bytes;
}

TEST(archive_output_test, blocks_land_aligned_and_intact_across_staging_boundaries) {
  // Sizes around the 4 MiB staging buffer: a block that ends exactly on it, one that
  // straddles two refills, small odd blocks that need padding in between.
  const std::vector<size_t> sizes = {3, (4u << 20) - 3 - 13, 1, 9u << 20, 0, 17, 5u << 20};
  auto archive = umbra::mem_file_create();
  archive->set_position(4096);
  std::vector<umbra::u8> expected(4096, 0);
  {
    umbra::archive_output_t output(archive.get());
    for (size_t i = 0; i < sizes.size(); ++i) {
      ASSERT_TRUE(output.align16());
      expected.resize((expected.size() + 15) & ~size_t(15), 0);
      ASSERT_EQ(output.position(), expected.size());
      std::vector<umbra::u8> block = pattern(sizes[i], (umbra::u8)i);
      if (i % 2) {
        auto file = umbra::mem_file_create_read_only(block.data(), block.size(), "block");
        ASSERT_TRUE(output.append_file(file.get()));
      } else {
        ASSERT_TRUE(output.append(block.data(), block.size()));
      }
      expected.insert(expected.end(), block.begin(), block.end());
    }
    ASSERT_TRUE(output.flush());
    EXPECT_EQ(archive->get_position(), expected.size());
  }
  EXPECT_TRUE(contents(archive.get()) == expected);
}

// Sharing compares a new block with one appended before, wherever its bytes are now:
// already in the archive, still staged, or both.
TEST(archive_output_test, holds_compares_with_the_bytes_wherever_they_are) {
  auto archive = umbra::mem_file_create();
  archive->set_position(16);
  umbra::archive_output_t output(archive.get());
  const std::vector<umbra::u8> before = pattern(3u << 20, 1), across = pattern(2u << 20, 2), staged = pattern(4000, 3);
  std::vector<umbra::u64> offsets;
  for (const auto* block : {&before, &across, &staged}) {
    ASSERT_TRUE(output.align16());
    offsets.push_back(output.position());
    ASSERT_TRUE(output.append(block->data(), block->size()));
  }
  ASSERT_LT(offsets[1], 4u << 20);
  ASSERT_GT(offsets[1] + across.size(), (4u << 20) + 16);
  auto holds = [&output](umbra::u64 offset, std::vector<umbra::u8> bytes) {
    auto file = umbra::mem_file_create_read_only(bytes.data(), bytes.size(), "block");
    return output.holds(offset, file.get());
  };
  const struct {
    const char* name;
    const std::vector<umbra::u8>* block;
    umbra::u64 offset;
  } cases[] = {{"in the archive", &before, offsets[0]},
               {"across the boundary", &across, offsets[1]},
               {"staged", &staged, offsets[2]}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_TRUE(holds(c.offset, *c.block));
    for (size_t at : {size_t(0), c.block->size() / 2, c.block->size() - 1}) {
      std::vector<umbra::u8> changed = *c.block;
      changed[at] ^= 0x80;
      EXPECT_FALSE(holds(c.offset, changed)) << at;
    }
    std::vector<umbra::u8> shorter(c.block->begin(), c.block->end() - 1);
    EXPECT_TRUE(holds(c.offset, shorter));
    EXPECT_FALSE(holds(c.offset + 16, *c.block));
  }
  // Past what was appended: never, however the bytes compare.
  EXPECT_FALSE(holds(offsets[2], pattern(4001, 3)));
  EXPECT_FALSE(holds(output.position() + 16, {}));
  ASSERT_TRUE(output.flush());
  EXPECT_TRUE(holds(offsets[1], across));
}

}  // namespace
