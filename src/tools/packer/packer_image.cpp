#include "tools/packer/packer_image.h"

#include <cinttypes>
#include <cstring>

#include "tools/packer/packer_options.h"
#include "tools/packer/packer_profiling.h"
#include "tools/packer/source_lists.h"
#include "umbracore/log/assert.h"
#include "umbracore/log/log.h"
#include "umbracore/mem.h"
#include "umbracore/thread/thread_pool.h"
#include "umbracore/ufs/cairn_format.h"
#include "umbracore/ufs/fs_device.h"
#include "umbracore/umbrautils/format/dds.h"
#include "umbracore/umbrautils/format/gdeflate.h"
#include "umbracore/umbrautils/format/raster.h"
#include "umbracore/umbrautils/format/tobj.h"
#include "umbracore/umbrautils/ufs/mem_file.h"

namespace umbra {

namespace {

constexpr u32 DDS_CHUNK_ATTRIBUTE = 1;
constexpr u32 RASTER_CHUNK_ATTRIBUTE = 3;

struct descriptor_t {
  tobj_header_t header;
  path_string_t names[IMAGE_ENTRY_MAX_NAMES];
  u64 name_count;  // every name the descriptor holds, also those beyond the slots
};

// Header, then names back to back up to the last byte.
bool read_descriptor(const u8* bytes, u64 size, const char* entry_path, descriptor_t& out) {
  if (size < sizeof(u32) || load_le32(bytes) != TOBJ_MAGIC) {
    log_error("[tobj] Failed reading tobj file, unrecognized magic '%s'.", entry_path);
    return false;
  }
  if (size < TOBJ_HEADER_SIZE) {
    log_error("Failed reading map name from file '%s'.", entry_path);
    return false;
  }
  std::memcpy(&out.header, bytes, TOBJ_HEADER_SIZE);
  out.name_count = 0;
  u64 cursor = TOBJ_HEADER_SIZE;
  while (cursor < size) {
    path_string_t name;
    if (!tobj_read_map_name(bytes, size, &cursor, name)) {
      log_error("Failed reading map name from file '%s'.", entry_path);
      return false;
    }
    if (out.name_count < IMAGE_ENTRY_MAX_NAMES) out.names[out.name_count] = name;
    ++out.name_count;
  }
  return true;
}

// Only one image, or a cube's six faces in one image or in six, can become an entry.
bool check_descriptor(const descriptor_t& d, const char* entry_path) {
  const u64 n = d.name_count;
  if (n == 0) {
    log_error("Texture descriptor '%s' names no image.", entry_path);
    return false;
  }
  if (n > IMAGE_ENTRY_MAX_NAMES) {
    log_error("Texture descriptor '%s' names %" PRIu64 " images; at most six can be packed.", entry_path, n);
    return false;
  }
  if (tobj_is_cube(d.header) && n != 1 && n != 6) {
    log_error("Cube map descriptor '%s' names %" PRIu64 " images; it must name one or six.", entry_path, n);
    return false;
  }
  if (!tobj_is_cube(d.header) && n != 1) {
    log_error("Texture descriptor '%s' names %" PRIu64 " images but is no cube map; it must name one.", entry_path,
              n);
    return false;
  }
  // An address byte without a sampler mode would stop the process in the encoding.
  if (!tobj_sampler_is_valid(d.header)) {
    log_error("Texture descriptor '%s' has an unknown texture addressing mode.", entry_path);
    return false;
  }
  return true;
}

// One image a descriptor names, open, with what its metadata says about it.
struct dependency_t {
  system_path_string_t path;
  auto_ptr_t<file_t> file;
  fs_meta_image_t image{};
  fs_chunk_t chunk{};
};

bool open_dependency(const char* root, const path_string_t& name, const char* entry_path, dependency_t& dep) {
  if (!join_root(dep.path, root, name.c_str()) ||
      !fs_open(dep.file, dep.path.c_str(), FS_MODE_READ_ONLY, FS_DEVICE_SYSFS)) {
    log_error("Failed reading tobj dependency file %s of %s.", dep.path.c_str(), entry_path);
    return false;
  }
  // The metadata of a descriptor describes the image it names but not where its pixels
  // lie; a descriptor naming one (or itself) names no image.
  if (dep.path.ends_with(".tobj")) {
    log_error("Image file %s of %s is a texture descriptor, not an image.", dep.path.c_str(), entry_path);
    return false;
  }
  fs_mstat_t meta;
  if (!fs_meta_build(&meta, *dep.file, 0, 0)) {
    log_error("Failed getting dependency of file %s of %s.", dep.path.c_str(), entry_path);
    return false;
  }
  if (!fs_meta_get_image(&meta, &dep.image) || !format_is_layout_supported(dep.image.format)) {
    log_error("Failed decoding image of file %s of %s.", dep.path.c_str(), entry_path);
    return false;
  }
  // Pixels are read as the file holds them: a chunk that would need decompressing first
  // is none that a loose file has.
  if (!fs_meta_get_chunk(&meta, FS_TOKEN_CHUNK_MIP_TAIL, &dep.chunk) || dep.chunk.compression != 0 ||
      dep.chunk.payload_offset != 0 ||
      (dep.chunk.attribute != DDS_CHUNK_ATTRIBUTE && dep.chunk.attribute != RASTER_CHUNK_ATTRIBUTE)) {
    log_error("Failed decoding chunk of file %s of %s.", dep.path.c_str(), entry_path);
    return false;
  }
  return true;
}

// The entry's levels: face-major, rows and levels aligned, its total T.
struct entry_layout_t {
  u32 faces;
  u32 mips;
  array_dyn_t<surface_level_layout_t> target;  // faces x mips levels
  array_dyn_t<surface_level_layout_t> source;  // one face stored tightly, as in a DDS
  u64 face_bytes;                              // one tightly stored face
  u64 total;
};

bool compute_entry_layout(const fs_meta_image_t& image, entry_layout_t& layout) {
  layout.faces = image.face_count;
  layout.mips = image.mip_count;
  const u32 levels = layout.faces * layout.mips;
  if (!layout.target.resize(levels) || !layout.source.resize(layout.mips)) return false;
  if (!surface_compute_layout(image.format, image.width, image.height, layout.mips, IMAGE_ENTRY_PITCH_ALIGNMENT,
                              IMAGE_ENTRY_IMAGE_ALIGNMENT, levels, layout.target.data(), nullptr, nullptr,
                              &layout.total)) {
    return false;
  }
  u64 face_total = 0;
  if (!surface_compute_layout(image.format, image.width, image.height, layout.mips, 1, 1, layout.mips,
                              layout.source.data(), nullptr, nullptr, &face_total)) {
    return false;
  }
  layout.face_bytes = surface_get_chain_size(image.format, image.width, image.height, layout.mips);
  return face_total <= layout.face_bytes;
}

// A raster image decoded into rows of its format: one face of tightly stored levels.
bool decode_raster(dependency_t& dep, u64 face_bytes, const char* entry_path, array_dyn_t<u8>& pixels) {
  u64 size = 0;
  array_dyn_t<u8> encoded;
  raster_info_t info;
  bool ok = dep.file->find_size(&size) && size <= MAX_SOURCE_FILE_SIZE && encoded.resize_uninitialized(size) &&
            dep.file->read_at(encoded.data(), size, 0) && raster_probe(encoded.data(), size, &info) &&
            raster_format(info) == dep.image.format && info.width == dep.image.width &&
            info.height == dep.image.height && raster_decode(encoded.data(), size, info, pixels) &&
            pixels.count() == face_bytes;
  if (!ok) log_error("Failed reading file %s of %s.", dep.path.c_str(), entry_path);
  return ok;
}

// Checks that the image holds what the entry takes from it, before anything is read.
bool check_dependency_data(const dependency_t& dep, u32 faces, const char* entry_path) {
  if (dep.chunk.attribute == DDS_CHUNK_ATTRIBUTE && !dds_chunk_holds_image(dep.chunk, dep.image)) {
    log_error("Image file %s of %s is shorter than the levels its header announces.", dep.path.c_str(), entry_path);
    return false;
  }
  if (faces > dep.image.face_count) {
    log_error("Image file %s of %s holds %u face(s); a cube map made of one image needs six.", dep.path.c_str(),
              entry_path, dep.image.face_count);
    return false;
  }
  return true;
}

bool same_surface(const fs_meta_image_t& a, const fs_meta_image_t& b) {
  return a.format == b.format && a.width == b.width && a.height == b.height && a.mip_count == b.mip_count;
}

// Levels whose rows are already 256-byte multiples lie in the entry as in the file.
bool level_is_stored_as_laid_out(const surface_level_layout_t& from, const surface_level_layout_t& to) {
  return from.pitch == to.pitch && from.size == to.size;
}

// Zeros every byte of the entry that no level row covers: the gap behind each level, and
// the row padding of levels whose rows are shorter than their pitch (small levels).
void zero_padding(const entry_layout_t& layout, u8* target) {
  const u64 levels = layout.target.count();
  for (u64 i = 0; i < levels; ++i) {
    const surface_level_layout_t& to = layout.target[i];
    const u64 end = (u64)to.offset + to.size;
    const u64 next = i + 1 < levels ? layout.target[i + 1].offset : layout.total;
    if (!level_is_stored_as_laid_out(layout.source[i % layout.mips], to)) std::memset(target + to.offset, 0, to.size);
    if (next > end) std::memset(target + end, 0, next - end);
  }
}

void copy_level(const u8* level, const fs_meta_image_t& image, const surface_level_layout_t& from,
                const surface_level_layout_t& to, u8* target) {
  texture_image_simple_copy(target + to.offset, level, from.width, from.height, image.format, to.pitch, from.pitch,
                            false);
}

// The faces of a DDS file, read level by level into their places: large levels straight
// from the file, small ones through a scratch buffer that adds the row padding.
bool place_dds_faces(dependency_t& dep, u32 first_face, u32 faces, const fs_meta_image_t& image,
                     const entry_layout_t& layout, const char* entry_path, u8* target) {
  array_dyn_t<u8> scratch;
  for (u32 f = 0; f < faces; ++f) {
    const u64 face = dep.chunk.offset + (u64)f * layout.face_bytes;
    for (u32 m = 0; m < layout.mips; ++m) {
      const surface_level_layout_t& from = layout.source[m];
      const surface_level_layout_t& to = layout.target[(u64)(first_face + f) * layout.mips + m];
      bool ok;
      if (level_is_stored_as_laid_out(from, to)) {
        ok = dep.file->read_at(target + to.offset, from.size, face + from.offset);
      } else {
        ok = scratch.resize_uninitialized(from.size) && dep.file->read_at(scratch.data(), from.size, face + from.offset);
        if (ok) copy_level(scratch.data(), image, from, to, target);
      }
      if (!ok) {
        log_error("Failed reading file %s of %s.", dep.path.c_str(), entry_path);
        return false;
      }
    }
  }
  return true;
}

// The one face of a raster image, decoded and then copied level by level.
bool place_raster_face(dependency_t& dep, u32 face, const fs_meta_image_t& image, const entry_layout_t& layout,
                       const char* entry_path, u8* target) {
  array_dyn_t<u8> pixels;
  if (!decode_raster(dep, layout.face_bytes, entry_path, pixels)) return false;
  for (u32 m = 0; m < layout.mips; ++m) {
    copy_level(pixels.data() + layout.source[m].offset, image, layout.source[m],
               layout.target[(u64)face * layout.mips + m], target);
  }
  return true;
}

// The entry parameters: the first image's, seen through the descriptor.
fs_meta_image_t entry_image(const descriptor_t& d, const fs_meta_image_t& first) {
  fs_meta_image_t image = first;
  image.format = tobj_apply_color_space(d.header, first.format);
  image.image_type = tobj_image_type(d.header);
  image.face_count = tobj_face_count(d.header);
  image.pitch_alignment = IMAGE_ENTRY_PITCH_ALIGNMENT;
  image.image_alignment = IMAGE_ENTRY_IMAGE_ALIGNMENT;
  return image;
}

}  // namespace

bool build_image_entry(const u8* descriptor, u64 size, const char* entry_path, const char* root, image_entry_t* out) {
  descriptor_t d;
  if (!read_descriptor(descriptor, size, entry_path, d) || !check_descriptor(d, entry_path)) return false;
  const u32 names = (u32)d.name_count;
  out->sampler = tobj_encode_sampler(d.header);

  dependency_t first;
  if (!open_dependency(root, d.names[0], entry_path, first)) return false;
  out->image = entry_image(d, first.image);
  entry_layout_t layout;
  // The chunk's size fields have 28 bits: a larger image cannot be stored, and nothing
  // is read or allocated for it.
  if (!compute_entry_layout(out->image, layout) || layout.total > CAIRN_V2_MAX_CHUNK_SIZE) {
    log_error("Image file %s of %s needs more than %u bytes laid out; an image entry cannot hold it.",
              first.path.c_str(), entry_path, CAIRN_V2_MAX_CHUNK_SIZE);
    return false;
  }
  out->size = layout.total;
  if (!out->data.resize_uninitialized(layout.total)) {
    log_error("Failed writing file %s.", entry_path);
    return false;
  }
  zero_padding(layout, out->data.data());

  const u32 faces_per_image = names == 1 ? layout.faces : 1;
  for (u32 k = 0; k < names; ++k) {
    dependency_t later;
    dependency_t& dep = k == 0 ? first : later;
    if (k > 0) {
      if (!open_dependency(root, d.names[k], entry_path, dep)) return false;
      if (!same_surface(dep.image, first.image)) {
        log_error("Image file %s of %s differs from the first image in format, size or mip count.", dep.path.c_str(),
                  entry_path);
        return false;
      }
    }
    if (!check_dependency_data(dep, faces_per_image, entry_path)) return false;
    UMBRA_PROFILE_SCOPE_FORMAT(PACKER_PROFILER_ID, "read image %s", dep.path.c_str());
    const bool placed = dep.chunk.attribute == DDS_CHUNK_ATTRIBUTE
                            ? place_dds_faces(dep, k * faces_per_image, faces_per_image, out->image, layout, entry_path,
                                              out->data.data())
                            : place_raster_face(dep, k, out->image, layout, entry_path, out->data.data());
    if (!placed) return false;
    u64 image_size = 0;
    if (!dep.file->find_size(&image_size)) {
      log_error("Failed reading file %s of %s.", dep.path.c_str(), entry_path);
      return false;
    }
    out->images_read += image_size;
    dep.file.reset();
  }
  first.file.reset();
  out->compression = platform_compress_image(out->data);
  return true;
}

namespace {

// The pages of one image, compressed by every worker that is free: a task of several
// runs, each taking pages until none is left. Normal workers serve priority 2 before the
// entry tasks, so idle workers join at once; the thread that waits for the task takes a
// run itself, so the pages get done even when every worker is busy, and it sleeps only
// while the others finish the last page each of them took. A run never waits for
// anything, so no worker can be left waiting on work that nobody will do.
class image_pages_task_t final : public thread::task_t {
 public:
  image_pages_task_t(gdeflate_paged_compressor_t& compressor, u8 runs)
      : thread::task_t(2, runs, "image_pages_task_t"), compressor_(compressor) {}
  void execute() override {
    UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "GDeflate pages");
    compressor_.compress_pages();
  }

