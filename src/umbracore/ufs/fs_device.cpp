// Operations shared by every device, and opening files by device type.
#include "umbracore/ufs/fs_device.h"

#include "umbracore/ufs/fs_cache.h"
#include "umbracore/ufs/fs_io_server_core.h"

#include <cstring>

#include "umbracore/log/log.h"

namespace umbra {

bool fs_dir_list_t::add(const char* name, u32 kind) {
  fs_dir_entry_t* entry = entries.emplace();
  if (!entry) return false;
  entry->kind = kind;
  if (!entry->name.assign(name)) {
    entries.remove(entries.count() - 1);
    return false;
  }
  return true;
}

bool fs_dir_list_t::contains(const char* name) const {
  for (const fs_dir_entry_t& entry : entries) {
    if (entry.name.equals(name)) return true;
  }
  return false;
}

bool fs_device_t::is_file(const char* path) {
  fs_stat_t info;
  return stat(path, &info) && info.kind == FS_KIND_FILE;
}

bool fs_device_t::is_dir(const char* path) {
  fs_stat_t info;
  return stat(path, &info) && info.kind == FS_KIND_DIRECTORY;
}

bool fs_device_t::io_is_done(fs_io_request_t* request) { return request && request->is_finished(); }

// Every device's chunk requests come from the IO server, which recycles them.
bool fs_device_t::io_wait(fs_io_request_t* request) {
  fs_io_server_t* server = fs_get_io_server();
  return request && server && server->io_wait(request);
}

bool fs_device_t::mkdir_for_file(const char* path) {
  const char* last_slash = std::strrchr(path, '/');
  if (!last_slash || last_slash == path) return true;
  system_path_string_t directory;
  if (!directory.assign(path, (u64)(last_slash - path))) return false;
  return mkdir(directory.c_str());
}

bool fs_device_t::on_mounted(const char* new_mount_path, u16 new_device_id, u32 new_unified_index) {
  if (!mount_path.assign(new_mount_path)) return false;
  device_id = new_device_id;
  unified_index = new_unified_index;
  return true;
}

bool fs_device_open(auto_ptr_t<file_t>& out, const char* path, u32 mode, u32 device_type) {
  out.reset();
  fs_device_t* device = fs_get_device(device_type);
  if (!device) {
    log_error("[fs] Unable to retrieve device pointer of specified type (%d) for '%s'.", (int)device_type, path);
    return false;
  }
  if (device_type == FS_DEVICE_UFS && path[0] != '/') {
    log_error("[fs] fs_device_open() called with invalid path '%s' (expected absolute path, starting with slash).",
              path);
    return false;
  }
  file_t* file = device->open(path, mode);
  if (!file) {
    // Probing with create_new is how callers ask "does it exist yet"; that is no error.
    if (mode != FS_MODE_CREATE_NEW) log_error("[fs] Failed to open file '%s' in the %s mode.", path, fs_open_mode_name(mode));
    return false;
  }
  file->set_device_type(device_type);
  out.reset(file);
  return true;
}

bool fs_open(auto_ptr_t<file_t>& out, const char* path, u32 mode, u32 device_type) {
  return fs_cache_open(out, path, mode, device_type);
}

bool fs_open_create_truncate_system(auto_ptr_t<file_t>& out, const char* path) {
  return fs_open(out, path, FS_MODE_CREATE_TRUNCATE, FS_DEVICE_SYSFS);
}

}  // namespace umbra
