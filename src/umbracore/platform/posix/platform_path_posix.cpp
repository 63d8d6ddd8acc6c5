#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "umbracore/platform/platform_path.h"

namespace umbra {
namespace platform {

bool canonical_path(const char* path, string& out) {
  if (!path || !*path) return false;
  const char* slash = std::strrchr(path, '/');
  mstring_t directory;
  const char* last = path;
  if (slash) {
    directory.assign(path, (u64)(slash - path));
    if (directory.empty()) directory.assign("/");
    last = slash + 1;
  } else {
    directory.assign(".");
  }
  char resolved[PATH_MAX];
  if (!realpath(directory.c_str(), resolved)) return false;
  if (!out.assign(resolved)) return false;
  if (*last == 0) return true;
  if (!out.ends_with("/") && !out.append("/")) return false;
  return out.append(last);
}

bool file_identity(const char* path, file_identity_t* out) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  out->device = (u64)st.st_dev;
  out->inode = (u64)st.st_ino;
  return true;
}

bool backslash_separates_paths() { return false; }

bool prefetch_file(const char* path) {
  // Opening a device can have effects of its own: only regular files are touched, and
  // without blocking should one be swapped for a fifo in between.
  struct stat info;
  if (::stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) return false;
  bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
  if (regular) ::posix_fadvise(fd, 0, 0, POSIX_FADV_WILLNEED);
  ::close(fd);
  return regular;
}

}  // namespace platform
}  // namespace umbra
