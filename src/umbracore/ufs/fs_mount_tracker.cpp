#include "umbracore/ufs/fs_mount_tracker.h"

#include "umbracore/log/assert.h"

namespace umbra {

ufs_mount_tracker_t& fs_mount_tracker() {
  static ufs_mount_tracker_t tracker;
  return tracker;
}

bool ufs_mount_tracker_t::id_in_use(u16 id) const {
  for (const slot_t& slot : slots_) {
    if (slot.id == id) return true;
  }
  return false;
}

u16 ufs_mount_tracker_t::register_device(fs_device_t* device) {
  mutex_guard_t guard(lock_);
  UMBRA_ASSERT(slots_.count() < FS_MOUNT_TRACKER_CAPACITY, "[ufs] The table of UFS mounted devices is full.");
  u16 id = next_id_;
  while (id == 0xFFFF || id_in_use(id)) ++id;  // 0xFFFF means "not mounted"
  next_id_ = (u16)(id + 1);
  UMBRA_ASSERT(slots_.append(slot_t{id, device}) != nullptr, "[ufs] The table of UFS mounted devices is full.");
  notify(FS_MOUNT_EVENT_MOUNT, id);
  return id;
}

void ufs_mount_tracker_t::notify_pre_unmount(u16 id) {
  mutex_guard_t guard(lock_);
  notify(FS_MOUNT_EVENT_PRE_UNMOUNT, id);
}

void ufs_mount_tracker_t::release_device(u16 id) {
  mutex_guard_t guard(lock_);
  for (u64 i = 0; i < slots_.count(); ++i) {
    if (slots_[i].id == id) {
      slots_.remove_fast(i);
      notify(FS_MOUNT_EVENT_UNMOUNT, id);
      return;
    }
  }
}

fs_device_t* ufs_mount_tracker_t::find_device(u16 id) {
  mutex_guard_t guard(lock_);
  for (const slot_t& slot : slots_) {
    if (slot.id == id) return slot.device;
  }
  return nullptr;
}

u32 ufs_mount_tracker_t::device_count() {
  mutex_guard_t guard(lock_);
  return (u32)slots_.count();
}

bool ufs_mount_tracker_t::attach_observer(fs_mount_observer_t* observer) {
  mutex_guard_t guard(lock_);
  for (fs_mount_observer_t*& place : observers_) {
    if (!place) {
      place = observer;
      return true;
    }
  }
  return false;
}

void ufs_mount_tracker_t::detach_observer(fs_mount_observer_t* observer) {
  mutex_guard_t guard(lock_);
  for (fs_mount_observer_t*& place : observers_) {
    if (place == observer) place = nullptr;
  }
}

void ufs_mount_tracker_t::flush_pending() {
  if (pending_ids_.empty()) return;
  for (fs_mount_observer_t* observer : observers_) {
    if (observer) observer->on_mount_event(pending_event_, pending_ids_.data(), (u32)pending_ids_.count());
  }
  pending_ids_.clear();
}

void ufs_mount_tracker_t::notify(u32 event, u16 id) {
  // Consecutive events of one kind travel as one batch; a change of kind closes it.
  if (!pending_ids_.empty() && pending_event_ != event) flush_pending();
  pending_event_ = event;
  if (!pending_ids_.append(id)) {
    // Out of memory for the batch: deliver this one alone rather than lose it.
    flush_pending();
    for (fs_mount_observer_t* observer : observers_) {
      if (observer) observer->on_mount_event(event, &id, 1);
    }
    return;
  }
  bool listened = observers_[0] != nullptr || observers_[1] != nullptr;
  if (listened) flush_pending();
}

}  // namespace umbra
