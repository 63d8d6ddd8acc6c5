// Trace files: the exact lines, the file names, appending, files that are not ours,
// where the file goes, splitting, and failures that must leave every file valid.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "support/trace_check.h"
#include "umbracore/profiling/profiler_id.h"
#include "umbracore/profiling/stat_counter.h"
#include "umbracore/profiling/trace_writer.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/sysfs_device.h"
#include "umbracore/ufs/ufs_device.h"

using namespace umbra;
using umbra_test::read_file;
using umbra_test::write_file;

namespace {

stat_counter_t test_counter("test.writer.counter");

u32 counter_category(const stat_counter_t& counter) {
  u32 index = 0;
  for (stat_counter_t* c = stat_counter_first(); c != &counter; c = c->next()) ++index;
  return TRACE_STAT_COUNTER_BASE + index;
}

std::tm may_6_2024() {
  std::tm t{};
  t.tm_year = 2024 - 1900;
  t.tm_mon = 4;
  t.tm_mday = 6;
  t.tm_hour = 7;
  t.tm_min = 8;
  t.tm_sec = 9;
  return t;
}

const std::string TRACE_FILE_NAME = "trace_20240506_070809_full.json";

// Buffers built record by record, released at the end of the test.
class buffers_t {
 public:
  ~buffers_t() {
    for (tracer_buffer_t* b : all_) tracer_buffer_release(b);
  }
  tracer_buffer_t* make(u64 thread_id, const char* name, u64 base_us) {
    tracer_buffer_t* b = tracer_buffer_take(thread_id, name, TRACER_BUFFER_THREAD, base_us);
    all_.push_back(b);
    return b;
  }
  // n scopes one after another, each lasting 10 us.
  tracer_buffer_t* scopes(u64 thread_id, u64 base_us, int n) {
    tracer_buffer_t* b = make(thread_id, "Worker_0", base_us);
    for (int i = 0; i < n; ++i) {
      tracer_buffer_append(b, TRACE_EVENT_BEGIN, 0, (u64)(uintptr_t) "step", base_us + 20 * i);
      tracer_buffer_append(b, TRACE_EVENT_END, 0, 0, base_us + 20 * i + 10);
    }
    return b;
  }

 private:
  std::vector<tracer_buffer_t*> all_;
};

class trace_writer_test : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(fs_startup(dir.path().c_str())); }
  void TearDown() override {
    if (home_) fs_get_root_device()->unmount(home_.get());
    fs_shutdown();
  }
  // A system device over home_dir mounted at "/home" of the unified device.
  void mount_home() {
    platform_fs_t* platform = static_cast<sysfs_device_t*>(fs_get_system_device())->get_platform();
    home_.reset(new sysfs_device_t(platform, home_dir.path().c_str()));
    ASSERT_TRUE(fs_get_root_device()->mount(home_.get(), 10, "/home"));
  }
  void mount_home_device(fs_device_t* device) { ASSERT_TRUE(fs_get_root_device()->mount(device, 10, "/home")); }

  umbra_test::log_capture_t log;
  umbra_test::temp_dir_t dir;
  umbra_test::temp_dir_t home_dir;
  buffers_t buffers;
  auto_ptr_t<fs_device_t> home_;
};

std::string name_line(u64 tid, const char* name) {
  return "{ \"ph\":\"M\", \"name\":\"thread_name\", \"tid\":" + std::to_string(tid) +
         ", \"pid\":0, \"args\":{\"name\":\"" + name + "\"}},\n";
}

}  // namespace

TEST(trace_file_name, follows_the_local_time_tag_and_counter) {
  path_string_t name;
  ASSERT_TRUE(trace_file_name(name, may_6_2024(), "full", 0));
  EXPECT_STREQ(name.c_str(), "trace_20240506_070809_full.json");
  ASSERT_TRUE(trace_file_name(name, may_6_2024(), "full", 2));
  EXPECT_STREQ(name.c_str(), "trace_20240506_070809_full_2.json");
  trace_sanitize_tag(name, "Full run/1.x_y");
  EXPECT_STREQ(name.c_str(), "-ull-run-1.x_y");
}

TEST(trace_json_escape, keeps_every_line_valid_json) {
  const struct {
    const char* text;
    const char* escaped;
  } cases[] = {
      {"plain /a.txt", "plain /a.txt"},
      {"say \"hi\"", "say \\\"hi\\\""},
      {"c:\\dir", "c:\\\\dir"},
      {"tab\there\n", "tab\\u0009here\\u000a"},
      {"caf\xc3\xa9", "caf\xc3\xa9"},
      {"bad \xff byte", "bad \\ufffd byte"},
      {"cut \xe2\x82", "cut \\ufffd\\ufffd"},
  };
  for (const auto& c : cases) {
    string_local_t<256> out;
    trace_json_escape(out, c.text);
    EXPECT_STREQ(out.c_str(), c.escaped) << c.text;
  }
}

