#include "umbracore/ufs/ufs_device.h"

#include <cstring>

#include "umbracore/log/log.h"

namespace umbra {

bool ufs_strip_mount_path(path_string_t& out, const char* mount_path, const char* path) {
  u64 length = std::strlen(mount_path);
  const char* rest = path;
  if (length != 0) {
    if (std::strncmp(path, mount_path, length) != 0) return false;
    char next = path[length];
    bool mount_ends_with_slash = mount_path[length - 1] == '/';
    // "/home" holds "/home" and "/home/x", never "/homework".
    if (!mount_ends_with_slash && next != '\0' && next != '/') return false;
    rest = mount_ends_with_slash ? path + length - 1 : path + length;
  }
  if (*rest == '\0') return out.assign("/");
  return out.assign(rest);
}

namespace {

// The first component of mount_path below directory (both absolute), when the mount
// point lies below it: "/a/b/c" below "/a" gives "b".
bool mount_child_below(path_string_t& out, const char* mount_path, const char* directory) {
  u64 length = std::strlen(directory);
  while (length > 0 && directory[length - 1] == '/') --length;
  if (std::strncmp(mount_path, directory, length) != 0 || mount_path[length] != '/') return false;
  const char* child = mount_path + length + 1;
  const char* end = std::strchr(child, '/');
  u64 child_length = end ? (u64)(end - child) : std::strlen(child);
  if (child_length == 0) return false;
  return out.assign(child, child_length);
}

// The device's name as the mount message shows it: without leading "../".
const char* printable_device_name(const mstring_t& name) {
  const char* text = name.c_str();
  while (std::strncmp(text, "../", 3) == 0) text += 3;
  return text;
}

}  // namespace

ufs_device_t::ufs_device_t(u32 index, ufs_mount_tracker_t* tracker)
    : fs_device_t(FS_DEVICE_KIND_UNIFIED), index_(index), tracker_(tracker) {}

ufs_device_t::~ufs_device_t() {
  for (;;) {
    fs_device_t* device = mounted_device(0);
    if (!device) break;
    unmount(device);
  }
}

bool ufs_device_t::mount(fs_device_t* device, s32 priority, const char* path) {
  if (!device) return false;
  exclusive_lock_guard_t guard(lock_);
  mount_t entry;
  entry.device = device;
  entry.priority = priority;
  if (!entry.path.assign(path)) return false;
  // Stable: after every mount of the same or a higher priority.
  u64 position = 0;
  while (position < mounts_.count() && mounts_[position].priority >= priority) ++position;
  if (!mounts_.append(std::move(entry))) return false;
  for (u64 i = mounts_.count() - 1; i > position; --i) std::swap(mounts_[i], mounts_[i - 1]);
  u16 id = tracker_->register_device(device);
  device->on_mounted(path, id, index_);
  const char* shown = printable_device_name(device->get_name());
  if (*shown != '\0') log_info("[fs] device %s mounted.", shown);
  return true;
}

bool ufs_device_t::unmount(fs_device_t* device) {
  exclusive_lock_guard_t guard(lock_);
  for (u64 i = 0; i < mounts_.count(); ++i) {
    if (mounts_[i].device != device) continue;
    u16 id = device->get_device_id();
    tracker_->notify_pre_unmount(id);
    mounts_.remove(i);
    device->on_mounted("", FS_DEVICE_ID_NONE, FS_UNIFIED_INDEX_ROOT);
    tracker_->release_device(id);
    return true;
  }
  log_error("[ufs] Error unmounting device: device not found!");
  return false;
}

u32 ufs_device_t::mount_count() {
  shared_lock_guard_t guard(lock_);
  return (u32)mounts_.count();
}

fs_device_t* ufs_device_t::mounted_device(u32 i) {
  shared_lock_guard_t guard(lock_);
  return i < mounts_.count() ? mounts_[i].device : nullptr;
}

s32 ufs_device_t::mounted_priority(u32 i) {
  shared_lock_guard_t guard(lock_);
  return i < mounts_.count() ? mounts_[i].priority : 0;
}

template <class operation_t>
bool ufs_device_t::for_each_mount(const char* path, bool changes, operation_t op) {
  shared_lock_guard_t guard(lock_);
  path_string_t device_path;
  for (const mount_t& mount : mounts_) {
    if (changes && mount.device->is_read_only()) continue;
    if (!ufs_strip_mount_path(device_path, mount.path.c_str(), path)) continue;
    if (op(mount.device, device_path.c_str())) return true;
  }
  return false;
}

file_t* ufs_device_t::open(const char* path, u32 mode) {
  file_t* file = nullptr;
  for_each_mount(path, fs_mode_writes(mode), [&](fs_device_t* device, const char* device_path) {
    file = device->open(device_path, mode);
    return file != nullptr;
  });
  return file;
}

bool ufs_device_t::remove(const char* path) {
  return for_each_mount(path, true, [](fs_device_t* device, const char* p) { return device->remove(p); });
}

bool ufs_device_t::stat(const char* path, fs_stat_t* out) {
  return for_each_mount(path, false, [out](fs_device_t* device, const char* p) { return device->stat(p, out); });
}

bool ufs_device_t::mstat(const char* path, fs_mstat_t* out) {
  return for_each_mount(path, false, [out](fs_device_t* device, const char* p) { return device->mstat(p, out); });
}

fs_io_request_t* ufs_device_t::chunk_read(void* target, u32 target_kind, const char* path, const fs_chunk_t& chunk,
                                          fs_io_callback_t callback) {
  fs_io_request_t* request = nullptr;
  for_each_mount(path, false, [&](fs_device_t* device, const char* p) {
    request = device->chunk_read(target, target_kind, p, chunk, callback);
    return request != nullptr;
  });
  return request;
}

bool ufs_device_t::mkdir(const char* path) {
  return for_each_mount(path, true, [](fs_device_t* device, const char* p) { return device->mkdir(p); });
}

bool ufs_device_t::rmdir(const char* path) {
  return for_each_mount(path, true, [](fs_device_t* device, const char* p) { return device->rmdir(p); });
}

template <class operation_t>
bool ufs_device_t::for_each_writable_mount_of_both(const char* from, const char* to, operation_t operation) {
  shared_lock_guard_t guard(lock_);
  path_string_t device_from;
  path_string_t device_to;
  for (const mount_t& mount : mounts_) {
    if (mount.device->is_read_only()) continue;
    if (!ufs_strip_mount_path(device_from, mount.path.c_str(), from)) continue;
    if (!ufs_strip_mount_path(device_to, mount.path.c_str(), to)) continue;
    if (operation(mount.device, device_from.c_str(), device_to.c_str())) return true;
  }
  return false;
}

bool ufs_device_t::copy(const char* from, const char* to, bool overwrite) {
  return for_each_writable_mount_of_both(from, to, [overwrite](fs_device_t* device, const char* a, const char* b) {
    return device->copy(a, b, overwrite);
  });
}

bool ufs_device_t::move(const char* from, const char* to, bool overwrite) {
  return for_each_writable_mount_of_both(from, to, [overwrite](fs_device_t* device, const char* a, const char* b) {
    return device->move(a, b, overwrite);
  });
}

auto_ptr_t<fs_dir_list_t> ufs_device_t::read_dir(const char* path) {
  auto_ptr_t<fs_dir_list_t> merged(new fs_dir_list_t());
  bool found = false;
  shared_lock_guard_t guard(lock_);
  path_string_t device_path;
  for (const mount_t& mount : mounts_) {
    if (ufs_strip_mount_path(device_path, mount.path.c_str(), path)) {
      auto_ptr_t<fs_dir_list_t> listing = mount.device->read_dir(device_path.c_str());
      if (!listing) continue;
      found = true;
      for (const fs_dir_entry_t& entry : listing->entries) {
        // The higher mount's entry stands; a lower one of the same name is shadowed.
        if (!merged->contains(entry.name.c_str()) && !merged->add(entry.name.c_str(), entry.kind)) {
          return auto_ptr_t<fs_dir_list_t>();
        }
      }
    } else if (mount_child_below(device_path, mount.path.c_str(), path)) {
      found = true;
      if (!merged->contains(device_path.c_str()) && !merged->add(device_path.c_str(), FS_KIND_DIRECTORY)) {
        return auto_ptr_t<fs_dir_list_t>();
      }
    }
  }
  if (!found) return auto_ptr_t<fs_dir_list_t>();
  return merged;
}

}  // namespace umbra
