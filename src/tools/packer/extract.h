// The extractors of the two archive versions, chosen by extract() after its header
// probe. Each writes the archive (or what the selection selects) below root and reports
// failure as false after printing its own message.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

class extract_selection_t;

// How a version 2 extraction went, for callers that want to know.
struct extract_v2_stats_t {
  u64 max_jobs_in_flight = 0;  // the most files in flight at once (started, not yet written)
};

// With a selection, only what it selects is extracted (extract_walk).
bool extract_v1(const char* root, auto_ptr_t<file_t>& archive, extract_selection_t* selection = nullptr);
bool extract_v2(const char* root, auto_ptr_t<file_t>& archive, extract_selection_t* selection = nullptr,
                extract_v2_stats_t* stats = nullptr);
// Writes the bytes of one file of the archive to standard output; false after an
// error line.
bool extract_to_stdout(auto_ptr_t<file_t>& archive, const char* device_path);

}  // namespace umbra
