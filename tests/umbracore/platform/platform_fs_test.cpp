// The platform file layer's pump, run with each back end: the in-flight limit and its
// FIFO, completion callbacks, release without waiting, shutdown with queued requests.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/pump_probe.h"
#include "support/run_tool.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/platform/thread_platform.h"

using namespace umbra;

namespace {

constexpr u32 HOLD_TIMEOUT_MS = 20000;

std::string pattern(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = (char)((i * 131 + seed * 17 + (i >> 9)) & 0xFF);
  return bytes;
}

struct completion_log_t {
  std::mutex lock;
  std::vector<int> order;
  std::vector<std::string> threads;
};

struct tagged_t {
  completion_log_t* log;
  int index;
};

void record_completion(platform_io_request_t* request, void* argument) {
  tagged_t* tag = static_cast<tagged_t*>(argument);
  char name[32] = {};
  platform::thread_get_current_name(name, sizeof(name));
  std::lock_guard<std::mutex> guard(tag->log->lock);
  tag->log->order.push_back(tag->index);
  tag->log->threads.push_back(name);
}

class platform_fs_test : public testing::TestWithParam<platform_io_backend_t> {
 protected:
  void SetUp() override {
    probe.attach(fs);
    ASSERT_TRUE(fs.init(GetParam()));
    if (GetParam() == PLATFORM_IO_BACKEND_URING && std::strcmp(fs.backend_name(), "io_uring") != 0) {
      GTEST_SKIP() << "io_uring is not available here";
    }
  }

  platform_file_handle_t open_file(const std::string& path, u32 kind) {
    platform_file_handle_t handle = fs.open_handle(path.c_str(), kind);
    EXPECT_NE(handle, PLATFORM_INVALID_HANDLE) << path;
    return handle;
  }

  umbra_test::log_capture_t log;
  umbra_test::temp_dir_t dir;
  umbra_test::pump_probe_t probe;  // outlives the pump of fs
  platform_fs_t fs;
};

std::string backend_label(const testing::TestParamInfo<platform_io_backend_t>& info) {
  return info.param == PLATFORM_IO_BACKEND_URING ? "io_uring" : "pread";
}

}  // namespace

TEST_P(platform_fs_test, ninth_request_waits_in_the_fifo_until_one_of_eight_finishes) {
  const std::string content = pattern(9 * 512, 1);
  umbra_test::write_file(dir / "nine.bin", content);
  platform_file_handle_t handle = open_file(dir / "nine.bin", PLATFORM_OPEN_READ_ONLY);

  completion_log_t completions;
  tagged_t tags[9];
  std::vector<std::string> buffers(9, std::string(512, '\0'));
  platform_io_request_t* requests[9];
  probe.hold_completions(true);
  for (int i = 0; i < 9; ++i) {
    tags[i] = {&completions, i};
    requests[i] = fs.queue_read(handle, &buffers[i][0], 512, (u64)i * 512, record_completion, &tags[i]);
    ASSERT_NE(requests[i], nullptr);
  }
  ASSERT_TRUE(probe.wait_for(8, 1, HOLD_TIMEOUT_MS));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(requests[i]->state.load(), (u32)FS_IO_STATE_IN_FLIGHT) << i;
  EXPECT_EQ(requests[8]->state.load(), (u32)FS_IO_STATE_QUEUED);

  probe.hold_completions(false);
  for (int i = 0; i < 9; ++i) EXPECT_TRUE(fs.wait_and_recycle(requests[i])) << i;
  for (int i = 0; i < 9; ++i) EXPECT_EQ(buffers[i], content.substr((size_t)i * 512, 512)) << i;
  ASSERT_EQ(completions.order.size(), 9u);
  EXPECT_EQ(completions.order.back(), 8);
  for (const std::string& thread : completions.threads) EXPECT_EQ(thread, "IO_Pump");
  EXPECT_EQ(probe.stats().peak_in_flight, PLATFORM_IO_MAX_IN_FLIGHT);
  fs.close_handle(handle);
}

