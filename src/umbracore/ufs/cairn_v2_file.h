// An open entry of a version 2 archive: its plain data chunk or its listing chunk.
#pragma once

#include "umbracore/ufs/cairn_file.h"
#include "umbracore/ufs/cairn_format.h"

namespace umbra {

class cairn_v2_file_t final : public cairn_file_t {
 public:
  // Null when the chunk's compression cannot be decoded by a file (GDeflate tile
  // streams are decoded only by the IO server).
  static cairn_v2_file_t* create(const char* path, const cairn_file_source_t& source, const fs_chunk_t& chunk,
                                 const cairn_v2_entry_t& entry);

  const cairn_v2_entry_t& entry() const { return entry_; }

 private:
  cairn_v2_file_t(const char* path, const cairn_file_source_t& source, const fs_chunk_t& chunk,
                  const cairn_v2_entry_t& entry)
      : cairn_file_t(path, source, chunk), entry_(entry) {}

  cairn_v2_entry_t entry_;
};

}  // namespace umbra
