// Page runs: the length a size gets, and every byte of a run can be written and read.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "umbracore/platform/memory_platform.h"

using namespace umbra;
using namespace umbra::platform;

namespace {

TEST(PageRun, LengthsComeInSmallStepsThenLargePages) {
  struct case_t {
    u64 size, length;
  } cases[] = {
      {1, 64u << 10},
      {64u << 10, 64u << 10},
      {(64u << 10) + 1, 128u << 10},
      {(2u << 20) - 1, 2u << 20},
      {2u << 20, 2u << 20},
      {(2u << 20) + 1, 4u << 20},
      {15000000, 16u << 20},
  };
  for (const case_t& c : cases) EXPECT_EQ(page_run_length(c.size), c.length) << c.size;
}

TEST(PageRun, WholeRunIsWritable) {
  for (u64 size : {u64(100), u64(300000), u64(5u << 20) + 7}) {
    SCOPED_TRACE(size);
    u8* run = static_cast<u8*>(allocate_page_run(size));
    ASSERT_NE(run, nullptr);
    const u64 length = page_run_length(size);
    std::memset(run, 0xA5, length);
    EXPECT_EQ(run[0], 0xA5);
    EXPECT_EQ(run[length - 1], 0xA5);
#ifndef _WIN32
    // Large runs start on a large page, or no large page could back them.
    if (length >= PAGE_RUN_LARGE_PAGE) {
      EXPECT_EQ((uintptr_t)run % PAGE_RUN_LARGE_PAGE, 0u);
    }
#endif
    free_page_run(run, size);
  }
  EXPECT_EQ(allocate_page_run(0), nullptr);
}

}  // namespace