TEST_F(trace_writer_test, writes_the_four_line_formats_exactly) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  test_counter.add(0);
  tracer_buffer_t* b = buffers.make(7, "Worker_3", 1000);
  auto name = [](const char* text) { return (u64)(uintptr_t)text; };
  tracer_buffer_append(b, TRACE_EVENT_BEGIN, 0, name("outer \"quoted\""), 1000);
  tracer_buffer_append(b, TRACE_EVENT_BEGIN, 1, name("empty"), 1010);
  tracer_buffer_append(b, TRACE_EVENT_END, 0, 0, 1010);  // zero length: not written
  tracer_buffer_append(b, TRACE_EVENT_INSTANT, PROFILER_ID_INDEX_PROCESS, name("mark"), 1020);
  tracer_buffer_append(b, TRACE_EVENT_INSTANT, 0, name("tick"), 1025);
  tracer_buffer_append(b, TRACE_EVENT_COUNTER, counter_category(test_counter), (u64)-5, 1030);
  tracer_buffer_append(b, 9, 0, 0, 1035);  // not an event kind
  tracer_buffer_append(b, TRACE_EVENT_END, 0, 0, 1050);
  tracer_buffer_append(b, TRACE_EVENT_END, 0, 0, 1060);  // its begin was elsewhere

  trace_writer_t writer("full");
  writer.start_file(0, may_6_2024());
  ASSERT_TRUE(writer.write_batch(b, 2000));
  EXPECT_EQ(writer.file_name(), TRACE_FILE_NAME);
  EXPECT_EQ(
      read_file(dir / TRACE_FILE_NAME),
      "[\n" + name_line(7, "Worker_3") +
          "{ \"ph\":\"i\", \"name\":\"mark\", \"s\":\"p\", \"ts\":1020, \"tid\":7, \"pid\":0},\n"
          "{ \"ph\":\"i\", \"name\":\"tick\", \"s\":\"t\", \"ts\":1025, \"tid\":7, \"pid\":0},\n"
          "{ \"ph\":\"C\", \"name\":\"test.writer.counter\", \"args\":{\"\":-5}, \"ts\":1030, \"tid\":7, \"pid\":0},\n"
          "{ \"ph\":\"X\", \"name\":\"outer \\\"quoted\\\"\", \"cat\":\"default\", \"dur\":50, \"ts\":1000, "
          "\"tid\":7, \"pid\":0},\n"
          "{}\n]");
  EXPECT_TRUE(umbra_test::check_trace(dir / TRACE_FILE_NAME).valid);
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(trace_writer_test, appending_replaces_the_closing_and_names_a_thread_once_per_file) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  trace_writer_t writer("full");
  writer.start_file(0, may_6_2024());
  ASSERT_TRUE(writer.write_batch(buffers.scopes(5, 100, 1), 1000));
  ASSERT_TRUE(writer.write_batch(buffers.scopes(5, 200, 1), 1000));
  const std::string scope = "{ \"ph\":\"X\", \"name\":\"step\", \"cat\":\"default\", \"dur\":10, \"ts\":";
  EXPECT_EQ(read_file(dir / TRACE_FILE_NAME), "[\n" + name_line(5, "Worker_0") + scope +
                                                  "100, \"tid\":5, \"pid\":0},\n" + scope +
                                                  "200, \"tid\":5, \"pid\":0},\n{}\n]");

  // Another writer (a second run in the same second) appends to the same file.
  trace_writer_t second("full");
  second.start_file(0, may_6_2024());
  ASSERT_TRUE(second.write_batch(buffers.scopes(6, 300, 2), 1000));
  umbra_test::trace_summary_t summary = umbra_test::check_trace(dir / TRACE_FILE_NAME);
  EXPECT_TRUE(summary.valid) << summary.error;
  EXPECT_EQ(summary.threads_named("Worker_0"), 2);
  EXPECT_EQ(umbra_test::trace_files_in(dir.path()), std::vector<std::string>{TRACE_FILE_NAME});
}

TEST_F(trace_writer_test, never_touches_a_file_of_its_name_that_is_not_a_trace) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  const std::string foreign[] = {"my notes", "", "{}\n", "[\n{}\n]x"};
  for (const std::string& content : foreign) {
    SCOPED_TRACE(content);
    write_file(dir / TRACE_FILE_NAME, content);
    trace_writer_t writer("full");
    writer.start_file(0, may_6_2024());
    ASSERT_TRUE(writer.write_batch(buffers.scopes(5, 100, 1), 1000));
    EXPECT_EQ(read_file(dir / TRACE_FILE_NAME), content);
    EXPECT_EQ(writer.file_name(), std::string("trace_20240506_070809_full_1.json"));
    EXPECT_TRUE(umbra_test::check_trace(dir / "trace_20240506_070809_full_1.json").valid);
    std::remove((dir / "trace_20240506_070809_full_1.json").c_str());
  }
}

