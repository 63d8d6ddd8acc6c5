#include "umbracore/strings/path.h"

namespace umbra {

u64 path_last_component_offset(const char* path, u64 length) {
  for (u64 i = length; i > 0; --i)
    if (path_is_separator(path[i - 1])) return i;
  return 0;
}

const char* path_extension(const char* path, u64 length) {
  const u64 start = path_last_component_offset(path, length);
  for (u64 i = length; i > start; --i)
    if (path[i - 1] == '.') return path + i - 1;
  return path + length;
}

bool path_join(string& out, const char* directory, const char* name) {
  bool ok = out.assign(directory);
  if (!path_ends_with_separator(directory)) ok = ok && out.append_char('/');
  ok = ok && out.append(name);
  if (!ok) out.clear();
  return ok;
}

}  // namespace umbra
