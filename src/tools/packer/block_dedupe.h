// Content sharing for create -dedupe: an entry whose finished block is byte for byte a
// block already placed points its chunk records at that block instead of adding a copy.
// Chunk offsets are relative to their block, so the records of both entries stay
// exactly what each would hold alone, and readers see nothing but two records naming
// one offset.
//
// Workers key their block once it is built; the main thread, which places blocks in
// entry order, looks the key up and compares the bytes themselves before it shares, so
// two blocks that merely hash alike are never taken for one.
#pragma once

#include <unordered_map>

#include "tools/packer/archive_output.h"
#include "umbracore/types.h"
#include "umbracore/ufs/fs_file.h"

namespace umbra {

// The key of a block's bytes (any thread); equal bytes give equal keys.
u64 block_dedupe_key(file_t* block);

class block_dedupe_t {
 public:
  // Where a block with these bytes was placed before; false when none was (or none of
  // the few blocks with the key compares equal).
  bool find(archive_output_t& archive, file_t* block, u64 key, u64* offset);
  // A block placed at offset, for the blocks that follow.
  void remember(u64 key, u64 offset, u64 size);

  // Entries that shared a block, and the bytes they did not add to the archive.
  u64 shared_entries() const { return shared_entries_; }
  u64 saved_bytes() const { return saved_bytes_; }

 private:
  struct placed_t {
    u64 offset;
    u64 size;
  };
  std::unordered_multimap<u64, placed_t> placed_;
  u64 shared_entries_ = 0;
  u64 saved_bytes_ = 0;
};

}  // namespace umbra