TEST_F(trace_writer_test, goes_to_home_on_the_unified_device_first) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  mount_home();
  trace_writer_t writer("full");
  writer.start_file(0, may_6_2024());
  ASSERT_TRUE(writer.write_batch(buffers.scopes(5, 100, 1), 1000));
  EXPECT_TRUE(umbra_test::check_trace(home_dir / TRACE_FILE_NAME).valid);
  EXPECT_TRUE(umbra_test::trace_files_in(dir.path()).empty());
}

TEST_F(trace_writer_test, splits_files_by_record_count) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  trace_writer_limits_t limits;
  limits.file_records = 10;
  trace_writer_t writer("full", limits);
  writer.start_file(0, may_6_2024());
  std::vector<std::string> names;
  for (int i = 0; i < 5; ++i) {
    ASSERT_TRUE(writer.write_batch(buffers.scopes(5, 1000 + 100 * i, 2), 1000));  // 4 records each
    if (names.empty() || names.back() != writer.file_name()) names.push_back(writer.file_name());
    EXPECT_LE(writer.file_records(), 10u);
  }
  // 4 + 4 fit; the third batch would make 12 and starts the second file, and so on.
  ASSERT_EQ(names.size(), 3u);
  EXPECT_EQ(names[0], TRACE_FILE_NAME);
  int scopes = 0;
  for (const std::string& name : names) {
    umbra_test::trace_summary_t summary = umbra_test::check_trace(dir / name);
    EXPECT_TRUE(summary.valid) << summary.error;
    EXPECT_EQ(summary.threads_named("Worker_0"), 1) << name;  // each file names its threads
    std::string text = read_file(dir / name);
    for (size_t at = text.find("\"ph\":\"X\""); at != std::string::npos; at = text.find("\"ph\":\"X\"", at + 1)) ++scopes;
  }
  EXPECT_EQ(scopes, 10);
  EXPECT_EQ(umbra_test::trace_files_in(dir.path()).size(), 3u);
}

TEST_F(trace_writer_test, a_file_covers_a_limited_time) {
  trace_writer_limits_t limits;
  limits.file_duration_us = 1000;
  trace_writer_t writer("full", limits);
  writer.start_file(5000, may_6_2024());
  ASSERT_TRUE(writer.write_batch(buffers.scopes(5, 5500, 1), 5600));  // within the first 1000 us
  ASSERT_TRUE(writer.write_batch(buffers.scopes(5, 6100, 1), 6200));  // reaches beyond: file closed after it
  EXPECT_EQ(writer.file_name(), TRACE_FILE_NAME);
  EXPECT_FALSE(writer.has_file());
  ASSERT_TRUE(writer.write_batch(buffers.scopes(5, 6300, 1), 6400));
  EXPECT_NE(writer.file_name(), TRACE_FILE_NAME);
  EXPECT_EQ(umbra_test::trace_files_in(dir.path()).size(), 2u);
}

TEST_F(trace_writer_test, threads_whose_clocks_disagree_still_give_a_valid_file) {
  UMBRA_SKIP_WITHOUT_TRACE_CHECKER();
  trace_writer_limits_t limits;
  limits.file_duration_us = 1000;
  trace_writer_t writer("full", limits);
  writer.start_file(5000, may_6_2024());
  ASSERT_TRUE(writer.write_batch(buffers.scopes(1, 5000, 1), 5100));
  // Another thread's clock is behind: all of its times lie before the file began, and
  // within its buffer they step back as well (kept at the latest time seen).
  tracer_buffer_t* behind = buffers.make(2, "Worker_1", 1000);
  auto name = [](const char* text) { return (u64)(uintptr_t)text; };
  tracer_buffer_append(behind, TRACE_EVENT_BEGIN, 0, name("outer"), 1200);
  tracer_buffer_append(behind, TRACE_EVENT_BEGIN, 0, name("inner"), 1100);
  tracer_buffer_append(behind, TRACE_EVENT_END, 0, 0, 1050);
  tracer_buffer_append(behind, TRACE_EVENT_END, 0, 0, 1300);
  ASSERT_TRUE(writer.write_batch(behind, 5200));
  EXPECT_TRUE(writer.has_file());  // an earlier time does not end the file
  EXPECT_EQ(writer.file_name(), TRACE_FILE_NAME);
  umbra_test::trace_summary_t summary = umbra_test::check_trace(dir / TRACE_FILE_NAME);
  ASSERT_TRUE(summary.valid) << summary.error;
  EXPECT_EQ(summary.scopes, (std::set<std::string>{"step", "outer"}));
  const std::string outer = "\"name\":\"outer\", \"cat\":\"default\", \"dur\":100, \"ts\":1200, \"tid\":2";
  EXPECT_NE(read_file(dir / TRACE_FILE_NAME).find(outer), std::string::npos);
}

