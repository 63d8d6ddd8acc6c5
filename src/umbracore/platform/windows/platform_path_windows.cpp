// Where a path really lies, from the handle of its directory (GetFinalPathNameByHandleW
// resolves links and junctions), which file a path names (volume serial number and
// file index), and the read-ahead hint, which Windows only takes from reads.
#include <cstring>
#include <cwchar>

#include "umbracore/platform/platform_path.h"
#include "umbracore/platform/windows/win32.h"
#include "umbracore/strings/path.h"

namespace umbra {
namespace platform {

namespace {

// Opens what the path names, a directory as well as a file, for its metadata only.
HANDLE open_for_metadata(const char* path) {
  wide_text_t os;
  if (!win32_path(os, path)) return INVALID_HANDLE_VALUE;
  return CreateFileW(wide(os), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The final path of an open handle as "C:/dir" or "//server/share/dir".
bool final_path(HANDLE handle, string& out) {
  DWORD needed = GetFinalPathNameByHandleW(handle, nullptr, 0, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  wide_text_t buffer;
  if (needed == 0 || !buffer.resize((u64)needed + 1)) return false;
  DWORD length = GetFinalPathNameByHandleW(handle, wide(buffer), needed + 1, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  if (length == 0 || length > needed) return false;
  const wchar_t* text = wide(buffer);
  const char* lead = "";
  if (std::wcsncmp(text, L"\\\\?\\UNC\\", 8) == 0) {
    text += 8;
    lead = "//";
  } else if (std::wcsncmp(text, L"\\\\?\\", 4) == 0) {
    text += 4;
  }
  array_dyn_t<char> utf8;
  if (!utf8_from_wide(utf8, text)) return false;
  for (char& c : utf8) {
    if (c == '\\') c = '/';
  }
  return out.assign(lead) && out.append(utf8.data());
}

}  // namespace

bool canonical_path(const char* path, string& out) {
  if (!path || !*path) return false;
  u64 length = std::strlen(path);
  u64 last = path_last_component_offset(path, length);
  mstring_t directory;
  if (last == 0) {
    directory.assign(".");
  } else {
    directory.assign(path, last);
    // "C:" alone would be the current directory of drive C.
    if (directory.ends_with(":")) directory.append("\\");
  }
  HANDLE handle = open_for_metadata(directory.c_str());
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool ok = final_path(handle, out);
  CloseHandle(handle);
  if (!ok) return false;
  if (path[last] == 0) return true;
  if (!out.ends_with("/") && !out.append("/")) return false;
  return out.append(path + last);
}

bool file_identity(const char* path, file_identity_t* out) {
  HANDLE handle = open_for_metadata(path);
  if (handle == INVALID_HANDLE_VALUE) return false;
  BY_HANDLE_FILE_INFORMATION info;
  bool ok = GetFileInformationByHandle(handle, &info) != FALSE;
  CloseHandle(handle);
  if (!ok) return false;
  out->device = info.dwVolumeSerialNumber;
  out->inode = ((u64)info.nFileIndexHigh << 32) | info.nFileIndexLow;
  return true;
}

bool backslash_separates_paths() { return true; }

bool prefetch_file(const char* path) {
  wide_text_t os;
  if (!win32_path(os, path)) return false;
  DWORD attributes = GetFileAttributesW(wide(os));
  return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE));
}

}  // namespace platform
}  // namespace umbra
