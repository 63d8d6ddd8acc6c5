// Path entries: one per path to pack, checked on disk, marked hidden or not, and put in
// the order in which their data blocks are written.
#pragma once

#include "tools/packer/source_lists.h"
#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"

namespace umbra {

struct path_entry_v2_t {
  path_string_t path;     // relative to the source root, "" for the root
  u64 entry_index = 0;    // position of the path's record in the hash-sorted entry table
  u64 size = 0;           // source size when the path was stat'ed
  u8 is_directory = 0;
  u8 hidden = 0;
};

using path_entries_t = array_dyn_t<path_entry_v2_t>;

// Stats every path of the file list; false after "*** Failed to stat %s!".
bool build_path_entries(path_entries_t& entries, const source_lists_t& lists, const char* root);
// Files before directories, then by extension (its first 32 bytes), then by path.
void sort_path_entries(path_entries_t& entries);
bool path_entry_less(const path_entry_v2_t& a, const path_entry_v2_t& b);

}  // namespace umbra
