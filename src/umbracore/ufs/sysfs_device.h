// The system file device: the tool's '/'-separated UTF-8 device paths mapped onto the
// platform's directories and files below a root, each operation one call into the
// platform file layer.
#pragma once

#include "umbracore/strings/string.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

class platform_fs_t;

class sysfs_device_t final : public fs_device_t {
 public:
  // root: the platform directory device paths are relative to; "" lets paths pass
  // through unchanged (relative ones stay relative to the working directory). A root
  // that is not a directory leaves the device unavailable.
  sysfs_device_t(platform_fs_t* platform, const char* root);
  ~sysfs_device_t() override = default;

  file_t* open(const char* path, u32 mode) override;
  bool remove(const char* path) override;
  bool stat(const char* path, fs_stat_t* out) override;
  bool mstat(const char* path, fs_mstat_t* out) override;
  bool mkdir(const char* path) override;
  bool mkdir_for_file(const char* path) override;
  bool rmdir(const char* path) override;
  bool copy(const char* from, const char* to, bool overwrite) override;
  bool move(const char* from, const char* to, bool overwrite) override;
  auto_ptr_t<fs_dir_list_t> read_dir(const char* path) override;
  fs_io_request_t* chunk_read(void* target, u32 target_kind, const char* path, const fs_chunk_t& chunk,
                              fs_io_callback_t callback) override;

  const mstring_t& get_root() const { return name; }
  platform_fs_t* get_platform() const { return platform_; }
  // Device path to platform path; false when the result does not fit 255 bytes.
  bool translate(system_path_string_t& out, const char* path) const;

 private:
  file_t* open_atomic(const char* path);
  bool create_directory(const char* path);

  platform_fs_t* platform_;
};

// The translation rules on their own: a root ("" allowed) and a device path.
bool sysfs_translate_path(system_path_string_t& out, const char* root, const char* path);

}  // namespace umbra
