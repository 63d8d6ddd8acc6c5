// Plain-data compression of the archive writer: zlib at level 9, kept only when it
// makes the data strictly smaller.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

// Compresses from the source's position to its end into the destination at its
// position, 4096 bytes at a time. False after an error line.
bool zlib_compress_stream(file_t* destination, file_t* source);

// Replaces source by its zlib stream when that is strictly smaller and returns
// FS_COMPRESSION_ZLIB; otherwise rewinds source and returns FS_COMPRESSION_NONE.
// With -nocompress nothing is done.
fs_compression_t platform_compress_file(auto_ptr_t<file_t>& source);

}  // namespace umbra
