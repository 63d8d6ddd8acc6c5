#include "tools/packer/packer_common.h"

#include <zlib.h>

#include <cinttypes>

#include "tools/packer/packer_options.h"
#include "tools/packer/packer_profiling.h"
#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace umbra {

namespace {

constexpr u64 ZLIB_BLOCK = 4096;

// deflateEnd must run on every path out.
struct deflate_stream_t {
  z_stream stream{};
  bool initialised = false;
  ~deflate_stream_t() {
    if (initialised) deflateEnd(&stream);
  }
};

bool read_block(file_t* source, u8* buffer, u64 size) {
  if (source->read(buffer, size)) return true;
  path_string_t name = file_debug_name(source);
  log_error("[zlib_compress] error reading block: %s @ %" PRIu64 " (chunk size %zu)", name.c_str(),
            (u64)source->get_position(), (size_t)size);
  return false;
}

bool write_block(file_t* destination, const u8* buffer, u64 size) {
  if (destination->write(buffer, size)) return true;
  path_string_t name = file_debug_name(destination);
  log_error("[zlib_compress] error writing block: %s @ %" PRIu64 " (chunk size %zu)", name.c_str(),
            (u64)destination->get_position(), (size_t)size);
  return false;
}

}  // namespace

bool zlib_compress_stream(file_t* destination, file_t* source) {
  deflate_stream_t z;
  if (deflateInit(&z.stream, 9) != Z_OK) return false;
  z.initialised = true;
  u64 size = 0;
  if (!source->find_size(&size)) return false;
  u64 position = source->get_position();
  u64 remaining = size > position ? size - position : 0;
  u8 in[ZLIB_BLOCK];
  u8 out[ZLIB_BLOCK];
  for (;;) {
    if (z.stream.avail_in == 0 && remaining > 0) {
      u64 block = remaining < ZLIB_BLOCK ? remaining : ZLIB_BLOCK;
      if (!read_block(source, in, block)) return false;
      remaining -= block;
      z.stream.next_in = in;
      z.stream.avail_in = (uInt)block;
    }
    int flush = remaining == 0 ? Z_FINISH : Z_NO_FLUSH;
    z.stream.next_out = out;
    z.stream.avail_out = (uInt)sizeof out;
    int result = deflate(&z.stream, flush);
    if (result == Z_STREAM_ERROR) return false;
    u64 produced = sizeof out - z.stream.avail_out;
    if (produced && !write_block(destination, out, produced)) return false;
    if (result == Z_STREAM_END) {
      if (remaining != 0 || z.stream.avail_in != 0) {
        log_error("[zlib_compress] premature end of compressed data stream");
        return false;
      }
      return true;
    }
  }
}

fs_compression_t platform_compress_file(auto_ptr_t<file_t>& source) {
  if (no_compress) return FS_COMPRESSION_NONE;
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "compress");
  UMBRA_ASSERT(platform_type <= 4, "Unsupported platform type!");
  source->set_position(0);
  auto_ptr_t<file_t> compressed = mem_file_create();
  if (!zlib_compress_stream(compressed.get(), source.get())) {
    path_string_t name;
    source->get_debug_name(name);
    log_error("Error compressing plain chunk of %s", name.c_str());
    source->set_position(0);
    return FS_COMPRESSION_NONE;
  }
  if (compressed->get_size() < source->get_size()) {
    compressed->set_position(0);
    source = std::move(compressed);
    return FS_COMPRESSION_ZLIB;
  }
  source->set_position(0);
  return FS_COMPRESSION_NONE;
}

}  // namespace umbra
