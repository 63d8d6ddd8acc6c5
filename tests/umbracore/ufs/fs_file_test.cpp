// The sequential operations every file shares: the read cache, write, read_at with its
// counters, fs_copy, and the base slots.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/log_capture.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/umbrautils/ufs/mem_file.h"
#include "support/death_pattern.h"

using namespace umbra;

namespace {

// A file over a string that records every transfer it is asked for.
class recording_file_t final : public file_t {
 public:
  explicit recording_file_t(std::string bytes, const char* file_name = "/rec") : file_t(file_name), bytes_(std::move(bytes)) {}

  bool stat(fs_stat_t* out) override {
    if (stat_fails) return false;
    if (out) out->size = out->stored_size = bytes_.size();
    return true;
  }
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32 flag) override {
    reads.push_back({offset, size});
    last_ok_ = !fail_reads && offset <= bytes_.size() && size <= bytes_.size() - offset;
    if (last_ok_) bytes_.copy(static_cast<char*>(buffer), size, offset);
    return fs_completed_request();
  }
  fs_io_request_t* io_write(const void* buffer, u64 size, u64 offset) override {
    writes.push_back({offset, size});
    last_ok_ = !fail_writes;
    if (!last_ok_) return fs_completed_request();
    if (bytes_.size() < offset + size) bytes_.resize(offset + size);
    bytes_.replace(offset, size, static_cast<const char*>(buffer), size);
    return fs_completed_request();
  }
  bool io_wait(fs_io_request_t* request) override { return last_ok_; }
  bool get_path(string& out) override { return out.assign(name); }
  bool get_ufs_path(string& out) override { return false; }
  void get_debug_name(string& out) override { out.format("<REC>%s", name.c_str()); }

  const std::string& bytes() const { return bytes_; }

  struct transfer_t {
    u64 offset, size;
    bool operator==(const transfer_t& o) const { return offset == o.offset && size == o.size; }
  };
  std::vector<transfer_t> reads;
  std::vector<transfer_t> writes;
  bool fail_reads = false;
  bool fail_writes = false;
  bool stat_fails = false;

 private:
  std::string bytes_;
  bool last_ok_ = true;
};

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = (char)(i * 29 + (i >> 8));
  return bytes;
}

using transfers_t = std::vector<recording_file_t::transfer_t>;

}  // namespace

TEST(file_read, small_reads_refill_the_cache_window_by_window) {
  const std::string content = pattern(20000);
  recording_file_t file(content);
  u32 before = fs_block_counters.read_requests.load();
  std::string back;
  char piece[10];
  for (int i = 0; i < 2000; ++i) {
    ASSERT_TRUE(file.read(piece, sizeof(piece))) << i;
    back.append(piece, sizeof(piece));
  }
  EXPECT_EQ(back, content);
  EXPECT_EQ(file.reads, (transfers_t{{0, 8192}, {8192, 8192}, {16384, 3616}}));
  EXPECT_EQ(fs_block_counters.read_requests.load() - before, 3u);
  EXPECT_EQ(file.get_position(), 20000u);
}

TEST(file_read, reads_above_the_cache_size_bypass_it) {
  const std::string content = pattern(20000);
  recording_file_t file(content);
  std::string big(9000, '\0');
  ASSERT_TRUE(file.read(&big[0], big.size()));
  EXPECT_EQ(big, content.substr(0, 9000));
  EXPECT_EQ(file.reads, (transfers_t{{0, 9000}}));
  // What the window holds is used first, only the rest goes around it.
  char small[4];
  ASSERT_TRUE(file.read(small, 4));
  std::string rest(9000, '\0');
  ASSERT_TRUE(file.read(&rest[0], rest.size()));
  EXPECT_EQ(rest, content.substr(9004, 9000));
  EXPECT_EQ(file.reads, (transfers_t{{0, 9000}, {9000, 8192}, {17192, 2808}}));
}

TEST(file_read, reading_past_the_end_and_failing_refills_report) {
  umbra_test::log_capture_t log;
  recording_file_t file(pattern(100));
  char buffer[64];
  file.set_position(90);
  EXPECT_FALSE(file.read(buffer, 20));
  file.set_position(500);
  EXPECT_FALSE(file.read(buffer, 1));
  recording_file_t failing(pattern(100));
  failing.fail_reads = true;
  EXPECT_FALSE(failing.read(buffer, 8));
  // After a failed refill nothing stale is served.
  failing.fail_reads = false;
  failing.set_position(0);
  ASSERT_TRUE(failing.read(buffer, 8));
  EXPECT_EQ(std::string(buffer, 8), pattern(100).substr(0, 8));
  EXPECT_EQ(log.errors(), (std::vector<std::string>{"[fs] cached read - read request too big (<REC>/rec)",
                                                    "[fs] cached read - read request too big (<REC>/rec)",
                                                    "[fs] cached read - buffer update failed (<REC>/rec)"}));
}

TEST(file_read, zero_sizes_and_null_buffers) {
  recording_file_t file(pattern(10));
  EXPECT_TRUE(file.read(nullptr, 0));
  EXPECT_FALSE(file.read(nullptr, 1));
  EXPECT_TRUE(file.read_at(nullptr, 0, 5));
  EXPECT_FALSE(file.read_at(nullptr, 1, 5));
  EXPECT_TRUE(file.write(nullptr, 0));
  EXPECT_FALSE(file.write(nullptr, 1));
  EXPECT_TRUE(file.reads.empty());
  EXPECT_TRUE(file.writes.empty());
}

