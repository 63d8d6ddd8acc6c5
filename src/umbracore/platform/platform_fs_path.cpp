// The process-wide prefix in front of every path the file layer hands to the system,
// and the checks every such path passes on either platform.
#include "umbracore/log/log.h"
#include "umbracore/platform/platform_fs.h"

namespace umbra {

namespace {

system_path_string_t g_path_prefix;

}  // namespace

bool platform_make_os_path(system_path_string_t& out, const char* path) {
  out.clear();
  if (!out.assign(g_path_prefix) || !out.append(path)) return false;
  if (!is_valid_utf8(out.c_str())) {
    log_error("Encountered invalid code point.");
    return false;
  }
  return true;
}

bool platform_fs_t::set_path_prefix(const char* prefix) {
  system_path_string_t candidate;
  if (!candidate.assign(prefix)) return false;
  g_path_prefix.assign(candidate);
  return true;
}

}  // namespace umbra
