// A file of the system device: a platform handle whose reads and writes are requests
// served by the platform layer's pump thread.
#pragma once

#include "umbracore/platform/platform_fs.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

class sysfs_device_t;

class sysfs_file_t final : public file_t {
 public:
  sysfs_file_t(sysfs_device_t* device, platform_file_handle_t handle, const char* path);
  ~sysfs_file_t() override;

  bool stat(fs_stat_t* out) override;
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32 flag) override;
  fs_io_request_t* io_write(const void* buffer, u64 size, u64 offset) override;
  // Done on the calling thread, not by the pump.
  bool write_at(const void* buffer, u64 size, u64 offset) override;
  bool io_poll(fs_io_request_t* request) override;
  bool io_wait(fs_io_request_t* request) override;
  void io_release(fs_io_request_t* request) override;
  bool set_size(u64 size) override;
  bool get_path(string& out) override;
  bool get_ufs_path(string& out) override;
  void get_debug_name(string& out) override;
  u16 get_device_id() override;

  platform_file_handle_t get_handle() const { return handle_; }
  sysfs_device_t* get_device() const { return device_; }

 private:
  sysfs_device_t* device_;
  platform_file_handle_t handle_;
};

}  // namespace umbra
