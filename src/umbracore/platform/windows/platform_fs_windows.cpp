// The synchronous half of the Windows file layer: handles from CreateFileW (always
// overlapped, attached to the pump's completion port), metadata from
// GetFileAttributesExW and GetFileInformationByHandle, directories, copies, renames and
// listings. Only disk files are ever opened as files.
#include <algorithm>
#include <cstring>

#include "umbracore/log/log.h"
#include "umbracore/platform/platform_fs.h"
#include "umbracore/platform/platform_fs_engine.h"
#include "umbracore/platform/windows/platform_faults_windows.h"
#include "umbracore/platform/windows/win32.h"

namespace umbra {

using platform::wide;
using platform::wide_text_t;

namespace {

HANDLE native(platform_file_handle_t handle) { return reinterpret_cast<HANDLE>((intptr_t)handle); }

bool os_path(wide_text_t& out, const char* path) {
  system_path_string_t translated;
  return platform_make_os_path(translated, path) && platform::win32_path(out, translated.c_str());
}

// Directories are directories; everything else that is not a device is a file. (Going
// by the archive and normal attributes alone would drop a read-only file whose archive
// attribute a backup cleared, without a word.)
u32 kind_from_attributes(DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return FS_KIND_DIRECTORY;
  if (attributes & FILE_ATTRIBUTE_DEVICE) return FS_KIND_NONE;
  return FS_KIND_FILE;
}

void fill_stat(DWORD attributes, const FILETIME& written, DWORD size_high, DWORD size_low, fs_stat_t* out) {
  out->kind = kind_from_attributes(attributes);
  out->time = platform::unix_seconds_from_filetime(written);
  out->size = out->kind == FS_KIND_FILE ? ((u64)size_high << 32 | size_low) : 0;
  out->stored_size = out->size;
  out->device_reference = 0;
  out->entry_index = -1;
}

bool stat_open_handle(HANDLE handle, fs_stat_t* out) {
  BY_HANDLE_FILE_INFORMATION info;
  if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &info)) return false;
  fill_stat(info.dwFileAttributes, info.ftLastWriteTime, info.nFileSizeHigh, info.nFileSizeLow, out);
  return true;
}

// A link's own attributes say nothing of what it points to: its target is asked
// through a handle, as the POSIX layer follows links.
bool stat_through_link(const wide_text_t& path, fs_stat_t* out) {
  HANDLE handle = CreateFileW(wide(path), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool ok = stat_open_handle(handle, out);
  CloseHandle(handle);
  return ok;
}

bool is_directory(const wide_text_t& path) {
  DWORD attributes = GetFileAttributesW(wide(path));
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

bool entry_less(const fs_dir_entry_t& a, const fs_dir_entry_t& b) { return compare_bytes(a.name, b.name) < 0; }

// A name as it can be shown in a message: UTF-16 units outside printable ASCII as \uXXXX.
void escape_name(string& out, const wchar_t* name) {
  out.clear();
  for (; *name; ++name) {
    if (*name >= 0x20 && *name < 0x7F) {
      out.append_char((char)*name);
    } else {
      out.append_format("\\u%04X", (unsigned)*name);
    }
  }
}

}  // namespace

void platform_prefetch_buffer(void* buffer, u64 size) {
  using prefetch_t = BOOL(WINAPI*)(HANDLE, ULONG_PTR, PVOID, ULONG);
  // Windows 8 and later; older systems simply fault the pages in as they are written.
  static const prefetch_t prefetch = reinterpret_cast<prefetch_t>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "PrefetchVirtualMemory")));
  if (!prefetch || !buffer || size == 0) return;
  struct {
    PVOID address;
    SIZE_T bytes;
  } range = {buffer, (SIZE_T)size};
  prefetch(GetCurrentProcess(), 1, &range, 0);
}

platform_file_handle_t platform_fs_t::open_handle(const char* path, u32 kind) {
  wide_text_t os;
  if (!os_path(os, path) || windows_call_fails(PLATFORM_CALL_OPEN)) return PLATFORM_INVALID_HANDLE;
  DWORD access = GENERIC_READ | GENERIC_WRITE;
  DWORD creation = 0;
  DWORD flags = FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL;
  switch (kind) {
    case PLATFORM_OPEN_READ_ONLY:
      access = GENERIC_READ;
      creation = OPEN_EXISTING;
      flags |= FILE_FLAG_SEQUENTIAL_SCAN;
      break;
    case PLATFORM_OPEN_CREATE_NEW:
      creation = CREATE_NEW;
      break;
    case PLATFORM_OPEN_CREATE_TRUNCATE:
      // Whatever is there goes first (a link itself, never what it points to); what
      // cannot be deleted makes the creation below fail.
      DeleteFileW(wide(os));
      creation = CREATE_NEW;
      break;
    case PLATFORM_OPEN_CREATE_OR_READ_WRITE:
      creation = OPEN_ALWAYS;
      break;
    default:
      return PLATFORM_INVALID_HANDLE;
  }
  HANDLE handle = CreateFileW(wide(os), access, FILE_SHARE_READ, nullptr, creation, flags, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return PLATFORM_INVALID_HANDLE;
  // CON, NUL, pipes and the like open too: only a disk file is a file here.
  if (GetFileType(handle) != FILE_TYPE_DISK || (engine_ && !engine_->attach((platform_file_handle_t)(intptr_t)handle))) {
    CloseHandle(handle);
    return PLATFORM_INVALID_HANDLE;
  }
  return (platform_file_handle_t)(intptr_t)handle;
}

void platform_fs_t::close_handle(platform_file_handle_t handle) {
  if (handle != PLATFORM_INVALID_HANDLE) CloseHandle(native(handle));
}

bool platform_fs_t::delete_file(const char* path) {
  wide_text_t os;
  return os_path(os, path) && !windows_call_fails(PLATFORM_CALL_DELETE) && DeleteFileW(wide(os));
}

bool platform_fs_t::stat_handle(platform_file_handle_t handle, fs_stat_t* out) {
  fs_stat_t info;
  if (handle == PLATFORM_INVALID_HANDLE || windows_call_fails(PLATFORM_CALL_STAT) ||
      !stat_open_handle(native(handle), &info) || info.kind != FS_KIND_FILE) {
    return false;
  }
  *out = info;
  return true;
}

bool platform_fs_t::stat_path(const char* path, fs_stat_t* out) {
  wide_text_t os;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!os_path(os, path) || windows_call_fails(PLATFORM_CALL_STAT) ||
      !GetFileAttributesExW(wide(os), GetFileExInfoStandard, &data)) {
    return false;
  }
  if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return stat_through_link(os, out);
  fill_stat(data.dwFileAttributes, data.ftLastWriteTime, data.nFileSizeHigh, data.nFileSizeLow, out);
  return true;
}

