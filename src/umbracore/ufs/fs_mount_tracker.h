// Ids for mounted devices. Every device mounted into a unified device gets a 16-bit id
// from one table, and observers (the file cache) hear of mounts and unmounts so they
// can drop what they hold from a device that goes away.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/thread/locks.h"
#include "umbracore/types.h"

namespace umbra {

class fs_device_t;

enum fs_mount_event_t : u32 {
  FS_MOUNT_EVENT_MOUNT = 2,
  FS_MOUNT_EVENT_PRE_UNMOUNT = 4,
  FS_MOUNT_EVENT_UNMOUNT = 8,
};

class fs_mount_observer_t {
 public:
  virtual ~fs_mount_observer_t() = default;
  // One event kind for count device ids. Called with the tracker's lock held: an
  // observer must not call back into the tracker.
  virtual void on_mount_event(u32 event, const u16* ids, u32 count) = 0;
};

constexpr u32 FS_MOUNT_TRACKER_CAPACITY = 8000;
constexpr u32 FS_MOUNT_TRACKER_MAX_OBSERVERS = 2;

class ufs_mount_tracker_t {
 public:
  ufs_mount_tracker_t() = default;
  ufs_mount_tracker_t(const ufs_mount_tracker_t&) = delete;
  ufs_mount_tracker_t& operator=(const ufs_mount_tracker_t&) = delete;

  // Assigns the next free id (rolling, starting at 0) and reports the mount. A full
  // table stops the process.
  u16 register_device(fs_device_t* device);
  // Reports that the device is about to go.
  void notify_pre_unmount(u16 id);
  // Frees the id and reports the unmount.
  void release_device(u16 id);
  fs_device_t* find_device(u16 id);
  u32 device_count();

  // At most two observers; false when both places are taken.
  bool attach_observer(fs_mount_observer_t* observer);
  void detach_observer(fs_mount_observer_t* observer);

 private:
  struct slot_t {
    u16 id;
    fs_device_t* device;
  };
  void notify(u32 event, u16 id);
  void flush_pending();
  bool id_in_use(u16 id) const;

  mutex_t lock_;
  array_dyn_t<slot_t> slots_;
  u16 next_id_ = 0;
  fs_mount_observer_t* observers_[FS_MOUNT_TRACKER_MAX_OBSERVERS] = {nullptr, nullptr};
  // Events seen while nobody listens, collected per kind.
  u32 pending_event_ = 0;
  array_dyn_t<u16> pending_ids_;
};

// The tracker of the process's unified devices.
ufs_mount_tracker_t& fs_mount_tracker();

}  // namespace umbra
