// Memory files: page arithmetic, zero pages, files over a caller's buffer.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

using namespace umbra;

namespace {

std::vector<u8> bytes_of(file_t& file, u64 offset, u64 size) {
  std::vector<u8> out(size, 0xEE);
  EXPECT_TRUE(file.read_at(out.data(), size, offset));
  return out;
}

}  // namespace

TEST(mem_file, write_far_past_the_end_allocates_only_the_written_page) {
  mem_file_t file;
  u8 one = 0x5A;
  ASSERT_TRUE(file.io_wait(file.io_write(&one, 1, 5000)));
  EXPECT_EQ(file.size(), 5001u);
  ASSERT_EQ(file.page_count(), 5u);
  for (u64 i = 0; i < 4; ++i) EXPECT_FALSE(file.is_page_allocated(i)) << i;
  EXPECT_TRUE(file.is_page_allocated(4));
  std::vector<u8> zeros = bytes_of(file, 0, 5000);
  EXPECT_EQ(zeros, std::vector<u8>(5000, 0));
  EXPECT_EQ(bytes_of(file, 5000, 1), std::vector<u8>{0x5A});
}

TEST(mem_file, read_past_the_end_fails) {
  auto file = mem_file_create();
  std::vector<u8> data(100, 1);
  ASSERT_TRUE(file->write(data.data(), data.size()));
  u8 out[10];
  EXPECT_EQ(file->io_read(out, 10, 95, FS_IO_FLAG_BLOCKING), nullptr);
  EXPECT_FALSE(file->read_at(out, 10, 95));
  EXPECT_FALSE(file->read_at(out, 1, ~0ull));  // offset + size wraps
  EXPECT_TRUE(file->read_at(out, 5, 95));
}

TEST(mem_file, write_spanning_pages_lands_in_pieces) {
  mem_file_t file;
  std::vector<u8> data(3000);
  for (size_t i = 0; i < data.size(); ++i) data[i] = (u8)(i * 7 + 3);
  ASSERT_TRUE(file.io_wait(file.io_write(data.data(), data.size(), 1000)));
  // Pieces of 24, 1024, 1024 and 928 bytes: pages 0 to 3 exist, nothing beyond.
  EXPECT_EQ(file.size(), 4000u);
  ASSERT_EQ(file.page_count(), 4u);
  for (u64 i = 0; i < 4; ++i) EXPECT_TRUE(file.is_page_allocated(i));
  EXPECT_EQ(bytes_of(file, 1000, 3000), data);
  EXPECT_EQ(bytes_of(file, 0, 1000), std::vector<u8>(1000, 0));
  // Reads that start and end inside pages.
  EXPECT_EQ(bytes_of(file, 1023, 2), std::vector<u8>(data.begin() + 23, data.begin() + 25));
  EXPECT_EQ(bytes_of(file, 3071, 929), std::vector<u8>(data.begin() + 2071, data.end()));
}

TEST(mem_file, set_size_keeps_one_entry_per_page_plus_one) {
  mem_file_t file;
  std::vector<u8> data(5000, 9);
  ASSERT_TRUE(file.write(data.data(), data.size()));
  ASSERT_EQ(file.page_count(), 5u);
  ASSERT_TRUE(file.set_size(0));
  EXPECT_EQ(file.size(), 0u);
  EXPECT_EQ(file.page_count(), 1u);
  EXPECT_TRUE(file.is_page_allocated(0));
  ASSERT_TRUE(file.set_size(3000));
  EXPECT_EQ(file.page_count(), 3u);
  EXPECT_EQ(file.size(), 3000u);
}

TEST(mem_file, bytes_reappearing_after_shrink_and_growth_read_as_zeros) {
  mem_file_t file;
  std::vector<u8> data(1000, 0xAB);
  ASSERT_TRUE(file.write(data.data(), data.size()));
  ASSERT_TRUE(file.set_size(10));
  ASSERT_TRUE(file.set_size(600));
  std::vector<u8> expected(600, 0);
  std::fill(expected.begin(), expected.begin() + 10, 0xAB);
  EXPECT_EQ(bytes_of(file, 0, 600), expected);
  // The same through a write past the end.
  ASSERT_TRUE(file.set_size(5));
  u8 one = 1;
  ASSERT_TRUE(file.io_wait(file.io_write(&one, 1, 900)));
  std::vector<u8> after = bytes_of(file, 0, 901);
  EXPECT_EQ(std::vector<u8>(after.begin() + 5, after.begin() + 900), std::vector<u8>(895, 0));
  EXPECT_EQ(after[900], 1);
}