bool platform_fs_t::create_directory(const char* path, const char* device_path) {
  u64 length = std::strlen(path);
  if (length > 0 && path[length - 1] == ':') return true;  // a drive
  wide_text_t os;
  if (!os_path(os, path) || windows_call_fails(PLATFORM_CALL_MKDIR)) return false;
  if (CreateDirectoryW(wide(os), nullptr)) return true;
  DWORD error = GetLastError();
  // Something already there is only success when it is a directory: a file of that
  // name would make every later open below it fail far from the cause.
  if (error == ERROR_ALREADY_EXISTS) return is_directory(os);
  if (error == ERROR_ACCESS_DENIED) {
    if (is_directory(os)) return true;
    log_error("Create folder failed. Access denied. (%s)", device_path);
  }
  return false;
}

bool platform_fs_t::remove_directory(const char* path) {
  wide_text_t os;
  return os_path(os, path) && !windows_call_fails(PLATFORM_CALL_DELETE) && RemoveDirectoryW(wide(os));
}

// What CopyFileW keeps besides the bytes: the times (the attributes of a file this layer
// makes are always normal ones).
void platform_copy_file_details(platform_file_handle_t source, platform_file_handle_t target) {
  FILETIME created;
  FILETIME accessed;
  FILETIME written;
  if (GetFileTime(native(source), &created, &accessed, &written)) {
    SetFileTime(native(target), &created, &accessed, &written);
  }
}

bool platform_fs_t::move_file(const char* from, const char* to, bool overwrite) {
  wide_text_t os_from;
  wide_text_t os_to;
  if (!os_path(os_from, from) || !os_path(os_to, to) || windows_call_fails(PLATFORM_CALL_RENAME)) return false;
  // Within one volume the rename is atomic: the target is the old file or the new one.
  return MoveFileExW(wide(os_from), wide(os_to), overwrite ? MOVEFILE_REPLACE_EXISTING : 0);
}

auto_ptr_t<fs_dir_list_t> platform_fs_t::read_dir(const char* path) {
  auto_ptr_t<fs_dir_list_t> none;
  system_path_string_t pattern;
  bool ends_with_separator = *path && (path[std::strlen(path) - 1] == '/' || path[std::strlen(path) - 1] == '\\');
  if (!pattern.assign(path) || !pattern.append(ends_with_separator ? "*" : "/*")) return none;
  wide_text_t os;
  if (!os_path(os, pattern.c_str()) || windows_call_fails(PLATFORM_CALL_LIST)) return none;
  WIN32_FIND_DATAW entry;
  HANDLE search = FindFirstFileW(wide(os), &entry);
  auto_ptr_t<fs_dir_list_t> listing(new fs_dir_list_t());
  if (search == INVALID_HANDLE_VALUE) {
    // The root of an empty drive has no entries at all, not even "." and "..".
    wide_text_t directory;
    if (GetLastError() == ERROR_FILE_NOT_FOUND && os_path(directory, path) && is_directory(directory)) return listing;
    return none;
  }
  bool ok = true;
  do {
    if (entry.cFileName[0] == L'.' || entry.cFileName[0] == L'@') continue;
    u32 kind = kind_from_attributes(entry.dwFileAttributes);
    if (kind == FS_KIND_NONE) continue;
    mstring_t converted;
    if (!utf16_to_utf8(converted, reinterpret_cast<const u16*>(entry.cFileName))) {
      // Dropping it would lose the file without a word; the listing fails instead.
      mstring_t shown;
      escape_name(shown, entry.cFileName);
      log_error("[fs] Directory '%s' holds a name that is not valid UTF-16 ('%s'); it cannot be listed.", path,
                shown.c_str());
      ok = false;
      break;
    }
    if (!listing->add(converted.c_str(), kind)) {
      ok = false;
      break;
    }
  } while (FindNextFileW(search, &entry));
  if (ok && GetLastError() != ERROR_NO_MORE_FILES) ok = false;
  FindClose(search);
  if (!ok) return none;
  // The same tree must list the same way on every run and on every platform.
  std::sort(listing->entries.begin(), listing->entries.end(), entry_less);
  return listing;
}

bool platform_fs_t::set_size(platform_file_handle_t handle, u64 size) {
  if (handle == PLATFORM_INVALID_HANDLE || size > (u64)INT64_MAX) return false;
  LARGE_INTEGER position;
  position.QuadPart = (LONGLONG)size;
  return SetFilePointerEx(native(handle), position, nullptr, FILE_BEGIN) && SetEndOfFile(native(handle));
}

}  // namespace umbra
