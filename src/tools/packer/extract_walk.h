// The breadth-first walk of an archive's directory listings that both extractors share:
// every directory is vetted and created below the destination before its children are
// visited, and every file found is handed to the extractor in listing order.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/strings/string.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_device.h"

namespace umbra {

// The children of a directory with their full archive paths ("/x" below the root,
// "/a/x" below "/a"); empty when the device cannot list the directory.
auto_ptr_t<fs_dir_list_t> read_dir_paths(fs_device_t* device, const char* directory_path);

// Mounts the archive and checks that it has a root directory; empty after the error
// line when it cannot be extracted at all.
auto_ptr_t<fs_device_t> mount_for_extraction(auto_ptr_t<file_t>& archive);

// Called for every file node, in walk order; false stops the walk.
class extract_visitor_t {
 public:
  virtual ~extract_visitor_t() = default;
  virtual bool on_file(const mstring_t& path) = 0;
};

class extract_selection_t;

// Walks from "/" and creates every directory below destination_root. A failure prints
// its line and ends the walk with false. With a selection that does not select
// everything, only the files it selects are visited (named hidden ones included, found
// by hash), only directories that may hold them are read, and only the directories
// they lie in (and those at or below a named path) are made; what it names but the
// archive lacks is the selection's to report.
bool extract_walk(fs_device_t* device, const char* destination_root, extract_visitor_t& visitor,
                  extract_selection_t* selection = nullptr);

}  // namespace umbra
