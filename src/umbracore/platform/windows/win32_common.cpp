#include <cwchar>

#include "umbracore/platform/windows/win32.h"
#include "umbracore/strings/string.h"

namespace umbra {
namespace platform {

namespace {

bool starts_with(const wchar_t* text, const wchar_t* prefix) {
  return std::wcsncmp(text, prefix, std::wcslen(prefix)) == 0;
}

bool append_wide(wide_text_t& out, const wchar_t* text) {
  for (; *text; ++text) {
    if (!out.append((u16)*text)) return false;
  }
  return true;
}

bool is_drive_letter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

}  // namespace

bool wide_from_utf8(wide_text_t& out, const char* text) { return utf8_to_utf16(out, text); }

bool utf8_from_wide(array_dyn_t<char>& out, const wchar_t* text) {
  out.clear();
  int needed = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (needed <= 0 || !out.resize((u64)needed)) return false;
  return WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), needed, nullptr, nullptr) == needed;
}

bool win32_path(wide_text_t& out, const char* utf8_path) {
  out.clear();
  wide_text_t given;
  if (!wide_from_utf8(given, utf8_path)) return false;
  for (u16& unit : given) {
    if (unit == u'/') unit = u'\\';
  }
  const wchar_t* path = wide(given);
  // Verbatim and device paths are taken as they stand; an empty path fails in the call.
  if (*path == 0 || starts_with(path, L"\\\\?\\") || starts_with(path, L"\\\\.\\")) {
    out = static_cast<wide_text_t&&>(given);
    return true;
  }
  DWORD needed = GetFullPathNameW(path, 0, nullptr, nullptr);
  wide_text_t full;
  if (needed == 0 || !full.resize((u64)needed + 1)) return false;
  DWORD length = GetFullPathNameW(path, needed + 1, wide(full), nullptr);
  if (length == 0 || length > needed) return false;
  const wchar_t* resolved = wide(full);
  bool unc = resolved[0] == L'\\' && resolved[1] == L'\\' && resolved[2] != L'.' && resolved[2] != L'?';
  bool drive = is_drive_letter(resolved[0]) && resolved[1] == L':' && resolved[2] == L'\\';
  bool ok = true;
  if (unc) {
    ok = append_wide(out, L"\\\\?\\UNC\\") && append_wide(out, resolved + 2);
  } else if (drive) {
    ok = append_wide(out, L"\\\\?\\") && append_wide(out, resolved);
  } else {
    ok = append_wide(out, resolved);  // a device such as \\.\CON
  }
  return ok && out.append(0) != nullptr;
}

u64 unix_seconds_from_filetime(const FILETIME& time) {
  u64 ticks = ((u64)time.dwHighDateTime << 32) | time.dwLowDateTime;
  if (ticks == 0) return 0;
  constexpr u64 seconds_1601_to_1970 = 11644473600ull;
  u64 seconds = ticks / 10000000ull;
  return seconds > seconds_1601_to_1970 ? seconds - seconds_1601_to_1970 : 0;
}

}  // namespace platform
}  // namespace umbra
