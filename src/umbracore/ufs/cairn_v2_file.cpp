#include "umbracore/ufs/cairn_v2_file.h"

namespace umbra {

cairn_v2_file_t* cairn_v2_file_t::create(const char* path, const cairn_file_source_t& source, const fs_chunk_t& chunk,
                                         const cairn_v2_entry_t& entry) {
  auto_ptr_t<cairn_v2_file_t> file(new cairn_v2_file_t(path, source, chunk, entry));
  if (!file->start_decoding()) return nullptr;
  return file.detach();
}

}  // namespace umbra
