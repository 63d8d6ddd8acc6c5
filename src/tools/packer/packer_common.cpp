#include "tools/packer/packer_common.h"

#include <libdeflate.h>

#include <new>

#include "tools/packer/packer_options.h"
#include "tools/packer/packer_profiling.h"
#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/platform/thread_platform.h"

namespace umbra {

namespace {

// A compressor's state is large (megabytes at the high levels) and is set up afresh by
// every call anyway: each thread keeps one for the level in use, and frees it when it
// ends. Not a thread_local object with a destructor: the Windows runtime frees those
// objects before it destroys them.
struct thread_compressor_t {
  libdeflate_compressor* compressor = nullptr;
  u32 level = 0;
};

void free_thread_compressor(void* value) {
  thread_compressor_t* kept = static_cast<thread_compressor_t*>(value);
  if (kept->compressor) libdeflate_free_compressor(kept->compressor);
  delete kept;
}

struct thread_compressors_t {
  platform::thread_value_t slot;
  bool ready = false;
  thread_compressors_t() { ready = platform::thread_value_create(&slot, free_thread_compressor); }
};

// The calling thread's compressor for this level; null when none can be had.
libdeflate_compressor* thread_compressor(u32 level) {
  static const thread_compressors_t compressors;
  if (!compressors.ready) return nullptr;
  thread_compressor_t* kept = static_cast<thread_compressor_t*>(platform::thread_value_get(compressors.slot));
  if (!kept) {
    kept = new (std::nothrow) thread_compressor_t();
    if (!kept) return nullptr;
    if (!platform::thread_value_set(compressors.slot, kept)) {
      delete kept;
      return nullptr;
    }
  }
  if (kept->compressor && kept->level == level) return kept->compressor;
  if (kept->compressor) libdeflate_free_compressor(kept->compressor);
  kept->compressor = libdeflate_alloc_compressor((int)level);
  kept->level = level;
  return kept->compressor;
}

}  // namespace

zlib_compress_result_t zlib_compress_buffer(const u8* data, u64 size, bool smaller_only, array_t<u8>& stream) {
  UMBRA_ASSERT(compression_level >= MIN_COMPRESSION_LEVEL && compression_level <= MAX_COMPRESSION_LEVEL,
               "Compression level out of range!");
  stream.clear();
  // No zlib stream is shorter than 8 bytes (header, a block of at least 2, Adler-32).
  if (smaller_only && size <= 8) return ZLIB_COMPRESS_NOT_SMALLER;
  libdeflate_compressor* compressor = thread_compressor(compression_level);
  if (!compressor) return ZLIB_COMPRESS_FAILED;
  // libdeflate stops and returns 0 when the stream does not fit: room for one byte less
  // than the data is exactly the test for "strictly smaller".
  const u64 room = smaller_only ? size - 1 : (u64)libdeflate_zlib_compress_bound(compressor, (size_t)size);
  if (!stream.resize_uninitialized(room)) return ZLIB_COMPRESS_FAILED;
  const size_t made = libdeflate_zlib_compress(compressor, data, (size_t)size, stream.data(), (size_t)room);
  if (made == 0) {
    stream.release_storage();
    return smaller_only ? ZLIB_COMPRESS_NOT_SMALLER : ZLIB_COMPRESS_FAILED;
  }
  stream.resize(made);
  return ZLIB_COMPRESS_MADE;
}

fs_compression_t platform_compress_buffer(const u8* data, u64 size, file_t* source, array_t<u8>& compressed) {
  compressed.clear();
  if (no_compress) return FS_COMPRESSION_NONE;
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "compress");
  UMBRA_ASSERT(platform_type <= 4, "Unsupported platform type!");
  switch (zlib_compress_buffer(data, size, true, compressed)) {
    case ZLIB_COMPRESS_MADE:
      return FS_COMPRESSION_ZLIB;
    case ZLIB_COMPRESS_NOT_SMALLER:
      return FS_COMPRESSION_NONE;
    case ZLIB_COMPRESS_FAILED:
      break;
  }
  path_string_t name;
  source->get_debug_name(name);
  log_error("Error compressing plain chunk of %s", name.c_str());
  return FS_COMPRESSION_NONE;
}

}  // namespace umbra
