// The buffer pool of extraction jobs: which finished buffers are kept and who gets them.
#include <gtest/gtest.h>

#include "tools/packer/extract_buffers.h"

using namespace umbra;

namespace {

constexpr u64 KIB = 1024;
constexpr u64 MIB = 1024 * KIB;

// A finished job's buffer of the given size, as the pool gets it back.
array_dyn_t<u8> finished_buffer(u64 size) {
  array_dyn_t<u8> data;
  EXPECT_TRUE(data.resize_uninitialized(size));
  return data;
}

}  // namespace

TEST(extract_buffer_pool, hands_a_kept_buffer_only_to_a_job_it_fits_closely) {
  extract_buffer_pool_t pool(64 * MIB);
  array_dyn_t<u8> finished = finished_buffer(4 * MIB);
  const u8* storage = finished.data();
  pool.give(finished);
  EXPECT_EQ(finished.capacity(), 0u);
  EXPECT_EQ(pool.kept_count(), 1u);

  struct case_t {
    u64 size;
    bool reused;
  } cases[] = {
      {4 * MIB + 1, false},  // too small for it
      {2 * MIB - 1, false},  // less than half of it: left for a larger job
      {60 * KIB, false},     // small jobs never take kept buffers
      {3 * MIB, true},
  };
  for (const case_t& c : cases) {
    array_dyn_t<u8> data;
    ASSERT_TRUE(pool.take(c.size, data));
    EXPECT_EQ(data.count(), c.size);
    EXPECT_EQ(data.data() == storage, c.reused) << c.size;
    if (c.reused) {
      EXPECT_EQ(pool.kept_count(), 0u);
    }
  }
}

TEST(extract_buffer_pool, keeps_the_largest_buffers_within_its_limit) {
  extract_buffer_pool_t pool(10 * MIB);
  for (u64 size : {1 * MIB, 2 * MIB, 3 * MIB}) {
    array_dyn_t<u8> data = finished_buffer(size);
    pool.give(data);
  }
  EXPECT_EQ(pool.kept_bytes(), 6 * MIB);
  // Room for 5 MiB is made by dropping the smallest one.
  array_dyn_t<u8> large = finished_buffer(5 * MIB);
  pool.give(large);
  EXPECT_EQ(pool.kept_bytes(), 10 * MIB);
  EXPECT_EQ(pool.kept_count(), 3u);
  array_dyn_t<u8> fitting;
  ASSERT_TRUE(pool.take(1536 * KIB, fitting));
  EXPECT_EQ(fitting.capacity(), 2 * MIB) << "the 1 MiB buffer is gone, the 2 MiB one is the closest fit";
  pool.give(fitting);
  // Neither what exceeds the limit nor small buffers are kept.
  array_dyn_t<u8> huge = finished_buffer(11 * MIB);
  pool.give(huge);
  array_dyn_t<u8> small = finished_buffer(10 * KIB);
  pool.give(small);
  EXPECT_EQ(pool.kept_bytes(), 10 * MIB);
  EXPECT_EQ(huge.capacity(), 0u);
  EXPECT_EQ(small.capacity(), 0u);
}
