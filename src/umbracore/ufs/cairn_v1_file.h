// An open entry of a version 1 archive: a file's data or a directory's text listing,
// stored raw or as one zlib stream.
#pragma once

#include "umbracore/ufs/cairn_file.h"
#include "umbracore/ufs/cairn_format.h"

namespace umbra {

class cairn_v1_file_t final : public cairn_file_t {
 public:
  static cairn_v1_file_t* create(const char* path, const cairn_file_source_t& source, const fs_chunk_t& chunk,
                                 const cairn_entry_t& entry);

  const cairn_entry_t& entry() const { return entry_; }

 private:
  cairn_v1_file_t(const char* path, const cairn_file_source_t& source, const fs_chunk_t& chunk,
                  const cairn_entry_t& entry)
      : cairn_file_t(path, source, chunk), entry_(entry) {}

  cairn_entry_t entry_;
};

// The chunk that a version 1 entry's data forms inside the archive.
fs_chunk_t cairn_v1_entry_chunk(const cairn_entry_t& entry);

}  // namespace umbra
