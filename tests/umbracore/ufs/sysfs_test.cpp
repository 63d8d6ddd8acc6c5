// The system file device over a temporary root, run with each pump back end: path
// translation, open modes, refusing what is not a regular file, listings, atomic files.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "support/run_tool.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/ufs/sysfs_atomic_file.h"
#include "umbracore/ufs/sysfs_device.h"
#include "umbracore/ufs/sysfs_file.h"

using namespace umbra;
using umbra_test::file_exists;
using umbra_test::read_file;
using umbra_test::write_file;

namespace {

class sysfs_test : public testing::TestWithParam<platform_io_backend_t> {
 protected:
  void SetUp() override {
    ASSERT_TRUE(platform.init(GetParam()));
    if (GetParam() == PLATFORM_IO_BACKEND_URING && std::string(platform.backend_name()) != "io_uring") {
      GTEST_SKIP() << "io_uring is not available here";
    }
    device.reset(new sysfs_device_t(&platform, dir.path().c_str()));
    ASSERT_TRUE(device->is_available());
  }
  void TearDown() override {
    device.reset();
    platform.shutdown();
  }

  auto_ptr_t<file_t> open(const std::string& path, u32 mode) {
    auto_ptr_t<file_t> file(device->open(path.c_str(), mode));
    if (file) file->set_device_type(FS_DEVICE_SYSFS);
    return file;
  }

  std::string read_all(file_t& file) {
    std::string bytes(file.get_size(), '\0');
    EXPECT_TRUE(file.read_at(&bytes[0], bytes.size(), 0));
    return bytes;
  }

  std::vector<std::pair<std::string, u32>> list(const std::string& path) {
    std::vector<std::pair<std::string, u32>> out;
    auto_ptr_t<fs_dir_list_t> listing = device->read_dir(path.c_str());
    if (!listing) return {{"<null>", 0}};
    for (const fs_dir_entry_t& entry : listing->entries) out.push_back({entry.name.c_str(), entry.kind});
    return out;
  }

  umbra_test::log_capture_t log;
  umbra_test::temp_dir_t dir;
  platform_fs_t platform;
  auto_ptr_t<sysfs_device_t> device;
};

std::string backend_label(const testing::TestParamInfo<platform_io_backend_t>& info) {
  return info.param == PLATFORM_IO_BACKEND_URING ? "io_uring" : "pread";
}

}  // namespace

TEST(sysfs_translate, root_rules) {
  struct case_t {
    const char* root;
    const char* path;
    const char* expected;
  } cases[] = {
      {"C:/data", "/a/b.txt", "C:/data/a/b.txt"},
      {"/", "/a/b.txt", "/a/b.txt"},
      {"", "/abs/path", "/abs/path"},
      {"", "out/x", "out/x"},
      {"/", "rel", "/rel"},
      {"base", "rel", "base/rel"},
      {"base", "", "base"},
      {"", "", ""},
      {"base", "/", "base"},
      {"", "/", "/"},
  };
  for (const case_t& c : cases) {
    system_path_string_t out;
    ASSERT_TRUE(sysfs_translate_path(out, c.root, c.path)) << c.root << " " << c.path;
    EXPECT_STREQ(out.c_str(), c.expected) << c.root << " " << c.path;
  }
  system_path_string_t out;
  std::string long_path = "/" + std::string(4090, 'a');
  EXPECT_FALSE(sysfs_translate_path(out, "/somewhere", long_path.c_str()));
}

