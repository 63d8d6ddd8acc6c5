#include "umbracore/ufs/sysfs_device.h"

#include "umbracore/ufs/fs_io_server_core.h"

#include <cstring>

#include "umbracore/platform/platform_fs.h"
#include "umbracore/platform/platform_path.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/sysfs_atomic_file.h"
#include "umbracore/ufs/sysfs_file.h"

namespace umbra {

namespace {

// The system's own paths (a root or an archive named on the command line) may separate
// with '\' where the system does.
bool is_system_separator(char c) { return c == '/' || (c == '\\' && platform::backslash_separates_paths()); }

}  // namespace

bool sysfs_translate_path(system_path_string_t& out, const char* root, const char* path) {
  bool root_empty = root[0] == '\0';
  bool root_is_slash = std::strcmp(root, "/") == 0;
  out.clear();
  if (path[0] != '/') {
    if (path[0] == '\0') return out.assign(root);
    if (root_empty) return out.assign(path);
    if (root_is_slash) return out.assign("/") && out.append(path);
    return out.assign(root) && out.append("/") && out.append(path);
  }
  if (path[1] == '\0') return out.assign(root_empty ? "/" : root);
  if (root_is_slash) return out.assign(path);
  return out.assign(root) && out.append(path);
}

sysfs_device_t::sysfs_device_t(platform_fs_t* platform, const char* root)
    : fs_device_t(FS_DEVICE_KIND_SYSTEM), platform_(platform) {
  if (!name.assign(root)) {
    available = false;
    return;
  }
  if (root[0] != '\0') {
    fs_stat_t info;
    available = platform_->stat_path(root, &info) && info.kind == FS_KIND_DIRECTORY;
  }
}

bool sysfs_device_t::translate(system_path_string_t& out, const char* path) const {
  return sysfs_translate_path(out, name.c_str(), path);
}

file_t* sysfs_device_t::open(const char* path, u32 mode) {
  if (mode == FS_MODE_ATOMIC) return open_atomic(path);
  if (mode > FS_MODE_ATOMIC) return nullptr;
  // A path that cannot be translated whole must not leave its directories behind.
  system_path_string_t platform_path;
  if (!translate(platform_path, path)) return nullptr;
  if (mode != FS_MODE_READ_ONLY && !mkdir_for_file(path)) return nullptr;
  platform_file_handle_t handle = platform_->open_handle(platform_path.c_str(), mode);
  if (handle == PLATFORM_INVALID_HANDLE) return nullptr;
  return new sysfs_file_t(this, handle, path);
}

file_t* sysfs_device_t::open_atomic(const char* path) {
  // A temporary name cut to fit could be some other file's name: refuse instead.
  system_path_string_t temporary_path;
  if (!temporary_path.assign(path) || !temporary_path.append(SYSFS_ATOMIC_SUFFIX)) return nullptr;
  system_path_string_t final_path;
  if (!final_path.assign(path)) return nullptr;
  system_path_string_t platform_path;
  if (!translate(platform_path, temporary_path.c_str())) return nullptr;
  if (!mkdir_for_file(temporary_path.c_str())) return nullptr;
  platform_file_handle_t handle = platform_->open_handle(platform_path.c_str(), PLATFORM_OPEN_CREATE_TRUNCATE);
  if (handle == PLATFORM_INVALID_HANDLE) return nullptr;
  sysfs_file_t* buffer_file = new sysfs_file_t(this, handle, temporary_path.c_str());
  return new sysfs_atomic_file_t(this, path, buffer_file);
}

bool sysfs_device_t::remove(const char* path) {
  system_path_string_t platform_path;
  return translate(platform_path, path) && platform_->delete_file(platform_path.c_str());
}

bool sysfs_device_t::stat(const char* path, fs_stat_t* out) {
  system_path_string_t platform_path;
  fs_stat_t ignored;
  return translate(platform_path, path) && platform_->stat_path(platform_path.c_str(), out ? out : &ignored);
}

bool sysfs_device_t::mstat(const char* path, fs_mstat_t* out) {
  if (!out) return false;
  file_t* opened = open(path, FS_MODE_READ_ONLY);
  if (!opened) return false;
  auto_ptr_t<file_t> file(opened);
  file->set_device_type(FS_DEVICE_SYSFS);
  return fs_meta_build(out, *file, 0, 0);
}

bool sysfs_device_t::create_directory(const char* path) {
  system_path_string_t platform_path;
  return translate(platform_path, path) && platform_->create_directory(platform_path.c_str(), path);
}

bool sysfs_device_t::mkdir(const char* path) {
  if (path[0] == '\0') return true;
  // Parents of a path that cannot be made whole are not made either.
  system_path_string_t whole;
  if (!translate(whole, path)) return false;
  // Extraction opens every file for writing below directories it made already; one
  // look saves a failed creation per level for each of them.
  fs_stat_t existing;
  if (stat(path, &existing) && existing.kind == FS_KIND_DIRECTORY) return true;
  system_path_string_t level;
  for (const char* p = path + 1; *p; ++p) {
    // Parents that already exist (or cannot be made) show up in the last result.
    if (is_system_separator(*p) && level.assign(path, (u64)(p - path))) create_directory(level.c_str());
  }
  return create_directory(path);
}

bool sysfs_device_t::mkdir_for_file(const char* path) {
  const char* last_separator = nullptr;
  for (const char* p = path; *p; ++p) {
    if (is_system_separator(*p)) last_separator = p;
  }
  if (!last_separator || last_separator == path) return true;
  system_path_string_t directory;
  if (!directory.assign(path, (u64)(last_separator - path))) return false;
  return mkdir(directory.c_str());
}

bool sysfs_device_t::rmdir(const char* path) {
  system_path_string_t platform_path;
  return translate(platform_path, path) && platform_->remove_directory(platform_path.c_str());
}

bool sysfs_device_t::copy(const char* from, const char* to, bool overwrite) {
  system_path_string_t platform_from;
  system_path_string_t platform_to;
  if (!translate(platform_from, from) || !translate(platform_to, to)) return false;
  return mkdir_for_file(to) && platform_->copy_file(platform_from.c_str(), platform_to.c_str(), overwrite);
}

bool sysfs_device_t::move(const char* from, const char* to, bool overwrite) {
  system_path_string_t platform_from;
  system_path_string_t platform_to;
  return translate(platform_from, from) && translate(platform_to, to) &&
         platform_->move_file(platform_from.c_str(), platform_to.c_str(), overwrite);
}

auto_ptr_t<fs_dir_list_t> sysfs_device_t::read_dir(const char* path) {
  system_path_string_t platform_path;
  if (!translate(platform_path, path)) return auto_ptr_t<fs_dir_list_t>();
  return platform_->read_dir(platform_path.c_str());
}

fs_io_request_t* sysfs_device_t::chunk_read(void* target, u32 target_kind, const char* path, const fs_chunk_t& chunk,
                                            fs_io_callback_t callback) {
  fs_io_server_t* server = fs_get_io_server();
  system_path_string_t platform_path;
  fs_io_location_t location;
  if (!server || !translate(platform_path, path) || !stat(path, nullptr) || !location.set(platform_path.c_str()))
    return nullptr;
  return server->chunk_read(target, target_kind, FS_IO_HANDLE_NONE, location, chunk, FS_IO_PRIORITY_NORMAL,
                            callback, this);
}

}  // namespace umbra
