// The file cache in front of read-only opens: shared entries with use counts, copies
// dropped by writing opens, mount events and shutdown, and read-only cached files.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/ufs/fs_cache.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/ufs_device.h"

using namespace umbra;
using umbra_test::write_file;

namespace {

std::string pattern(size_t size, unsigned seed = 1) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = (char)(i * 7 + seed);
  return bytes;
}

class fs_cache_test : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(fs_startup(dir.path().c_str()));
    ASSERT_TRUE(fs_cache_startup());
  }
  void TearDown() override {
    fs_cache_shutdown();
    fs_shutdown();
  }

  auto_ptr_t<file_t> open(const char* path, u32 mode = FS_MODE_READ_ONLY, u32 device_type = FS_DEVICE_SYSFS) {
    auto_ptr_t<file_t> file;
    fs_cache_open(file, path, mode, device_type);
    return file;
  }

  static cache_file_t* cached(const auto_ptr_t<file_t>& file) { return dynamic_cast<cache_file_t*>(file.get()); }

  static std::string read_all(file_t& file) {
    std::string bytes(file.get_size(), '\0');
    EXPECT_TRUE(file.read_at(&bytes[0], bytes.size(), 0));
    return bytes;
  }

  umbra_test::log_capture_t log;
  umbra_test::temp_dir_t dir;
};

}  // namespace

TEST_F(fs_cache_test, two_opens_of_a_cached_file_share_one_entry) {
  const std::string content = pattern(200000);
  write_file(dir / "level.qdf", content);
  auto_ptr_t<file_t> first = open("/level.qdf");
  auto_ptr_t<file_t> second = open("/level.qdf");
  ASSERT_TRUE(cached(first));
  ASSERT_TRUE(cached(second));
  EXPECT_EQ(cached(first)->get_entry(), cached(second)->get_entry());
  EXPECT_EQ(fs_cache_entry_count(), 1u);
  EXPECT_EQ(fs_cache_use_count("/level.qdf", FS_DEVICE_SYSFS), 2u);
  EXPECT_GT(cached(second)->get_entry()->last_use.load(), 0u);

  EXPECT_TRUE(read_all(*second) == content);
  std::string piece(10, '\0');
  EXPECT_TRUE(first->read(&piece[0], piece.size()));
  EXPECT_EQ(piece, content.substr(0, 10));
  EXPECT_FALSE(first->read_at(&piece[0], 2, content.size() - 1)) << "past the cached bytes";
  EXPECT_FALSE(first->uses_read_cache());

  fs_stat_t info;
  ASSERT_TRUE(first->stat(&info));
  EXPECT_EQ(info.kind, (u32)FS_KIND_FILE);
  EXPECT_EQ(info.size, content.size());
  EXPECT_EQ(info.stored_size, content.size());
  EXPECT_EQ(info.time, 0u);
  EXPECT_EQ(info.entry_index, -1);
  EXPECT_EQ(first->get_device_type(), (u32)FS_DEVICE_SYSFS);
  mstring_t path;
  EXPECT_TRUE(first->get_path(path));
  EXPECT_STREQ(path.c_str(), "/level.qdf");
  EXPECT_FALSE(first->get_ufs_path(path)) << "not opened through the unified device";

  second.reset();
  EXPECT_EQ(fs_cache_use_count("/level.qdf", FS_DEVICE_SYSFS), 1u);
  // The same path on another device type is another entry.
  EXPECT_EQ(fs_cache_use_count("/level.qdf", FS_DEVICE_UFS), 0u);
  EXPECT_TRUE(log.errors().empty());
}

TEST_F(fs_cache_test, only_qdf_and_qdi_files_are_cached) {
  write_file(dir / "a.txt", "text");
  write_file(dir / "b.qdi", "index");
  write_file(dir / "c.dds", pattern(1000));
  auto_ptr_t<file_t> text = open("/a.txt");
  auto_ptr_t<file_t> index = open("/b.qdi");
  auto_ptr_t<file_t> texture = open("/c.dds");
  ASSERT_TRUE(text && index && texture);
  EXPECT_FALSE(cached(text));
  EXPECT_TRUE(cached(index));
  EXPECT_FALSE(cached(texture));
  EXPECT_EQ(texture->get_size(), 1000u) << "a texture opened read-only is never cut short";
  EXPECT_EQ(read_all(*index), "index");
  EXPECT_EQ(fs_cache_entry_count(), 1u);
  EXPECT_TRUE(fs_cache_is_cacheable("/x/y.qdf"));
  EXPECT_FALSE(fs_cache_is_cacheable("/x/y.qdf.bak"));
  EXPECT_EQ(fs_cache_load_size("/x.dds", 1000), 256u);
  EXPECT_EQ(fs_cache_load_size("/x.dds", 100), 100u);
  EXPECT_EQ(fs_cache_load_size("/x.qdf", 1000), 1000u);

  // A missing cacheable file fails the way every open does, and nothing is cached.
  auto_ptr_t<file_t> missing = open("/missing.qdf");
  EXPECT_FALSE(missing);
  EXPECT_EQ(log.errors(), (std::vector<std::string>{"[fs] Failed to open file '/missing.qdf' in the read_only mode."}));
  EXPECT_EQ(fs_cache_entry_count(), 1u);
  // An empty file is cached too.
  write_file(dir / "empty.qdf", "");
  auto_ptr_t<file_t> empty = open("/empty.qdf");
  ASSERT_TRUE(cached(empty));
  EXPECT_EQ(empty->get_size(), 0u);
}

