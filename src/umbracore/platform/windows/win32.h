// What every file of the Windows layer shares: <windows.h> with the lean settings, and
// the conversion of the layer's UTF-8 paths into the UTF-16 paths the wide calls take.
// Only files below platform/windows include this.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"

namespace umbra {
namespace platform {

// A zero-terminated UTF-16 text for the wide calls.
using wide_text_t = array_dyn_t<u16>;

inline const wchar_t* wide(const wide_text_t& text) { return reinterpret_cast<const wchar_t*>(text.data()); }
inline wchar_t* wide(wide_text_t& text) { return reinterpret_cast<wchar_t*>(text.data()); }

// UTF-8 to UTF-16 (false on invalid UTF-8 or when memory runs out).
bool wide_from_utf8(wide_text_t& out, const char* text);
// UTF-16 to UTF-8; unpaired surrogates become U+FFFD. False when memory runs out.
bool utf8_from_wide(array_dyn_t<char>& out, const wchar_t* text);

// The path as the file calls take it: '/' becomes '\', and the full path is made
// verbatim ("\\?\C:\...", "\\?\UNC\server\share\...") so that it may be longer than
// MAX_PATH. GetFullPathNameW resolves it first the way the system would resolve the
// plain path (relative to the current directory, "." and ".." folded, trailing dots
// and spaces dropped), so only the length limit goes; device names ("CON", "\\.\...")
// keep their meaning and are refused later as no disk file.
bool win32_path(wide_text_t& out, const char* utf8_path);

// Seconds since 1970 from a FILETIME (100 ns since 1601); 0 stays 0.
u64 unix_seconds_from_filetime(const FILETIME& time);

}  // namespace platform
}  // namespace umbra
