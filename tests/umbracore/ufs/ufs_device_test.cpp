// The unified device and its mount tracker, over small scripted devices.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "support/log_capture.h"
#include "umbracore/ufs/fs_mount_tracker.h"
#include "umbracore/ufs/ufs_device.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

using namespace umbra;

namespace {

// A device that knows a few paths and records every call it receives.
class script_device_t final : public fs_device_t {
 public:
  explicit script_device_t(const char* tag, bool is_read_only = false) : fs_device_t(FS_DEVICE_KIND_CAIRN), tag_(tag) {
    read_only = is_read_only;
  }

  void add(const std::string& path, u32 kind) { paths_[path] = kind; }

  file_t* open(const char* path, u32 mode) override {
    calls.push_back(std::string("open ") + path);
    if (!fs_mode_writes(mode) && !paths_.count(path)) return nullptr;
    mem_file_t* file = new mem_file_t();
    file->name.assign(tag_.c_str());
    return file;
  }
  bool stat(const char* path, fs_stat_t* out) override {
    calls.push_back(std::string("stat ") + path);
    auto found = paths_.find(path);
    if (found == paths_.end()) return false;
    if (out) out->kind = found->second;
    return true;
  }
  bool remove(const char* path) override { return record("remove", path); }
  bool mkdir(const char* path) override { return record("mkdir", path); }
  bool rmdir(const char* path) override { return record("rmdir", path); }
  bool move(const char* from, const char* to, bool overwrite) override {
    return record("move", (std::string(from) + " " + to).c_str());
  }
  auto_ptr_t<fs_dir_list_t> read_dir(const char* path) override {
    calls.push_back(std::string("read_dir ") + path);
    auto found = listings_.find(path);
    if (found == listings_.end()) return auto_ptr_t<fs_dir_list_t>();
    auto_ptr_t<fs_dir_list_t> listing(new fs_dir_list_t());
    for (const auto& entry : found->second) listing->add(entry.first.c_str(), entry.second);
    return listing;
  }
  void add_listing(const std::string& path, std::vector<std::pair<std::string, u32>> entries) {
    listings_[path] = std::move(entries);
  }

  bool answer = true;
  std::vector<std::string> calls;

 private:
  bool record(const char* what, const char* path) {
    calls.push_back(std::string(what) + " " + path);
    return answer;
  }

  std::string tag_;
  std::map<std::string, u32> paths_;
  std::map<std::string, std::vector<std::pair<std::string, u32>>> listings_;
};

std::string tag_of(file_t* file) { return file ? file->name.c_str() : "<none>"; }

std::vector<std::pair<std::string, u32>> entries_of(const auto_ptr_t<fs_dir_list_t>& listing) {
  std::vector<std::pair<std::string, u32>> out;
  if (!listing) return {{"<null>", 0}};
  for (const fs_dir_entry_t& entry : listing->entries) out.push_back({entry.name.c_str(), entry.kind});
  return out;
}

class ufs_test : public testing::Test {
 protected:
  umbra_test::log_capture_t log;
  ufs_mount_tracker_t tracker;
};

}  // namespace

TEST_F(ufs_test, mounts_are_ordered_by_descending_priority_and_earlier_first) {
  script_device_t a("a"), b("b"), c("c"), d("d");
  ufs_device_t ufs(FS_UNIFIED_INDEX_ROOT, &tracker);
  ASSERT_TRUE(ufs.mount(&a, 1));
  ASSERT_TRUE(ufs.mount(&b, 3));
  ASSERT_TRUE(ufs.mount(&c, 1));
  ASSERT_TRUE(ufs.mount(&d, 2));
  std::vector<fs_device_t*> order;
  for (u32 i = 0; i < ufs.mount_count(); ++i) order.push_back(ufs.mounted_device(i));
  EXPECT_EQ(order, (std::vector<fs_device_t*>{&b, &d, &a, &c}));
  EXPECT_EQ(a.get_device_id(), 0);
  EXPECT_EQ(b.get_device_id(), 1);
  EXPECT_EQ(a.get_unified_index(), FS_UNIFIED_INDEX_ROOT);

  // The first device that knows the path answers; the others are asked in order.
  c.add("/x", FS_KIND_FILE);
  a.add("/y", FS_KIND_FILE);
  c.add("/y", FS_KIND_FILE);
  EXPECT_EQ(tag_of(auto_ptr_t<file_t>(ufs.open("/x", FS_MODE_READ_ONLY)).get()), "c");
  EXPECT_EQ(tag_of(auto_ptr_t<file_t>(ufs.open("/y", FS_MODE_READ_ONLY)).get()), "a");
  EXPECT_EQ(b.calls, (std::vector<std::string>{"open /x", "open /y"}));
  EXPECT_TRUE(c.calls.size() == 1);  // never asked for /y: a answered first
  EXPECT_EQ(tag_of(auto_ptr_t<file_t>(ufs.open("/z", FS_MODE_READ_ONLY)).get()), "<none>");
  EXPECT_TRUE(ufs.is_file("/x"));
  EXPECT_FALSE(ufs.is_dir("/x"));
}

