// Plain-data compression of the archive writer: whole zlib streams made by libdeflate at
// the -compression-level level, kept only when they make the data strictly smaller.
#pragma once

#include "umbracore/collections/arrays/array.h"
#include "umbracore/ufs/fs_compression.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

enum zlib_compress_result_t : u8 {
  ZLIB_COMPRESS_MADE,         // stream holds the zlib stream
  ZLIB_COMPRESS_NOT_SMALLER,  // only with smaller_only: the stream would not be shorter
  ZLIB_COMPRESS_FAILED,       // out of memory
};

// The zlib stream of size bytes at data, made in one call. With smaller_only a stream
// that is not strictly shorter than the data is not kept (and costs no more memory than
// the data).
zlib_compress_result_t zlib_compress_buffer(const u8* data, u64 size, bool smaller_only, array_t<u8>& stream);

// The compression decision for plain data held whole in memory: FS_COMPRESSION_ZLIB
// with the stream in compressed when it is strictly smaller, else FS_COMPRESSION_NONE
// (after an error line naming source when the stream could not be made). With
// -nocompress nothing is done.
fs_compression_t platform_compress_buffer(const u8* data, u64 size, file_t* source, array_t<u8>& compressed);

}  // namespace umbra
