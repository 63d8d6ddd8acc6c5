// `create` and `extract` that run out of room for real: on a 1 MiB tmpfs (as root; the
// tests skip elsewhere) and under a file-size limit (RLIMIT_FSIZE, with SIGXFSZ ignored
// so that writes past it fail with EFBIG). Either way the run exits 1 with an error
// line; `create` keeps the old archive byte for byte and leaves no temporary; `extract`
// leaves only whole files, never one cut short or empty.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <string>

#include "support/cairn_builder.h"
#include "support/packer_fixture.h"
#include "support/run_tool.h"
#include "support/texture_files.h"

using namespace umbra_test;

namespace {

const std::string OLD_ARCHIVE = "the archive of an earlier run, which a failed create must keep";

class out_of_space_test : public packer_tree_test_t {
 protected:
  void TearDown() override {
    if (!mounted_.empty()) umount2(mounted_.c_str(), MNT_DETACH);
  }

  // A 1 MiB tmpfs at dir/small; false (the test then skips) when this process may not
  // mount one.
  bool mount_small_file_system() {
    const std::string where = dir / "small";
    make_dirs(where);
    if (geteuid() != 0 || mount("tmpfs", where.c_str(), "tmpfs", 0, "size=1m") != 0) return false;
    mounted_ = where;
    return true;
  }

  // n incompressible files of size bytes each.
  void add_files(int n, size_t size) {
    for (int i = 0; i < n; ++i) add("f" + std::to_string(i) + ".bin", random_bytes(size, (uint32_t)i + 1));
  }

  void expect_failed(const tool_result_t& r) {
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find("*** ERROR *** : "), std::string::npos) << r.err;
  }

  void expect_old_archive_kept(const std::string& path) {
    EXPECT_EQ(read_file(path), OLD_ARCHIVE);
    EXPECT_FALSE(file_exists(path + ".atomic"));
  }

  // Every file of the destination is its source whole; returns how many there are.
  size_t expect_only_whole_files(const std::string& destination) {
    size_t files = 0;
    for (const auto& [path, bytes] : tree_snapshot(destination)) {
      if (path.back() == '/') continue;
      ++files;
      EXPECT_TRUE(bytes == read_file(src() + "/" + path)) << path << " is not whole (" << bytes.size() << " bytes)";
    }
    return files;
  }

  std::string mounted_;
};

TEST_F(out_of_space_test, create_onto_a_full_file_system_keeps_the_old_archive) {
  if (!mount_small_file_system()) GTEST_SKIP() << "mounting a tmpfs needs root";
  add_files(20, 100000);
  const std::string target = dir / "small/a.qar";
  write_file(target, OLD_ARCHIVE);
  tool_result_t r = run_packer({"create", target, "-root", src()}, dir.path());
  expect_failed(r);
  expect_old_archive_kept(target);
}

TEST_F(out_of_space_test, extract_onto_a_full_file_system_leaves_only_whole_files) {
  if (!mount_small_file_system()) GTEST_SKIP() << "mounting a tmpfs needs root";
  add_files(40, 50000);
  ASSERT_EQ(create().exit_code, 0);
  const std::string destination = dir / "small/out";
  tool_result_t r = run_packer({"extract", archive(), "-root", destination}, dir.path());
  expect_failed(r);
  const size_t whole = expect_only_whole_files(destination);
  EXPECT_GT(whole, 0u);
  EXPECT_LT(whole, 40u);
}

TEST_F(out_of_space_test, create_past_the_file_size_limit_keeps_the_old_archive) {
  add("big.bin", random_bytes(600 << 10, 1));
  add("small.txt", "fits");
  write_file(archive(), OLD_ARCHIVE);
  run_setup_t limited;
  limited.file_size_limit = 256 << 10;
  tool_result_t r = run_packer({"create", archive(), "-root", src()}, dir.path(), limited);
  expect_failed(r);
  expect_old_archive_kept(archive());
}

TEST_F(out_of_space_test, extract_past_the_file_size_limit_leaves_no_file_cut_short) {
  add("big.bin", random_bytes(600 << 10, 1));
  add("small.txt", "fits");
  ASSERT_EQ(create().exit_code, 0);
  run_setup_t limited;
  limited.file_size_limit = 256 << 10;
  tool_result_t r = run_packer({"extract", archive(), "-root", out()}, dir.path(), limited);
  expect_failed(r);
  EXPECT_NE(r.err.find("Failed to write data '/big.bin'!"), std::string::npos) << r.err;
  EXPECT_FALSE(file_exists(out() + "/big.bin"));
  EXPECT_EQ(expect_only_whole_files(out()), 1u);
}

TEST_F(out_of_space_test, extract_of_a_version_1_archive_past_the_limit_leaves_no_file_cut_short) {
  add("big.bin", random_bytes(600 << 10, 1));
  cairn_v1_builder_t v1;
  v1.add_directory("", "big.bin\r\n");
  v1.add_file("big.bin", read_file(src() + "/big.bin"));
  write_file(archive(), v1.build());
  run_setup_t limited;
  limited.file_size_limit = 256 << 10;
  tool_result_t r = run_packer({"extract", archive(), "-root", out()}, dir.path(), limited);
  expect_failed(r);
  EXPECT_NE(r.err.find("Copy of file '/big.bin'"), std::string::npos) << r.err;
  EXPECT_FALSE(file_exists(out() + "/big.bin"));
}

}  // namespace
