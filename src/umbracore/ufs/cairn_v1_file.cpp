#include "umbracore/ufs/cairn_v1_file.h"

#include "umbracore/ufs/fs_compression.h"

namespace umbra {

fs_chunk_t cairn_v1_entry_chunk(const cairn_entry_t& entry) {
  fs_chunk_t chunk{};
  chunk.stored_size = entry.stored_size;
  chunk.size = entry.size;
  chunk.offset = entry.offset;
  chunk.compression = (entry.flags & CAIRN_V1_FLAG_COMPRESSED) ? FS_COMPRESSION_ZLIB : FS_COMPRESSION_NONE;
  return chunk;
}

cairn_v1_file_t* cairn_v1_file_t::create(const char* path, const cairn_file_source_t& source, const fs_chunk_t& chunk,
                                         const cairn_entry_t& entry) {
  auto_ptr_t<cairn_v1_file_t> file(new cairn_v1_file_t(path, source, chunk, entry));
  if (!file->start_decoding()) return nullptr;
  return file.detach();
}

}  // namespace umbra
