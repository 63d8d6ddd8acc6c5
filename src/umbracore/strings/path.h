// Separators, components and joins of the tool's paths. The tool writes '/' between
// components; a path that comes from an archive or from Windows may use '\' as well,
// and every test here counts both as separators.
#pragma once

#include <cstring>

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

inline bool path_is_separator(char c) { return c == '/' || c == '\\'; }

// Whether the last of the first length bytes is a separator; false for an empty path.
inline bool path_ends_with_separator(const char* path, u64 length) {
  return length > 0 && path_is_separator(path[length - 1]);
}
inline bool path_ends_with_separator(const char* path) { return path_ends_with_separator(path, std::strlen(path)); }

// Where the last component of the first length bytes begins: just after the last
// separator, or 0 when there is none.
u64 path_last_component_offset(const char* path, u64 length);
inline const char* path_last_component(const char* path) {
  return path + path_last_component_offset(path, std::strlen(path));
}

// The extension of the last component, from its last '.' on; path + length (an empty
// extension) when that component has no '.'.
const char* path_extension(const char* path, u64 length);

// out = directory, then one '/' unless directory already ends with a separator, then
// name; an empty directory gives "/name". False, with out emptied, when out cannot
// hold the whole path.
bool path_join(string& out, const char* directory, const char* name);

}  // namespace umbra