TEST_P(platform_fs_test, shutdown_finishes_queued_requests_with_failure) {
  umbra_test::write_file(dir / "ten.bin", pattern(10 * 256, 2));
  platform_file_handle_t handle = open_file(dir / "ten.bin", PLATFORM_OPEN_READ_ONLY);
  std::vector<std::string> buffers(10, std::string(256, '\0'));
  platform_io_request_t* requests[10];
  probe.hold_completions(true);
  for (int i = 0; i < 10; ++i) {
    requests[i] = fs.queue_read(handle, &buffers[i][0], 256, (u64)i * 256, nullptr, nullptr);
    ASSERT_NE(requests[i], nullptr);
  }
  ASSERT_TRUE(probe.wait_for(8, 2, HOLD_TIMEOUT_MS));
  fs.shutdown();
  // The eight in flight had their bytes; the two that never started report failure.
  for (int i = 0; i < 8; ++i) EXPECT_TRUE(fs.wait_and_recycle(requests[i])) << i;
  for (int i = 8; i < 10; ++i) EXPECT_FALSE(fs.wait_and_recycle(requests[i])) << i;
  u8 byte;
  EXPECT_EQ(fs.queue_read(handle, &byte, 1, 0, nullptr, nullptr), nullptr);
  fs.close_handle(handle);
}

TEST_P(platform_fs_test, transfers_fail_only_when_the_file_ends_first) {
  const std::string content = pattern(100, 3);
  umbra_test::write_file(dir / "short.bin", content);
  platform_file_handle_t handle = open_file(dir / "short.bin", PLATFORM_OPEN_READ_ONLY);
  char buffer[200];
  struct case_t {
    u64 size, offset;
    bool success;
  } cases[] = {{100, 0, true}, {200, 0, false}, {10, 95, false}, {5, 95, true}, {1, 100, false}, {0, 1000, true}};
  for (const case_t& c : cases) {
    platform_io_request_t* request = fs.queue_read(handle, buffer, c.size, c.offset, nullptr, nullptr);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(fs.wait_and_recycle(request), c.success) << c.size << " @ " << c.offset;
  }
  fs.close_handle(handle);
}

TEST_P(platform_fs_test, blocking_transfers_move_every_byte_or_fail) {
  platform_file_handle_t handle = open_file(dir / "blocking.bin", PLATFORM_OPEN_CREATE_NEW);
  const std::string content = pattern(300000, 6);
  platform_prefetch_buffer(const_cast<char*>(content.data()), content.size());  // only a hint
  ASSERT_TRUE(fs.write_blocking(handle, content.data(), content.size(), 0));
  std::string back(content.size(), '\0');
  ASSERT_TRUE(fs.read_blocking(handle, &back[0], back.size(), 0));
  EXPECT_TRUE(back == content);
  // The same limits as queued reads: the file must hold every byte asked for.
  char buffer[16];
  EXPECT_FALSE(fs.read_blocking(handle, buffer, sizeof(buffer), content.size() - 8));
  EXPECT_TRUE(fs.read_blocking(handle, buffer, 0, content.size() + 100));
  EXPECT_FALSE(fs.read_blocking(PLATFORM_INVALID_HANDLE, buffer, 1, 0));
  // A finished request, for interfaces that hand out requests.
  platform_io_request_t* done = fs.read_completed(handle, buffer, 8, 16);
  ASSERT_NE(done, nullptr);
  EXPECT_TRUE(done->is_finished());
  EXPECT_TRUE(fs.wait_and_recycle(done));
  EXPECT_EQ(std::string(buffer, 8), content.substr(16, 8));
  platform_io_request_t* failed = fs.read_completed(handle, buffer, 16, content.size() - 8);
  ASSERT_NE(failed, nullptr);
  EXPECT_FALSE(fs.wait_and_recycle(failed));
  fs.close_handle(handle);
}

TEST_P(platform_fs_test, large_writes_and_reads_round_trip) {
  platform_file_handle_t handle = open_file(dir / "big.bin", PLATFORM_OPEN_CREATE_NEW);
  const std::string content = pattern(3 * 1024 * 1024 + 17, 4);
  platform_io_request_t* write = fs.queue_write(handle, content.data(), content.size(), 0, nullptr, nullptr);
  ASSERT_TRUE(write && fs.wait_and_recycle(write));
  std::string back(content.size(), '\0');
  platform_io_request_t* read = fs.queue_read(handle, &back[0], back.size(), 0, nullptr, nullptr);
  ASSERT_TRUE(read && fs.wait_and_recycle(read));
  EXPECT_TRUE(back == content);
  fs_stat_t info;
  ASSERT_TRUE(fs.stat_handle(handle, &info));
  EXPECT_EQ(info.size, content.size());
  fs.close_handle(handle);
}

