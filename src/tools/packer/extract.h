// The extractors of the two archive versions, chosen by extract() after its header
// probe. Each writes the whole archive below root and reports failure as false after
// printing its own message.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

bool extract_v1(const char* root, auto_ptr_t<file_t>& archive);
bool extract_v2(const char* root, auto_ptr_t<file_t>& archive);

}  // namespace umbra
