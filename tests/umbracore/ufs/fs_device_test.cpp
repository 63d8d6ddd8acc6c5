// Opening by device type through the started file system, with each pump back end.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/sysfs_device.h"
#include "umbracore/ufs/ufs_device.h"

using namespace umbra;
using umbra_test::read_file;
using umbra_test::write_file;

namespace {

class fs_device_test : public testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
#ifdef _WIN32
    // One engine on Windows: both rows run on the completion port.
    ASSERT_TRUE(fs_startup(dir.path().c_str()));
#else
    setenv("UMBRA_IO_BACKEND", GetParam(), 1);
    ASSERT_TRUE(fs_startup(dir.path().c_str()));
    unsetenv("UMBRA_IO_BACKEND");
#endif
  }
  void TearDown() override { fs_shutdown(); }

  umbra_test::log_capture_t log;
  umbra_test::temp_dir_t dir;
};

}  // namespace

TEST_P(fs_device_test, failures_are_reported_by_kind) {
  auto_ptr_t<file_t> file;
  EXPECT_FALSE(fs_device_open(file, "a/b", FS_MODE_READ_ONLY, 3));
  EXPECT_FALSE(fs_device_open(file, "a/b", FS_MODE_READ_ONLY, FS_DEVICE_UFS));
  EXPECT_FALSE(fs_device_open(file, "/nope", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
  EXPECT_FALSE(fs_device_open(file, "/nope", 9, FS_DEVICE_SYSFS));
  EXPECT_FALSE(fs_device_open(file, "/nope", FS_MODE_CREATE_OR_READ_WRITE, FS_DEVICE_UFS));
  write_file(dir / "exists", "e");
  EXPECT_FALSE(fs_device_open(file, "/exists", FS_MODE_CREATE_NEW, FS_DEVICE_SYSFS));
  EXPECT_FALSE(file);
  EXPECT_EQ(log.errors(),
            (std::vector<std::string>{
                "[fs] Unable to retrieve device pointer of specified type (3) for 'a/b'.",
                "[fs] fs_device_open() called with invalid path 'a/b' (expected absolute path, starting with slash).",
                "[fs] Failed to open file '/nope' in the read_only mode.",
                "[fs] Failed to open file '/nope' in the unknown mode.",
                "[fs] Failed to open file '/nope' in the create_or_read_write mode.",
            }));
}

TEST_P(fs_device_test, opened_files_carry_their_device_type) {
  write_file(dir / "f.bin", "content");
  auto_ptr_t<file_t> file;
  ASSERT_TRUE(fs_open(file, "/f.bin", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
  EXPECT_EQ(file->get_device_type(), (u32)FS_DEVICE_SYSFS);
  EXPECT_EQ(std::string(file_debug_name(file.get()).c_str()), "<SYSFS>" + dir.path() + "/f.bin");
  EXPECT_EQ(std::string(path_debug_name("/f.bin", FS_DEVICE_SYSFS).c_str()), "<SYSFS>" + dir.path() + "/f.bin");
  EXPECT_TRUE(log.errors().empty());

  EXPECT_STREQ(path_debug_name("/x", FS_DEVICE_SYSFS).c_str(), "<MISSING><SYSFS>/x");
  EXPECT_EQ(log.errors(), std::vector<std::string>{"[fs] Failed to open file '/x' in the read_only mode."});

  auto_ptr_t<file_t> created;
  ASSERT_TRUE(fs_open_create_truncate_system(created, "/made/here.bin"));
  ASSERT_TRUE(created->write("abc", 3));
  created.reset();
  EXPECT_EQ(read_file(dir / "made/here.bin"), "abc");
  ASSERT_TRUE(fs_open_create_truncate_system(created, "/made/here.bin"));
  created.reset();
  EXPECT_EQ(read_file(dir / "made/here.bin"), "");
}

TEST_P(fs_device_test, start_up_builds_the_root_with_four_layers) {
  ufs_device_t* root = fs_get_root_device();
  ASSERT_NE(root, nullptr);
  EXPECT_EQ(fs_get_device(FS_DEVICE_UFS), root);
  EXPECT_EQ(root->get_index(), FS_UNIFIED_INDEX_ROOT);
  EXPECT_EQ(root->get_kind(), (u32)FS_DEVICE_KIND_UNIFIED);
  ASSERT_EQ(root->mount_count(), 4u);
  for (u32 i = 0; i < 4; ++i) {
    EXPECT_EQ(root->mounted_priority(i), (s32)(3 - i));
    ufs_device_t* layer = static_cast<ufs_device_t*>(root->mounted_device(i));
    EXPECT_EQ(layer->get_index(), i);
    EXPECT_EQ(layer->get_unified_index(), FS_UNIFIED_INDEX_ROOT);
    EXPECT_NE(layer->get_device_id(), FS_DEVICE_ID_NONE);
  }
  fs_device_t* system = fs_get_system_device();
  ASSERT_NE(system, nullptr);
  EXPECT_EQ(system->get_kind(), (u32)FS_DEVICE_KIND_SYSTEM);
  EXPECT_STREQ(system->get_name().c_str(), dir.path().c_str());
  EXPECT_EQ(fs_get_device(FS_DEVICE_NONE), nullptr);
  EXPECT_EQ(fs_get_device(3), nullptr);
  EXPECT_TRUE(log.texts().empty());
}

TEST_P(fs_device_test, a_system_device_mounted_into_a_layer_serves_unified_paths) {
  umbra_test::make_dirs(dir / "data");
  write_file(dir / "data/f.txt", "layered");
  ufs_device_t* layer = static_cast<ufs_device_t*>(fs_get_root_device()->mounted_device(1));
  sysfs_device_t data(static_cast<sysfs_device_t*>(fs_get_system_device())->get_platform(), (dir / "data").c_str());
  ASSERT_TRUE(layer->mount(&data, 0, "/data"));
  auto_ptr_t<file_t> file;
  ASSERT_TRUE(fs_device_open(file, "/data/f.txt", FS_MODE_READ_ONLY, FS_DEVICE_UFS));
  EXPECT_EQ(file->get_device_type(), (u32)FS_DEVICE_UFS);
  path_string_t text;
  ASSERT_TRUE(file->get_ufs_path(text));
  EXPECT_STREQ(text.c_str(), "/data/f.txt");
  EXPECT_EQ(std::string(file_debug_name(file.get()).c_str()), "<" + dir.path() + "/data | /data>/f.txt");
  char bytes[7];
  ASSERT_TRUE(file->read(bytes, 7));
  EXPECT_EQ(std::string(bytes, 7), "layered");
  file.reset();
  auto_ptr_t<fs_dir_list_t> top = fs_get_root_device()->read_dir("/");
  ASSERT_TRUE(top);
  ASSERT_EQ(top->count(), 1u);
  EXPECT_STREQ((*top)[0].name.c_str(), "data");
  EXPECT_EQ(layer->unmount(&data), true);
  EXPECT_FALSE(fs_device_open(file, "/data/f.txt", FS_MODE_READ_ONLY, FS_DEVICE_UFS));
}

TEST_P(fs_device_test, small_reads_of_a_real_file_refill_three_times) {
  std::string content(20000, '\0');
  for (size_t i = 0; i < content.size(); ++i) content[i] = (char)(i * 13);
  write_file(dir / "big.bin", content);
  auto_ptr_t<file_t> file;
  ASSERT_TRUE(fs_open(file, "/big.bin", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
  u32 before = fs_block_counters.read_requests.load();
  std::string back;
  char piece[10];
  while (back.size() < content.size()) {
    ASSERT_TRUE(file->read(piece, sizeof(piece)));
    back.append(piece, sizeof(piece));
  }
  EXPECT_EQ(fs_block_counters.read_requests.load() - before, 3u);
  EXPECT_TRUE(back == content);
  std::string big(9000, '\0');
  file->set_position(100);
  before = fs_block_counters.read_requests.load();
  ASSERT_TRUE(file->read(&big[0], big.size()));
  EXPECT_EQ(fs_block_counters.read_requests.load() - before, 1u);
  EXPECT_TRUE(big == content.substr(100, 9000));
}

TEST_P(fs_device_test, nothing_is_served_after_shutdown) {
  fs_shutdown();
  EXPECT_FALSE(fs_is_running());
  auto_ptr_t<file_t> file;
  EXPECT_FALSE(fs_device_open(file, "/x", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
  EXPECT_EQ(log.errors(),
            std::vector<std::string>{"[fs] Unable to retrieve device pointer of specified type (2) for '/x'."});
  // Start-up works again after a shutdown.
  ASSERT_TRUE(fs_startup(dir.path().c_str()));
  write_file(dir / "again", "1");
  EXPECT_TRUE(fs_device_open(file, "/again", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS));
}

INSTANTIATE_TEST_SUITE_P(backends, fs_device_test, testing::Values("uring", "pread"),
                         [](const testing::TestParamInfo<const char*>& info) { return std::string(info.param); });
