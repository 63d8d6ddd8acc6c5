// The tables' storage: always a zlib stream that zlib itself decodes, even where it is
// longer than the table, except that a stream of exactly the table's length gives way to
// the raw table (readers tell the two apart by length alone).
#include <gtest/gtest.h>

#include <string>

#include "support/archive_reader.h"
#include "support/test_rng.h"
#include "tools/packer/archive_writer.h"
#include "tools/packer/packer_common.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

using namespace umbra;

namespace {

struct stored_table_t {
  bool ok = false;
  u32 stored_size = 0;
  std::string bytes;
};

stored_table_t store(const array_dyn_t<u8>& raw) {
  stored_table_t result;
  auto archive = mem_file_create();
  result.ok = store_table(archive.get(), raw, "Error compressing entry table", &result.stored_size);
  result.bytes.assign(archive->get_size(), '\0');
  EXPECT_TRUE(archive->read_at(&result.bytes[0], result.bytes.size(), 0));
  return result;
}

// Random bytes followed by a run of zeros: the stream's length follows the run's.
array_dyn_t<u8> table_bytes(u32 random, u32 zeros, u64 seed) {
  umbra_test::rng_t rng{seed};
  array_dyn_t<u8> raw;
  for (u32 i = 0; i < random; ++i) raw.append((u8)rng.next());
  for (u32 i = 0; i < zeros; ++i) raw.append(0);
  return raw;
}

u64 stream_length(const array_dyn_t<u8>& raw) {
  array_dyn_t<u8> stream;
  EXPECT_EQ(zlib_compress_buffer(raw.data(), raw.count(), false, stream), ZLIB_COMPRESS_MADE);
  return stream.count();
}

}  // namespace

TEST(store_table_test, tables_are_zlib_streams_even_when_longer) {
  for (u32 random : {16u, 160u, 4000u}) {
    const array_dyn_t<u8> raw = table_bytes(random, 0, random);
    const stored_table_t stored = store(raw);
    ASSERT_TRUE(stored.ok);
    EXPECT_GT(stored.stored_size, raw.count()) << random;
    EXPECT_EQ(stored.bytes.size(), stored.stored_size);
    std::string table;
    EXPECT_TRUE(umbra_test::zlib_uncompress_exact(stored.bytes, raw.count(), &table)) << random;
    EXPECT_TRUE(table == std::string(raw.begin(), raw.end())) << random;
  }
  const array_dyn_t<u8> zeros = table_bytes(0, 4096, 0);
  const stored_table_t small = store(zeros);
  ASSERT_TRUE(small.ok);
  EXPECT_LT(small.stored_size, 100u);
}

TEST(store_table_test, a_stream_as_long_as_the_table_stores_the_table_raw) {
  // Find a table whose stream is exactly as long as the table itself.
  array_dyn_t<u8> raw;
  bool found = false;
  for (u32 random = 40; random < 400 && !found; ++random) {
    for (u32 zeros = 0; zeros < 200 && !found; ++zeros) {
      raw = table_bytes(random, zeros, 5);
      found = stream_length(raw) == raw.count();
    }
  }
  ASSERT_TRUE(found);
  const stored_table_t stored = store(raw);
  ASSERT_TRUE(stored.ok);
  EXPECT_EQ(stored.stored_size, raw.count());
  EXPECT_TRUE(stored.bytes == std::string(raw.begin(), raw.end()));
}
