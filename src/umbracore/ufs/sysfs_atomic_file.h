// A file written under a temporary name (the final path plus ".atomic") that replaces
// the final file only when committed, so an interrupted run never leaves a half-written
// file under the final name.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

class sysfs_device_t;
class sysfs_file_t;

constexpr const char* SYSFS_ATOMIC_SUFFIX = ".atomic";

class sysfs_atomic_file_t final : public file_t {
 public:
  // Takes ownership of the buffer file opened on the temporary path.
  sysfs_atomic_file_t(sysfs_device_t* device, const char* final_path, sysfs_file_t* buffer_file);
  // Cancels (with a message) when neither commit nor cancel was called.
  ~sysfs_atomic_file_t() override;

  bool stat(fs_stat_t* out) override;
  fs_io_request_t* io_read(void* buffer, u64 size, u64 offset, u32 flag) override;
  fs_io_request_t* io_write(const void* buffer, u64 size, u64 offset) override;
  bool io_poll(fs_io_request_t* request) override;
  bool io_wait(fs_io_request_t* request) override;
  void io_release(fs_io_request_t* request) override;
  bool set_size(u64 size) override { return false; }
  bool get_path(string& out) override;
  bool get_ufs_path(string& out) override;
  void get_debug_name(string& out) override;
  u16 get_device_id() override;
  bool commit_atomic() override;
  bool cancel_atomic() override;

  bool is_open() const { return buffer_file_.get() != nullptr; }
  // The temporary file as written so far, for a writer that reads back its own bytes
  // (reads through the atomic file stay refused); null once committed or cancelled.
  file_t* written_file();

 private:
  // Closes the buffer file and gives back the device path it was written under.
  bool close_buffer(system_path_string_t& temporary_path);

  system_path_string_t final_path_;
  auto_ptr_t<sysfs_file_t> buffer_file_;
  sysfs_device_t* device_;
};

}  // namespace umbra
