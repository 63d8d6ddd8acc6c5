#include "tools/packer/block_dedupe.h"

#include "umbracore/collections/arrays/array.h"
#include "umbracore/mem.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/cityhash.h"

namespace umbra {

namespace {

constexpr u64 KEY_PIECE = 64ull << 10;
// Blocks compared per lookup: blocks made to collide cost a few compares each, never a
// pass over every block placed so far.
constexpr u32 MAX_COMPARES = 4;

}  // namespace

u64 block_dedupe_key(file_t* block) {
  const u64 size = block->get_size();
  array_dyn_t<u8> piece;
  if (!piece.resize_uninitialized(size < KEY_PIECE ? size : KEY_PIECE)) return size;
  u64 key = size;
  for (u64 done = 0; done < size;) {
    const u64 length = size - done < KEY_PIECE ? size - done : KEY_PIECE;
    if (!block->read_at(piece.data(), length, done)) return size;
    // An odd multiplier keeps every earlier piece in the key.
    key = key * 0x9E3779B97F4A7C15ull ^ cityhash64(piece.data(), (size_t)length);
    done += length;
  }
  return key;
}

bool block_dedupe_t::find(archive_output_t& archive, file_t* block, u64 key, u64* offset) {
  const u64 size = block->get_size();
  if (size == 0) return false;
  u32 compares = 0;
  auto range = placed_.equal_range(key);
  for (auto it = range.first; it != range.second && compares < MAX_COMPARES; ++it) {
    if (it->second.size != size) continue;
    ++compares;
    if (!archive.holds(it->second.offset, block)) continue;
    *offset = it->second.offset;
    ++shared_entries_;
    saved_bytes_ += align_up(size, CAIRN_V2_BLOCK_ALIGNMENT);
    return true;
  }
  return false;
}

void block_dedupe_t::remember(u64 key, u64 offset, u64 size) {
  if (size != 0) placed_.emplace(key, placed_t{offset, size});
}

}  // namespace umbra
