// The type-specific metadata builders that fs_meta_build chooses by file name. Each
// reads the open file from its current position, appends its records and logs one
// line when it fails. base_offset and compression describe the file's container as
// for fs_meta_build.
#pragma once

#include "umbracore/types.h"

namespace umbra {

class file_t;
struct fs_mstat_t;

// ".tobj" texture descriptors: image and sampler records of the named DDS image.
bool fs_meta_tobj(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression);
// ".dds" images: image record and mip tail chunk record.
bool fs_meta_dds(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression);
// ".jpg", ".png", ".tga", ".pnm", ".mask" images: image record and mip tail chunk record.
bool fs_meta_raster(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression);
// ".uma" and ".umg" model files: a few header values.
bool fs_meta_uma(fs_mstat_t* set, file_t& file);
bool fs_meta_umg(fs_mstat_t* set, file_t& file);

}  // namespace umbra