TEST(file_write, write_drops_the_cache_and_advances) {
  recording_file_t file(std::string(16, 'a'));
  char buffer[4];
  ASSERT_TRUE(file.read(buffer, 4));
  ASSERT_TRUE(file.write("BBBB", 4));
  EXPECT_EQ(file.get_position(), 8u);
  file.set_position(4);
  ASSERT_TRUE(file.read(buffer, 4));
  EXPECT_EQ(std::string(buffer, 4), "BBBB");
  EXPECT_EQ(file.writes, (transfers_t{{4, 4}}));
  file.fail_writes = true;
  EXPECT_FALSE(file.write("C", 1));
  EXPECT_EQ(file.get_position(), 8u);

  void* owned = std::malloc(3);
  std::memcpy(owned, "xyz", 3);
  file.fail_writes = false;
  EXPECT_TRUE(file.write_owned(owned, 3));  // freed by the file (ASan would notice a leak)
  EXPECT_EQ(file.bytes().substr(8, 3), "xyz");
}

TEST(file_read_at, counts_successful_blocks_only) {
  recording_file_t file(pattern(300));
  fs_block_counters_t& c = fs_block_counters;
  u32 requests = c.read_requests.load(), finishes = c.finish_requests.load();
  u32 bytes = c.read_bytesize.load(), finish_bytes = c.finish_bytesize.load();
  char buffer[200];
  ASSERT_TRUE(file.read_at(buffer, 200, 50));
  EXPECT_FALSE(file.read_at(buffer, 200, 150));
  EXPECT_EQ(c.read_requests.load() - requests, 1u);
  EXPECT_EQ(c.finish_requests.load() - finishes, 1u);
  EXPECT_EQ(c.read_bytesize.load() - bytes, 200u);
  EXPECT_EQ(c.finish_bytesize.load() - finish_bytes, 200u);
  EXPECT_EQ(file.get_position(), 0u);
}

TEST(fs_copy, copies_from_the_position_in_blocks_of_4096) {
  const std::string content = pattern(10300);
  recording_file_t source(content);
  recording_file_t destination("HEAD");
  source.set_position(300);
  destination.set_position(4);
  ASSERT_TRUE(fs_copy(&destination, &source));
  EXPECT_EQ(source.reads, (transfers_t{{300, 4096}, {4396, 4096}, {8492, 1808}}));
  EXPECT_EQ(destination.writes, (transfers_t{{4, 4096}, {4100, 4096}, {8196, 1808}}));
  EXPECT_EQ(destination.bytes(), "HEAD" + content.substr(300));
  EXPECT_EQ(source.get_position(), 300u);
  EXPECT_EQ(destination.get_position(), 10004u);

  recording_file_t at_end(content);
  at_end.set_position(content.size());
  EXPECT_TRUE(fs_copy(&destination, &at_end));
  EXPECT_TRUE(at_end.reads.empty());
}

TEST(fs_copy, failures_name_the_block) {
  umbra_test::log_capture_t log;
  recording_file_t source(pattern(5000), "/src");
  recording_file_t destination("", "/dst");
  source.fail_reads = true;
  EXPECT_FALSE(fs_copy(&destination, &source));
  source.fail_reads = false;
  destination.fail_writes = true;
  destination.set_position(7);
  EXPECT_FALSE(fs_copy(&destination, &source));
  EXPECT_EQ(log.errors(), (std::vector<std::string>{"[fs_copy] error reading block: <REC>/src @ 0 (chunk size 4096)",
                                                    "[fs_copy] error writing block: <REC>/dst @ 7 (chunk size 4096)"}));
}

TEST(file_base, atomic_slots_refuse_and_debug_names) {
  umbra_test::log_capture_t log;
  recording_file_t file("x");
  EXPECT_FALSE(file.commit_atomic());
  EXPECT_FALSE(file.cancel_atomic());
  EXPECT_EQ(log.errors(), (std::vector<std::string>{"[file_t] Cannot use commit atomic operation on file <REC>/rec",
                                                    "[file_t] Cannot use cancel atomic operation on file <REC>/rec"}));
  EXPECT_STREQ(file_debug_name(nullptr).c_str(), "<NULL>");
  EXPECT_STREQ(file_debug_name(&file).c_str(), "<REC>/rec");
  EXPECT_EQ(file.get_device_id(), FS_DEVICE_ID_NONE);
}

TEST(file_base, names_of_types_and_modes) {
  EXPECT_STREQ(fs_device_type_name(0), "UNKNOWNFS");
  EXPECT_STREQ(fs_device_type_name(1), "UFS");
  EXPECT_STREQ(fs_device_type_name(2), "SYSFS");
  EXPECT_STREQ(fs_device_type_name(3), "BADFS");
  const char* modes[] = {"read_only", "create_new", "create_truncate", "create_or_read_write", "unknown", "unknown"};
  for (u32 mode = 0; mode < 6; ++mode) EXPECT_STREQ(fs_open_mode_name(mode), modes[mode]);
}

TEST(file_base_death, size_of_a_file_that_cannot_be_stated_stops_the_process) {
  EXPECT_DEATH(
      {
        umbra_test::log_capture_t log;
        recording_file_t file("x");
        file.stat_fails = true;
        file.get_size();
      },
      "\\[fs\\] failed to stat opened file \\(<REC>/rec\\)!" UMBRA_RE_NEXT_LINE "Failed to stat opened file!");
}
