// The synchronous half of the platform file layer: opening handles, metadata,
// directories, copies and renames, each one system call (or a few) on the caller's
// thread. Only regular files are ever opened as files.
#include "umbracore/platform/platform_fs.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "umbracore/log/log.h"
#include "umbracore/platform/platform_fs_engine.h"
#include "umbracore/platform/posix/platform_faults_posix.h"

namespace umbra {

namespace {

int open_retrying(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Without O_NONBLOCK, opening a fifo would wait for a writer; the descriptor is made
// blocking again once it is known to be a regular file.
int open_regular_file(const char* path, int flags, mode_t mode) {
  int fd = open_retrying(path, flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, mode);
  if (fd < 0) return -1;
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    ::close(fd);
    return -1;
  }
  int status = ::fcntl(fd, F_GETFL);
  if (status == -1 || ::fcntl(fd, F_SETFL, status & ~O_NONBLOCK) == -1) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A file that O_EXCL has just created is a new regular file: no fifo can block the
// open and nothing needs a second look.
int create_exclusive(const char* path) { return open_retrying(path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666); }

// Something that is there but is no regular file (a directory, fifo, device, socket).
bool exists_as_non_regular(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && !S_ISREG(info.st_mode);
}

// Makes room for a new file: a regular file or a link is deleted (the link itself, never
// what it points to); anything else in the way fails.
bool delete_for_recreate(const char* path) {
  struct stat info;
  if (::lstat(path, &info) != 0) return errno == ENOENT;
  if (!S_ISREG(info.st_mode) && !S_ISLNK(info.st_mode)) return false;
  return ::unlink(path) == 0 || errno == ENOENT;
}

bool is_directory(const char* path) {
  struct stat info;
  return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

void fill_stat(const struct stat& info, fs_stat_t* out) {
  out->kind = S_ISDIR(info.st_mode) ? FS_KIND_DIRECTORY : S_ISREG(info.st_mode) ? FS_KIND_FILE : FS_KIND_NONE;
  out->time = info.st_mtime > 0 ? (u64)info.st_mtime : 0;
  out->size = S_ISREG(info.st_mode) ? (u64)info.st_size : 0;
  out->stored_size = out->size;
  out->device_reference = 0;
  out->entry_index = -1;
}

// A name as it can be shown in a message: bytes outside printable ASCII as \xNN.
void escape_name(string& out, const char* name) {
  out.clear();
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(name); *p; ++p) {
    if (*p >= 0x20 && *p < 0x7F) {
      out.append_char((char)*p);
    } else {
      out.append_format("\\x%02X", *p);
    }
  }
}

u32 entry_kind(int directory_fd, const dirent* entry) {
  if (entry->d_type == DT_DIR) return FS_KIND_DIRECTORY;
  if (entry->d_type == DT_REG) return FS_KIND_FILE;
  if (entry->d_type != DT_UNKNOWN && entry->d_type != DT_LNK) return FS_KIND_NONE;
  // Links count as what they point to, as on the platform the tool came from.
  struct stat info;
  if (::fstatat(directory_fd, entry->d_name, &info, 0) != 0) return FS_KIND_NONE;
  return S_ISDIR(info.st_mode) ? FS_KIND_DIRECTORY : S_ISREG(info.st_mode) ? FS_KIND_FILE : FS_KIND_NONE;
}

bool entry_less(const fs_dir_entry_t& a, const fs_dir_entry_t& b) { return compare_bytes(a.name, b.name) < 0; }

}  // namespace

void platform_prefetch_buffer(void* buffer, u64 size) {
#ifndef MADV_POPULATE_WRITE
  constexpr int MADV_POPULATE_WRITE = 23;  // Linux 5.14
#endif
  constexpr u64 large_page = 2ull << 20;
  static const u64 page = (u64)::sysconf(_SC_PAGESIZE);
  u64 begin = ((u64)(uintptr_t)buffer + page - 1) & ~(page - 1);
  u64 end = ((u64)(uintptr_t)buffer + size) & ~(page - 1);
  if (!buffer || end <= begin) return;
  void* first = reinterpret_cast<void*>((uintptr_t)begin);
  if (end - begin >= 2 * large_page) ::madvise(first, end - begin, MADV_HUGEPAGE);
  ::madvise(first, end - begin, MADV_POPULATE_WRITE);
}

platform_file_handle_t platform_fs_t::open_handle(const char* path, u32 kind) {
  system_path_string_t os_path;
  if (!platform_make_os_path(os_path, path) || posix_call_fails(PLATFORM_CALL_OPEN)) return PLATFORM_INVALID_HANDLE;
  const char* p = os_path.c_str();
  int fd = -1;
  switch (kind) {
    case PLATFORM_OPEN_READ_ONLY:
      if (exists_as_non_regular(p)) return PLATFORM_INVALID_HANDLE;
      fd = open_regular_file(p, O_RDONLY, 0);
      if (fd >= 0) ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
      break;
    case PLATFORM_OPEN_CREATE_NEW:
      fd = create_exclusive(p);
      break;
    case PLATFORM_OPEN_CREATE_TRUNCATE:
      // Most targets do not exist yet: only what is in the way is looked at and deleted.
      fd = create_exclusive(p);
      if (fd < 0 && errno == EEXIST) {
        if (!delete_for_recreate(p)) return PLATFORM_INVALID_HANDLE;
        fd = create_exclusive(p);
      }
      break;
    case PLATFORM_OPEN_CREATE_OR_READ_WRITE:
      if (exists_as_non_regular(p)) return PLATFORM_INVALID_HANDLE;
      fd = open_regular_file(p, O_RDWR | O_CREAT, 0666);
      break;
    default:
      return PLATFORM_INVALID_HANDLE;
  }
  return fd < 0 ? PLATFORM_INVALID_HANDLE : (platform_file_handle_t)fd;
}

void platform_fs_t::close_handle(platform_file_handle_t handle) {
  if (handle != PLATFORM_INVALID_HANDLE) ::close((int)handle);
}

bool platform_fs_t::delete_file(const char* path) {
  system_path_string_t os_path;
  return platform_make_os_path(os_path, path) && !posix_call_fails(PLATFORM_CALL_DELETE) &&
         ::unlink(os_path.c_str()) == 0;
}

bool platform_fs_t::stat_handle(platform_file_handle_t handle, fs_stat_t* out) {
  struct stat info;
  if (handle == PLATFORM_INVALID_HANDLE || posix_call_fails(PLATFORM_CALL_STAT) || ::fstat((int)handle, &info) != 0 ||
      !S_ISREG(info.st_mode))
    return false;
  fill_stat(info, out);
  return true;
}

bool platform_fs_t::stat_path(const char* path, fs_stat_t* out) {
  system_path_string_t os_path;
  struct stat info;
  if (!platform_make_os_path(os_path, path) || posix_call_fails(PLATFORM_CALL_STAT) ||
      ::stat(os_path.c_str(), &info) != 0)
    return false;
  fill_stat(info, out);
  return true;
}

bool platform_fs_t::create_directory(const char* path, const char* device_path) {
  system_path_string_t os_path;
  if (!platform_make_os_path(os_path, path) || posix_call_fails(PLATFORM_CALL_MKDIR)) return false;
  if (::mkdir(os_path.c_str(), 0777) == 0) return true;
  int error = errno;
  // Something already there is only success when it is a directory: a file of that
  // name would make every later open below it fail far from the cause.
  if (error == EEXIST) return is_directory(os_path.c_str());
  if (error == EACCES || error == EPERM || error == EROFS) {
    if (is_directory(os_path.c_str())) return true;
    if (error != EROFS) log_error("Create folder failed. Access denied. (%s)", device_path);
  }
  return false;
}

bool platform_fs_t::remove_directory(const char* path) {
  system_path_string_t os_path;
  return platform_make_os_path(os_path, path) && !posix_call_fails(PLATFORM_CALL_DELETE) &&
         ::rmdir(os_path.c_str()) == 0;
}

void platform_copy_file_details(platform_file_handle_t source, platform_file_handle_t target) {
  struct stat source_info;
  if (::fstat((int)source, &source_info) != 0) return;
  ::fchmod((int)target, source_info.st_mode & 0777);
  timespec times[2] = {source_info.st_atim, source_info.st_mtim};
  ::futimens((int)target, times);
}

bool platform_fs_t::move_file(const char* from, const char* to, bool overwrite) {
  system_path_string_t os_from;
  system_path_string_t os_to;
  if (!platform_make_os_path(os_from, from) || !platform_make_os_path(os_to, to) ||
      posix_call_fails(PLATFORM_CALL_RENAME))
    return false;
  if (overwrite) return ::rename(os_from.c_str(), os_to.c_str()) == 0;
  if (::renameat2(AT_FDCWD, os_from.c_str(), AT_FDCWD, os_to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // File systems without RENAME_NOREPLACE.
  struct stat info;
  if (::lstat(os_to.c_str(), &info) == 0) return false;
  return ::rename(os_from.c_str(), os_to.c_str()) == 0;
}

auto_ptr_t<fs_dir_list_t> platform_fs_t::read_dir(const char* path) {
  auto_ptr_t<fs_dir_list_t> none;
  system_path_string_t os_path;
  if (!platform_make_os_path(os_path, path) || posix_call_fails(PLATFORM_CALL_LIST)) return none;
  DIR* directory = ::opendir(os_path.c_str());
  if (!directory) return none;
  auto_ptr_t<fs_dir_list_t> listing(new fs_dir_list_t());
  bool ok = true;
  for (;;) {
    errno = 0;
    dirent* entry = ::readdir(directory);
    if (!entry) {
      ok = errno == 0;
      break;
    }
    const char* entry_name = entry->d_name;
    if (entry_name[0] == '.' || entry_name[0] == '@') {
      if (std::strcmp(entry_name, ".") != 0 && std::strcmp(entry_name, "..") != 0) ++listing->skipped;
      continue;
    }
    u32 kind = entry_kind(::dirfd(directory), entry);
    if (kind == FS_KIND_NONE) continue;
    if (!is_valid_utf8(entry_name)) {
      // Dropping it would lose the file without a word; the listing fails instead.
      mstring_t shown;
      escape_name(shown, entry_name);
      log_error("[fs] Directory '%s' holds a name that is not valid UTF-8 ('%s'); it cannot be listed.", path,
                shown.c_str());
      ok = false;
      break;
    }
    if (!listing->add(entry_name, kind)) {
      ok = false;
      break;
    }
  }
  ::closedir(directory);
  if (!ok) return none;
  // The same tree must list the same way on every run.
  std::sort(listing->entries.begin(), listing->entries.end(), entry_less);
  return listing;
}

bool platform_fs_t::set_size(platform_file_handle_t handle, u64 size) {
  if (handle == PLATFORM_INVALID_HANDLE || size > (u64)INT64_MAX) return false;
  int rc;
  do {
    rc = ::ftruncate((int)handle, (off_t)size);
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

}  // namespace umbra