 private:
  gdeflate_paged_compressor_t& compressor_;
};

// At most one run more than there are workers (the waiting thread's own), and no more
// runs than pages.
constexpr u64 MAX_PAGE_RUNS = 255;

void compress_pages_on_pool(gdeflate_paged_compressor_t& compressor) {
  u64 helpers = thread_pool_worker_count();
  if (helpers > compressor.page_count() - 1) helpers = compressor.page_count() - 1;
  if (helpers > MAX_PAGE_RUNS - 1) helpers = MAX_PAGE_RUNS - 1;
  if (helpers == 0) {
    compressor.compress_pages();
    return;
  }
  image_pages_task_t task(compressor, (u8)(helpers + 1));
  thread::submit_normal(&task);
  thread::wait(&task);
}

}  // namespace

fs_compression_t platform_compress_image(array_dyn_t<u8>& data) {
  if (no_compress) return FS_COMPRESSION_NONE;
  UMBRA_PROFILE_SCOPE(PACKER_PROFILER_ID, "GDeflate encode");
  array_dyn_t<u8> stream;
  gdeflate_paged_compressor_t compressor;
  // A stream that cannot be made is no error: the data is stored as it is.
  if (!compressor.begin(data.data(), data.count(), stream)) return FS_COMPRESSION_NONE;
  compress_pages_on_pool(compressor);
  if (!compressor.finish() || stream.count() >= data.count()) return FS_COMPRESSION_NONE;
  data = std::move(stream);
  return FS_COMPRESSION_GDEFLATE;
}

