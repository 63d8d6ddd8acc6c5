// The table of failable calls, acted out by the file layer with each back end: a
// transfer that fails or finds the disk full fails its request, one cut short is
// continued to the last byte; every other kind of call fails at exactly the armed
// count, and from then on when asked to.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "support/run_tool.h"
#include "umbracore/platform/platform_faults.h"
#include "umbracore/platform/platform_fs.h"

using namespace umbra;

namespace {

class platform_faults_test : public testing::TestWithParam<platform_io_backend_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs.init(GetParam()));
    if (GetParam() == PLATFORM_IO_BACKEND_URING && std::strcmp(fs.backend_name(), "io_uring") != 0) {
      GTEST_SKIP() << "io_uring is not available here";
    }
  }
  void TearDown() override { platform_faults_disarm(); }

  std::string path(const char* name) const { return dir / name; }

  umbra_test::temp_dir_t dir;
  platform_fs_t fs;
};

std::string backend_label(const testing::TestParamInfo<platform_io_backend_t>& info) {
  return info.param == PLATFORM_IO_BACKEND_URING ? "io_uring" : "pread";
}

platform_fault_plan_t plan(platform_call_t call, u64 nth, platform_fault_t fault, bool from_then_on = false) {
  platform_fault_plan_t p;
  p.call = call;
  p.nth = nth;
  p.fault = fault;
  p.from_then_on = from_then_on;
  return p;
}

}  // namespace

TEST_P(platform_faults_test, transfers_fail_or_are_continued_on_both_paths) {
  std::string bytes(100000, '\0');
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = (char)(i * 131 + (i >> 9));
  // Through the pump, or blocking on this thread.
  for (bool queued : {true, false}) {
    for (platform_call_t call : {PLATFORM_CALL_READ, PLATFORM_CALL_WRITE}) {
      for (platform_fault_t fault : {PLATFORM_FAULT_FAIL, PLATFORM_FAULT_NO_SPACE, PLATFORM_FAULT_SHORT}) {
        SCOPED_TRACE(std::string(platform_call_name(call)) + " " + platform_fault_name(fault) +
                     (queued ? " queued" : " blocking"));
        umbra_test::write_file(path("f"), call == PLATFORM_CALL_READ ? bytes : "");
        platform_file_handle_t handle = fs.open_handle(path("f").c_str(), PLATFORM_OPEN_CREATE_OR_READ_WRITE);
        ASSERT_NE(handle, PLATFORM_INVALID_HANDLE);
        std::string buffer = call == PLATFORM_CALL_READ ? std::string(bytes.size(), '\0') : bytes;
        platform_faults_arm(plan(call, 1, fault));
        bool ok;
        if (call == PLATFORM_CALL_READ) {
          ok = queued ? fs.wait_and_recycle(fs.queue_read(handle, buffer.data(), buffer.size(), 0, nullptr, nullptr))
                      : fs.read_blocking(handle, buffer.data(), buffer.size(), 0);
        } else {
          ok = queued ? fs.wait_and_recycle(fs.queue_write(handle, buffer.data(), buffer.size(), 0, nullptr, nullptr))
                      : fs.write_blocking(handle, buffer.data(), buffer.size(), 0);
        }
        const u64 pieces = platform_faults_calls(call);
        platform_faults_disarm();
        fs.close_handle(handle);
        EXPECT_EQ(platform_faults_injected(), 1u);
        if (fault == PLATFORM_FAULT_SHORT) {
          EXPECT_TRUE(ok);
          EXPECT_EQ(pieces, 2u) << "the rest of a piece cut short is a second piece";
          EXPECT_TRUE((call == PLATFORM_CALL_READ ? buffer : umbra_test::read_file(path("f"))) == bytes);
        } else {
          EXPECT_FALSE(ok);
          EXPECT_EQ(pieces, 1u);
        }
      }
    }
  }
}