TEST_F(ufs_test, read_only_devices_are_skipped_for_changes) {
  script_device_t archive("archive", true), disk("disk");
  archive.add("/f", FS_KIND_FILE);
  ufs_device_t ufs(0, &tracker);
  ufs.mount(&archive, 10);
  ufs.mount(&disk, 0);
  EXPECT_EQ(tag_of(auto_ptr_t<file_t>(ufs.open("/f", FS_MODE_READ_ONLY)).get()), "archive");
  for (u32 mode : {FS_MODE_CREATE_NEW, FS_MODE_CREATE_TRUNCATE, FS_MODE_CREATE_OR_READ_WRITE, FS_MODE_ATOMIC}) {
    EXPECT_EQ(tag_of(auto_ptr_t<file_t>(ufs.open("/f", mode)).get()), "disk") << mode;
  }
  EXPECT_TRUE(ufs.remove("/f"));
  EXPECT_TRUE(ufs.mkdir("/d"));
  EXPECT_TRUE(ufs.rmdir("/d"));
  EXPECT_TRUE(ufs.move("/f", "/g", true));
  EXPECT_EQ(archive.calls, (std::vector<std::string>{"open /f"}));
  EXPECT_TRUE(ufs.stat("/f", nullptr));
  EXPECT_EQ(archive.calls.back(), "stat /f");
  // A changing operation that every device refuses fails.
  disk.answer = false;
  EXPECT_FALSE(ufs.remove("/f"));
}

TEST_F(ufs_test, mount_paths_match_whole_components) {
  script_device_t home("home"), everything("everything");
  ufs_device_t ufs(1, &tracker);
  ufs.mount(&home, 5, "/home");
  ufs.mount(&everything, 0);
  EXPECT_STREQ(home.get_mount_path().c_str(), "/home");
  EXPECT_TRUE(ufs.mkdir("/home/u/docs"));
  EXPECT_TRUE(ufs.mkdir("/home"));
  EXPECT_TRUE(ufs.mkdir("/homework/x"));
  EXPECT_EQ(home.calls, (std::vector<std::string>{"mkdir /u/docs", "mkdir /"}));
  EXPECT_EQ(everything.calls, (std::vector<std::string>{"mkdir /homework/x"}));
  // A move stays on one mount.
  home.answer = false;
  EXPECT_TRUE(ufs.move("/home/a", "/home/b", false));
  EXPECT_EQ(home.calls.back(), "move /a /b");
  EXPECT_EQ(everything.calls.back(), "move /home/a /home/b");

  path_string_t rest;
  EXPECT_TRUE(ufs_strip_mount_path(rest, "/data/", "/data/x"));
  EXPECT_STREQ(rest.c_str(), "/x");
  EXPECT_FALSE(ufs_strip_mount_path(rest, "/data", "/dat"));
}

TEST_F(ufs_test, read_dir_merges_mounts_and_shows_mount_points) {
  script_device_t top("top"), bottom("bottom"), deep("deep");
  top.add_listing("/", {{"shared", FS_KIND_DIRECTORY}, {"top.txt", FS_KIND_FILE}});
  bottom.add_listing("/", {{"bottom.txt", FS_KIND_FILE}, {"shared", FS_KIND_FILE}, {"top.txt", FS_KIND_FILE}});
  deep.add_listing("/", {{"inside.txt", FS_KIND_FILE}});
  ufs_device_t ufs(2, &tracker);
  ufs.mount(&top, 2);
  ufs.mount(&bottom, 1);
  ufs.mount(&deep, 0, "/mnt/archive");
  EXPECT_EQ(entries_of(ufs.read_dir("/")), (std::vector<std::pair<std::string, u32>>{{"shared", FS_KIND_DIRECTORY},
                                                                                     {"top.txt", FS_KIND_FILE},
                                                                                     {"bottom.txt", FS_KIND_FILE},
                                                                                     {"mnt", FS_KIND_DIRECTORY}}));
  EXPECT_EQ(entries_of(ufs.read_dir("/mnt")),
            (std::vector<std::pair<std::string, u32>>{{"archive", FS_KIND_DIRECTORY}}));
  EXPECT_EQ(entries_of(ufs.read_dir("/mnt/archive")),
            (std::vector<std::pair<std::string, u32>>{{"inside.txt", FS_KIND_FILE}}));
  EXPECT_EQ(entries_of(ufs.read_dir("/nowhere")), (std::vector<std::pair<std::string, u32>>{{"<null>", 0}}));
}