TEST_P(sysfs_test, open_modes) {
  // Writing modes create the missing parents.
  auto_ptr_t<file_t> created = open("/x/y/z.bin", FS_MODE_CREATE_TRUNCATE);
  ASSERT_TRUE(created);
  ASSERT_TRUE(created->write("hello", 5));
  created.reset();
  EXPECT_EQ(read_file(dir / "x/y/z.bin"), "hello");

  EXPECT_FALSE(open("/x/y/z.bin", FS_MODE_CREATE_NEW));
  auto_ptr_t<file_t> kept = open("/x/y/z.bin", FS_MODE_CREATE_OR_READ_WRITE);
  ASSERT_TRUE(kept);
  EXPECT_EQ(read_all(*kept), "hello");
  kept.reset();
  auto_ptr_t<file_t> emptied = open("/x/y/z.bin", FS_MODE_CREATE_TRUNCATE);
  ASSERT_TRUE(emptied);
  EXPECT_EQ(emptied->get_size(), 0u);
  emptied.reset();

  EXPECT_FALSE(open("/missing.bin", FS_MODE_READ_ONLY));
  EXPECT_FALSE(file_exists(dir / "missing.bin"));
  EXPECT_FALSE(open("/x/y/z.bin", 5));
  auto_ptr_t<file_t> fresh = open("/new.bin", FS_MODE_CREATE_NEW);
  ASSERT_TRUE(fresh);
  EXPECT_TRUE(log.errors().empty());
}

TEST_P(sysfs_test, only_regular_files_are_opened) {
#ifdef _WIN32
  GTEST_SKIP() << "named pipes in the file system (mkfifo) are POSIX";
#else
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  umbra_test::make_dirs(dir / "folder");
  // None of these may block on the fifo or hand out a non-file.
  for (u32 mode : {FS_MODE_READ_ONLY, FS_MODE_CREATE_OR_READ_WRITE, FS_MODE_CREATE_NEW, FS_MODE_CREATE_TRUNCATE}) {
    EXPECT_FALSE(open("/pipe", mode)) << mode;
    EXPECT_FALSE(open("/folder", mode)) << mode;
  }
  struct stat info;
  ASSERT_EQ(lstat((dir / "pipe").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));

  sysfs_device_t root_device(&platform, "");
  EXPECT_EQ(root_device.open("/dev/null", FS_MODE_READ_ONLY), nullptr);
  EXPECT_EQ(root_device.open("/dev/null", FS_MODE_CREATE_OR_READ_WRITE), nullptr);
#endif
}