TEST_P(platform_faults_test, each_kind_of_call_fails_at_the_armed_count) {
  umbra_test::write_file(path("file"), "x");
  umbra_test::make_dirs(path("dir"));
  fs_stat_t info;
  struct call_case_t {
    platform_call_t call;
    std::function<bool()> make;  // one call of the kind; true when it worked
  };
  const call_case_t cases[] = {
      {PLATFORM_CALL_OPEN,
       [&] {
         platform_file_handle_t h = fs.open_handle(path("file").c_str(), PLATFORM_OPEN_READ_ONLY);
         fs.close_handle(h);
         return h != PLATFORM_INVALID_HANDLE;
       }},
      {PLATFORM_CALL_STAT, [&] { return fs.stat_path(path("file").c_str(), &info); }},
      {PLATFORM_CALL_MKDIR, [&] { return fs.create_directory(path("dir").c_str(), "/dir"); }},
      {PLATFORM_CALL_RENAME, [&] { return fs.move_file(path("file").c_str(), path("file").c_str(), true); }},
      {PLATFORM_CALL_LIST, [&] { return fs.read_dir(path("dir").c_str()).get() != nullptr; }},
      {PLATFORM_CALL_DELETE,
       [&] {
         umbra_test::write_file(path("gone"), "");
         return fs.delete_file(path("gone").c_str());
       }},
  };
  for (const call_case_t& c : cases) {
    SCOPED_TRACE(platform_call_name(c.call));
    for (platform_fault_t fault : {PLATFORM_FAULT_FAIL, PLATFORM_FAULT_NO_SPACE}) {
      platform_faults_arm(plan(c.call, 2, fault));
      EXPECT_TRUE(c.make());
      EXPECT_FALSE(c.make());
      EXPECT_TRUE(c.make());
      EXPECT_EQ(platform_faults_calls(c.call), 3u);
    }
    platform_faults_arm(plan(c.call, 2, PLATFORM_FAULT_FAIL, true));
    EXPECT_TRUE(c.make());
    EXPECT_FALSE(c.make());
    EXPECT_FALSE(c.make());
    EXPECT_EQ(platform_faults_injected(), 2u);
    platform_faults_disarm();
    EXPECT_TRUE(c.make());
  }
}

INSTANTIATE_TEST_SUITE_P(backends, platform_faults_test,
                         testing::Values(PLATFORM_IO_BACKEND_PREAD, PLATFORM_IO_BACKEND_URING), backend_label);

// A copy is made of calls the table sees (opens, a stat, the pieces of its transfers):
// whichever of them fails, the copy fails and leaves no target behind.
TEST_P(platform_faults_test, a_copy_fails_whole_at_each_of_its_calls) {
  const std::string bytes = std::string(3 << 20, 'c') + "tail";  // several blocks
  umbra_test::write_file(path("from"), bytes);
  platform_faults_arm(plan(PLATFORM_CALL_COUNT, 0, PLATFORM_FAULT_FAIL));
  ASSERT_TRUE(fs.copy_file(path("from").c_str(), path("to").c_str(), false));
  u64 calls[PLATFORM_CALL_COUNT];
  for (u32 c = 0; c < PLATFORM_CALL_COUNT; ++c) calls[c] = platform_faults_calls((platform_call_t)c);
  platform_faults_disarm();
  EXPECT_TRUE(umbra_test::read_file(path("to")) == bytes);
  EXPECT_EQ(calls[PLATFORM_CALL_OPEN], 2u);
  EXPECT_EQ(calls[PLATFORM_CALL_READ], 4u);
  EXPECT_EQ(calls[PLATFORM_CALL_WRITE], 4u);
  for (u32 c = 0; c < PLATFORM_CALL_COUNT; ++c) {
    for (u64 nth = 1; nth <= calls[c]; ++nth) {
      SCOPED_TRACE(std::string(platform_call_name((platform_call_t)c)) + " " + std::to_string(nth));
      std::remove(path("to").c_str());
      platform_faults_arm(plan((platform_call_t)c, nth, PLATFORM_FAULT_FAIL));
      EXPECT_FALSE(fs.copy_file(path("from").c_str(), path("to").c_str(), false));
      EXPECT_EQ(platform_faults_injected(), 1u);
      platform_faults_disarm();
      EXPECT_FALSE(umbra_test::file_exists(path("to")));
    }
  }
  EXPECT_TRUE(umbra_test::read_file(path("from")) == bytes);
}
