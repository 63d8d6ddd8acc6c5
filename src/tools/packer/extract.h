// The extractors of the two archive versions, chosen by extract() after its header
// probe. Each writes the whole archive below root and reports failure as false after
// printing its own message.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

bool extract_v1(const char* root, auto_ptr_t<file_t>& archive);
bool extract_v2(const char* root, auto_ptr_t<file_t>& archive);

// The most files the last version 2 extraction had in flight at once (started and not
// yet written).
extern u64 extract_v2_max_jobs_in_flight;

}  // namespace umbra
