#include "umbracore/ufs/sysfs_file.h"

#include "umbracore/ufs/sysfs_device.h"

namespace umbra {

sysfs_file_t::sysfs_file_t(sysfs_device_t* device, platform_file_handle_t handle, const char* path)
    : file_t(path), device_(device), handle_(handle) {}

sysfs_file_t::~sysfs_file_t() {
  if (handle_ != PLATFORM_INVALID_HANDLE) device_->get_platform()->close_handle(handle_);
}

bool sysfs_file_t::stat(fs_stat_t* out) {
  fs_stat_t ignored;
  return device_->get_platform()->stat_handle(handle_, out ? out : &ignored);
}

fs_io_request_t* sysfs_file_t::io_read(void* buffer, u64 size, u64 offset, u32 flag) {
  // A blocking read is waited for at once: handing it to the pump would only add two
  // thread switches.
  if (flag == FS_IO_FLAG_BLOCKING) return device_->get_platform()->read_completed(handle_, buffer, size, offset);
  return device_->get_platform()->queue_read(handle_, buffer, size, offset, nullptr, nullptr);
}

fs_io_request_t* sysfs_file_t::io_write(const void* buffer, u64 size, u64 offset) {
  return device_->get_platform()->queue_write(handle_, buffer, size, offset, nullptr, nullptr);
}

bool sysfs_file_t::write_at(const void* buffer, u64 size, u64 offset) {
  return device_->get_platform()->write_blocking(handle_, buffer, size, offset);
}

bool sysfs_file_t::io_poll(fs_io_request_t* request) { return request && request->is_finished(); }

bool sysfs_file_t::io_wait(fs_io_request_t* request) {
  if (!request) return false;
  return device_->get_platform()->wait_and_recycle(static_cast<platform_io_request_t*>(request));
}

void sysfs_file_t::io_release(fs_io_request_t* request) {
  if (request) device_->get_platform()->release(static_cast<platform_io_request_t*>(request));
}

bool sysfs_file_t::set_size(u64 size) { return device_->get_platform()->set_size(handle_, size); }

bool sysfs_file_t::get_path(string& out) { return out.assign(name); }

bool sysfs_file_t::get_ufs_path(string& out) {
  if (device_type != FS_DEVICE_UFS) return false;
  const mstring_t& mount_path = device_->get_mount_path();
  if (mount_path.empty()) return out.assign(name);
  return out.assign(mount_path) && out.append(name);
}

void sysfs_file_t::get_debug_name(string& out) {
  switch (device_type) {
    case FS_DEVICE_NONE:
      out.format("<%s>%s", fs_device_type_name(device_type), name.c_str());
      break;
    case FS_DEVICE_UFS:
      out.format("<%s | %s>%s", device_->get_root().c_str(), device_->get_mount_path().c_str(), name.c_str());
      break;
    case FS_DEVICE_SYSFS:
      out.format("<%s>%s%s", fs_device_type_name(device_type), device_->get_root().c_str(), name.c_str());
      break;
    default:
      out.format("<%s>%s", fs_device_type_name(device_type), name.c_str());
      break;
  }
}

u16 sysfs_file_t::get_device_id() { return device_->get_device_id(); }

}  // namespace umbra
