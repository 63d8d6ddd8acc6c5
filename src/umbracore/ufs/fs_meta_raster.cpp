// The raster-image metadata builder: the image record and the mip tail chunk record of
// a PNG, JPEG, TGA or PNM file, from stb_image's header probes alone.
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"
#include "umbracore/umbrautils/format/raster.h"

namespace umbra {

bool fs_meta_raster(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression) {
  raster_info_t info;
  if (!raster_probe(file, &info)) return false;

  fs_meta_image_t image{};
  image.format = raster_format(info);
  image.image_type = 0;
  image.width = info.width;
  image.height = info.height;
  image.face_count = 1;
  image.mip_count = 1;
  image.pitch_alignment = 1;
  image.image_alignment = 1;
  u32 image_words[FS_META_IMAGE_WORDS];
  if (!fs_meta_pack_image(image, image_words)) return false;

  fs_stat_t stat;
  if (!file.stat(&stat)) return false;
  // The chunk's size is that of the decoded pixels. A size beyond 32 bits must not be
  // cut to fit its word: such an image is not described at all.
  const u64 decoded = (u64)format_bits_per_pixel(image.format) * info.width * info.height / 8;
  fs_chunk_t chunk{};
  chunk.compression = compression;
  chunk.attribute = 3;
  chunk.stored_size = compression != 0 ? stat.stored_size : stat.size;
  chunk.aux_size = stat.size;
  chunk.size = decoded;
  chunk.offset = base_offset;
  u32 chunk_words[FS_META_CHUNK_WORDS];
  if (!fs_meta_pack_chunk(chunk, chunk_words)) return false;

  fs_meta_append(set, FS_TOKEN_IMAGE, FS_META_IMAGE_WORDS, image_words);
  fs_meta_append(set, FS_TOKEN_CHUNK_MIP_TAIL, FS_META_CHUNK_WORDS, chunk_words);
  return true;
}

}  // namespace umbra
