// Finding the archive a command names and telling its version from its first bytes,
// with the lines every command that reads an archive prints alike.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

// Opens the archive (the path as given, not joined with the root) for reading and
// reads its magic and version: true with a version of 1 or 2. Otherwise false after
// "'%s' not found", the opening's own line, "Unsupported file format!" or "Unsupported
// version of cairn format!" (nothing when the first bytes cannot be read).
bool open_archive(const char* archive_path, auto_ptr_t<file_t>& archive, u16* version);

}  // namespace umbra