TEST_F(trace_writer_test, reports_once_when_no_place_takes_the_file) {
  fs_shutdown();
  ASSERT_TRUE(fs_startup((dir / "missing").c_str()));
  trace_writer_t writer("full");
  writer.start_file(0, may_6_2024());
  EXPECT_FALSE(writer.write_batch(buffers.scopes(5, 100, 1), 1000));
  EXPECT_FALSE(writer.write_batch(buffers.scopes(5, 200, 1), 1000));
  EXPECT_EQ(log.errors(), std::vector<std::string>{"[profiler] Unable to open trace file '" + TRACE_FILE_NAME +
                                                   "', forgetting traced data."});
  EXPECT_TRUE(umbra_test::trace_files_in(dir.path()).empty());
}

namespace {

// A device whose files live in memory and that runs out of room after capacity bytes.
class full_device_t final : public fs_device_t {
 public:
  explicit full_device_t(u64 capacity) : fs_device_t(FS_DEVICE_KIND_NONE), capacity_(capacity) {}

  class full_file_t final : public file_t {
   public:
    full_file_t(full_device_t* device, const char* path) : file_t(path), device_(device) {}
    std::string& bytes() { return device_->files[name.c_str()]; }
    bool stat(fs_stat_t* out) override {
      if (out) out->size = out->stored_size = bytes().size();
      return true;
    }
    fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32) override {
      ok_ = offset + size <= bytes().size();
      if (ok_) bytes().copy(static_cast<char*>(buffer), size, offset);
      return fs_completed_request();
    }
    fs_io_request_t* io_write(const void* buffer, u64 size, u64 offset) override {
      std::string& b = bytes();
      ok_ = offset + size <= device_->capacity_;
      if (!ok_) return fs_completed_request();
      if (b.size() < offset + size) b.resize(offset + size);
      b.replace(offset, size, static_cast<const char*>(buffer), size);
      return fs_completed_request();
    }
    bool io_wait(fs_io_request_t*) override { return ok_; }
    bool set_size(u64 size) override {
      bytes().resize(size);
      return true;
    }
    bool get_path(string& out) override { return out.assign(name); }
    bool get_ufs_path(string&) override { return false; }
    void get_debug_name(string& out) override { out.assign(name); }

   private:
    full_device_t* device_;
    bool ok_ = true;
  };

  file_t* open(const char* path, u32 mode) override {
    if (mode != FS_MODE_CREATE_OR_READ_WRITE) return nullptr;
    files[path];
    return new full_file_t(this, path);
  }
  bool stat(const char* path, fs_stat_t* out) override {
    auto it = files.find(path);
    if (it == files.end()) return false;
    if (out) out->size = it->second.size();
    return true;
  }
  bool remove(const char* path) override { return files.erase(path) == 1; }

  std::map<std::string, std::string> files;

 private:
  u64 capacity_;
};

}  // namespace

TEST_F(trace_writer_test, a_full_device_leaves_no_invalid_file_behind) {
  full_device_t full(600);
  mount_home_device(&full);
  trace_writer_t writer("full");
  writer.start_file(0, may_6_2024());
  // A new file that cannot be completed is removed.
  EXPECT_FALSE(writer.write_batch(buffers.scopes(5, 100, 20), 1000));
  EXPECT_TRUE(full.files.empty());
  // A file that holds a trace already goes back to what it was.
  const std::string before = "[\n" + name_line(5, "Worker_0") + "{}\n]";
  full.files["/" + TRACE_FILE_NAME] = before;
  EXPECT_FALSE(writer.write_batch(buffers.scopes(5, 100, 20), 1000));
  EXPECT_EQ(full.files["/" + TRACE_FILE_NAME], before);
  // fs_copy names the failing block each time; the trace's own line comes once per file.
  const std::vector<std::string> errors = log.errors();
  EXPECT_EQ(std::count(errors.begin(), errors.end(),
                       "[profiler] Unable to write trace file '" + TRACE_FILE_NAME + "', forgetting traced data."),
            1);
  // Room enough: the same file takes the batch.
  EXPECT_TRUE(writer.write_batch(buffers.scopes(5, 100, 1), 1000));
  EXPECT_NE(full.files["/" + TRACE_FILE_NAME], before);
  fs_get_root_device()->unmount(&full);
}
