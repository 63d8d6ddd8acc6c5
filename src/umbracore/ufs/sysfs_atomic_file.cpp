#include "umbracore/ufs/sysfs_atomic_file.h"

#include "umbracore/log/log.h"
#include "umbracore/ufs/sysfs_device.h"
#include "umbracore/ufs/sysfs_file.h"

namespace umbra {

sysfs_atomic_file_t::sysfs_atomic_file_t(sysfs_device_t* device, const char* final_path, sysfs_file_t* buffer_file)
    : file_t(final_path), final_path_(final_path), buffer_file_(buffer_file), device_(device) {}

sysfs_atomic_file_t::~sysfs_atomic_file_t() {
  if (!is_open()) return;
  log_error("[sysfs_atomic_file_t] Atomic file close without explicit commit or cancel. %s",
            file_debug_name(this).c_str());
  cancel_atomic();
}

bool sysfs_atomic_file_t::stat(fs_stat_t* out) { return is_open() && buffer_file_->stat(out); }

fs_io_request_t* sysfs_atomic_file_t::io_read(void* buffer, u64 size, u64 offset, u32 flag) {
  log_error("[sysfs_atomic_file_t] Atomic file does not support read operation.");
  return nullptr;
}

file_t* sysfs_atomic_file_t::written_file() { return buffer_file_.get(); }

fs_io_request_t* sysfs_atomic_file_t::io_write(const void* buffer, u64 size, u64 offset) {
  if (!is_open()) {
    log_error("[sysfs_atomic_file_t] Cannot write, buffer file is already closed.");
    return nullptr;
  }
  return buffer_file_->io_write(buffer, size, offset);
}

bool sysfs_atomic_file_t::io_poll(fs_io_request_t* request) { return is_open() && buffer_file_->io_poll(request); }

bool sysfs_atomic_file_t::io_wait(fs_io_request_t* request) { return is_open() && buffer_file_->io_wait(request); }

void sysfs_atomic_file_t::io_release(fs_io_request_t* request) {
  if (is_open()) buffer_file_->io_release(request);
}

bool sysfs_atomic_file_t::get_path(string& out) {
  system_path_string_t platform_path;
  return device_->translate(platform_path, final_path_.c_str()) && out.assign(platform_path);
}

bool sysfs_atomic_file_t::get_ufs_path(string& out) {
  if (device_type != FS_DEVICE_UFS) return false;
  const mstring_t& mount_path = device_->get_mount_path();
  if (mount_path.empty()) return out.assign(name);
  return out.assign(mount_path) && out.append(name);
}

void sysfs_atomic_file_t::get_debug_name(string& out) {
  if (device_type == FS_DEVICE_UFS) {
    out.format("<atomic><%s | %s>%s", device_->get_root().c_str(), device_->get_mount_path().c_str(), name.c_str());
  } else {
    out.format("<atomic><%s>%s", fs_device_type_name(device_type), name.c_str());
  }
}

u16 sysfs_atomic_file_t::get_device_id() { return device_->get_device_id(); }

bool sysfs_atomic_file_t::close_buffer(system_path_string_t& temporary_path) {
  bool named = temporary_path.assign(buffer_file_->name);
  buffer_file_.reset();
  return named;
}

bool sysfs_atomic_file_t::commit_atomic() {
  if (!is_open()) {
    log_error("[sysfs_atomic_file_t] Cannot commit, buffer file is already closed.");
    return false;
  }
  system_path_string_t temporary_path;
  close_buffer(temporary_path);
  if (device_->move(temporary_path.c_str(), final_path_.c_str(), true)) return true;
  log_error("[sysfs_atomic_file_t] Cannot rename buffer file.");
  device_->remove(temporary_path.c_str());
  return false;
}

bool sysfs_atomic_file_t::cancel_atomic() {
  if (!is_open()) {
    log_error("[sysfs_atomic_file_t] Cannot cancel, buffer file is already closed.");
    return false;
  }
  system_path_string_t temporary_path;
  close_buffer(temporary_path);
  return device_->remove(temporary_path.c_str());
}

}  // namespace umbra