TEST(mem_file, file_over_a_caller_buffer) {
  u8 buffer[100];
  for (int i = 0; i < 100; ++i) buffer[i] = (u8)i;
  mem_file_t file(buffer, sizeof(buffer), "table");
  EXPECT_EQ(file.size(), 100u);
  EXPECT_EQ(file.page_size(), 100u);
  EXPECT_EQ(bytes_of(file, 40, 3), (std::vector<u8>{40, 41, 42}));

  u8 tail[10];
  std::memset(tail, 0xCC, sizeof(tail));
  ASSERT_TRUE(file.io_wait(file.io_write(tail, 10, 90)));
  EXPECT_EQ(buffer[90], 0xCC);
  EXPECT_EQ(buffer[99], 0xCC);
  EXPECT_FALSE(file.set_size(101));

  path_string_t name;
  file.get_debug_name(name);
  EXPECT_STREQ(name.c_str(), "<MEMFILE><UNKNOWNFS>table");

  // Past the buffer the file grows with pages of its own.
  u8 more[150];
  std::memset(more, 0x11, sizeof(more));
  ASSERT_TRUE(file.io_wait(file.io_write(more, sizeof(more), 100)));
  EXPECT_EQ(file.size(), 250u);
  EXPECT_EQ(bytes_of(file, 95, 10), (std::vector<u8>{0xCC, 0xCC, 0xCC, 0xCC, 0xCC, 0x11, 0x11, 0x11, 0x11, 0x11}));
}

TEST(mem_file, empty_caller_buffer_is_usable) {
  u8 unused = 0;
  mem_file_t file(&unused, 0, "empty");
  EXPECT_EQ(file.size(), 0u);
  EXPECT_FALSE(file.set_size(1));
  u8 data[3] = {1, 2, 3};
  ASSERT_TRUE(file.io_wait(file.io_write(data, 3, 0)));
  EXPECT_EQ(bytes_of(file, 0, 3), (std::vector<u8>{1, 2, 3}));
}

TEST(mem_file, read_only_file_refuses_writes) {
  const u8 source[4] = {1, 2, 3, 4};
  auto file = mem_file_create_read_only(source, sizeof(source), "ro");
  u8 data = 7;
  EXPECT_EQ(file->io_write(&data, 1, 0), nullptr);
  EXPECT_FALSE(file->write(&data, 1));
  u8 out[4];
  EXPECT_TRUE(file->read(out, 4));
  EXPECT_EQ(std::memcmp(out, source, 4), 0);
}

TEST(mem_file, file_slots) {
  mem_file_t file;
  fs_stat_t info;
  ASSERT_TRUE(file.stat(&info));
  EXPECT_EQ(info.kind, (u32)FS_KIND_FILE);
  EXPECT_EQ(info.time, ~0ull);
  EXPECT_TRUE(file.stat(nullptr));
  EXPECT_FALSE(file.uses_read_cache());
  EXPECT_EQ(file.get_device_id(), FS_DEVICE_ID_NONE);
  path_string_t text;
  file.get_debug_name(text);
  EXPECT_STREQ(text.c_str(), "<MEMFILE><UNKNOWNFS><mem-file>");
  EXPECT_FALSE(file.get_ufs_path(text));
  file.set_device_type(FS_DEVICE_UFS);
  ASSERT_TRUE(file.get_ufs_path(text));
  EXPECT_STREQ(text.c_str(), "<mem-file>");
  // Zero-sized transfers complete at once, even without a buffer.
  EXPECT_EQ(file.io_read(nullptr, 0, 0, 1), fs_completed_request());
  EXPECT_TRUE(file.io_wait(fs_completed_request()));

  umbra_test::log_capture_t log;
  EXPECT_FALSE(file.commit_atomic());
  EXPECT_FALSE(file.cancel_atomic());
  EXPECT_EQ(log.errors(), (std::vector<std::string>{
                              "[file_t] Cannot use commit atomic operation on file <MEMFILE><UFS><mem-file>",
                              "[file_t] Cannot use cancel atomic operation on file <MEMFILE><UFS><mem-file>"}));
}

TEST(mem_file, files_on_different_threads_share_nothing_mutable) {
  // The zero page and the completed request are shared by every file; under
  // ThreadSanitizer this shows they are only read.
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      mem_file_t file;
      u8 byte = (u8)t;
      for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(file.io_wait(file.io_write(&byte, 1, (u64)i * 3000)));
        u8 out[17];
        if (i == 0) continue;
        ASSERT_TRUE(file.read_at(out, sizeof(out), (u64)i * 3000 - 16));
        ASSERT_EQ(out[0], 0);
        ASSERT_EQ(out[16], byte);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
}
