// The unified device: one tree made of the devices mounted into it. A path goes to the
// mounts in order of descending priority; the first mount whose mount path holds the
// path and whose device answers wins, so a higher layer shadows a lower one.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/thread/locks.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_mount_tracker.h"

namespace umbra {

class ufs_device_t final : public fs_device_t {
 public:
  // index: 0 to 3 for the layer devices, FS_UNIFIED_INDEX_ROOT for the root.
  explicit ufs_device_t(u32 index, ufs_mount_tracker_t* tracker = &fs_mount_tracker());
  // Unmounts whatever is still mounted; the devices themselves are not owned.
  ~ufs_device_t() override;

  // Mounts device at mount_path ("" covers every path). Among equal priorities the
  // earlier mount comes first.
  bool mount(fs_device_t* device, s32 priority, const char* mount_path = "");
  bool unmount(fs_device_t* device);

  u32 get_index() const { return index_; }
  u32 mount_count();
  // The device and priority of the mount at list position i (null past the end).
  fs_device_t* mounted_device(u32 i);
  s32 mounted_priority(u32 i);

  file_t* open(const char* path, u32 mode) override;
  bool remove(const char* path) override;
  bool stat(const char* path, fs_stat_t* out) override;
  bool mstat(const char* path, fs_mstat_t* out) override;
  fs_io_request_t* chunk_read(void* target, u32 target_kind, const char* path, const fs_chunk_t& chunk,
                              fs_io_callback_t callback) override;
  bool mkdir(const char* path) override;
  bool rmdir(const char* path) override;
  bool copy(const char* from, const char* to, bool overwrite) override;
  bool move(const char* from, const char* to, bool overwrite) override;
  auto_ptr_t<fs_dir_list_t> read_dir(const char* path) override;

 private:
  struct mount_t {
    fs_device_t* device = nullptr;
    mstring_t path;
    s32 priority = 0;
  };

  // Calls op(device, device_path) for every mount holding path, in list order, until
  // op returns true. Devices marked read-only are left out when changes is set.
  template <class operation_t>
  bool for_each_mount(const char* path, bool changes, operation_t op);
  // Two-path operations: both paths must lie under one writable mount.
  template <class operation_t>
  bool for_each_writable_mount_of_both(const char* from, const char* to, operation_t operation);

  u32 index_;
  ufs_mount_tracker_t* tracker_;
  rw_lock_t lock_;
  array_dyn_t<mount_t> mounts_;
};

// The path below a mount point: path without the mount path (on a component boundary),
// "/" when nothing is left. False when the mount does not hold the path.
bool ufs_strip_mount_path(path_string_t& out, const char* mount_path, const char* path);

}  // namespace umbra
