// The byte arrays of create's sources and blocks: bytes survive every change of storage
// (heap, run, back to heap), released runs are handed out again, and the pool keeps no
// more than its budget.
#include <gtest/gtest.h>

#include <vector>

#include "tools/packer/pooled_bytes.h"
#include "umbracore/platform/memory_platform.h"

using namespace umbra;

namespace {

u8 pattern(u64 i) { return (u8)(i * 131 + (i >> 12)); }

void fill(pooled_bytes_t& bytes, u64 from) {
  for (u64 i = from; i < bytes.count(); ++i) bytes[i] = pattern(i);
}

bool holds_pattern(const pooled_bytes_t& bytes) {
  for (u64 i = 0; i < bytes.count(); ++i)
    if (bytes[i] != pattern(i)) return false;
  return true;
}

// The pool is the process's: each test starts from an empty one.
class PooledBytes : public ::testing::Test {
 protected:
  void SetUp() override { pooled_bytes_trim(); }
  void TearDown() override { pooled_bytes_trim(); }
};

TEST_F(PooledBytes, BytesSurviveEveryChangeOfStorage) {
  // Heap, a small run, a large run, then shrunk and compacted back down.
  const u64 steps[] = {100, POOLED_BYTES_MIN_SIZE - 1, POOLED_BYTES_MIN_SIZE, 300000, 5u << 20, 7u << 20};
  pooled_bytes_t bytes;
  u64 filled = 0;
  for (u64 size : steps) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(bytes.resize_uninitialized(size));
    fill(bytes, filled);
    filled = size;
    EXPECT_GE(bytes.capacity(), size);
    EXPECT_TRUE(holds_pattern(bytes));
  }
  const u64 kept[] = {3u << 20, 1u << 20, 4000, 0};
  for (u64 size : kept) {
    SCOPED_TRACE(size);
    ASSERT_TRUE(bytes.resize(size));
    bytes.compact();
    EXPECT_EQ(bytes.count(), size);
    if (size >= POOLED_BYTES_MIN_SIZE) {
      EXPECT_LE(bytes.capacity(), 2 * platform::page_run_length(size));
    } else {
      EXPECT_LT(bytes.capacity(), POOLED_BYTES_MIN_SIZE);
    }
    EXPECT_TRUE(holds_pattern(bytes));
  }
}

TEST_F(PooledBytes, MovedArrayKeepsItsRun) {
  pooled_bytes_t a;
  ASSERT_TRUE(a.resize_uninitialized(3u << 20));
  fill(a, 0);
  const u8* data = a.data();
  pooled_bytes_t b(std::move(a));
  EXPECT_EQ(a.data(), nullptr);
  EXPECT_EQ(b.data(), data);
  pooled_bytes_t c;
  ASSERT_TRUE(c.resize_uninitialized(10));
  c = std::move(b);
  EXPECT_EQ(c.data(), data);
  EXPECT_TRUE(holds_pattern(c));
}

TEST_F(PooledBytes, ReleasedRunIsHandedOutAgain) {
  const u64 size = 3u << 20;
  pooled_bytes_t first;
  ASSERT_TRUE(first.resize_uninitialized(size));
  const u64 run = first.capacity();
  first.release_storage();
  EXPECT_EQ(pooled_bytes_retained(), run);
  // The pool now holds a run that fits: the next buffer takes one instead of new pages.
  pooled_bytes_t second;
  ASSERT_TRUE(second.resize_uninitialized(size));
  EXPECT_LE(second.capacity(), 2 * platform::page_run_length(size));
  EXPECT_EQ(second.capacity(), run);
  EXPECT_EQ(pooled_bytes_retained(), 0u);
}

TEST_F(PooledBytes, PoolKeepsNoMoreThanItsBudget) {
  const u64 size = 5u << 20;
  const u64 count = POOLED_BYTES_RETAINED / platform::page_run_length(size) + 2;
  {
    std::vector<pooled_bytes_t> held(count);
    for (pooled_bytes_t& bytes : held) ASSERT_TRUE(bytes.resize_uninitialized(size));
  }
  EXPECT_LE(pooled_bytes_retained(), POOLED_BYTES_RETAINED);
  EXPECT_GT(pooled_bytes_retained(), POOLED_BYTES_RETAINED - platform::page_run_length(size));
}

}  // namespace
