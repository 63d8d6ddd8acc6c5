// Path facts the packer needs from the operating system beyond the file device: where
// a path really lies (to keep an archive from packing itself), which directory a path
// names (to notice a directory reached again through a link), and a hint that a file
// will soon be read.
#pragma once

#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {
namespace platform {

// The absolute path with every link and "." / ".." of its directory part resolved; the
// last component is kept as given, so the path itself need not exist yet.
bool canonical_path(const char* path, string& out);

struct file_identity_t {
  u64 device = 0;
  u64 inode = 0;
  bool operator==(const file_identity_t& other) const { return device == other.device && inode == other.inode; }
};

// The identity of what the path names after following links.
bool file_identity(const char* path, file_identity_t* out);

// Whether '\' separates the components of the system's paths as '/' does (Windows); where
// it does not, it is a character of names.
bool backslash_separates_paths();

// Asks the system to start reading a regular file into its cache and returns without
// waiting for the data; false when the file cannot be opened (the later read reports it).
bool prefetch_file(const char* path);

}  // namespace platform
}  // namespace umbra