namespace {

class image_task_t : public entry_task_t {
 public:
  using entry_task_t::entry_task_t;
  const char* kind_name() const override { return "image"; }
  u64 other_bytes_read() const override { return image_.images_read; }

  void encode() override {
    if (!build_image_entry(source_bytes_.data(), source_bytes_.count(), entry_.path.c_str(), root_, &image_)) {
      fail();
      return;
    }
    u32 image_words[FS_META_IMAGE_WORDS];
    if (!fs_meta_pack_image(image_.image, image_words)) {
      log_error("Failed decoding image of file %s.", entry_.path.c_str());
      fail();
      return;
    }
    add_record(CAIRN_KIND_IMAGE, image_words, FS_META_IMAGE_WORDS);
    add_record(CAIRN_KIND_SAMPLER, &image_.sampler, FS_META_SAMPLER_WORDS);
    // The descriptor is no longer needed; the block is the entry's data as it lies in memory.
    source_.reset();
    source_bytes_.release_storage();
    output_ = mem_file_create_read_only(image_.data.data(), image_.data.count(), "<mem-file>");
    add_chunk_record(CAIRN_KIND_MIP_TAIL_CHUNK, image_.data.count(), image_.size, image_.compression,
                     IMAGE_ENTRY_CHUNK_ATTRIBUTE, 0, 0);
  }

 private:
  image_entry_t image_;
};

}  // namespace

entry_task_t* encode_image_entry(const path_entry_v2_t& entry, const char* root, listing_registry_t* listings) {
  UMBRA_ASSERT(entry.path.length() >= 5 && entry.path.ends_with(".tobj"), "dds support not ready");
  return new image_task_t(entry, root, listings);
}

}  // namespace umbra
