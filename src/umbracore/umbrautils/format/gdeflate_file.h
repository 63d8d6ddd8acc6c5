// GDeflate tile streams between files of the unified file system.
#pragma once

#include "umbracore/ufs/fs_file.h"

namespace umbra {

// Reads the whole input from its start and writes its tile stream at the output's
// current position. False when the input cannot be read or compressed (empty, more
// than 65535 pages) or the stream cannot be written.
bool gdeflate_compress_file(file_t& out, file_t& in);

}  // namespace umbra
