// The create command's frame: collect and order the paths, encode every entry on the
// pool, place the blocks in entry order, then write the tables and the header.
#pragma once

#include "tools/packer/block_dedupe.h"
#include "tools/packer/entry_table.h"
#include "tools/packer/path_entries.h"
#include "tools/packer/progress.h"
#include "tools/packer/source_lists.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

struct archive_build_t {
  cairn_v2_header_t header{};
  source_lists_t lists;
  path_entries_t entries;
  entry_table_t table;
  listing_registry_t listings;
  array_dyn_t<u32> metadata;
  progress_t* progress = nullptr;  // told of every finished file when given
  // -dedupe: entries whose blocks are equal share one (off: every entry has its own).
  bool dedupe = false;
  file_t* read_back = nullptr;  // the archive's bytes as written, for comparing blocks
  u64 shared_entries = 0;  // entries that shared a block placed before
  u64 saved_bytes = 0;     // and the bytes that did not go into the archive
};

// Paths below the root that must never be packed: the archive and its temporary.
void exclude_archive_from_scan(source_lists_t& lists, const char* archive_path, const char* root);
// Encodes every entry on the pool and merges them into the archive in entry order.
bool build_archive(archive_build_t& build, file_t* archive, const char* root);
// Writes the entry and metadata tables after the last block and fills the header.
bool store_tables(archive_build_t& build, file_t* archive);
// Stores one table: as a zlib stream, or raw when the stream would be exactly as long
// as the raw table (readers could not tell the two apart). Returns the stored size.
bool store_table(file_t* archive, const array_t<u8>& raw, const char* compress_error, u32* stored_size);

}  // namespace umbra