TEST_P(sysfs_test, create_truncate_replaces_a_link_not_its_target) {
#ifdef _WIN32
  GTEST_SKIP() << "the link is made with symlink(), which Windows keeps for administrators";
#else
  write_file(dir / "target.txt", "precious");
  ASSERT_EQ(symlink((dir / "target.txt").c_str(), (dir / "link.txt").c_str()), 0);
  auto_ptr_t<file_t> file = open("/link.txt", FS_MODE_CREATE_TRUNCATE);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("new", 3));
  file.reset();
  EXPECT_EQ(read_file(dir / "target.txt"), "precious");
  EXPECT_EQ(read_file(dir / "link.txt"), "new");
  struct stat info;
  ASSERT_EQ(lstat((dir / "link.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISREG(info.st_mode));
#endif
}

TEST_P(sysfs_test, paths_too_long_fail_without_touching_the_disk) {
#ifdef _WIN32
  GTEST_SKIP() << "the limits are Linux's PATH_MAX and NAME_MAX";
#else
  // Components stay within the system's name limit; only the whole path is too long.
  auto components = [](size_t length, char c) {
    std::string path;
    while (path.size() < length) path += "/" + std::string(std::min<size_t>(200, length - path.size() - 1), c);
    return path;
  };
  std::string directory = components(3900, 'd');
  std::string path = directory + components(200, 'f');
  for (u32 mode : {FS_MODE_READ_ONLY, FS_MODE_CREATE_NEW, FS_MODE_CREATE_TRUNCATE, FS_MODE_ATOMIC}) {
    EXPECT_FALSE(open(path, mode)) << mode;
  }
  EXPECT_FALSE(device->mkdir((directory + components(200, 'g')).c_str()));
  // The atomic temporary is never cut to fit: that name could be another file's.
  std::string near_limit = components(4095 - dir.path().size() - 4, 'n');
  EXPECT_FALSE(open(near_limit, FS_MODE_ATOMIC));
  EXPECT_FALSE(device->stat(path.c_str(), nullptr));
  EXPECT_EQ(umbra_test::run_program("/bin/sh", {"-c", "ls -A '" + dir.path() + "' | wc -l"}).out, "0\n");
#endif
}

TEST_P(sysfs_test, stat_kinds_and_sizes) {
#ifdef _WIN32
  GTEST_SKIP() << "named pipes in the file system (mkfifo) are POSIX";
#else
  write_file(dir / "file.bin", std::string(1234, 'x'));
  umbra_test::make_dirs(dir / "folder");
  ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
  fs_stat_t info;
  ASSERT_TRUE(device->stat("/file.bin", &info));
  EXPECT_EQ(info.kind, (u32)FS_KIND_FILE);
  EXPECT_EQ(info.size, 1234u);
  EXPECT_EQ(info.stored_size, 1234u);
  EXPECT_GT(info.time, 1500000000u);
  EXPECT_EQ(info.entry_index, -1);
  ASSERT_TRUE(device->stat("/folder", &info));
  EXPECT_EQ(info.kind, (u32)FS_KIND_DIRECTORY);
  ASSERT_TRUE(device->stat("/pipe", &info));
  EXPECT_EQ(info.kind, (u32)FS_KIND_NONE);
  EXPECT_FALSE(device->stat("/missing", &info));
  EXPECT_TRUE(device->is_file("/file.bin"));
  EXPECT_FALSE(device->is_file("/folder"));
  EXPECT_TRUE(device->is_dir("/folder"));
  EXPECT_FALSE(device->is_file("/pipe"));

  auto_ptr_t<file_t> file = open("/file.bin", FS_MODE_READ_ONLY);
  ASSERT_TRUE(file);
  EXPECT_EQ(file->get_size(), 1234u);
#endif
}

TEST_P(sysfs_test, read_dir_lists_files_and_directories_only) {
#ifdef _WIN32
  GTEST_SKIP() << "named pipes (mkfifo) and symlink() are POSIX";
#else
  umbra_test::make_dirs(dir / "d/.git");
  umbra_test::make_dirs(dir / "d/@cache");
  umbra_test::make_dirs(dir / "d/sub");
  write_file(dir / "d/b.txt", "b");
  write_file(dir / "d/a.txt", "a");
  write_file(dir / "d/.hidden", "h");
  write_file(dir / "d/@meta", "m");
  ASSERT_EQ(mkfifo((dir / "d/pipe").c_str(), 0600), 0);
  ASSERT_EQ(symlink("a.txt", (dir / "d/link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", (dir / "d/dangling").c_str()), 0);
  std::vector<std::pair<std::string, u32>> expected = {
      {"a.txt", FS_KIND_FILE}, {"b.txt", FS_KIND_FILE}, {"link", FS_KIND_FILE}, {"sub", FS_KIND_DIRECTORY}};
  EXPECT_EQ(list("/d"), expected);
  EXPECT_EQ(list("/d/"), expected);
  EXPECT_EQ(list("/missing"), (std::vector<std::pair<std::string, u32>>{{"<null>", 0}}));
  EXPECT_TRUE(log.errors().empty());
#endif
}

TEST_P(sysfs_test, read_dir_refuses_a_name_that_is_not_utf8) {
#ifdef _WIN32
  GTEST_SKIP() << "names on Windows are UTF-16; a name that is not UTF-8 exists only on a Linux file system";
#else
  umbra_test::make_dirs(dir / "d");
  write_file(dir / "d/good.txt", "g");
  write_file(dir / "d/bad\xff\xfe.txt", "b");
  EXPECT_EQ(list("/d"), (std::vector<std::pair<std::string, u32>>{{"<null>", 0}}));
  std::string shown = dir.path() + "/d";
  EXPECT_EQ(log.errors(), std::vector<std::string>{"[fs] Directory '" + shown +
                                                   "' holds a name that is not valid UTF-8 ('bad\\xFF\\xFE.txt'); it "
                                                   "cannot be listed."});
#endif
}

TEST_P(sysfs_test, directory_operations) {
  EXPECT_TRUE(device->mkdir("/p/q/r"));
  EXPECT_TRUE(device->is_dir("/p/q/r"));
  EXPECT_TRUE(device->mkdir("/p/q/r"));  // already there
  EXPECT_TRUE(device->mkdir(""));
  write_file(dir / "p/file", "x");
  EXPECT_FALSE(device->mkdir("/p/file"));  // a file is in the way
  EXPECT_FALSE(device->rmdir("/p/q"));     // not empty
  EXPECT_TRUE(device->rmdir("/p/q/r"));
  EXPECT_FALSE(device->is_dir("/p/q/r"));
  EXPECT_FALSE(device->remove("/p/q"));  // remove is for files
  EXPECT_TRUE(device->remove("/p/file"));
  EXPECT_FALSE(file_exists(dir / "p/file"));
  EXPECT_FALSE(device->remove("/p/file"));
  EXPECT_TRUE(device->mkdir_for_file("/top.bin"));
  EXPECT_TRUE(device->mkdir_for_file("/m/n/leaf.bin"));
  EXPECT_TRUE(device->is_dir("/m/n"));
}

TEST_P(sysfs_test, copy_and_move) {
  write_file(dir / "src.bin", std::string(3 * 1024 * 1024 + 5, 'c'));
  EXPECT_TRUE(device->copy("/src.bin", "/deep/copy.bin", false));
  EXPECT_EQ(read_file(dir / "deep/copy.bin"), read_file(dir / "src.bin"));
  write_file(dir / "other.bin", "other");
  EXPECT_FALSE(device->copy("/other.bin", "/deep/copy.bin", false));
  EXPECT_TRUE(device->copy("/other.bin", "/deep/copy.bin", true));
  EXPECT_EQ(read_file(dir / "deep/copy.bin"), "other");
  EXPECT_FALSE(device->copy("/missing", "/deep/none.bin", true));
  EXPECT_FALSE(file_exists(dir / "deep/none.bin"));

  EXPECT_FALSE(device->move("/other.bin", "/deep/copy.bin", false));
  EXPECT_TRUE(file_exists(dir / "other.bin"));
  EXPECT_TRUE(device->move("/other.bin", "/deep/copy.bin", true));
  EXPECT_FALSE(file_exists(dir / "other.bin"));
  EXPECT_TRUE(device->move("/deep/copy.bin", "/moved.bin", false));
  EXPECT_EQ(read_file(dir / "moved.bin"), "other");
}

TEST_P(sysfs_test, atomic_commit_replaces_the_final_file) {
  umbra_test::make_dirs(dir / "out");
  write_file(dir / "out/f.qar", "old");
  auto_ptr_t<file_t> file = open("/out/f.qar", FS_MODE_ATOMIC);
  ASSERT_TRUE(file);
  ASSERT_TRUE(file->write("new contents", 12));
  EXPECT_TRUE(file_exists(dir / "out/f.qar.atomic"));
  EXPECT_EQ(read_file(dir / "out/f.qar"), "old");
  fs_stat_t info;
  ASSERT_TRUE(file->stat(&info));
  EXPECT_EQ(info.size, 12u);
  path_string_t text;
  file->get_debug_name(text);
  EXPECT_STREQ(text.c_str(), "<atomic><SYSFS>/out/f.qar");
  ASSERT_TRUE(file->get_path(text));
  EXPECT_EQ(std::string(text.c_str()), dir / "out/f.qar");

  EXPECT_TRUE(file->commit_atomic());
  EXPECT_EQ(read_file(dir / "out/f.qar"), "new contents");
  EXPECT_FALSE(file_exists(dir / "out/f.qar.atomic"));
  EXPECT_TRUE(log.errors().empty());

  EXPECT_FALSE(file->commit_atomic());
  EXPECT_FALSE(file->cancel_atomic());
  EXPECT_FALSE(file->write("x", 1));
  u8 byte;
  EXPECT_FALSE(file->read_at(&byte, 1, 0));
  EXPECT_FALSE(file->stat(&info));
  EXPECT_EQ(log.errors(), (std::vector<std::string>{
                              "[sysfs_atomic_file_t] Cannot commit, buffer file is already closed.",
                              "[sysfs_atomic_file_t] Cannot cancel, buffer file is already closed.",
                              "[sysfs_atomic_file_t] Cannot write, buffer file is already closed.",
                              "[sysfs_atomic_file_t] Atomic file does not support read operation.",
                          }));
  file.reset();
  EXPECT_EQ(log.errors().size(), 4u);
}

TEST_P(sysfs_test, atomic_cancel_and_abandon_leave_nothing_behind) {
  write_file(dir / "keep.bin", "keep");
  auto_ptr_t<file_t> cancelled = open("/keep.bin", FS_MODE_ATOMIC);
  ASSERT_TRUE(cancelled && cancelled->write("zzz", 3));
  EXPECT_TRUE(cancelled->cancel_atomic());
  EXPECT_FALSE(file_exists(dir / "keep.bin.atomic"));
  EXPECT_EQ(read_file(dir / "keep.bin"), "keep");
  cancelled.reset();
  EXPECT_TRUE(log.errors().empty());

  auto_ptr_t<file_t> abandoned = open("/new/abandoned.bin", FS_MODE_ATOMIC);
  ASSERT_TRUE(abandoned && abandoned->write("zzz", 3));
  abandoned.reset();
  EXPECT_FALSE(file_exists(dir / "new/abandoned.bin.atomic"));
  EXPECT_FALSE(file_exists(dir / "new/abandoned.bin"));
  EXPECT_EQ(log.errors(), std::vector<std::string>{"[sysfs_atomic_file_t] Atomic file close without explicit commit "
                                                   "or cancel. <atomic><SYSFS>/new/abandoned.bin"});
}

TEST_P(sysfs_test, atomic_commit_that_cannot_rename_removes_the_temporary) {
  umbra_test::make_dirs(dir / "taken/inner");
  auto_ptr_t<file_t> file = open("/taken", FS_MODE_ATOMIC);
  ASSERT_TRUE(file && file->write("x", 1));
  EXPECT_FALSE(file->commit_atomic());
  EXPECT_FALSE(file_exists(dir / "taken.atomic"));
  EXPECT_TRUE(device->is_dir("/taken/inner"));
  EXPECT_EQ(log.errors(), std::vector<std::string>{"[sysfs_atomic_file_t] Cannot rename buffer file."});
}

TEST_P(sysfs_test, file_names_by_device_type) {
  write_file(dir / "n.bin", "n");
  auto_ptr_t<file_t> file(device->open("/n.bin", FS_MODE_READ_ONLY));
  ASSERT_TRUE(file);
  path_string_t text;
  const std::string root = dir.path();
  struct case_t {
    u32 type;
    std::string debug_name;
    bool has_ufs_path;
  } cases[] = {
      {FS_DEVICE_NONE, "<UNKNOWNFS>/n.bin", false},
      {FS_DEVICE_UFS, "<" + root + " | >/n.bin", true},
      {FS_DEVICE_SYSFS, "<SYSFS>" + root + "/n.bin", false},
      {7, "<BADFS>/n.bin", false},
  };
  for (const case_t& c : cases) {
    file->set_device_type(c.type);
    file->get_debug_name(text);
    EXPECT_EQ(std::string(text.c_str()), c.debug_name);
    EXPECT_EQ(file->get_ufs_path(text), c.has_ufs_path);
  }
  device->on_mounted("/mnt", 12, 0);
  file->set_device_type(FS_DEVICE_UFS);
  ASSERT_TRUE(file->get_ufs_path(text));
  EXPECT_STREQ(text.c_str(), "/mnt/n.bin");
  EXPECT_EQ(file->get_device_id(), 12);
  ASSERT_TRUE(file->get_path(text));
  EXPECT_STREQ(text.c_str(), "/n.bin");
}

TEST_P(sysfs_test, a_root_that_is_no_directory_leaves_the_device_unavailable) {
  write_file(dir / "plain", "p");
  EXPECT_FALSE(sysfs_device_t(&platform, (dir / "plain").c_str()).is_available());
  EXPECT_FALSE(sysfs_device_t(&platform, (dir / "absent").c_str()).is_available());
  EXPECT_TRUE(sysfs_device_t(&platform, "").is_available());
}

INSTANTIATE_TEST_SUITE_P(backends, sysfs_test,
                         testing::Values(PLATFORM_IO_BACKEND_URING, PLATFORM_IO_BACKEND_PREAD), backend_label);
