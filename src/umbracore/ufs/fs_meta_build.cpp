#include "umbracore/log/log.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"

namespace umbra {

namespace {

bool is_raster_image_name(const string& name) {
  return name.ends_with(".jpg") || name.ends_with(".png") || name.ends_with(".tga") || name.ends_with(".pnm") ||
         name.ends_with(".mask");
}

// Names are tested case-sensitively, in this order; a name without a known suffix
// needs no type-specific record.
bool build_type_records(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression) {
  const mstring_t& name = file.get_name();
  if (name.ends_with(".tobj")) return fs_meta_tobj(set, file, base_offset, compression);
  if (name.ends_with(".dds")) return fs_meta_dds(set, file, base_offset, compression);
  if (is_raster_image_name(name)) return fs_meta_raster(set, file, base_offset, compression);
  if (name.ends_with(".uma")) return fs_meta_uma(set, file);
  if (name.ends_with(".umg")) return fs_meta_umg(set, file);
  return true;
}

}  // namespace

bool fs_meta_build(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression) {
  if (!build_type_records(set, file, base_offset, compression)) return false;

  fs_stat_t stat;
  if (!file.stat(&stat)) {
    log_error("[fs] failed to stat opened file (%s)!", file_debug_name(&file).c_str());
    return false;
  }
  fs_chunk_t chunk{};
  chunk.compression = compression;
  chunk.stored_size = compression != FS_COMPRESSION_NONE ? stat.stored_size : stat.size;
  chunk.aux_size = stat.size;
  chunk.size = stat.size;
  chunk.offset = base_offset;
  // The record holds 32-bit sizes; a larger file must not be described with cut sizes.
  if (!fs_meta_append_chunk(set, FS_TOKEN_CHUNK_PLAIN, chunk)) {
    log_error("[fs] Chunk of '%s' does not fit its metadata record", file.get_name().c_str());
    return false;
  }
  return true;
}

}  // namespace umbra
