// The extractors of the two archive versions, chosen by extract() after its header
// probe. Each writes the archive (or what the selection selects) below root and reports
// failure as false after printing its own message.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

class extract_selection_t;

// With a selection, only what it selects is extracted (extract_walk).
bool extract_v1(const char* root, auto_ptr_t<file_t>& archive, extract_selection_t* selection = nullptr);
bool extract_v2(const char* root, auto_ptr_t<file_t>& archive, extract_selection_t* selection = nullptr);
// Writes the bytes of one file of the archive to standard output; false after an
// error line.
bool extract_to_stdout(auto_ptr_t<file_t>& archive, const char* device_path);

// The most files the last version 2 extraction had in flight at once (started and not
// yet written).
extern u64 extract_v2_max_jobs_in_flight;

}  // namespace umbra
