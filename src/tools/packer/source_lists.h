// Which paths go into an archive: the list files named on the command line, or a
// recursive scan of the source root.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"

namespace umbra {

using path_list_t = array_dyn_t<path_string_t>;

struct source_lists_t {
  path_list_t files;     // relative paths, '/'-separated, no leading '/'; "" is the root
  path_list_t hidden;    // packed but left out of their directory's listing
  path_list_t compress;  // packed; compression is decided by file type alone
  // Names the scan left out: those beginning with '.' or '@', and ".dds" files.
  u64 skipped_names = 0;
  // Relative paths below the root that must never be packed (the archive being written
  // and its temporary); empty when the archive lies outside the root.
  path_list_t excluded;
};

// Reads "-list", "-hide-list" and "-compress-list", scans the root when no list named a
// file, then sorts the file list and removes duplicates. False after an error line.
bool read_lists(source_lists_t& lists, const char* root);

// Reads one list option into list (empty when the option is absent).
bool read_list_option(const char* option, path_list_t& list);
// Splits list-file content into paths: lines end only at CR LF, bytes after the last
// CR LF are ignored, one leading '/' is dropped, empty and ".dds" lines are skipped.
// False after an error line for a line that is too long to be stored.
bool parse_list_lines(const char* text, u64 size, const char* list_path, path_list_t& list);
// Scans the directory d (relative to root; "" is the root) and everything below it.
bool scan_directory(source_lists_t& lists, const char* root, const char* d);

// Byte-wise order of paths (unsigned bytes; a prefix first).
bool path_less(const path_string_t& a, const path_string_t& b);
void sort_and_unique(path_list_t& list);
bool sorted_list_contains(const path_list_t& list, const char* path);

// Joins a relative path with the root ("%s/%s"; the path alone when the root is empty,
// the root alone for the empty path). False when the result would not fit.
bool join_root(system_path_string_t& out, const char* root, const char* relative);

}  // namespace umbra
