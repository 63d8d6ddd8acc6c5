// The descriptor metadata builder: a ".tobj" file is described by the image of the DDS
// it names (as the descriptor sees it) and by its sampling state.
#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/ufs/fs_file.h"
#include "umbracore/ufs/fs_meta.h"
#include "umbracore/ufs/fs_meta_builders.h"
#include "umbracore/umbrautils/format/tobj.h"

namespace umbra {

namespace {

// Set while this thread asks the file system for the metadata of a descriptor's image.
// A descriptor that names itself, or another descriptor, would otherwise recurse
// until the stack runs out; images are never descriptors, so such a lookup fails.
thread_local bool g_resolving_descriptor_image = false;

bool fetch_image_metadata(const char* path, fs_mstat_t* out) {
  fs_device_t* device = fs_get_device(FS_DEVICE_UFS);
  if (!device) return false;
  g_resolving_descriptor_image = true;
  const bool found = device->mstat(path, out);
  g_resolving_descriptor_image = false;
  return found;
}

}  // namespace

unsigned get_address_mode_from_tobj(u32 r_tobj_addr) {
  switch (r_tobj_addr) {
    case 0:
      return 0;
    case 1:
    case 2:
      return 2;
    case 3:
      return 3;
    case 4:
    case 5:
    case 6:
      return 1;
    default:
      UMBRA_FAIL("Failed to convert TOBJ address mode");
  }
}

bool fs_meta_tobj(fs_mstat_t* set, file_t& file, u64 base_offset, u8 compression) {
  if (g_resolving_descriptor_image) return false;

  tobj_header_t header;
  // An address byte without a sampler mode is as unusable as a missing header.
  if (!file.read(&header, sizeof(header)) || !tobj_sampler_is_valid(header)) {
    log_error("[tobj] Failed to read header of '%s' for metadata", file.get_name().c_str());
    return false;
  }

  path_string_t map_name;
  if (!tobj_read_map_name(file, map_name)) {
    log_error("[tobj] Failed reading map name from file '%s'.", file.get_name().c_str());
    return false;
  }

  fs_mstat_t image_set;
  if (!fetch_image_metadata(map_name.c_str(), &image_set)) {
    log_error("[tobj] Failed to retrieve metadata from file '%s'.", map_name.c_str());
    return false;
  }

  fs_meta_image_t image;
  if (!fs_meta_get_image(&image_set, &image)) {
    log_error("[tobj] Failed to decode image from file '%s'.", map_name.c_str());
    return false;
  }
  image.format = tobj_apply_color_space(header, image.format);
  image.image_type = tobj_image_type(header);
  image.face_count = tobj_face_count(header);
  // The image came out of a record, so it packs again; the check keeps that true.
  if (!fs_meta_append_image(set, image)) {
    log_error("[tobj] Failed to decode image from file '%s'.", map_name.c_str());
    return false;
  }
  const u32 sampler = tobj_encode_sampler(header);
  fs_meta_append(set, FS_TOKEN_SAMPLER, FS_META_SAMPLER_WORDS, &sampler);
  return true;
}

}  // namespace umbra