TEST_F(ufs_test, mount_messages_and_unmount) {
  script_device_t named("named"), unnamed("unnamed"), dots("dots"), stranger("stranger");
  named.name.assign("../../data/pack.qar");
  dots.name.assign("../../");
  ufs_device_t ufs(3, &tracker);
  ufs.mount(&named, 0, "/m");
  ufs.mount(&unnamed, 0);
  ufs.mount(&dots, 0);
  EXPECT_EQ(log.texts(), std::vector<std::string>{"[fs] device data/pack.qar mounted."});
  EXPECT_EQ(tracker.device_count(), 3u);
  EXPECT_TRUE(ufs.unmount(&named));
  EXPECT_EQ(named.get_device_id(), FS_DEVICE_ID_NONE);
  EXPECT_EQ(named.get_unified_index(), FS_UNIFIED_INDEX_ROOT);
  EXPECT_STREQ(named.get_mount_path().c_str(), "");
  EXPECT_EQ(tracker.device_count(), 2u);
  EXPECT_FALSE(ufs.unmount(&stranger));
  EXPECT_EQ(log.errors(), std::vector<std::string>{"[ufs] Error unmounting device: device not found!"});
}

TEST(mount_tracker, ids_roll_on_and_skip_those_in_use) {
  ufs_mount_tracker_t tracker;
  script_device_t a("a"), b("b"), c("c");
  EXPECT_EQ(tracker.register_device(&a), 0);
  EXPECT_EQ(tracker.register_device(&b), 1);
  tracker.release_device(1);
  EXPECT_EQ(tracker.register_device(&b), 2);  // the counter goes on rather than reuse 1 at once
  EXPECT_EQ(tracker.find_device(2), &b);
  EXPECT_EQ(tracker.find_device(1), nullptr);
  // Around the whole 16-bit range: 0 and 2 are still taken, 0xFFFF means "none".
  u16 last = 2;
  for (u32 i = 0; i < 0xFFFC; ++i) {
    last = tracker.register_device(&c);
    tracker.release_device(last);
  }
  EXPECT_EQ(last, 0xFFFE);
  EXPECT_EQ(tracker.register_device(&c), 1);
  EXPECT_EQ(tracker.register_device(&c), 3);
}

TEST(mount_tracker, observers_receive_batches_of_one_kind) {
  struct observer_t : fs_mount_observer_t {
    std::vector<std::pair<u32, std::vector<u16>>> events;
    void on_mount_event(u32 event, const u16* ids, u32 count) override {
      events.push_back({event, std::vector<u16>(ids, ids + count)});
    }
  } first, second, third;
  ufs_mount_tracker_t tracker;
  script_device_t d("d");
  tracker.register_device(&d);
  tracker.register_device(&d);
  tracker.register_device(&d);
  ASSERT_TRUE(tracker.attach_observer(&first));
  // The change of kind closes the batch collected while nobody listened.
  tracker.notify_pre_unmount(1);
  tracker.release_device(1);
  using events_t = std::vector<std::pair<u32, std::vector<u16>>>;
  EXPECT_EQ(first.events, (events_t{{FS_MOUNT_EVENT_MOUNT, {0, 1, 2}},
                                    {FS_MOUNT_EVENT_PRE_UNMOUNT, {1}},
                                    {FS_MOUNT_EVENT_UNMOUNT, {1}}}));
  ASSERT_TRUE(tracker.attach_observer(&second));
  EXPECT_FALSE(tracker.attach_observer(&third));
  tracker.register_device(&d);
  EXPECT_EQ(second.events, (events_t{{FS_MOUNT_EVENT_MOUNT, {3}}}));
  EXPECT_EQ(first.events.size(), 4u);
  tracker.detach_observer(&first);
  tracker.release_device(3);
  EXPECT_EQ(first.events.size(), 4u);
  EXPECT_EQ(second.events.size(), 2u);
}

TEST(mount_tracker_death, a_full_table_stops_the_process) {
  EXPECT_DEATH(
      {
        umbra_test::log_capture_t log;
        ufs_mount_tracker_t tracker;
        script_device_t d("d");
        for (u32 i = 0; i <= FS_MOUNT_TRACKER_CAPACITY; ++i) tracker.register_device(&d);
      },
      "\\[ufs\\] The table of UFS mounted devices is full\\.");
}