TEST_F(fs_cache_test, a_writing_open_drops_the_cached_copy) {
  write_file(dir / "a.qdf", "old content");
  auto_ptr_t<file_t> old_view = open("/a.qdf");
  ASSERT_TRUE(cached(old_view));
  {
    auto_ptr_t<file_t> writer = open("/a.qdf", FS_MODE_CREATE_TRUNCATE);
    ASSERT_TRUE(writer);
    EXPECT_FALSE(cached(writer));
    EXPECT_EQ(fs_cache_entry_count(), 0u);
    ASSERT_TRUE(writer->write("new", 3));
  }
  // The file that was open keeps its copy; a new open loads the new bytes.
  EXPECT_EQ(read_all(*old_view), "old content");
  auto_ptr_t<file_t> new_view = open("/a.qdf");
  ASSERT_TRUE(cached(new_view));
  EXPECT_NE(cached(new_view)->get_entry(), cached(old_view)->get_entry());
  EXPECT_EQ(read_all(*new_view), "new");
  // A load still in flight is finished before the file changes under it.
  fs_cache_drop("/a.qdf");
  auto_ptr_t<file_t> loading = open("/a.qdf");
  ASSERT_TRUE(cached(loading));
  fs_cache_drop("/a.qdf");
  EXPECT_EQ(fs_cache_entry_count(), 0u);
  EXPECT_EQ(read_all(*loading), "new");
}

TEST_F(fs_cache_test, mount_events_drop_cached_copies) {
  write_file(dir / "a.qdf", "a");
  write_file(dir / "b.qdi", "b");
  auto_ptr_t<file_t> a = open("/a.qdf");
  auto_ptr_t<file_t> b = open("/b.qdi");
  EXPECT_EQ(fs_cache_entry_count(), 2u);

  // Any mount: a new device may now answer for any path.
  ufs_device_t* root = fs_get_root_device();
  ASSERT_TRUE(root->mount(fs_get_system_device(), 10));
  EXPECT_EQ(fs_cache_entry_count(), 0u);
  EXPECT_EQ(read_all(*a), "a") << "open files keep their copy";

  // An unmount drops the unified-device copies of the unmounted device only.
  auto_ptr_t<file_t> through_ufs = open("/a.qdf", FS_MODE_READ_ONLY, FS_DEVICE_UFS);
  ASSERT_TRUE(cached(through_ufs));
  EXPECT_EQ(through_ufs->get_device_id(), fs_get_system_device()->get_device_id());
  mstring_t path;
  EXPECT_TRUE(through_ufs->get_ufs_path(path));
  EXPECT_STREQ(path.c_str(), "/a.qdf");
  auto_ptr_t<file_t> direct = open("/b.qdi");
  ASSERT_TRUE(cached(direct));
  EXPECT_EQ(fs_cache_entry_count(), 2u);
  ASSERT_TRUE(root->unmount(fs_get_system_device()));
  EXPECT_EQ(fs_cache_entry_count(), 1u);
  EXPECT_EQ(fs_cache_use_count("/b.qdi", FS_DEVICE_SYSFS), 1u);
  EXPECT_EQ(fs_cache_use_count("/a.qdf", FS_DEVICE_UFS), 0u);
}

TEST_F(fs_cache_test, shutdown_empties_the_cache_and_open_files_keep_working) {
  write_file(dir / "a.qdf", "kept");
  auto_ptr_t<file_t> a = open("/a.qdf");
  fs_cache_shutdown();
  EXPECT_EQ(fs_cache_entry_count(), 0u);
  EXPECT_EQ(read_all(*a), "kept");
  // With the cache stopped, opens go straight to the device.
  auto_ptr_t<file_t> direct = open("/a.qdf");
  ASSERT_TRUE(direct);
  EXPECT_FALSE(cached(direct));
}

TEST_F(fs_cache_test, many_threads_open_the_same_file) {
  const std::string content = pattern(50000, 3);
  write_file(dir / "shared.qdf", content);
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        auto_ptr_t<file_t> file;
        if (!fs_cache_open(file, "/shared.qdf", FS_MODE_READ_ONLY, FS_DEVICE_SYSFS) || !cached(file)) {
          failures++;
          continue;
        }
        std::string bytes(content.size(), '\0');
        if (!file->read_at(&bytes[0], bytes.size(), 0) || bytes != content) failures++;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(fs_cache_entry_count(), 1u);
  EXPECT_EQ(fs_cache_use_count("/shared.qdf", FS_DEVICE_SYSFS), 0u);
}

TEST(fs_cache_death, writing_to_a_cached_file_stops_the_process) {
  // An entry made by hand: the file system is not needed to show it.
  cache_entry_t* entry = new cache_entry_t();
  entry->path.assign("/a.qdf");
  entry->loaded = true;
  entry->use_count = 1;
  entry->references = 1;
  cache_file_t file(entry, FS_DEVICE_SYSFS);
  EXPECT_DEATH(file.io_write("x", 1, 0), "cached files do not support write operation\\.");
}