TEST_P(platform_fs_test, many_threads_share_the_pump) {
  constexpr int threads = 6;
  constexpr int blocks = 64;
  constexpr size_t block = 4096;
  platform_file_handle_t handle = open_file(dir / "shared.bin", PLATFORM_OPEN_CREATE_NEW);
  ASSERT_TRUE(fs.set_size(handle, (u64)threads * blocks * block));
  std::atomic<int> failures{0};
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&, t] {
      for (int b = 0; b < blocks; ++b) {
        std::string data = pattern(block, (unsigned)(t * blocks + b));
        u64 offset = ((u64)t * blocks + b) * block;
        platform_io_request_t* w = fs.queue_write(handle, data.data(), block, offset, nullptr, nullptr);
        if (!w || !fs.wait_and_recycle(w)) ++failures;
        std::string back(block, '\0');
        platform_io_request_t* r = fs.queue_read(handle, &back[0], block, offset, nullptr, nullptr);
        if (!r || !fs.wait_and_recycle(r) || back != data) ++failures;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_LE(probe.stats().peak_in_flight, PLATFORM_IO_MAX_IN_FLIGHT);
  fs.close_handle(handle);
}

TEST_P(platform_fs_test, released_request_is_recycled_when_it_finishes) {
  umbra_test::write_file(dir / "one.bin", "abcdef");
  platform_file_handle_t handle = open_file(dir / "one.bin", PLATFORM_OPEN_READ_ONLY);
  char buffer[6];
  probe.hold_completions(true);
  platform_io_request_t* first = fs.queue_read(handle, buffer, 6, 0, nullptr, nullptr);
  ASSERT_NE(first, nullptr);
  ASSERT_TRUE(probe.wait_for(1, 0, HOLD_TIMEOUT_MS));
  fs.release(first);
  probe.hold_completions(false);
  ASSERT_TRUE(probe.wait_for(0, 0, HOLD_TIMEOUT_MS));
  // Back on the free list, so it is the next one handed out.
  platform_io_request_t* second = fs.queue_read(handle, buffer, 6, 0, nullptr, nullptr);
  EXPECT_EQ(second, first);
  EXPECT_TRUE(fs.wait_and_recycle(second));
  // Releasing a finished request recycles it at once.
  platform_io_request_t* third = fs.queue_read(handle, buffer, 6, 0, nullptr, nullptr);
  ASSERT_TRUE(fs.wait(third));
  fs.release(third);
  EXPECT_EQ(fs.queue_read(handle, buffer, 6, 0, nullptr, nullptr), third);
  EXPECT_TRUE(fs.wait_and_recycle(third));
  fs.close_handle(handle);
}

INSTANTIATE_TEST_SUITE_P(backends, platform_fs_test,
                         testing::Values(PLATFORM_IO_BACKEND_URING, PLATFORM_IO_BACKEND_PREAD), backend_label);

TEST(platform_fs_backend, environment_selects_the_fallback) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has one engine, the completion port: there is no fallback to choose";
#else
  ASSERT_EQ(setenv("UMBRA_IO_BACKEND", "pread", 1), 0);
  {
    platform_fs_t fs;
    ASSERT_TRUE(fs.init());
    EXPECT_STREQ(fs.backend_name(), "pread");
  }
  unsetenv("UMBRA_IO_BACKEND");
#endif
}

TEST(platform_fs_uring, a_piece_that_arrives_short_is_continued) {
#ifdef _WIN32
  GTEST_SKIP() << "io_uring is Linux's; a pipe on Windows cannot take an offset read";
#else
  umbra_test::pump_probe_t probe;
  platform_fs_t fs;
  probe.attach(fs);
  ASSERT_TRUE(fs.init(PLATFORM_IO_BACKEND_URING));
  if (std::strcmp(fs.backend_name(), "io_uring") != 0) GTEST_SKIP() << "io_uring is not available here";
  // A pipe delivers what was written so far: the first piece is 3 bytes of 8.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  char buffer[8] = {};
  platform_io_request_t* request = fs.queue_read(ends[0], buffer, 8, 0, nullptr, nullptr);
  ASSERT_NE(request, nullptr);
  ASSERT_TRUE(probe.wait_for(1, 0, HOLD_TIMEOUT_MS));
  ASSERT_EQ(write(ends[1], "abc", 3), 3);
  ASSERT_TRUE(probe.wait_until([](const platform_pump_stats_t& stats) { return stats.continued == 1; }, HOLD_TIMEOUT_MS));
  EXPECT_FALSE(request->is_finished());
  ASSERT_EQ(write(ends[1], "defgh", 5), 5);
  EXPECT_TRUE(fs.wait_and_recycle(request));
  EXPECT_EQ(std::string(buffer, 8), "abcdefgh");
  close(ends[0]);
  close(ends[1]);
#endif
}
